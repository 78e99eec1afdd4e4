// The scatter as tasks where its model (tests/cpp/test_boundaries.cpp) does not reach:
// a damaged block, an input that grows between the passes, ranges among look-alikes of
// a block start, the fields a task and its result travel in, a quiet call's census on
// the pool, and the chunk file names of every format, recognised again.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "bgzf/block_scan.hpp"
#include "index/binning_index.hpp"
#include "split/plan/census.hpp"
#include "split/run/cluster_run.hpp"
#include "split/run/fields.hpp"
#include "split/run/scatter_entry.hpp"
#include "split/run/tasks.hpp"
#include "split/write/batch_file.hpp"
#include "support.hpp"

using namespace kestrel::testing;
using kestrel::as_bytes;

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

TEST(Scatter, AQuietCallsCensusReportsNothingFromThePool) {
    // A local file whose reads past its first bytes fail, as a bad sector's would.
    struct FailingLate final : kestrel::ByteSource {
        kestrel::IoResult<size_t> read(std::span<uint8_t>) override { return kestrel::IoError::os(ESPIPE); }
        kestrel::IoResult<size_t> read_at(uint64_t offset, std::span<uint8_t> into) const override {
            if (offset + into.size() > 12) return kestrel::IoError::os(EIO);
            std::memcpy(into.data(), "#CHROM\tPOS\nx" + offset, into.size());
            return into.size();
        }
        bool seekable() const override { return true; }
        std::optional<uint64_t> size() const override { return 1000; }
        std::optional<kestrel::FileIdentity> identity() const override { return kestrel::FileIdentity{1, 1}; }
    };
    static auto& pool = *new kestrel::runtime::WorkerPool({.thread_count = 2, .stack_size = 2 << 20});
    const TemporaryDirectory work;
    const std::string reported = (work.path() / "stderr").string();
    const int saved = ::dup(STDERR_FILENO), capture = ::open(reported.c_str(), O_WRONLY | O_CREAT, 0644);
    ::dup2(capture, STDERR_FILENO);
    {
        const kestrel::QuietStops quiet;
        EXPECT_THROW(kestrel::count_contigs(std::make_shared<FailingLate>(), kestrel::InputFormat::Plain, "in.vcf",
                                            4096, &pool, [](uint64_t) {}), kestrel::Stop);
    }
    ::dup2(saved, STDERR_FILENO);
    ::close(saved), ::close(capture);
    EXPECT_EQ(read_file(reported), "");
}

TEST(Scatter, EveryFormatsChunkNamesAreRecognisedWithTheIndexesItTakesAndNoOthers) {
    using kestrel::FileFormat;
    using kestrel::index::IndexFormat;
    // Kind, extension, takes a .tbi, takes a .csi.
    const std::tuple<FileFormat::Kind, std::string, bool, bool> formats[] = {
        {FileFormat::Kind::PlainVcf, ".vcf", false, false},
        {FileFormat::Kind::BgzfVcf, ".vcf.gz", true, true},
    };
    ASSERT_EQ(std::size(formats), std::size(FileFormat::kKinds));
    for (const auto& [kind, extension, tbi, csi] : formats) {
        const FileFormat format(kind);
        EXPECT_EQ(std::tuple(std::string(format.extension()), format.indexable_by(IndexFormat::Tbi),
                             format.indexable_by(IndexFormat::Csi), format.indexable()),
                  std::tuple(extension, tbi, csi, tbi || csi));
        for (const int32_t number : {1, 9, 10, 100, INT32_MAX}) {
            const std::string name = kestrel::batch_file_name(number, format);
            const auto known = [&](const std::string& file) { return kestrel::is_chunk_file_name(file); };
            EXPECT_EQ(std::tuple(known(name), known(name + ".tbi"), known(name + ".csi")), std::tuple(true, tbi, csi))
                << name;
        }
    }
    EXPECT_EQ(kestrel::batch_file_name(7, FileFormat::of(std::nullopt)), "batch_07.vcf");
    EXPECT_EQ(kestrel::batch_file_name(123, FileFormat::of(6)), "batch_123.vcf.gz");
    EXPECT_EQ(FileFormat::of(9).level(), 9u);
    for (const char* name : {"batch_00.vcf", "batch_7.vcf", "batch_007.vcf.gz", "batch_2147483648.vcf", "batch_-1.vcf",
                             "batch_.vcf", "batch_01.vcf.tbi", "batch_01.gz", "batch_01.vcf.gz.gz", "batch_01.vcf.vcf",
                             "batch_01.vcf.gz.tbi.csi", "Batch_01.vcf", "../batch_01.vcf", "x/batch_01.vcf"}) {
        EXPECT_FALSE(kestrel::is_chunk_file_name(name)) << name;
    }
}
