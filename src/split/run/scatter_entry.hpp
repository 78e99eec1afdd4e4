// The scatter entry: the engine as pipelines use it, on this machine. Chunks of a
// size or a fixed number of balanced chunks (the records counted in a first pass), an
// index next to each compressed chunk, a manifest written last, standard input (a
// copy spooled where two passes are needed), and a listener instead of printed lines.
// The output directory is made, held open and locked for the whole run. The run on a
// cluster (cluster_run.hpp) shares its plan and finish (scatter.hpp).
//
// Contract: every failure stops the call with a StopDetail (base/stop.hpp); chunks
// saved before it stay, and no partial or temporary file and no manifest is left.
// Runs on the calling thread (reading, compression and writes on the worker pool);
// it does not touch interpreter objects.
#pragma once

#include <memory>
#include <vector>

#include "base/byte_source.hpp"
#include "split/plan/scatter.hpp"
#include "split/write/chunk_summary.hpp"

namespace kestrel {

// The chunks saved, in order. Stops with a Usage detail for options that do not fit
// the input, an Input detail (with the line) for damaged input and for records that
// cannot be indexed (CHROM or POS unreadable, out of order, a position the index
// format cannot hold, a header line among an indexed chunk's records), and an Io
// detail (with the path) for a failed file operation.
std::vector<ChunkSummary> scatter(const ScatterOptions& options);

// The local run on `source` (from its start) into the locked `output`.
std::vector<ChunkSummary> run_local(const ScatterOptions& options, RunOutput& output,
                                    std::shared_ptr<ByteSource> source);

}  // namespace kestrel
