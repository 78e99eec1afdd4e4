#include "split/outputs.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "base/stop.hpp"
#include "bgzf/error.hpp"
#include "bgzf/header.hpp"
#include "split/inputs.hpp"
#include "split/progress.hpp"

namespace kestrel {
namespace {

// Batches under way at once (each holds a file open); more wait for the oldest.
constexpr size_t kBatchesUnderWay = 8;
// Pieces per plain write; the system takes at most IOV_MAX at once.
constexpr size_t kPiecesPerWrite = IOV_MAX;
constexpr size_t kCopySize = size_t{1} << 20;

// Runs each job at once on the submitting thread: for when the pool cannot start.
class InlineRunner final : public runtime::JobRunner {
public:
    size_t thread_count() const override { return 1; }
    void submit(runtime::Job job) override { job(); }
};

InlineRunner inline_runner;

}  // namespace

struct Outputs::Batch final : bgzf::BlockSink {
    int32_t number = 0;
    HeaderSnapshot header;
    std::optional<BatchFile> file;
    std::optional<IoError> directory_error;  // the output directory could not be made
    std::optional<std::string> stop_message;  // the call stops with this when the batch's turn comes
    std::optional<IoError> error;            // a failed save, found on this thread
    std::optional<IoError> write_error;      // a failed plain write, set by the write tasks
    bool ended = false;
    bool final = false;
    uint64_t offset = 0;      // plain: bytes sent to the file so far
    uint64_t last_write = 0;  // plain: ticket of the last write
    bool blocks_done = false;  // compressed: every block and the marker are in the file
    bool begun = false;        // compressed: the compressor has the file, which must be ended
    std::optional<index::IndexBuilder> index;
    ChunkSummary summary;

    bool has_file() const { return file.has_value() && !error && !stop_message; }

    void blocks(std::span<const uint8_t> compressed, std::span<const bgzf::BlockSize> sizes) override {
        if (index) index->blocks(sizes);
        if (has_file()) error = write_all(file->fd(), compressed);
    }
    void end() override {
        if (has_file()) error = write_all(file->fd(), bgzf::kEofMarker);
        blocks_done = true;
    }
};

// The pieces of one plain write, and what keeps their bytes alive until written.
class Outputs::PendingWrite {
public:
    explicit PendingWrite(Batch* batch) : batch_(batch) {}

    bool empty() const { return pieces_.empty(); }
    bool full() const { return pieces_.size() >= kPiecesPerWrite; }
    Batch* batch() const { return batch_; }
    size_t bytes() const { return bytes_; }

    void add(std::span<const uint8_t> bytes, std::shared_ptr<const void> owner) {
        if (bytes.empty()) return;
        // Runs of one buffer join up: the line scan hands them over line by line. Two
        // buffers that merely lie side by side in memory do not: each must be kept.
        if (!pieces_.empty() && owner.get() == last_owner_ &&
            static_cast<const uint8_t*>(pieces_.back().iov_base) + pieces_.back().iov_len == bytes.data()) {
            pieces_.back().iov_len += bytes.size();
        } else {
            pieces_.push_back({const_cast<uint8_t*>(bytes.data()), bytes.size()});
            last_owner_ = owner.get();
            if (owner && (keep_.empty() || keep_.back() != owner)) keep_.push_back(std::move(owner));
        }
        bytes_ += bytes.size();
    }

    // On a worker: allocates nothing.
    void run(int fd, off_t offset) noexcept {
        if (batch_->write_error) return;
        if (auto error = pwrite_all(fd, pieces_, offset)) batch_->write_error = *error;
    }

private:
    Batch* batch_;
    std::vector<iovec> pieces_;
    std::vector<std::shared_ptr<const void>> keep_;
    const void* last_owner_ = nullptr;
    size_t bytes_ = 0;
};

Outputs::Outputs(std::string_view output_path, const OutputSettings& settings)
    : output_path_(output_path),
      settings_(settings),
      directory_(settings.directory),
      compression_(settings.compression),
      runner_(settings.runner) {
    if (settings_.index && !compression_) stop("an index needs compressed batches");
}

Outputs::~Outputs() {
    // Work still under way is waited for before the files it writes go.
    compressor_.reset();
    writes_.reset();
    pending_.reset();
    batches_.clear();
    if (saved_ == 0) remove_empty_directories(created_directories_);
}

void Outputs::begin(int32_t number, HeaderSnapshot header) {
    while (batches_.size() >= kBatchesUnderWay) save_oldest(true);
    auto batch = std::make_unique<Batch>();
    batch->number = number;
    batch->header = std::move(header);
    batch->summary.number = number;
    batch->summary.file = batch_file_name(number, compression_.has_value());
    if (settings_.index) batch->index.emplace(*settings_.index);
    if (directory_ == nullptr && !directory_error_) {
        // Made once, with the first batch: from then on the run writes into the
        // directory it made, wherever its path leads meanwhile.
        directory_error_ = create_dir_all(output_path_, &created_directories_);
        if (!directory_error_) {
            auto opened = Directory::open(output_path_);
            if (auto* error = std::get_if<IoError>(&opened)) {
                directory_error_ = *error;
            } else {
                directory_ = &own_directory_.emplace(std::move(std::get<Directory>(opened)));
                lock_output_directory(*directory_, output_path_);
            }
        }
    }
    if (directory_error_) {
        batch->directory_error = directory_error_;
    } else if (auto hold = hold_run(); auto* error = std::get_if<IoError>(&hold)) {
        batch->error = std::move(*error);
    } else {
        auto opened = BatchFile::open(*directory_, batch->summary.file, settings_.input, settings_.temporary_tag);
        if (auto* error = std::get_if<IoError>(&opened)) {
            batch->error = std::move(*error);
        } else {
            batch->file.emplace(std::move(std::get<BatchFile>(opened)));
        }
    }
    Batch& started = *batches_.emplace_back(std::move(batch));
    if (!started.has_file()) return;
    if (compression_) {
        if (!compressor_) {
            int failure = 0;
            runtime::JobRunner* runner = runner_ != nullptr ? runner_ : runtime::WorkerPool::try_global(&failure);
            if (runner == nullptr) {
                started.stop_message = runtime::WorkerPool::start_failure_message(failure);
                return;
            }
            compressor_.emplace(*compression_, *runner);
        }
        compressor_->begin_file(started);
        started.begun = true;
        compressor_->write(*started.header);
    } else {
        if (!writes_) {
            runtime::JobRunner* runner = runner_ != nullptr ? runner_ : runtime::WorkerPool::try_global();
            writes_.emplace(runner != nullptr ? *runner : inline_runner);
        }
        pending_ = std::make_unique<PendingWrite>(&started);
        pending_->add(*started.header, started.header);
    }
}

void Outputs::append(const runtime::Piece& bytes) {
    if (!batches_.back()->has_file()) return;  // its failure is reported in turn
    if (compression_) {
        compressor_->write(bytes.bytes);
        return;
    }
    pending_->add(bytes.bytes, bytes.owner);
    if (pending_->full()) send_pending();
}

std::optional<std::string> Outputs::record(const vcf::RecordColumns& columns, uint64_t start, uint64_t end) {
    Batch& batch = *batches_.back();
    ChunkSummary& summary = batch.summary;
    if (columns.chrom_too_long()) return vcf::RecordColumns::chrom_too_long_text();
    if (summary.records++ == 0) {
        summary.first_chrom = columns.chrom();
        summary.first_pos = columns.pos();
    }
    summary.last_chrom = columns.chrom();
    summary.last_pos = columns.pos();
    if (!batch.index) return std::nullopt;
    auto parsed = columns.span();
    if (auto* error = std::get_if<std::string>(&parsed)) return std::move(*error);
    const auto& span = std::get<index::RecordSpan>(parsed);
    if (auto error = order_.check(span.chrom, span.begin)) return error;
    // A batch that failed already keeps nothing: its failure is reported in turn.
    if (batch.has_file()) {
        if (auto error = batch.index->add(span, start, end)) return error;
    }
    order_.accept(span.chrom, span.begin);
    if (settings_.runs != nullptr) {
        auto& runs = *settings_.runs;
        if (runs.empty() || runs.back().chrom != span.chrom) {
            runs.push_back({std::string(span.chrom), span.begin, span.begin, records_indexed_});
        }
        runs.back().last_begin = span.begin;
    }
    ++records_indexed_;
    return std::nullopt;
}

void Outputs::end_piece() {
    if (pending_ && !pending_->empty()) send_pending();
}

void Outputs::send_pending() {
    Batch* batch = pending_->batch();
    const auto offset = static_cast<off_t>(batch->offset);
    batch->offset += pending_->bytes();
    auto write = std::move(pending_);
    pending_ = std::make_unique<PendingWrite>(batch);
    const int fd = batch->file->fd();
    batch->last_write = writes_->submit(runtime::Job([write = std::move(write), fd, offset]() mutable {
        write->run(fd, offset);
    }));
}

void Outputs::end(HeaderSnapshot header, bool final) {
    Batch& batch = *batches_.back();
    batch.ended = true;
    batch.final = final;
    // Ended even after a failed write, so that the next file's blocks start afresh.
    if (batch.begun) compressor_->end_file();
    if (pending_) {
        end_piece();
        pending_.reset();
    }
    // A header line that came after some of the batch's records leads it too.
    if (batch.has_file() && header != batch.header) {
        if (batch.index) stop("an indexed batch cannot take a new header");
        rewrite_with(batch, header);
    }
    if (!final) {
        poll();
        return;
    }
    while (batches_.size() > 1) save_oldest(true);
    if (settings_.print_lines) print_final_batch(batch.number, settings_.batch_size, compression_.has_value());
    save_oldest(true);
}

bool Outputs::written(Batch& batch) {
    if (!batch.has_file()) return true;
    if (compression_) return batch.blocks_done;
    return writes_->done(batch.last_write);
}

void Outputs::wait_until_written(Batch& batch) {
    if (!batch.has_file()) return;
    if (!compression_) {
        writes_->wait_for(batch.last_write);
        return;
    }
    while (!batch.blocks_done && !compressor_->all_handed_over()) {
        compressor_->wait_for_one();
        interrupt_poll_();
    }
}

void Outputs::poll() {
    if (compressor_) compressor_->poll();
    while (!batches_.empty() && batches_.front()->ended && written(*batches_.front())) save_oldest(false);
}

void Outputs::settle() {
    while (!batches_.empty() && batches_.front()->ended) save_oldest(true);
}

void Outputs::save_oldest(bool wait) {
    Batch& batch = *batches_.front();
    if (batch.directory_error) {
        const IoError& error = *batch.directory_error;
        // Contract text (docs/errors.md): callers match on it to the letter.
        stop_with("An error occurred creating the directory", error,
                  StopDetail::io(error.os_code(), output_path_, error.display()));
    }
    if (batch.stop_message) stop(*batch.stop_message);
    if (wait) wait_until_written(batch);
    const std::string path = batch.file ? batch.file->path() : join_path(output_path_, batch.summary.file);
    if (batch.error) fail(batch, *batch.error, path);
    if (batch.write_error) fail(batch, *batch.write_error, path);
    struct stat status {};
    if (::fstat(batch.file->fd(), &status) != 0) fail(batch, IoError::os(errno), path);
    batch.summary.bytes = static_cast<uint64_t>(status.st_size);
    // The directory was removed, renamed or replaced: the batch would not be where
    // the caller looks for it.
    if (!directory_->still_there()) fail(batch, IoError::os(ENOENT), path);
    // A batch and its index are put in place together, or not at all once the run ended.
    auto hold = hold_run();
    if (auto* error = std::get_if<IoError>(&hold)) fail(batch, *error, path);
    if (settings_.replaces_indexes && compression_) {
        for (const char* extension : {".tbi", ".csi"}) {
            const std::string index = batch.summary.file + extension;
            if (settings_.input && directory_->names(index, *settings_.input)) {
                fail(batch, output_is_input(directory_->path_of(index)), directory_->path_of(index));
            }
            if (auto error = directory_->remove(index)) fail(batch, *error, directory_->path_of(index));
        }
    }
    if (settings_.flush_each && ::fsync(batch.file->fd()) != 0) fail(batch, IoError::os(errno), path);
    if (auto error = batch.file->commit(settings_.durable)) fail(batch, *error, path);
    // The index is saved after its file, so that it is never the older of the two.
    if (batch.index) save_index(batch);
    ++saved_;
    const bool final = batch.final;
    ChunkSummary summary = std::move(batch.summary);
    batches_.pop_front();
    if (settings_.print_lines && !final) print_full_batch(summary.number, compression_.has_value());
    chunks_.push_back(std::move(summary));
    if (settings_.listener != nullptr) settings_.listener->chunk_saved(chunks_.back());
}

void Outputs::save_index(Batch& batch) {
    const std::string name =
        batch.summary.file + (*settings_.index == index::IndexFormat::Tbi ? ".tbi" : ".csi");
    const std::vector<uint8_t> bytes = std::move(*batch.index).finish();
    batch.index.reset();
    auto opened = BatchFile::open(*directory_, name, settings_.input, settings_.temporary_tag);
    if (auto* error = std::get_if<IoError>(&opened)) fail(batch, *error, directory_->path_of(name));
    auto& file = std::get<BatchFile>(opened);
    if (auto error = write_all(file.fd(), bytes)) fail(batch, *error, file.path());
    if (settings_.flush_each && ::fsync(file.fd()) != 0) fail(batch, IoError::os(errno), file.path());
    if (auto error = file.commit(settings_.durable)) fail(batch, *error, file.path());
    batch.summary.index_file = name;
}

IoResult<std::optional<RunHold>> Outputs::hold_run() const {
    if (settings_.temporary_tag.empty()) return std::optional<RunHold>();
    auto hold = RunHold::take(*directory_, settings_.temporary_tag);
    if (auto* error = std::get_if<IoError>(&hold)) return *error;
    return std::optional<RunHold>(std::move(std::get<RunHold>(hold)));
}

void lock_output_directory(const Directory& directory, const std::string& path) {
    auto locked = directory.try_lock();
    if (auto* error = std::get_if<IoError>(&locked)) {
        stop("cannot lock the directory " + path + ": " + error->display(),
             StopDetail::io(error->os_code(), path, error->display()));
    }
    if (!std::get<bool>(locked)) {
        stop(path + ": another run is writing into this directory",
             StopDetail::io_reason(EBUSY, path, "another run is writing into this directory"));
    }
}

// Contract text (docs/errors.md): callers match on it to the letter.
void stop_saving(int32_t number, const IoError& error, const std::string& path) {
    stop("An error occurred while trying to save batch " + std::to_string(number) + ": " +
             bgzf::BgzfError::io(error).display(),
         StopDetail::io(error.os_code(), path, error.display()));
}

void Outputs::fail(const Batch& batch, const IoError& error, const std::string& path) {
    stop_saving(batch.number, error, path);
}

namespace {

// Copies what `from` holds past its first `skip` bytes to `to`, read as an input of
// the run (BGZF when `compressed`).
std::optional<IoError> copy_tail(File from, bool compressed, uint64_t skip, int to) {
    std::unique_ptr<Input> input = open_input(std::make_unique<FileSource>(std::move(from)), compressed, kCopySize);
    for (;;) {
        InputResult next = input->next();
        if (auto* failure = std::get_if<ReadFailure>(&next)) return failure->error;
        std::span<const uint8_t> bytes = std::get<runtime::Piece>(next).bytes;
        if (bytes.empty()) return std::nullopt;
        const size_t dropped = std::min<uint64_t>(skip, bytes.size());
        skip -= dropped;
        if (auto error = write_all(to, bytes.subspan(dropped))) return error;
    }
}

}  // namespace

// Rare: the batch's file is written again with the header as it stands now. Its
// records are read back from the file into a scratch file first, so memory stays
// bounded whatever the batch's size.
void Outputs::rewrite_with(Batch& batch, const HeaderSnapshot& header) {
    wait_until_written(batch);
    if (!batch.has_file() || batch.write_error) return;
    const auto fail_with = [&](IoError error) { batch.error = std::move(error); };
    auto scratch = directory_->anonymous_file();
    if (auto* error = std::get_if<IoError>(&scratch)) return fail_with(*error);
    File& records = std::get<File>(scratch);
    auto old = batch.file->read_back();
    if (auto* error = std::get_if<IoError>(&old)) return fail_with(*error);
    if (auto error = copy_tail(std::move(std::get<File>(old)), compression_.has_value(), batch.header->size(), records.fd())) {
        return fail_with(*error);
    }
    const int fd = batch.file->fd();
    if (::ftruncate(fd, 0) != 0 || ::lseek(fd, 0, SEEK_SET) < 0 || ::lseek(records.fd(), 0, SEEK_SET) < 0) {
        return fail_with(IoError::os(errno));
    }
    batch.header = header;
    if (compression_) {
        batch.blocks_done = false;
        compressor_->begin_file(batch);
        compressor_->write(*header);
    } else if (auto error = write_all(fd, *header)) {
        return fail_with(*error);
    }
    FileSource copied(std::move(records));
    if (auto error = read_all(copied, [&](std::span<const uint8_t> bytes) -> std::optional<IoError> {
            if (!compression_) return write_all(fd, bytes);
            compressor_->write(bytes);
            return std::nullopt;
        })) {
        fail_with(*error);
    }
    // The file's end goes out even after a failure, or its blocks would run into the next file's.
    if (compression_) compressor_->end_file();
}

}  // namespace kestrel
