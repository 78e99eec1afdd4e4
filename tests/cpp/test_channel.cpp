#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "runtime/channel.hpp"

using namespace kestrel::runtime;

TEST(Channel, DeliversInSendingOrderAndReportsEmpty) {
    auto channel = make_channel<std::unique_ptr<int>>();
    EXPECT_TRUE(std::holds_alternative<ChannelEmpty>(channel.receiver.try_receive()));
    channel.sender.send(std::make_unique<int>(1));
    channel.sender.send(std::make_unique<int>(2));
    EXPECT_EQ(*std::get<0>(channel.receiver.try_receive()), 1);
    EXPECT_EQ(*std::get<0>(channel.receiver.receive()), 2);
    EXPECT_TRUE(std::holds_alternative<ChannelEmpty>(channel.receiver.try_receive()));
}

TEST(Channel, DisconnectsWhenTheLastSenderIsGoneAndDrained) {
    auto channel = make_channel<int>();
    {
        Sender<int> clone = channel.sender;
        const Sender<int> moved = std::move(channel.sender);
        clone.send(7);
        EXPECT_EQ(std::get<int>(channel.receiver.receive()), 7);
        EXPECT_TRUE(std::holds_alternative<ChannelEmpty>(channel.receiver.try_receive()));
        clone.send(8);
    }
    // Values sent before the senders went are still delivered.
    EXPECT_EQ(std::get<int>(channel.receiver.try_receive()), 8);
    EXPECT_TRUE(std::holds_alternative<ChannelDisconnected>(channel.receiver.try_receive()));
    EXPECT_TRUE(std::holds_alternative<ChannelDisconnected>(channel.receiver.receive()));
}

TEST(Channel, BlockedReceiveWakesWhenTheLastSenderGoes) {
    auto channel = make_channel<int>();
    std::thread last_sender([sender = std::move(channel.sender)]() mutable { sender.send(1); });
    EXPECT_EQ(std::get<int>(channel.receiver.receive()), 1);
    EXPECT_TRUE(std::holds_alternative<ChannelDisconnected>(channel.receiver.receive()));
    last_sender.join();
}

TEST(Channel, SendFailsOnceTheReceiverIsGone) {
    auto shared = std::make_shared<int>(5);
    std::optional<Sender<std::shared_ptr<int>>> sender;
    {
        auto channel = make_channel<std::shared_ptr<int>>();
        sender.emplace(channel.sender);
        sender->send(shared);  // undelivered: dropped with the receiver
    }
    EXPECT_EQ(shared.use_count(), 1);
    EXPECT_FALSE(sender->send(shared));
    EXPECT_EQ(shared.use_count(), 1);
}

TEST(Channel, ManySendersOnManyThreads) {
    auto channel = make_channel<int>();
    std::vector<std::thread> senders;
    for (int t = 0; t < 8; ++t) {
        senders.emplace_back([t, sender = channel.sender]() mutable {
            for (int i = 0; i < 1000; ++i) sender.send(t * 1000 + i);
        });
    }
    { const Sender<int> writer_own = std::move(channel.sender); }
    std::vector<int> seen(8000, 0);
    for (;;) {
        auto received = channel.receiver.receive();
        if (std::holds_alternative<ChannelDisconnected>(received)) break;
        ++seen.at(std::get<int>(received));
    }
    for (auto& thread : senders) thread.join();
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), 8000);
}
