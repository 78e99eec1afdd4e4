// The scatter run as tasks on a cluster: the same files, byte for byte, as the local
// run (scatter_entry.hpp), with which it shares the plan and the finish
// (scatter.hpp). It reads as plan → count → write → verify → finish:
// - count: the input is cut into byte ranges, each counted in parts by a task of its
//   own (tasks.hpp); a running sum of the counts gives every chunk's first record;
// - write: each chunk is written by a task of its own, from the part holding its
//   first record;
// - verify: the order an index needs across chunks, every counted record read, every
//   chunk where its task left it;
// - finish: the manifest written last, by the caller, who holds the output
//   directory's lock for the whole run.
// An input with a header line after its first record, or whose size reads as 0,
// takes the local run instead.
//
// Contract: stops as the local run stops for the same input (the same StopDetail and
// message, the failure the local run meets first). The output directory must take new
// files (the run's token is one). When the call ends, however it ends, no task of the
// run makes or renames a file there any more, and no temporary of any attempt is left.
// The runner's exceptions pass through.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "split/plan/scatter.hpp"
#include "split/write/chunk_summary.hpp"

namespace kestrel {

// Where tasks run: a cluster engine, or in-process for tests. Tasks and results travel
// as the bytes tasks.hpp makes of them; a worker turns them into results with
// run_range_task and run_chunk_task.
class TaskRunner {
public:
    // How many tasks run at once (the cluster's threads), to size the ranges by.
    virtual size_t slots() = 0;
    // Runs every counting task; their results in the tasks' order.
    virtual std::vector<std::string> count(const std::vector<std::string>& tasks) = 0;
    // Runs every chunk task; `done` hears each result with its task's position as it
    // arrives, on the calling thread (it may throw to end the run: the runner then
    // gives up the tasks still out and lets the exception pass).
    virtual void write(const std::vector<std::string>& tasks,
                       const std::function<void(size_t, std::string_view)>& done) = 0;

protected:
    ~TaskRunner() = default;
};

// The default size of the ranges phase 1 cuts: seconds of work for a task, or less
// when the input is small for the cluster, so that every slot gets two ranges (each
// task costs a start of its own; counting is quick).
constexpr uint64_t kDefaultRangeBytesBgzf = uint64_t{64} << 20;
constexpr uint64_t kDefaultRangeBytesPlain = uint64_t{256} << 20;
// ... but no smaller than this: where a BGZF range starts and ends is found by reading
// about two blocks' worth there, which should stay a small part of the range.
constexpr uint64_t kSmallestDefaultRangeBytes = uint64_t{4} << 20;
// A chunk's task starts reading where the part holding its first record starts, and
// reads ahead as far as the part holding its last one ends: the smaller the parts, the
// less it reads that it does not use. A BGZF range is read at one go and counted block
// by block (as many parts as kMaxParts allows); plain text is counted in parts read
// one by one, of about a thousandth of the input, within these sizes.
constexpr uint64_t kSmallestPartBytesPlain = uint64_t{64} << 10;
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
// raised as far as kMaxRanges and kMaxParts need).
std::vector<ChunkSummary> scatter_on(TaskRunner& runner, const ScatterOptions& options, uint64_t range_bytes,
                                     uint64_t part_bytes = 0);

}  // namespace kestrel
