// The output side of a split: batch files streamed as their records arrive, one
// batch after another, with every batch's header in front.
//
// Plain batches are written by ordered writes on the worker pool, straight from the
// input's buffers; compressed batches go through one StreamCompressor, so the next
// batch is read and compressed while the last chunk of the previous one still is.
// Whatever runs ahead, a batch counts as saved, and its progress line is printed,
// only once every earlier batch was, and failures surface in that order too: a
// failed batch leaves no file of any later batch.
//
// Every file is made, renamed and removed through the output directory held open
// (base/file.hpp), so a directory removed, renamed or replaced while the run goes on
// fails the save of the next batch instead of letting it land elsewhere.
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
#include <string>
#include <string_view>
#include <vector>

#include "base/file.hpp"
#include "base/stop.hpp"
#include "bgzf/parallel_writer.hpp"
#include "index/binning_index.hpp"
#include "runtime/buffer.hpp"
#include "runtime/serial_executor.hpp"
#include "split/batch_file.hpp"
#include "split/chunk_summary.hpp"
#include "vcf/record_columns.hpp"

namespace kestrel {

// The header lines read so far, each ending in LF; a new snapshot whenever it grows.
using HeaderSnapshot = std::shared_ptr<const std::vector<uint8_t>>;

struct OutputSettings {
    Compression compression;
    // Compressed batches only: an index of this format is built while each batch is
    // compressed, from the records reported with record(), and saved next to it as
    // batch_NN.vcf.gz.tbi or .csi.
    std::optional<index::IndexFormat> index;
    // The input's identity: no batch file may be the input.
    std::optional<FileIdentity> input;
    // Compression and writes run here; null means the process's pool, made when the
    // first batch starts (plain batches are written on the calling thread when the
    // pool cannot start).
    runtime::JobRunner* runner = nullptr;
    // The progress lines of progress.hpp, `batch_size` being the one they name.
    bool print_lines = true;
    uint32_t batch_size = 0;
    // Told of every batch saved; null for none.
    ChunkListener* listener = nullptr;
    // The output directory, opened by the caller (who may hold its lock); null: it is
    // made and opened when the first batch starts. Must outlive the Outputs.
    const Directory* directory = nullptr;
    // Each file's writing to stable storage starts as it is saved, for a caller that
    // flushes them all before it declares the run complete.
    bool durable = false;
    // An older index beside a compressed batch (batch_NN.vcf.gz.tbi or .csi) is
    // removed before the batch is replaced, so that no index describes another file.
    bool replaces_indexes = false;
    // Each file is flushed to stable storage before it is renamed into place (a task
    // on another machine, whose files the caller cannot flush).
    bool flush_each = false;
    // Put in every temporary name, to find the temporaries of a run (batch_file.hpp);
    // when given, files are made and put in place only while the run's RunToken is
    // there, holding it.
    std::string temporary_tag;
    // Indexed batches: the CHROMs of their records in order are appended here.
    std::vector<ChromRun>* runs = nullptr;
};

// Locks the output directory for the run (base/file.hpp try_lock): a second run into
// it, of either module, stops at once with "PATH: another run is writing into this
// directory" instead of mixing its files with the first one's.
void lock_output_directory(const Directory& directory, const std::string& path);

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
    // The batches saved so far, in order.
    const std::vector<ChunkSummary>& chunks() const { return chunks_; }

private:
    struct Batch;
    class PendingWrite;

    void save_oldest(bool wait);
    void wait_until_written(Batch& batch);
    bool written(Batch& batch);
    void send_pending();
    void rewrite_with(Batch& batch, const HeaderSnapshot& header);

    // The run's token, held, for a run with a tag; nothing to hold without one.
    IoResult<std::optional<RunHold>> hold_run() const;
    [[noreturn]] void fail(const Batch& batch, const IoError& error, const std::string& path);
    void save_index(Batch& batch);

    std::string output_path_;
    OutputSettings settings_;
    std::optional<Directory> own_directory_;
    const Directory* directory_ = nullptr;
    std::optional<IoError> directory_error_;
    Compression compression_;
    runtime::JobRunner* runner_;
    index::SortOrder order_;  // across batches, as indexing needs it
    std::vector<ChunkSummary> chunks_;
    std::vector<std::string> created_directories_;
    // Declared before the batches they write to, so they are gone (their work done)
    // first when the outputs are dropped.
    std::deque<std::unique_ptr<Batch>> batches_;
    std::unique_ptr<PendingWrite> pending_;
    std::optional<runtime::SerialExecutor> writes_;
    std::optional<bgzf::StreamCompressor> compressor_;
    int32_t saved_ = 0;
    uint64_t records_indexed_ = 0;
    InterruptPoll interrupt_poll_;
};

}  // namespace kestrel
