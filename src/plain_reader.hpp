// Buffered reading of a plain input file through an 8192-byte buffer.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "file.hpp"

namespace kestrel {

class PlainReader {
public:
    static constexpr size_t kBufferSize = 8192;

    explicit PlainReader(File file);

    // The unread bytes of the buffer, refilled from the file when all were consumed;
    // empty at the end of the file. A failed read stops the call.
    std::span<const uint8_t> fill_buffer();
    void consume(size_t n) { position_ += n; }

private:
    File file_;
    std::unique_ptr<uint8_t[]> buffer_;
    size_t position_ = 0;
    size_t filled_ = 0;
};

}  // namespace kestrel
