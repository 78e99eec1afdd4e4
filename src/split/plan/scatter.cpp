#include "split/plan/scatter.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <set>

#include "base/stop.hpp"
#include "split/write/batch_file.hpp"

namespace kestrel {

std::string input_name(const std::string& input) { return input == "-" ? "<stdin>" : input; }

namespace {

// The manifest, written last and flushed with the entry naming it.
void write_manifest(OutputTarget& target, const std::vector<ChunkSummary>& chunks) {
    const std::string path = target.path_of(kManifestName);
    auto opened = target.create(std::string(kManifestName));
    if (auto* error = std::get_if<IoError>(&opened)) stop_io("An error occurred saving", *error, path);
    OutputFile& file = *std::get<std::unique_ptr<OutputFile>>(opened);
    if (auto error = file.write(as_bytes(manifest_text(chunks)))) stop_io("An error occurred saving", *error, path);
    if (auto error = file.commit(Durability::Flush)) stop_io("An error occurred saving", *error, path);
    target.flush({std::string(kManifestName)});
}

}  // namespace

std::unique_ptr<RunOutput> open_run_output(const ScatterOptions& options, const std::optional<FileIdentity>& input,
                                           const std::string& tag) {
    return std::make_unique<RunOutput>(options.output_dir, options.storage_options, InputName{input, options.input},
                                       tag);
}

Directory spool_directory(const std::string& path) {
    auto opened = Directory::open(path);
    if (auto* error = std::get_if<IoError>(&opened)) stop_io("cannot use the spool directory", *error, path);
    if (::access(path.c_str(), W_OK | X_OK) != 0) stop_io("cannot use the spool directory", IoError::os(errno), path);
    return std::move(std::get<Directory>(opened));
}

void check_output_dir(const std::string& output_dir) {
    // A web server is only read from: refused before the run starts, since the first
    // upload would otherwise fail once the input had been read, saying nothing of why.
    const size_t scheme = output_dir.find("://");
    if (!is_url(output_dir) || (scheme != 4 && scheme != 5)) return;
    std::string name = output_dir.substr(0, scheme);
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (name == "http" || name == "https") {
        const std::string text = output_dir + ": http and https outputs are not supported: write to a directory "
                                              "or to object storage (s3://, gs://, az://)";
        stop(text, StopDetail::usage(text));
    }
}

void check_scatter_options(const ScatterOptions& options) {
    check_output_dir(options.output_dir);
    if (options.place.by_contig) {
        if (options.records_per_chunk != 0 && options.chunks != 0) {
            stop("give at most one of records per chunk and chunks",
                 StopDetail::usage("give at most one of records_per_chunk and chunks"));
        }
    } else if ((options.records_per_chunk == 0) == (options.chunks == 0)) {
        stop("give exactly one of records per chunk and chunks",
             StopDetail::usage("give exactly one of records_per_chunk and chunks"));
    }
    if (options.format.index && !FileFormat::of(options.format.compression).indexable_by(*options.format.index)) {
        stop("an index needs compressed chunks",
             StopDetail::usage("an index needs compressed chunks: give compression as well (plain files cannot be indexed)"));
    }
}

BatchPlan chunk_plan(const ScatterOptions& options, uint64_t records) {
    return options.chunks > 0 ? BatchPlan::balanced(records, options.chunks)
                              : BatchPlan::of_size(options.records_per_chunk);
}

std::optional<BatchPlan> place_plan(const ScatterOptions& options, uint64_t records) {
    if (options.chunks == 0 && options.records_per_chunk == 0) return std::nullopt;
    return chunk_plan(options, records);
}

Splitter::Observe observe_for(const ChunkFormat& format) {
    return format.index ? Splitter::Observe::ForIndex : Splitter::Observe::ChromAndPos;
}

OutputSettings chunk_settings(RunMode mode, const ChunkFormat& format, OutputTarget& target,
                              runtime::JobRunner* runner) {
    OutputSettings settings;
    settings.mode = mode;
    settings.durable = format.manifest;
    settings.format = FileFormat::of(format.compression);
    settings.index = format.index;
    settings.runner = runner;
    settings.target = &target;
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
    std::string text(kManifestHeader);
    for (const ChunkSummary& chunk : chunks) {
        text += chunk.file + '\t' + chunk.index_file + '\t' + std::to_string(chunk.records) + '\t' +
                chunk.first_chrom + '\t' + number(chunk.first_pos) + '\t' + chunk.last_chrom + '\t' +
                number(chunk.last_pos) + '\t' + std::to_string(chunk.bytes) + '\n';
    }
    return text;
}

void finish_scatter(RunOutput& output, const std::vector<ChunkSummary>& chunks, const ChunkFormat& format) {
    std::vector<std::string> names;
    for (const ChunkSummary& chunk : chunks) {
        names.push_back(chunk.file);
        if (!chunk.index_file.empty()) names.push_back(chunk.index_file);
    }
    if (format.manifest) output.target().flush(names);
    remove_earlier_files(output, names);
    if (!format.manifest) return;
    write_manifest(output.target(), chunks);
    output.used();
}

void remove_earlier_files(RunOutput& output, const std::vector<std::string>& written) {
    const std::set<std::string_view> own(written.begin(), written.end());
    OutputTarget& target = output.target();
    for (const std::string& name : output.earlier_files()) {
        if (own.contains(name)) continue;
        const auto error = target.remove(name);
        // The input, or a directory that took the name since: not the earlier run's file.
        if (!error || error->os_code() == EISDIR) continue;
        if (error->os_code() == 0 && error->kind() == ErrorKind::InvalidInput) continue;
        stop_io("cannot remove", *error, target.path_of(name));
    }
}

}  // namespace kestrel
