// How a batch's bytes reach its file, in the run's format (file_format.hpp). One
// BatchWriter per run hands out one BatchStream per batch. Plain text goes out by
// ordered writes on the worker pool, straight from the input's buffers; BGZF through
// one StreamCompressor for the whole run, so the next batch is compressed while the
// last blocks of the previous one still are. A new format is one more pair of these.
//
// Contract: used by the thread that runs the split; the work they send runs on the
// worker pool. Write failures are kept by the stream and read with error() once it
// is written; nothing here stops, but waits may end the call with Interrupted. A
// stream writes to an OutputFile (output_target.hpp) the caller keeps until the stream
// is written (or gone); dropping a writer waits for the work it sent.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "base/byte_source.hpp"
#include "base/io_error.hpp"
#include "index/binning_index.hpp"
#include "runtime/buffer.hpp"
#include "runtime/worker_pool.hpp"
#include "split/write/file_format.hpp"
#include "split/write/output_target.hpp"

namespace kestrel {

// The header lines read so far, each ending in LF; a new snapshot whenever it grows.
using HeaderSnapshot = std::shared_ptr<const std::vector<uint8_t>>;

class BatchStream {
public:
    virtual ~BatchStream() = default;
    // Bytes of the batch's records. A piece with an owner may be kept until it is
    // written; one without must stay valid until end_piece().
    virtual void append(const runtime::Piece& bytes) = 0;
    // The input piece is done with: what was appended from it goes out now.
    virtual void end_piece() = 0;
    // No more bytes: the batch is complete (also after a failed write).
    virtual void end() = 0;
    // Whether every byte is in the file, without waiting; and waiting for it.
    virtual bool written() = 0;
    virtual void wait_until_written() = 0;
    // The first write that failed.
    virtual const std::optional<IoError>& error() const = 0;
    // Once written: the file is written again from its start, `header` and then what
    // `records` holds (the batch's records, read back), and ended.
    virtual void rewrite(const HeaderSnapshot& header, ByteSource& records) = 0;
};

class BatchWriter {
public:
    virtual ~BatchWriter() = default;
    // The stream of a batch written to `file`, its header first; `index` (BGZF) hears
    // of every block. The message the call stops with when the batch's turn comes,
    // where the format cannot write (the worker pool cannot start).
    virtual std::variant<std::unique_ptr<BatchStream>, std::string> open(OutputFile& file, HeaderSnapshot header,
                                                                          index::IndexBuilder* index) = 0;
    // Hands over the work that is done, without waiting.
    virtual void poll() = 0;
};

// The writer of `format`'s files, its work on `runner` (null: the process's pool, made
// when the first batch starts; plain batches are written on the calling thread when
// it cannot start, or when `local_files` is false: files that only the calling thread
// may write).
std::unique_ptr<BatchWriter> open_writer(const FileFormat& format, runtime::JobRunner* runner,
                                         bool local_files = true);

}  // namespace kestrel
