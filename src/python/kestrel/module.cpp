// The module kestrel: its initialisation export and the entry function behind
// py_extract_variants_to_batches.
#include <Python.h>

#include <atomic>
#include <cstring>
#include <new>
#include <optional>

#include "base/debug_text.hpp"
#include "base/stop.hpp"
#include "python/kestrel/arguments.hpp"
#include "python/panic.hpp"
#include "python/py_error.hpp"
#include "python/py_lock.hpp"
#include "python/py_text.hpp"
#include "split/run/batch_entry.hpp"

namespace kestrel {
namespace {

using py::LockReleased;
using py::PyErrValue;
using py::Ref;

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "kestrel",
    "",  // __doc__ is an empty string, not None
    0,
    nullptr,  // the function is added by the initializer
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

constexpr char kFunctionName[] = "py_extract_variants_to_batches";
constexpr char kFunctionDoc[] =
    "py_extract_variants_to_batches(file_path, output_path, batch_size, compression_level=...)\n--\n\n"
    "Wrapper function for extract_variants_to_batches to be called from Python";

// Set by the first initialization that gets past module creation; never cleared.
std::atomic<bool> initialized{false};

PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    prepare_thread_for_failures();
    try {
        std::optional<PyErrValue> failure = py::catching_stops([&]() -> std::optional<PyErrValue> {
            auto converted = py::convert_arguments(args, nargs, kwnames);
            if (auto* error = std::get_if<PyErrValue>(&converted)) return std::move(*error);
            const auto& arguments = std::get<py::Arguments>(converted);
            // The texts are views of argument objects the caller holds until we return.
            const LockReleased released;
            extract_variants_to_batches(arguments.file_path, arguments.output_path,
                                        arguments.batch_size, arguments.compression);
            return std::nullopt;
        });
        if (!failure) Py_RETURN_NONE;
        std::move(*failure).restore();
        return nullptr;
    } catch (...) {
        abort_at_boundary();
    }
}

std::optional<PyErrValue> add_function(PyObject* module) {
    const char* module_name = PyModule_GetName(module);
    if (module_name == nullptr) return PyErrValue::fetch_or_system_error();
    const std::string_view name_bytes(module_name);
    if (auto error = check_utf8(name_bytes)) stop_with("PyModule_GetName expected to return utf8", *error);
    Ref module_str = Ref::steal(
        PyUnicode_FromStringAndSize(name_bytes.data(), static_cast<Py_ssize_t>(name_bytes.size())));
    if (!module_str) return PyErrValue::fetch_or_system_error();

// Contract text (docs/errors.md): every text and form below, to the letter.
    if (std::strlen(kFunctionName) != sizeof kFunctionName - 1) {
        return PyErrValue::with_type(PyExc_ValueError, "Function name cannot contain NUL byte.");
    }
    if (std::strlen(kFunctionDoc) != sizeof kFunctionDoc - 1) {
        return PyErrValue::with_type(PyExc_ValueError, "Document cannot contain NUL byte.");
    }
    // The function object refers to its definition for the life of the process.
    static PyMethodDef definition = {kFunctionName, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry)),
                                     METH_FASTCALL | METH_KEYWORDS, kFunctionDoc};
    Ref function = Ref::steal(PyCMethod_New(&definition, module, module_str.get(), nullptr));
    if (!function) return PyErrValue::fetch_or_system_error();

    Ref name_object = Ref::steal(PyObject_GetAttr(function.get(), py::interned(py::Name::Name)));
    if (!name_object) return PyErrValue::fetch_or_system_error();
    auto name = py::extract_text(name_object.get());
    if (auto* error = std::get_if<PyErrValue>(&name)) return std::move(*error);
    const std::string_view function_name = std::get<std::string_view>(name);

    Ref all = Ref::steal(PyObject_GetAttr(module, py::interned(py::Name::All)));
    if (!all) {
        PyErrValue error = PyErrValue::fetch_or_system_error();
        if (!PyErr_GivenExceptionMatches(error.type(), PyExc_AttributeError)) return error;
        all = Ref::steal(PyList_New(0));
        if (!all) return PyErrValue::fetch_or_system_error();
        if (PyObject_SetAttr(module, py::interned(py::Name::All), all.get()) < 0) {
            return PyErrValue::fetch_or_system_error();
        }
    } else if (!PyList_Check(all.get())) {
        return py::conversion_error(all.get(), "PyList");
    }
    Ref entry_name = Ref::steal(
        PyUnicode_FromStringAndSize(function_name.data(), static_cast<Py_ssize_t>(function_name.size())));
    if (!entry_name) return PyErrValue::fetch_or_system_error();
    if (PyList_Append(all.get(), entry_name.get()) < 0) {
        PyErrValue error = PyErrValue::fetch_or_system_error();
        stop("could not append __name__ to __all__: " + error.debug());
    }
    if (PyObject_SetAttr(module, entry_name.get(), function.get()) < 0) {
        return PyErrValue::fetch_or_system_error();
    }
    return std::nullopt;
}

PyObject* initialize() {
    try {
        Ref module;
        std::optional<PyErrValue> failure = py::catching_stops([&]() -> std::optional<PyErrValue> {
            module = Ref::steal(PyModule_Create2(&module_definition, 1013));
            if (!module) return PyErrValue::fetch_or_system_error();
            if (initialized.exchange(true)) {
// Contract text (docs/errors.md): callers match on it to the letter.
                return PyErrValue::with_type(PyExc_ImportError,
                                             "PyO3 modules may only be initialized once per interpreter process");
            }
            set_interrupt_check(py::check_python_signals);
            return add_function(module.get());
        });
        if (!failure) return module.release();
        module = Ref();
        std::move(*failure).restore();
        return nullptr;
    } catch (...) {
        abort_at_boundary();
    }
}

}  // namespace
}  // namespace kestrel

PyMODINIT_FUNC PyInit_kestrel(void) { return kestrel::initialize(); }
