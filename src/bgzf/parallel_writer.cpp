#include "bgzf/parallel_writer.hpp"

#include <algorithm>

#include "base/stop.hpp"
#include "bgzf/header.hpp"
#include "runtime/wait.hpp"

namespace kestrel::bgzf {

void StreamCompressor::Done::push(DeflateJob* job) noexcept {
    {
        std::lock_guard lock(mutex);
        job->next_done = nullptr;
        if (tail != nullptr) {
            tail->next_done = job;
        } else {
            head = job;
        }
        tail = job;
    }
    arrived.notify_one();
}

DeflateJobPtr StreamCompressor::Done::pop(bool wait, bool interruptible) {
    std::unique_lock lock(mutex);
    const auto ready = [this] { return head != nullptr; };
    // Jobs at the slowest level take a while: a wait that long may be interrupted.
    if (wait && interruptible) {
        runtime::wait_interruptibly(arrived, lock, ready);
    } else if (wait) {
        arrived.wait(lock, ready);
    }
    if (head == nullptr) return nullptr;
    DeflateJob* job = head;
    head = job->next_done;
    if (head == nullptr) tail = nullptr;
    job->next_done = nullptr;
    return DeflateJobPtr(job);
}

StreamCompressor::StreamCompressor(uint32_t level, runtime::JobRunner& runner)
    : runner_(runner), level_(level), jobs_not_yet_taken_(2 * std::max<size_t>(runner.thread_count(), 1)) {}

StreamCompressor::~StreamCompressor() {
    // Whatever is still being compressed is wanted by nobody now (a call that ends
    // early, say on Ctrl-C): the jobs stop at their next block. No job may outlive
    // the queue it reports to.
    abandoned_.store(true, std::memory_order_relaxed);
    while (received_ < next_to_dispatch_) {
        done_.pop(true, /*interruptible=*/false);
        ++received_;
    }
}

void StreamCompressor::begin_file(BlockSink& sink) { sink_ = &sink; }

void StreamCompressor::write(std::span<const uint8_t> bytes) {
    size_t accepted = 0;
    while (accepted < bytes.size()) {
        collect(no_job_free());
        DeflateJob& job = job_being_filled();
        const size_t space = job.space_left();
        const size_t remaining = bytes.size() - accepted;
        const size_t take = std::min(space, remaining);
        job.append_raw(bytes.subspan(accepted, take));
        if (remaining >= space) dispatch();
        accepted += take;
    }
}

void StreamCompressor::end_file() {
    collect(no_job_free());
    // A file whose bytes were all sent already still needs its end handed over in
    // order: an empty job carries it.
    job_being_filled().ends_file = true;
    dispatch_spread();
    sink_ = nullptr;
}

// The partly filled job is all that remains of the file for now: its pieces go out
// as several jobs, so that a small file keeps every worker busy rather than one.
// Whole pieces stay in order, so the blocks are the same.
void StreamCompressor::dispatch_spread() {
    DeflateJob& first = *free_jobs_.front();
    const size_t pieces = (first.raw.size() + kMaxBlockData - 1) / kMaxBlockData;
    const size_t spare_jobs = free_jobs_.size() - 1 + jobs_not_yet_taken_;
    const size_t jobs = std::min({pieces, runner_.thread_count(), spare_jobs + 1});
    if (jobs <= 1) {
        dispatch();
        return;
    }
    const size_t part_bytes = (pieces + jobs - 1) / jobs * kMaxBlockData;
    std::vector<DeflateJobPtr> parts;
    for (size_t start = part_bytes; start < first.raw.size(); start += part_bytes) {
        DeflateJobPtr part;
        if (free_jobs_.size() > 1) {
            part = std::move(free_jobs_.back());
            free_jobs_.pop_back();
        } else {
            part = acquire_deflate_job();
            --jobs_not_yet_taken_;
        }
        part->append_raw(std::span<const uint8_t>(first.raw).subspan(
            start, std::min(part_bytes, first.raw.size() - start)));
        parts.push_back(std::move(part));
    }
    first.raw.resize(part_bytes);
    const bool ends_file = first.ends_file;
    first.ends_file = false;
    parts.back()->ends_file = ends_file;
    dispatch();
    for (DeflateJobPtr& part : parts) {
        free_jobs_.push_front(std::move(part));
        dispatch();
    }
}

void StreamCompressor::collect(bool wait) {
    while (next_to_emit_ != next_to_dispatch_) {
        DeflateJobPtr job = done_.pop(wait, /*interruptible=*/true);
        if (!job) return;
        ++received_;
        if (job->sequence != next_to_emit_) {
            const uint64_t sequence = job->sequence;
            early_results_.insert_or_assign(sequence, std::move(job));
            continue;
        }
        emit(std::move(job));
        for (auto next = early_results_.find(next_to_emit_); next != early_results_.end();
             next = early_results_.find(next_to_emit_)) {
            DeflateJobPtr waiting = std::move(next->second);
            early_results_.erase(next);
            emit(std::move(waiting));
        }
        wait = false;
    }
}

void StreamCompressor::emit(DeflateJobPtr job) {
    ++next_to_emit_;
    auto* sink = static_cast<BlockSink*>(job->sink);
    const bool ends_file = job->ends_file;
    job->sink = nullptr;
    if (!job->compressed.empty()) sink->blocks(job->compressed, job->block_sizes);
    job->reset();
    free_jobs_.push_back(std::move(job));
    if (ends_file) sink->end();
}

DeflateJob& StreamCompressor::job_being_filled() {
    if (free_jobs_.empty()) {
        // Only reached with jobs left to take: callers waited while none were free.
        free_jobs_.push_back(acquire_deflate_job());
        --jobs_not_yet_taken_;
    }
    return *free_jobs_.front();
}

void StreamCompressor::dispatch() {
    DeflateJob& next = *free_jobs_.front();
    next.reserve_room_for_blocks();  // may throw: the job stays first
    next.prepare_compressor(level_);
    next.sink = sink_;
    next.sequence = next_to_dispatch_;
    DeflateJobPtr job = std::move(free_jobs_.front());
    free_jobs_.pop_front();
    runner_.submit(runtime::Job([job = std::move(job), done = &done_, abandoned = &abandoned_]() mutable {
        compress_job(*job, *abandoned);
        done->push(job.release());
    }));
    ++next_to_dispatch_;  // only once submitted: a job counted here always comes back
}

}  // namespace kestrel::bgzf
