// What the scatter's two runs share, the local one (scatter_entry.hpp) and the one on
// a cluster (cluster_run.hpp): the options and their checks, the input and the locked
// output directory, the plan of the chunks, the settings of their files, the check
// that every counted record was read, and the finish (flush, manifest).
//
// Contract: every failure stops the call with a StopDetail (base/stop.hpp): Usage for
// options, Io (with the path) for file operations, Input for an input that changed.
// Used by the thread that runs the scatter; nothing here touches interpreter objects.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/byte_source.hpp"
#include "base/file.hpp"
#include "index/binning_index.hpp"
#include "split/cut/cut_policy.hpp"
#include "split/cut/line_splitter.hpp"
#include "split/cut/split_loop.hpp"
#include "split/write/chunk_summary.hpp"
#include "split/write/output_target.hpp"
#include "split/write/outputs.hpp"

namespace kestrel {

// What the chunk files are: the part of the options that every writer of a chunk
// needs, on this machine or on another (it travels with the tasks of a cluster run).
struct ChunkFormat {
    Compression compression;
    std::optional<index::IndexFormat> index;  // compressed chunks only
    // manifest.tsv: one row per chunk, written (renamed into place) after every chunk
    // was saved, and each file flushed first. A manifest left by an earlier run is
    // removed first either way, and the files it names that this run does not write
    // are removed at the end either way.
    bool manifest = true;

    template <class Self, class Visit>
    static void fields(Self& self, Visit&& visit) {
        visit("compression", self.compression);
        visit("index", self.index);
        visit("manifest", self.manifest);
    }
};

struct ScatterOptions {
    // A file, or "-" for standard input; plain text or BGZF, told apart by its first
    // bytes whatever its name.
    std::string input;
    // The index whose record counts may plan `chunks` (index_plan.hpp); empty: INPUT.tbi
    // or INPUT.csi beside the input. Set from INPUT##idx##INDEX by take_index_name.
    std::string index_path;
    std::string output_dir;
    // Exactly one is not zero. `chunks`: that many batches (as many as there are
    // records when there are fewer), the first ones holding one record more where
    // the count does not divide; the records are counted in a first pass.
    uint64_t records_per_chunk = 0;
    uint64_t chunks = 0;
    // The rules by place over those counts (cut_policy.hpp). With by_contig, neither
    // count may be given: one chunk per contig. With by_contig and `chunks`, the
    // records of each contig are counted in the first pass.
    PlaceRules place;
    ChunkFormat format;
    // Where the copy of an input that cannot be read twice (a pipe) goes when
    // `chunks` needs two passes; empty: such an input is refused.
    std::string spool_dir;
    // The options of the store for an input or output that is a URL (JSON text).
    std::string storage_options;
    ChunkListener* listener = nullptr;
    SplitTuning tuning;
};

// Stops for options that do not go together (the one place they are checked).
void check_scatter_options(const ScatterOptions& options);
// Stops (Usage) for an output directory no run can write to: an http(s) URL.
void check_output_dir(const std::string& output_dir);

// The input as messages name it: "<stdin>" for "-".
std::string input_name(const std::string& input);
// The spool directory as given, or the stop that names it: it must exist, be a
// directory and take new files.
Directory spool_directory(const std::string& path);

// The output of a scatter, taken for the whole run (RunOutput): a second run into it
// fails at once instead of mixing its files with ours. No file of the run may be the
// input.
std::unique_ptr<RunOutput> open_run_output(const ScatterOptions& options, const std::optional<FileIdentity>& input,
                                           const std::string& tag = {});

// The sizes of the chunks: `chunks` balanced over `records`, or `records_per_chunk` each.
BatchPlan chunk_plan(const ScatterOptions& options, uint64_t records);
// The count rule under the rules by place: that plan, restarted at each contig with
// by_contig (none when no count is given).
std::optional<BatchPlan> place_plan(const ScatterOptions& options, uint64_t records);

// What the splitter reads of each record for chunks of `format`: CHROM and POS for the
// summaries, and what an index needs when there is one.
Splitter::Observe observe_for(const ChunkFormat& format);

// The settings of the chunk files of a scatter into `target`, on this machine
// (RunMode::Chunks) or in a task of a cluster run (RunMode::ChunkTask).
OutputSettings chunk_settings(RunMode mode, const ChunkFormat& format, OutputTarget& target,
                              runtime::JobRunner* runner);

// Stops when the records read are not those counted: the input changed while it was
// read (an Input detail naming it).
void check_records_read(const std::string& path, uint64_t counted, uint64_t read);

// The end of a run that saved `chunks` into `output`: with a manifest, every file
// flushed to stable storage; the earlier run's files that this run did not write
// removed (remove_earlier_files); then the manifest written last.
void finish_scatter(RunOutput& output, const std::vector<ChunkSummary>& chunks, const ChunkFormat& format);

// Removes the files of output.earlier_files() that are not among `written`: the chunks
// of an earlier run with more of them, or another format, would otherwise stay beside
// this run's, and a batch_* pattern would take them. Never the input, nor a directory
// of such a name; stops with "cannot remove PATH: error" where one cannot be removed.
void remove_earlier_files(RunOutput& output, const std::vector<std::string>& written);

// The manifest's text for these chunks, its header row first.
std::string manifest_text(const std::vector<ChunkSummary>& chunks);

}  // namespace kestrel
