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

std::string input_name(const std::string& input) { return input == "-" ? "<stdin>" : input; }

std::shared_ptr<ByteSource> open_source(const std::string& input) {
    const std::string path = input_name(input);
    if (input == "-") {
        // A descriptor of our own for standard input, where it stands.
        const int fd = ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
        if (fd < 0) stop_io("cannot open", IoError::os(errno), path);
        return std::make_shared<FileSource>(File(fd));
    }
    auto opened = open_file_source(path);
    if (auto* error = std::get_if<IoError>(&opened)) stop_io("cannot open", *error, path);
    return std::move(std::get<std::unique_ptr<FileSource>>(opened));
}

namespace {

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

// Copies what is left of `from` into a file without a name in `directory`, for a
// second pass; returns it as a source.
std::shared_ptr<ByteSource> spool(ByteSource& from, const Directory& directory, const std::string& path) {
    auto made = directory.anonymous_file();
    if (auto* error = std::get_if<IoError>(&made)) stop_io("cannot make a spool file in", *error, directory.path());
    File copy = std::move(std::get<File>(made));
    bool write_failed = false;
    auto error = read_all(from, [&](std::span<const uint8_t> bytes) {
        auto failed = write_all(copy.fd(), bytes);
        write_failed = failed.has_value();
        return failed;
    });
    if (error) {
        if (write_failed) stop_io("An error occurred writing the spool file in", *error, directory.path());
        stop_io("An error occurred reading", *error, path);
    }
    if (::lseek(copy.fd(), 0, SEEK_SET) < 0) {
        stop_io("cannot rewind the spool file in", IoError::os(errno), directory.path());
    }
    return std::make_shared<FileSource>(std::move(copy));
}

bool sniff(std::unique_ptr<ByteSource>& source, const std::string& path) {
    auto sniffed = sniff_format(source);
    if (auto* error = std::get_if<IoError>(&sniffed)) stop_io("An error occurred reading", *error, path);
    return std::get<bool>(sniffed);
}

// Opens a pass over the input from its start: the format is sniffed from its first bytes.
std::unique_ptr<Input> open_pass(const std::shared_ptr<ByteSource>& source, const std::string& path,
                                 size_t read_size) {
    std::unique_ptr<ByteSource> pass = pass_over(source);
    const bool compressed = sniff(pass, path);
    return open_input(std::move(pass), compressed, read_size);
}

// The records of a seekable input: the counting pass before a fixed number of chunks.
uint64_t count_pass(const std::shared_ptr<ByteSource>& source, const std::string& path, const SplitTuning& tuning,
                    ProgressClock& progress) {
    std::unique_ptr<ByteSource> pass = pass_over(source);
    const bool compressed = sniff(pass, path);
    const std::optional<uint64_t> size = source->size();
    if (compressed || !size) {
        std::unique_ptr<Input> input = open_input(std::move(pass), compressed, tuning.read_size);
        return count_records(*input, path, progress);
    }
    // A plain file is counted by all the pool's threads at once.
    runtime::JobRunner* runner = tuning.runner;
    if (runner == nullptr) runner = runtime::WorkerPool::try_global();
    auto count = count_records_in(*source, 0, *size, tuning.read_size, runner,
                                  [&](uint64_t done) { progress.tick(done); });
    if (auto* error = std::get_if<IoError>(&count)) stop_io("An error occurred reading", *error, path);
    progress.end_pass(*size);
    return std::get<uint64_t>(count);
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
    // Checked before anything is read, whether or not the input needs it.
    if (!options.spool_dir.empty()) spool_directory(options.spool_dir);
    std::shared_ptr<ByteSource> source = open_source(options.input);
    OutputDirectory output(options.output_dir, source->identity());
    return run_local(options, output, std::move(source));
}

std::vector<ChunkSummary> run_local(const ScatterOptions& options, OutputDirectory& output,
                                    std::shared_ptr<ByteSource> source) {
    const std::string path = input_name(options.input);
    const std::optional<FileIdentity> identity = source->identity();
    BatchPlan plan{options.records_per_chunk, 0};
    uint64_t counted = 0;
    ProgressClock progress(options.listener, source->seekable() ? source->size() : std::nullopt,
                           options.chunks > 0 ? 2 : 1);
    if (options.chunks > 0) {
        if (!source->seekable()) {
            if (options.spool_dir.empty()) {
                stop("chunks need the input read twice",
                     StopDetail::usage("a fixed number of chunks needs the input read twice, which " + path +
                                       " cannot be: give a spool directory for a copy of it (spool_dir, --spool-dir)"));
            }
            source = spool(*source, spool_directory(options.spool_dir), path);
        }
        counted = count_pass(source, path, options.tuning, progress);
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
    std::unique_ptr<Input> input = open_pass(source, path, options.tuning.read_size);
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
