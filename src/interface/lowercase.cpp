#include "interface/arguments.hpp"
#include "interface/py_ref.hpp"
#include "interface/py_text.hpp"

namespace kestrel::py {

// The interpreter's str.lower() applies the full default mapping, under which one
// character may become several and a capital sigma takes its final form at the end
// of a word. It runs on a fresh exact str, so no subclass can change it. The method
// is looked up by a name made once: a new name on every call would allocate, and
// each one would take a fresh slot of the interpreter's method cache.
std::string unicode_lower(std::string_view utf8) {
    Ref text = Ref::steal(PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
    if (!text) interpreter_failure();
    Ref lower = Ref::steal(PyObject_CallMethodNoArgs(text.get(), interned(Name::Lower)));
    if (!lower) interpreter_failure();
    Py_ssize_t size = 0;
    const char* bytes = PyUnicode_AsUTF8AndSize(lower.get(), &size);
    if (bytes == nullptr) interpreter_failure();
    return std::string(bytes, static_cast<size_t>(size));
}

Compression compression_from_name(std::string_view name) {
    const std::string lower = unicode_lower(name);
    if (lower == "default") return 6;
    if (lower == "fast") return 1;
    if (lower == "best") return 9;
    return std::nullopt;
}

}  // namespace kestrel::py
