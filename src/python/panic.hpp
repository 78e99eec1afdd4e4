// The panic style of the Python boundary (the module kestrel): a pending Python error
// as the boundary carries it, PanicException, the type every stop of a call reaches
// Python as, and catching_stops, the one place a stop becomes one.
//
// Contract: everything here needs the interpreter lock. A PyErrValue owns its
// references; interpreter functions that must not fail stop the call when they do.
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <optional>
#include <string>

#include "base/stop.hpp"
#include "python/py_error.hpp"
#include "python/py_ref.hpp"

namespace kestrel::py {

// The process-wide PanicException type (borrowed), made on first use.
PyObject* panic_exception_type();

class PyErrValue {
public:
    // Described: a PanicException carrying `message`.
    static PyErrValue panic(std::string message);
    // Described with the type known (borrowed, e.g. PyExc_TypeError).
    static PyErrValue with_type(PyObject* type, std::string message);
    // Takes the interpreter's pending exception; nothing when none is pending. A
    // pending PanicException is printed and continues as a stop.
    static std::optional<PyErrValue> fetch();
    // fetch(), or SystemError "attempted to fetch exception but none was set".
    static PyErrValue fetch_or_system_error();
    // An exception instance that is already made.
    static PyErrValue from_instance(Ref type, Ref value, Ref traceback);

    PyErrValue(PyErrValue&&) = default;
    PyErrValue& operator=(PyErrValue&&) = default;

    // Makes type and value real objects; a second normalization of the same value
    // while the first runs is a stop.
    void normalize();
    // The type is known in every form but a PanicException not yet raised; value
    // and traceback are valid after normalize().
    PyObject* type() const { return type_.get(); }
    PyObject* value() const { return value_.get(); }
    PyObject* traceback() const { return traceback_.get(); }

    // Hands the error to the interpreter as its pending exception.
    void restore() &&;

    // PyErr { type: <class '...'>, value: ..., traceback: None }
    std::string debug();

private:
    enum class Form { Panic, Typed, Fetched, Normalized };
    PyErrValue() = default;

    struct Triple {
        Ref type, value, traceback;
    };
    Triple into_triple() &&;

    Form form_ = Form::Typed;
    bool normalizing_ = false;
    std::string message_;
    Ref type_, value_, traceback_;
};

// For interpreter functions that must not fail: print what is pending and stop with
// "Python API call failed".
[[noreturn]] void interpreter_failure();

// A stop, an exhausted allocator or another failure of the C++ runtime inside `body`
// becomes a PanicException; every other outcome is the body's own. The report of a
// stop is already written.
// An exhausted allocator ("memory allocation failed") or another failure of the C++
// runtime (a thread or a lock that cannot be had): its failure report is written and
// it ends the call like a stop instead of the process.
PyErrValue panic_after_report(const std::exception& error);

template <class Body>
std::optional<PyErrValue> catching_stops(Body&& body) {
    try {
        return body();
    } catch (const Interrupted& interrupted) {
        // A signal handler raised: its exception is the call's.
        restore_interrupted(interrupted, "a signal handler");
        return PyErrValue::fetch_or_system_error();
    } catch (const Stop& stopped) {
        return PyErrValue::panic(stopped.message());
    } catch (const std::exception& error) {
        return panic_after_report(error);
    }
}

}  // namespace kestrel::py
