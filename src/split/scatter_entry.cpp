#include "split/scatter_entry.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "base/file.hpp"
#include "base/stop.hpp"
#include "split/inputs.hpp"
#include "split/outputs.hpp"
#include "split/record_count.hpp"

namespace kestrel {

void stop_io(const std::string& what, const IoError& error, const std::string& path) {
    stop(what + " " + path + ": " + error.display(), StopDetail::io(error.os_code(), path, error.display()));
}

namespace {

constexpr const char* kStandardInput = "<stdin>";

// Counts the records of an input read piece by piece.
uint64_t count_records(Input& input, const std::string& path, ProgressClock& progress) {
    RecordCounter counter;
    progress.tick(0);
    read_through(input, path, [&](std::span<const uint8_t> bytes) {
        counter.feed(bytes);
        progress.tick(input.bytes_read());
    });
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

// Removes `name` from the output directory, unless it is the input.
void remove_output(const Directory& directory, std::string_view name, const std::optional<FileIdentity>& input) {
    const std::string path = directory.path_of(name);
    if (input && directory.names(name, *input)) {
        const IoError error = output_is_input(path);
        stop(path + ": " + error.display(), StopDetail::io(0, path, error.display()));
    }
    if (auto error = directory.remove(name)) stop_io("cannot remove", *error, path);
}

}  // namespace

OutputDirectory::OutputDirectory(const std::string& path, const std::optional<FileIdentity>& input) {
    if (struct stat status {}; ::stat(path.c_str(), &status) == 0 && !S_ISDIR(status.st_mode)) {
        stop(path + " is not a directory", StopDetail::io_reason(ENOTDIR, path, "is not a directory"));
    }
    if (auto error = create_dir_all(path, &created_)) stop_io("An error occurred creating the directory", *error, path);
    auto opened = Directory::open(path);
    if (auto* error = std::get_if<IoError>(&opened)) stop_io("cannot open the directory", *error, path);
    directory_ = std::move(std::get<Directory>(opened));
    lock_output_directory(directory_, path);
    remove_output(directory_, kManifestName, input);
}

OutputDirectory::~OutputDirectory() {
    if (!used_) remove_empty_directories(created_);
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

Directory spool_directory(const std::string& path) {
    auto opened = Directory::open(path);
    if (auto* error = std::get_if<IoError>(&opened)) stop_io("cannot use the spool directory", *error, path);
    if (::access(path.c_str(), W_OK | X_OK) != 0) stop_io("cannot use the spool directory", IoError::os(errno), path);
    return std::move(std::get<Directory>(opened));
}

void check_scatter_options(const ScatterOptions& options) {
    if ((options.records_per_chunk == 0) == (options.chunks == 0)) {
        stop("give exactly one of records per chunk and chunks",
             StopDetail::usage("give exactly one of records_per_chunk and chunks"));
    }
    if (options.index && !options.compression) {
        stop("an index needs compressed chunks",
             StopDetail::usage("an index needs compressed chunks: give compression as well (plain files cannot be indexed)"));
    }
}

std::vector<ChunkSummary> scatter(const ScatterOptions& options) {
    check_scatter_options(options);
    const bool from_standard_input = options.input == "-";
    const std::string path = from_standard_input ? kStandardInput : options.input;
    // Checked before anything is read, whether or not the input needs it.
    if (!options.spool_dir.empty()) spool_directory(options.spool_dir);
    File file;
    if (from_standard_input) {
        file = duplicate(STDIN_FILENO, path);
    } else {
        auto opened = open_for_reading(path);
        if (auto* error = std::get_if<IoError>(&opened)) stop_io("cannot open", *error, path);
        file = std::move(std::get<File>(opened));
    }
    const std::optional<FileIdentity> identity = identity_of(file.fd());
    OutputDirectory output(options.output_dir, identity);
    return run_local(options, output, std::move(file), identity);
}

std::vector<ChunkSummary> run_local(const ScatterOptions& options, OutputDirectory& output, File file,
                                    std::optional<FileIdentity> identity) {
    const std::string path = options.input == "-" ? kStandardInput : options.input;
    std::optional<Rewind> rewind = rewind_point(file);
    BatchPlan plan{options.records_per_chunk, 0};
    uint64_t counted = 0;
    ProgressClock progress(options.listener, rewind ? rewind->left : std::nullopt, options.chunks > 0 ? 2 : 1);
    if (options.chunks > 0) {
        if (!rewind) {
            if (options.spool_dir.empty()) {
                stop("chunks need the input read twice",
                     StopDetail::usage("a fixed number of chunks needs the input read twice, which " + path +
                                       " cannot be: give a spool directory for a copy of it (spool_dir, --spool-dir)"));
            }
            file = spool(file, spool_directory(options.spool_dir), path);
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
        finish_split(splitter, outputs, path);
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
