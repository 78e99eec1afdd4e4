// Compression of byte streams into BGZF on the worker pool. The input is cut into
// 65280-byte pieces, 50 pieces per deflate job (bgzf/deflate_job.hpp); jobs are
// compressed independently and their blocks are handed over strictly in input order.
//
// StreamCompressor takes a sequence of files, one after another: while the last
// job of one file is being compressed, the next file's first jobs are already
// filled and sent, so compression does not stop between files. Block cutting starts
// afresh at the start of every file.
//
// ParallelBgzfWriter is one such stream appended to a caller's buffer, ending with
// the end-of-file marker.
//
// Contract: used by one thread, which also receives every block (sinks are called
// on it, from within write, poll and the waits). Jobs allocate nothing and report
// nothing; job memory is made on the calling thread, where std::bad_alloc is
// thrown. At most 2 x pool threads jobs exist per compressor, which bounds the
// memory. Waits for jobs may end with Interrupted (base/stop.hpp). Destruction
// cuts the jobs in flight short and waits for them, also while an exception passes.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "base/io_error.hpp"
#include "bgzf/deflate_job.hpp"
#include "bgzf/header.hpp"
#include "runtime/worker_pool.hpp"

namespace kestrel::bgzf {

// Receives one file's blocks, in order.
class BlockSink {
public:
    // `compressed` holds whole blocks; `sizes` says how long each is and how much
    // input it holds.
    virtual void blocks(std::span<const uint8_t> compressed, std::span<const BlockSize> sizes) = 0;
    // Every block of the file has been handed over.
    virtual void end() = 0;

protected:
    ~BlockSink() = default;
};

class StreamCompressor {
public:
    StreamCompressor(uint32_t level, runtime::JobRunner& runner);
    StreamCompressor(const StreamCompressor&) = delete;
    StreamCompressor& operator=(const StreamCompressor&) = delete;
    ~StreamCompressor();

    // The bytes written from now on belong to a file whose blocks go to `sink`,
    // which must live until its end() was called (or the compressor is gone).
    void begin_file(BlockSink& sink);
    // Takes every byte; blocks while all jobs are being compressed.
    void write(std::span<const uint8_t> bytes);
    // Sends what is left of the file as up to one job per worker; does not wait.
    void end_file();
    // Sends the partly filled job (not ending the file) and waits until every
    // block written so far has been handed over.
    void flush();
    // Hands over the blocks that are done, without waiting.
    void poll() { collect(false, false); }
    // Waits until every block of every file has been handed over.
    void wait_for_all() { collect(true, true); }
    // Waits for one more job to come back and be handed over, when any is out.
    void wait_for_one() { collect(true, false); }
    bool all_handed_over() const { return next_to_emit_ == next_to_dispatch_; }

private:
    // Finished jobs, linked through DeflateJob::next_done: sending allocates nothing.
    struct Done {
        std::mutex mutex;
        std::condition_variable arrived;
        DeflateJob* head = nullptr;
        DeflateJob* tail = nullptr;
        void push(DeflateJob* job) noexcept;
        // The waits of an interruptible pop run the interruption check (base/stop.hpp).
        DeflateJobPtr pop(bool wait, bool interruptible);
    };

    void collect(bool wait, bool wait_for_all);
    void emit(DeflateJobPtr job);
    void dispatch();
    void dispatch_spread();
    DeflateJob& job_being_filled();
    bool no_job_free() const { return free_jobs_.empty() && jobs_not_yet_taken_ == 0; }

    runtime::JobRunner& runner_;
    uint32_t level_;
    // 2 x threads jobs belong to the compressor; they are taken only when input needs them.
    size_t jobs_not_yet_taken_;
    std::deque<DeflateJobPtr> free_jobs_;
    BlockSink* sink_ = nullptr;
    uint64_t next_to_dispatch_ = 0;
    uint64_t next_to_emit_ = 0;
    uint64_t received_ = 0;
    std::map<uint64_t, DeflateJobPtr> early_results_;
    Done done_;
    std::atomic<bool> abandoned_{false};  // read by the jobs
};

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
    // Dropped while open: flushes and ends the stream with the end-of-file marker.
    // Dropped while an exception passes, it only waits for the jobs being compressed.
    ~ParallelBgzfWriter();

    // Takes every byte; blocks while all jobs are being compressed.
    std::optional<IoError> write(std::span<const uint8_t> bytes);
    // Sends the partly filled job and waits until every block is in the destination.
    std::optional<IoError> flush();
    // Flushes and appends the end-of-file marker.
    std::variant<BlockIndex, IoError> close() &&;

private:
    class Destination final : public BlockSink {
    public:
        explicit Destination(std::vector<uint8_t>& bytes) : bytes_(bytes) {}
        void blocks(std::span<const uint8_t> compressed, std::span<const BlockSize> sizes) override;
        void end() override {}
        void append_marker() { bytes_.insert(bytes_.end(), kEofMarker.begin(), kEofMarker.end()); }
        BlockIndex index;

    private:
        std::vector<uint8_t>& bytes_;
        uint64_t compressed_offset_ = 0;
        uint64_t uncompressed_offset_ = 0;
    };

    Destination destination_;
    StreamCompressor compressor_;
    bool closed_ = false;
    int exceptions_at_construction_;
};

}  // namespace kestrel::bgzf
