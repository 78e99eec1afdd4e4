#include "python/exceptions.hpp"

#include <cstring>
#include <string>

#include "python/py_ref.hpp"

namespace kestrel::py {

PyObject* input_error_type() {
    static PyObject* type = nullptr;  // under the interpreter lock
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc(
            "kestrel_scatter.InputError",
            "The input cannot be split or indexed: damaged BGZF, or records an index cannot take. "
            "`path` names the input and `line` the line (from 1), where known.",
            PyExc_ValueError, nullptr);
    }
    return type;
}

void raise_stop(const Stop& stopped) {
    const StopDetail& detail = stopped.detail();
    switch (detail.kind) {
    case StopDetail::Kind::Io: {
        Ref path = Ref::steal(
            PyUnicode_DecodeFSDefaultAndSize(detail.path.data(), static_cast<Py_ssize_t>(detail.path.size())));
        if (!path) return;
        if (detail.os_code != 0) {
            // OSError picks the subclass (FileNotFoundError, PermissionError, ...) from the number.
            const char* reason = detail.text_is_reason ? detail.text.c_str() : std::strerror(detail.os_code);
            Ref arguments = Ref::steal(Py_BuildValue("(isO)", detail.os_code, reason, path.get()));
            if (arguments) PyErr_SetObject(PyExc_OSError, arguments.get());
        } else {
            // No number to go by (the input as its own output): the text names the file.
            PyErr_SetString(PyExc_OSError, detail.text.c_str());
        }
        return;
    }
    case StopDetail::Kind::Input: {
        PyObject* input_error = input_error_type();
        if (input_error == nullptr) return;
        // "PATH: line N: what is wrong", in plain words whatever the stop's own message.
        std::string text = detail.path;
        if (detail.line != 0) text += ": line " + std::to_string(detail.line);
        text += ": " + detail.text;
        Ref message = Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
        if (!message) return;
        Ref error = Ref::steal(PyObject_CallOneArg(input_error, message.get()));
        if (!error) return;
        Ref path = detail.path.empty()
                       ? Ref::borrow(Py_None)
                       : Ref::steal(PyUnicode_DecodeFSDefaultAndSize(detail.path.data(),
                                                                     static_cast<Py_ssize_t>(detail.path.size())));
        Ref line = detail.line == 0 ? Ref::borrow(Py_None) : Ref::steal(PyLong_FromUnsignedLongLong(detail.line));
        if (!path || !line || PyObject_SetAttrString(error.get(), "path", path.get()) < 0 ||
            PyObject_SetAttrString(error.get(), "line", line.get()) < 0) {
            return;
        }
        PyErr_SetObject(input_error, error.get());
        return;
    }
    case StopDetail::Kind::Usage: PyErr_SetString(PyExc_ValueError, detail.text.c_str()); return;
    case StopDetail::Kind::None: break;
    }
    if (stopped.message() == kMemoryExhausted) {
        PyErr_SetString(PyExc_MemoryError, kMemoryExhausted);
    } else {
        PyErr_SetString(PyExc_RuntimeError, stopped.message().c_str());
    }
}

}  // namespace kestrel::py
