// The core operations: read a VCF file once, keep every header line, cut the records
// into batches and write each batch with the header before it.
//
// extract_variants_to_batches cuts every batch_size records and prints a progress
// line per batch and a summary. scatter is the same engine as pipelines use it:
// batches of a size or a fixed number of balanced batches ("chunks"), an index next
// to each compressed chunk, a manifest written last, standard input, and a listener
// instead of printed lines.
//
// Contract: every failure stops the call; batch files saved before it stay, and no
// partial or temporary file is left. Stops carry a StopDetail (base/stop.hpp) where
// the failure concerns a file or the input. Runs on the calling thread (reading,
// compression and writes on the worker pool); it does not touch interpreter objects.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bgzf/tabix_index.hpp"
#include "runtime/worker_pool.hpp"
#include "split/batch_file.hpp"
#include "split/chunk_summary.hpp"

namespace kestrel {

void extract_variants_to_batches(std::string_view file_path, std::string_view output_path,
                                 uint32_t batch_size, Compression compression);

// What tests and fuzzing vary: how much is read at once (small reads put line and
// block boundaries anywhere), and where jobs run (null: the process's pool).
struct SplitTuning {
    size_t read_size = size_t{1} << 20;
    runtime::JobRunner* runner = nullptr;
};
void extract_variants_to_batches(std::string_view file_path, std::string_view output_path,
                                 uint32_t batch_size, Compression compression, const SplitTuning& tuning);

// The name of the manifest in the output directory.
inline constexpr std::string_view kManifestName = "manifest.tsv";

struct ScatterOptions {
    // A file, or "-" for standard input; plain text or BGZF, told apart by its first
    // bytes whatever its name.
    std::string input;
    std::string output_dir;
    // Exactly one is not zero. `chunks`: that many batches (as many as there are
    // records when there are fewer), the first ones holding one record more where
    // the count does not divide; the records are counted in a first pass.
    uint64_t records_per_chunk = 0;
    uint64_t chunks = 0;
    Compression compression;
    std::optional<bgzf::IndexFormat> index;  // compressed batches only
    // manifest.tsv: one row per batch, written (renamed into place) after every batch
    // was saved. A manifest left by an earlier run is removed first either way.
    bool manifest = true;
    // Where the copy of an input that cannot be read twice (a pipe) goes when
    // `chunks` needs two passes; empty: such an input is refused.
    std::string spool_dir;
    ChunkListener* listener = nullptr;
    SplitTuning tuning;
};

// The batches saved, in order. Stops with a Usage detail for options that do not fit
// the input, an Input detail (with the line) for damaged input and for records that
// cannot be indexed (CHROM or POS unreadable, out of order, a position the index
// format cannot hold, a header line among an indexed batch's records), and an Io
// detail (with the path) for a failed file operation.
std::vector<ChunkSummary> scatter(const ScatterOptions& options);

// The manifest's text for these batches, its header row first.
std::string manifest_text(const std::vector<ChunkSummary>& chunks);

}  // namespace kestrel
