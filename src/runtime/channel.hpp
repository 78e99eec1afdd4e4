// An unbounded channel with many senders and one receiver. Receiving tells "no
// value yet" apart from "no value ever again" (every sender gone).
//
// Contract: thread-safe; a value's ownership moves with it. Nothing here fails
// except allocation (std::bad_alloc).
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <utility>
#include <variant>

namespace kestrel::runtime {

struct ChannelEmpty {};
struct ChannelDisconnected {};

namespace channel_detail {

template <class T>
struct State {
    std::mutex mutex;
    std::condition_variable arrived;
    std::deque<T> values;
    size_t senders = 1;
    bool receiver_alive = true;
};

}  // namespace channel_detail

template <class T>
class Sender {
public:
    explicit Sender(std::shared_ptr<channel_detail::State<T>> state) : state_(std::move(state)) {}
    // A copy is one more sender.
    Sender(const Sender& other) : state_(other.state_) {
        if (state_) {
            std::lock_guard lock(state_->mutex);
            ++state_->senders;
        }
    }
    Sender(Sender&& other) noexcept = default;
    Sender& operator=(const Sender&) = delete;
    Sender& operator=(Sender&&) = delete;
    ~Sender() {
        if (!state_) return;
        bool last = false;
        {
            std::lock_guard lock(state_->mutex);
            last = --state_->senders == 0;
        }
        if (last) state_->arrived.notify_all();
    }

    // False when the receiver is gone; the value is then dropped.
    bool send(T value) {
        {
            std::lock_guard lock(state_->mutex);
            if (!state_->receiver_alive) return false;
            state_->values.push_back(std::move(value));
        }
        state_->arrived.notify_one();
        return true;
    }

private:
    std::shared_ptr<channel_detail::State<T>> state_;
};

template <class T>
class Receiver {
public:
    explicit Receiver(std::shared_ptr<channel_detail::State<T>> state) : state_(std::move(state)) {}
    Receiver(Receiver&&) noexcept = default;
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;
    Receiver& operator=(Receiver&&) = delete;
    ~Receiver() {
        if (!state_) return;
        std::deque<T> undelivered;  // dropped here, outside the lock
        std::lock_guard lock(state_->mutex);
        state_->receiver_alive = false;
        undelivered.swap(state_->values);
    }

    // Blocks until a value arrives or every sender is gone.
    std::variant<T, ChannelDisconnected> receive() {
        std::unique_lock lock(state_->mutex);
        state_->arrived.wait(lock, [this] { return !state_->values.empty() || state_->senders == 0; });
        if (state_->values.empty()) return ChannelDisconnected{};
        return take_front();
    }

    std::variant<T, ChannelEmpty, ChannelDisconnected> try_receive() {
        std::lock_guard lock(state_->mutex);
        if (!state_->values.empty()) return take_front();
        if (state_->senders == 0) return ChannelDisconnected{};
        return ChannelEmpty{};
    }

private:
    T take_front() {
        T value = std::move(state_->values.front());
        state_->values.pop_front();
        return value;
    }

    std::shared_ptr<channel_detail::State<T>> state_;
};

template <class T>
struct Channel {
    Sender<T> sender;
    Receiver<T> receiver;
};

template <class T>
Channel<T> make_channel() {
    auto state = std::make_shared<channel_detail::State<T>>();
    return {Sender<T>(state), Receiver<T>(state)};
}

}  // namespace kestrel::runtime
