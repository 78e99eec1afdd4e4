// Turns a byte stream into a BGZF stream appended to a caller's buffer: the input is
// cut into 65280-byte pieces, 50 pieces per chunk, chunks are compressed as
// independent jobs on the worker pool, and their blocks are appended in input order.
//
// Contract: write/flush/close return an IoError ("Closed channel") and never stop,
// except when an open writer is dropped and its flush fails. The caller keeps the
// destination; one writer is used by one thread; the pool threads only touch the
// chunks they were given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "runtime/channel.hpp"
#include "bgzf/chunk.hpp"
#include "runtime/worker_pool.hpp"
#include "base/io_error.hpp"

namespace kestrel::bgzf {

struct BlockIndexEntry {
    uint64_t compressed_offset;
    uint64_t uncompressed_offset;
    bool operator==(const BlockIndexEntry&) const = default;
};

// Where every data block after the first starts.
using BlockIndex = std::vector<BlockIndexEntry>;

class ParallelBgzfWriter {
public:
    // Uses the process-wide pool, starting it if this is the first writer.
    ParallelBgzfWriter(std::vector<uint8_t>& destination, uint32_t level);
    ParallelBgzfWriter(std::vector<uint8_t>& destination, uint32_t level, runtime::JobRunner& runner);
    ParallelBgzfWriter(const ParallelBgzfWriter&) = delete;
    ParallelBgzfWriter& operator=(const ParallelBgzfWriter&) = delete;
    // Dropped while open: flushes (stopping with "BGZF: Flash Error" if that fails)
    // and ends the stream with the end-of-file marker. Dropped while an exception
    // passes, it only waits for the chunks still being compressed.
    ~ParallelBgzfWriter() noexcept(false);

    // Takes every byte; blocks while all chunks are being compressed.
    std::optional<IoError> write(std::span<const uint8_t> bytes);
    // Sends the partly filled chunk and waits until every block is in the destination.
    std::optional<IoError> flush();
    // Flushes and appends the end-of-file marker.
    std::variant<BlockIndex, IoError> close() &&;

private:
    // Appends the chunks that came back, in order. Blocks for one chunk when `wait`
    // is set, and for all dispatched chunks when `wait_for_all` is set.
    std::optional<IoError> collect_results(bool wait, bool wait_for_all);
    void emit(ChunkPtr chunk);
    void dispatch();
    // Dispatches the partly filled chunk as up to one job per worker.
    void dispatch_spread();
    // The chunk being filled, taken from the process's free chunks if need be.
    Chunk& chunk_being_filled();
    bool no_chunk_free() const { return free_chunks_.empty() && chunks_not_yet_taken_ == 0; }
    void finish_after_failed_close();
    void wait_for_jobs_in_flight() noexcept;
    void append_eof_marker();

    std::vector<uint8_t>& destination_;
    runtime::JobRunner& runner_;
    uint32_t level_;
    // 2 x threads chunks belong to the writer; they are taken only when input needs them.
    size_t chunks_not_yet_taken_;
    std::deque<ChunkPtr> free_chunks_;
    uint64_t next_to_dispatch_ = 0;
    uint64_t next_to_emit_ = 0;
    std::map<uint64_t, ChunkPtr> early_results_;
    // The writer's own sender keeps the channel connected while the writer exists.
    runtime::Channel<ChunkPtr> results_;
    uint64_t compressed_offset_ = 0;
    uint64_t uncompressed_offset_ = 0;
    BlockIndex block_index_;
    bool closed_ = false;
    int exceptions_at_construction_;
};

}  // namespace kestrel::bgzf
