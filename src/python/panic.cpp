#include "python/panic.hpp"

#include <cstring>
#include <new>

#include "base/stop.hpp"

namespace kestrel::py {
namespace {

// Contract text (docs/errors.md): every text and form below, to the letter.
constexpr char kPanicName[] = "pyo3_runtime.PanicException";
constexpr char kPanicDoc[] =
    "\nThe exception raised when Rust code called from Python panics.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";
static_assert(sizeof kPanicDoc - 1 == 235);

PyObject* panic_type_slot = nullptr;  // filled once, under the interpreter lock

// A one-element tuple holding the message, the arguments of the exception.
Ref message_arguments(const std::string& message) {
    Ref arguments = Ref::steal(PyTuple_New(1));
    if (!arguments) interpreter_failure();
    PyObject* text = PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size()));
    if (text == nullptr) interpreter_failure();
    PyTuple_SET_ITEM(arguments.get(), 0, text);
    return arguments;
}

std::string repr_of(PyObject* object) {
    Ref repr = Ref::steal(PyObject_Repr(object));
    if (repr) {
        Py_ssize_t size = 0;
        if (const char* text = PyUnicode_AsUTF8AndSize(repr.get(), &size)) {
            return std::string(text, static_cast<size_t>(size));
        }
    }
    PyErr_Clear();
    stop("a formatting trait implementation returned an error: Error");
}

}  // namespace

PyObject* panic_exception_type() {
    if (panic_type_slot != nullptr) return panic_type_slot;
    if (std::strlen(kPanicName) != sizeof kPanicName - 1) {
        stop("Failed to initialize nul terminated exception name");
    }
    if (std::strlen(kPanicDoc) != sizeof kPanicDoc - 1) {
        stop("Failed to initialize nul terminated docstring");
    }
    PyObject* type = PyErr_NewExceptionWithDoc(kPanicName, kPanicDoc, PyExc_BaseException, nullptr);
    if (type == nullptr) {
        PyErrValue error = PyErrValue::fetch_or_system_error();
        stop("Failed to initialize new exception type.: " + error.debug());
    }
    if (panic_type_slot != nullptr) {
        Py_DECREF(type);  // made meanwhile: keep the first one
    } else {
        panic_type_slot = type;
    }
    return panic_type_slot;
}

PyErrValue PyErrValue::panic(std::string message) {
    PyErrValue error;
    error.form_ = Form::Panic;
    error.message_ = std::move(message);
    return error;
}

PyErrValue PyErrValue::with_type(PyObject* type, std::string message) {
    PyErrValue error;
    error.form_ = Form::Typed;
    error.type_ = Ref::borrow(type);
    error.message_ = std::move(message);
    return error;
}

std::optional<PyErrValue> PyErrValue::fetch() {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        return std::nullopt;
    }
    if (type == panic_exception_type()) {
        // A stop of an earlier call is coming back through Python: show it and go on
        // stopping with its message.
        std::string message = "Unwrapped panic from Python code";
        if (value != nullptr && PyUnicode_Check(value)) {
            Py_ssize_t size = 0;
            if (const char* text = PyUnicode_AsUTF8AndSize(value, &size)) {
                message.assign(text, static_cast<size_t>(size));
            } else {
                PyErr_Clear();
            }
        }
// Contract text (docs/errors.md): callers match on it to the letter.
        write_to_stderr("--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n");
        write_to_stderr("Python stack trace below:\n");
        PyErr_Restore(type, value, traceback);
        PyErr_PrintEx(0);
        stop_silently(std::move(message));
    }
    PyErrValue error;
    error.form_ = Form::Fetched;
    error.type_ = Ref::steal(type);
    error.value_ = Ref::steal(value);
    error.traceback_ = Ref::steal(traceback);
    return error;
}

PyErrValue PyErrValue::fetch_or_system_error() {
    if (auto error = fetch()) return std::move(*error);
    return with_type(PyExc_SystemError, "attempted to fetch exception but none was set");
}

PyErrValue PyErrValue::from_instance(Ref type, Ref value, Ref traceback) {
    PyErrValue error;
    error.form_ = Form::Normalized;
    error.type_ = std::move(type);
    error.value_ = std::move(value);
    error.traceback_ = std::move(traceback);
    return error;
}

PyErrValue::Triple PyErrValue::into_triple() && {
    switch (form_) {
    case Form::Panic: {
        PyObject* type = panic_exception_type();
        if (!PyType_Check(type) || !PyType_FastSubclass(reinterpret_cast<PyTypeObject*>(type),
                                                        Py_TPFLAGS_BASE_EXC_SUBCLASS)) {
            return with_type(PyExc_TypeError, "exceptions must derive from BaseException").into_triple();
        }
        return {Ref::borrow(type), message_arguments(message_), Ref()};
    }
    case Form::Typed:
        if (!type_) interpreter_failure();
        return {std::move(type_), message_arguments(message_), Ref()};
    case Form::Fetched:
    case Form::Normalized:
        return {std::move(type_), std::move(value_), std::move(traceback_)};
    }
    return {};
}

void PyErrValue::normalize() {
    if (form_ == Form::Normalized) return;
    if (normalizing_) stop("Cannot normalize a PyErr while already normalizing it.");
    normalizing_ = true;
    Triple triple = std::move(*this).into_triple();
    PyObject* type = triple.type.release();
    PyObject* value = triple.value.release();
    PyObject* traceback = triple.traceback.release();
    PyErr_NormalizeException(&type, &value, &traceback);
    type_ = Ref::steal(type);
    value_ = Ref::steal(value);
    traceback_ = Ref::steal(traceback);
    if (!type_) stop("Exception type missing");
    if (!value_) stop("Exception value missing");
    form_ = Form::Normalized;
    normalizing_ = false;
}

void PyErrValue::restore() && {
    Triple triple = std::move(*this).into_triple();
    PyErr_Restore(triple.type.release(), triple.value.release(), triple.traceback.release());
}

std::string PyErrValue::debug() {
    normalize();
    std::string text = "PyErr { type: " + repr_of(type_.get()) + ", value: " + repr_of(value_.get()) +
                       ", traceback: ";
    text += traceback_ ? "Some(" + repr_of(traceback_.get()) + ")" : std::string("None");
    text += " }";
    return text;
}

PyErrValue panic_after_report(const std::exception& error) {
    const char* message = dynamic_cast<const std::bad_alloc*>(&error) != nullptr ? kMemoryExhausted : error.what();
    write_failure_report(message, SourceLocation::current());
    return PyErrValue::panic(message);
}

void interpreter_failure() {
    PyErr_Print();
    stop("Python API call failed");
}

}  // namespace kestrel::py
