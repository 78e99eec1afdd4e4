// The scatter run as tasks on a cluster: the third entry into the engine, beside the
// batch and scatter entries, giving the same files byte for byte.
//
// The plan is record-exact. Phase 1 counts the records of each byte range of the
// input in a task of its own (count_range): BGZF input is cut at block starts that
// every task finds alike (bgzf/block_scan.hpp, or a .gzi beside the input), plain
// input anywhere; a record belongs to the range that holds its first byte. A running
// sum of the counts gives every chunk's first record. Phase 2 writes each chunk in a
// task of its own (write_chunk) with the engine of the other entries: the header read
// from the input's start, then the chunk's records from the range that holds its
// first, written, compressed and indexed as the local run writes them. The caller
// (scatter_on) holds the output directory's lock, checks the order an index needs
// across chunks, removes every temporary of any attempt and writes the manifest last.
// An input with a header line after its first record takes the local plan instead.
//
// Contract: tasks never stop: their failures come back as values, and the caller
// stops with the failure the local run meets first in the input (the same StopDetail
// and message). Tasks may run twice or be cut off: each attempt writes under
// temporary names of its own, tagged with the run, and renames into place. Each task
// stays within the engine's memory bound whatever the chunk or record size.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "base/stop.hpp"
#include "runtime/worker_pool.hpp"
#include "split/chunk_summary.hpp"
#include "split/scatter_entry.hpp"

namespace kestrel {

// A failure inside a task, as the stop that the local run would raise.
struct TaskFailure {
    std::string message;
    StopDetail detail;
};

// Phase 1: the records of one byte range of the input.
struct RangeTask {
    std::string input;       // where every worker opens it (an absolute path)
    std::string input_name;  // as the caller named it, for messages
    bool compressed = false;
    uint64_t size = 0;   // the input's size when the run started
    uint64_t start = 0;  // nominal offsets: the range is [start, end)
    uint64_t end = 0;
    uint64_t step = 0;   // counted in parts of this many bytes (0: one part)
    size_t read_size = size_t{1} << 20;
    size_t threads = 0;  // the engine's pool in this task: 0 for the process's
};

struct RangeCount {
    // Where the range really starts and ends in the file: BGZF cuts at block starts.
    uint64_t start = 0;
    uint64_t end = 0;
    bool empty = true;              // no byte of the input lies in it
    uint8_t first_byte = 0;         // of its bytes (uncompressed)
    bool ends_with_line_feed = false;
    // Lines that start after a line feed inside the range: records, header lines,
    // and whether a header line comes after a record among them.
    uint64_t records = 0;
    uint64_t header_lines = 0;
    bool header_after_record = false;
    bool stream_ends = false;  // BGZF: the stream ends in this range (what follows is not read)
    std::optional<TaskFailure> failure;
};

// Phase 2: one chunk.
struct ChunkTask {
    std::string input;       // where every worker opens it (an absolute path)
    std::string input_name;  // as the caller named it, for messages
    bool compressed = false;
    std::string output_dir;  // likewise
    std::string output_name;
    FileIdentity output_identity;  // the directory the caller locked: no other is written
    int32_t number = 0;           // the chunk's number (batch_NN)
    uint64_t start = 0;           // the offset where the range holding its first record starts
    bool starts_line = true;      // whether a line starts there
    uint64_t skip = 0;            // records of that range before the chunk's first
    uint64_t take = 0;            // records in the chunk
    uint64_t first_record = 0;    // the chunk's first record, counted in the whole input from 0
    bool last = false;            // the input's last chunk: whatever follows it is counted
    Compression compression;
    std::optional<index::IndexFormat> index;
    bool durable = false;         // flush each file before it is renamed into place
    std::string tag;              // the run's tag: temporary names, its RunToken
    size_t threads = 0;           // the engine's pool in this task: 0 for the process's
    size_t read_size = size_t{1} << 20;
};

struct ChunkOutcome {
    std::optional<ChunkSummary> chunk;
    std::vector<ChromRun> runs;  // as far as the chunk was read
    uint64_t records = 0;        // records read for the chunk
    uint64_t records_after = 0;  // the last chunk: records found after it
    std::optional<TaskFailure> failure;
};

// The counts of the range's parts, in order (up to the first that failed, or the one
// where the stream ends).
std::vector<RangeCount> count_range(const RangeTask& task);
ChunkOutcome write_chunk(const ChunkTask& task);

// Where tasks run: a cluster engine, or in-process for tests.
class TaskRunner {
public:
    // How many tasks run at once (the cluster's threads), to size the ranges by.
    virtual size_t slots() = 0;
    // Runs every count task; their results in the tasks' order.
    virtual std::vector<std::vector<RangeCount>> count(const std::vector<RangeTask>& tasks) = 0;
    // Runs every chunk task; `done` hears each outcome with its task's position as it
    // arrives, on the calling thread (it may throw to end the run: the runner then
    // gives up the tasks still out and lets the exception pass).
    virtual void write(const std::vector<ChunkTask>& tasks,
                       const std::function<void(size_t, ChunkOutcome)>& done) = 0;

protected:
    ~TaskRunner() = default;
};

// The default size of the ranges phase 1 cuts: seconds of work for a task, or less
// when the input is small for the cluster, so that every slot gets a few ranges.
constexpr uint64_t kDefaultRangeBytesBgzf = uint64_t{64} << 20;
constexpr uint64_t kDefaultRangeBytesPlain = uint64_t{256} << 20;
// A range is counted in parts of this size, so that a chunk's task starts reading
// at most this far before its first record.
constexpr uint64_t kPartBytesBgzf = uint64_t{4} << 20;
constexpr uint64_t kPartBytesPlain = uint64_t{16} << 20;
// The smallest range a caller may ask for: a BGZF block is at most this long.
constexpr uint64_t kMinRangeBytes = uint64_t{64} << 10;
// However large the input, at most this many ranges and parts: what the caller holds
// of the counts (and the cluster of the tasks) stays bounded. Larger ranges and parts
// are taken where the input would need more; the files are the same.
constexpr uint64_t kMaxRanges = 16384;
constexpr uint64_t kMaxParts = 65536;

// scatter() with the work done by `runner`, ranges of `range_bytes` input bytes
// counted in parts of `part_bytes` (0: the defaults for the input's format; both are
// raised as far as kMaxRanges and kMaxParts need). The same files, summaries and
// failures as scatter(options) gives. The output directory must take new files (the
// run's token is one). When the call ends, however it ends, no task of the run makes
// or renames a file there any more and no temporary of any attempt is left.
std::vector<ChunkSummary> scatter_on(TaskRunner& runner, const ScatterOptions& options, uint64_t range_bytes,
                                     uint64_t part_bytes = 0);

}  // namespace kestrel
