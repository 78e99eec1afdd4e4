// Runs tasks one at a time, in the order they were submitted, on the threads of a
// JobRunner: a drain job takes tasks from the queue until it is empty, so no thread
// is kept for the purpose. Each task gets a ticket; callers wait for tickets.
//
// Contract: submit() and the waits are for one owning thread; a wait may end with
// Interrupted (base/stop.hpp), the tasks going on regardless; tasks run on pool
// workers and must neither throw nor allocate (their failures are theirs to record).
// submit() throws std::bad_alloc on the owning thread and then leaves the task
// unqueued. The destructor waits until every queued task has run.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>

#include "runtime/worker_pool.hpp"

namespace kestrel::runtime {

class SerialExecutor {
public:
    explicit SerialExecutor(JobRunner& runner) : runner_(runner) {}
    SerialExecutor(const SerialExecutor&) = delete;
    SerialExecutor& operator=(const SerialExecutor&) = delete;
    ~SerialExecutor();

    // Queues the task; returns its ticket (1, 2, ...).
    uint64_t submit(Job task);
    bool done(uint64_t ticket);
    // Waits for the task, running the interruption check between short waits.
    void wait_for(uint64_t ticket);

private:
    void drain() noexcept;

    JobRunner& runner_;
    std::mutex mutex_;
    std::condition_variable progressed_;
    std::deque<Job> queue_;
    uint64_t submitted_ = 0;
    uint64_t completed_ = 0;
    bool draining_ = false;
};

}  // namespace kestrel::runtime
