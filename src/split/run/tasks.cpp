#include "split/run/tasks.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <new>

#include "base/byte_source.hpp"
#include "bgzf/block_scan.hpp"
#include "split/cut/line_splitter.hpp"
#include "split/cut/split_loop.hpp"
#include "split/plan/census.hpp"
#include "split/plan/index_plan.hpp"
#include "split/read/inputs.hpp"
#include "split/run/fields.hpp"
#include "split/storage/file_system.hpp"
#include "split/storage/local_folder.hpp"
#include "split/write/batch_file.hpp"
#include "split/write/outputs.hpp"
#include "vcf/lines.hpp"

namespace kestrel {
namespace {

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
        const bool record = vcf::is_record_start(first);
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
            if (at_line_start_ && vcf::is_record_start(bytes[end])) {
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
    WhileRunLasts(PieceFilter& inner, OutputTarget& target) : inner_(inner), target_(target) {}

    std::span<const uint8_t> pass(std::span<const uint8_t> bytes) override {
        const auto now = std::chrono::steady_clock::now();
        if (now >= next_check_) {
            next_check_ = now + std::chrono::seconds(1);
            if (auto error = target_.holding([] { return std::optional<IoError>(); })) {
                stop_io("the run has ended:", *error, target_.path_of(""));
            }
        }
        return inner_.pass(bytes);
    }
    bool done() const override { return inner_.done(); }

private:
    PieceFilter& inner_;
    OutputTarget& target_;
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

// "a worker", or "the worker at ADDRESS" where its address is known.
std::string worker_named(std::string_view worker) {
    return worker.empty() ? "a worker" : "the worker at " + std::string(worker);
}

// A worker could not open `name` (`what`: the input, the output directory), which
// must be at the same path on every worker: the run fails saying so.
[[noreturn]] void stop_on_worker(const IoError& error, const std::string& name, const char* what,
                                 std::string_view worker) {
    const std::string reason = system_message(error.os_code()) + " on " + worker_named(worker) + " (" + what +
                               " must be at the same path on every worker)";
    stop("cannot open " + name + ": " + reason, StopDetail::io_reason(error.os_code(), name, reason));
}

// Opens a URL on a worker: a failure there, where the caller got through, is one of
// the worker's environment (its credentials, its network), and says so.
template <class Open>
auto open_url_on_worker(std::string_view worker, Open&& open) {
    try {
        return open();
    } catch (const Stop& stopped) {
        StopDetail detail = stopped.detail();
        const std::string where =
            " on " + worker_named(worker) + " (workers have their own environment: credentials, packages, network)";
        if (detail.kind != StopDetail::Kind::Io) stop(stopped.message() + where, std::move(detail));
        if (!detail.text_is_reason && detail.os_code != 0) detail.text = system_message(detail.os_code);
        detail.text += where;
        detail.text_is_reason = detail.os_code != 0;
        stop(stopped.message() + where, std::move(detail));
    }
}

// The input as a worker opens it: a file at the same path as the caller's, or a URL.
std::shared_ptr<ByteSource> open_on_worker(const TaskInput& input, std::string_view worker) {
    if (is_url(input.path)) {
        return open_url_on_worker(worker, [&] {
            return open_input(input.path, input.storage_options, input.version);
        });
    }
    auto opened = open_file_source(input.path);
    if (auto* error = std::get_if<IoError>(&opened)) stop_on_worker(*error, input.name, "the input", worker);
    return std::move(std::get<std::unique_ptr<FileSource>>(opened));
}

// The .gzi beside the input, when it is there (a regular file, where it is local: a
// FIFO is not waited on), well-formed and not older than the input.
std::optional<bgzf::GziIndex> gzi_beside(const ByteSource& source, const TaskInput& input) {
    const std::shared_ptr<ByteSource> index = open_index_file(input.path + ".gzi", input.storage_options);
    if (index == nullptr) return std::nullopt;  // none there
    if (!index->modified_ns() || !source.modified_ns() || *index->modified_ns() < *source.modified_ns()) {
        return std::nullopt;  // older than its data: not to be trusted
    }
    return bgzf::GziIndex::open(read_from(index, 0));
}

runtime::JobRunner* pool_of(size_t threads) {
    return threads == 0 ? nullptr : &runtime::WorkerPool::with_threads(threads);
}

// The block start a BGZF range begins at, for a nominal offset: the first block start
// the .gzi beside the input names from there, when it checks out, else the first found
// by scanning. Every task finds the same one. The .gzi is looked for once per task.
uint64_t cut_at(const ByteSource& source, const TaskInput& input, uint64_t nominal,
                std::optional<std::optional<bgzf::GziIndex>>& gzi_seen) {
    const uint64_t size = input.size;
    if (nominal == 0) return 0;
    if (nominal >= size) return size;
    if (!gzi_seen) gzi_seen = gzi_beside(source, input);
    if (auto& gzi = *gzi_seen) {
        auto named = gzi->block_start_from(nominal);
        if (const auto* offset = std::get_if<std::optional<uint64_t>>(&named); offset && *offset) {
            auto checked = bgzf::block_starts_at(source, **offset, size);
            if (const bool* ok = std::get_if<bool>(&checked); ok && *ok) return **offset;
        }
    }
    auto found = bgzf::next_block_start(source, nominal, size);
    if (auto* error = std::get_if<IoError>(&found)) stop_io("An error occurred reading", *error, input.name);
    return std::get<uint64_t>(found);
}

// The census of the BGZF blocks from the one starting at `from` to the one starting
// at `to`, read at one go, in parts that start at the first block start `step` bytes
// or more after the last part's (`at`: the part being counted). The blocks' line
// starts are tallied on the workers that inflate them; with keys, the key of a part's
// last record is finished from the blocks after it.
void count_blocks(const RangeTask& task, size_t threads, const std::shared_ptr<const ByteSource>& source,
                  uint64_t from, uint64_t to, uint64_t step, std::vector<PartCount>& parts, uint64_t& at) {
    const TaskInput& input = task.input;
    struct Counted {
        LineCensus census;
        uint64_t start, end;
    };
    const auto close = [&](Counted& done) {
        PartCount& part = done.census.finish();
        part.start = done.start;
        part.end = done.end;
        parts.push_back(std::move(part));
    };
    LineCensus census(task.keys, task.locate);
    std::optional<Counted> finishing;  // a part whose last key goes on in the blocks after it
    at = from;
    bool stream_ends = false;
    if (from < to) {
        bgzf::ParallelReaderSettings settings;
        settings.stop_after = to - from;
        settings.read_ahead_until = to - from;
        settings.tally = vcf::line_starts_inside;
        auto read = read_input(read_from(source, from, blocks_end(to), to), InputFormat::Bgzf, input.read_size,
                               pool_of(threads), settings);
        read_through(*read, input.name, [&](std::span<const uint8_t> bytes) {
            size_t in_piece = 0;
            for (const bgzf::BlockNote& block : read->notes()) {
                const std::span<const uint8_t> data = bytes.subspan(in_piece, block.length);
                in_piece += block.length;
                const uint64_t offset = from + block.offset;
                if (offset >= at + step && !census.empty()) {
                    if (finishing) close(*finishing);
                    finishing.emplace(Counted{std::move(census), at, offset});
                    census = LineCensus(task.keys);
                    at = offset;
                }
                if (finishing) {
                    finishing->census.more(data);
                    if (!finishing->census.wants_more()) {
                        close(*finishing);
                        finishing.reset();
                    }
                }
                census.feed_block(data, block.tally);
            }
        });
        stream_ends = read->stream_ended();
    }
    if (finishing) close(*finishing);
    if (!stream_ends) read_key_after(census, source, true, input.name, pool_of(threads), to);
    Counted last{std::move(census), at, to};
    close(last);
    parts.back().stream_ends = stream_ends;
}

}  // namespace

RangeCounts count_range(const RangeTask& task, size_t threads, std::string_view worker) {
    RangeCounts counts;
    const TaskInput& input = task.input;
    const uint64_t end = std::min(task.end, input.size);
    const uint64_t step = task.step == 0 ? std::max<uint64_t>(end - task.start, 1) : task.step;
    uint64_t at = task.start;
    auto failure = as_failure([&] {
        const std::shared_ptr<ByteSource> source = open_on_worker(input, worker);
        // BGZF: the range from the block start every task finds alike from its nominal
        // start to the one from its nominal end, read at one go, its parts cut where its
        // blocks start.
        if (input.compressed) {
            std::optional<std::optional<bgzf::GziIndex>> gzi;
            const uint64_t from = cut_at(*source, input, task.start, gzi);
            const uint64_t to = std::max(from, cut_at(*source, input, task.end, gzi));
            return count_blocks(task, threads, source, from, to, step, counts.parts, at);
        }
        // Plain text: the range's parts every `step` bytes, each read on its own, the last
        // record's key finished past its end.
        std::vector<uint64_t> cuts;
        for (uint64_t nominal = task.start; nominal < end; nominal += std::min(step, end - nominal)) {
            cuts.push_back(nominal);
        }
        cuts.push_back(end);
        for (size_t i = 0; i + 1 < cuts.size(); ++i) {
            at = cuts[i];
            counts.parts.push_back(count_between(source, input.compressed, input.name, input.read_size,
                                                 pool_of(threads), cuts[i], std::max(cuts[i], cuts[i + 1]),
                                                 task.keys, task.locate));
            if (counts.parts.back().stream_ends) break;
        }
    });
    if (failure) {
        PartCount failed;
        failed.start = failed.end = at;
        failed.failure = std::move(failure);
        counts.parts.push_back(std::move(failed));
    }
    return counts;
}

namespace {

// The output of a chunk task: the caller's directory, as the worker finds it at the
// same path, or a prefix in object storage; files put in place only while the run lasts.
struct TaskOutput {
    std::unique_ptr<Folder> folder;
    std::unique_ptr<OutputTarget> target;
};

TaskOutput open_task_output(const ChunkTask& task, const ByteSource& input, std::string_view worker) {
    TaskOutput output;
    if (is_url(task.output_dir)) {
        output.folder = open_url_on_worker(worker, [&] {
            return file_system_for(task.output_dir)
                .open_folder(task.output_dir, task.input.storage_options, InputName{std::nullopt, task.input.path},
                             false);
        });
    } else {
        auto opened = Directory::open(task.output_dir, task.output_name);
        if (auto* error = std::get_if<IoError>(&opened)) {
            stop_on_worker(*error, task.output_name, "the output directory", worker);
        }
        Directory& directory = std::get<Directory>(opened);
        // Another directory at its path now (the caller's was moved or replaced): the chunk
        // would not be where the caller looks for it, as in the local run.
        if (identity_of(directory.fd()) != task.output_identity) {
            stop_saving(task.number, IoError::os(ENOENT),
                        directory.path_of(batch_file_name(task.number, FileFormat::of(task.format.compression))));
        }
        output.folder = std::make_unique<LocalFolder>(std::move(directory), input.identity());
    }
    output.target = std::make_unique<OutputTarget>(*output.folder, task.tag);
    return output;
}

}  // namespace

ChunkOutcome write_chunk(const ChunkTask& task, size_t threads, std::string_view worker) {
    ChunkOutcome outcome;
    const std::string& path = task.input.name;  // in messages, as the caller named it
    outcome.failure = as_failure([&] {
        runtime::JobRunner* runner = pool_of(threads);
        const std::shared_ptr<ByteSource> source = open_on_worker(task.input, worker);
        TaskOutput output = open_task_output(task, *source, worker);

        OutputSettings settings = chunk_settings(RunMode::ChunkTask, task.format, *output.target, runner);
        if (task.format.index) settings.runs = &outcome.runs;
        Outputs outputs(task.output_name, settings);
        CountCut cuts(BatchPlan{task.take, 0, task.number});
        Splitter splitter(outputs, cuts, observe_for(task.format), task.number);
        const InputFormat format = bgzf_or_plain(task.input.compressed);
        // The header: the lines before the input's first record, read from its start a
        // block at a time (where it ends is not known; it is seldom more than a block).
        bgzf::ParallelReaderSettings wary;
        wary.read_ahead_until = 0;
        HeaderLines header;
        run_split(*read_input(read_from(source, 0, UINT64_MAX, 0), format, task.input.read_size, runner, wary), outputs,
                  splitter, path, nullptr, &header);
        splitter.skip_lines(task.first_record);
        // The records: from the range holding the first one, as far as the chunk goes,
        // read ahead as far as the part holding its last record.
        LineWindow window(task.starts_line, task.skip, task.take, task.last);
        WhileRunLasts while_run_lasts(window, *output.target);
        bgzf::ParallelReaderSettings ahead;
        if (task.expected_end != UINT64_MAX) ahead.read_ahead_until = task.expected_end - std::min(task.expected_end, task.start);
        run_split(*read_input(read_from(source, task.start, UINT64_MAX, task.expected_end), format,
                              task.input.read_size, runner, ahead),
                  outputs, splitter, path, nullptr, &while_run_lasts);
        finish_split(splitter, outputs, path);
        outcome.records = window.taken();
        outcome.records_after = window.after();
        if (!outputs.chunks().empty()) outcome.chunk = outputs.chunks().front();
    });
    return outcome;
}

namespace {

// Runs `work` on the task `bytes` hold; bytes that are no such task give a result
// that carries the failure.
template <class Task, class Result, class Work>
std::string run_task(std::string_view bytes, Work&& work) {
    Task task;
    if (fields::decode(bytes, task)) return fields::encode(work(task));
    Result result;
    TaskFailure failure{"a task could not be read: its bytes are not those of a task of this build",
                        StopDetail::usage("a task could not be read: every worker needs the same build of kestrel")};
    if constexpr (std::is_same_v<Result, RangeCounts>) {
        result.parts.emplace_back().failure = std::move(failure);
    } else {
        result.failure = std::move(failure);
    }
    return fields::encode(result);
}

}  // namespace

std::string run_range_task(std::string_view task, size_t threads, std::string_view worker) {
    return run_task<RangeTask, RangeCounts>(task,
                                            [&](const RangeTask& range) { return count_range(range, threads, worker); });
}

std::string run_chunk_task(std::string_view task, size_t threads, std::string_view worker) {
    return run_task<ChunkTask, ChunkOutcome>(task,
                                             [&](const ChunkTask& chunk) { return write_chunk(chunk, threads, worker); });
}

}  // namespace kestrel
