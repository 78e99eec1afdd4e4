// The output side of a split: batch files streamed as their records arrive, one
// batch after another, with every batch's header in front, in the run's file format
// (file_format.hpp), by its writer (batch_streams.hpp).
//
// Whatever runs ahead, a batch counts as saved, and its progress line is printed,
// only once every earlier batch was, and failures surface in that order too: a
// failed batch leaves no file of any later batch.
//
// The batch module writes into a directory that a scatter run may have left: before
// it replaces a file that run's manifest.tsv names, it removes that manifest, whose
// row would no longer describe the file (a manifest naming none of its files stays).
//
// Every file is made, put in place and removed through the run's output target
// (output_target.hpp): a local directory held open, so that a directory removed,
// renamed or replaced while the run goes on fails the save of the next batch instead
// of letting it land elsewhere, or a prefix in object storage.
//
// Contract: the save failures of batch N stop the call with "An error occurred while
// trying to save batch N: ..." and a directory that cannot be made with "An error
// occurred creating the directory: ..." when batch N's turn comes; printing stops it
// as progress.hpp says. Waits may end the call with Interrupted. Dropping an Outputs
// that did not finish (a stop passing) waits for every write and job, removes every
// temporary file and, when no batch was saved, the directories it made. Used by one
// thread.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "base/file.hpp"
#include "base/stop.hpp"
#include "index/binning_index.hpp"
#include "runtime/buffer.hpp"
#include "split/write/batch_file.hpp"
#include "split/write/batch_streams.hpp"
#include "split/write/chunk_summary.hpp"
#include "split/write/file_format.hpp"
#include "split/write/output_target.hpp"
#include "vcf/record_columns.hpp"

namespace kestrel {

// Who runs the split, which decides how its files are saved.
enum class RunMode : uint8_t {
    // The batch module: its progress lines printed, files saved as they come.
    Batches,
    // The scatter module's run: an older index beside a chunk of a format that takes
    // one removed before the chunk is replaced, so that no index describes another
    // file; with `durable`, each file's writeback started as it is saved, for a caller
    // that flushes them all before it declares the run complete.
    Chunks,
    // A task of a run on a cluster, writing one chunk: as Chunks, and with `durable`
    // each file flushed before it is renamed into place (the caller, on another
    // machine, cannot flush it).
    ChunkTask,
};

struct OutputSettings {
    RunMode mode = RunMode::Batches;
    bool durable = false;
    // What the batch files are (FileFormat::of the run's compression settings).
    FileFormat format{FileFormat::Kind::PlainVcf};
    // Only for a format indexable_by() it (the options are checked before): an index of
    // this format is built while each batch is compressed, from the records reported
    // with record(), and saved next to it as batch_NN.vcf.gz.tbi or .csi.
    std::optional<index::IndexFormat> index;
    // The input's identity, where the Outputs makes its own target: no batch file may
    // be the input.
    std::optional<FileIdentity> input;
    // Compression and writes run here; null means the process's pool, made when the
    // first batch starts (plain batches are written on the calling thread when the
    // pool cannot start).
    runtime::JobRunner* runner = nullptr;
    // RunMode::Batches: the batch size the progress lines name.
    uint32_t batch_size = 0;
    // Told of every batch saved; null for none.
    ChunkListener* listener = nullptr;
    // Where the files go, opened by the caller (who may hold its lock); null: a local
    // directory at the output path, made, opened and locked when the first batch
    // starts. Must outlive the Outputs.
    OutputTarget* target = nullptr;
    // Indexed batches: the CHROMs of their records in order are appended here.
    std::vector<ChromRun>* runs = nullptr;
    // Batches are written whole (with their indexes) but kept under their temporary
    // names: none is put in place, counted as saved or told to the listener until
    // release_held(), and dropping the Outputs removes them all. For a run whose plan
    // is checked only at its end (index_plan.hpp). A local target only.
    bool hold = false;
};

// The stop of a batch that cannot be saved: "An error occurred while trying to save
// batch N: ...", an Io detail naming `path`.
[[noreturn]] void stop_saving(int32_t number, const IoError& error, const std::string& path);

class Outputs {
public:
    Outputs(std::string_view output_path, const OutputSettings& settings);
    Outputs(const Outputs&) = delete;
    Outputs& operator=(const Outputs&) = delete;
    ~Outputs();

    // Starts batch `number`; its file begins with `header`.
    void begin(int32_t number, HeaderSnapshot header);
    // Appends bytes of the batch's records. A piece with an owner may be kept until
    // it is written; one without must stay valid until end_piece().
    void append(const runtime::Piece& bytes);
    // A record of the batch, for its summary and index: its columns and where its
    // line lies in the batch file's uncompressed bytes. Returns why it cannot be
    // summarised or indexed, if it cannot; records must then come no more.
    std::optional<std::string> record(const vcf::RecordColumns& columns, uint64_t start, uint64_t end);
    // The input piece is done with: what was appended from it goes out now.
    void end_piece();
    // The batch is complete, `header` being the header as it stands now. The final
    // batch (the rest at the end of the input) prints its line first and is saved
    // before this returns.
    void end(HeaderSnapshot header, bool final);
    // Saves the batches whose bytes are all written, in order, without waiting.
    void poll();
    // Saves every batch that has ended, waiting for their writes: what must happen
    // before a later failure (a read error) is reported.
    void settle();
    int32_t saved() const { return saved_; }
    // With `hold`: puts every batch held so far in place, in order, each told to the
    // listener as it is (as without `hold`, only later). Stops as saving stops.
    void release_held();
    // The batches saved so far, in order.
    const std::vector<ChunkSummary>& chunks() const { return chunks_; }

private:
    struct Batch;

    void open_directory();
    // Saves the oldest batch: checks that it was written, then puts it (and its index)
    // in place.
    void save_oldest(bool wait);
    void check_written(Batch& batch, bool wait);
    void put_in_place(Batch& batch);
    void hold(Batch& batch);
    std::unique_ptr<OutputFile> write_index(Batch& batch, const std::string& name);
    void save_index(Batch& batch, const std::string& name);
    void note_saved(ChunkSummary summary);
    std::string index_name(const Batch& batch) const;
    // Removes the indexes of either format beside `file`, so that a new batch never
    // stands beside an older file's index; `failed_path` names the one that failed.
    std::optional<IoError> remove_indexes(const std::string& file, std::string& failed_path);
    void rewrite_with(Batch& batch, const HeaderSnapshot& header);
    Durability durability() const;

    std::string output_path_;
    OutputSettings settings_;
    MadeDirectories made_;
    std::unique_ptr<Folder> own_folder_;
    std::optional<OutputTarget> own_target_;
    OutputTarget* target_ = nullptr;
    std::unique_ptr<BatchWriter> writer_;
    std::optional<IoError> directory_error_;
    index::SortOrder order_;  // across batches, as indexing needs it
    std::vector<ChunkSummary> chunks_;
    std::deque<std::unique_ptr<Batch>> batches_;
    int32_t saved_ = 0;
    uint64_t records_indexed_ = 0;
    // With `hold`: the batches written whole, in order, and their indexes (null without).
    struct Held {
        ChunkSummary summary;
        std::unique_ptr<OutputFile> file;
        std::unique_ptr<OutputFile> index;
    };
    std::vector<Held> held_;
    // The batch module's own directory: the files the manifest there names (a scatter
    // run's), until it is removed.
    std::set<std::string> manifest_files_;
};

}  // namespace kestrel
