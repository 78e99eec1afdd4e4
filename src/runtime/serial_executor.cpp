#include "runtime/serial_executor.hpp"

#include "runtime/wait.hpp"

namespace kestrel::runtime {

SerialExecutor::~SerialExecutor() {
    std::unique_lock lock(mutex_);
    progressed_.wait(lock, [&] { return !draining_ && queue_.empty(); });
}

uint64_t SerialExecutor::submit(Job task) {
    std::unique_lock lock(mutex_);
    queue_.push_back(std::move(task));
    const uint64_t ticket = ++submitted_;
    if (draining_) return ticket;
    draining_ = true;
    lock.unlock();
    try {
        runner_.submit(Job([this] { drain(); }));
    } catch (...) {
        lock.lock();
        draining_ = false;
        queue_.pop_back();
        --submitted_;
        throw;
    }
    return ticket;
}

void SerialExecutor::drain() noexcept {
    std::unique_lock lock(mutex_);
    while (!queue_.empty()) {
        Job task = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        task();
        { Job finished = std::move(task); }  // released before the ticket counts as done
        lock.lock();
        ++completed_;
        progressed_.notify_all();
    }
    draining_ = false;
    progressed_.notify_all();
}

bool SerialExecutor::done(uint64_t ticket) {
    std::lock_guard lock(mutex_);
    return completed_ >= ticket;
}

void SerialExecutor::wait_for(uint64_t ticket) {
    std::unique_lock lock(mutex_);
    wait_interruptibly(progressed_, lock, [&] { return completed_ >= ticket; });
}

}  // namespace kestrel::runtime
