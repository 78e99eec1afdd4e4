// A source read in large pieces into one buffer, so that BGZF headers and payloads are
// parsed in memory rather than with a read per field. Reads only forwards, so pipes
// and FIFOs work as well as files.
//
// Contract: read failures are returned as IoError values; nothing here stops.
// Construction allocates the buffer (std::bad_alloc on failure). Owns its source and
// buffer. Used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "base/byte_source.hpp"

namespace kestrel::bgzf {

class ReadAhead {
public:
    // The most bytes one ensure() may ask for: a whole payload or extra field.
    static constexpr size_t kMaxWindow = 65536;

    // Asks the source for at most `read_size` bytes at a time (at least 1), and once
    // `ahead_until` bytes are read, for no more than an ensure() needs and the 18 bytes
    // of a block header after that.
    ReadAhead(std::unique_ptr<ByteSource> source, size_t read_size, uint64_t ahead_until = UINT64_MAX);

    // The buffered bytes from the current position, reading more until there are at
    // least n (n <= kMaxWindow); fewer only where the file ends. A read error is
    // returned as it is; what was read before it stays buffered.
    IoResult<std::span<const uint8_t>> ensure(size_t n);
    std::span<const uint8_t> buffered() const { return {buffer_.get() + begin_, end_ - begin_}; }
    // Passes over n buffered bytes (n <= buffered().size()).
    void advance(size_t n) { begin_ += n; }
    // Bytes read from the source so far.
    uint64_t bytes_read() const { return bytes_read_; }
    // Bytes passed over so far: where the current position is, counted from the start.
    uint64_t position() const { return bytes_read_ - (end_ - begin_); }
    uint64_t ahead_until() const { return ahead_until_; }

private:
    std::unique_ptr<ByteSource> source_;
    size_t read_size_;
    uint64_t ahead_until_;
    size_t capacity_;
    std::unique_ptr<uint8_t[]> buffer_;
    size_t begin_ = 0;
    size_t end_ = 0;
    bool at_end_of_file_ = false;
    uint64_t bytes_read_ = 0;
};

}  // namespace kestrel::bgzf
