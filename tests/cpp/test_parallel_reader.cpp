#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>

#include "base/file.hpp"
#include "bgzf/deflate.hpp"
#include "bgzf/header.hpp"
#include "bgzf/parallel_reader.hpp"
#include "runtime/worker_pool.hpp"

using namespace kestrel;
using namespace kestrel::bgzf;
using namespace kestrel::runtime;

namespace {

using Bytes = std::vector<uint8_t>;

void append(Bytes& to, std::span<const uint8_t> bytes) { to.insert(to.end(), bytes.begin(), bytes.end()); }

void append32(Bytes& to, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) to.push_back(static_cast<uint8_t>(value >> shift));
}

Bytes text(size_t length, std::mt19937& random) {
    std::string out;
    while (out.size() < length) out += "chr7\t" + std::to_string(random() % 1000000) + "\t.\tG\tT\t.\tPASS\t.\n";
    out.resize(length);
    return Bytes(out.begin(), out.end());
}

struct Damage {
    uint32_t crc_xor = 0;
    std::optional<uint32_t> isize;
    std::optional<Bytes> cdata;
};

// One member holding `data`, with a file name when name_length > 0.
Bytes member(std::span<const uint8_t> data, size_t name_length = 0, const Damage& damage = {}) {
    Bytes payload(data.size() + kMaxDeflateOverhead);
    Compressor compressor(6);
    payload.resize(std::get<size_t>(compress_raw(compressor, data, payload)));
    if (damage.cdata) payload = *damage.cdata;
    append32(payload, crc32(data) ^ damage.crc_xor);
    append32(payload, damage.isize.value_or(static_cast<uint32_t>(data.size())));
    BgzfHeader header = BgzfHeader::for_data_block();
    if (name_length > 0) {
        header.flags |= kFlagName;
        header.file_name = Bytes(name_length, 'n');
    }
    EXPECT_FALSE(header.set_block_size(static_cast<uint16_t>(header.encoded_length() + payload.size())));
    Bytes out(header.encoded_length());
    EXPECT_FALSE(header.serialize(out));
    append(out, payload);
    return out;
}

Bytes encode_stream(std::span<const uint8_t> data) {
    Bytes out;
    for (size_t start = 0; start < data.size(); start += kMaxBlockData) {
        append(out, member(data.subspan(start, std::min(kMaxBlockData, data.size() - start))));
    }
    append(out, kEofMarker);
    return out;
}

File memory_file(std::span<const uint8_t> bytes) {
    File file(memfd_create("bgzf-input", MFD_CLOEXEC));
    EXPECT_FALSE(write_all(file.fd(), bytes));
    EXPECT_EQ(::lseek(file.fd(), 0, SEEK_SET), 0);
    return file;
}

// What a reader hands out, with runs of data merged: "D" + bytes, or "E" + debug form.
using Events = std::vector<std::string>;

void add_data(Events& events, std::span<const uint8_t> bytes) {
    if (bytes.empty()) return;
    if (events.empty() || events.back()[0] != 'D') events.emplace_back("D");
    events.back().append(bytes.begin(), bytes.end());
}

// Data runs by length and checksum, so that a failure prints readably.
std::vector<std::string> summary(const Events& events) {
    std::vector<std::string> out;
    for (const std::string& event : events) {
        out.push_back(event[0] == 'E' ? event
                                      : "D" + std::to_string(event.size() - 1) + "/" +
                                            std::to_string(crc32(as_bytes(std::string_view(event).substr(1)))));
    }
    return out;
}

// A random stream and the events it must give, block by block: each block's data or
// its error, reading on after damaged data, and a damaged header last of all, which
// every later call reports again.
struct Case {
    Bytes stream;
    Events expected;
    bool ends_in_failure = false;
};

Case random_case(std::mt19937& random) {
    Case c;
    const auto error = [&](const std::string& debug) { c.expected.push_back("E" + debug); };
    const auto last_error = [&](const std::string& debug) {
        error(debug);
        c.ends_in_failure = true;
    };
    const size_t blocks = random() % 30;
    for (size_t i = 0; i < blocks; ++i) {
        const size_t roll = random() % 20;
        const Bytes data = text(roll == 0 ? kMaxBlockOutput : random() % 3000, random);
        if (roll < 12) {
            append(c.stream, member(data, roll == 1 ? random() % 60000 : 0));
            add_data(c.expected, data);
        } else if (roll < 14) {
            append(c.stream, kEofMarker);  // always followed by a member
            append(c.stream, member({}));
        } else if (roll < 15) {
            append(c.stream, member(data, 0, {.crc_xor = 4}));
            error("Other(\"unmatched CRC32 of decompressed data\")");
        } else if (roll < 16) {
            append(c.stream, member(data, 0, {.isize = 65537}));
            error("Other(\"uncompressed block size exceeds 65536 bytes\")");
        } else if (roll < 17) {
            append(c.stream, member(data, 0, {.cdata = Bytes{0x07, 0xff, 0xff, 0xff}}));
            error("DecompressionError(Other(\"Unknown Error\"))");
        } else if (roll < 18) {
            // A stored block of 65535 bytes, cut after two.
            append(c.stream, member(data, 0, {.cdata = Bytes{0x01, 0xff, 0xff, 0x00, 0x00, 'a', 'b'}}));
            error("DecompressionError(InsufficientSpace)");
        } else {
            append(c.stream, member({}));
        }
    }
    const std::string eof = "IoError(Error { kind: UnexpectedEof, message: \"failed to fill whole buffer\" })";
    switch (random() % 4) {
    case 0:  // ends between blocks; an empty file is cut short
        if (c.stream.empty()) last_error(eof);
        break;
    case 1:
        append(c.stream, kEofMarker);
        append(c.stream, Bytes{'p', 'a', 'd'});
        break;
    case 2:  // an extra field without "BC"
        append(c.stream, Bytes{0x1f, 0x8b, 8, kFlagExtra, 0, 0, 0, 0, 0, 255, 6, 0, 'X', 'Y', 2, 0, 0, 0});
        last_error("NotBGZF");
        break;
    default: {
        const Bytes whole = member(text(500, random));
        append(c.stream, std::span(whole).first(whole.size() - 1));
        last_error(eof);
    }
    }
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

// Jobs finish in any order, and in reverse here; whatever the job and read sizes,
// the reader gives every block's data or error in stream order, and uses no more
// buffers than its slots and the two for pieces held.
TEST(ParallelBgzfReader, GivesEachBlocksDataOrErrorInStreamOrder) {
    std::mt19937 random(20261207);
    for (int round = 0; round < 120; ++round) {
        SCOPED_TRACE(round);
        Case c = random_case(random);
        const ParallelReaderSettings settings{.read_size = 1 + random() % 100000,
                                              .blocks_per_job = 1 + random() % 4,
                                              .jobs_in_flight = 1 + random() % 4};
        ReverseRunner reverse(settings.jobs_in_flight);
        JobRunner& runner = round % 2 == 0 ? static_cast<JobRunner&>(reverse) : WorkerPool::global();
        ParallelBgzfReader reader(std::make_unique<kestrel::FileSource>(memory_file(c.stream)), runner, settings);

        Events got;
        std::set<const Buffer*> buffers;
        const size_t errors = std::count_if(c.expected.begin(), c.expected.end(), [](auto& e) { return e[0] == 'E'; });
        for (size_t errors_seen = 0;;) {
            auto next = reader.next();
            if (auto* error = std::get_if<BgzfError>(&next)) {
                got.push_back("E" + error->debug());
                if (++errors_seen > errors) break;
                continue;
            }
            const Piece& piece = std::get<Piece>(next);
            if (piece.bytes.empty()) break;
            buffers.insert(piece.owner.get());
            add_data(got, piece.bytes);
        }
        // After the end, the end again; after a damaged header, that header again.
        if (c.ends_in_failure) c.expected.push_back(c.expected.back());
        auto again = reader.next();
        EXPECT_EQ(std::holds_alternative<BgzfError>(again), c.ends_in_failure);
        ASSERT_EQ(summary(got), summary(c.expected));
        EXPECT_LE(buffers.size(), settings.jobs_in_flight + 2);
    }
}

// A pipe cannot seek; a leading empty file, two files concatenated and padding after
// the last marker. The caller keeps its last two pieces while asking for more.
TEST(ParallelBgzfReader, ReadsAPipeWhileTheCallerKeepsTwoPieces) {
    std::mt19937 random(7);
    const Bytes first = text(3'000'000, random), second = text(1'500'001, random);
    Bytes stream(kEofMarker.begin(), kEofMarker.end());
    append(stream, encode_stream(first));
    append(stream, encode_stream(second));
    append(stream, Bytes(1000, 0));
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    File read_end(ends[0]);
    std::jthread writer([&stream, write_end = File(ends[1])] { (void)write_all(write_end.fd(), stream); });

    ParallelBgzfReader reader(std::make_unique<kestrel::FileSource>(std::move(read_end)), WorkerPool::global(),
                              {.read_size = 100'000, .blocks_per_job = 5});
    Bytes got;
    std::deque<Piece> kept;
    for (;;) {
        Piece piece = std::get<Piece>(reader.next());
        if (piece.bytes.empty()) break;
        append(got, piece.bytes);
        kept.push_back(std::move(piece));
        if (kept.size() > 2) kept.pop_front();
    }
    Bytes both = first;
    append(both, second);
    EXPECT_EQ(got, both);
}

TEST(ParallelBgzfReader, DestroyedWithJobsInFlightWaitsForThem) {
    std::mt19937 random(8);
    const Bytes data = text(4'000'000, random);
    const Bytes stream = encode_stream(data);
    Piece kept;
    {
        ParallelBgzfReader reader(std::make_unique<kestrel::FileSource>(memory_file(stream)), WorkerPool::global(), {.blocks_per_job = 2});
        kept = std::get<Piece>(reader.next());
    }
    // Still readable after the reader is gone.
    ASSERT_EQ(kept.bytes.size(), 2 * kMaxBlockData);
    EXPECT_TRUE(std::equal(kept.bytes.begin(), kept.bytes.end(), data.begin()));
}
