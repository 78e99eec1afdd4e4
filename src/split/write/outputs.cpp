#include "split/write/outputs.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/stop.hpp"
#include "bgzf/error.hpp"
#include "split/read/inputs.hpp"
#include "split/storage/local_folder.hpp"
#include "split/write/progress.hpp"

namespace kestrel {
namespace {

// Batches under way at once (each holds a file open); more wait for the oldest.
constexpr size_t kBatchesUnderWay = 8;
constexpr size_t kCopySize = size_t{1} << 20;

// Copies what `from`, a file of `format`, holds past its first `skip` bytes to `to`.
std::optional<IoError> copy_tail(std::unique_ptr<ByteSource> from, const FileFormat& format, uint64_t skip, int to) {
    std::unique_ptr<Input> input = read_input(std::move(from), bgzf_or_plain(format.compressed()), kCopySize);
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

struct Outputs::Batch {
    int32_t number = 0;
    HeaderSnapshot header;
    std::unique_ptr<OutputFile> file;
    std::optional<IoError> directory_error;  // the output directory could not be made
    std::optional<std::string> stop_message;  // the call stops with this when the batch's turn comes
    std::optional<IoError> error;            // a failed save, found on this thread
    std::unique_ptr<BatchStream> stream;     // while it has a file to write
    bool ended = false;
    bool final = false;
    std::optional<index::IndexBuilder> index;
    ChunkSummary summary;

    bool has_file() const { return stream != nullptr && !error; }
    bool written() const { return !has_file() || stream->written(); }
    void wait_until_written() {
        if (has_file()) stream->wait_until_written();
    }
};

Outputs::Outputs(std::string_view output_path, const OutputSettings& settings)
    : output_path_(output_path),
      settings_(settings),
      target_(settings.target),
      writer_(open_writer(settings.format, settings.runner, target_ == nullptr || target_->local())) {}

Outputs::~Outputs() {
    // Work still under way is waited for before the streams and files it writes go.
    writer_.reset();
    batches_.clear();
    if (saved_ > 0) made_.keep();
}

void Outputs::open_directory() {
    // Made once, with the first batch: from then on the run writes into the directory
    // it made, wherever its path leads meanwhile.
    directory_error_ = made_.make(output_path_);
    if (directory_error_) return;
    auto opened = Directory::open(output_path_);
    if (auto* error = std::get_if<IoError>(&opened)) {
        directory_error_ = *error;
        return;
    }
    own_folder_ = std::make_unique<LocalFolder>(std::move(std::get<Directory>(opened)), settings_.input);
    // A second run into the directory, of either module, stops at once instead of
    // mixing its files with the first one's.
    lock_for_run(*own_folder_, output_path_, {});
    target_ = &own_target_.emplace(*own_folder_);
    const Directory& directory = *own_folder_->directory();
    // A scatter run's manifest that this run may make untrue; never the input.
    if (!settings_.input || !directory.names(kManifestName, *settings_.input)) {
        for (std::string& name : files_named_by_manifest(*target_)) manifest_files_.insert(std::move(name));
    }
}

void Outputs::begin(int32_t number, HeaderSnapshot header) {
    while (batches_.size() >= kBatchesUnderWay) save_oldest(true);
    auto batch = std::make_unique<Batch>();
    batch->number = number;
    batch->header = std::move(header);
    batch->summary.number = number;
    batch->summary.file = batch_file_name(number, settings_.format);
    if (settings_.index) batch->index.emplace(*settings_.index);
    if (target_ == nullptr && !directory_error_) open_directory();
    Batch& started = *batches_.emplace_back(std::move(batch));
    if (directory_error_) {
        started.directory_error = directory_error_;
        return;
    }
    started.error = target_->holding([&]() -> std::optional<IoError> {
        auto opened = target_->create(started.summary.file);
        if (auto* error = std::get_if<IoError>(&opened)) return *error;
        started.file = std::move(std::get<std::unique_ptr<OutputFile>>(opened));
        return std::nullopt;
    });
    if (started.error) return;
    auto stream = writer_->open(*started.file, started.header, started.index ? &*started.index : nullptr);
    if (auto* message = std::get_if<std::string>(&stream)) {
        started.stop_message = std::move(*message);
    } else {
        started.stream = std::move(std::get<std::unique_ptr<BatchStream>>(stream));
    }
}

void Outputs::append(const runtime::Piece& bytes) {
    Batch& batch = *batches_.back();
    if (batch.has_file()) batch.stream->append(bytes);  // else its failure is reported in turn
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
    if (!batches_.empty() && batches_.back()->has_file()) batches_.back()->stream->end_piece();
}

void Outputs::end(HeaderSnapshot header, bool final) {
    Batch& batch = *batches_.back();
    batch.ended = true;
    batch.final = final;
    // Ended even after a failed write, so that the next file's blocks start afresh.
    if (batch.stream) batch.stream->end();
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
    if (settings_.mode == RunMode::Batches) print_line(final_batch_line(settings_.batch_size, batch.summary.file));
    save_oldest(true);
}

void Outputs::poll() {
    writer_->poll();
    while (!batches_.empty() && batches_.front()->ended && batches_.front()->written()) save_oldest(false);
}

void Outputs::settle() {
    while (!batches_.empty() && batches_.front()->ended) save_oldest(true);
}

void Outputs::save_oldest(bool wait) {
    Batch& batch = *batches_.front();
    check_written(batch, wait);
    if (settings_.hold) {
        hold(batch);
        batches_.pop_front();
        return;
    }
    put_in_place(batch);
    const bool final = batch.final;
    ChunkSummary summary = std::move(batch.summary);
    batches_.pop_front();
    if (settings_.mode == RunMode::Batches && !final) print_line(full_batch_line(summary.file));
    note_saved(std::move(summary));
}

void Outputs::note_saved(ChunkSummary summary) {
    ++saved_;
    chunks_.push_back(std::move(summary));
    if (settings_.listener != nullptr) settings_.listener->chunk_saved(chunks_.back());
}

std::string Outputs::index_name(const Batch& batch) const {
    return batch.summary.file + std::string(index_extension(*settings_.index));
}

std::optional<IoError> Outputs::remove_indexes(const std::string& file, std::string& failed_path) {
    for (const index::IndexFormat kind : kIndexFormats) {
        const std::string index = file + std::string(index_extension(kind));
        failed_path = target_->path_of(index);
        if (auto error = target_->remove(index)) return error;
    }
    return std::nullopt;
}

// The batch and its index complete, under their temporary names, their writeback
// started as put_in_place would start it.
void Outputs::hold(Batch& batch) {
    Held held{{}, std::move(batch.file), nullptr};
    if (auto error = held.file->close(durability())) stop_saving(batch.number, *error, held.file->path());
    if (batch.index) {
        const std::string name = index_name(batch);
        held.index = write_index(batch, name);
        if (auto error = held.index->close(durability())) stop_saving(batch.number, *error, held.index->path());
        batch.summary.index_file = name;
    }
    held.summary = std::move(batch.summary);
    held_.push_back(std::move(held));
}

void Outputs::release_held() {
    for (Held& held : held_) {
        const int32_t number = held.summary.number;
        if (!target_->still_there()) stop_saving(number, IoError::os(ENOENT), held.file->path());
        std::string failed_path;
        const auto failure = target_->holding([&]() -> std::optional<IoError> {
            if (auto error = remove_indexes(held.summary.file, failed_path)) return error;
            failed_path = held.file->path();
            if (auto error = held.file->commit(Durability::None)) return error;
            if (!held.index) return std::nullopt;
            failed_path = held.index->path();
            return held.index->commit(Durability::None);
        });
        if (failure) stop_saving(number, *failure, failed_path);
        held.file.reset();
        held.index.reset();
        note_saved(std::move(held.summary));
    }
    held_.clear();
}

void Outputs::check_written(Batch& batch, bool wait) {
    if (batch.directory_error) {
        const IoError& error = *batch.directory_error;
        // Contract text (docs/errors.md): callers match on it to the letter.
        stop_with("An error occurred creating the directory", error,
                  StopDetail::io(error.os_code(), output_path_, error.display()));
    }
    if (batch.stop_message) stop(*batch.stop_message);
    if (wait) batch.wait_until_written();
    const std::string path = batch.file ? batch.file->path() : target_->path_of(batch.summary.file);
    const auto fail = [&](const IoError& error, const std::string& where) { stop_saving(batch.number, error, where); };
    if (batch.error) fail(*batch.error, path);
    if (batch.stream->error()) fail(*batch.stream->error(), path);
    auto size = batch.file->size();
    if (auto* error = std::get_if<IoError>(&size)) fail(*error, path);
    batch.summary.bytes = std::get<uint64_t>(size);
}

void Outputs::put_in_place(Batch& batch) {
    const std::string path = batch.file->path();
    // The directory was removed, renamed or replaced: the batch would not be where
    // the caller looks for it.
    if (!target_->still_there()) stop_saving(batch.number, IoError::os(ENOENT), path);
    // A batch and its index are put in place together, or not at all once the run ended.
    std::string failed_path = path;
    const auto failure = target_->holding([&]() -> std::optional<IoError> {
        if (settings_.mode != RunMode::Batches && settings_.format.indexable()) {
            if (auto error = remove_indexes(batch.summary.file, failed_path)) return error;
        }
        // A file a manifest names is about to change: the manifest goes first.
        if (manifest_files_.contains(batch.summary.file)) {
            failed_path = target_->path_of(kManifestName);
            if (auto error = target_->remove(kManifestName)) return error;
            manifest_files_.clear();
        }
        failed_path = path;
        if (auto error = batch.file->commit(durability())) return error;
        // The index is saved after its file, so that it is never the older of the two.
        if (batch.index) save_index(batch, index_name(batch));
        return std::nullopt;
    });
    if (failure) stop_saving(batch.number, *failure, failed_path);
}

Durability Outputs::durability() const {
    if (!settings_.durable) return Durability::None;
    return settings_.mode == RunMode::ChunkTask ? Durability::Flush : Durability::StartWriteback;
}

// The batch's index written to a file of its own, not yet put in place.
std::unique_ptr<OutputFile> Outputs::write_index(Batch& batch, const std::string& name) {
    const std::vector<uint8_t> bytes = std::move(*batch.index).finish();
    batch.index.reset();
    const auto fail = [&](const IoError& error, const std::string& where) { stop_saving(batch.number, error, where); };
    auto opened = target_->create(name);
    if (auto* error = std::get_if<IoError>(&opened)) fail(*error, target_->path_of(name));
    std::unique_ptr<OutputFile> file = std::move(std::get<std::unique_ptr<OutputFile>>(opened));
    if (auto error = file->write(bytes)) fail(*error, file->path());
    return file;
}

void Outputs::save_index(Batch& batch, const std::string& name) {
    std::unique_ptr<OutputFile> file = write_index(batch, name);
    if (auto error = file->commit(durability())) stop_saving(batch.number, *error, file->path());
    batch.summary.index_file = name;
}

// Rare: the batch's file is written again with the header as it stands now. Its
// records are read back from the file into a scratch file first, so memory stays
// bounded whatever the batch's size.
void Outputs::rewrite_with(Batch& batch, const HeaderSnapshot& header) {
    batch.wait_until_written();
    if (!batch.has_file() || batch.stream->error()) return;
    const auto fail_with = [&](IoError error) { batch.error = std::move(error); };
    auto old = batch.file->read_back();
    if (auto* error = std::get_if<IoError>(&old)) return fail_with(*error);
    auto scratch = target_->scratch();
    if (auto* error = std::get_if<IoError>(&scratch)) return fail_with(*error);
    File& records = std::get<File>(scratch);
    if (auto error = copy_tail(std::move(std::get<std::unique_ptr<ByteSource>>(old)), settings_.format,
                               batch.header->size(), records.fd())) {
        return fail_with(*error);
    }
    if (::lseek(records.fd(), 0, SEEK_SET) < 0) return fail_with(IoError::os(errno));
    batch.header = header;
    FileSource copied(std::move(records));
    batch.stream->rewrite(header, copied);
}

// Contract text (docs/errors.md): callers match on it to the letter.
void stop_saving(int32_t number, const IoError& error, const std::string& path) {
    stop("An error occurred while trying to save batch " + std::to_string(number) + ": " +
             bgzf::BgzfError::io(error).display(),
         StopDetail::io(error.os_code(), path, error.display()));
}

}  // namespace kestrel
