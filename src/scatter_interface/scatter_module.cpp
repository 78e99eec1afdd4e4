// The module kestrel_scatter: scatter(), its Chunk results and InputError.
//
// Arguments are checked with the interpreter lock held; the split itself runs
// without it, taking it back only for signal handlers and the caller's callbacks.
// Failures become ordinary exceptions: ValueError (and TypeError) for arguments,
// OSError subclasses with the path for the file system, InputError for input that
// cannot be split or indexed, MemoryError when memory runs out.
#include <Python.h>
#include <structseq.h>

#include <cstring>
#include <new>
#include <optional>
#include <string>

#include "base/stop.hpp"
#include "interface/py_lock.hpp"
#include "interface/py_ref.hpp"
#include "split/driver.hpp"

namespace kestrel {
namespace {

using py::Ref;

constexpr char kMemoryExhausted[] = "memory allocation failed";

PyTypeObject* chunk_type = nullptr;  // made once, at the module's initialization
PyObject* input_error = nullptr;

PyStructSequence_Field chunk_fields[] = {
    {"path", "the chunk file: the output directory joined with its name"},
    {"index_path", "its index file (.tbi or .csi), or None"},
    {"records", "how many records it holds"},
    {"first_chrom", "CHROM of its first record"},
    {"first_pos", "POS of its first record, or None where that is not a number"},
    {"last_chrom", "CHROM of its last record"},
    {"last_pos", "POS of its last record, or None where that is not a number"},
    {"bytes", "the file's size in bytes"},
    {nullptr, nullptr},
};

PyStructSequence_Desc chunk_description = {
    "kestrel_scatter.Chunk",
    "One chunk that scatter() saved: a VCF file with the whole header and a run of the input's records.",
    chunk_fields,
    8,
};

// What the split reports, passed on to the caller's callbacks with the lock taken back.
// A callback that raises ends the split with Interrupted, its exception pending.
class Listener final : public ChunkListener {
public:
    Listener(PyObject* output_dir, PyObject* on_chunk, PyObject* progress)
        : output_dir_(output_dir), on_chunk_(on_chunk), progress_(progress) {}

    void chunk_saved(const ChunkSummary& chunk) override {
        if (on_chunk_ == nullptr) return;
        WithLock lock;
        Ref value = make_chunk(chunk, output_dir_);
        if (!value) throw Interrupted();
        Ref result = Ref::steal(PyObject_CallOneArg(on_chunk_, value.get()));
        if (!result) throw Interrupted();
    }

    void progress(uint64_t done, std::optional<uint64_t> total) override {
        if (progress_ == nullptr) return;
        WithLock lock;
        Ref result = Ref::steal(total ? PyObject_CallFunction(progress_, "KK", static_cast<unsigned long long>(done),
                                                              static_cast<unsigned long long>(*total))
                                      : PyObject_CallFunction(progress_, "KO", static_cast<unsigned long long>(done),
                                                              Py_None));
        if (!result) throw Interrupted();
    }

    // A Chunk for `chunk`, or null with the exception set.
    static Ref make_chunk(const ChunkSummary& chunk, PyObject* output_dir) {
        Ref value = Ref::steal(PyStructSequence_New(chunk_type));
        if (!value) return {};
        const auto join = [&](const std::string& name) -> PyObject* {
            if (name.empty()) Py_RETURN_NONE;
            Ref file = Ref::steal(PyUnicode_DecodeFSDefaultAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
            if (!file) return nullptr;
            const Py_ssize_t length = PyUnicode_GetLength(output_dir);
            const bool has_separator = length > 0 && PyUnicode_ReadChar(output_dir, length - 1) == '/';
            return PyUnicode_FromFormat(has_separator ? "%U%U" : "%U/%U", output_dir, file.get());
        };
        const auto text = [](const std::string& name) {
            return PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "replace");
        };
        const auto number = [](const std::optional<uint64_t>& pos) -> PyObject* {
            if (!pos) Py_RETURN_NONE;
            return PyLong_FromUnsignedLongLong(*pos);
        };
        PyObject* items[] = {
            join(chunk.file),        join(chunk.index_file),
            PyLong_FromUnsignedLongLong(chunk.records),
            text(chunk.first_chrom), number(chunk.first_pos),
            text(chunk.last_chrom),  number(chunk.last_pos),
            PyLong_FromUnsignedLongLong(chunk.bytes),
        };
        bool complete = true;
        for (Py_ssize_t i = 0; i < 8; ++i) {
            if (items[i] == nullptr) complete = false;
            PyStructSequence_SetItem(value.get(), i, items[i]);  // steals, null included
        }
        if (!complete) return {};
        return value;
    }

private:
    // The lock, taken back on a thread that released it.
    class WithLock {
    public:
        WithLock() : state_(PyGILState_GetThisThreadState()) { PyEval_RestoreThread(state_); }
        ~WithLock() { PyEval_SaveThread(); }

    private:
        PyThreadState* state_;
    };

    PyObject* output_dir_;
    PyObject* on_chunk_;
    PyObject* progress_;
};

// The exception a stop of the split becomes.
void raise_stop(const Stop& stopped) {
    const StopDetail& detail = stopped.detail();
    switch (detail.kind) {
    case StopDetail::Kind::Io: {
        Ref path = Ref::steal(PyUnicode_DecodeFSDefaultAndSize(detail.path.data(), static_cast<Py_ssize_t>(detail.path.size())));
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

// A whole number of at least 1, or None; false with the exception set otherwise.
bool positive_or_none(PyObject* value, const char* name, uint64_t& out) {
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

bool compression_of(PyObject* value, Compression& out) {
    out.reset();
    if (value == Py_None) return true;
    if (PyUnicode_Check(value)) {
        for (const auto& [name, level] : {std::pair{"fast", 1}, {"default", 6}, {"best", 9}}) {
            if (PyUnicode_CompareWithASCIIString(value, name) == 0) {
                out = level;
                return true;
            }
        }
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

bool index_of(PyObject* value, std::optional<bgzf::IndexFormat>& out) {
    out.reset();
    if (value == Py_None) return true;
    if (PyUnicode_Check(value)) {
        if (PyUnicode_CompareWithASCIIString(value, "tbi") == 0) {
            out = bgzf::IndexFormat::Tbi;
            return true;
        }
        if (PyUnicode_CompareWithASCIIString(value, "csi") == 0) {
            out = bgzf::IndexFormat::Csi;
            return true;
        }
    }
    PyErr_Format(PyExc_ValueError, "index must be None, 'tbi' or 'csi', got %R", value);
    return false;
}

bool callable_or_none(PyObject* value, const char* name) {
    if (value == Py_None || PyCallable_Check(value)) return true;
    PyErr_Format(PyExc_TypeError, "%s must be callable or None, not %.100s", name, Py_TYPE(value)->tp_name);
    return false;
}

// A path argument (str, bytes or os.PathLike) as the file system's bytes; "-" stays
// as it is. Null with the exception set (NUL bytes are refused).
Ref path_bytes(PyObject* value) {
    PyObject* converted = nullptr;
    if (PyUnicode_FSConverter(value, &converted) == 0) return {};
    return Ref::steal(converted);
}

PyObject* scatter_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    prepare_thread_for_failures();
    static const char* keywords[] = {"input", "output_dir", "records_per_chunk", "chunks", "compression", "index",
                                     "manifest", "spool_dir", "progress", "on_chunk", nullptr};
    PyObject* input = nullptr;
    PyObject* output_dir = nullptr;
    PyObject* records_per_chunk = Py_None;
    PyObject* chunks = Py_None;
    PyObject* compression = Py_None;
    PyObject* index = Py_None;
    PyObject* manifest = Py_True;
    PyObject* spool_dir = Py_None;
    PyObject* progress = Py_None;
    PyObject* on_chunk = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$OOOOOOOO:scatter", const_cast<char**>(keywords), &input,
                                     &output_dir, &records_per_chunk, &chunks, &compression, &index, &manifest,
                                     &spool_dir, &progress, &on_chunk)) {
        return nullptr;
    }
    ScatterOptions options;
    if (!positive_or_none(records_per_chunk, "records_per_chunk", options.records_per_chunk) ||
        !positive_or_none(chunks, "chunks", options.chunks) || !compression_of(compression, options.compression) ||
        !index_of(index, options.index) || !callable_or_none(progress, "progress") ||
        !callable_or_none(on_chunk, "on_chunk")) {
        return nullptr;
    }
    // Any truthy value would do for "p"; a string such as "no" must not mean yes.
    if (!PyBool_Check(manifest)) {
        PyErr_Format(PyExc_TypeError, "manifest must be True or False, not %.100s", Py_TYPE(manifest)->tp_name);
        return nullptr;
    }
    // Arguments that do not fit together are refused by scatter() itself, before it reads.
    Ref input_bytes = path_bytes(input);
    if (!input_bytes) return nullptr;
    Ref output_bytes = path_bytes(output_dir);
    if (!output_bytes) return nullptr;
    Ref output_text = Ref::steal(PyUnicode_DecodeFSDefault(PyBytes_AS_STRING(output_bytes.get())));
    if (!output_text) return nullptr;
    options.input = PyBytes_AS_STRING(input_bytes.get());
    options.output_dir = PyBytes_AS_STRING(output_bytes.get());
    options.manifest = manifest == Py_True;
    if (spool_dir != Py_None) {
        Ref spool_bytes = path_bytes(spool_dir);
        if (!spool_bytes) return nullptr;
        options.spool_dir = PyBytes_AS_STRING(spool_bytes.get());
    }
    Listener listener(output_text.get(), on_chunk == Py_None ? nullptr : on_chunk,
                      progress == Py_None ? nullptr : progress);
    options.listener = &listener;

    std::vector<ChunkSummary> saved;
    try {
        try {
            const py::LockReleased released;
            const QuietStops quiet;
            saved = scatter(options);
        } catch (const Interrupted&) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "a callback failed without an exception");
            return nullptr;
        } catch (const Stop& stopped) {
            raise_stop(stopped);
            return nullptr;
        } catch (const std::bad_alloc&) {
            PyErr_SetString(PyExc_MemoryError, kMemoryExhausted);
            return nullptr;
        } catch (const std::exception& error) {
            PyErr_SetString(PyExc_RuntimeError, error.what());
            return nullptr;
        }
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(saved.size())));
        if (!list) return nullptr;
        for (size_t i = 0; i < saved.size(); ++i) {
            Ref chunk = Listener::make_chunk(saved[i], output_text.get());
            if (!chunk) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), chunk.release());
        }
        return list.release();
    } catch (...) {
        abort_at_boundary();
    }
}

constexpr char kScatterDoc[] =
    "scatter(input, output_dir, *, records_per_chunk=None, chunks=None, compression=None, index=None, "
    "manifest=True, spool_dir=None, progress=None, on_chunk=None)\n--\n\n"
    "Split a VCF file into chunk files that each carry the whole header; see the type stub for the details.";

PyMethodDef methods[] = {
    {"scatter", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(scatter_entry)),
     METH_VARARGS | METH_KEYWORDS, kScatterDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "kestrel_scatter",
    "Scatter a VCF file into chunks for a pipeline: a size or a number of balanced chunks, "
    "BGZF with a TBI or CSI index, a manifest, standard input.",
    -1,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* initialize() {
    Ref module = Ref::steal(PyModule_Create(&module_definition));
    if (!module) return nullptr;
    if (chunk_type == nullptr) {
        chunk_type = PyStructSequence_NewType(&chunk_description);
        if (chunk_type == nullptr) return nullptr;
    }
    if (input_error == nullptr) {
        input_error = PyErr_NewExceptionWithDoc(
            "kestrel_scatter.InputError",
            "The input cannot be split or indexed: damaged BGZF, or records an index cannot take. "
            "`path` names the input and `line` the line (from 1), where known.",
            PyExc_ValueError, nullptr);
        if (input_error == nullptr) return nullptr;
    }
    if (PyModule_AddObjectRef(module.get(), "Chunk", reinterpret_cast<PyObject*>(chunk_type)) < 0 ||
        PyModule_AddObjectRef(module.get(), "InputError", input_error) < 0 ||
        PyModule_AddStringConstant(module.get(), "MANIFEST_NAME", std::string(kManifestName).c_str()) < 0) {
        return nullptr;
    }
    set_interrupt_check(py::check_python_signals);
    return module.release();
}

}  // namespace
}  // namespace kestrel

PyMODINIT_FUNC PyInit_kestrel_scatter(void) { return kestrel::initialize(); }
