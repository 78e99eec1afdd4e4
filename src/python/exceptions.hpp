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
#include "python/py_lock.hpp"

namespace kestrel::py {

// The InputError type (borrowed), made on first use; null with the exception set
// when it cannot be made.
PyObject* input_error_type();

// Sets the exception that `stopped` becomes.
void raise_stop(const Stop& stopped);

// Runs `body` with the lock released and stops quiet. True when it returned; false
// with the exception set when it stopped, ran out of memory, or a callback or signal
// handler raised (Interrupted: that exception is already pending).
template <class Body>
bool run_released(Body&& body) {
    try {
        const LockReleased released;
        const QuietStops quiet;
        body();
        return true;
    } catch (const Interrupted&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "a callback failed without an exception");
    } catch (const Stop& stopped) {
        // A stop that a signal handler's exception caused (Ctrl-C during an upload, which
        // failed the write): that exception wins.
        if (!PyErr_Occurred() || PyErr_ExceptionMatches(PyExc_Exception)) raise_stop(stopped);
    } catch (const std::bad_alloc&) {
        PyErr_SetString(PyExc_MemoryError, kMemoryExhausted);
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    }
    return false;
}

}  // namespace kestrel::py
