// The record count that an index beside a BGZF input carries, for a fixed number of
// chunks planned without a counting pass. The index is the one that
// `INPUT##idx##INDEX` names, or else INPUT.tbi or INPUT.csi beside the input (a local
// file, or an object next to a URL); it is taken only when it is not older than the
// input and its pseudo-bins count the records of every reference (index/index_counts).
//
// The count is a promise, not a fact: the run that plans from it counts what it reads
// and, where the two differ (an index of another file, or one written before the input
// changed), plans again from a real count (scatter_entry.cpp). So a wrong index costs
// time, never a wrong chunk.
//
// Contract: nothing here stops the call for the index's sake: an index that cannot be
// opened, read or trusted is passed over (nullopt). An interruption passes through.
// Used by the thread that runs the scatter.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/byte_source.hpp"
#include "runtime/worker_pool.hpp"

namespace kestrel {

struct ScatterOptions;

// What parts an input's name from its index's in htslib's DATA##idx##INDEX.
inline constexpr std::string_view kIndexRule = "##idx##";

// A file the run consults only where it is there (an index beside the input: a .tbi,
// .csi or .gzi), opened like the input (`storage_options` for a URL); null where it
// cannot be opened. A local one must be a regular file: anything else (a FIFO would
// hold the open until a writer came) is passed over.
std::shared_ptr<ByteSource> open_index_file(const std::string& path, const std::string& storage_options);

// Takes "DATA##idx##INDEX" apart: `input` becomes DATA, `index_path` INDEX. Other
// names are left as they are.
void take_index_name(ScatterOptions& options);

// The records the input's index counts, where a usable one is there: `source` is the
// input, opened; only BGZF input counts.
std::optional<uint64_t> records_from_index(const ScatterOptions& options, const std::shared_ptr<ByteSource>& source);

}  // namespace kestrel
