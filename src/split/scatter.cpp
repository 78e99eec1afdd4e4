#include "split/scatter.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/stop.hpp"
#include "split/batch_file.hpp"

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

// Removes `name` from the output directory, unless it is the input.
void remove_output(const Directory& directory, std::string_view name, const std::optional<FileIdentity>& input) {
    const std::string path = directory.path_of(name);
    if (input && directory.names(name, *input)) {
        const IoError error = output_is_input(path);
        stop(path + ": " + error.display(), StopDetail::io(0, path, error.display()));
    }
    if (auto error = directory.remove(name)) stop_io("cannot remove", *error, path);
}

// The flush the manifest promises: every chunk and index of the run on stable storage,
// and the directory's entries naming them.
// One syncfs(2) of the
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

// The manifest, through a temporary, flushed with the directory.
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

OutputDirectory::OutputDirectory(const std::string& path, const std::optional<FileIdentity>& input) {
    if (struct stat status {}; ::stat(path.c_str(), &status) == 0 && !S_ISDIR(status.st_mode)) {
        stop(path + " is not a directory", StopDetail::io_reason(ENOTDIR, path, "is not a directory"));
    }
    if (auto error = made_.make(path)) stop_io("An error occurred creating the directory", *error, path);
    auto opened = Directory::open(path);
    if (auto* error = std::get_if<IoError>(&opened)) stop_io("cannot open the directory", *error, path);
    directory_ = std::move(std::get<Directory>(opened));
    lock_output_directory(directory_, path);
    remove_output(directory_, kManifestName, input);
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
    if (options.format.index && !options.format.compression) {
        stop("an index needs compressed chunks",
             StopDetail::usage("an index needs compressed chunks: give compression as well (plain files cannot be indexed)"));
    }
}

BatchPlan chunk_plan(const ScatterOptions& options, uint64_t records) {
    return options.chunks > 0 ? BatchPlan::balanced(records, options.chunks)
                              : BatchPlan::of_size(options.records_per_chunk);
}

Splitter::Observe observe_for(const ChunkFormat& format) {
    return format.index ? Splitter::Observe::ForIndex : Splitter::Observe::ChromAndPos;
}

OutputSettings chunk_settings(RunMode mode, const ChunkFormat& format, std::optional<FileIdentity> input,
                              const Directory& directory, runtime::JobRunner* runner) {
    OutputSettings settings;
    settings.mode = mode;
    settings.durable = format.manifest;
    settings.compression = format.compression;
    settings.index = format.index;
    settings.input = input;
    settings.runner = runner;
    settings.directory = &directory;
    return settings;
}

void check_records_read(const std::string& path, uint64_t counted, uint64_t read) {
    if (read == counted) return;
    const std::string text = "the input changed while it was read: " + std::to_string(counted) +
                             " records counted, then " + std::to_string(read) + " read";
    stop(path + ": " + text, StopDetail::input(path, 0, text));
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

void finish_scatter(OutputDirectory& output, const std::vector<ChunkSummary>& chunks, const ChunkFormat& format,
                    std::optional<FileIdentity> input) {
    if (!format.manifest) return;
    flush_outputs(output.get(), chunks);
    write_manifest(output.get(), chunks, input);
    output.used();
}

}  // namespace kestrel
