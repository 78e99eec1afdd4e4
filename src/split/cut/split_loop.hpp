// The loop that both entries run: the input's pieces through the line splitter to
// the outputs, with a read failure or a record that cannot go on turned into a stop
// naming the input, once the batches before it are saved.
//
// Contract: every failure stops the call (Stop with an Input or Io detail naming the
// input); waits may end it with Interrupted. Used by one thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "runtime/worker_pool.hpp"
#include "split/cut/line_splitter.hpp"
#include "split/read/inputs.hpp"
#include "split/write/chunk_summary.hpp"
#include "split/write/outputs.hpp"

namespace kestrel {

// What tests and fuzzing vary: how much is read at once (small reads put line and
// block boundaries anywhere), and where jobs run (null: the process's pool).
struct SplitTuning {
    size_t read_size = size_t{1} << 20;
    runtime::JobRunner* runner = nullptr;
};

// Every quarter second, tells the listener how far the input has been read.
class ProgressClock {
public:
    ProgressClock(ChunkListener* listener, std::optional<uint64_t> total, uint64_t passes)
        : listener_(listener), pass_(total), total_(total ? std::optional(*total * passes) : std::nullopt) {}
    // The input is read `passes` more times than planned (a plan that did not hold);
    // the next tick tells the listener of the new total at once.
    void add_passes(uint64_t passes) {
        if (total_) *total_ += *pass_ * passes;
        next_ = {};
    }

    void tick(uint64_t done_in_pass) {
        if (listener_ == nullptr) return;
        const auto now = std::chrono::steady_clock::now();
        if (now < next_) return;
        next_ = now + std::chrono::milliseconds(250);
        listener_->progress(earlier_passes_ + done_in_pass, total_);
    }
    void end_pass(uint64_t done_in_pass) { earlier_passes_ += done_in_pass; }

private:
    ChunkListener* listener_;
    std::optional<uint64_t> pass_;
    std::optional<uint64_t> total_;
    uint64_t earlier_passes_ = 0;
    std::chrono::steady_clock::time_point next_{};
};

// The stop of a failed read, naming the input.
[[noreturn]] void stop_reading(ReadFailure& failure, const std::string& path);
// The stop of a record that cannot go on: "PATH: line N: what is wrong".
[[noreturn]] void stop_at_line(const std::string& path, const InputProblem& problem);
// The next piece of the input; a stop about the input itself (a BGZF block that
// breaks the format's invariants) is given the input's path.
InputResult next_piece(Input& input, const std::string& path);
// What the splitter is to see of each piece, for runs that read a part of the input
// (a task that writes one chunk).
class PieceFilter {
public:
    // The part of `bytes` that goes on: one run of them, possibly empty.
    virtual std::span<const uint8_t> pass(std::span<const uint8_t> bytes) = 0;
    // Nothing more is wanted: reading stops.
    virtual bool done() const = 0;

protected:
    ~PieceFilter() = default;
};

// Runs the input through the splitter to its end (or until `filter` is done). A read
// failure, or a record that cannot go on, ends the call after the batches before it
// are saved.
void run_split(Input& input, Outputs& outputs, Splitter& splitter, const std::string& path, ProgressClock* progress,
               PieceFilter* filter = nullptr);
// Hands every piece of the input to `take`, to its end; a read failure stops the call
// naming the input.
void read_through(Input& input, const std::string& path, const std::function<void(std::span<const uint8_t>)>& take);
// After the input: its last line gets a line feed if it lacks one, and every batch is
// saved; a record that cannot go on ends the call as in run_split.
void finish_split(Splitter& splitter, Outputs& outputs, const std::string& path);

}  // namespace kestrel
