#include "python/arguments.hpp"

#include <string>

#include "split/plan/index_plan.hpp"

namespace kestrel::py {
namespace {

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equal_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
    }
    return true;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = ascii_lower(c);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// Sets the ValueError "<name>: the file URL '<url>' <what>", where `what` may quote
// `detail` with %R; returns false.
bool refuse_file_url(const char* name, std::string_view url, const char* what, std::string_view detail = {}) {
    const auto text = [](std::string_view bytes) {
        return Ref::steal(PyUnicode_DecodeFSDefaultAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
    };
    Ref url_text = text(url);
    Ref detail_text = url_text ? text(detail) : Ref();
    Ref reason = detail_text ? Ref::steal(PyUnicode_FromFormat(what, detail_text.get())) : Ref();
    if (!reason) return false;
    PyErr_Format(PyExc_ValueError, "%s%sthe file URL %R %U", name ? name : "", name ? ": " : "", url_text.get(),
                 reason.get());
    return false;
}

// Whether `text` is a file URL: "file:" in any letter case, then an absolute path or
// "//" and an authority. "file:name" is a relative path, as it always was.
bool is_file_url(std::string_view text) {
    return text.size() > 5 && equal_ignoring_case(text.substr(0, 5), "file:") && text[5] == '/';
}

// The local path the file URL `url` names, appended to `path`; false with the
// exception set where it names none.
bool append_file_url_path(std::string_view url, const char* name, std::string& path) {
    std::string_view rest = url.substr(5);
    if (rest.starts_with("//")) {
        rest.remove_prefix(2);
        const size_t slash = rest.find('/');
        const std::string_view host = rest.substr(0, slash);
        // Another machine's file cannot be read here, and guessing a share for it would
        // read some other file.
        if (!host.empty() && !equal_ignoring_case(host, "localhost")) {
            return refuse_file_url(name, url, "names the host %R: only file:///PATH and file://localhost/PATH "
                                              "are this machine's", host);
        }
        if (slash == std::string_view::npos) return refuse_file_url(name, url, "names no path: give file:///PATH");
        rest.remove_prefix(slash);
    }
    // A '?' or '#' starts a query or a fragment (RFC 3986), which no local path has:
    // dropping it would name another file.
    if (rest.find_first_of("?#") != std::string_view::npos) {
        return refuse_file_url(name, url, "has a query or a fragment: write '?' as %%3F and '#' as %%23");
    }
    for (size_t i = 0; i < rest.size(); ++i) {
        if (rest[i] != '%') {
            path += rest[i];
            continue;
        }
        const int high = i + 2 < rest.size() ? hex_digit(rest[i + 1]) : -1;
        const int low = high >= 0 ? hex_digit(rest[i + 2]) : -1;
        if (low < 0) return refuse_file_url(name, url, "has a '%%' that is no escape (%%XX): write '%%' as %%25");
        if (high == 0 && low == 0) return refuse_file_url(name, url, "holds an escaped NUL byte (%%00)");
        path += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return true;
}

}  // namespace

std::optional<uint32_t> named_level(std::string_view name) {
    for (const NamedLevel& named : kCompressionLevels) {
        if (equal_ignoring_case(name, named.name)) return named.level;
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

Ref local_path_bytes(PyObject* value, const char* name, bool index_rule) {
    Ref bytes = path_bytes(value);
    if (!bytes) return {};
    const std::string_view given(PyBytes_AS_STRING(bytes.get()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
    const size_t rule = index_rule ? given.find(kIndexRule) : std::string_view::npos;
    const std::string_view sides[] = {given.substr(0, rule),
                                      rule == std::string_view::npos ? "" : given.substr(rule + kIndexRule.size())};
    if (!is_file_url(sides[0]) && !is_file_url(sides[1])) return bytes;
    std::string path;
    const auto append = [&](std::string_view side) {
        if (is_file_url(side)) return append_file_url_path(side, name, path);
        path += side;
        return true;
    };
    if (!append(sides[0])) return {};
    if (rule != std::string_view::npos) {
        path += kIndexRule;
        if (!append(sides[1])) return {};
    }
    return Ref::steal(PyBytes_FromStringAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
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
                 "compression must be None, 'fast', 'default', 'best' (in any letter case) or a level from 1 to 12, "
                 "got %R",
                 value);
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
