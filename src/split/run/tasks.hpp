// The tasks of a scatter run on a cluster, and what they report: plain values that
// travel between machines as bytes (split/run/fields.hpp), and the work a worker does
// for each. Counting tasks count the records of a byte range of the input, in parts
// (BGZF: the range cut at block starts that every task finds alike, bgzf/block_scan.hpp,
// or from a .gzi beside the input, and read at one go, its parts starting at blocks
// about `step` bytes apart); chunk tasks write one chunk each with the engine of the
// local run: the header read from the input's start, then the chunk's records from
// the part holding its first one. A record belongs to the part that holds its first
// byte. The plan that makes the tasks, and what is done with their results, is the
// cluster run's (cluster_run.hpp).
//
// Contract: the work never stops: failures come back as values (TaskFailure, the stop
// the local run would raise). Tasks may run twice or be cut off: each attempt writes
// under temporary names of its own, tagged with the run, and puts files in place only
// while the run's token is there (batch_file.hpp RunToken). Each task stays within
// the engine's memory bound whatever the chunk or record size. Safe to run several
// tasks at once in one process.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/file.hpp"
#include "base/stop.hpp"
#include "split/plan/part_count.hpp"
#include "split/plan/scatter.hpp"
#include "split/write/chunk_summary.hpp"

namespace kestrel {

// The input as every task reads it.
struct TaskInput {
    std::string path;  // where every worker opens it (an absolute path, or a URL)
    std::string name;  // as the caller named it, for messages
    bool compressed = false;
    uint64_t size = 0;  // its size when the run started
    size_t read_size = size_t{1} << 20;
    // The options of the store, for an input or output that is a URL (JSON text).
    std::string storage_options;
    // A URL's version as the caller first read it (ByteSource::version): every task
    // reads that one or fails.
    std::string version;

    template <class Self, class Visit>
    static void fields(Self& self, Visit&& visit) {
        visit("path", self.path);
        visit("name", self.name);
        visit("compressed", self.compressed);
        visit("size", self.size);
        visit("read_size", self.read_size);
        visit("storage_options", self.storage_options);
        visit("version", self.version);
    }
};

// Phase 1: the records of one byte range of the input, counted in parts.
struct RangeTask {
    TaskInput input;
    uint64_t start = 0;  // nominal offsets: the range is [start, end)
    uint64_t end = 0;
    uint64_t step = 0;   // counted in parts of this many bytes (0: one part)
    bool keys = false;   // read the records' keys too (PartKeys), for the rules by place
    // A range of one part counted again: where the runs of one position that hold these
    // records end (records after a line feed in the part, from 0, ascending).
    std::vector<uint64_t> locate;

    template <class Self, class Visit>
    static void fields(Self& self, Visit&& visit) {
        visit("input", self.input);
        visit("start", self.start);
        visit("end", self.end);
        visit("step", self.step);
        visit("keys", self.keys);
        visit("locate", self.locate);
    }
};

// The counts of a range's parts, in order (up to the first that failed, or the one
// where the stream ends).
struct RangeCounts {
    std::vector<PartCount> parts;

    template <class Self, class Visit>
    static void fields(Self& self, Visit&& visit) {
        visit("parts", self.parts);
    }
};

// Phase 2: one chunk.
struct ChunkTask {
    TaskInput input;
    std::string output_dir;  // where every worker opens it (an absolute path, or a URL)
    std::string output_name;  // as the caller named it
    FileIdentity output_identity;  // the directory the caller locked: no other is written
    int32_t number = 0;            // the chunk's number (batch_NN)
    uint64_t start = 0;            // the offset where the part holding its first record starts
    bool starts_line = true;       // whether a line starts there
    uint64_t skip = 0;             // records of that part before the chunk's first
    uint64_t take = 0;             // records in the chunk
    uint64_t first_record = 0;     // the chunk's first record, counted in the whole input from 0
    // Where the part holding its last record ends: read ahead up to there, and past it
    // (the rest of that record's line) a block at a time.
    uint64_t expected_end = UINT64_MAX;
    bool last = false;             // the input's last chunk: whatever follows it is counted
    ChunkFormat format;
    std::string tag;  // the run's tag: temporary names, its RunToken

    template <class Self, class Visit>
    static void fields(Self& self, Visit&& visit) {
        visit("input", self.input);
        visit("output_dir", self.output_dir);
        visit("output_name", self.output_name);
        visit("output_device", self.output_identity.device);
        visit("output_inode", self.output_identity.inode);
        visit("number", self.number);
        visit("start", self.start);
        visit("starts_line", self.starts_line);
        visit("skip", self.skip);
        visit("take", self.take);
        visit("first_record", self.first_record);
        visit("expected_end", self.expected_end);
        visit("last", self.last);
        visit("format", self.format);
        visit("tag", self.tag);
    }
};

struct ChunkOutcome {
    std::optional<ChunkSummary> chunk;
    std::vector<ChromRun> runs;  // as far as the chunk was read
    uint64_t records = 0;        // records read for the chunk
    uint64_t records_after = 0;  // the last chunk: records found after it
    std::optional<TaskFailure> failure;

    template <class Self, class Visit>
    static void fields(Self& self, Visit&& visit) {
        visit("chunk", self.chunk);
        visit("runs", self.runs);
        visit("records", self.records);
        visit("records_after", self.records_after);
        visit("failure", self.failure);
    }
};

// The work on a worker, with the engine's pool of `threads` threads (0: the
// process's own). `worker` names the worker (its address) in the failures that only a
// worker meets: a store or a path that the caller reached and the worker does not.
// An Interrupted (an exception of the embedding program, such as a store's package
// missing on the worker) is not a failure of the task: it passes as it is.
RangeCounts count_range(const RangeTask& task, size_t threads, std::string_view worker = {});
ChunkOutcome write_chunk(const ChunkTask& task, size_t threads, std::string_view worker = {});

// The same, from a task's bytes to its result's bytes: what a cluster engine ships.
// Bytes that are no task of the kind give a result that carries the failure.
std::string run_range_task(std::string_view task, size_t threads, std::string_view worker = {});
std::string run_chunk_task(std::string_view task, size_t threads, std::string_view worker = {});

}  // namespace kestrel
