// What the C++ tests and the fuzz targets share. Nothing here uses GoogleTest: a helper
// that cannot do its work throws std::runtime_error, which fails the test that called it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/byte_source.hpp"
#include "base/stop.hpp"
#include "bgzf/header.hpp"
#include "bgzf/parallel_writer.hpp"
#include "index/binning_index.hpp"
#include "runtime/worker_pool.hpp"
#include "split/run/cluster_run.hpp"

namespace kestrel::testing {

// Fewer rounds under AddressSanitizer, ten times slower: a few reach its faults of memory.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr int kRoundsDivisor = 3;
#else
inline constexpr int kRoundsDivisor = 1;
#endif

using Bytes = std::vector<uint8_t>;

inline void append(Bytes& to, std::span<const uint8_t> bytes) { to.insert(to.end(), bytes.begin(), bytes.end()); }
inline std::string text_of(std::span<const uint8_t> bytes) { return {bytes.begin(), bytes.end()}; }

// VCF-like record lines drawn from `seed`, cut to exactly `length` bytes: compressible,
// but not trivially.
Bytes vcf_text(size_t length, uint32_t seed);

// `data` as the writers encode it: a block every 65280 bytes, then the end-of-file
// marker; `sizes` lists the data blocks.
struct Encoded {
    Bytes bytes;
    std::vector<bgzf::BlockSize> sizes;
};
Encoded bgzf_encode(std::span<const uint8_t> data, uint32_t level = 6);

// One BGZF member holding `data`, its header and trailer as a test wants them.
struct Member {
    std::optional<std::string> name;     // FNAME, written with its zero byte
    std::optional<std::string> comment;  // FCOMMENT, written with its zero byte
    bool header_crc = false;             // FHCRC, with a CRC nobody checks
    Bytes extra_before;                  // raw subfields before "BC"
    Bytes extra_after;                   // raw subfields after it
    std::optional<uint16_t> xlen;        // XLEN when not the length of the subfields
    uint32_t crc_xor = 0;                // damages the CRC
    std::optional<uint32_t> isize;       // ISIZE when not the data's length
    std::optional<Bytes> deflated;       // the DEFLATE data when not `data` compressed
};
// BSIZE counts the header as XLEN says, as readers do.
Bytes bgzf_member(std::span<const uint8_t> data, const Member& member = {});

// Every member of a gzip stream inflated by zlib, one after the other.
Bytes gunzip(std::span<const uint8_t> stream);

std::string read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, std::span<const uint8_t> bytes);
// name -> content of every file in `directory`; empty when there is no such directory.
std::map<std::string, std::string> files_of(const std::filesystem::path& directory);

// A fresh directory, removed with everything in it; on tmpfs where there is one, as a
// manifest flushes the file system it stands on.
class TemporaryDirectory {
public:
    TemporaryDirectory();
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Receives a file's blocks as the compressor hands them over; its end appends the
// end-of-file marker, as the batch files do.
struct CollectingSink final : bgzf::BlockSink {
    void blocks(std::span<const uint8_t> compressed, std::span<const bgzf::BlockSize> block_sizes) override {
        append(bytes, compressed);
        sizes.insert(sizes.end(), block_sizes.begin(), block_sizes.end());
    }
    void end() override {
        append(bytes, bgzf::kEofMarker);
        ended = true;
    }
    Bytes bytes;
    std::vector<bgzf::BlockSize> sizes;
    bool ended = false;
};

// Holds the jobs it is given until the test runs them, in the order the test
// chooses; or, once told to, runs each job as it is submitted. Thread-safe.
class ControlledRunner final : public runtime::JobRunner {
public:
    explicit ControlledRunner(size_t threads) : threads_(threads) {}
    size_t thread_count() const override { return threads_; }
    void submit(runtime::Job job) override;
    // Runs the job submitted `index`th (from 0).
    void run(size_t index);
    // Runs every job held, and from now on each as it comes.
    void run_all_from_now_on();
    size_t submissions();
    // Whether `count` jobs came within 20 seconds.
    bool wait_for_submissions(size_t count);
    // Runs every job held when it goes. Declared after whatever waits for the jobs, it
    // lets a test that fails half-way end rather than hang.
    struct Release {
        ControlledRunner& runner;
        ~Release() { runner.run_all_from_now_on(); }
    };

private:
    size_t threads_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::optional<runtime::Job>> held_;
    bool run_on_submit_ = false;
};

// While it exists, the interruption check (base/stop.hpp) throws Interrupted from its
// `calls`th run on; `runs` counts them.
class InterruptAfter {
public:
    explicit InterruptAfter(int calls);
    ~InterruptAfter();
    int runs() const;
};

// The rules a split follows, as plainly as they can be written: every line that
// begins with '#' joins the header; every other line is a record; every batch_size
// records (one with 0) make a batch that holds the header so far and its records.
// A line ends at LF (one CR before it removed) or at the end of the text (kept as is).
std::vector<std::string> model_batches(const std::string& text, uint32_t batch_size);

// The span of a whole record line; its CHROM views the columns until the next call.
std::variant<index::RecordSpan, std::string> parse_vcf_record(std::string_view line);

// Indexes `text` as a writer would: every record as its line is written; every block
// two blocks' worth of text later, or all of them at the end.
std::variant<std::vector<uint8_t>, std::string> build_index(std::string_view text,
                                                            std::span<const bgzf::BlockSize> sizes,
                                                            index::IndexFormat format, bool blocks_at_end = false);

// What a scatter gave: its chunks, or the stop that ended it as message|kind|line|path|text.
struct Outcome {
    std::vector<ChunkSummary> chunks;
    std::string failure;
    uint64_t line = 0;
};
template <class Run>
Outcome outcome_of(Run&& run) {
    Outcome outcome;
    try {
        const QuietStops quiet;
        outcome.chunks = run();
    } catch (const Stop& stopped) {
        const StopDetail& detail = stopped.detail();
        outcome.line = detail.line;
        outcome.failure = stopped.message() + "|" + std::to_string(static_cast<int>(detail.kind)) + "|" +
                          std::to_string(detail.line) + "|" + detail.path + "|" + detail.text;
    }
    return outcome;
}

// Runs the tasks in this process, in a shuffled order, some of them twice.
class ShufflingRunner final : public TaskRunner {
public:
    explicit ShufflingRunner(uint32_t seed) : random_(seed) {}
    size_t slots() override { return 3; }
    std::vector<std::string> count(const std::vector<std::string>& tasks) override;
    void write(const std::vector<std::string>& tasks, const std::function<void(size_t, std::string_view)>& done) override;

private:
    std::vector<size_t> shuffled(size_t count);
    std::mt19937 random_;
};

}  // namespace kestrel::testing
