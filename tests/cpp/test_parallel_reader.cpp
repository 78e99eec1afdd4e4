// The parallel reader against a model of the stream: random streams of blocks (odd
// headers, an extra field whose count wraps, damaged data, end-of-file markers inside,
// padding after) give each block's data or error in stream order, whatever the read and
// job sizes, the order jobs finish in, and whether the input can seek.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>

#include "bgzf/deflate.hpp"
#include "bgzf/parallel_reader.hpp"
#include "support.hpp"

using namespace kestrel;
using namespace kestrel::bgzf;
using namespace kestrel::runtime;
using namespace kestrel::testing;

namespace {

// What a reader hands out, with runs of data merged: "D" + length/CRC of the run, or
// "E" + the debug form of an error.
struct Events {
    std::vector<std::string> list;
    Bytes run;
    bool ends_in_failure = false;  // a damaged header last, which every later call reports again
    void data(std::span<const uint8_t> bytes) { append(run, bytes); }
    void error(const std::string& debug) {
        close_run();
        list.push_back("E" + debug);
    }
    void close_run() {
        if (!run.empty()) list.push_back("D" + std::to_string(run.size()) + "/" + std::to_string(crc32(run)));
        run.clear();
    }
};

// A random stream and the events it must give.
struct Case {
    Bytes stream;
    Events expected;
};

Case random_case(std::mt19937& random, int round) {
    Case c;
    const auto text = [&](size_t length) { return vcf_text(length, random()); };
    // What a roll makes of a block: its header and trailer, and the error it gives.
    const auto damage = [&](size_t roll) -> std::pair<Member, std::string> {
        switch (roll) {
        case 1:  // header fields a reader passes over, of any length
            return {{.name = std::string(random() % 60000, 'n'),
                     .comment = random() % 2 ? std::optional(std::string(random() % 2000, 'c')) : std::nullopt,
                     .header_crc = random() % 2 == 0, .extra_before = {'X', 'Y', 2, 0, 1, 2}}, ""};
        case 2: {  // XLEN 6 with a first subfield of 8 bytes: the count wraps to 65530
                   // and the subfields that follow are read until it reaches 0
            Bytes after = {'Z', 'Z', 0xF0, 0xFF};
            after.resize(4 + 0xFFF0, 'z');
            return {{.extra_before = {'X', 'Y', 8, 0, 1, 2, 3, 4, 5, 6, 7, 8}, .extra_after = after, .xlen = 6}, ""};
        }
        case 3: return {{.crc_xor = 4}, "Other(\"unmatched CRC32 of decompressed data\")"};
        case 4: return {{.isize = 65537}, "Other(\"uncompressed block size exceeds 65536 bytes\")"};
        case 5: return {{.deflated = Bytes{0x07, 0xff, 0xff, 0xff}}, "DecompressionError(Other(\"Unknown Error\"))"};
        case 6:  // a stored block of 65535 bytes, cut after two
            return {{.deflated = Bytes{0x01, 0xff, 0xff, 0x00, 0x00, 'a', 'b'}}, "DecompressionError(InsufficientSpace)"};
        default: return {};
        }
    };
    for (size_t i = 0, blocks = round < 4 ? 0 : random() % 30; i < blocks; ++i) {
        const size_t roll = random() % 21;
        const Bytes data = text(roll == 0 ? kMaxBlockOutput : random() % 3000);
        const auto [member, error] = damage(roll);
        if (roll == 7) append(c.stream, kEofMarker);  // an empty stream inside, a member after it
        const bool empty = roll == 7 || roll > 16;
        append(c.stream, bgzf_member(empty ? Bytes{} : data, member));
        if (!error.empty()) {
            c.expected.error(error);
        } else if (!empty) {
            c.expected.data(data);
        }
    }
    const auto last_error = [&](const std::string& debug) {
        c.expected.error(debug);
        c.expected.ends_in_failure = true;
    };
    const std::string eof = "IoError(Error { kind: UnexpectedEof, message: \"failed to fill whole buffer\" })";
    switch (round < 4 ? round : random() % 4) {
    case 0:  // ends between blocks; an empty file is cut short
        if (c.stream.empty()) last_error(eof);
        break;
    case 1:  // bytes after the last marker that are not a gzip member are padding
        append(c.stream, kEofMarker);
        append(c.stream, text(3));
        break;
    case 2:  // an extra field without "BC"
        append(c.stream, Bytes{0x1f, 0x8b, 8, kFlagExtra, 0, 0, 0, 0, 0, 255, 6, 0, 'X', 'Y', 2, 0, 0, 0});
        last_error("NotBGZF");
        break;
    default:
        append(c.stream, bgzf_member(text(500)));
        c.stream.pop_back();
        last_error(eof);
    }
    c.expected.close_run();
    return c;
}

// Holds jobs until it has `batch` of them, or no more came for a while, and then
// runs them last first on a thread of its own.
class ReverseRunner final : public JobRunner {
public:
    explicit ReverseRunner(size_t batch) : batch_(batch), thread_([this](std::stop_token stop) { work(stop); }) {}
    size_t thread_count() const override { return batch_; }
    void submit(Job job) override {
        std::lock_guard lock(mutex_);
        held_.push_back(std::move(job));
        changed_.notify_all();
    }

private:
    void work(std::stop_token stop) {
        std::unique_lock lock(mutex_);
        while (changed_.wait(lock, stop, [this] { return !held_.empty(); })) {
            changed_.wait_for(lock, stop, std::chrono::milliseconds(2), [this] { return held_.size() >= batch_; });
            std::vector<Job> jobs = std::move(held_);
            held_.clear();
            lock.unlock();
            for (auto job = jobs.rbegin(); job != jobs.rend(); ++job) (*job)();
            lock.lock();
        }
    }

    size_t batch_;
    std::mutex mutex_;
    std::condition_variable_any changed_;
    std::vector<Job> held_;
    std::jthread thread_;  // last: stops before the rest goes
};

}  // namespace

// The caller keeps its last two pieces while it asks for more, which the reader must
// allow for; it uses no more buffers than its slots and those two.
TEST(ParallelBgzfReader, GivesEachBlocksDataOrErrorInStreamOrder) {
    std::mt19937 random(20261207);
    for (int round = 0; round < 150; ++round) {
        SCOPED_TRACE(round);
        Case c = random_case(random, round);
        const ParallelReaderSettings settings{.read_size = 1 + random() % 100000,
                                              .blocks_per_job = 1 + random() % 4,
                                              .jobs_in_flight = 1 + random() % 4};
        ReverseRunner reverse(settings.jobs_in_flight);
        JobRunner& runner = round % 2 == 0 ? static_cast<JobRunner&>(reverse) : WorkerPool::global();
        // Every third input cannot seek, like a pipe, and comes in two parts.
        const size_t cut = random() % (c.stream.size() + 1);
        auto source = round % 3 == 2 ? with_prefix({c.stream.begin(), c.stream.begin() + cut},
                                                   memory_source({c.stream.begin() + cut, c.stream.end()}))
                                     : memory_source(c.stream);
        ParallelBgzfReader reader(std::move(source), runner, settings);

        Events got;
        std::set<const Buffer*> buffers;
        std::deque<Piece> kept;
        const size_t errors = std::count_if(c.expected.list.begin(), c.expected.list.end(),
                                            [](const std::string& e) { return e[0] == 'E'; });
        for (size_t errors_seen = 0;;) {
            auto next = reader.next();
            if (auto* error = std::get_if<BgzfError>(&next)) {
                got.error(error->debug());
                if (++errors_seen > errors) break;
                continue;
            }
            Piece& piece = std::get<Piece>(next);
            if (piece.bytes.empty()) break;
            buffers.insert(piece.owner.get());
            got.data(piece.bytes);
            kept.push_back(std::move(piece));
            if (kept.size() > 2) kept.pop_front();
        }
        got.close_run();
        // After the end, the end again; after a damaged header, that header again.
        if (c.expected.ends_in_failure) c.expected.list.push_back(c.expected.list.back());
        EXPECT_EQ(std::holds_alternative<BgzfError>(reader.next()), c.expected.ends_in_failure);
        ASSERT_EQ(got.list, c.expected.list);
        EXPECT_LE(buffers.size(), settings.jobs_in_flight + 2);
    }
}

TEST(ParallelBgzfReader, PiecesOutliveTheReaderWhichWaitsForItsJobs) {
    const Bytes data = vcf_text(4'000'000, 8);
    Piece kept;
    {
        ParallelBgzfReader reader(memory_source(bgzf_encode(data).bytes), WorkerPool::global(),
                                  {.blocks_per_job = 2});
        kept = std::get<Piece>(reader.next());
    }
    EXPECT_TRUE(text_of(kept.bytes) == text_of(std::span(data).first(2 * kMaxBlockData)));
}
