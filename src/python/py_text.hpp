// Reading Python objects as text: str arguments as UTF-8 views, type names for
// messages, and values rendered inside messages.
//
// Contract: needs the interpreter lock; errors are returned as PyErrValue, except
// that a failing str() while rendering stops the call.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>
#include <variant>

#include "python/panic.hpp"

namespace kestrel::py {

enum class Name { All, Name, QualName, Lower };
// "__all__", "__name__", "__qualname__", "lower", interned once per process (borrowed).
PyObject* interned(Name name);

// A str or str subclass as a view of its UTF-8 buffer, which lives as long as the
// object; TypeError "'T' object cannot be converted to 'PyString'" otherwise.
std::variant<std::string_view, PyErrValue> extract_text(PyObject* object);

// The type's __qualname__, or "<failed to extract type name>".
std::string type_name(PyTypeObject* type);

// TypeError "'<type name of object>' object cannot be converted to '<target>'".
PyErrValue conversion_error(PyObject* object, std::string_view target);

// str(object) as UTF-8 for a message; lone surrogates show as U+FFFD. A failing
// str() stops the call.
std::string render(PyObject* object);

}  // namespace kestrel::py
