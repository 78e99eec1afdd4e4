// Byte buffers that travel between threads. A BufferPool hands out buffers of one
// size, at most `count` of them at a time; a buffer goes back to its pool when the
// last holder of it lets go, on whichever thread that is. A Piece is a run of bytes
// inside such a buffer together with the reference that keeps the buffer alive.
//
// Contract: acquire() blocks while every buffer is held, so memory stays bounded
// (the wait may end with Interrupted, base/stop.hpp);
// whoever holds pieces must let go of them without waiting for acquire() (or
// deadlock follows). Allocation failures throw std::bad_alloc on the acquiring
// thread; releasing never allocates. Thread-safe; the pool's state lives until
// its last buffer is back, so pieces may outlive the BufferPool object.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "runtime/wait.hpp"

namespace kestrel::runtime {

class Buffer {
public:
    explicit Buffer(size_t capacity) : bytes_(std::make_unique_for_overwrite<uint8_t[]>(capacity)), capacity_(capacity) {}
    uint8_t* data() { return bytes_.get(); }
    const uint8_t* data() const { return bytes_.get(); }
    size_t capacity() const { return capacity_; }
    std::span<uint8_t> writable() { return {bytes_.get(), capacity_}; }

private:
    std::unique_ptr<uint8_t[]> bytes_;
    size_t capacity_;
};

using BufferRef = std::shared_ptr<Buffer>;

struct Piece {
    std::shared_ptr<const Buffer> owner;  // null for bytes that live elsewhere for long enough
    std::span<const uint8_t> bytes;
};

class BufferPool {
public:
    BufferPool(size_t buffer_size, size_t count) : state_(std::make_shared<State>(buffer_size, count)) {}

    size_t buffer_size() const { return state_->buffer_size; }

    // A free buffer; made while fewer than `count` exist, else waits for one.
    BufferRef acquire() {
        std::unique_lock lock(state_->mutex);
        // The holders are slow (a disk): a wait long enough to be noticed may be interrupted.
        wait_interruptibly(state_->returned, lock, [&] { return !state_->free.empty() || state_->made < state_->count; });
        Buffer* buffer;
        if (!state_->free.empty()) {
            buffer = state_->free.back();
            state_->free.pop_back();
        } else {
            buffer = new Buffer(state_->buffer_size);  // may throw: nothing changed yet
            ++state_->made;
        }
        lock.unlock();
        return BufferRef(buffer, Returner{state_});  // on failure the returner takes it back
    }

private:
    struct State {
        State(size_t size, size_t n) : buffer_size(size), count(n) { free.reserve(n); }
        ~State() {
            for (Buffer* buffer : free) delete buffer;
        }
        std::mutex mutex;
        std::condition_variable returned;
        std::vector<Buffer*> free;  // capacity `count`: returning never reallocates
        size_t buffer_size;
        size_t count;
        size_t made = 0;
    };
    struct Returner {
        std::shared_ptr<State> state;
        void operator()(Buffer* buffer) const noexcept {
            {
                std::lock_guard lock(state->mutex);
                state->free.push_back(buffer);
            }
            state->returned.notify_one();
        }
    };
    std::shared_ptr<State> state_;
};

}  // namespace kestrel::runtime
