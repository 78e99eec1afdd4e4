#include "base/stop.hpp"

#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace kestrel {
namespace {

enum class TraceStyle { None, Short, Full };

TraceStyle trace_style() {
    // Read once: later changes of the environment do not alter the reports.
    static const TraceStyle style = [] {
        const char* value = std::getenv("RUST_BACKTRACE");
        if (value == nullptr || std::strcmp(value, "0") == 0) return TraceStyle::None;
        if (std::strcmp(value, "full") == 0) return TraceStyle::Full;
        return TraceStyle::Short;
    }();
    return style;
}

std::atomic<bool> first_failure{true};
thread_local int reports_in_progress = 0;
thread_local int quiet_depth = 0;

std::string demangle(const char* symbol) {
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> plain(
        abi::__cxa_demangle(symbol, nullptr, nullptr, &status), std::free);
    return status == 0 && plain ? std::string(plain.get()) : std::string(symbol);
}

// Contract text (docs/errors.md): every text and form below, to the letter.
void write_stack_trace(bool full) {
    void* frames[128];
    const int count = backtrace(frames, 128);
    std::string text = "stack backtrace:\n";
    // Frame 0 is this function and frame 1 the report; the trace starts at the stop.
    for (int i = 2, shown = 0; i < count; ++i, ++shown) {
        Dl_info info{};
        std::string name = "<unknown>";
        if (dladdr(frames[i], &info) != 0 && info.dli_sname != nullptr) {
            name = demangle(info.dli_sname);
        }
        char line[64];
        std::snprintf(line, sizeof line, "%4d: ", shown);
        text += line;
        if (full) {
            std::snprintf(line, sizeof line, "%p - ", frames[i]);
            text += line;
        }
        text += name;
        if (full && info.dli_fname != nullptr) {
            text += "\n             in ";
            text += info.dli_fname;
        }
        text += '\n';
    }
    if (!full) {
        text += "note: Some details are omitted, run with `RUST_BACKTRACE=full` for a verbose backtrace.\n";
    }
    write_to_stderr(text);
}

}  // namespace

void write_to_stderr(std::string_view text) noexcept {
    while (!text.empty()) {
        const ssize_t written = ::write(STDERR_FILENO, text.data(), text.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        text.remove_prefix(static_cast<size_t>(written));
    }
}

namespace {

std::atomic<InterruptCheck> interrupt_check{nullptr};
// Often enough that a call ends well within a second of Ctrl-C; seldom enough that
// taking the interpreter lock back costs nothing measurable.
constexpr int64_t kInterruptInterval = 20'000'000;

int64_t steady_nanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

void set_interrupt_check(InterruptCheck check) noexcept { interrupt_check.store(check); }

void check_interrupt() {
    if (InterruptCheck check = interrupt_check.load(std::memory_order_relaxed)) check();
}

void InterruptPoll::operator()() {
    if (interrupt_check.load(std::memory_order_relaxed) == nullptr) return;
    const int64_t now = steady_nanoseconds();
    if (now < next_) return;
    next_ = now + kInterruptInterval;
    check_interrupt();
}

void prepare_thread_for_failures() noexcept {
    // Both live in thread-local storage that a loaded library gets on first use.
    static_cast<void>(std::uncaught_exceptions());
    [[maybe_unused]] volatile int in_progress = reports_in_progress;
}

// Contract text (docs/errors.md): every text and form below, to the letter.
void write_failure_report(std::string_view message, const SourceLocation& where) noexcept {
    if (reports_in_progress > 0) {
        write_to_stderr("thread panicked while processing panic. aborting.\n");
        std::abort();
    }
    ++reports_in_progress;
    try {
        std::string line = "thread '<unnamed>' panicked at '";
        line += message;
        line += "', ";
        line += where.file_name();
        line += ':';
        line += std::to_string(where.line());
        line += ':';
        line += std::to_string(where.column());
        line += '\n';
        write_to_stderr(line);
        switch (trace_style()) {
        case TraceStyle::None:
            if (first_failure.exchange(false)) {
                write_to_stderr(
                    "note: run with `RUST_BACKTRACE=1` environment variable to display a backtrace\n");
            }
            break;
        case TraceStyle::Short: write_stack_trace(false); break;
        case TraceStyle::Full: write_stack_trace(true); break;
        }
    } catch (...) {
        // Out of memory while composing the report: the first line is all we can give.
    }
    --reports_in_progress;
}

void stop(std::string message, SourceLocation where) { stop(std::move(message), StopDetail{}, where); }

void stop(std::string message, StopDetail detail, SourceLocation where) {
    if (quiet_depth == 0) write_failure_report(message, where);
    throw Stop(std::move(message), where, std::move(detail));
}

QuietStops::QuietStops(bool quiet) : quiet_(quiet) { quiet_depth += quiet_ ? 1 : 0; }
QuietStops::~QuietStops() { quiet_depth -= quiet_ ? 1 : 0; }

bool stops_are_quiet() noexcept { return quiet_depth > 0; }

void stop_silently(std::string message, SourceLocation where) {
    throw Stop(std::move(message), where);
}

// Contract text (docs/errors.md): every text and form below, to the letter.
void abort_at_boundary(SourceLocation where) noexcept {
    write_failure_report("uncaught panic at ffi boundary", where);
    write_to_stderr("thread panicked while panicking. aborting.\n");
    std::abort();
}

// Contract text (docs/errors.md): callers match on it to the letter.
void abort_from_worker() noexcept {
    write_to_stderr("Rayon: detected unexpected panic; aborting\n");
    std::abort();
}

}  // namespace kestrel
