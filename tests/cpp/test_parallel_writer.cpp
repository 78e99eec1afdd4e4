// The stream compressor against the sequential encoder (one block at a time on the
// calling thread) and zlib: the same bytes and block sizes, file after file, whatever
// the pool, the level, the sizes of the writes and the order jobs finish in.
#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <random>
#include <thread>

#include "base/stop.hpp"
#include "bgzf/deflate_job.hpp"
#include "bgzf/parallel_writer.hpp"
#include "support.hpp"

using namespace kestrel;
using namespace kestrel::bgzf;
using namespace kestrel::runtime;
using namespace kestrel::testing;

namespace {

constexpr size_t kJob = kJobCapacity;

void hand_everything_over(StreamCompressor& compressor) {
    while (!compressor.all_handed_over()) compressor.wait_for_one();
}

void expect_sequential(const CollectingSink& sink, std::span<const uint8_t> data, uint32_t level) {
    const auto expected = bgzf_encode(data, level);
    EXPECT_TRUE(sink.ended);
    EXPECT_TRUE(sink.bytes == expected.bytes) << data.size() << " bytes at level " << level;
    EXPECT_EQ(sink.sizes, expected.sizes);
}

}  // namespace

// With one thread there are two jobs: input for a third waits until the first is
// handed over, which bounds the memory; a job that finishes early waits its turn.
TEST(StreamCompressor, HandsJobsOverInInputOrderAndWaitsWhenAllAreOut) {
    const auto data = vcf_text(3 * kJob + 1, 1);
    ControlledRunner runner(1);
    CollectingSink sink;
    StreamCompressor compressor(6, runner);
    compressor.begin_file(sink);
    std::atomic<bool> written = false;
    std::jthread writing([&] {
        compressor.write(data);
        written = true;
    });
    const ControlledRunner::Release release{runner};
    ASSERT_TRUE(runner.wait_for_submissions(2));
    runner.run(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(written);
    EXPECT_EQ(runner.submissions(), 2u);
    runner.run(0);
    writing.join();
    // Both came back in order; the rest went out as a third job, bar its last byte.
    const Bytes first_jobs = bgzf_encode(std::span(data).first(2 * kJob), 6).bytes;
    EXPECT_TRUE(text_of(sink.bytes) + text_of(kEofMarker) == text_of(first_jobs));
    EXPECT_EQ(runner.submissions(), 3u);
    runner.run_all_from_now_on();
    compressor.end_file();
    hand_everything_over(compressor);
    expect_sequential(sink, data, 6);
}

// A file's last job goes out as one job per worker, so that a small file keeps every
// worker busy; the blocks stay the same.
TEST(StreamCompressor, EndOfAFileSpreadsItsLastJobOverTheWorkers) {
    const auto data = vcf_text(4 * kMaxBlockData + 100, 7);  // five pieces: two, two, one
    ControlledRunner runner(3);
    CollectingSink sink;
    StreamCompressor compressor(1, runner);
    const ControlledRunner::Release release{runner};
    compressor.begin_file(sink);
    compressor.write(data);
    compressor.end_file();
    ASSERT_EQ(runner.submissions(), 3u);
    for (size_t job : {2, 1, 0}) runner.run(job);
    hand_everything_over(compressor);
    expect_sequential(sink, data, 1);
}

// Compressors one after another, several files each, at changing levels: jobs and
// their compressors are reused by the whole process, and nothing of an earlier file
// or level may show. A compressor dropped with jobs out must wait for them (they
// report to it), and the jobs it cut short go back to the free list.
TEST(StreamCompressor, MatchesTheSequentialEncoderFileAfterFile) {
    static WorkerPool& one_thread = *new WorkerPool(PoolSettings{.thread_count = 1, .stack_size = 2 << 20});
    static WorkerPool& four_threads = *new WorkerPool(PoolSettings{.thread_count = 4, .stack_size = 2 << 20});
    JobRunner* const runners[] = {&WorkerPool::global(), &one_thread, &four_threads};
    const size_t lengths[] = {0, 1, kMaxBlockData, kMaxBlockData + 1, kJob, kJob + 1, 2 * kJob + 5};
    const size_t writes[] = {1, 7, 65279, 65281, kJob - 1, 3, kJob + 2, 100'003, 0, 2 * kJob + 5};
    std::mt19937 random(11);
    for (int round = 0; round < 18; ++round) {
        const uint32_t level = std::array{1u, 6u, 9u, 12u}[round % 4];
        if (level != 12) {
            CollectingSink abandoned;
            StreamCompressor dropped(level, *runners[round % 3]);
            dropped.begin_file(abandoned);
            dropped.write(vcf_text(2 * kJob + 10, round));
            ASSERT_FALSE(abandoned.ended);
        }
        std::deque<CollectingSink> sinks;
        StreamCompressor compressor(level, *runners[round % 3]);
        std::vector<Bytes> files;
        for (size_t file = 0, count = 1 + random() % 3; file < count; ++file) {
            const size_t length = round % 2 ? lengths[random() % std::size(lengths)] : random() % 400'000;
            files.push_back(vcf_text(level == 12 ? std::min<size_t>(length, 2 * kMaxBlockData + 1) : length, random()));
            compressor.begin_file(sinks.emplace_back());
            for (size_t position = 0, i = random(); position < files.back().size(); ++i) {
                const size_t take = std::min(writes[i % std::size(writes)], files.back().size() - position);
                compressor.write(std::span(files.back()).subspan(position, take));
                position += take;
                if (i % 3 == 0) compressor.poll();
            }
            compressor.end_file();
        }
        hand_everything_over(compressor);
        for (size_t file = 0; file < files.size(); ++file) {
            SCOPED_TRACE("round " + std::to_string(round) + ", file " + std::to_string(file));
            expect_sequential(sinks[file], files[file], level);
            EXPECT_EQ(gunzip(sinks[file].bytes), files[file]);
        }
    }
}

// The waits for jobs end with Interrupted; a level the compressor refuses stops the
// call on the calling thread, not a worker (which would end the process).
TEST(StreamCompressor, WaitsCanBeInterruptedAndBadLevelsStopTheCaller) {
    const auto data = vcf_text(3 * kJob, 9);
    ControlledRunner runner(1);
    {
        CollectingSink sink;
        StreamCompressor compressor(1, runner);
        const ControlledRunner::Release release{runner};  // the compressor waits for its jobs
        compressor.begin_file(sink);
        const InterruptAfter interrupt(3);
        EXPECT_THROW(compressor.write(data), Interrupted);
        EXPECT_EQ(interrupt.runs(), 3);
    }
    CollectingSink sink;
    StreamCompressor compressor(13, runner);
    compressor.begin_file(sink);
    const QuietStops quiet;
    try {
        compressor.write(data);
        ADD_FAILURE() << "level 13 was taken";
    } catch (const Stop& stopped) {
        EXPECT_EQ(stopped.detail().kind, StopDetail::Kind::Usage);
    }
}
