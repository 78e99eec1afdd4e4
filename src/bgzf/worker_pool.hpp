// The process-wide compression pool: detached threads that live until the process
// ends, taking jobs from one queue.
#pragma once

#include <cstddef>
#include <memory>

#include "bgzf/job.hpp"
#include "bgzf/pool_settings.hpp"

namespace kestrel::bgzf {

struct JobQueue;

class WorkerPool final : public JobRunner {
public:
    // The pool of this process, started on first use from the environment. Stops with
    // "The global thread pool has not been initialized." when a thread cannot start;
    // the next call then tries again. A forked child starts a pool of its own.
    static WorkerPool& global();

    // Starts the threads; stops as above when one cannot start.
    explicit WorkerPool(const PoolSettings& settings);
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    size_t thread_count() const override { return thread_count_; }
    // A job that stops (or throws anything else) ends the process.
    void submit(Job job) override;

private:
    // Shared with the threads, so a pool that failed to start can let go of the
    // threads it did start.
    std::shared_ptr<JobQueue> queue_;
    size_t thread_count_;
};

}  // namespace kestrel::bgzf
