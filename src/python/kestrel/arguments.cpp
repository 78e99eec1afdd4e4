#include "python/kestrel/arguments.hpp"

#include <array>
#include <string>
#include <vector>

#include "python/py_ref.hpp"
#include "python/py_text.hpp"

namespace kestrel::py {
namespace {

// Contract text (docs/errors.md): every text and form below, to the letter.
// The parameters of py_extract_variants_to_batches: all four by position or keyword,
// the first three required.
constexpr std::string_view kFullName = "py_extract_variants_to_batches()";
constexpr std::array<std::string_view, 4> kParameters = {"file_path", "output_path", "batch_size",
                                                         "compression_level"};
constexpr size_t kRequired = 3;

PyErrValue type_error(std::string message) { return PyErrValue::with_type(PyExc_TypeError, std::move(message)); }

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string parameter_list(const std::vector<std::string_view>& names) {
    std::string list;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() == 2) list += " and ";
            else if (i + 1 == names.size()) list += ", and ";
            else list += ", ";
        }
        list += '\'';
        list += names[i];
        list += '\'';
    }
    return list;
}

using Slots = std::array<PyObject*, 4>;  // borrowed

std::optional<PyErrValue> parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Slots& slots) {
    const auto positional = static_cast<size_t>(nargs);
    for (size_t i = 0; i < std::min(positional, kParameters.size()); ++i) slots[i] = args[i];
    if (positional > kParameters.size()) {
        return type_error(std::string(kFullName) + " takes from " + std::to_string(kRequired) + " to " +
                          std::to_string(kParameters.size()) + " positional arguments but " +
                          std::to_string(positional) + (positional == 1 ? " was" : " were") + " given");
    }
    if (kwnames != nullptr) {
        const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject* name = PyTuple_GET_ITEM(kwnames, i);
            PyObject* value = args[nargs + i];
            if (!PyUnicode_Check(name)) return conversion_error(name, "PyString");
            Py_ssize_t size = 0;
            const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
            size_t match = kParameters.size();
            if (utf8 == nullptr) {
                PyErrValue::fetch();  // unreadable names match nothing
            } else {
                const std::string_view text(utf8, static_cast<size_t>(size));
                for (size_t j = 0; j < kParameters.size(); ++j) {
                    if (kParameters[j] == text) match = j;
                }
            }
            if (match == kParameters.size()) {
                return type_error(std::string(kFullName) + " got an unexpected keyword argument '" +
                                  render(name) + "'");
            }
            if (slots[match] != nullptr) {
                return type_error(std::string(kFullName) + " got multiple values for argument '" +
                                  std::string(kParameters[match]) + "'");
            }
            slots[match] = value;
        }
    }
    if (positional < kRequired) {
        std::vector<std::string_view> missing;
        for (size_t j = 0; j < kRequired; ++j) {
            if (slots[j] == nullptr) missing.push_back(kParameters[j]);
        }
        if (!missing.empty()) {
            return type_error(std::string(kFullName) + " missing " + std::to_string(missing.size()) +
                              " required positional " + (missing.size() == 1 ? "argument" : "arguments") +
                              ": " + parameter_list(missing));
        }
    }
    return std::nullopt;
}

// A TypeError gains the parameter's name; every other error passes unchanged.
PyErrValue argument_error(std::string_view parameter, PyErrValue error) {
    error.normalize();
    if (error.type() != PyExc_TypeError) return error;
    const std::string message = "argument '" + std::string(parameter) + "': " + render(error.value());
    Ref text = Ref::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (!text) interpreter_failure();
    Ref replacement = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, text.get()));
    if (!replacement) interpreter_failure();
    if (PyObject* cause = PyException_GetCause(error.value())) {
        PyException_SetCause(replacement.get(), cause);  // steals the cause
    }
    return PyErrValue::from_instance(Ref::borrow(PyExc_TypeError), std::move(replacement), Ref());
}

std::variant<uint32_t, PyErrValue> extract_u32(PyObject* object) {
    Ref index = Ref::steal(PyNumber_Index(object));
    if (!index) return PyErrValue::fetch_or_system_error();
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1)) {
        if (auto error = PyErrValue::fetch()) return std::move(*error);
    }
    if (value >> 32 != 0) {
        return PyErrValue::with_type(PyExc_OverflowError, "out of range integral type conversion attempted");
    }
    return static_cast<uint32_t>(value);
}

}  // namespace

std::variant<Arguments, PyErrValue> convert_arguments(PyObject* const* args, Py_ssize_t nargs,
                                                      PyObject* kwnames) {
    Slots slots{};
    if (auto error = parse(args, nargs, kwnames, slots)) return std::move(*error);

    Arguments converted;
    std::string_view* paths[2] = {&converted.file_path, &converted.output_path};
    for (size_t i = 0; i < 2; ++i) {
        auto text = extract_text(slots[i]);
        if (auto* error = std::get_if<PyErrValue>(&text)) return argument_error(kParameters[i], std::move(*error));
        *paths[i] = std::get<std::string_view>(text);
    }
    auto size = extract_u32(slots[2]);
    if (auto* error = std::get_if<PyErrValue>(&size)) return argument_error(kParameters[2], std::move(*error));
    converted.batch_size = std::get<uint32_t>(size);

    PyObject* level = slots[3];
    if (level != nullptr && level != Py_None) {
        auto text = extract_text(level);
        if (auto* error = std::get_if<PyErrValue>(&text)) return argument_error(kParameters[3], std::move(*error));
        converted.compression = compression_from_name(std::string(std::get<std::string_view>(text)));
    }
    return converted;
}

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

// The batch module's own names, fixed for its callers: a name the scatter module may
// take on one day means no compression here, as every unknown name does.
Compression compression_from_name(std::string_view name) {
    const std::string lower = unicode_lower(name);
    if (lower == "fast") return 1;
    if (lower == "default") return 6;
    if (lower == "best") return 9;
    return std::nullopt;
}

}  // namespace kestrel::py
