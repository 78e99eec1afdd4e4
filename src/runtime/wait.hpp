// The wait of a calling thread for other threads (the pool's jobs, a disk): in slices
// of 50 ms, with the interruption check (base/stop.hpp) between them, so that Ctrl-C
// ends a long wait promptly.
//
// Contract: returns with `lock` held once `ready()` holds, or ends with what the
// interruption check throws (Interrupted), `lock` then released. The check runs with
// `lock` released, as it may run arbitrary code.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "base/stop.hpp"

namespace kestrel::runtime {

inline constexpr std::chrono::milliseconds kInterruptibleWaitSlice{50};

template <class Predicate>
void wait_interruptibly(std::condition_variable& changed, std::unique_lock<std::mutex>& lock, Predicate ready) {
    while (!changed.wait_for(lock, kInterruptibleWaitSlice, ready)) {
        lock.unlock();
        check_interrupt();
        lock.lock();
    }
}

}  // namespace kestrel::runtime
