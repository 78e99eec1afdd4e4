// The scatter entry: the engine as pipelines use it. Batches ("chunks") of a size
// or a fixed number of balanced chunks (the records counted in a first pass), an
// index next to each compressed chunk, a manifest written last, standard input (a
// copy spooled where two passes are needed), and a listener instead of printed lines.
// The output directory is made, held open and locked for the whole run.
//
// Contract: every failure stops the call with a StopDetail (base/stop.hpp); chunks
// saved before it stay, and no partial or temporary file and no manifest is left.
// Runs on the calling thread (reading, compression and writes on the worker pool);
// it does not touch interpreter objects.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "index/binning_index.hpp"
#include "split/batch_file.hpp"
#include "split/chunk_summary.hpp"
#include "base/byte_source.hpp"
#include "base/file.hpp"
#include "split/split_loop.hpp"

namespace kestrel {

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
    std::optional<index::IndexFormat> index;  // compressed batches only
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

// What the scatter entry shares with the distributed one (split/distributed.hpp).

// The output directory of a scatter, made if need be, held open and locked for the
// whole run: a second run into it fails at once instead of mixing its files with
// ours. A manifest of an earlier run is removed at once (it would describe files this
// run replaces), unless it is the input. Directories it made are removed again when
// the run leaves nothing in them.
class OutputDirectory {
public:
    OutputDirectory(const std::string& path, const std::optional<FileIdentity>& input);
    ~OutputDirectory();
    OutputDirectory(const OutputDirectory&) = delete;
    OutputDirectory& operator=(const OutputDirectory&) = delete;

    const Directory& get() const { return directory_; }
    void used() { used_ = true; }

private:
    std::vector<std::string> created_;
    Directory directory_;
    bool used_ = false;
};

// Stops for options that do not go together.
void check_scatter_options(const ScatterOptions& options);
// The spool directory as given, or the stop that names it: it must exist, be a
// directory and take new files.
Directory spool_directory(const std::string& path);
// The stop of a failed file operation: "WHAT PATH: error", an Io detail.
[[noreturn]] void stop_io(const std::string& what, const IoError& error, const std::string& path);
// Every chunk and index of the run on stable storage, and the directory's entries.
void flush_outputs(const Directory& directory, const std::vector<ChunkSummary>& chunks);
// The manifest, through a temporary, flushed with the directory.
void write_manifest(const Directory& directory, const std::vector<ChunkSummary>& chunks,
                    std::optional<FileIdentity> input);
// The input as messages name it: "<stdin>" for "-".
std::string input_name(const std::string& input);
// The input opened: a file, or standard input where it stands ("-"); stops naming it.
std::shared_ptr<ByteSource> open_source(const std::string& input);
// The local run on `source` (from its start) into the locked `output`.
std::vector<ChunkSummary> run_local(const ScatterOptions& options, OutputDirectory& output,
                                    std::shared_ptr<ByteSource> source);

}  // namespace kestrel
