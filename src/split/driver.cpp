#include "split/driver.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

#include "base/file.hpp"
#include "base/stop.hpp"
#include "split/inputs.hpp"
#include "split/outputs.hpp"
#include "split/progress.hpp"
#include "split/record_count.hpp"
#include "vcf/record_columns.hpp"

namespace kestrel {
namespace {

constexpr uint8_t kLineFeed[] = {'\n'};
constexpr uint8_t kCarriageReturn[] = {'\r'};

// How many records each batch holds: `per_batch`, and one more in the first
// `larger_batches` batches (the balanced cut into a fixed number of batches).
struct BatchPlan {
    uint64_t per_batch = 1;
    uint64_t larger_batches = 0;
    uint64_t size_of(int32_t number) const {
        return std::max<uint64_t>(per_batch + (static_cast<uint64_t>(number) <= larger_batches ? 1 : 0), 1);
    }
};

// A record that cannot go on: the call ends with it once the batches before are saved.
struct InputProblem {
    uint64_t line;
    std::string text;
};

// Cuts the input into lines as the pieces arrive, without assembling record lines:
// the bytes of records go to the batch file as runs of the input's own buffers, so
// a line of any length costs no memory. Header lines are kept, since every batch
// repeats them.
//
// When records are observed (for summaries and indexes), each record's columns are
// read as its bytes pass (vcf/record_columns.hpp) and handed to the outputs with its
// place in the batch file: a record of any length costs no memory.
class Splitter {
public:
    enum class Observe { Nothing, ChromAndPos, ForIndex };

    Splitter(Outputs& outputs, BatchPlan plan, Observe observe)
        : outputs_(outputs),
          plan_(plan),
          observing_(observe != Observe::Nothing),
          indexed_(observe == Observe::ForIndex) {}

    void feed(const runtime::Piece& piece) {
        const uint8_t* const data = piece.bytes.data();
        const size_t size = piece.bytes.size();
        piece_ = &piece;
        run_ = 0;
        size_t at = 0;
        while (at < size) {
            if (line_ == Line::None) start_line(data[at], at);
            const auto* found = static_cast<const uint8_t*>(std::memchr(data + at, '\n', size - at));
            const size_t end = found != nullptr ? static_cast<size_t>(found - data) : size;
            if (line_ == Line::Header) {
                header_.insert(header_.end(), data + at, data + end);
                run_ = found != nullptr ? end + 1 : size;  // no byte of it goes to a batch
                if (found == nullptr) break;
                end_header_line(/*with_line_feed=*/true);
            } else {
                const bool cr_was_held = held_cr_;
                if (held_cr_) {
                    held_cr_ = false;
                    if (end != at) send_static(kCarriageReturn);  // it was not the end of the line
                }
                if (found == nullptr) {
                    if (observing_) observe_part(data + at, end - at);
                    // The line goes on in the next piece; a CR at the end may yet be its last.
                    if (end > at && data[end - 1] == '\r') {
                        send_run(end - 1);
                        held_cr_ = true;
                        run_ = end;
                    }
                    break;
                }
                const bool crlf = end > at ? data[end - 1] == '\r' : cr_was_held;
                if (end > at && data[end - 1] == '\r') {
                    send_run(end - 1);
                    run_ = end;  // the line feed starts the next run
                }
                if (observing_) {
                    observe_part(data + at, end - at);
                    observe_end(crlf, /*line_feed_added=*/false);
                }
                end_record_line(end + 1);
            }
            ++lines_;
            at = end + 1;
            line_ = Line::None;
        }
        send_run(size);
        outputs_.end_piece();
        piece_ = nullptr;
    }

    // The input has ended: a last line without a line feed gets one; the records
    // since the last full batch are the final batch.
    void finish() {
        if (line_ == Line::Header) {
            end_header_line(/*with_line_feed=*/false);
            ++lines_;
        } else if (line_ == Line::Record) {
            if (held_cr_) send_static(kCarriageReturn);  // a last line keeps its CR
            held_cr_ = false;
            send_static(kLineFeed);
            if (observing_) observe_end(false, /*line_feed_added=*/true);
            end_record_line(0);
            ++lines_;
        }
        line_ = Line::None;
        if (in_batch_) outputs_.end(snapshot(), /*final=*/true);
        in_batch_ = false;
        outputs_.end_piece();
    }

    int32_t batches() const { return number_; }
    uint64_t records() const { return total_records_; }

private:
    enum class Line { None, Header, Record };

    void start_line(uint8_t first, size_t at) {
        if (first == '#') {
            // An indexed batch's offsets count from the header it started with.
            if (indexed_ && in_batch_) {
                throw InputProblem{lines_ + 1, "a header line among the records; batches with an index "
                                               "need every header line before the first record"};
            }
            send_run(at);
            line_ = Line::Header;
            header_line_start_ = header_.size();
            return;
        }
        line_ = Line::Record;
        if (observing_) columns_.reset();
        line_length_ = 0;
        if (!in_batch_) {
            send_run(at);
            in_batch_ = true;
            outputs_.begin(++number_, snapshot());
            batch_size_ = plan_.size_of(number_);
            batch_offset_ = snapshot()->size();
            run_ = at;
        }
    }

    void end_header_line(bool with_line_feed) {
        if (with_line_feed && header_.size() > header_line_start_ && header_.back() == '\r') header_.pop_back();
        header_.push_back('\n');
        snapshot_.reset();
    }

    // The part of a record line that lies in this piece (before its line feed, if
    // any) goes to the column reader; a CHROM too long to keep is refused at once, so
    // that a line without end costs no memory either.
    void observe_part(const uint8_t* bytes, size_t length) {
        line_length_ += length;
        columns_.feed({bytes, length});
        if (columns_.chrom_too_long()) throw InputProblem{lines_ + 1, vcf::RecordColumns::chrom_too_long_text()};
    }

    // A record line is complete: `crlf`, whether it ended in CR LF (the CR is not
    // written). A last line without a line feed (`line_feed_added`) keeps its CR and
    // gets one.
    void observe_end(bool crlf, bool line_feed_added) {
        const uint64_t written = line_length_ + 1 - (crlf && !line_feed_added ? 1 : 0);
        const uint64_t start = batch_offset_;
        batch_offset_ += written;
        if (auto problem = outputs_.record(columns_, start, batch_offset_)) {
            throw InputProblem{lines_ + 1, std::move(*problem)};
        }
    }

    // `run_end`: where the record's bytes (its line feed included) end in the piece.
    void end_record_line(size_t run_end) {
        ++total_records_;
        if (++records_ < batch_size_) return;
        if (piece_ != nullptr) send_run(run_end);
        outputs_.end(snapshot(), /*final=*/false);
        in_batch_ = false;
        records_ = 0;
        run_ = run_end;
    }

    // Sends the piece's bytes from the start of the run up to `end`.
    void send_run(size_t end) {
        if (piece_ != nullptr && in_batch_ && end > run_) {
            outputs_.append({piece_->owner, piece_->bytes.subspan(run_, end - run_)});
        }
        run_ = end;
    }

    void send_static(std::span<const uint8_t> bytes) { outputs_.append({nullptr, bytes}); }

    HeaderSnapshot snapshot() {
        if (!snapshot_) snapshot_ = std::make_shared<const std::vector<uint8_t>>(header_);
        return snapshot_;
    }

    Outputs& outputs_;
    BatchPlan plan_;
    bool observing_;
    bool indexed_;
    std::vector<uint8_t> header_;
    HeaderSnapshot snapshot_;
    size_t header_line_start_ = 0;
    const runtime::Piece* piece_ = nullptr;
    size_t run_ = 0;  // start of the record bytes of the piece not yet sent
    Line line_ = Line::None;
    bool held_cr_ = false;
    bool in_batch_ = false;
    uint64_t batch_size_ = 0;
    uint64_t records_ = 0;
    uint64_t total_records_ = 0;
    uint64_t lines_ = 0;
    int32_t number_ = 0;
    // The record line being observed: its columns, its length so far, and where it
    // starts in the batch file.
    vcf::RecordColumns columns_;
    uint64_t line_length_ = 0;
    uint64_t batch_offset_ = 0;
};

bool names_bgzf_file(std::string_view path) { return path.ends_with(".gz"); }

// Every quarter second, tells the listener how far the input has been read.
class ProgressClock {
public:
    ProgressClock(ChunkListener* listener, std::optional<uint64_t> total, uint64_t passes)
        : listener_(listener), total_(total ? std::optional(*total * passes) : std::nullopt) {}

    void tick(uint64_t done_in_pass) {
        if (listener_ == nullptr) return;
        const auto now = std::chrono::steady_clock::now();
        if (now < next_) return;
        next_ = now + std::chrono::milliseconds(250);
        listener_->progress(earlier_passes_ + done_in_pass, total_);
    }
    void end_pass(uint64_t done_in_pass) { earlier_passes_ += done_in_pass; }

private:
    ChunkListener* listener_;
    std::optional<uint64_t> total_;
    uint64_t earlier_passes_ = 0;
    std::chrono::steady_clock::time_point next_{};
};

[[noreturn]] void stop_reading(ReadFailure& failure, const std::string& path) {
    failure.detail.path = path;
    stop(std::string(failure.context) + ": " + failure.debug, std::move(failure.detail));
}

[[noreturn]] void stop_at_line(const std::string& path, const InputProblem& problem) {
    stop(path + ": line " + std::to_string(problem.line) + ": " + problem.text,
         StopDetail::input(path, problem.line, problem.text));
}

// The next piece of the input; a stop about the input itself (a BGZF block that
// breaks the format's invariants) is given the input's path.
InputResult next_piece(Input& input, const std::string& path) {
    try {
        return input.next();
    } catch (const Stop& stopped) {
        if (stopped.detail().kind != StopDetail::Kind::Input || !stopped.detail().path.empty()) throw;
        StopDetail detail = stopped.detail();
        detail.path = path;
        throw Stop(stopped.message(), stopped.where(), std::move(detail));
    }
}

// Runs the input through the splitter. A read failure, or a record that cannot go
// on, ends the call after the batches before it are saved.
void run_split(Input& input, Outputs& outputs, Splitter& splitter, const std::string& path,
               ProgressClock* progress) {
    InterruptPoll interrupt_poll;
    for (;;) {
        interrupt_poll();
        if (progress != nullptr) progress->tick(input.bytes_read());
        InputResult next = [&] {
            try {
                return next_piece(input, path);
            } catch (const Stop&) {
                outputs.settle();  // a damaged block that stops the call comes after the batches before it
                throw;
            }
        }();
        if (auto* failure = std::get_if<ReadFailure>(&next)) {
            // Whatever the input held before the failure is saved first, as it would
            // have been had the batches been written one by one.
            outputs.settle();
            stop_reading(*failure, path);
        }
        const auto& piece = std::get<runtime::Piece>(next);
        if (piece.bytes.empty()) break;
        try {
            splitter.feed(piece);
        } catch (const InputProblem& problem) {
            outputs.settle();
            stop_at_line(path, problem);
        }
        outputs.poll();
    }
    if (progress != nullptr) progress->end_pass(input.bytes_read());
}

}  // namespace

void extract_variants_to_batches(std::string_view file_path, std::string_view output_path,
                                 uint32_t batch_size, Compression compression, const SplitTuning& tuning) {
    const std::string path(file_path);
    auto opened = open_for_reading(path);
    if (auto* error = std::get_if<IoError>(&opened)) {
        stop_with("File does not exist.", *error, StopDetail::io(error->os_code(), path, error->display()));
    }
    File& file = std::get<File>(opened);
    OutputSettings settings;
    settings.compression = compression;
    settings.input = identity_of(file.fd());
    settings.runner = tuning.runner;
    settings.batch_size = batch_size;
    std::unique_ptr<Input> input = open_input(std::move(file), names_bgzf_file(file_path), tuning.read_size);

    Outputs outputs(output_path, settings);
    Splitter splitter(outputs, BatchPlan{batch_size, 0}, Splitter::Observe::Nothing);
    run_split(*input, outputs, splitter, path, nullptr);
    input.reset();  // the input is closed before the final batch is written
    splitter.finish();
    outputs.settle();
    print_summary(splitter.batches(), batch_size, output_path);
}

void extract_variants_to_batches(std::string_view file_path, std::string_view output_path,
                                 uint32_t batch_size, Compression compression) {
    extract_variants_to_batches(file_path, output_path, batch_size, compression, SplitTuning{});
}

namespace {

constexpr const char* kStandardInput = "<stdin>";

[[noreturn]] void stop_io(const std::string& what, const IoError& error, const std::string& path) {
    stop(what + " " + path + ": " + error.display(), StopDetail::io(error.os_code(), path, error.display()));
}

// Counts the records of an input read piece by piece.
uint64_t count_records(Input& input, const std::string& path, ProgressClock& progress) {
    RecordCounter counter;
    InterruptPoll interrupt_poll;
    for (;;) {
        interrupt_poll();
        progress.tick(input.bytes_read());
        InputResult next = next_piece(input, path);
        if (auto* failure = std::get_if<ReadFailure>(&next)) stop_reading(*failure, path);
        const auto bytes = std::get<runtime::Piece>(next).bytes;
        if (bytes.empty()) break;
        counter.feed(bytes);
    }
    progress.end_pass(input.bytes_read());
    return counter.records();
}

// Where a regular file stands, to come back to for a second pass, and how much of it
// is left from there (nullopt where its size says nothing: an empty size, as files
// of /proc give, is read as a stream until it ends).
struct Rewind {
    off_t at;
    std::optional<uint64_t> left;
};

// Nullopt where the input cannot be read twice (a pipe, a FIFO, a terminal).
std::optional<Rewind> rewind_point(const File& file) {
    struct stat status {};
    if (::fstat(file.fd(), &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
    const off_t at = ::lseek(file.fd(), 0, SEEK_CUR);
    if (at < 0) return std::nullopt;
    if (status.st_size == 0) return Rewind{at, std::nullopt};
    return Rewind{at, static_cast<uint64_t>(std::max<off_t>(status.st_size - at, 0))};
}

// The spool directory as given, or the stop that names it: it must exist, be a
// directory and take new files.
Directory spool_directory(const std::string& path) {
    auto opened = Directory::open(path);
    if (auto* error = std::get_if<IoError>(&opened)) stop_io("cannot use the spool directory", *error, path);
    if (::access(path.c_str(), W_OK | X_OK) != 0) stop_io("cannot use the spool directory", IoError::os(errno), path);
    return std::move(std::get<Directory>(opened));
}

// Copies what is left of `from` into a file without a name in `directory`, for a
// second pass; returns it at its start.
File spool(const File& from, const Directory& directory, const std::string& path) {
    auto made = directory.anonymous_file();
    if (auto* error = std::get_if<IoError>(&made)) stop_io("cannot make a spool file in", *error, directory.path());
    File copy = std::move(std::get<File>(made));
    std::vector<uint8_t> buffer(size_t{1} << 20);
    InterruptPoll interrupt_poll;
    for (;;) {
        interrupt_poll();
        auto got = read_some(from.fd(), buffer);
        if (auto* error = std::get_if<IoError>(&got)) stop_io("An error occurred reading", *error, path);
        const size_t length = std::get<size_t>(got);
        if (length == 0) break;
        if (auto error = write_all(copy.fd(), std::span(buffer).first(length))) {
            stop_io("An error occurred writing the spool file in", *error, directory.path());
        }
    }
    if (::lseek(copy.fd(), 0, SEEK_SET) < 0) {
        stop_io("cannot rewind the spool file in", IoError::os(errno), directory.path());
    }
    return copy;
}

// A descriptor of our own for the file open at `from`.
File duplicate(int from, const std::string& path) {
    const int fd = ::fcntl(from, F_DUPFD_CLOEXEC, 3);
    if (fd < 0) stop_io("cannot open", IoError::os(errno), path);
    return File(fd);
}

Sniffed sniff(const File& file, const std::string& path) {
    auto sniffed = sniff_format(file);
    if (auto* error = std::get_if<IoError>(&sniffed)) stop_io("An error occurred reading", *error, path);
    return std::move(std::get<Sniffed>(sniffed));
}

// Opens the input for one pass from where `file` stands: the format is sniffed
// from its first bytes, which the input then hands out first.
std::unique_ptr<Input> open_pass(File file, const std::string& path, size_t read_size) {
    const Sniffed first = sniff(file, path);
    return open_input(std::move(file), first.compressed, read_size, first.bytes);
}

// The records of the input from where `file` stands to its end, which is then
// where it was: the counting pass before a fixed number of chunks.
uint64_t count_pass(const File& file, const Rewind& rewind, const std::string& path, const SplitTuning& tuning,
                    ProgressClock& progress) {
    File first_pass = duplicate(file.fd(), path);
    const Sniffed first = sniff(first_pass, path);
    uint64_t counted = 0;
    if (first.compressed || !rewind.left) {
        std::unique_ptr<Input> input = open_input(std::move(first_pass), first.compressed, tuning.read_size, first.bytes);
        counted = count_records(*input, path, progress);
    } else {
        // A plain file is counted by all the pool's threads at once.
        runtime::JobRunner* runner = tuning.runner;
        if (runner == nullptr) runner = runtime::WorkerPool::try_global();
        auto count = count_file(file.fd(), static_cast<uint64_t>(rewind.at), *rewind.left, tuning.read_size, runner,
                                [&](uint64_t done) { progress.tick(done); });
        if (auto* error = std::get_if<IoError>(&count)) stop_io("An error occurred reading", *error, path);
        counted = std::get<uint64_t>(count);
        progress.end_pass(*rewind.left);
    }
    if (::lseek(file.fd(), rewind.at, SEEK_SET) < 0) stop_io("cannot rewind", IoError::os(errno), path);
    return counted;
}

// The output directory of a scatter, made if need be, held open and locked for the
// whole run: a second run into it fails at once instead of mixing its files with
// ours. Directories it made are removed again when the run leaves nothing in them.
class OutputDirectory {
public:
    explicit OutputDirectory(const std::string& path) {
        if (auto error = create_dir_all(path, &created_)) stop_io("An error occurred creating the directory", *error, path);
        auto opened = Directory::open(path);
        if (auto* error = std::get_if<IoError>(&opened)) stop_io("cannot open the directory", *error, path);
        directory_ = std::move(std::get<Directory>(opened));
        auto locked = directory_.try_lock();
        if (auto* error = std::get_if<IoError>(&locked)) stop_io("cannot lock the directory", *error, path);
        if (!std::get<bool>(locked)) {
            stop(path + ": another run is writing into this directory",
                 StopDetail::io_reason(EBUSY, path, "another run is writing into this directory"));
        }
    }
    ~OutputDirectory() {
        if (!used_) remove_empty_directories(created_);
    }
    OutputDirectory(const OutputDirectory&) = delete;
    OutputDirectory& operator=(const OutputDirectory&) = delete;

    const Directory& get() const { return directory_; }
    void used() { used_ = true; }

private:
    std::vector<std::string> created_;
    Directory directory_;
    bool used_ = false;
};

// Removes `name` from the output directory, unless it is the input.
void remove_output(const Directory& directory, std::string_view name, const std::optional<FileIdentity>& input) {
    const std::string path = directory.path_of(name);
    if (input && directory.names(name, *input)) {
        const IoError error = output_is_input(path);
        stop(path + ": " + error.display(), StopDetail::io(0, path, error.display()));
    }
    if (auto error = directory.remove(name)) stop_io("cannot remove", *error, path);
}

// Every chunk and index of the run on stable storage, and the directory's entries
// naming them: what the manifest promises once it is there. One syncfs(2) of the
// output's file system does it for every file at once; an fsync(2) per file costs a
// journal commit each, thirty times as long for 10,000 chunks (bench/README.md).
// Writeback errors since the directory was opened are reported by either.
void flush_outputs(const Directory& directory, const std::vector<ChunkSummary>& chunks) {
    if (::syncfs(directory.fd()) == 0) return;
    if (errno != ENOSYS) stop_io("cannot flush", IoError::os(errno), directory.path());
    InterruptPoll interrupt_poll;
    for (const ChunkSummary& chunk : chunks) {
        for (const std::string* name : {&chunk.file, &chunk.index_file}) {
            if (name->empty()) continue;
            interrupt_poll();
            auto opened = directory.open_for_reading(*name);
            if (auto* error = std::get_if<IoError>(&opened)) stop_io("cannot flush", *error, directory.path_of(*name));
            if (::fsync(std::get<File>(opened).fd()) != 0) {
                stop_io("cannot flush", IoError::os(errno), directory.path_of(*name));
            }
        }
    }
    if (auto error = directory.sync()) stop_io("cannot flush", *error, directory.path());
}

void write_manifest(const Directory& directory, const std::vector<ChunkSummary>& chunks,
                    std::optional<FileIdentity> input) {
    const std::string path = directory.path_of(kManifestName);
    auto opened = BatchFile::open(directory, std::string(kManifestName), input);
    if (auto* error = std::get_if<IoError>(&opened)) stop_io("An error occurred saving", *error, path);
    auto& file = std::get<BatchFile>(opened);
    if (auto error = write_all(file.fd(), as_bytes(manifest_text(chunks)))) stop_io("An error occurred saving", *error, path);
    if (::fsync(file.fd()) != 0) stop_io("An error occurred saving", IoError::os(errno), path);
    if (auto error = file.commit()) stop_io("An error occurred saving", *error, path);
    if (auto error = directory.sync()) stop_io("cannot flush", *error, directory.path());
}

}  // namespace

std::string manifest_text(const std::vector<ChunkSummary>& chunks) {
    const auto number = [](const std::optional<uint64_t>& value) { return value ? std::to_string(*value) : ""; };
    std::string text = "file\tindex\trecords\tfirst_chrom\tfirst_pos\tlast_chrom\tlast_pos\tbytes\n";
    for (const ChunkSummary& chunk : chunks) {
        text += chunk.file + '\t' + chunk.index_file + '\t' + std::to_string(chunk.records) + '\t' +
                chunk.first_chrom + '\t' + number(chunk.first_pos) + '\t' + chunk.last_chrom + '\t' +
                number(chunk.last_pos) + '\t' + std::to_string(chunk.bytes) + '\n';
    }
    return text;
}

std::vector<ChunkSummary> scatter(const ScatterOptions& options) {
    if ((options.records_per_chunk == 0) == (options.chunks == 0)) {
        stop("give exactly one of records per chunk and chunks",
             StopDetail::usage("give exactly one of records_per_chunk and chunks"));
    }
    if (options.index && !options.compression) {
        stop("an index needs compressed chunks",
             StopDetail::usage("an index needs compressed chunks: give compression as well (plain files cannot be indexed)"));
    }
    std::optional<Directory> spool_dir;
    if (!options.spool_dir.empty()) spool_dir.emplace(spool_directory(options.spool_dir));
    const bool from_standard_input = options.input == "-";
    const std::string path = from_standard_input ? kStandardInput : options.input;
    File file;
    if (from_standard_input) {
        file = duplicate(STDIN_FILENO, path);
    } else {
        auto opened = open_for_reading(path);
        if (auto* error = std::get_if<IoError>(&opened)) stop_io("cannot open", *error, path);
        file = std::move(std::get<File>(opened));
    }
    const std::optional<FileIdentity> identity = identity_of(file.fd());
    OutputDirectory output(options.output_dir);
    // A manifest of an earlier run would describe files this run replaces.
    remove_output(output.get(), kManifestName, identity);

    std::optional<Rewind> rewind = rewind_point(file);
    BatchPlan plan{options.records_per_chunk, 0};
    uint64_t counted = 0;
    ProgressClock progress(options.listener, rewind ? rewind->left : std::nullopt, options.chunks > 0 ? 2 : 1);
    if (options.chunks > 0) {
        if (!rewind) {
            if (!spool_dir) {
                stop("chunks need the input read twice",
                     StopDetail::usage("a fixed number of chunks needs the input read twice, which " + path +
                                       " cannot be: give a spool directory for a copy of it (spool_dir, --spool-dir)"));
            }
            file = spool(file, *spool_dir, path);
            rewind = rewind_point(file);
            if (!rewind) stop_io("cannot rewind the spool file in", IoError::os(errno), options.spool_dir);
        }
        counted = count_pass(file, *rewind, path, options.tuning, progress);
        const uint64_t chunks = std::min(options.chunks, std::max<uint64_t>(counted, 1));
        plan = {counted / chunks, counted % chunks};
    }

    OutputSettings settings;
    settings.compression = options.compression;
    settings.index = options.index;
    settings.input = identity;
    settings.runner = options.tuning.runner;
    settings.print_lines = false;
    settings.listener = options.listener;
    settings.directory = &output.get();
    settings.durable = options.manifest;
    settings.replaces_indexes = true;
    std::unique_ptr<Input> input = open_pass(std::move(file), path, options.tuning.read_size);
    Outputs outputs(options.output_dir, settings);
    Splitter splitter(outputs, plan, options.index ? Splitter::Observe::ForIndex : Splitter::Observe::ChromAndPos);
    try {
        run_split(*input, outputs, splitter, path, &progress);
        input.reset();
        try {
            splitter.finish();
        } catch (const InputProblem& problem) {
            outputs.settle();
            stop_at_line(path, problem);
        }
        outputs.settle();
    } catch (...) {
        if (outputs.saved() > 0) output.used();
        throw;
    }
    if (outputs.saved() > 0) output.used();
    if (options.chunks > 0 && splitter.records() != counted) {
        const std::string text = "the input changed while it was read: " + std::to_string(counted) +
                                 " records counted, then " + std::to_string(splitter.records()) + " read";
        stop(path + ": " + text, StopDetail::input(path, 0, text));
    }
    if (options.manifest) {
        flush_outputs(output.get(), outputs.chunks());
        write_manifest(output.get(), outputs.chunks(), identity);
        output.used();
    }
    return outputs.chunks();
}

}  // namespace kestrel
