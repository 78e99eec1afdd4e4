// The run room: the scatter as tasks where its model (tests/cpp/test_boundaries.cpp)
// does not reach (a damaged block, an input that grows between the passes), the fields
// a task and its result travel in, a quiet call's census on the pool, and the chunk
// file names of every format, recognised again.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <vector>

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

TEST(Fields, TasksAndResultsTravelByFieldName) {
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
    for (const FileFormat::Kind kind : FileFormat::kKinds) {
        const FileFormat format(kind);
        for (const int32_t number : {1, 9, 10, 100, INT32_MAX}) {
            const std::string name = kestrel::batch_file_name(number, format);
            const auto known = [&](const std::string& file) { return kestrel::is_chunk_file_name(file); };
            EXPECT_EQ(std::tuple(known(name), known(name + ".tbi"), known(name + ".csi")),
                      std::tuple(true, format.indexable_by(kestrel::index::IndexFormat::Tbi), format.indexable_by(kestrel::index::IndexFormat::Csi)))
                << name;
        }
    }
    EXPECT_EQ(kestrel::batch_file_name(7, FileFormat::of(std::nullopt)) + kestrel::batch_file_name(123, FileFormat::of(6)),
              "batch_07.vcfbatch_123.vcf.gz");
    for (const char* name : {"batch_00.vcf", "batch_7.vcf", "batch_007.vcf.gz", "batch_2147483648.vcf", "batch_-1.vcf",
                             "batch_.vcf", "batch_01.vcf.tbi", "batch_01.gz", "batch_01.vcf.gz.gz", "batch_01.vcf.vcf",
                             "batch_01.vcf.gz.tbi.csi", "Batch_01.vcf", "../batch_01.vcf", "x/batch_01.vcf"}) {
        EXPECT_FALSE(kestrel::is_chunk_file_name(name)) << name;
    }
}
