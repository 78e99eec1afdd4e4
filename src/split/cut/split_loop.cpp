#include "split/cut/split_loop.hpp"

#include "base/stop.hpp"

namespace kestrel {

[[noreturn]] void stop_reading(ReadFailure& failure, const std::string& path) {
    failure.detail.path = path;
    stop(std::string(failure.context) + ": " + failure.debug, std::move(failure.detail));
}

[[noreturn]] void stop_at_line(const std::string& path, const InputProblem& problem) {
    stop(path + ": line " + std::to_string(problem.line) + ": " + problem.text,
         StopDetail::input(path, problem.line, problem.text));
}

InputResult next_piece(Input& input, const std::string& path) {
    try {
        return input.next();
    } catch (const Stop& stopped) {
        if (stopped.detail().kind != StopDetail::Kind::Input || !stopped.detail().path.empty()) throw;
        StopDetail detail = stopped.detail();
        detail.path = path;
        throw Stop(stopped.message(), stopped.where(), std::move(detail));
    }
}

void run_split(Input& input, Outputs& outputs, Splitter& splitter, const std::string& path, ProgressClock* progress,
               PieceFilter* filter) {
    InterruptPoll interrupt_poll;
    while (filter == nullptr || !filter->done()) {
        interrupt_poll();
        if (progress != nullptr) progress->tick(input.bytes_read());
        InputResult next = [&] {
            try {
                return next_piece(input, path);
            } catch (const Stop&) {
                outputs.settle();  // a damaged block that stops the call comes after the batches before it
                throw;
            }
        }();
        if (auto* failure = std::get_if<ReadFailure>(&next)) {
            // Whatever the input held before the failure is saved first, as it would
            // have been had the batches been written one by one.
            outputs.settle();
            stop_reading(*failure, path);
        }
        const auto& piece = std::get<runtime::Piece>(next);
        if (piece.bytes.empty()) break;
        try {
            if (filter == nullptr) {
                splitter.feed(piece);
            } else if (const auto part = filter->pass(piece.bytes); !part.empty()) {
                splitter.feed({piece.owner, part});
            }
        } catch (const InputProblem& problem) {
            outputs.settle();
            stop_at_line(path, problem);
        }
        outputs.poll();
    }
    if (progress != nullptr) progress->end_pass(input.bytes_read());
}

void read_through(Input& input, const std::string& path, const std::function<void(std::span<const uint8_t>)>& take) {
    InterruptPoll interrupt_poll;
    for (;;) {
        interrupt_poll();
        InputResult next = next_piece(input, path);
        if (auto* failure = std::get_if<ReadFailure>(&next)) stop_reading(*failure, path);
        const auto& piece = std::get<runtime::Piece>(next);
        if (piece.bytes.empty()) return;
        take(piece.bytes);
    }
}

void finish_split(Splitter& splitter, Outputs& outputs, const std::string& path) {
    try {
        splitter.finish();
    } catch (const InputProblem& problem) {
        outputs.settle();
        stop_at_line(path, problem);
    }
    outputs.settle();
}

}  // namespace kestrel
