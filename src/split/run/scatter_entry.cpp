#include "split/run/scatter_entry.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <vector>

#include "base/file.hpp"
#include "base/stop.hpp"
#include "split/plan/census.hpp"
#include "split/plan/index_plan.hpp"
#include "split/plan/record_count.hpp"
#include "split/read/inputs.hpp"
#include "split/storage/file_system.hpp"
#include "split/storage/local_files.hpp"
#include "split/write/outputs.hpp"

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
    return read_input(std::move(pass), format, read_size);
}

// The records of a seekable input: the counting pass before a fixed number of chunks.
uint64_t count_pass(const std::shared_ptr<ByteSource>& source, const std::string& path, const SplitTuning& tuning,
                    ProgressClock& progress) {
    std::unique_ptr<ByteSource> pass = pass_over(source);
    const InputFormat format = sniff(pass, path);
    const std::optional<uint64_t> size = source->size();
    if (format == InputFormat::Bgzf) {
        uint64_t read = 0;
        const uint64_t records = count_bgzf_records(source, path, tuning.runner, [&](uint64_t done) {
            read = done;
            progress.tick(done);
        });
        progress.end_pass(read);
        return records;
    }
    if (format != InputFormat::Plain || !size || !source->identity()) {
        std::unique_ptr<Input> input = read_input(std::move(pass), format, tuning.read_size);
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

// Whether the output can hold complete chunks apart until the run's end: a local
// directory that takes new files (not one written in place, nor object storage,
// where a file can only be uploaded whole when it is put in place).
bool can_hold(const RunOutput& output) {
    const Directory* directory = output.directory();
    if (directory == nullptr) return false;
    const std::string tag = "hold-" + std::to_string(::getpid()) + "-" +
                            std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
    auto token = RunToken::create(*directory, tag);
    return std::holds_alternative<RunToken>(token);  // removed again as it goes
}

// Passes every piece on, and ends the reading once more records came than promised:
// the plan is wrong, and the batches after it are not worth writing.
class UpToPromise final : public PieceFilter {
public:
    UpToPromise(const Splitter& splitter, uint64_t promised) : splitter_(splitter), promised_(promised) {}
    std::span<const uint8_t> pass(std::span<const uint8_t> bytes) override { return bytes; }
    bool done() const override { return splitter_.records() > promised_; }

private:
    const Splitter& splitter_;
    uint64_t promised_;
};

// The chunks of `promised` records (the index's count), every one held back until the
// records read turn out to be as many: then they are put in place in order, and the
// listener hears of each. Otherwise, or where a failure stops the split, nothing is
// put in place and nullopt says so: the counted run follows, and meets any failure
// where it would have met it anyway.
std::optional<std::vector<ChunkSummary>> split_as_promised(const ScatterOptions& options, RunOutput& output,
                                                           const std::shared_ptr<ByteSource>& source,
                                                           uint64_t promised, ProgressClock& progress) {
    const std::string path = input_name(options.input);
    OutputSettings settings = chunk_settings(RunMode::Chunks, options.format, output.target(), options.tuning.runner);
    settings.listener = options.listener;
    settings.hold = true;
    Outputs outputs(options.output_dir, settings);
    const std::unique_ptr<CutPolicy> cuts = cut_rule(options, promised, Census());
    Splitter splitter(outputs, *cuts, observe_for(options.format));
    UpToPromise up_to(splitter, promised);
    std::unique_ptr<Input> input;
    try {
        const QuietStops quiet;
        input = open_pass(source, path, options.tuning.read_size);
        run_split(*input, outputs, splitter, path, &progress, &up_to);
        input.reset();
        finish_split(splitter, outputs, path);
    } catch (const Stop&) {
        if (input) progress.end_pass(input->bytes_read());  // the progress goes on from there
        return std::nullopt;
    }
    if (splitter.records() != promised) return std::nullopt;
    try {
        outputs.release_held();
    } catch (...) {
        if (outputs.saved() > 0) output.used();
        throw;
    }
    if (outputs.saved() > 0) output.used();
    finish_scatter(output, outputs.chunks(), options.format);
    return outputs.chunks();
}

}  // namespace

std::vector<ChunkSummary> scatter(const ScatterOptions& given) {
    ScatterOptions options = given;
    take_index_name(options);
    check_scatter_options(options);
    // Checked before anything is read, whether or not the input needs it.
    if (!options.spool_dir.empty()) spool_directory(options.spool_dir);
    std::shared_ptr<ByteSource> source = open_input(options.input, options.storage_options);
    std::unique_ptr<RunOutput> output = open_run_output(options, source->identity());
    return run_local(options, *output, std::move(source));
}

std::vector<ChunkSummary> run_local(const ScatterOptions& options, RunOutput& output,
                                    std::shared_ptr<ByteSource> source) {
    const std::string path = input_name(options.input);
    // A fixed number of chunks from the count the input's index carries, where it has
    // one, the chunks need no contig's count, and the output can hold them until that
    // count checks out.
    const std::optional<uint64_t> promised =
        options.chunks > 0 && !options.place.by_contig ? records_from_index(options, source) : std::nullopt;
    const bool from_index = promised && can_hold(output);
    ProgressClock progress(options.listener, source->seekable() ? source->size() : std::nullopt,
                           options.chunks > 0 && !from_index ? 2 : 1);
    if (from_index) {
        if (auto chunks = split_as_promised(options, output, source, *promised, progress)) return std::move(*chunks);
        progress.add_passes(2);
    }
    uint64_t counted = 0;
    Census census;
    if (options.chunks > 0) {
        if (!source->seekable()) {
            if (options.spool_dir.empty()) {
                // A URL is read once only where its server answers no ranged reads.
                const char* why = is_url(path) ? " (its server answers no ranged reads)" : "";
                stop("chunks need the input read twice",
                     StopDetail::usage("a fixed number of chunks needs the input read twice, which " + path +
                                       " cannot be" + why +
                                       ": give a spool directory for a copy of it (spool_dir, --spool-dir)"));
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
