// The inputs the driver reads: a plain file, read in large pieces straight into the
// buffers that are later written out, and a BGZF file, inflated on the worker pool.
// Both hand out the input as Pieces in order, the shared buffers holding them
// coming from a bounded pool.
//
// Contract: next() returns an empty piece at the end of the input and reports a read
// failure as a value, so that the driver can first finish what came before; a
// damaged BGZF input is reported the same way with its BgzfError. Each input owns its
// file. Used by one thread.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "base/file.hpp"
#include "base/stop.hpp"
#include "bgzf/parallel_reader.hpp"
#include "runtime/buffer.hpp"

namespace kestrel {

// A failed read, with the message the call stops with and what it is about (the
// path left for the caller to fill in).
struct ReadFailure {
    const char* context;
    std::string debug;
    StopDetail detail;
};

using InputResult = std::variant<runtime::Piece, ReadFailure>;

class Input {
public:
    virtual ~Input() = default;
    virtual InputResult next() = 0;
    // Bytes read from the file so far (compressed bytes for BGZF), for progress.
    virtual uint64_t bytes_read() const = 0;
    // At the end: whether the input's own end was reached (not a limit of the range read).
    virtual bool stream_ended() const { return true; }
};

// BGZF when `compressed`; plain input comes in pieces of at most `read_size` bytes.
// A BGZF input that is not BGZF fails at its first next(). `already_read`: bytes
// taken from the file before, which come first.
// BGZF input is inflated on `runner` (null: the process's pool), and only as far as
// `bgzf_settings.stop_after` says.
std::unique_ptr<Input> open_input(File file, bool compressed, size_t read_size,
                                  std::span<const uint8_t> already_read = {}, runtime::JobRunner* runner = nullptr,
                                  const bgzf::ParallelReaderSettings& bgzf_settings = {});

// Reads the first bytes of `file` to tell BGZF (the gzip magic) from plain text,
// without seeking, so that pipes work: the bytes read are returned, for open_input.
struct Sniffed {
    bool compressed = false;
    std::vector<uint8_t> bytes;
};
IoResult<Sniffed> sniff_format(const File& file);

}  // namespace kestrel
