#include "split/distributed.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <random>

#include "base/file.hpp"
#include "bgzf/block_scan.hpp"
#include "bgzf/header.hpp"
#include "index/binning_index.hpp"
#include "split/inputs.hpp"
#include "split/line_splitter.hpp"
#include "split/outputs.hpp"
#include "split/split_loop.hpp"

namespace kestrel {
namespace {

// What a range's bytes hold: their first and last byte, and the lines that start
// after a line feed inside them (a line feed at the range's very end starts the next
// range's first line).
class LineCensus {
public:
    void feed(std::span<const uint8_t> bytes) {
        if (bytes.empty()) return;
        if (count_.empty) {
            count_.empty = false;
            count_.first_byte = bytes[0];
        } else if (pending_line_start_) {
            line_starts(bytes[0]);
        }
        const uint8_t* const end = bytes.data() + bytes.size();
        for (const uint8_t* at = bytes.data(); at < end - 1;) {
            const auto* line_feed = static_cast<const uint8_t*>(std::memchr(at, '\n', static_cast<size_t>(end - 1 - at)));
            if (line_feed == nullptr) break;
            line_starts(line_feed[1]);
            at = line_feed + 1;
        }
        pending_line_start_ = end[-1] == '\n';
        count_.ends_with_line_feed = pending_line_start_;
    }
    RangeCount& count() { return count_; }

private:
    void line_starts(uint8_t first) {
        if (first == '#') {
            ++count_.header_lines;
            count_.header_after_record |= count_.records > 0;
        } else {
            ++count_.records;
        }
    }

    RangeCount count_;
    bool pending_line_start_ = false;
};

// Passes on the lines of one chunk from the stream of the range holding its first
// record: drops a partial first line, then `skip` records (and the header lines
// before them, which the chunk has already), then passes `take` records. After them,
// counts the records that follow when asked to (the input's last chunk).
class LineWindow final : public PieceFilter {
public:
    LineWindow(bool starts_line, uint64_t skip, uint64_t take, bool count_rest)
        : phase_(starts_line ? Phase::Skip : Phase::Partial),
          skip_(skip),
          take_(take),
          count_rest_(count_rest),
          at_line_start_(starts_line) {
        if (phase_ == Phase::Skip && skip_ == 0) phase_ = Phase::Take;
    }

    // The part of `bytes` that the chunk takes: one run, since its lines follow each other.
    std::span<const uint8_t> pass(std::span<const uint8_t> bytes) override {
        size_t from = bytes.size(), to = bytes.size();
        size_t at = 0;
        while (at < bytes.size() && !done()) {
            if (at_line_start_) start_line(bytes[at]);
            const auto* line_feed = static_cast<const uint8_t*>(std::memchr(bytes.data() + at, '\n', bytes.size() - at));
            const size_t end = line_feed != nullptr ? static_cast<size_t>(line_feed - bytes.data()) + 1 : bytes.size();
            if (line_passed_) {
                from = std::min(from, at);
                to = end;
            }
            at_line_start_ = line_feed != nullptr;
            at = end;
        }
        return from < to ? bytes.subspan(from, to - from) : std::span<const uint8_t>();
    }

    bool done() const override { return phase_ == Phase::Done; }
    uint64_t taken() const { return taken_; }
    uint64_t after() const { return after_; }

private:
    enum class Phase { Partial, Skip, Take, After, Done };

    void start_line(uint8_t first) {
        line_passed_ = false;
        if (phase_ == Phase::Partial) phase_ = skip_ > 0 ? Phase::Skip : Phase::Take;
        const bool record = first != '#';
        if (phase_ == Phase::Skip) {
            if (record && ++skipped_ == skip_) phase_ = Phase::Take;  // this record is the last one skipped
            return;
        }
        if (phase_ == Phase::Take) {
            if (taken_ == take_) {
                phase_ = count_rest_ ? Phase::After : Phase::Done;
            } else if (record) {
                ++taken_;
                line_passed_ = true;
                return;
            } else {
                return;  // header lines before the chunk's first record are in its header
            }
        }
        if (phase_ == Phase::After && record) ++after_;
    }

    Phase phase_;
    uint64_t skip_, take_;
    bool count_rest_;
    uint64_t skipped_ = 0, taken_ = 0, after_ = 0;
    bool at_line_start_ = true;
    bool line_passed_ = false;
};

// Passes on the header: the lines before the input's first record.
class HeaderLines final : public PieceFilter {
public:
    std::span<const uint8_t> pass(std::span<const uint8_t> bytes) override {
        size_t end = 0;
        while (end < bytes.size()) {
            if (at_line_start_ && bytes[end] != '#') {
                done_ = true;
                break;
            }
            const auto* line_feed = static_cast<const uint8_t*>(std::memchr(bytes.data() + end, '\n', bytes.size() - end));
            end = line_feed != nullptr ? static_cast<size_t>(line_feed - bytes.data()) + 1 : bytes.size();
            at_line_start_ = line_feed != nullptr;
        }
        return bytes.first(end);
    }
    bool done() const override { return done_; }

private:
    bool at_line_start_ = true;
    bool done_ = false;
};

// Passes on what `inner` passes, and ends the task once the run it belongs to has
// ended (checked about every second): a task whose caller is gone does not run on.
class WhileRunLasts final : public PieceFilter {
public:
    WhileRunLasts(PieceFilter& inner, const Directory& directory, const std::string& tag)
        : inner_(inner), directory_(directory), tag_(tag) {}

    std::span<const uint8_t> pass(std::span<const uint8_t> bytes) override {
        const auto now = std::chrono::steady_clock::now();
        if (now >= next_check_) {
            next_check_ = now + std::chrono::seconds(1);
            auto hold = RunHold::take(directory_, tag_);
            if (auto* error = std::get_if<IoError>(&hold)) stop_io("the run has ended:", *error, directory_.path());
        }
        return inner_.pass(bytes);
    }
    bool done() const override { return inner_.done(); }

private:
    PieceFilter& inner_;
    const Directory& directory_;
    const std::string& tag_;
    std::chrono::steady_clock::time_point next_check_ = std::chrono::steady_clock::now() + std::chrono::seconds(1);
};

TaskFailure failure_of(const Stop& stopped) { return {stopped.message(), stopped.detail()}; }

// Runs `body`, turning whatever stops it into the failure a task reports.
template <class Body>
std::optional<TaskFailure> as_failure(Body&& body) {
    const QuietStops quiet;
    try {
        body();
        return std::nullopt;
    } catch (const Stop& stopped) {
        return failure_of(stopped);
    } catch (const std::bad_alloc&) {
        return TaskFailure{kMemoryExhausted, {}};
    } catch (const std::exception& error) {
        return TaskFailure{error.what(), {}};
    }
}

// A worker could not open `name` (`what`: the input, the output directory), which
// must be at the same path on every worker: the run fails saying so.
[[noreturn]] void stop_on_worker(const IoError& error, const std::string& name, const char* what) {
    const std::string reason = system_message(error.os_code()) + " on a worker (" + what +
                               " must be at the same path on every worker)";
    stop("cannot open " + name + ": " + reason, StopDetail::io_reason(error.os_code(), name, reason));
}

// The input as a worker opens it.
std::shared_ptr<ByteSource> open_on_worker(const std::string& path, const std::string& name) {
    auto opened = open_file_source(path);
    if (auto* error = std::get_if<IoError>(&opened)) stop_on_worker(*error, name, "the input");
    return std::move(std::get<std::unique_ptr<FileSource>>(opened));
}

// `path` as every worker can open it: relative paths are taken from the caller's
// working directory.
std::string absolute(const std::string& path) {
    if (path.starts_with('/')) return path;
    std::string directory(4096, '\0');
    while (::getcwd(directory.data(), directory.size()) == nullptr) {
        if (errno != ERANGE) return path;
        directory.resize(directory.size() * 2);
    }
    directory.resize(std::strlen(directory.c_str()));
    return join_path(directory, path);
}

// The .gzi beside the input, when it is there, well-formed and not older than the input.
std::optional<bgzf::GziIndex> gzi_beside(const ByteSource& source, const std::string& path) {
    auto opened = open_file_source(path + ".gzi");
    if (!std::holds_alternative<std::unique_ptr<FileSource>>(opened)) return std::nullopt;
    auto& index = std::get<std::unique_ptr<FileSource>>(opened);
    if (!index->modified_ns() || !source.modified_ns() || *index->modified_ns() < *source.modified_ns()) {
        return std::nullopt;  // older than its data: not to be trusted
    }
    return bgzf::GziIndex::open(std::move(index));
}

runtime::JobRunner* pool_of(size_t threads) {
    return threads == 0 ? nullptr : &runtime::WorkerPool::with_threads(threads);
}

// The block start a BGZF range begins at, for a nominal offset: the first block start
// the .gzi beside the input names from there, when it checks out, else the first found
// by scanning. Every task finds the same one.
uint64_t cut_at(const ByteSource& source, const std::string& path, const std::string& name, uint64_t nominal,
               uint64_t size) {
    if (nominal == 0) return 0;
    if (nominal >= size) return size;
    if (auto gzi = gzi_beside(source, path)) {
        auto named = gzi->block_start_from(nominal);
        if (const auto* offset = std::get_if<std::optional<uint64_t>>(&named); offset && *offset) {
            auto checked = bgzf::block_starts_at(source, **offset, size);
            if (const bool* ok = std::get_if<bool>(&checked); ok && *ok) return **offset;
        }
    }
    auto found = bgzf::next_block_start(source, nominal, size);
    if (auto* error = std::get_if<IoError>(&found)) stop_io("An error occurred reading", *error, name);
    return std::get<uint64_t>(found);
}

}  // namespace

namespace {

// The census of the input's bytes in [from, to): BGZF from the block starting at
// `from` to the one starting at `to`.
RangeCount count_between(const RangeTask& task, const std::shared_ptr<const ByteSource>& source, uint64_t from,
                         uint64_t to) {
    LineCensus census;
    RangeCount& count = census.count();
    count.start = from;
    count.end = to;
    if (from >= to) return count;
    // BGZF: every block that starts before `to` (the last one read whole). Plain text:
    // the bytes up to `to`, or fewer where the file has shrunk (the chunks find out).
    bgzf::ParallelReaderSettings settings;
    settings.stop_after = to - from;
    auto input = open_input(read_from(source, from, task.compressed ? UINT64_MAX : to), task.compressed,
                            task.read_size, pool_of(task.threads), settings);
    read_through(*input, task.input_name, [&](std::span<const uint8_t> bytes) { census.feed(bytes); });
    count.stream_ends = task.compressed && input->stream_ended();
    return count;
}

}  // namespace

std::vector<RangeCount> count_range(const RangeTask& task) {
    std::vector<RangeCount> counts;
    const uint64_t end = std::min(task.end, task.size);
    const uint64_t step = task.step == 0 ? std::max<uint64_t>(end - task.start, 1) : task.step;
    uint64_t at = task.start;
    auto failure = as_failure([&] {
        const std::shared_ptr<ByteSource> source = open_on_worker(task.input, task.input_name);
        // The places where the range's parts start: every `step` bytes, BGZF at the
        // block starts every task finds alike from there.
        std::vector<uint64_t> cuts;
        for (uint64_t nominal = task.start; nominal < end; nominal += std::min(step, end - nominal)) {
            cuts.push_back(task.compressed ? cut_at(*source, task.input, task.input_name, nominal, task.size)
                                           : nominal);
        }
        cuts.push_back(task.compressed ? cut_at(*source, task.input, task.input_name, task.end, task.size) : end);
        for (size_t i = 0; i + 1 < cuts.size(); ++i) {
            at = cuts[i];
            counts.push_back(count_between(task, source, cuts[i], std::max(cuts[i], cuts[i + 1])));
            if (counts.back().stream_ends) break;
        }
    });
    if (failure) {
        RangeCount failed;
        failed.start = failed.end = at;
        failed.failure = std::move(failure);
        counts.push_back(std::move(failed));
    }
    return counts;
}

ChunkOutcome write_chunk(const ChunkTask& task) {
    ChunkOutcome outcome;
    const std::string& path = task.input_name;  // in messages, as the caller named it
    outcome.failure = as_failure([&] {
        runtime::JobRunner* runner = pool_of(task.threads);
        auto opened = Directory::open(task.output_dir, task.output_name);
        if (auto* error = std::get_if<IoError>(&opened)) stop_on_worker(*error, task.output_name, "the output directory");
        const Directory directory = std::move(std::get<Directory>(opened));
        // Another directory at its path now (the caller's was moved or replaced): the
        // chunk would not be where the caller looks for it, as in the local run.
        if (identity_of(directory.fd()) != task.output_identity) {
            stop_saving(task.number, IoError::os(ENOENT),
                        directory.path_of(batch_file_name(task.number, task.compression.has_value())));
        }
        const std::shared_ptr<ByteSource> source = open_on_worker(task.input, path);
        const std::optional<FileIdentity> identity = source->identity();

        OutputSettings settings;
        settings.compression = task.compression;
        settings.index = task.index;
        settings.input = identity;
        settings.runner = runner;
        settings.print_lines = false;
        settings.directory = &directory;
        settings.replaces_indexes = true;
        settings.flush_each = task.durable;
        settings.temporary_tag = task.tag;
        if (task.index) settings.runs = &outcome.runs;
        Outputs outputs(task.output_name, settings);
        Splitter splitter(outputs, BatchPlan{task.take, 0, task.number},
                          task.index ? Splitter::Observe::ForIndex : Splitter::Observe::ChromAndPos);
        // The header: the lines before the input's first record, read from its start.
        HeaderLines header;
        run_split(*open_input(read_from(source, 0), task.compressed, task.read_size, runner), outputs, splitter, path,
                  nullptr, &header);
        splitter.skip_lines(task.first_record);
        // The records: from the range holding the first one, as far as the chunk goes.
        LineWindow window(task.starts_line, task.skip, task.take, task.last);
        WhileRunLasts while_run_lasts(window, directory, task.tag);
        run_split(*open_input(read_from(source, task.start), task.compressed, task.read_size, runner), outputs, splitter,
                  path, nullptr, &while_run_lasts);
        finish_split(splitter, outputs, path);
        outcome.records = window.taken();
        outcome.records_after = window.after();
        if (!outputs.chunks().empty()) outcome.chunk = outputs.chunks().front();
    });
    return outcome;
}

namespace {

// A tag no other run shares, for the names of this run's temporaries.
std::string run_tag() {
    std::random_device random;
    char tag[24];
    std::snprintf(tag, sizeof tag, "%08x%08x", random(), random());
    return tag;
}

// Removes the temporaries that attempts of this run left (a task cut off, or run
// twice): ".NAME.TAG-<unique>.tmp" in the output directory.
void remove_temporaries(const Directory& directory, const std::string& tag) noexcept {
    const int fd = ::openat(directory.fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    DIR* listing = ::fdopendir(fd);
    if (listing == nullptr) {
        ::close(fd);
        return;
    }
    const std::string mark = "." + tag + "-";
    std::vector<std::string> names;
    try {
        while (const dirent* entry = ::readdir(listing)) {
            const std::string_view name = entry->d_name;
            if (name.starts_with('.') && name.ends_with(".tmp") && name.find(mark) != std::string_view::npos) {
                names.emplace_back(name);
            }
        }
    } catch (...) {
    }
    ::closedir(listing);
    for (const std::string& name : names) (void)directory.remove(name);
}

// What the tasks found about the whole input, and the ranges its records lie in.
struct Census {
    std::vector<RangeCount> ranges;   // up to where the stream ends
    std::vector<bool> starts_line;    // whether a line starts at each range's start
    std::vector<uint64_t> before;     // records in the ranges before each
    uint64_t records = 0;
    uint64_t header_lines = 0;
    bool late_header = false;         // a header line after the first record
};

Census census_of(std::vector<RangeCount> counts) {
    Census census;
    bool line_start = true, seen_record = false;
    for (RangeCount& count : counts) {
        census.starts_line.push_back(line_start);
        census.before.push_back(census.records);
        if (!count.empty) {
            if (line_start) {
                if (count.first_byte == '#') {
                    ++census.header_lines;
                    census.late_header |= seen_record;
                } else {
                    ++census.records;
                    seen_record = true;
                }
            }
            census.late_header |= count.header_after_record || (seen_record && count.header_lines > 0);
            seen_record |= count.records > 0;
            census.records += count.records;
            census.header_lines += count.header_lines;
            line_start = count.ends_with_line_feed;
        }
        const bool ends = count.stream_ends;
        census.ranges.push_back(std::move(count));
        if (ends) break;
    }
    return census;
}

}  // namespace

std::vector<ChunkSummary> scatter_on(TaskRunner& runner, const ScatterOptions& options, uint64_t range_bytes,
                                     uint64_t part_bytes) {
    check_scatter_options(options);
    const std::string& path = options.input;
    if (path == "-") {
        stop("a cluster run needs a file", StopDetail::usage("a run on a cluster needs an input file that every worker "
                                                             "can read at the same path; standard input cannot be"));
    }
    if (!options.spool_dir.empty()) spool_directory(options.spool_dir);  // checked as the local run checks it
    std::shared_ptr<ByteSource> source = open_source(path);
    if (!source->seekable()) {
        stop("a cluster run needs a file",
             StopDetail::usage("a run on a cluster needs a regular file that every worker can read; " + path +
                               " is not one"));
    }
    const std::optional<FileIdentity> identity = source->identity();
    OutputDirectory output(options.output_dir, identity);
    // A size that says nothing (files of /proc) is read as a stream: locally.
    if (!source->size()) return run_local(options, output, std::move(source));
    const uint64_t size = *source->size();
    uint8_t magic[2] = {};
    auto sniffed = read_fully_at(*source, 0, magic);
    const bool compressed = std::holds_alternative<size_t>(sniffed) && bgzf::starts_like_gzip(magic);
    if (part_bytes == 0) part_bytes = compressed ? kPartBytesBgzf : kPartBytesPlain;
    if (range_bytes == 0) {
        const uint64_t most = compressed ? kDefaultRangeBytesBgzf : kDefaultRangeBytesPlain;
        range_bytes = std::clamp<uint64_t>(size / (4 * std::max<size_t>(runner.slots(), 1)), part_bytes, most);
    }
    range_bytes = std::max(range_bytes, (size + kMaxRanges - 1) / kMaxRanges);
    part_bytes = std::max(part_bytes, (size + kMaxParts - 1) / kMaxParts);

    ProgressClock progress(options.listener, size, 2);
    std::vector<RangeTask> range_tasks;
    for (uint64_t start = 0; start < size; start += std::min(range_bytes, size - start)) {
        range_tasks.push_back({absolute(path), path, compressed, size, start,
                               start + std::min(range_bytes, size - start), std::min(range_bytes, part_bytes),
                               options.tuning.read_size, 0});
    }
    std::vector<RangeCount> counts;
    for (std::vector<RangeCount>& parts : runner.count(range_tasks)) {
        for (RangeCount& part : parts) counts.push_back(std::move(part));
    }
    Census census = census_of(std::move(counts));
    for (const RangeCount& count : census.ranges) {
        if (count.failure) stop(count.failure->message, count.failure->detail);
    }
    progress.end_pass(size);
    // A header line among the records changes the header of later chunks: the local
    // plan handles it as it always has.
    if (census.late_header) return run_local(options, output, std::move(source));

    // The chunks: sizes as the local run cuts them, each from the range holding its first record.
    std::vector<uint64_t> sizes;
    if (options.chunks > 0) {
        const uint64_t chunks = std::min(options.chunks, std::max<uint64_t>(census.records, 1));
        for (uint64_t i = 0; i < chunks && census.records > 0; ++i) {
            sizes.push_back(census.records / chunks + (i < census.records % chunks ? 1 : 0));
        }
    } else {
        for (uint64_t left = census.records; left > 0; left -= std::min(left, options.records_per_chunk)) {
            sizes.push_back(std::min(left, options.records_per_chunk));
        }
    }
    const std::string tag = run_tag();
    auto token = RunToken::create(output.get(), tag);
    if (auto* error = std::get_if<IoError>(&token)) stop_io("cannot make the run's token in", *error, output.get().path());
    // However the call ends, tasks still running (the scheduler lost, a Ctrl-C) can no
    // longer make or rename files, and what attempts left goes.
    struct RunEnded {
        RunToken token;
        const Directory& directory;
        const std::string& tag;
        ~RunEnded() {
            token.end();
            remove_temporaries(directory, tag);
        }
    } run_ended{std::move(std::get<RunToken>(token)), output.get(), tag};
    const std::optional<FileIdentity> output_identity = identity_of(output.get().fd());
    std::vector<ChunkTask> chunk_tasks;
    uint64_t first = 0;
    size_t range = 0;
    for (size_t i = 0; i < sizes.size(); ++i) {
        while (range + 1 < census.ranges.size() && census.before[range + 1] <= first) ++range;
        ChunkTask task;
        task.input = absolute(path);
        task.input_name = path;
        task.compressed = compressed;
        task.output_dir = absolute(options.output_dir);
        task.output_name = options.output_dir;
        task.output_identity = output_identity.value_or(FileIdentity{});
        task.number = static_cast<int32_t>(i + 1);
        task.start = census.ranges[range].start;
        task.starts_line = census.starts_line[range];
        task.skip = first - census.before[range];
        task.take = sizes[i];
        task.first_record = first;
        task.last = i + 1 == sizes.size();
        task.compression = options.compression;
        task.index = options.index;
        task.durable = options.manifest;
        task.tag = tag;
        task.read_size = options.tuning.read_size;
        chunk_tasks.push_back(std::move(task));
        first += sizes[i];
    }

    // Outcomes arrive in any order; the caller hears of chunks in order.
    std::vector<std::optional<ChunkOutcome>> outcomes(chunk_tasks.size());
    std::vector<ChunkSummary> saved;
    uint64_t written_records = 0;
    runner.write(chunk_tasks, [&](size_t position, ChunkOutcome outcome) {
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

    // The failure the local run meets first: chunks in order, and in a chunk the order
    // an index needs across chunks before the chunk's own failure.
    index::SortOrder order;
    uint64_t read = 0;
    for (size_t i = 0; i < outcomes.size(); ++i) {
        const ChunkOutcome& outcome = *outcomes[i];
        for (const ChromRun& run : outcome.runs) {
            if (auto problem = order.check(run.chrom, run.first_begin)) {
                stop_at_line(path, {census.header_lines + chunk_tasks[i].first_record + run.first_record + 1, *problem});
            }
            order.accept(run.chrom, run.first_begin);
            order.accept(run.chrom, run.last_begin);
        }
        if (outcome.failure) stop(outcome.failure->message, outcome.failure->detail);
        read += outcome.records + outcome.records_after;
    }
    if (read != census.records) {
        const std::string text = "the input changed while it was read: " + std::to_string(census.records) +
                                 " records counted, then " + std::to_string(read) + " read";
        stop(path + ": " + text, StopDetail::input(path, 0, text));
    }
    // Every chunk is where its task left it (an attempt of a task run twice, or cut
    // off, may not replace or remove what another one saved).
    for (const ChunkSummary& chunk : saved) {
        struct stat there {};
        if (::fstatat(output.get().fd(), chunk.file.c_str(), &there, AT_SYMLINK_NOFOLLOW) != 0 ||
            static_cast<uint64_t>(there.st_size) != chunk.bytes ||
            (!chunk.index_file.empty() && ::faccessat(output.get().fd(), chunk.index_file.c_str(), F_OK, 0) != 0)) {
            const std::string chunk_path = output.get().path_of(chunk.file);
            stop(chunk_path + ": changed after it was saved",
                 StopDetail::io_reason(ESTALE, chunk_path, "changed after it was saved, by another run or process"));
        }
    }
    if (options.manifest) {
        flush_outputs(output.get(), saved);
        write_manifest(output.get(), saved, identity);
        output.used();
    }
    return saved;
}

}  // namespace kestrel
