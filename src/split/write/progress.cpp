#include "split/write/progress.hpp"

#include <unistd.h>

#include "base/file.hpp"
#include "base/stop.hpp"

namespace kestrel {

std::string full_batch_line(std::string_view file_name) { return "Saving " + std::string(file_name); }

std::string final_batch_line(uint64_t batch_size, std::string_view file_name) {
    return "Saving final batch with less than " + std::to_string(batch_size) + " samples to " +
           std::string(file_name);
}

std::string summary_line(uint64_t batches, std::string_view samples, std::string_view output_path) {
    return "Saved " + std::to_string(batches) + " batches with " + std::string(samples) + " samples to " +
           std::string(output_path) + ".";
}

void print_line(std::string line) {
    line += '\n';
    if (auto error = write_all(STDOUT_FILENO, as_bytes(line))) {
        stop("failed printing to stdout: " + error->display());  // Contract text
    }
}

void print_summary(int32_t batches, uint32_t batch_size, std::string_view output_path) {
    print_line(summary_line(static_cast<uint64_t>(batches), std::to_string(batch_size), output_path));
}

}  // namespace kestrel
