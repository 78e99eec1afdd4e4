// The scatter against a model of its chunks, their summaries and their indexes (built
// from each whole chunk), and the same scatter as tasks (run in this process, in a
// shuffled order, some twice, their tasks and results crossing as bytes) against the
// local run: the same files, summaries and failure, whatever the ranges.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "bgzf/block_scan.hpp"
#include "index/binning_index.hpp"
#include "split/cluster_run.hpp"
#include "split/fields.hpp"
#include "split/scatter_entry.hpp"
#include "split/tasks.hpp"
#include "support.hpp"

using namespace kestrel::testing;
using kestrel::as_bytes;
namespace fs = std::filesystem;

namespace {

// Records over a few sequences, sorted or not: END= spans, equal positions, CRLF, REF,
// ALT, INFO and sample columns long enough to cross reads and blocks, lines that end
// after REF, a header line over 64 KiB, a last line without LF.
std::string random_vcf(std::mt19937& random, bool sorted) {
    std::string text = "##fileformat=VCFv4.2\n";
    if (random() % 5 == 0) text += "##long=" + std::string(70000 + random() % 30000, 'h') + "\n";
    text += "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tS1\n";
    const size_t records = random() % 250;
    uint64_t pos = 1 + random() % 1000;
    int chrom = 1;
    for (size_t i = 0; i < records; ++i) {
        if (random() % 40 == 0) chrom++, pos = 1 + random() % 1000;
        pos = sorted ? pos + (random() % 3 == 0 ? 0 : random() % 40000) : 1 + random() % 100000;
        std::string info = random() % 5 == 0 ? "END=" + std::to_string(pos + random() % 100000) : "DP=1";
        if (random() % 40 == 0) info += ";PAD=" + std::string(70000 + random() % 70000, 'x');
        // A long REF ends exactly at a 16 kb window now and then, where a length one too long shows.
        const std::string ref(random() % 30 == 0 ? 70000 + (16384 - (pos - 1 + 70000) % 16384) % 16384
                                                 : 1 + random() % 4,
                              'A');
        text += "chr" + std::to_string(chrom) + "\t" + std::to_string(pos) + "\t.\t" + ref;
        if (random() % 10 != 0) text += "\t" + std::string(random() % 30 == 0 ? 100000 : 1, 'G') + "\t50\tPASS\t" + info + "\tGT\t0/1";
        text += random() % 4 == 0 ? "\r\n" : "\n";
    }
    if (records > 0 && random() % 4 == 0) text.pop_back();
    return text;
}

// Column `n` of a record line.
std::string field(const std::string& line, int n) {
    size_t at = 0;
    while (n-- > 0) at = line.find('\t', at) + 1;
    return line.substr(at, line.find_first_of("\t\r\n", at) - at);
}

// The model of a run that succeeded: every chunk the header and its records, compressed
// and indexed block by block; its summary; the manifest; nothing else in the directory.
void expect_the_model(const std::string& text, const kestrel::ScatterOptions& options, const Outcome& local) {
    const std::string header = text.substr(0, text.find('\n', text.find("#CHROM")) + 1);
    std::vector<std::string> records;
    for (const std::string& single : model_batches(text, 1)) records.push_back(single.substr(header.size()));
    std::vector<size_t> sizes;
    const size_t count = options.chunks > 0 ? std::min<size_t>(options.chunks, records.size()) : 0;
    for (size_t i = 0; i < count; ++i) sizes.push_back(records.size() / count + (i < records.size() % count));
    for (size_t left = count > 0 ? 0 : records.size(); left > 0; left -= std::min<size_t>(left, options.records_per_chunk)) {
        sizes.push_back(std::min<size_t>(left, options.records_per_chunk));
    }
    ASSERT_EQ(local.chunks.size(), sizes.size());
    std::set<std::string> names;
    for (size_t i = 0, next = 0; i < sizes.size(); next += sizes[i++]) {
        std::string content = header;
        for (size_t r = next; r < next + sizes[i]; ++r) content += records[r];
        const kestrel::ChunkSummary& chunk = local.chunks[i];
        const Encoded compressed = bgzf_encode(as_bytes(content), options.format.compression.value_or(6));
        const std::string bytes = read_file(fs::path(options.output_dir) / chunk.file);
        EXPECT_TRUE(bytes == (options.format.compression ? text_of(compressed.bytes) : content)) << chunk.file;
        names.insert(chunk.file);
        if (options.format.index) {
            const auto index = build_index(content, compressed.sizes, *options.format.index);
            EXPECT_TRUE(read_file(fs::path(options.output_dir) / chunk.index_file) ==
                        text_of(std::get<std::vector<uint8_t>>(index))) << chunk.index_file;
            names.insert(chunk.index_file);
        }
        const std::string& first = records[next];
        const std::string& last = records[next + sizes[i] - 1];
        EXPECT_EQ(std::tuple(chunk.records, chunk.first_chrom, chunk.first_pos, chunk.last_chrom, chunk.last_pos,
                             chunk.bytes),
                  std::tuple(sizes[i], field(first, 0), std::stoull(field(first, 1)), field(last, 0),
                             std::stoull(field(last, 1)), bytes.size()));
    }
    if (options.format.manifest) {
        EXPECT_EQ(read_file(fs::path(options.output_dir) / "manifest.tsv"), kestrel::manifest_text(local.chunks));
        names.insert("manifest.tsv");
    }
    std::set<std::string> found;
    for (const auto& [name, bytes] : files_of(options.output_dir)) found.insert(name);
    EXPECT_EQ(found, names);  // nothing else, no temporary
}

}  // namespace

TEST(Scatter, LocalAndTaskRunsMatchTheModelAndEachOther) {
    std::mt19937 random(22122026);
    int succeeded = 0, failed = 0;
    for (int round = 0; round < 80 / kRoundsDivisor; ++round) {
        const TemporaryDirectory work;
        const bool sorted = random() % 8 != 0;
        std::string text = random_vcf(random, sorted);
        // Now and then a header line among the records: the local plan takes over.
        const bool late = random() % 10 == 0 && text.size() > 200;
        if (late) text.insert(text.find('\n', text.size() / 2) + 1, "##late\n");
        kestrel::ScatterOptions options;
        options.input = (work.path() / "in").string();
        write_file(options.input, random() % 2 ? bgzf_encode(as_bytes(text)).bytes : Bytes(text.begin(), text.end()));
        if (random() % 2) {
            options.chunks = std::vector<uint64_t>{1, 2, 3, 7, 500}[random() % 5];
        } else {
            options.records_per_chunk = std::vector<uint64_t>{1, 3, 50, 1000}[random() % 4];
        }
        const int kind = random() % 3;
        if (kind > 0) options.format.index = kind == 1 ? kestrel::index::IndexFormat::Tbi : kestrel::index::IndexFormat::Csi;
        if (options.format.index || random() % 2) options.format.compression = random() % 2 ? 1 : 6;
        options.format.manifest = random() % 4 != 0;
        options.tuning.read_size = std::vector<size_t>{1, 7, 4096, 1 << 20}[random() % 4];
        if (text.size() > 20000) options.tuning.read_size = std::max<size_t>(options.tuning.read_size, 4096);
        // Ranges of a byte up to the default, at most a few hundred of them, now and then in parts.
        const uint64_t range_bytes = std::max<uint64_t>(std::vector<uint64_t>{1, 97, 4096, 70000, 0}[random() % 5],
                                                        fs::file_size(options.input) / 300);
        const uint64_t part_bytes = random() % 2 ? 0 : std::max<uint64_t>(range_bytes / 3, 1);
        SCOPED_TRACE("round " + std::to_string(round) + ", ranges of " + std::to_string(range_bytes) + " bytes");

        options.output_dir = (work.path() / "local").string();
        const Outcome local = outcome_of([&] { return kestrel::scatter(options); });
        if (local.failure.empty() && !late) expect_the_model(text, options, local);
        options.output_dir = (work.path() / "tasks").string();
        ShufflingRunner runner(static_cast<uint32_t>(round));
        const Outcome tasks = outcome_of([&] { return kestrel::scatter_on(runner, options, range_bytes, part_bytes); });
        EXPECT_EQ(tasks.failure, local.failure);
        ++(local.failure.empty() ? succeeded : failed);
        if (local.failure.empty()) {
            EXPECT_EQ(files_of(work.path() / "tasks"), files_of(work.path() / "local"));
            ASSERT_EQ(tasks.chunks.size(), local.chunks.size());
            for (size_t i = 0; i < local.chunks.size(); ++i) {
                EXPECT_EQ(kestrel::manifest_text({tasks.chunks[i]}), kestrel::manifest_text({local.chunks[i]}));
            }
        }
        for (const auto& [name, bytes] : files_of(work.path() / "tasks")) {  // no temporary of any attempt
            EXPECT_FALSE(name.starts_with('.')) << name;
            EXPECT_TRUE(local.failure.empty() || name != "manifest.tsv");
        }
    }
    EXPECT_GT(succeeded, 40 / kRoundsDivisor);
    EXPECT_GT(failed, 5 / kRoundsDivisor);
}

TEST(Scatter, TasksFailOnADamagedBlockAsTheLocalRunAndOnAnInputThatGrows) {
    const TemporaryDirectory work;
    std::string text = "##fileformat=VCFv4.2\n#CHROM\tPOS\tID\tREF\tALT\n";
    std::mt19937 random(5);
    for (int i = 1; i <= 60000; ++i) text += "1\t" + std::to_string(i) + "\t.\tA\t" + std::to_string(random()) + "\n";
    Bytes damaged = bgzf_encode(as_bytes(text), 1).bytes;
    damaged[damaged.size() / 2] ^= 0x55;  // inside a block in the middle
    kestrel::ScatterOptions options;
    options.input = (work.path() / "in.vcf.gz").string();
    write_file(options.input, damaged);
    options.chunks = 4;
    options.format.compression = 1;
    options.output_dir = (work.path() / "local").string();
    const Outcome local = outcome_of([&] { return kestrel::scatter(options); });
    options.output_dir = (work.path() / "tasks").string();
    ShufflingRunner runner(1);
    EXPECT_NE(local.failure, "");
    EXPECT_EQ(outcome_of([&] { return kestrel::scatter_on(runner, options, 20000); }).failure, local.failure);

    // An input that grows between the two phases fails the call.
    struct GrowingRunner final : kestrel::TaskRunner {
        ShufflingRunner inner{2};
        std::string input;
        size_t slots() override { return 1; }
        std::vector<std::string> count(const std::vector<std::string>& tasks) override {
            auto counts = inner.count(tasks);
            write_file(input, as_bytes(read_file(input) + "1\t60001\t.\tA\tC\n"));
            return counts;
        }
        void write(const std::vector<std::string>& tasks,
                   const std::function<void(size_t, std::string_view)>& done) override {
            inner.write(tasks, done);
        }
    } growing;
    options.input = growing.input = (work.path() / "in.vcf").string();
    write_file(options.input, as_bytes(text));
    const Outcome grown = outcome_of([&] { return kestrel::scatter_on(growing, options, 100000); });
    EXPECT_NE(grown.failure.find("the input changed while it was read: 60000 records counted, then 60001 read"),
              std::string::npos) << grown.failure;
}

TEST(Scatter, RangesCutAtTrueBlockStartsOnlyEvenAmongStoredLookAlikes) {
    // Records holding whole end-of-file markers, one after another, stored as they are:
    // every one of them passes the header and data checks on its own.
    std::string text = "##fileformat=VCFv4.2\n#CHROM\tPOS\n";
    const std::string markers = text_of(kestrel::bgzf::kEofMarker);
    for (int i = 1; i <= 3000; ++i) text += "1\t" + std::to_string(i) + "\t" + markers + markers + markers + "\n";
    const Bytes bytes = bgzf_encode(as_bytes(text), 0).bytes;
    std::vector<uint64_t> starts;  // the true chain, from the start
    for (uint64_t at = 0; at < bytes.size(); at += (bytes[at + 16] | bytes[at + 17] << 8) + 1) starts.push_back(at);
    const auto source = kestrel::memory_source(bytes);
    for (uint64_t from = 1; from < bytes.size(); from += 4999) {
        const auto found = kestrel::bgzf::next_block_start(*source, from, bytes.size());
        const auto expected = std::lower_bound(starts.begin(), starts.end(), from);
        EXPECT_EQ(std::get<uint64_t>(found), expected == starts.end() ? bytes.size() : *expected) << from;
    }
}

TEST(Scatter, TasksAndResultsTravelByFieldName) {
    kestrel::ChunkTask task;
    task.input = {"/in.vcf", "in.vcf", true, 123, 4096};
    task.output_identity = {7, 0xffffffffffffULL};
    task.number = -1;  // any value of a field comes back as it left
    task.take = UINT64_MAX;
    task.format.index = kestrel::index::IndexFormat::Csi;
    kestrel::ChunkTask back;
    const std::string bytes = kestrel::fields::encode(task);
    ASSERT_TRUE(kestrel::fields::decode(bytes, back));
    EXPECT_EQ(kestrel::fields::encode(back), bytes);
    EXPECT_EQ(std::tuple(back.input.name, back.number, back.format.index, back.format.compression.has_value()),
              std::tuple("in.vcf", -1, kestrel::index::IndexFormat::Csi, false));
    // A field missing, twice, unknown or cut short is refused, never taken as another.
    for (const std::string& broken : {bytes.substr(0, bytes.size() - 1), bytes + "\x03" "tag\x00", bytes + "\x05" "extra\x00"}) {
        EXPECT_FALSE(kestrel::fields::decode(broken, back));
    }
    kestrel::ChunkOutcome outcome;
    EXPECT_FALSE(kestrel::fields::decode(bytes, outcome));
    // Bytes that are no task come back as a failure the caller can raise.
    ASSERT_TRUE(kestrel::fields::decode(kestrel::run_chunk_task("junk", 0), outcome));
    ASSERT_TRUE(outcome.failure);
    EXPECT_EQ(outcome.failure->detail.kind, kestrel::StopDetail::Kind::Usage);
}
