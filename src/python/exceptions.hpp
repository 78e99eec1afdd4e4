// The ordinary-exception style of the Python boundary (kestrel_scatter and what is
// built on it): the engine's work runs without the interpreter lock, its stops write
// no failure report, and each stop becomes the exception its StopDetail calls for:
// OSError subclasses with errno and filename, InputError (a ValueError with `path`
// and `line`), ValueError for requests that do not fit the input, MemoryError.
//
// Contract: everything here needs the interpreter lock, but for what run_released
// runs. The InputError type is made once per process and lives until it ends.
#pragma once

#include <Python.h>

#include <new>

#include "base/stop.hpp"
#include "python/py_error.hpp"
#include "python/py_lock.hpp"

namespace kestrel::py {

// The InputError type (borrowed), made on first use; null with the exception set
// when it cannot be made.
PyObject* input_error_type();

// Sets the exception that `stopped` becomes.
void raise_stop(const Stop& stopped);

// Runs `body` with the lock released and stops quiet. True when it returned; false
// with the exception set when it stopped, ran out of memory, or a callback or signal
// handler raised (Interrupted: its exception is the one set).
template <class Body>
bool run_released(Body&& body) {
    Interrupted kept;
    try {
        (void)take_kept_interruption(kept);  // none is left from an earlier call
        {
            const LockReleased released;
            const QuietStops quiet;
            body();
        }
        // A signal handler's exception that a write met ends the call all the same.
        if (!take_kept_interruption(kept)) return true;
        restore_interrupted(kept, "a signal handler");
    } catch (const Interrupted& interrupted) {
        restore_interrupted(interrupted, "a callback");
    } catch (const Stop& stopped) {
        // A stop that a signal handler's exception caused (Ctrl-C during an upload, which
        // failed the write): that exception wins.
        if (take_kept_interruption(kept)) {
            restore_interrupted(kept, "a signal handler");
        } else if (!PyErr_Occurred() || PyErr_ExceptionMatches(PyExc_Exception)) {
            raise_stop(stopped);
        }
    } catch (const std::bad_alloc&) {
        PyErr_SetString(PyExc_MemoryError, kMemoryExhausted);
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    }
    (void)take_kept_interruption(kept);  // whatever else was kept ends with this call
    return false;
}

}  // namespace kestrel::py
