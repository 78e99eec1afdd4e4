// The process-wide worker pool: detached threads that live until the process ends,
// taking independent jobs from one queue.
//
// Contract: global() and submit() may be called from any thread. A job runs exactly
// once, on some worker, in no particular order; a job that stops (or throws) ends
// the process, so jobs report failures through their own results instead. Workers
// never touch interpreter objects.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

#include "runtime/pool_settings.hpp"

namespace kestrel::runtime {

// A move-only closure run once on some worker thread.
class Job {
public:
    template <class Function>
        requires(!std::is_same_v<std::decay_t<Function>, Job>)
    explicit Job(Function function) : body_(std::make_unique<Body<Function>>(std::move(function))) {}

    void operator()() { body_->run(); }

private:
    struct BodyBase {
        virtual ~BodyBase() = default;
        virtual void run() = 0;
    };
    template <class Function>
    struct Body final : BodyBase {
        explicit Body(Function f) : function(std::move(f)) {}
        void run() override { function(); }
        Function function;
    };
    std::unique_ptr<BodyBase> body_;
};

// Runs independent jobs later, in any order, possibly concurrently. The writer uses
// the process-wide pool; tests substitute runners that control the order.
class JobRunner {
public:
    virtual size_t thread_count() const = 0;
    virtual void submit(Job job) = 0;

protected:
    ~JobRunner() = default;
};


struct JobQueue;

class WorkerPool final : public JobRunner {
public:
    // The pool of this process, started on first use from the environment. Stops with
    // "The global thread pool has not been initialized.: " and the system's error when
    // a thread cannot start, leaving no thread of that attempt behind; the next call
    // then tries again. A forked child starts a pool of its own.
    static WorkerPool& global();
    // The same without the stop: null when the pool cannot start now, with the
    // system's error code in `failure` when given.
    static WorkerPool* try_global(int* failure = nullptr) noexcept;
    // The message global() stops with for that code.
    static std::string start_failure_message(int code);
    // A process-wide pool of exactly `threads` workers (a task that was given that
    // many threads, in a process that runs several such tasks), made on first use
    // and kept like the global one; it stops as global() does when it cannot start,
    // and a forked child makes its own.
    static WorkerPool& with_threads(size_t threads);

    // Starts all the threads or none: when one cannot start, those already started
    // are ended and joined (their stacks given back) before it stops as above. Once all
    // run they are detached and live until the process ends, with every signal that
    // is not synchronous blocked (the interpreter's thread handles those).
    explicit WorkerPool(const PoolSettings& settings);
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    size_t thread_count() const override { return thread_count_; }
    // A job that stops (or throws anything else) ends the process.
    void submit(Job job) override;

private:
    WorkerPool(const PoolSettings& settings, int* failure);
    static WorkerPool* global_or_failure(int& failure);

    // Shared with the threads, which outlive this object.
    std::shared_ptr<JobQueue> queue_;
    size_t thread_count_;
};

}  // namespace kestrel::runtime
