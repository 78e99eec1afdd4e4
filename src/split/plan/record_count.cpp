#include "split/plan/record_count.hpp"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

#include "base/stop.hpp"
#include "split/cut/split_loop.hpp"
#include "split/read/inputs.hpp"
#include "vcf/lines.hpp"

namespace kestrel {
namespace {

// Records that start in `bytes`; `line_start` says whether a line starts at their first.
uint64_t records_starting_in(std::span<const uint8_t> bytes, bool line_start) {
    if (bytes.empty()) return 0;
    return (line_start && vcf::is_record_start(bytes[0])) + vcf::records_starting_inside(bytes);
}

// Waits for the jobs of one window.
class Countdown {
public:
    explicit Countdown(size_t jobs) : left_(jobs) {}
    void done() noexcept {
        std::lock_guard lock(mutex_);
        if (--left_ == 0) finished_.notify_one();
    }
    void wait() {
        std::unique_lock lock(mutex_);
        finished_.wait(lock, [&] { return left_ == 0; });
    }

private:
    std::mutex mutex_;
    std::condition_variable finished_;
    size_t left_;
};

}  // namespace

void RecordCounter::feed(std::span<const uint8_t> bytes) {
    if (bytes.empty()) return;
    records_ += records_starting_in(bytes, at_line_start_);
    at_line_start_ = bytes.back() == '\n';
}

IoResult<uint64_t> count_records_in(const ByteSource& source, uint64_t offset, uint64_t size, size_t stripe,
                                    runtime::JobRunner* runner, const std::function<void(uint64_t)>& done) {
    stripe = std::max<size_t>(stripe, 4096);
    const size_t parts = runner != nullptr ? std::max<size_t>(runner->thread_count(), 1) : 1;
    // Each part reads one byte more in front, to know whether a line starts at its first.
    std::vector<std::vector<uint8_t>> buffers(parts, std::vector<uint8_t>(stripe + 1));
    std::vector<uint64_t> counts(parts);
    std::vector<std::optional<IoError>> errors(parts);
    std::vector<size_t> lengths(parts);
    const uint64_t end = offset + size;
    uint64_t records = 0;
    for (uint64_t at = offset; at < end; at += parts * stripe) {
        Countdown countdown(parts);
        for (size_t i = 0; i < parts; ++i) {
            auto count = [&, i]() noexcept {
                const uint64_t from = std::min(at + i * stripe, end);
                const size_t before = from > offset ? 1 : 0;
                const size_t wanted = static_cast<size_t>(std::min<uint64_t>(stripe, end - from)) + before;
                uint8_t* const buffer = buffers[i].data();
                auto read = read_fully_at(source, from - before, {buffer, wanted});
                const IoError* error = std::get_if<IoError>(&read);
                errors[i] = error != nullptr ? std::optional<IoError>(*error) : std::nullopt;
                const size_t got = error != nullptr ? 0 : std::get<size_t>(read);
                lengths[i] = got;
                const bool line_start = before == 0 || (got > 0 && buffer[0] == '\n');
                counts[i] = got > before ? records_starting_in({buffer + before, got - before}, line_start) : 0;
                countdown.done();
            };
            bool submitted = false;
            if (runner != nullptr && parts > 1) {
                try {
                    runner->submit(runtime::Job(count));
                    submitted = true;
                } catch (...) {
                    // Counted here instead: the jobs already out use this frame, which
                    // must not unwind before they are done.
                }
            }
            if (!submitted) count();
        }
        countdown.wait();
        bool short_read = false;
        for (size_t i = 0; i < parts; ++i) {
            if (errors[i]) return *errors[i];
            records += counts[i];
            const uint64_t from = std::min(at + i * stripe, end);
            short_read |= lengths[i] < std::min<uint64_t>(stripe, end - from) + (from > offset ? 1 : 0);
        }
        if (short_read) break;  // the file shrank: the second pass finds out
        done(std::min(at + parts * stripe, end) - offset);
        check_interrupt();
    }
    return records;
}

uint64_t count_bgzf_records(std::shared_ptr<const ByteSource> source, const std::string& path,
                            runtime::JobRunner* runner, const std::function<void(uint64_t)>& done) {
    // The records inside each block are counted on the worker that inflates it; here
    // only those that start a block.
    bgzf::ParallelReaderSettings settings;
    settings.tally = vcf::records_starting_inside;
    std::unique_ptr<Input> input = read_input(read_from(std::move(source), 0), InputFormat::Bgzf, 0, runner, settings);
    uint64_t records = 0;
    bool at_line_start = true;
    read_through(*input, path, [&](std::span<const uint8_t> bytes) {
        size_t at = 0;
        for (const bgzf::BlockNote& block : input->notes()) {
            if (block.length == 0) continue;
            records += (at_line_start && vcf::is_record_start(bytes[at])) + block.tally;
            at += block.length;
            at_line_start = bytes[at - 1] == '\n';
        }
        done(input->bytes_read());
    });
    done(input->bytes_read());
    return records;
}

}  // namespace kestrel
