// Python exceptions carried through the engine as values (base/stop.hpp Interrupted):
// taken from the interpreter where a call into Python failed, and made pending again
// where the call ends, so that no catch, no other thread and no later call into Python
// on the way can lose or trip over them.
//
// Contract: throw_python_error and restore_interrupted need the interpreter lock; the
// value an Interrupted carries may be dropped on any thread (it takes the lock to let
// its references go). check_python_signals suits set_interrupt_check (base/stop.hpp).
#pragma once

#include <Python.h>

#include "base/stop.hpp"

namespace kestrel::py {

// Ends the call with the interpreter's pending exception, taken out of the interpreter
// into the Interrupted; a SystemError naming `what` when none is pending.
[[noreturn]] void throw_python_error(const char* what = "a call into Python");

// The Interrupted of the pending exception, taken out of the interpreter, for a caller
// that hands it on rather than throwing it.
Interrupted take_python_error(const char* what = "a call into Python");

// Makes what `interrupted` carries the pending exception. One that carries nothing
// leaves what is pending, or sets a SystemError saying `what` failed without one.
void restore_interrupted(const Interrupted& interrupted, const char* what);

// Runs the interpreter's signal handlers on the thread of a call that works without
// the lock (only the main thread runs them; elsewhere this does nothing). A handler
// that raises ends the call with its exception (Interrupted, carrying it).
void check_python_signals();

// An interruption met where it cannot end the call at once (a write, which can only
// fail), kept on this thread until the call ends: it is the call's exception then,
// whatever stop the failed write caused. A later one does not replace it.
void keep_interruption(Interrupted interrupted);
// Clears the pending exception, but keeps one that is no Exception (a signal handler's
// KeyboardInterrupt, SystemExit) as above: the call must still end with it.
void clear_keeping_interruptions();
// The interruption kept on this thread, no longer kept; false when there is none.
bool take_kept_interruption(Interrupted& into);

}  // namespace kestrel::py
