#include "python/arguments.hpp"

namespace kestrel::py {

std::optional<uint32_t> named_level(std::string_view name) {
    for (const NamedLevel& named : kCompressionLevels) {
        if (name == named.name) return named.level;
    }
    return std::nullopt;
}

PyObject* compression_levels() {
    Ref levels = Ref::steal(PyDict_New());
    if (!levels) return nullptr;
    for (const NamedLevel& named : kCompressionLevels) {
        Ref level = Ref::steal(PyLong_FromUnsignedLong(named.level));
        if (!level || PyDict_SetItemString(levels.get(), named.name, level.get()) < 0) return nullptr;
    }
    return levels.release();
}

Ref path_bytes(PyObject* value) {
    PyObject* converted = nullptr;
    if (PyUnicode_FSConverter(value, &converted) == 0) return {};
    return Ref::steal(converted);
}

bool count_or_none(PyObject* value, const char* name, uint64_t& out) {
    out = 0;
    if (value == Py_None) return true;
    if (!PyLong_Check(value) || PyBool_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be an int or None, not %.100s", name, Py_TYPE(value)->tp_name);
        return false;
    }
    const unsigned long long number = PyLong_AsUnsignedLongLong(value);
    if (number == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        // Negative, or beyond 64 bits.
        const bool negative = PyErr_ExceptionMatches(PyExc_OverflowError) && _PyLong_Sign(value) < 0;
        PyErr_Clear();
        if (negative) {
            PyErr_Format(PyExc_ValueError, "%s must be at least 1, got %R", name, value);
        } else {
            PyErr_Format(PyExc_ValueError, "%s must be at most %llu, got %R", name,
                         static_cast<unsigned long long>(-1), value);
        }
        return false;
    }
    if (number == 0) {
        PyErr_Format(PyExc_ValueError, "%s must be at least 1, got 0", name);
        return false;
    }
    out = number;
    return true;
}

bool compression_or_none(PyObject* value, Compression& out) {
    out.reset();
    if (value == Py_None) return true;
    if (PyUnicode_Check(value)) {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(value, &size);
        if (text == nullptr) PyErr_Clear();
        if (text != nullptr && (out = named_level({text, static_cast<size_t>(size)}))) return true;
    } else if (PyLong_Check(value) && !PyBool_Check(value)) {
        const long level = PyLong_AsLong(value);
        if (level >= 1 && level <= 12) {
            out = static_cast<uint32_t>(level);
            return true;
        }
        PyErr_Clear();
    }
    PyErr_Format(PyExc_ValueError,
                 "compression must be None, 'fast', 'default', 'best' or a level from 1 to 12, got %R", value);
    return false;
}

bool index_or_none(PyObject* value, std::optional<index::IndexFormat>& out) {
    out.reset();
    if (value == Py_None) return true;
    if (PyUnicode_Check(value)) {
        if (PyUnicode_CompareWithASCIIString(value, "tbi") == 0) {
            out = index::IndexFormat::Tbi;
            return true;
        }
        if (PyUnicode_CompareWithASCIIString(value, "csi") == 0) {
            out = index::IndexFormat::Csi;
            return true;
        }
    }
    PyErr_Format(PyExc_ValueError, "index must be None, 'tbi' or 'csi', got %R", value);
    return false;
}

bool keep_together_or_none(PyObject* value, bool& out) {
    out = false;
    if (value == Py_None) return true;
    if (!PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "keep_together must be None or 'position', not %.100s", Py_TYPE(value)->tp_name);
        return false;
    }
    if (PyUnicode_CompareWithASCIIString(value, "position") != 0) {
        PyErr_Format(PyExc_ValueError, "keep_together must be None or 'position', got %R", value);
        return false;
    }
    out = true;
    return true;
}

bool flag(PyObject* value, const char* name, bool& out) {
    if (!PyBool_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be True or False, not %.100s", name, Py_TYPE(value)->tp_name);
        return false;
    }
    out = value == Py_True;
    return true;
}

bool callable_or_none(PyObject* value, const char* name) {
    if (value == Py_None || PyCallable_Check(value)) return true;
    PyErr_Format(PyExc_TypeError, "%s must be callable or None, not %.100s", name, Py_TYPE(value)->tp_name);
    return false;
}

}  // namespace kestrel::py
