#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>

#include "runtime/pool_settings.hpp"
#include "runtime/worker_pool.hpp"
#include "base/stop.hpp"

using namespace kestrel::runtime;
using std::nullopt;

namespace {

constexpr size_t kProcessors = 6;

size_t threads_for(std::optional<std::string_view> num_threads, std::optional<std::string_view> rs_num_cpus) {
    return pool_thread_count(num_threads, rs_num_cpus, kProcessors);
}

}  // namespace

TEST(PoolSettings, UnsignedNumbersTakeAnOptionalPlusAndDigitsOnly) {
    EXPECT_EQ(parse_unsigned("7"), 7u);
    EXPECT_EQ(parse_unsigned("+7"), 7u);
    EXPECT_EQ(parse_unsigned("007"), 7u);
    EXPECT_EQ(parse_unsigned("18446744073709551615"), UINT64_MAX);
    for (const char* invalid : {"", "+", "++7", "-2", " 3", "3 ", "abc", "1_000", "0x10", "18446744073709551616",
                                "\xd9\xa3" /* ARABIC-INDIC DIGIT THREE */}) {
        EXPECT_EQ(parse_unsigned(invalid), nullopt) << '"' << invalid << '"';
    }
}

TEST(PoolSettings, RayonNumThreadsDecidesWhenItParses) {
    EXPECT_EQ(threads_for("3", "5"), 3u);
    EXPECT_EQ(threads_for("+3", nullopt), 3u);
    // 0 means the processors, and the second variable is not consulted then.
    EXPECT_EQ(threads_for("0", "5"), kProcessors);
    EXPECT_EQ(threads_for("1000", nullopt), 255u);
    EXPECT_EQ(threads_for("255", nullopt), 255u);
    EXPECT_EQ(threads_for("18446744073709551615", nullopt), 255u);
}

TEST(PoolSettings, UnparsableRayonNumThreadsFallsBackToRayonRsNumCpus) {
    for (const char* ignored : {"abc", "-2", " 3", "", "18446744073709551616"}) {
        EXPECT_EQ(threads_for(ignored, "5"), 5u) << '"' << ignored << '"';
    }
    EXPECT_EQ(threads_for(nullopt, "+5"), 5u);
    EXPECT_EQ(threads_for(nullopt, "1000"), 255u);
    // Only a positive second variable counts.
    EXPECT_EQ(threads_for(nullopt, "0"), kProcessors);
    EXPECT_EQ(threads_for("abc", "xyz"), kProcessors);
    EXPECT_EQ(threads_for(nullopt, nullopt), kProcessors);
}

TEST(PoolSettings, ProcessorCountIsCappedToo) {
    EXPECT_EQ(pool_thread_count(nullopt, nullopt, 300), 255u);
    EXPECT_EQ(pool_thread_count("0", nullopt, 256), 255u);
    EXPECT_GE(available_processors(), 1u);
}

TEST(PoolSettings, WorkerStackSizeFromRustMinStack) {
    EXPECT_EQ(worker_stack_size(nullopt), 2u * 1024 * 1024);
    EXPECT_EQ(worker_stack_size("abc"), 2u * 1024 * 1024);
    EXPECT_EQ(worker_stack_size("-1"), 2u * 1024 * 1024);
    EXPECT_EQ(worker_stack_size("8388608"), 8388608u);
    EXPECT_EQ(worker_stack_size("+65536"), 65536u);
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
        WorkerPool pool(impossible);
        FAIL() << "the pool started";
    } catch (const kestrel::Stop& stop) {
        EXPECT_TRUE(stop.message().starts_with("The global thread pool has not been initialized.: Os { code: "))
            << stop.message();
    }
}

TEST(WorkerPoolDeathTest, StopInAJobEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            WorkerPool pool(PoolSettings{.thread_count = 1, .stack_size = 1 << 20});
            pool.submit(Job([] { kestrel::stop("Failed to write block: InsufficientSpace"); }));
            for (;;) pause();
        },
        "panicked at 'Failed to write block: InsufficientSpace'.*\nRayon: detected unexpected panic; aborting");
}

TEST(WorkerPoolDeathTest, AnyOtherExceptionInAJobEndsTheProcessToo) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            WorkerPool pool(PoolSettings{.thread_count = 1, .stack_size = 1 << 20});
            pool.submit(Job([] { throw std::runtime_error("out of luck"); }));
            for (;;) pause();
        },
        "panicked at 'out of luck'.*\nRayon: detected unexpected panic; aborting");
}
