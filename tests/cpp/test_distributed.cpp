// The scatter run as tasks gives what the local run gives: the same files byte for
// byte, the same summaries, the same failure, whatever the ranges, the order the
// tasks run in, and tasks run twice.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "bgzf/block_scan.hpp"
#include "bgzf/deflate.hpp"
#include "bgzf/header.hpp"
#include "split/cluster_run.hpp"
#include "split/fields.hpp"
#include "split/scatter_entry.hpp"
#include "split/tasks.hpp"

namespace fs = std::filesystem;

namespace {

// Scratch space on tmpfs where there is one: a manifest flushes the file system.
fs::path scratch(const std::string& name) {
    const fs::path base = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    return base / (name + "-" + std::to_string(::getpid()));
}

// Runs the tasks in this process, in a shuffled order, some of them twice.
class ShufflingRunner final : public kestrel::TaskRunner {
public:
    explicit ShufflingRunner(uint32_t seed) : random_(seed) {}
    size_t slots() override { return 3; }

    // Tasks and results as bytes, as they cross a cluster.
    std::vector<std::string> count(const std::vector<std::string>& tasks) override {
        std::vector<std::string> counts(tasks.size());
        for (size_t i : shuffled(tasks.size())) counts[i] = kestrel::run_range_task(tasks[i], 0);
        return counts;
    }

    void write(const std::vector<std::string>& tasks,
               const std::function<void(size_t, std::string_view)>& done) override {
        for (size_t i : shuffled(tasks.size())) {
            if (random_() % 4 == 0) kestrel::run_chunk_task(tasks[i], 0);  // an attempt whose result is lost
            done(i, kestrel::run_chunk_task(tasks[i], 0));
        }
    }

private:
    std::vector<size_t> shuffled(size_t count) {
        std::vector<size_t> order(count);
        for (size_t i = 0; i < count; ++i) order[i] = i;
        std::shuffle(order.begin(), order.end(), random_);
        return order;
    }
    std::mt19937 random_;
};

std::string random_vcf(std::mt19937& random, bool sorted) {
    std::string text = "##fileformat=VCFv4.2\n";
    if (random() % 5 == 0) text += "##long=" + std::string(70000 + random() % 30000, 'h') + "\n";
    text += "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\n";
    const size_t records = random() % 300;
    uint64_t pos = 1;
    int chrom = 1;
    for (size_t i = 0; i < records; ++i) {
        if (random() % 50 == 0) ++chrom, pos = 1;
        pos += sorted ? random() % 1000 : 0;
        if (!sorted) pos = 1 + random() % 100000;
        std::string info = random() % 40 == 0 ? "PAD=" + std::string(70000 + random() % 10000, 'x') : "DP=1";
        text += "chr" + std::to_string(chrom) + "\t" + std::to_string(pos) + "\t.\tA\tG\t50\tPASS\t" + info;
        text += random() % 6 == 0 ? "\r\n" : "\n";
    }
    if (records > 0 && random() % 4 == 0) text.pop_back();  // no final line feed
    return text;
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::map<std::string, std::string> files_of(const fs::path& directory) {
    std::map<std::string, std::string> files;
    if (!fs::exists(directory)) return files;
    for (const auto& entry : fs::directory_iterator(directory)) files[entry.path().filename()] = read_file(entry.path());
    return files;
}

struct Outcome {
    std::vector<kestrel::ChunkSummary> chunks;
    std::string failure;  // message | kind | line | path
};

template <class Run>
Outcome outcome_of(Run&& run) {
    Outcome outcome;
    try {
        const kestrel::QuietStops quiet;
        outcome.chunks = run();
    } catch (const kestrel::Stop& stopped) {
        const auto& detail = stopped.detail();
        outcome.failure = stopped.message() + "|" + std::to_string(static_cast<int>(detail.kind)) + "|" +
                          std::to_string(detail.line) + "|" + detail.path + "|" + detail.text;
    }
    return outcome;
}

}  // namespace

TEST(Distributed, GivesTheLocalRunsFilesSummariesAndFailures) {
    const fs::path work = scratch("kestrel-distributed");
    std::mt19937 random(22122026);
    int succeeded = 0, failed = 0;
    for (int round = 0; round < 80; ++round) {
        fs::remove_all(work);
        fs::create_directories(work);
        const bool sorted = random() % 8 != 0;
        std::string text = random_vcf(random, sorted);
        // Now and then a header line among the records: the local plan takes over.
        if (random() % 10 == 0 && text.size() > 200) text.insert(text.find('\n', text.size() / 2) + 1, "##late\n");
        kestrel::ScatterOptions options;
        options.input = (work / "in.vcf").string();
        const bool compressed_input = random() % 2 == 0;
        std::ofstream(options.input, std::ios::binary) << text;
        if (compressed_input) {
            kestrel::bgzf::Compressor compressor(6);
            const auto bytes = kestrel::bgzf::encode_stream(
                {reinterpret_cast<const uint8_t*>(text.data()), text.size()}, compressor);
            std::ofstream(options.input, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                                 static_cast<std::streamsize>(bytes.size()));
        }
        if (random() % 2) {
            options.chunks = std::vector<uint64_t>{1, 2, 3, 7, 500}[random() % 5];
        } else {
            options.records_per_chunk = std::vector<uint64_t>{1, 3, 50, 1000}[random() % 4];
        }
        const int kind = random() % 3;
        if (kind > 0) {
            options.format.index = kind == 1 ? kestrel::index::IndexFormat::Tbi : kestrel::index::IndexFormat::Csi;
        }
        if (options.format.index || random() % 2) options.format.compression = random() % 2 ? 1 : 6;
        options.format.manifest = random() % 4 != 0;
        // Ranges of a byte up to the default, at most a few hundred of them.
        const uint64_t range_bytes = std::max<uint64_t>(std::vector<uint64_t>{1, 97, 4096, 70000, 0}[random() % 5],
                                                        fs::file_size(options.input) / 300);
        SCOPED_TRACE("round " + std::to_string(round) + ", ranges of " + std::to_string(range_bytes) + " bytes" +
                     (compressed_input ? ", BGZF" : ", plain"));

        options.output_dir = (work / "local").string();
        const Outcome local = outcome_of([&] { return kestrel::scatter(options); });
        options.output_dir = (work / "tasks").string();
        ShufflingRunner runner(static_cast<uint32_t>(round));
        // Ranges counted in parts, now and then.
        const uint64_t part_bytes = random() % 2 ? 0 : std::max<uint64_t>(range_bytes / 3, 1);
        const Outcome tasks = outcome_of([&] { return kestrel::scatter_on(runner, options, range_bytes, part_bytes); });

        EXPECT_EQ(tasks.failure, local.failure);
        ++(local.failure.empty() ? succeeded : failed);
        if (local.failure.empty()) {
            EXPECT_EQ(files_of(work / "tasks"), files_of(work / "local"));
            ASSERT_EQ(tasks.chunks.size(), local.chunks.size());
            for (size_t i = 0; i < local.chunks.size(); ++i) {
                EXPECT_EQ(kestrel::manifest_text({tasks.chunks[i]}), kestrel::manifest_text({local.chunks[i]}));
            }
        } else {
            // No temporary of any attempt, and no manifest.
            for (const auto& [name, bytes] : files_of(work / "tasks")) {
                EXPECT_FALSE(name.starts_with('.')) << name;
                EXPECT_NE(name, "manifest.tsv");
            }
        }
    }
    EXPECT_GT(succeeded, 40);
    EXPECT_GT(failed, 5);
    fs::remove_all(work);
}

TEST(Distributed, FailsOnADamagedBlockAsTheLocalRunAndOnAnInputThatGrows) {
    const fs::path work = scratch("kestrel-damaged");
    fs::remove_all(work);
    fs::create_directories(work);
    std::string text = "##fileformat=VCFv4.2\n#CHROM\tPOS\tID\tREF\tALT\n";
    std::mt19937 random(5);
    for (int i = 1; i <= 60000; ++i) text += "1\t" + std::to_string(i) + "\t.\tA\t" + std::to_string(random()) + "\n";
    kestrel::bgzf::Compressor compressor(1);
    auto bytes = kestrel::bgzf::encode_stream({reinterpret_cast<const uint8_t*>(text.data()), text.size()}, compressor);
    bytes[bytes.size() / 2] ^= 0x55;  // inside a block in the middle
    kestrel::ScatterOptions options;
    options.input = (work / "in.vcf.gz").string();
    std::ofstream(options.input, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                         static_cast<std::streamsize>(bytes.size()));
    options.chunks = 4;
    options.format.compression = 1;
    options.output_dir = (work / "local").string();
    const Outcome local = outcome_of([&] { return kestrel::scatter(options); });
    options.output_dir = (work / "tasks").string();
    ShufflingRunner runner(1);
    const Outcome tasks = outcome_of([&] { return kestrel::scatter_on(runner, options, 20000); });
    EXPECT_NE(local.failure, "");
    EXPECT_EQ(tasks.failure, local.failure);

    // An input that grows between the two phases fails the call.
    struct GrowingRunner final : kestrel::TaskRunner {
        ShufflingRunner inner{2};
        std::string input;
        size_t slots() override { return 1; }
        std::vector<std::string> count(const std::vector<std::string>& tasks) override {
            auto counts = inner.count(tasks);
            std::ofstream(input, std::ios::app) << "1\t60001\t.\tA\tC\n";
            return counts;
        }
        void write(const std::vector<std::string>& tasks,
                   const std::function<void(size_t, std::string_view)>& done) override {
            inner.write(tasks, done);
        }
    } growing;
    options.input = growing.input = (work / "in.vcf").string();
    std::ofstream(options.input, std::ios::binary) << text;
    const Outcome grown = outcome_of([&] { return kestrel::scatter_on(growing, options, 100000); });
    EXPECT_NE(grown.failure.find("the input changed while it was read: 60000 records counted, then 60001 read"),
              std::string::npos) << grown.failure;
    fs::remove_all(work);
}

TEST(Distributed, CutsAtTrueBlockStartsOnlyEvenAmongStoredLookAlikes) {
    // Records holding whole end-of-file markers, one after another, stored as they are:
    // every one of them passes the header and data checks on its own.
    std::string text = "##fileformat=VCFv4.2\n#CHROM\tPOS\n";
    const std::string markers(reinterpret_cast<const char*>(kestrel::bgzf::kEofMarker.data()), 28);
    for (int i = 1; i <= 3000; ++i) text += "1\t" + std::to_string(i) + "\t" + markers + markers + markers + "\n";
    kestrel::bgzf::Compressor stored(0);
    const auto bytes = kestrel::bgzf::encode_stream({reinterpret_cast<const uint8_t*>(text.data()), text.size()}, stored);
    std::vector<uint64_t> starts;  // the true chain, from the start
    for (uint64_t at = 0; at < bytes.size(); at += (bytes[at + 16] | bytes[at + 17] << 8) + 1) starts.push_back(at);
    const auto source = kestrel::memory_source(bytes);
    for (uint64_t from = 1; from < bytes.size(); from += 4999) {
        const auto found = kestrel::bgzf::next_block_start(*source, from, bytes.size());
        const auto expected = std::lower_bound(starts.begin(), starts.end(), from);
        EXPECT_EQ(std::get<uint64_t>(found), expected == starts.end() ? bytes.size() : *expected) << from;
    }
}

TEST(Distributed, TasksAndResultsTravelByFieldName) {
    kestrel::ChunkTask task;
    task.input = {"/in.vcf", "in.vcf", true, 123, 4096};
    task.output_identity = {7, 0xffffffffffffULL};
    task.number = -1;  // any value of a field comes back as it left
    task.take = UINT64_MAX;
    task.format.index = kestrel::index::IndexFormat::Csi;
    kestrel::ChunkTask back;
    ASSERT_TRUE(kestrel::fields::decode(kestrel::fields::encode(task), back));
    EXPECT_EQ(kestrel::fields::encode(back), kestrel::fields::encode(task));
    EXPECT_EQ(back.input.name, "in.vcf");
    EXPECT_EQ(back.number, -1);
    EXPECT_EQ(back.format.index, kestrel::index::IndexFormat::Csi);
    EXPECT_FALSE(back.format.compression);
    // A field missing, unknown or cut short is refused, never taken as another.
    const std::string bytes = kestrel::fields::encode(task);
    EXPECT_FALSE(kestrel::fields::decode(bytes.substr(0, bytes.size() - 1), back));
    EXPECT_FALSE(kestrel::fields::decode(bytes + "\x03tag\x00", back));      // twice
    EXPECT_FALSE(kestrel::fields::decode(bytes + "\x05extra\x00", back));    // unknown
    kestrel::ChunkOutcome outcome;
    EXPECT_FALSE(kestrel::fields::decode(bytes, outcome));
    // Bytes that are no task come back as a failure the caller can raise.
    kestrel::ChunkOutcome failed;
    ASSERT_TRUE(kestrel::fields::decode(kestrel::run_chunk_task("junk", 0), failed));
    ASSERT_TRUE(failed.failure);
    EXPECT_EQ(failed.failure->detail.kind, kestrel::StopDetail::Kind::Usage);
}
