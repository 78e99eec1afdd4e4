// A "stop" ends the whole call: it carries the failure message and the place that
// raised it, writes the failure report to standard error at once, and travels as a
// C++ exception to the entry's catch, releasing everything on its way.
#pragma once

#include <exception>
#include <string>
#include <string_view>

#include "interface/source_location.hpp"

namespace kestrel {

class Stop : public std::exception {
public:
    Stop(std::string message, SourceLocation where)
        : message_(std::move(message)), where_(where) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    const SourceLocation& where() const noexcept { return where_; }

private:
    std::string message_;
    SourceLocation where_;
};

// Writes the failure report, then throws Stop.
[[noreturn]] void stop(std::string message,
                       SourceLocation where = SourceLocation::current());

// "<context>: <debug form of the error>", the shape of every stop caused by an error.
template <class Error>
[[noreturn]] void stop_with(std::string_view context, const Error& error,
                            SourceLocation where = SourceLocation::current()) {
    std::string message(context);
    message += ": ";
    message += error.debug();
    stop(std::move(message), where);
}

// The stop of an operation whose failure was not expected at all.
template <class Error>
[[noreturn]] void stop_unwrap(const Error& error,
                              SourceLocation where = SourceLocation::current()) {
    stop_with("called `Result::unwrap()` on an `Err` value", error, where);
}

// A value that does not fit the integer type it is converted to.
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

// Writes raw text to file descriptor 2, ignoring failures.
void write_to_stderr(std::string_view text) noexcept;

// A stop escaped every catch of an entry: report the guard's own message, then abort.
[[noreturn]] void abort_at_boundary(SourceLocation where = SourceLocation::current()) noexcept;

// A stop on a worker thread of the compression pool ends the process.
[[noreturn]] void abort_from_worker() noexcept;

}  // namespace kestrel
