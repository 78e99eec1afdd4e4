#include "bgzf/parallel_reader.hpp"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <new>
#include <vector>

#include "base/stop.hpp"
#include "bgzf/block_header_reader.hpp"
#include "bgzf/deflate.hpp"
#include "bgzf/header.hpp"
#include "bgzf/inflate_job.hpp"
#include "bgzf/read_ahead.hpp"

namespace kestrel::bgzf {
namespace {

// Failures that stop the call rather than being returned.
enum class StopReason : uint8_t { HeaderLongerThanBlock, AllocationFailed };
using Failure = std::variant<BgzfError, StopReason>;

// Returns the error, or raises the stop, of a failure the caller has reached.
BgzfError report(const Failure& failure) {
    if (const auto* reason = std::get_if<StopReason>(&failure)) {
        // Checked explicitly so that a 64-bit build stops like the 32-bit one, where
        // the difference of header length and block size does not fit the size type.
        if (*reason == StopReason::HeaderLongerThanBlock) {
// Contract text (docs/errors.md): callers match on it to the letter.
            stop_with("called `Result::unwrap()` on an `Err` value", TryFromIntError{},
                      StopDetail::input({}, 0, "a BGZF block header is longer than its block"));
        }
        stop(kMemoryExhausted);
    }
    return std::get<BgzfError>(failure);
}

bool is_eof_marker_payload(std::span<const uint8_t> payload) {
    constexpr size_t header = kEofMarker.size() - 10;
    return payload.size() == kEofMarker.size() - header &&
           std::equal(payload.begin(), payload.end(), kEofMarker.begin() + header);
}

// Job k runs in slot k % slots: jobs are handed out in the order they were started,
// so a slot is free again once its job is handed out.
struct Slot {
    std::optional<InflateJob> job;  // made on the slot's first use
    size_t next_block = 0;          // the first block not yet handed out
    bool done = false;              // under State::mutex
    bool allocation_failed = false;  // under State::mutex
};

}  // namespace

struct ParallelBgzfReader::State {
    State(std::unique_ptr<ByteSource> source, runtime::JobRunner& job_runner, const ParallelReaderSettings& settings)
        : input(std::move(source), settings.read_size, settings.read_ahead_until),
          runner(job_runner),
          blocks_per_job(std::max<size_t>(settings.blocks_per_job, 1)),
          stop_after(settings.stop_after),
          tally(settings.tally),
          slots(settings.jobs_in_flight > 0 ? settings.jobs_in_flight
                                            : 2 * std::max<size_t>(job_runner.thread_count(), 1)),
          buffers(blocks_per_job * kMaxBlockOutput, slots.size() + 2) {}

    // No job may outlive the slot it writes to.
    ~State() {
        std::unique_lock lock(mutex);
        job_done.wait(lock, [this] { return in_flight == 0; });
    }

    void top_up();
    // Past read_ahead_until: one block at a time.
    bool wary() const { return input.position() >= input.ahead_until(); }
    void read_block(InflateJob& job);
    bool another_member_follows();
    void fail(Failure failure) {
        parse_failure = std::move(failure);
        parsing_done = true;
    }
    void dispatch(Slot& slot);
    void run_job(Slot& slot) noexcept;
    Slot& wait_for_head();
    std::optional<BgzfError> settle(Slot& slot, InflateJob::Block& block);

    ReadAhead input;
    runtime::JobRunner& runner;
    size_t blocks_per_job;
    uint64_t stop_after;
    BlockTally tally;
    std::vector<BlockNote> notes;  // of the last piece handed out, with a tally
    bool stopped_at_limit = false;
    std::vector<Slot> slots;
    runtime::BufferPool buffers;  // one per slot, and two for pieces the caller holds
    uint64_t dispatched = 0;
    uint64_t handed_out = 0;  // jobs whose every block was handed out
    bool parsing_done = false;
    bool read_a_block = false;
    // Where parsing stopped; it comes after every job started, so it is reached
    // once they are all handed out.
    std::optional<Failure> parse_failure;
    // Reached: every later call reports it again.
    std::optional<Failure> reached_failure;

    std::mutex mutex;
    std::condition_variable job_done;
    size_t in_flight = 0;  // under mutex
};

// Starts jobs until every slot is busy or the input is parsed to its end.
void ParallelBgzfReader::State::top_up() {
    try {
        while (!parsing_done && dispatched - handed_out < (wary() ? 1 : slots.size())) {
            Slot& slot = slots[dispatched % slots.size()];
            if (!slot.job) slot.job.emplace(blocks_per_job);
            InflateJob& job = *slot.job;
            job.begin(buffers.acquire());  // waits while the caller holds every spare buffer
            while (!job.full() && !parsing_done && !(wary() && !job.empty())) read_block(job);
            if (job.empty()) {
                job.release_output();
                return;
            }
            dispatch(slot);
        }
    } catch (...) {
        // Blocks parsed into a job that never started are lost: the stream cannot go on.
        reached_failure = StopReason::AllocationFailed;
        throw;
    }
}

void ParallelBgzfReader::State::read_block(InflateJob& job) {
    if (input.position() >= stop_after) {
        stopped_at_limit = true;
        parsing_done = true;
        return;
    }
    const uint64_t offset = input.position();
    auto header_result = read_block_header(input);
    if (auto* error = std::get_if<BgzfError>(&header_result)) return fail(std::move(*error));
    if (std::holds_alternative<CleanEnd>(header_result)) {
        // Many writers leave out the marker; only an input without any block is damaged.
        if (!read_a_block) return fail(BgzfError::io(unexpected_eof()));
        parsing_done = true;
        return;
    }
    const auto& header = std::get<BlockHeader>(header_result);
    if (header.header_length > header.block_size) return fail(StopReason::HeaderLongerThanBlock);
    const size_t length = header.block_size - header.header_length;
    auto ahead = input.ensure(length);
    if (auto* error = std::get_if<IoError>(&ahead)) return fail(BgzfError::io(*error));
    const auto bytes = std::get<std::span<const uint8_t>>(ahead);
    if (bytes.size() < length) return fail(BgzfError::io(unexpected_eof()));
    const auto payload = bytes.first(length);
    read_a_block = true;
    job.add_block(payload, offset);
    const bool marker = header.is_eof_marker_header && is_eof_marker_payload(payload);
    input.advance(length);
    if (marker && !another_member_follows()) parsing_done = true;
}

// BGZF files are concatenated by design (an empty one is just the marker), so a
// marker ends the input only when another gzip member follows; other bytes after it
// are padding and are ignored.
bool ParallelBgzfReader::State::another_member_follows() {
    auto ahead = input.ensure(2);
    if (std::holds_alternative<IoError>(ahead)) return false;
    return starts_like_gzip(std::get<std::span<const uint8_t>>(ahead));
}

void ParallelBgzfReader::State::dispatch(Slot& slot) {
    slot.next_block = 0;
    {
        std::lock_guard lock(mutex);
        slot.done = false;
        slot.allocation_failed = false;
        ++in_flight;
    }
    try {
        runner.submit(runtime::Job([this, &slot] { run_job(slot); }));
    } catch (...) {
        std::lock_guard lock(mutex);
        --in_flight;
        throw;
    }
    ++dispatched;
}

// On a worker: touches nothing but the slot and the completion state.
void ParallelBgzfReader::State::run_job(Slot& slot) noexcept {
    bool allocation_failed = false;
    try {
        slot.job->run(tally);
    } catch (const std::bad_alloc&) {
        allocation_failed = true;
    }
    std::lock_guard lock(mutex);
    slot.allocation_failed = allocation_failed;
    slot.done = true;
    --in_flight;
    // Still under the lock: once it is released the reader may be gone.
    job_done.notify_all();
}

Slot& ParallelBgzfReader::State::wait_for_head() {
    Slot& head = slots[handed_out % slots.size()];
    std::unique_lock lock(mutex);
    job_done.wait(lock, [&head] { return head.done; });
    if (head.allocation_failed) reached_failure = StopReason::AllocationFailed;
    return head;
}

// Reports a failed block (and passes over it), or finds that it decodes after all.
std::optional<BgzfError> ParallelBgzfReader::State::settle(Slot& slot, InflateJob::Block& block) {
    if (block.outcome == BlockOutcome::Ok) return std::nullopt;
    ++slot.next_block;  // passed over, whatever it reports, a stop included
    auto finished = finish_block(block.outcome, slot.job->payload(block), slot.job->output(block));
    if (auto* error = std::get_if<BgzfError>(&finished)) return std::move(*error);
    --slot.next_block;
    block.outcome = BlockOutcome::Ok;
    if (tally != nullptr) block.tally = tally(slot.job->output(block));
    return std::nullopt;
}

ParallelBgzfReader::ParallelBgzfReader(std::unique_ptr<ByteSource> source, runtime::JobRunner& runner,
                                       ParallelReaderSettings settings)
    : state_(std::make_unique<State>(std::move(source), runner, settings)) {}

uint64_t ParallelBgzfReader::bytes_read() const { return state_->input.bytes_read(); }

std::span<const BlockNote> ParallelBgzfReader::notes() const { return state_->notes; }

bool ParallelBgzfReader::stream_ended() const { return !state_->stopped_at_limit; }

ParallelBgzfReader::ParallelBgzfReader(ParallelBgzfReader&&) noexcept = default;
ParallelBgzfReader& ParallelBgzfReader::operator=(ParallelBgzfReader&&) noexcept = default;
ParallelBgzfReader::~ParallelBgzfReader() = default;

std::variant<runtime::Piece, BgzfError> ParallelBgzfReader::next() {
    State& state = *state_;
    for (;;) {
        if (state.reached_failure) return report(*state.reached_failure);
        state.top_up();
        if (state.handed_out == state.dispatched) {
            if (!state.parse_failure) return runtime::Piece{};
            state.reached_failure = std::move(state.parse_failure);
            state.parse_failure.reset();
            continue;
        }
        Slot& head = state.wait_for_head();
        if (state.reached_failure) continue;
        InflateJob& job = *head.job;
        const auto blocks = job.blocks();
        while (head.next_block < blocks.size()) {
            if (auto error = state.settle(head, blocks[head.next_block])) return std::move(*error);
            // Good blocks that follow each other lie next to each other in the output.
            const size_t first = head.next_block;
            size_t end = first + 1;
            while (end < blocks.size() && blocks[end].outcome == BlockOutcome::Ok) ++end;
            head.next_block = end;
            if (state.tally != nullptr) {
                state.notes.clear();
                for (size_t i = first; i < end; ++i) state.notes.push_back({blocks[i].offset, blocks[i].output_length, blocks[i].tally});
            }
            const uint8_t* from = job.output(blocks[first]).data();
            const uint8_t* to = job.output(blocks[end - 1]).data() + blocks[end - 1].output_length;
            if (to != from) return runtime::Piece{job.output_buffer(), {from, to}};
        }
        job.release_output();
        ++state.handed_out;
    }
}

std::optional<BgzfError> ParallelBgzfReader::check_first_block() {
    State& state = *state_;
    state.top_up();
    if (state.handed_out == state.dispatched) {
        if (!state.parse_failure) return std::nullopt;
        state.reached_failure = std::move(state.parse_failure);
        state.parse_failure.reset();
        return report(*state.reached_failure);
    }
    Slot& head = state.wait_for_head();
    if (state.reached_failure) return report(*state.reached_failure);
    return state.settle(head, head.job->blocks().front());
}

}  // namespace kestrel::bgzf
