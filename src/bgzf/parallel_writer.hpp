// Compression of byte streams into BGZF on the worker pool. The input is cut into
// 65280-byte pieces, 50 pieces per deflate job (bgzf/deflate_job.hpp); jobs are
// compressed independently and their blocks are handed over strictly in input order.
//
// StreamCompressor takes a sequence of files, one after another: while the last
// job of one file is being compressed, the next file's first jobs are already
// filled and sent, so compression does not stop between files. Block cutting starts
// afresh at the start of every file.
//
// Contract: used by one thread, which also receives every block (sinks are called
// on it, from within write, end_file, poll and wait_for_one). Jobs allocate nothing
// and report nothing; job memory and compressors are made on the calling thread,
// where std::bad_alloc is thrown (and a level Compressor refuses stops). At most
// 2 x pool threads jobs exist per compressor, which bounds the memory. Waits for
// jobs may end with Interrupted (base/stop.hpp). Destruction cuts the jobs in
// flight short and waits for them, also while an exception passes.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <span>
#include <vector>

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
    // Hands over the blocks that are done, without waiting.
    void poll() { collect(false); }
    // Waits for one more job to come back and be handed over, when any is out.
    void wait_for_one() { collect(true); }
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

    // Hands over the jobs that came back in order; `wait`: waits for one first.
    void collect(bool wait);
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

}  // namespace kestrel::bgzf
