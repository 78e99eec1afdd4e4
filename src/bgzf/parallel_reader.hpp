// Turns an open BGZF file into its uncompressed bytes, inflating runs of blocks on
// the worker pool several jobs ahead and handing the data out strictly in stream
// order, as pieces of shared buffers.
//
// The calling thread reads the file in large pieces, parses every block header in
// memory, copies the payloads into a job and lays out each block's output by its
// ISIZE; workers only decode. Concatenated BGZF files read as one stream.
//
// Contract:
// - Failures keep their place in the stream: next() hands out the data of every block
//   before a damaged one, then reports that block: damaged input as a BgzfError, the
//   broken invariants (a header longer than its block, a payload too short for its
//   trailer) and a job that ran out of memory as a stop, raised on the calling thread.
//   After a block whose payload was read whole (bad data, CRC, ISIZE) reading goes on
//   with the next block; after a header or read failure, or a stop, next() repeats it.
// - Reads ahead only as far as read_ahead_until says (see there).
// - Memory is bounded whatever the file's size: a read-ahead buffer, and per job slot
//   (twice the runner's threads by default) a payload buffer, a decompressor and an
//   output buffer, plus two more output buffers for pieces the caller holds.
// - Pieces keep their buffer alive and may be released on any thread, also after the
//   reader is gone. next() may wait for pieces to be released: a caller that keeps
//   more than two pieces of earlier next() calls while it calls next() must release
//   them from another thread, or next() waits forever.
// - Owns its file. Used by one thread at a time; its jobs only touch their own job
//   slot. Destruction waits for the jobs in flight, also during unwinding.
// - Allocation failures on the calling thread throw std::bad_alloc; the reader then
//   stops with "memory allocation failed" on its next use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <variant>

#include "base/byte_source.hpp"
#include "bgzf/error.hpp"
#include "bgzf/inflate_job.hpp"
#include "runtime/buffer.hpp"
#include "runtime/worker_pool.hpp"

namespace kestrel::bgzf {

struct ParallelReaderSettings {
    size_t read_size = 2 << 20;  // bytes asked of one read(2)
    size_t blocks_per_job = 48;  // a job's output is at most this many times 64 KiB
    size_t jobs_in_flight = 0;   // 0: twice the runner's threads
    // A range of the file: no block is read that starts this many bytes or more past
    // where the file stood (the blocks before are read whole). The input then ends
    // there, as at the file's end.
    uint64_t stop_after = UINT64_MAX;
    // Where the caller may stop taking data at any moment (the end of what it means to
    // read, where it knows that only roughly): up to this many bytes past where the file
    // stood, blocks are read ahead in jobs as usual; from there on, one block at a time
    // as the data before it is taken, each read asking the file for no more than that
    // block and the next block's header. A reader dropped there has read little past it.
    uint64_t read_ahead_until = UINT64_MAX;
    // Worked out from every block on the worker that inflates it; notes() hands it out.
    BlockTally tally = nullptr;
};

// A block of the data next() handed out: where it starts in the source (compressed
// bytes from where the reader started), its data's length and, with a tally, its tally.
struct BlockNote {
    uint64_t offset = 0;
    uint32_t length = 0;
    uint64_t tally = 0;
};

class ParallelBgzfReader {
public:
    explicit ParallelBgzfReader(std::unique_ptr<ByteSource> source,
                                runtime::JobRunner& runner = runtime::WorkerPool::global(),
                                ParallelReaderSettings settings = {});
    ParallelBgzfReader(ParallelBgzfReader&&) noexcept;
    // The reader assigned over waits for its jobs first.
    ParallelBgzfReader& operator=(ParallelBgzfReader&&) noexcept;
    ~ParallelBgzfReader();

    // The next uncompressed bytes in stream order (empty blocks are passed over), or
    // the failure of the next damaged block. An empty piece is the end of the input:
    // an end-of-file marker that no gzip member follows (bytes after it are not
    // parsed), or the file ending between blocks; an empty file is UnexpectedEof.
    // After the end, empty again.
    std::variant<runtime::Piece, BgzfError> next();

    // Before the first next(): waits for the stream's first block and reports its
    // failure the way next() would (returned, or stopping), for callers that refuse
    // an input before acting on it. The first block's data stays for next().
    std::optional<BgzfError> check_first_block();

    // With a tally: the blocks whose data the last piece of next() holds, in order (empty
    // blocks among them); valid until the next call of next().
    std::span<const BlockNote> notes() const;

    // Compressed bytes read from the file so far (some are still being inflated).
    uint64_t bytes_read() const;
    // Once next() gave the end of the input: whether the stream itself ended there
    // (an end-of-file marker that no gzip member follows, or the file's end) rather
    // than stop_after.
    bool stream_ended() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace kestrel::bgzf
