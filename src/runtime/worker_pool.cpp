#include "runtime/worker_pool.hpp"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

#include "base/io_error.hpp"
#include "base/stop.hpp"

namespace kestrel::runtime {

struct JobQueue {
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<Job> jobs;
    bool retired = false;

    void push(Job job) {
        {
            std::lock_guard lock(mutex);
            jobs.push_back(std::move(job));
        }
        ready.notify_one();
    }

    // Blocks for the next job; nullopt once the queue is retired.
    std::optional<Job> pop() {
        std::unique_lock lock(mutex);
        ready.wait(lock, [this] { return retired || !jobs.empty(); });
        if (retired) return std::nullopt;
        Job job = std::move(jobs.front());
        jobs.pop_front();
        return job;
    }

    void retire() {
        {
            std::lock_guard lock(mutex);
            retired = true;
        }
        ready.notify_all();
    }
};

namespace {

// A failing job leaves no caller to report to: the process ends.
void run_or_abort(Job& job) noexcept {
    try {
        job();
    } catch (const Stop&) {
        abort_from_worker();  // the stop has written its report
    } catch (const std::exception& error) {
        write_failure_report(error.what(), SourceLocation::current());
        abort_from_worker();
    } catch (...) {
// Contract text (docs/errors.md): callers match on it to the letter.
        write_failure_report("panic from Rust code", SourceLocation::current());
        abort_from_worker();
    }
}

// `argument` is the thread's own reference to its queue, which whoever started the
// thread frees once it has ended. A worker that never gets a job calls neither malloc
// nor free, so one ended by a failed start leaves no malloc arena behind either.
void* worker_main(void* argument) {
    const std::shared_ptr<JobQueue>& queue = *static_cast<const std::shared_ptr<JobQueue>*>(argument);
    while (std::optional<Job> job = queue->pop()) run_or_abort(*job);
    return nullptr;
}

// Asynchronous signals belong to the interpreter's thread, which handles them.
class AsynchronousSignalsBlocked {
public:
    AsynchronousSignalsBlocked() {
        sigset_t blocked;
        sigfillset(&blocked);
        for (const int synchronous : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT}) {
            sigdelset(&blocked, synchronous);
        }
        pthread_sigmask(SIG_BLOCK, &blocked, &previous_);
    }
    ~AsynchronousSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    AsynchronousSignalsBlocked(const AsynchronousSignalsBlocked&) = delete;
    AsynchronousSignalsBlocked& operator=(const AsynchronousSignalsBlocked&) = delete;

private:
    sigset_t previous_;
};

class ThreadAttributes {
public:
    ThreadAttributes() { pthread_attr_init(&attributes_); }
    ~ThreadAttributes() { pthread_attr_destroy(&attributes_); }
    ThreadAttributes(const ThreadAttributes&) = delete;
    ThreadAttributes& operator=(const ThreadAttributes&) = delete;
    pthread_attr_t* get() { return &attributes_; }

private:
    pthread_attr_t attributes_;
};

size_t usable_stack_size(size_t requested) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t at_least = std::max<size_t>(requested, PTHREAD_STACK_MIN);
    if (at_least > SIZE_MAX - page) return at_least;  // fails at thread start instead
    return (at_least + page - 1) / page * page;
}

// The threads of a pool being started: joinable until every one runs. Dropped before
// release(), it retires their queue and joins each of them, so that their stacks are
// given back before the caller hears of the failure.
class StartingThreads {
public:
    StartingThreads(std::shared_ptr<JobQueue> queue, size_t count) : queue_(std::move(queue)) {
        threads_.reserve(count);
    }
    ~StartingThreads() {
        if (threads_.empty()) return;
        queue_->retire();
        for (const Thread& thread : threads_) pthread_join(thread.id, nullptr);
        // Their references to the queue go with threads_, freed here and not by them.
    }
    StartingThreads(const StartingThreads&) = delete;
    StartingThreads& operator=(const StartingThreads&) = delete;

    // 0, or the error of pthread_create.
    int start_one(const pthread_attr_t* attributes) {
        auto queue_reference = std::make_unique<std::shared_ptr<JobQueue>>(queue_);
        pthread_t id;
        if (const int code = pthread_create(&id, attributes, worker_main, queue_reference.get())) return code;
        threads_.push_back(Thread{id, std::move(queue_reference)});  // reserved: cannot throw
        return 0;
    }

    // Every thread runs: each keeps its reference to the queue for as long as it
    // runs, which is until the process ends.
    void release() {
        for (Thread& thread : threads_) {
            pthread_detach(thread.id);
            (void)thread.queue_reference.release();
        }
        threads_.clear();
    }

private:
    struct Thread {
        pthread_t id;
        std::unique_ptr<std::shared_ptr<JobQueue>> queue_reference;
    };
    std::shared_ptr<JobQueue> queue_;
    std::vector<Thread> threads_;
};

// Starts settings.thread_count workers on `queue`, or none: 0, or the error of the
// first thread that could not start once the others have ended.
int start_all_or_none(const std::shared_ptr<JobQueue>& queue, const PoolSettings& settings) {
    ThreadAttributes attributes;
    if (const int code = pthread_attr_setstacksize(attributes.get(), usable_stack_size(settings.stack_size))) {
        return code;
    }
    const AsynchronousSignalsBlocked signals_blocked;
    StartingThreads threads(queue, settings.thread_count);
    for (size_t started = 0; started < settings.thread_count; ++started) {
        if (const int code = threads.start_one(attributes.get())) return code;
    }
    threads.release();
    return 0;
}

[[noreturn]] void pool_not_initialized(int code) { stop(WorkerPool::start_failure_message(code)); }

std::atomic<WorkerPool*> global_pool{nullptr};
std::mutex global_pool_creation;
using SizedPools = std::vector<std::pair<size_t, WorkerPool*>>;
SizedPools* const sized_pools = new SizedPools;  // never deleted, like the threads
std::mutex sized_pools_creation;

// The child of a fork has none of the parent's threads: it must not queue jobs that
// nobody will ever take, nor wait for a lock a parent's thread held. Both locks are
// taken around the fork, so that no pool is half made in the child; the parent's
// pools are left behind there, unused, and the child makes its own.
void lock_before_fork() {
    global_pool_creation.lock();
    sized_pools_creation.lock();
}
void unlock_in_parent() {
    sized_pools_creation.unlock();
    global_pool_creation.unlock();
}
void forget_pools_in_child() {
    global_pool.store(nullptr, std::memory_order_relaxed);
    sized_pools->clear();  // frees nothing: the pools stay where they are
    unlock_in_parent();
}

// Before the first pool is made, outside both locks.
void handle_forks() {
    static const bool installed = pthread_atfork(lock_before_fork, unlock_in_parent, forget_pools_in_child) == 0;
    (void)installed;
}

}  // namespace

WorkerPool::WorkerPool(const PoolSettings& settings) : WorkerPool(settings, nullptr) {}

WorkerPool::WorkerPool(const PoolSettings& settings, int* failure)
    : queue_(std::make_shared<JobQueue>()), thread_count_(settings.thread_count) {
    if (const int code = start_all_or_none(queue_, settings)) {
        // The threads that did start have ended and been joined already.
        if (failure == nullptr) pool_not_initialized(code);
        *failure = code;
    }
}

void WorkerPool::submit(Job job) { queue_->push(std::move(job)); }

WorkerPool* WorkerPool::global_or_failure(int& failure) {
    if (WorkerPool* pool = global_pool.load(std::memory_order_acquire)) return pool;
    handle_forks();
    std::lock_guard lock(global_pool_creation);
    if (WorkerPool* pool = global_pool.load(std::memory_order_acquire)) return pool;
    failure = 0;
    auto candidate = std::unique_ptr<WorkerPool>(new WorkerPool(pool_settings_from_environment(), &failure));
    if (failure != 0) return nullptr;  // its threads have ended already
    // Never deleted: the threads outlive every static destructor.
    WorkerPool* pool = candidate.release();
    global_pool.store(pool, std::memory_order_release);
    return pool;
}

WorkerPool& WorkerPool::global() {
    int failure = 0;
    if (WorkerPool* pool = global_or_failure(failure)) return *pool;
    pool_not_initialized(failure);
}

WorkerPool* WorkerPool::try_global(int* failure) noexcept {
    int code = 0;
    WorkerPool* pool = nullptr;
    try {
        pool = global_or_failure(code);
    } catch (...) {
        code = ENOMEM;
    }
    if (pool == nullptr && failure != nullptr) *failure = code;
    return pool;
}

WorkerPool& WorkerPool::with_threads(size_t threads) {
    handle_forks();
    std::lock_guard lock(sized_pools_creation);
    for (const auto& [count, pool] : *sized_pools) {
        if (count == threads) return *pool;
    }
    PoolSettings settings = pool_settings_from_environment();
    settings.thread_count = std::clamp<size_t>(threads, 1, kMaxPoolThreads);
    auto* pool = new WorkerPool(settings);  // stops when its threads cannot start
    sized_pools->emplace_back(threads, pool);
    return *pool;
}

std::string WorkerPool::start_failure_message(int code) {
// Contract text (docs/errors.md): callers match on it to the letter.
    return "The global thread pool has not been initialized.: " + IoError::os(code).debug();
}

}  // namespace kestrel::runtime
