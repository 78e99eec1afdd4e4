// A "stop" ends the whole call: it carries the failure message and the place that
// raised it, writes the failure report to standard error at once, and travels as a
// C++ exception to the entry's catch, releasing everything on its way.
//
// Contract: stop() and its variants never return. They may be raised on any thread;
// the report is written where the stop happens (fd 2, write errors ignored). A stop
// on a worker of the compression pool ends the process (runtime/worker_pool.hpp).
// Thread-safe: the only shared state is the once-per-process note line, exchanged
// atomically, and the RUST_BACKTRACE setting, read once.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <version>

// The place in the source that raised a stop. std::source_location needs a compiler
// builtin that clang 14 (the fuzzing build) lacks with libstdc++ 12; there a
// stand-in with the same members is built from the older builtins.
#if defined(__cpp_lib_source_location)
#include <source_location>

namespace kestrel {
using SourceLocation = std::source_location;
}  // namespace kestrel

#else
#include <cstdint>

namespace kestrel {

class SourceLocation {
public:
    static constexpr SourceLocation current(const char* file = __builtin_FILE(),
                                            const char* function = __builtin_FUNCTION(),
                                            uint_least32_t line = __builtin_LINE(),
                                            uint_least32_t column = __builtin_COLUMN()) noexcept {
        SourceLocation location;
        location.file_ = file;
        location.function_ = function;
        location.line_ = line;
        location.column_ = column;
        return location;
    }

    constexpr const char* file_name() const noexcept { return file_; }
    constexpr const char* function_name() const noexcept { return function_; }
    constexpr uint_least32_t line() const noexcept { return line_; }
    constexpr uint_least32_t column() const noexcept { return column_; }

private:
    const char* file_ = "";
    const char* function_ = "";
    uint_least32_t line_ = 0;
    uint_least32_t column_ = 0;
};

}  // namespace kestrel
#endif

namespace kestrel {

// What a stop is about, in terms a caller can raise its own kind of error from: a
// file operation that failed, input that cannot be used, or a request that cannot be
// met (arguments that do not fit the input).
struct StopDetail {
    enum class Kind : uint8_t { None, Io, Input, Usage };
    Kind kind = Kind::None;
    int os_code = 0;    // Io: the system's error number; 0 when the error has none
    std::string path;   // the file concerned; empty when none is
    uint64_t line = 0;  // Input: the line of the input (from 1); 0 when not known
    std::string text;   // what went wrong, in plain words
    // Io: `text` says it better than the system's words for `os_code`.
    bool text_is_reason = false;

    static StopDetail io(int os_code, std::string path, std::string text) {
        return {Kind::Io, os_code, std::move(path), 0, std::move(text)};
    }
    static StopDetail io_reason(int os_code, std::string path, std::string reason) {
        return {Kind::Io, os_code, std::move(path), 0, std::move(reason), true};
    }
    static StopDetail input(std::string path, uint64_t line, std::string text) {
        return {Kind::Input, 0, std::move(path), line, std::move(text)};
    }
    static StopDetail usage(std::string text) { return {Kind::Usage, 0, {}, 0, std::move(text)}; }
};

// Contract text: the message of every failure to allocate memory, on any thread.
inline constexpr char kMemoryExhausted[] = "memory allocation failed";

class Stop : public std::exception {
public:
    Stop(std::string message, SourceLocation where, StopDetail detail = {})
        : message_(std::move(message)), where_(where), detail_(std::move(detail)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    const SourceLocation& where() const noexcept { return where_; }
    const StopDetail& detail() const noexcept { return detail_; }

private:
    std::string message_;
    SourceLocation where_;
    StopDetail detail_;
};

// Writes the failure report (unless stops are quiet on this thread), then throws Stop.
[[noreturn]] void stop(std::string message,
                       SourceLocation where = SourceLocation::current());
[[noreturn]] void stop(std::string message, StopDetail detail,
                       SourceLocation where = SourceLocation::current());

// While one exists, stops raised on this thread write no failure report: for callers
// that turn stops into errors of their own, from the detail. The mode is the thread's:
// work that a quiet call hands to another thread takes it along, by capturing
// stops_are_quiet() as it is handed out and running under QuietStops(captured).
class QuietStops {
public:
    // `quiet` false: changes nothing (work handed out by a call that reports its stops).
    explicit QuietStops(bool quiet = true);
    ~QuietStops();
    QuietStops(const QuietStops&) = delete;
    QuietStops& operator=(const QuietStops&) = delete;

private:
    bool quiet_;
};

// Whether stops raised on this thread now write no report.
bool stops_are_quiet() noexcept;

// "<context>: <debug form of the error>", the shape of every stop caused by an error.
template <class Error>
[[noreturn]] void stop_with(std::string_view context, const Error& error,
                            SourceLocation where = SourceLocation::current()) {
    std::string message(context);
    message += ": ";
    message += error.debug();
    stop(std::move(message), where);
}
template <class Error>
[[noreturn]] void stop_with(std::string_view context, const Error& error, StopDetail detail,
                            SourceLocation where = SourceLocation::current()) {
    std::string message(context);
    message += ": ";
    message += error.debug();
    stop(std::move(message), std::move(detail), where);
}

// The stop of an operation whose failure was not expected at all.
// Contract text (docs/errors.md): callers match on it to the letter.
template <class Error>
[[noreturn]] void stop_unwrap(const Error& error,
                              SourceLocation where = SourceLocation::current()) {
    stop_with("called `Result::unwrap()` on an `Err` value", error, where);
}

// A value that does not fit the integer type it is converted to.
// Contract text (docs/errors.md): callers match on it to the letter.
struct TryFromIntError {
    std::string debug() const { return "TryFromIntError(())"; }
};

// Throws Stop without a report: for a failure that has already been reported
// elsewhere (a panic coming back through Python).
[[noreturn]] void stop_silently(std::string message,
                                SourceLocation where = SourceLocation::current());

// The failure report of Stop: "thread '<unnamed>' panicked at '...', file:line:col",
// then the note line (first report of the process only) or a stack trace, as
// RUST_BACKTRACE asks.
void write_failure_report(std::string_view message, const SourceLocation& where) noexcept;

// An exception of the embedding program (a Python exception that a callback, a
// signal handler or a store raised), held as a value: the interface layer that took
// it puts it back where the call ends, whichever thread or catch it passed on the way.
// Dropped on any thread.
class ForeignError {
public:
    virtual ~ForeignError() = default;
    // Makes it the embedding program's pending exception again (under whatever lock
    // that program asks for), the value keeping its own.
    virtual void restore() const noexcept = 0;
};

// A call ended from outside: the embedding program's signal handler or one of its
// callbacks raised (Ctrl-C in Python, a store that failed). Not a failure of the call:
// no report is written, and the interface layer raises what was raised, which the
// exception carries. Travels like a stop, releasing everything, but is no
// std::exception, so that no catch of the engine's own failures takes it for one.
class Interrupted {
public:
    Interrupted() noexcept = default;
    explicit Interrupted(std::shared_ptr<const ForeignError> error) noexcept : error_(std::move(error)) {}

    const char* what() const noexcept { return "interrupted"; }
    // What the embedding program raised, or null when it was left pending there.
    const ForeignError* error() const noexcept { return error_.get(); }

private:
    std::shared_ptr<const ForeignError> error_;
};

// The embedding program's check for interruption, installed once per process. On the
// thread of a running call it throws Interrupted when the call must end and returns
// otherwise; on any other thread it does nothing. It may run arbitrary code (a
// signal handler), so it is only called where no lock of ours is held.
using InterruptCheck = void (*)();
void set_interrupt_check(InterruptCheck check) noexcept;
// Runs the check now: after a system call was interrupted, and between pieces of work.
void check_interrupt();

// Runs the check when `interval` has passed since it last ran, so that long work
// notices an interruption promptly without paying for a check every time.
class InterruptPoll {
public:
    void operator()();

private:
    int64_t next_ = 0;  // steady-clock nanoseconds
};

// Makes this thread's failure bookkeeping (ours and the C++ runtime's exception
// state) exist now: when memory has run out it can no longer be made, and the C
// library then aborts the process instead of letting the failure be reported.
void prepare_thread_for_failures() noexcept;

// Writes raw text to file descriptor 2, ignoring failures.
void write_to_stderr(std::string_view text) noexcept;

// A stop escaped every catch of an entry: report the guard's own message, then abort.
[[noreturn]] void abort_at_boundary(SourceLocation where = SourceLocation::current()) noexcept;

// A stop on a worker thread of the compression pool ends the process.
[[noreturn]] void abort_from_worker() noexcept;

}  // namespace kestrel
