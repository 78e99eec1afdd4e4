#include "python/py_error.hpp"

#include <memory>
#include <optional>
#include <string>

#include "python/py_lock.hpp"

namespace kestrel::py {
namespace {

class PythonError final : public ForeignError {
public:
    PythonError(PyObject* type, PyObject* value, PyObject* traceback)
        : type_(type), value_(value), traceback_(traceback) {}
    ~PythonError() override {
        const LockFromAnyThread lock;
        Py_XDECREF(type_);
        Py_XDECREF(value_);
        Py_XDECREF(traceback_);
    }
    PythonError(const PythonError&) = delete;
    PythonError& operator=(const PythonError&) = delete;

    void restore() const noexcept override {
        Py_XINCREF(type_);
        Py_XINCREF(value_);
        Py_XINCREF(traceback_);
        PyErr_Restore(type_, value_, traceback_);
    }

private:
    PyObject* type_;
    PyObject* value_;
    PyObject* traceback_;
};

}  // namespace

void check_python_signals() {
    PyThreadState* state = PyGILState_GetThisThreadState();
    if (state == nullptr || PyGILState_Check()) return;
    const LockTaken lock;
    if (PyErr_CheckSignals() != 0) throw_python_error("a signal handler");
}

Interrupted take_python_error(const char* what) {
    if (!PyErr_Occurred()) {
        PyErr_Format(PyExc_SystemError, "%s failed without an exception", what);
    }
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    try {
        return Interrupted(std::make_shared<PythonError>(type, value, traceback));
    } catch (...) {
        PyErr_Restore(type, value, traceback);  // no memory for the value: left pending
        return Interrupted();
    }
}

void throw_python_error(const char* what) { throw take_python_error(what); }

namespace {
thread_local std::optional<Interrupted> kept;
}  // namespace

void keep_interruption(Interrupted interrupted) {
    if (!kept) kept = std::move(interrupted);
}

void clear_keeping_interruptions() {
    if (!PyErr_Occurred()) return;
    if (PyErr_ExceptionMatches(PyExc_Exception)) {
        PyErr_Clear();
    } else {
        keep_interruption(take_python_error());
    }
}

bool take_kept_interruption(Interrupted& into) {
    if (!kept) return false;
    into = std::move(*kept);
    kept.reset();
    return true;
}

void restore_interrupted(const Interrupted& interrupted, const char* what) {
    if (const ForeignError* error = interrupted.error()) {
        error->restore();
    } else if (!PyErr_Occurred()) {
        PyErr_Format(PyExc_SystemError, "%s failed without an exception", what);
    }
}

}  // namespace kestrel::py
