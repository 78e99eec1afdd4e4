#include "split/run/cluster_run.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <random>

#include "base/stop.hpp"
#include "bgzf/header.hpp"
#include "index/binning_index.hpp"
#include "split/plan/census.hpp"
#include "split/plan/index_plan.hpp"
#include "split/read/inputs.hpp"
#include "split/run/fields.hpp"
#include "split/run/scatter_entry.hpp"
#include "split/run/tasks.hpp"
#include "split/storage/file_system.hpp"
#include "vcf/lines.hpp"

namespace kestrel {
namespace {

// `path` as every worker can open it: relative paths are taken from the caller's
// working directory; URLs are as they are.
std::string absolute(const std::string& path) {
    if (path.starts_with('/') || is_url(path)) return path;
    std::string directory(4096, '\0');
    while (::getcwd(directory.data(), directory.size()) == nullptr) {
        if (errno != ERANGE) return path;
        directory.resize(directory.size() * 2);
    }
    directory.resize(std::strlen(directory.c_str()));
    return join_path(directory, path);
}

// A tag no other run shares, for the names of this run's temporaries and its token.
std::string run_tag() {
    std::random_device random;
    char tag[24];
    std::snprintf(tag, sizeof tag, "%08x%08x", random(), random());
    return tag;
}

// The run's mark in its output, taken away however the call ends: tasks still running
// (the scheduler lost, a Ctrl-C) can no longer make or rename files, and what attempts
// left goes. (In object storage the output's lock object, which carries the run's tag,
// is the mark; it goes with the RunOutput.)
std::unique_ptr<Folder::Mark> mark_run(RunOutput& output, const std::string& place, const std::string& tag) {
    auto marked = output.target().folder().mark(tag);
    if (auto* error = std::get_if<IoError>(&marked)) stop_io("cannot make the run's token in", *error, place);
    return std::move(std::get<std::unique_ptr<Folder::Mark>>(marked));
}

// The input of a run on a cluster: a regular file that every worker can read, or a URL.
struct ClusterInput {
    std::shared_ptr<ByteSource> source;
    InputFormat format = InputFormat::Plain;
    TaskInput task;  // as the tasks see it
};

ClusterInput open_cluster_input(const ScatterOptions& options) {
    const std::string& path = options.input;
    if (path == "-") {
        stop("a cluster run needs a file", StopDetail::usage("a run on a cluster needs an input file that every worker "
                                                             "can read at the same path; standard input cannot be"));
    }
    if (!options.spool_dir.empty()) spool_directory(options.spool_dir);  // checked as the local run checks it
    ClusterInput input{open_input(path, options.storage_options), InputFormat::Plain,
                       {absolute(path), path, false, 0, options.tuning.read_size, options.storage_options}};
    input.task.version = input.source->version();
    if (!input.source->seekable()) {
        if (is_url(path)) return input;  // a server that answers no ranges: read once, on the caller
        stop("a cluster run needs a file",
             StopDetail::usage("a run on a cluster needs a regular file that every worker can read; " + path +
                               " is not one"));
    }
    input.task.size = input.source->size().value_or(0);
    std::unique_ptr<ByteSource> head = read_from(input.source, 0);
    auto sniffed = sniff_format(head);
    if (auto* error = std::get_if<IoError>(&sniffed)) stop_io("An error occurred reading", *error, path);
    input.format = std::get<InputFormat>(sniffed);
    input.task.compressed = input.format == InputFormat::Bgzf;
    return input;
}

// Plan, phase 1: the ranges, sized for the cluster unless the caller said.
std::vector<std::string> range_tasks(const TaskInput& input, size_t slots, uint64_t range_bytes,
                                     uint64_t part_bytes, bool keys) {
    const uint64_t size = input.size;
    if (part_bytes == 0) {
        part_bytes = input.compressed ? 1 : std::clamp<uint64_t>(size / 1024, kSmallestPartBytesPlain, kPartBytesPlain);
    }
    if (range_bytes == 0) {
        const uint64_t most = input.compressed ? kDefaultRangeBytesBgzf : kDefaultRangeBytesPlain;
        range_bytes = std::clamp<uint64_t>(size / (2 * std::max<size_t>(slots, 1)), kSmallestDefaultRangeBytes, most);
    }
    range_bytes = std::max(range_bytes, (size + kMaxRanges - 1) / kMaxRanges);
    part_bytes = std::max(part_bytes, (size + kMaxParts - 1) / kMaxParts);
    std::vector<std::string> tasks;
    for (uint64_t start = 0; start < size; start += std::min(range_bytes, size - start)) {
        tasks.push_back(fields::encode(RangeTask{input, start, start + std::min(range_bytes, size - start),
                                                 std::min(range_bytes, part_bytes), keys, {}}));
    }
    return tasks;
}

// A result of a task as its value; a stop where it cannot be read.
template <class Result>
Result read_result(std::string_view bytes) {
    Result result;
    if (!fields::decode(bytes, result)) {
        stop("a task's result could not be read",
             StopDetail::usage("a task's result could not be read: every worker needs the same build of kestrel"));
    }
    return result;
}

// Count: the census of the parts, up to where the stream ends; the first failure stops.
Census count(TaskRunner& runner, const std::vector<std::string>& tasks) {
    Census census;
    bool line_start = true, seen_record = false, ended = false;
    for (const std::string& result : runner.count(tasks)) {
        for (PartCount& part : read_result<RangeCounts>(result).parts) {
            if (ended) break;
            ended = part.stream_ends;
            census.add(std::move(part), line_start, seen_record);
        }
    }
    for (const PartCount& part : census.parts) {
        if (part.failure) stop(part.failure->message, part.failure->detail);
    }
    return census;
}

// Where the count cuts move with keep_together, from the census: to the end of a run
// at the parts' edges or before a contig change; a cut between two records inside a
// part that repeats a position somewhere inside is located by counting that part again.
class CutFinder {
public:
    explicit CutFinder(const Census& census) : census_(census) {}

    uint64_t operator()(uint64_t cut) {
        const std::vector<KnownRun>& runs = census_.runs;
        auto after = std::upper_bound(runs.begin(), runs.end(), cut - 1,
                                      [](uint64_t record, const KnownRun& run) { return record < run.begin; });
        if (after != runs.begin() && cut - 1 < std::prev(after)->end) return std::max(cut, std::prev(after)->end);
        if (after != runs.end() && after->begin == cut) return cut;
        const size_t part = static_cast<size_t>(
            std::upper_bound(census_.before.begin(), census_.before.end(), cut) - census_.before.begin() - 1);
        if (census_.parts[part].keys->longest_inner <= 1) return cut;
        if (auto found = located_.find(cut); found != located_.end()) return found->second;
        wanted_[part].push_back(cut - first_after_line_feed(part));
        return cut;
    }
    bool wants() const { return !wanted_.empty(); }

    // Counts again the parts that hold cuts to locate.
    void locate(TaskRunner& runner, const TaskInput& input) {
        std::vector<std::string> tasks;
        for (const auto& [part, records] : wanted_) {
            const PartCount& count = census_.parts[part];
            tasks.push_back(fields::encode(RangeTask{input, count.start, count.end, 0, true, records}));
        }
        const std::vector<std::string> results = runner.count(tasks);
        size_t i = 0;
        for (const auto& [part, records] : wanted_) {
            const RangeCounts counts = read_result<RangeCounts>(results.at(i++));
            for (const PartCount& count : counts.parts) {
                if (count.failure) stop(count.failure->message, count.failure->detail);
            }
            const uint64_t first = first_after_line_feed(part);
            const auto& located = counts.parts.at(0).keys.value().located;
            for (size_t j = 0; j < records.size() && j < located.size(); ++j) {
                located_[first + records[j]] = first + located[j];
            }
        }
        wanted_.clear();
    }

private:
    // The first record of the part that starts after a line feed in it.
    uint64_t first_after_line_feed(size_t part) const {
        const PartCount& count = census_.parts[part];
        const bool head = census_.starts_line[part] && !count.empty && vcf::is_record_start(count.first_byte);
        return census_.before[part] + (head ? 1 : 0);
    }

    const Census& census_;
    std::map<size_t, std::vector<uint64_t>> wanted_;
    std::map<uint64_t, uint64_t> located_;
};

// Plan, phase 2: the chunk sizes of the local run: the count rule from the counts; the
// rules by place from the keys, up to a contig that comes back.
std::vector<uint64_t> plan_sizes(TaskRunner& runner, const Census& census, const ScatterOptions& options,
                                 const TaskInput& input) {
    if (!options.place.any()) return chunk_plan(options, census.records).sizes(census.records);
    const bool by_contig = options.place.by_contig;
    if (by_contig && census.comes_back && options.chunks > 0) stop_at_line(input.name, *census.comes_back);
    const uint64_t records = by_contig && census.comes_back ? census.comes_back_record : census.records;
    std::vector<ContigShare> shares;
    if (by_contig && options.chunks > 0) {
        for (const CensusContig& contig : census.contigs) shares.push_back({contig.chrom, contig.records, 1});
        shares = contig_shares(std::move(shares), options.chunks);
    }
    CutFinder finder(census);
    const auto sizes = [&] {
        return chunk_sizes(records, place_plan(options, census.records), options.place, shares, census.contigs,
                           [&](uint64_t cut) { return finder(cut); });
    };
    std::vector<uint64_t> planned = sizes();
    if (!finder.wants()) return planned;
    finder.locate(runner, input);
    return sizes();
}

// Plan, phase 3: the chunks of `sizes`, each read from the part holding its first
// record; `whole`: they hold every record (not only those before a contig that comes
// back).
std::vector<ChunkTask> chunk_tasks(const Census& census, const std::vector<uint64_t>& sizes, bool whole,
                                   const ScatterOptions& options, const TaskInput& input, const RunOutput& output,
                                   const std::string& tag) {
    ChunkTask task;
    task.input = input;
    task.output_dir = absolute(options.output_dir);
    task.output_name = options.output_dir;
    if (const Directory* directory = output.directory()) {
        task.output_identity = identity_of(directory->fd()).value_or(FileIdentity{});
    }
    task.format = options.format;
    task.tag = tag;
    std::vector<ChunkTask> tasks;
    uint64_t first = 0;
    size_t part = 0;
    for (size_t i = 0; i < sizes.size(); ++i) {
        while (part + 1 < census.parts.size() && census.before[part + 1] <= first) ++part;
        size_t last_part = part;  // the part holding the chunk's last record
        while (last_part + 1 < census.parts.size() && census.before[last_part + 1] < first + sizes[i]) ++last_part;
        task.expected_end = census.parts[last_part].end;
        task.number = static_cast<int32_t>(i + 1);
        task.start = census.parts[part].start;
        task.starts_line = census.starts_line[part];
        task.skip = first - census.before[part];
        task.take = sizes[i];
        task.first_record = first;
        task.last = whole && i + 1 == sizes.size();
        if (task.last) task.expected_end = UINT64_MAX;  // whatever follows it is counted
        tasks.push_back(task);
        first += sizes[i];
    }
    return tasks;
}

// Write: every chunk task run; outcomes arrive in any order, the listener hears of the
// chunks saved in order. Returns the outcomes in the tasks' order and the chunks saved.
std::pair<std::vector<ChunkOutcome>, std::vector<ChunkSummary>> write(
    TaskRunner& runner, const std::vector<ChunkTask>& tasks, const Census& census, const ScatterOptions& options,
    RunOutput& output, ProgressClock& progress, uint64_t size) {
    std::vector<std::string> encoded;
    for (const ChunkTask& task : tasks) encoded.push_back(fields::encode(task));
    std::vector<std::optional<ChunkOutcome>> outcomes(tasks.size());
    std::vector<ChunkSummary> saved;
    uint64_t written_records = 0;
    runner.write(encoded, [&](size_t position, std::string_view bytes) {
        ChunkOutcome outcome = read_result<ChunkOutcome>(bytes);
        written_records += outcome.records;
        progress.tick(size * written_records / std::max<uint64_t>(census.records, 1));
        outcomes.at(position) = std::move(outcome);
        while (saved.size() < outcomes.size() && outcomes[saved.size()] && !outcomes[saved.size()]->failure &&
               outcomes[saved.size()]->chunk) {
            saved.push_back(*outcomes[saved.size()]->chunk);
            output.used();
            if (options.listener != nullptr) options.listener->chunk_saved(saved.back());
        }
    });
    std::vector<ChunkOutcome> all;
    for (auto& outcome : outcomes) all.push_back(std::move(outcome).value_or(ChunkOutcome{}));
    return {std::move(all), std::move(saved)};
}

// Verify: the failure the local run meets first (chunks in order, and in a chunk the
// order an index needs across chunks before the chunk's own failure), every counted
// record read, and every chunk where its task left it (an attempt of a task run twice,
// or cut off, may not replace or remove what another one saved).
void verify(const std::vector<ChunkOutcome>& outcomes, const std::vector<ChunkTask>& tasks,
            const std::vector<ChunkSummary>& saved, const Census& census, const std::string& path,
            const OutputTarget& output, const std::optional<InputProblem>& refused) {
    index::SortOrder order;
    uint64_t read = 0;
    for (size_t i = 0; i < outcomes.size(); ++i) {
        const ChunkOutcome& outcome = outcomes[i];
        for (const ChromRun& run : outcome.runs) {
            if (auto problem = order.check(run.chrom, run.first_begin)) {
                stop_at_line(path, {census.header_lines + tasks[i].first_record + run.first_record + 1, *problem});
            }
            order.accept(run.chrom, run.first_begin);
            order.accept(run.chrom, run.last_begin);
        }
        if (outcome.failure) {
            // A task finding the run's token gone with the directory: the directory was
            // removed, reported as the local run reports it.
            const StopDetail& detail = outcome.failure->detail;
            if (detail.kind == StopDetail::Kind::Io && detail.os_code == ECANCELED && !output.still_there()) {
                stop_saving(tasks[i].number, IoError::os(ENOENT), detail.path);
            }
            stop(outcome.failure->message, detail);
        }
        read += outcome.records + outcome.records_after;
    }
    if (refused) stop_at_line(path, *refused);
    check_records_read(path, census.records, read);
    for (const ChunkSummary& chunk : saved) {
        if (output.size_of(chunk.file) != chunk.bytes || (!chunk.index_file.empty() && !output.size_of(chunk.index_file))) {
            const std::string chunk_path = output.path_of(chunk.file);
            stop(chunk_path + ": changed after it was saved",
                 StopDetail::io_reason(ESTALE, chunk_path, "changed after it was saved, by another run or process"));
        }
    }
}

}  // namespace

std::vector<ChunkSummary> scatter_on(TaskRunner& runner, const ScatterOptions& given, uint64_t range_bytes,
                                     uint64_t part_bytes) {
    ScatterOptions options = given;
    take_index_name(options);
    check_scatter_options(options);
    ClusterInput input = open_cluster_input(options);
    const std::string tag = run_tag();
    std::unique_ptr<RunOutput> output = open_run_output(options, input.source->identity(), tag);
    // A size that says nothing (files of /proc) is read as a stream, and so are plain
    // gzip, which cannot be cut into ranges, and a URL whose server answers no ranges:
    // locally.
    if (!input.source->seekable() || !input.source->size() || input.format == InputFormat::Gzip) {
        return run_local(options, *output, std::move(input.source));
    }

    ProgressClock progress(options.listener, input.task.size, 2);
    const Census census =
        count(runner, range_tasks(input.task, runner.slots(), range_bytes, part_bytes, options.place.any()));
    progress.end_pass(input.task.size);
    // A header line among the records changes the header of later chunks: the local
    // plan handles it as it always has.
    if (census.late_header) return run_local(options, *output, std::move(input.source));

    const std::vector<uint64_t> sizes = plan_sizes(runner, census, options, input.task);
    // Records after a contig that comes back are refused once the chunks before it are saved.
    std::optional<InputProblem> refused;
    if (options.place.by_contig) refused = census.comes_back;
    const std::unique_ptr<Folder::Mark> run = mark_run(*output, options.output_dir, tag);
    const std::vector<ChunkTask> tasks = chunk_tasks(census, sizes, !refused, options, input.task, *output, tag);
    auto [outcomes, saved] = write(runner, tasks, census, options, *output, progress, input.task.size);
    verify(outcomes, tasks, saved, census, input.task.name, output->target(), refused);
    finish_scatter(*output, saved, options.format);
    return saved;
}

}  // namespace kestrel
