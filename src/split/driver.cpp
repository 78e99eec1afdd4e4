#include "split/driver.hpp"

#include <algorithm>
#include <new>
#include <string>
#include <vector>

#include "base/file.hpp"
#include "base/stop.hpp"
#include "split/inputs.hpp"
#include "split/line_reader.hpp"
#include "split/progress.hpp"

namespace kestrel {
namespace {

// Header lines collected so far and the records of the batch being built.
class BatchCutter {
public:
    BatchCutter(std::string_view output_path, uint32_t batch_size, Compression compression)
        : output_path_(output_path), batch_size_(batch_size), compression_(compression) {}

    void add_line(std::span<const uint8_t> line) {
        if (!line.empty() && line[0] == '#') {
            append_line(header_, line);
            return;
        }
        append_line(batch_, line);
        if (++records_ == kRecordsBeforeEstimate) reserve_whole_batch();
        if (records_ >= batch_size_) {
            ++number_;
            save();
            print_full_batch(number_, compression_.has_value());
            batch_.clear();
            records_ = 0;
        }
    }

    // The records since the last full batch form the final batch; then the summary.
    void finish() {
        if (!batch_.empty()) {
            ++number_;
            print_final_batch(number_, batch_size_, compression_.has_value());
            save();
        }
        print_summary(number_, batch_size_, output_path_);
    }

private:
    static void append_line(std::vector<uint8_t>& to, std::span<const uint8_t> line) {
        to.insert(to.end(), line.begin(), line.end());
        to.push_back('\n');
    }

    // Growing the first batch by doubling would touch (and fault in) about twice its
    // size; later batches reuse its capacity. Pages reserved but never written cost
    // nothing, so a generous estimate is cheap.
    static constexpr uint32_t kRecordsBeforeEstimate = 256;
    static constexpr size_t kLargestEstimate = size_t{1} << 30;

    void reserve_whole_batch() {
        const double per_record = static_cast<double>(batch_.size()) / records_;
        const double needed = per_record * batch_size_;
        // The slack keeps a batch of slightly longer records from moving the buffer.
        if (needed <= static_cast<double>(batch_.capacity())) return;
        const double estimate = needed * 1.125 + 4096;
        try {
            batch_.reserve(static_cast<size_t>(std::min(estimate, static_cast<double>(kLargestEstimate))));
        } catch (const std::bad_alloc&) {
            // the batch grows as it needs to, as without the estimate
        }
    }

    void save() {
        if (auto error = save_batch(number_, output_path_, compression_, header_, batch_)) {
            stop("An error occurred while trying to save batch " + std::to_string(number_) + ": " +
                 error->display());
        }
    }

    std::string_view output_path_;
    uint32_t batch_size_;
    Compression compression_;
    std::vector<uint8_t> header_;
    std::vector<uint8_t> batch_;
    uint32_t records_ = 0;
    int32_t number_ = 0;
};

bool names_bgzf_file(std::string_view path) { return path.ends_with(".gz"); }

}  // namespace

void extract_variants_to_batches(std::string_view file_path, std::string_view output_path,
                                 uint32_t batch_size, Compression compression) {
    BatchCutter cutter(output_path, batch_size, compression);
    {
        auto opened = open_for_reading(std::string(file_path));
        if (auto* error = std::get_if<IoError>(&opened)) stop_with("File does not exist.", *error);
        File file = std::move(std::get<File>(opened));
        const auto on_line = [&cutter](std::span<const uint8_t> line) { cutter.add_line(line); };
        if (names_bgzf_file(file_path)) {
            BgzfInput reader(std::move(file));
            read_lines(reader, on_line);
        } else {
            PlainInput reader(std::move(file));
            read_lines(reader, on_line);
        }
    }  // the input is closed before the final batch is written
    cutter.finish();
}

}  // namespace kestrel
