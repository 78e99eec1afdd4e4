// The worker pool, its settings from the environment, and the waits of a calling
// thread for the pool's work.
#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "base/stop.hpp"
#include "runtime/buffer.hpp"
#include "runtime/pool_settings.hpp"
#include "runtime/serial_executor.hpp"
#include "runtime/worker_pool.hpp"
#include "support.hpp"

namespace support = kestrel::testing;

using namespace kestrel::runtime;
using std::nullopt;

TEST(PoolSettings, FollowTheVariablesAsParsed) {
    // An optional '+' and decimal digits only, fitting 64 bits.
    EXPECT_EQ(parse_unsigned("7"), 7u);
    EXPECT_EQ(parse_unsigned("+007"), 7u);
    EXPECT_EQ(parse_unsigned("18446744073709551615"), UINT64_MAX);
    for (const char* invalid : {"", "+", "++7", "-2", " 3", "3 ", "abc", "1_000", "0x10", "18446744073709551616",
                                "\xd9\xa3" /* ARABIC-INDIC DIGIT THREE */}) {
        EXPECT_EQ(parse_unsigned(invalid), nullopt) << '"' << invalid << '"';
    }
    // RAYON_NUM_THREADS decides when it parses (0: the processors, the second variable
    // unread); else a positive RAYON_RS_NUM_CPUS; else the processors; at most 255.
    using Variable = std::optional<std::string_view>;
    const std::tuple<Variable, Variable, size_t, size_t> threads[] = {
        {"3", "5", 6, 3}, {"+3", nullopt, 6, 3}, {"0", "5", 6, 6}, {"1000", nullopt, 6, 255},
        {"255", nullopt, 6, 255}, {"18446744073709551615", nullopt, 6, 255}, {"abc", "5", 6, 5},
        {"-2", "5", 6, 5}, {" 3", "5", 6, 5}, {"", "5", 6, 5}, {"18446744073709551616", "5", 6, 5},
        {nullopt, "+5", 6, 5}, {nullopt, "1000", 6, 255}, {nullopt, "0", 6, 6}, {"abc", "xyz", 6, 6},
        {nullopt, nullopt, 6, 6}, {nullopt, nullopt, 300, 255}, {"0", nullopt, 256, 255}};
    for (const auto& [num_threads, rs_num_cpus, processors, expected] : threads) {
        EXPECT_EQ(pool_thread_count(num_threads, rs_num_cpus, processors), expected)
            << num_threads.value_or("unset") << ", " << rs_num_cpus.value_or("unset") << ", " << processors;
    }
    EXPECT_GE(available_processors(), 1u);
    // RUST_MIN_STACK in bytes, 2 MiB when unset or unparsable.
    for (const auto& [variable, expected] : std::initializer_list<std::pair<Variable, size_t>>{
             {nullopt, 2 << 20}, {"abc", 2 << 20}, {"-1", 2 << 20}, {"8388608", 8388608}, {"+65536", 65536}}) {
        EXPECT_EQ(worker_stack_size(variable), expected) << variable.value_or("unset");
    }
}

TEST(WorkerPool, RunsJobsOnAsManyThreadsAsItHas) {
    static WorkerPool& pool = *new WorkerPool(PoolSettings{.thread_count = 3, .stack_size = 1 << 20});
    ASSERT_EQ(pool.thread_count(), 3u);
    // Each job waits for all three to be running: this ends only with three threads.
    std::mutex mutex;
    std::condition_variable changed;
    int running = 0, finished = 0;
    for (int i = 0; i < 3; ++i) {
        pool.submit(Job([&] {
            std::unique_lock lock(mutex);
            ++running;
            changed.notify_all();
            changed.wait(lock, [&] { return running == 3; });
            ++finished;
            changed.notify_all();
        }));
    }
    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(20), [&] { return finished == 3; }));
}

TEST(WorkerPool, ThreadThatCannotStartStopsTheCaller) {
    // No stack of this size can be mapped.
    const PoolSettings impossible{.thread_count = 2, .stack_size = size_t{1} << 62};
    try {
        const kestrel::QuietStops quiet;
        WorkerPool pool(impossible);
        FAIL() << "the pool started";
    } catch (const kestrel::Stop& stop) {
        EXPECT_TRUE(stop.message().starts_with("The global thread pool has not been initialized.: Os { code: "))
            << stop.message();
    }
}

// A job that stops, or throws anything else, has nobody to report to.
TEST(WorkerPoolDeathTest, AFailingJobEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto run_on_a_pool = [](void (*job)()) {
        WorkerPool pool(PoolSettings{.thread_count = 1, .stack_size = 1 << 20});
        pool.submit(Job(job));
        for (;;) pause();
    };
    EXPECT_DEATH(run_on_a_pool([] { kestrel::stop("Failed to write block: InsufficientSpace"); }),
                 "panicked at 'Failed to write block: InsufficientSpace'.*\nRayon: detected unexpected panic; aborting");
    EXPECT_DEATH(run_on_a_pool([] { throw std::runtime_error("out of luck"); }),
                 "panicked at 'out of luck'.*\nRayon: detected unexpected panic; aborting");
}

// A calling thread waits for a free buffer, or for a task of the serial executor, in
// short slices with the interruption check between them.
TEST(Waits, EndWithInterrupted) {
    BufferPool buffers(16, 1);
    const BufferRef held = buffers.acquire();
    support::ControlledRunner runner(1);
    SerialExecutor executor(runner);
    const support::ControlledRunner::Release release{runner};
    const uint64_t ticket = executor.submit(Job([] {}));
    for (const std::function<void()>& wait : {std::function<void()>([&] { buffers.acquire(); }),
                                              std::function<void()>([&] { executor.wait_for(ticket); })}) {
        const support::InterruptAfter interrupt(2);
        EXPECT_THROW(wait(), kestrel::Interrupted);
        EXPECT_EQ(interrupt.runs(), 2);
    }
    runner.run_all_from_now_on();
    executor.wait_for(ticket);
    EXPECT_TRUE(executor.done(ticket));
}
