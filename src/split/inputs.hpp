// The two kinds of input the driver reads lines from: a plain file and a BGZF file.
// Both offer fill_buffer / consume for the line reading (split/line_reader.hpp).
//
// Contract: every failure, at construction or in a later read, stops the call;
// skipping a failed read would pass a damaged input off as complete. Each input owns
// its file and closes it when destroyed. Used by one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "base/file.hpp"
#include "bgzf/reader.hpp"

namespace kestrel {

// A plain file read through an 8192-byte buffer.
class PlainInput {
public:
    static constexpr size_t kBufferSize = 8192;

    explicit PlainInput(File file);

    // The unread bytes of the buffer, refilled from the file when all were consumed;
    // empty at the end of the file.
    std::span<const uint8_t> fill_buffer();
    void consume(size_t n) { position_ += n; }

private:
    File file_;
    std::unique_ptr<uint8_t[]> buffer_;
    size_t position_ = 0;
    size_t filled_ = 0;
};

// A BGZF file, block by block. Construction reads the first block and stops with
// "An error occurred reading the compressed file." when it is not BGZF.
class BgzfInput {
public:
    explicit BgzfInput(File file);

    std::span<const uint8_t> fill_buffer();
    void consume(size_t n) { reader_.consume(n); }

private:
    bgzf::BgzfReader reader_;
};

}  // namespace kestrel
