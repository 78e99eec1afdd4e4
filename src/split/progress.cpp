#include "split/progress.hpp"

#include <unistd.h>

#include <string>

#include "base/file.hpp"
#include "base/stop.hpp"
#include "split/batch_file.hpp"

namespace kestrel {
namespace {

void print_line(const std::string& text) {
    if (auto error = write_all(STDOUT_FILENO, as_bytes(text))) {
        stop("failed printing to stdout: " + error->display());
    }
}

}  // namespace

void print_full_batch(int32_t number, bool compressed) {
    print_line("Saving " + batch_file_name(number, compressed) + "\n");
}

void print_final_batch(int32_t number, uint32_t batch_size, bool compressed) {
    print_line("Saving final batch with less than " + std::to_string(batch_size) + " samples to " +
               batch_file_name(number, compressed) + "\n");
}

void print_summary(int32_t batches, uint32_t batch_size, std::string_view output_path) {
    print_line("Saved " + std::to_string(batches) + " batches with " + std::to_string(batch_size) +
               " samples to " + std::string(output_path) + ".\n");
}

}  // namespace kestrel
