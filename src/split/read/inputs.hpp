// The inputs the driver reads, from any ByteSource (base/byte_source.hpp): plain text,
// read in large pieces straight into the buffers that are later written out, and
// BGZF, inflated on the worker pool. Both hand out the input as Pieces in order, the
// shared buffers holding them coming from a bounded pool.
//
// Contract: next() returns an empty piece at the end of the input and reports a read
// failure as a value, so that the driver can first finish what came before; a
// damaged BGZF input is reported the same way with its BgzfError. Each input owns its
// source. Used by one thread.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "base/byte_source.hpp"
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
    IoError error;  // the failure as an I/O error (a damaged BGZF block wrapped in one)
};

using InputResult = std::variant<runtime::Piece, ReadFailure>;

class Input {
public:
    virtual ~Input() = default;
    virtual InputResult next() = 0;
    // Bytes read from the source so far (compressed bytes for BGZF), for progress.
    virtual uint64_t bytes_read() const = 0;
    // At the end: whether the input's own end was reached (not a limit of the range read).
    virtual bool stream_ended() const { return true; }
    // BGZF read with a tally: the blocks of the last piece (bgzf::ParallelBgzfReader::notes).
    virtual std::span<const bgzf::BlockNote> notes() const { return {}; }
};

// What the input's bytes are: plain text, BGZF (blocks that can be inflated apart, on
// the worker pool), or plain gzip (one or more members, inflated as one stream).
enum class InputFormat : uint8_t { Plain, Bgzf, Gzip };

inline InputFormat bgzf_or_plain(bool compressed) { return compressed ? InputFormat::Bgzf : InputFormat::Plain; }

// Plain input comes in pieces of at most `read_size` bytes. A BGZF input that is not
// BGZF fails at its first next(). BGZF input is inflated on `runner` (null: the
// process's pool), and only as far as `bgzf_settings.stop_after` says; gzip input on
// the calling thread. Plain and BGZF input read ahead only as far as
// `bgzf_settings.read_ahead_until` says.
std::unique_ptr<Input> read_input(std::unique_ptr<ByteSource> source, InputFormat format, size_t read_size,
                                  runtime::JobRunner* runner = nullptr,
                                  const bgzf::ParallelReaderSettings& bgzf_settings = {});

// The format of `source`, from its first bytes (the gzip magic, and the BC subfield
// that makes a gzip member a BGZF block): read at offset 0 where it is seekable, else
// taken from it and put back in front (so that pipes work).
IoResult<InputFormat> sniff_format(std::unique_ptr<ByteSource>& source);

}  // namespace kestrel
