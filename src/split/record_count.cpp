#include "split/record_count.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

#include "base/stop.hpp"

namespace kestrel {
namespace {

// Records that start in [begin, end) of `data`; `line_start` says whether a line
// starts at `begin`.
uint64_t count_range(const uint8_t* begin, const uint8_t* end, bool line_start) {
    if (begin == end) return 0;
    uint64_t records = line_start && *begin != '#';
    // A line feed before the range's last byte starts a line within it.
    for (const uint8_t* at = begin; at < end - 1;) {
        const auto* line_feed = static_cast<const uint8_t*>(std::memchr(at, '\n', static_cast<size_t>(end - 1 - at)));
        if (line_feed == nullptr) break;
        records += line_feed[1] != '#';
        at = line_feed + 1;
    }
    return records;
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
    records_ += count_range(bytes.data(), bytes.data() + bytes.size(), at_line_start_);
    at_line_start_ = bytes.back() == '\n';
}

IoResult<uint64_t> count_file(int fd, uint64_t offset, uint64_t size, size_t stripe, runtime::JobRunner* runner,
                              const std::function<void(uint64_t)>& done) {
    stripe = std::max<size_t>(stripe, 4096);
    const size_t parts = runner != nullptr ? std::max<size_t>(runner->thread_count(), 1) : 1;
    // Each part reads one byte more in front, to know whether a line starts at its first.
    std::vector<std::vector<uint8_t>> buffers(parts, std::vector<uint8_t>(stripe + 1));
    std::vector<uint64_t> counts(parts);
    std::vector<int> errors(parts);
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
                size_t got = 0;
                errors[i] = 0;
                while (got < wanted) {
                    const ssize_t n = ::pread(fd, buffer + got, wanted - got, static_cast<off_t>(from - before + got));
                    if (n < 0 && errno == EINTR) continue;
                    if (n < 0) errors[i] = errno;
                    if (n <= 0) break;
                    got += static_cast<size_t>(n);
                }
                lengths[i] = got;
                const bool line_start = before == 0 || (got > 0 && buffer[0] == '\n');
                counts[i] = got > before ? count_range(buffer + before, buffer + got, line_start) : 0;
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
            if (errors[i] != 0) return IoError::os(errors[i]);
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

}  // namespace kestrel
