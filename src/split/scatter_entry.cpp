#include "split/scatter_entry.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "base/file.hpp"
#include "base/stop.hpp"
#include "split/census.hpp"
#include "split/inputs.hpp"
#include "split/outputs.hpp"
#include "split/record_count.hpp"

namespace kestrel {

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

InputFormat sniff(std::unique_ptr<ByteSource>& source, const std::string& path) {
    auto sniffed = sniff_format(source);
    if (auto* error = std::get_if<IoError>(&sniffed)) stop_io("An error occurred reading", *error, path);
    return std::get<InputFormat>(sniffed);
}

// Opens a pass over the input from its start: the format is sniffed from its first bytes.
std::unique_ptr<Input> open_pass(const std::shared_ptr<ByteSource>& source, const std::string& path,
                                 size_t read_size) {
    std::unique_ptr<ByteSource> pass = pass_over(source);
    const InputFormat format = sniff(pass, path);
    return open_input(std::move(pass), format, read_size);
}

// The records of a seekable input: the counting pass before a fixed number of chunks.
uint64_t count_pass(const std::shared_ptr<ByteSource>& source, const std::string& path, const SplitTuning& tuning,
                    ProgressClock& progress) {
    std::unique_ptr<ByteSource> pass = pass_over(source);
    const InputFormat format = sniff(pass, path);
    const std::optional<uint64_t> size = source->size();
    if (format != InputFormat::Plain || !size || !source->identity()) {
        std::unique_ptr<Input> input = open_input(std::move(pass), format, tuning.read_size);
        return count_records(*input, path, progress);
    }
    // A plain local file is counted by all the pool's threads at once.
    runtime::JobRunner* runner = tuning.runner;
    if (runner == nullptr) runner = runtime::WorkerPool::try_global();
    auto count = count_records_in(*source, 0, *size, tuning.read_size, runner,
                                  [&](uint64_t done) { progress.tick(done); });
    if (auto* error = std::get_if<IoError>(&count)) stop_io("An error occurred reading", *error, path);
    progress.end_pass(*size);
    return std::get<uint64_t>(count);
}

// The census of a seekable input with its contigs: the counting pass of by_contig with
// a fixed number of chunks. A contig that comes back stops the run before any chunk.
Census contig_pass(const std::shared_ptr<ByteSource>& source, const std::string& path, const SplitTuning& tuning,
                   ProgressClock& progress) {
    std::unique_ptr<ByteSource> pass = pass_over(source);
    const InputFormat format = sniff(pass, path);
    pass.reset();
    runtime::JobRunner* runner = tuning.runner;
    if (runner == nullptr && format == InputFormat::Plain) runner = runtime::WorkerPool::try_global();
    progress.tick(0);
    Census census = count_contigs(source, format, path, tuning.read_size, runner,
                                  [&](uint64_t done) { progress.tick(done); });
    progress.end_pass(source->size().value_or(0));
    if (census.comes_back) stop_at_line(path, *census.comes_back);
    return census;
}

// The cut rule of the run: the count rule alone, or the rules by place over it.
std::unique_ptr<CutPolicy> cut_rule(const ScatterOptions& options, uint64_t counted, const Census& census) {
    if (!options.place.any()) return std::make_unique<CountCut>(chunk_plan(options, counted));
    std::vector<ContigShare> shares;
    if (options.place.by_contig && options.chunks > 0) {
        for (const CensusContig& contig : census.contigs) shares.push_back({contig.chrom, contig.records, 1});
        shares = contig_shares(std::move(shares), options.chunks);
    }
    return std::make_unique<PlaceCut>(options.place, place_plan(options, counted), std::move(shares));
}

}  // namespace

std::vector<ChunkSummary> scatter(const ScatterOptions& options) {
    check_scatter_options(options);
    // Checked before anything is read, whether or not the input needs it.
    if (!options.spool_dir.empty()) spool_directory(options.spool_dir);
    std::shared_ptr<ByteSource> source = open_source(options.input, options.storage_options);
    std::unique_ptr<RunOutput> output = open_run_output(options, source->identity());
    return run_local(options, *output, std::move(source));
}

std::vector<ChunkSummary> run_local(const ScatterOptions& options, RunOutput& output,
                                    std::shared_ptr<ByteSource> source) {
    const std::string path = input_name(options.input);
    uint64_t counted = 0;
    Census census;
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
        if (options.place.by_contig) {
            census = contig_pass(source, path, options.tuning, progress);
            counted = census.records;
        } else {
            counted = count_pass(source, path, options.tuning, progress);
        }
    }

    std::unique_ptr<Input> input = open_pass(source, path, options.tuning.read_size);
    OutputSettings settings = chunk_settings(RunMode::Chunks, options.format, output.target(), options.tuning.runner);
    settings.listener = options.listener;
    Outputs outputs(options.output_dir, settings);
    const std::unique_ptr<CutPolicy> cuts = cut_rule(options, counted, census);
    Splitter splitter(outputs, *cuts, observe_for(options.format));
    try {
        run_split(*input, outputs, splitter, path, &progress);
        input.reset();
        finish_split(splitter, outputs, path);
    } catch (...) {
        if (outputs.saved() > 0) output.used();
        throw;
    }
    if (outputs.saved() > 0) output.used();
    if (options.chunks > 0) check_records_read(path, counted, splitter.records());
    finish_scatter(output, outputs.chunks(), options.format);
    return outputs.chunks();
}

}  // namespace kestrel
