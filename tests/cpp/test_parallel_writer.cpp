#include <gtest/gtest.h>
#include <zlib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <random>
#include <string>
#include <thread>

#include "bgzf/deflate.hpp"
#include "bgzf/header.hpp"
#include "bgzf/parallel_writer.hpp"
#include "runtime/worker_pool.hpp"

using namespace kestrel::bgzf;
using namespace kestrel::runtime;

namespace {

constexpr size_t kJob = 50 * 65280;

// VCF-like text: compressible, but not trivially.
std::vector<uint8_t> vcf_like_text(size_t length, uint32_t seed) {
    std::mt19937 generator(seed);
    std::string text;
    text.reserve(length + 200);
    for (uint64_t position = 1000; text.size() < length; position += generator() % 500) {
        text += "chrX\t" + std::to_string(position) + "\trs" + std::to_string(generator() % 100000) + "\t" +
                "ACGT"[generator() % 4] + "\t" + "ACGT"[generator() % 4] + "\t" + std::to_string(generator() % 99) +
                "\tPASS\tDP=" + std::to_string(generator() % 300) + "\tGT\t0|1\t1|1\t0|0\n";
    }
    text.resize(length);
    return {text.begin(), text.end()};
}

struct Encoding {
    std::vector<uint8_t> stream;
    BlockIndex index;
};

// What a one-block-at-a-time writer produces; the index lists where every block but
// the first starts.
Encoding sequential_encoding(std::span<const uint8_t> data, uint32_t level) {
    Encoding expected;
    Compressor compressor(level);
    uint64_t uncompressed = 0;
    for (size_t position = 0; position < data.size(); position += 65280) {
        const auto piece = data.subspan(position, std::min<size_t>(65280, data.size() - position));
        encode_block(expected.stream, piece, compressor);
        uncompressed += piece.size();
        expected.index.push_back({expected.stream.size(), uncompressed});
    }
    if (!expected.index.empty()) expected.index.pop_back();
    expected.stream.insert(expected.stream.end(), kEofMarker.begin(), kEofMarker.end());
    return expected;
}

// Inflates a multi-member gzip stream with zlib, independently of the code under test.
std::vector<uint8_t> gunzip_all(std::span<const uint8_t> stream) {
    std::vector<uint8_t> out;
    z_stream z{};
    EXPECT_EQ(inflateInit2(&z, 16 + 15), Z_OK);
    z.next_in = const_cast<Bytef*>(stream.data());
    z.avail_in = static_cast<uInt>(stream.size());
    std::vector<uint8_t> buffer(1 << 16);
    while (z.avail_in > 0) {
        z.next_out = buffer.data();
        z.avail_out = static_cast<uInt>(buffer.size());
        const int status = inflate(&z, Z_NO_FLUSH);
        out.insert(out.end(), buffer.data(), z.next_out);
        if (status == Z_STREAM_END) {
            inflateReset(&z);
        } else if (status != Z_OK) {
            ADD_FAILURE() << "inflate failed: " << status;
            break;
        }
    }
    inflateEnd(&z);
    return out;
}

BlockIndex close_ok(ParallelBgzfWriter& writer) {
    auto closed = std::move(writer).close();
    EXPECT_TRUE(std::holds_alternative<BlockIndex>(closed));
    return std::holds_alternative<BlockIndex>(closed) ? std::get<BlockIndex>(closed) : BlockIndex{};
}

// Holds submitted jobs until the test runs them, in the order the test chooses;
// or, once told to, runs each job as it is submitted.
class ControlledRunner final : public JobRunner {
public:
    explicit ControlledRunner(size_t threads) : threads_(threads) {}

    size_t thread_count() const override { return threads_; }

    void submit(Job job) override {
        std::unique_lock lock(mutex_);
        if (run_on_submit_) {
            lock.unlock();
            job();
            return;
        }
        held_.emplace_back(std::move(job));
        changed_.notify_all();
    }

    void run(size_t index) {
        std::unique_lock lock(mutex_);
        Job job = std::move(*held_.at(index));
        held_.at(index).reset();
        lock.unlock();
        job();
    }

    bool wait_for_submissions(size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(20), [&] { return held_.size() >= count; });
    }

    size_t submissions() {
        std::lock_guard lock(mutex_);
        return held_.size();
    }

    void run_from_now_on_submit() {
        std::lock_guard lock(mutex_);
        run_on_submit_ = true;
    }

private:
    size_t threads_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::optional<Job>> held_;
    bool run_on_submit_ = false;
};

}  // namespace

TEST(ParallelWriter, ResultsArrivingOutOfOrderAreEmittedInInputOrder) {
    const auto data = vcf_like_text(3 * kJob + 1, 1);
    const auto expected = sequential_encoding(data, 6);
    const auto first_job = sequential_encoding(std::span(data).first(kJob), 6);

    ControlledRunner runner(2);  // four jobs
    std::vector<uint8_t> destination;
    ParallelBgzfWriter writer(destination, 6, runner);
    ASSERT_EQ(writer.write(std::span(data).first(3 * kJob)), std::nullopt);
    ASSERT_EQ(runner.submissions(), 3u);
    EXPECT_TRUE(destination.empty());

    runner.run(2);
    runner.run(0);
    // The next write first appends what came back in order: job 0, not yet job 2.
    ASSERT_EQ(writer.write(std::span(data).last(1)), std::nullopt);
    const size_t first_job_size = first_job.stream.size() - kEofMarker.size();
    ASSERT_EQ(destination.size(), first_job_size);
    EXPECT_TRUE(std::equal(destination.begin(), destination.end(), expected.stream.begin()));

    runner.run(1);
    runner.run_from_now_on_submit();
    EXPECT_EQ(close_ok(writer), expected.index);
    EXPECT_EQ(destination, expected.stream);
}

TEST(ParallelWriter, FlushSpreadsTheLastJobOverTheWorkersInOrder) {
    const auto data = vcf_like_text(4 * 65280 + 100, 7);  // five pieces
    const auto expected = sequential_encoding(data, 1);

    ControlledRunner runner(3);
    std::vector<uint8_t> destination;
    ParallelBgzfWriter writer(destination, 1, runner);
    ASSERT_EQ(writer.write(data), std::nullopt);
    std::thread flushing([&] { EXPECT_EQ(writer.flush(), std::nullopt); });
    // Two pieces, two pieces, one piece: one job per worker.
    ASSERT_TRUE(runner.wait_for_submissions(3));
    runner.run(2);
    runner.run(1);
    runner.run(0);
    flushing.join();
    EXPECT_EQ(runner.submissions(), 3u);
    runner.run_from_now_on_submit();
    EXPECT_EQ(close_ok(writer), expected.index);
    EXPECT_EQ(destination, expected.stream);
}

TEST(ParallelWriter, WithOneThreadTheThirdJobWaitsForTheFirstToBeEmitted) {
    const auto data = vcf_like_text(7'000'000, 2);
    const auto expected = sequential_encoding(data, 1);
    const size_t first_job_size = sequential_encoding(std::span(data).first(kJob), 1).stream.size() - 28;

    ControlledRunner runner(1);  // two jobs
    std::vector<uint8_t> destination;
    ParallelBgzfWriter writer(destination, 1, runner);
    std::atomic<bool> write_returned = false;
    std::thread writing([&] {
        EXPECT_EQ(writer.write(data), std::nullopt);
        write_returned = true;
    });
    ASSERT_TRUE(runner.wait_for_submissions(2));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(write_returned);
    EXPECT_EQ(runner.submissions(), 2u);

    runner.run(0);
    writing.join();
    EXPECT_EQ(destination.size(), first_job_size);
    EXPECT_EQ(runner.submissions(), 2u);  // the rest fits in the job that came back

    runner.run(1);
    runner.run_from_now_on_submit();
    EXPECT_EQ(close_ok(writer), expected.index);
    EXPECT_EQ(destination, expected.stream);
}

TEST(ParallelWriter, SevenMillionBytesOnAOneThreadPool) {
    static WorkerPool& one_thread = *new WorkerPool(PoolSettings{.thread_count = 1, .stack_size = 2 << 20});
    const auto data = vcf_like_text(7'000'000, 3);
    const auto expected = sequential_encoding(data, 6);
    std::vector<uint8_t> destination;
    ParallelBgzfWriter writer(destination, 6, one_thread);
    ASSERT_EQ(writer.write(data), std::nullopt);
    EXPECT_EQ(close_ok(writer), expected.index);
    EXPECT_EQ(destination, expected.stream);
}

TEST(ParallelWriter, InputsAtJobAndBlockBoundaries) {
    // 0 bytes: only the marker; 65281: two blocks; one full job: 50 blocks.
    for (const size_t length : {size_t{0}, size_t{1}, size_t{65280}, size_t{65281}, kJob, kJob + 1}) {
        SCOPED_TRACE(length);
        const auto data = vcf_like_text(length, 4);
        std::vector<uint8_t> destination;
        ParallelBgzfWriter writer(destination, 6);
        ASSERT_EQ(writer.write({}), std::nullopt);
        ASSERT_EQ(writer.write(data), std::nullopt);
        const BlockIndex index = close_ok(writer);
        const auto expected = sequential_encoding(data, 6);
        EXPECT_EQ(destination, expected.stream);
        EXPECT_EQ(index, expected.index);
        EXPECT_EQ(index.size(), length == 0 ? 0 : (length + 65279) / 65280 - 1);
    }
}

TEST(ParallelWriter, IndexNamesWhereEachLaterBlockStarts) {
    const auto data = vcf_like_text(65281, 5);
    std::vector<uint8_t> destination;
    ParallelBgzfWriter writer(destination, 9);
    ASSERT_EQ(writer.write(data), std::nullopt);
    const BlockIndex index = close_ok(writer);
    ASSERT_EQ(index.size(), 1u);
    const size_t first_block_size = (destination[16] | destination[17] << 8) + 1;
    EXPECT_EQ(index[0], (BlockIndexEntry{first_block_size, 65280}));
    EXPECT_EQ(destination.size(), first_block_size + (destination[first_block_size + 16] |
                                                      destination[first_block_size + 17] << 8) + 1 + 28);
}

class ParallelWriterAtLevel : public testing::TestWithParam<uint32_t> {};

TEST_P(ParallelWriterAtLevel, ManyWritesOfOddSizesMatchASequentialEncoding) {
    static WorkerPool& four_threads = *new WorkerPool(PoolSettings{.thread_count = 4, .stack_size = 2 << 20});
    const uint32_t level = GetParam();
    const auto data = vcf_like_text(12'345'678, level);
    const auto expected = sequential_encoding(data, level);
    for (JobRunner* runner : {static_cast<JobRunner*>(&WorkerPool::global()), static_cast<JobRunner*>(&four_threads)}) {
        std::vector<uint8_t> destination = {0xEE};  // the stream is appended after existing bytes
        ParallelBgzfWriter writer(destination, level, *runner);
        const size_t sizes[] = {1, 7, 65279, 65281, kJob - 1, 3, kJob + 2, 100'003, 0, 2 * kJob + 5};
        size_t position = 0;
        for (size_t i = 0; position < data.size(); ++i) {
            const size_t take = std::min(sizes[i % std::size(sizes)], data.size() - position);
            ASSERT_EQ(writer.write(std::span(data).subspan(position, take)), std::nullopt);
            position += take;
        }
        EXPECT_EQ(close_ok(writer), expected.index);
        ASSERT_EQ(destination.size(), expected.stream.size() + 1);
        EXPECT_TRUE(std::equal(expected.stream.begin(), expected.stream.end(), destination.begin() + 1));
    }
    EXPECT_EQ(gunzip_all(expected.stream), data);
}

INSTANTIATE_TEST_SUITE_P(Levels, ParallelWriterAtLevel, testing::Values(1u, 6u, 9u));

TEST(ParallelWriter, FlushPutsEverythingWrittenSoFarIntoTheDestination) {
    const auto data = vcf_like_text(kJob + 1000, 6);
    std::vector<uint8_t> destination;
    ParallelBgzfWriter writer(destination, 6);
    ASSERT_EQ(writer.write(std::span(data).first(100)), std::nullopt);
    ASSERT_EQ(writer.flush(), std::nullopt);
    EXPECT_EQ(gunzip_all(destination), std::vector<uint8_t>(data.begin(), data.begin() + 100));
    ASSERT_EQ(writer.write(std::span(data).subspan(100)), std::nullopt);
    close_ok(writer);
    EXPECT_EQ(gunzip_all(destination), data);
    EXPECT_TRUE(std::equal(kEofMarker.begin(), kEofMarker.end(), destination.end() - 28));
}

TEST(ParallelWriter, DroppingAnOpenWriterFinishesTheStream) {
    const auto data = vcf_like_text(kJob + 12345, 7);
    std::vector<uint8_t> destination;
    {
        ParallelBgzfWriter writer(destination, 1);
        ASSERT_EQ(writer.write(data), std::nullopt);
    }
    EXPECT_EQ(destination, sequential_encoding(data, 1).stream);
}

TEST(ParallelWriter, WritersOneAfterAnotherReuseNothingVisible) {
    // Jobs and compressors are shared by the writers of a process; no block may
    // carry anything from an earlier writer, whatever its level or size.
    for (int round = 0; round < 40; ++round) {
        const uint32_t level = std::array{1u, 6u, 9u}[round % 3];
        const size_t length = round % 10 == 0 ? kJob + 77 : 1000 + round * 4099;
        const auto data = vcf_like_text(length, 100 + round);
        std::vector<uint8_t> destination;
        ParallelBgzfWriter writer(destination, level);
        ASSERT_EQ(writer.write(data), std::nullopt);
        const BlockIndex index = close_ok(writer);
        const auto expected = sequential_encoding(data, level);
        ASSERT_EQ(destination, expected.stream) << "round " << round;
        ASSERT_EQ(index, expected.index) << "round " << round;
    }
}

TEST(ParallelWriter, AnExceptionPassingAnOpenWriterWaitsForItsJobsOnly) {
    // Jobs still being compressed send to this writer: it must outlive them, and
    // must not fail again while another exception is on its way out.
    const auto data = vcf_like_text(4 * kJob + 10, 8);
    std::vector<uint8_t> destination;
    EXPECT_THROW(
        {
            ParallelBgzfWriter writer(destination, 9);
            ASSERT_EQ(writer.write(data), std::nullopt);
            throw std::runtime_error("failed elsewhere");
        },
        std::runtime_error);
    EXPECT_FALSE(std::equal(kEofMarker.begin(), kEofMarker.end(), destination.end() - 28));
    std::vector<uint8_t> next;
    ParallelBgzfWriter writer(next, 9);
    ASSERT_EQ(writer.write(data), std::nullopt);
    close_ok(writer);
    EXPECT_EQ(gunzip_all(next), data);
}
