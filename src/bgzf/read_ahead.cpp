#include "bgzf/read_ahead.hpp"

#include <algorithm>
#include <cstring>

namespace kestrel::bgzf {

ReadAhead::ReadAhead(std::unique_ptr<ByteSource> source, size_t read_size, uint64_t ahead_until)
    : source_(std::move(source)),
      read_size_(std::max(read_size, size_t{1})),
      ahead_until_(ahead_until),
      // A window that starts near the end still fits once moved to the front.
      capacity_(read_size_ + kMaxWindow),
      buffer_(std::make_unique_for_overwrite<uint8_t[]>(capacity_)) {}

IoResult<std::span<const uint8_t>> ReadAhead::ensure(size_t n) {
    if (end_ - begin_ >= n || at_end_of_file_) return buffered();
    // At most one window's bytes move, once per refill of up to read_size_ bytes.
    std::memmove(buffer_.get(), buffer_.get() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
    while (end_ < n) {
        constexpr size_t kNextHeader = 18;  // a BGZF block header: read with the payload before it
        const size_t room =
            bytes_read_ >= ahead_until_
                ? std::min(capacity_ - end_, n - end_ + kNextHeader)
                : static_cast<size_t>(std::min<uint64_t>(std::min(read_size_, capacity_ - end_), ahead_until_ - bytes_read_));
        auto read = source_->read({buffer_.get() + end_, room});
        if (auto* error = std::get_if<IoError>(&read)) return *error;
        const size_t count = std::get<size_t>(read);
        if (count == 0) {
            at_end_of_file_ = true;
            break;
        }
        end_ += count;
        bytes_read_ += count;
    }
    return buffered();
}

}  // namespace kestrel::bgzf
