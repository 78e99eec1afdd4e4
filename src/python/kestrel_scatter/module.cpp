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
#include <string_view>

#include "base/stop.hpp"
#include "python/arguments.hpp"
#include "python/exceptions.hpp"
#include "python/kestrel_scatter/distributed.hpp"
#include "python/kestrel_scatter/storage.hpp"
#include "python/py_error.hpp"
#include "python/py_lock.hpp"
#include "python/py_ref.hpp"
#include "split/plan/scatter.hpp"
#include "split/run/cluster_run.hpp"
#include "split/run/scatter_entry.hpp"
#include "split/write/progress.hpp"

namespace kestrel {
namespace {

using py::Ref;

PyTypeObject* chunk_type = nullptr;  // made once, at the module's initialization

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
// A callback that raises ends the split with Interrupted, carrying its exception.
class Listener final : public ChunkListener {
public:
    Listener(PyObject* output_dir, PyObject* on_chunk, PyObject* progress)
        : output_dir_(output_dir), on_chunk_(on_chunk), progress_(progress) {}

    void chunk_saved(const ChunkSummary& chunk) override {
        if (on_chunk_ == nullptr) return;
        const py::LockTaken lock;
        Ref value = make_chunk(chunk, output_dir_);
        if (!value) py::throw_python_error("a callback");
        Ref result = Ref::steal(PyObject_CallOneArg(on_chunk_, value.get()));
        if (!result) py::throw_python_error("a callback");
    }

    void progress(uint64_t done, std::optional<uint64_t> total) override {
        if (progress_ == nullptr) return;
        const py::LockTaken lock;
        Ref result = Ref::steal(total ? PyObject_CallFunction(progress_, "KK", static_cast<unsigned long long>(done),
                                                              static_cast<unsigned long long>(*total))
                                      : PyObject_CallFunction(progress_, "KO", static_cast<unsigned long long>(done),
                                                              Py_None));
        if (!result) py::throw_python_error("a callback");
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
    PyObject* output_dir_;
    PyObject* on_chunk_;
    PyObject* progress_;
};

// The arguments of scatter(), as the caller passed them (borrowed).
struct Arguments {
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
    PyObject* client = Py_None;
    PyObject* range_bytes = Py_None;
    PyObject* storage_options = Py_None;
    PyObject* keep_together = Py_None;
    PyObject* by_contig = Py_False;

    bool parse(PyObject* args, PyObject* kwargs) {
        static const char* keywords[] = {"input",       "output_dir",      "records_per_chunk", "chunks",
                                         "compression", "index",           "manifest",          "spool_dir",
                                         "progress",    "on_chunk",        "client",            "range_bytes",
                                         "storage_options", "keep_together", "by_contig",       nullptr};
        return PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$OOOOOOOOOOOOO:scatter", const_cast<char**>(keywords),
                                           &input, &output_dir, &records_per_chunk, &chunks, &compression, &index,
                                           &manifest, &spool_dir, &progress, &on_chunk, &client, &range_bytes,
                                           &storage_options, &keep_together, &by_contig) != 0;
    }
};

// The range size of a run on a cluster (0: the default); false with the exception set.
bool range_size_of(const Arguments& arguments, uint64_t& range_size) {
    if (!py::count_or_none(arguments.range_bytes, "range_bytes", range_size)) return false;
    if (range_size != 0 && range_size < kMinRangeBytes) {
        PyErr_Format(PyExc_ValueError, "range_bytes must be at least %llu (64 KiB), got %R",
                     static_cast<unsigned long long>(kMinRangeBytes), arguments.range_bytes);
        return false;
    }
    if (arguments.range_bytes != Py_None && arguments.client == Py_None) {
        PyErr_SetString(PyExc_ValueError, "range_bytes sizes the ranges of a run on a cluster: give client as well");
        return false;
    }
    return true;
}

// The storage options (a dict, or None) as JSON text for the engine; false with the
// exception set.
bool storage_options_of(PyObject* value, std::string& out) {
    if (value == Py_None) return true;
    if (!PyDict_Check(value)) {
        PyErr_Format(PyExc_TypeError, "storage_options must be a dict or None, not %.100s", Py_TYPE(value)->tp_name);
        return false;
    }
    Ref json = Ref::steal(PyImport_ImportModule("json"));
    Ref text = json ? Ref::steal(PyObject_CallMethod(json.get(), "dumps", "O", value)) : Ref();
    if (!text) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError)) {
            PyErr_Clear();
            PyErr_SetString(PyExc_TypeError, "storage_options must hold only strings, numbers, booleans, None, "
                                             "lists and dicts (it travels to every worker)");
        }
        return false;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (utf8 == nullptr) return false;
    out.assign(utf8, static_cast<size_t>(size));
    return true;
}

// The options of the arguments, and the output directory as the caller's text (for
// the chunks' paths); false with the exception set. Arguments that do not fit
// together are refused by the engine itself, before it reads.
bool options_of(const Arguments& arguments, ScatterOptions& options, Ref& output_text) {
    if (!py::count_or_none(arguments.records_per_chunk, "records_per_chunk", options.records_per_chunk) ||
        !py::count_or_none(arguments.chunks, "chunks", options.chunks) ||
        !py::compression_or_none(arguments.compression, options.format.compression) ||
        !py::index_or_none(arguments.index, options.format.index) ||
        !py::flag(arguments.manifest, "manifest", options.format.manifest) ||
        !py::keep_together_or_none(arguments.keep_together, options.place.keep_together) ||
        !py::flag(arguments.by_contig, "by_contig", options.place.by_contig) ||
        !py::callable_or_none(arguments.progress, "progress") ||
        !py::callable_or_none(arguments.on_chunk, "on_chunk") ||
        !storage_options_of(arguments.storage_options, options.storage_options)) {
        return false;
    }
    Ref input_bytes = py::local_path_bytes(arguments.input, "input", true);
    Ref output_bytes = input_bytes ? py::local_path_bytes(arguments.output_dir, "output_dir") : Ref();
    if (!output_bytes) return false;
    if (PyBytes_GET_SIZE(output_bytes.get()) == 0) {
        PyErr_SetString(PyExc_ValueError, "output_dir must not be empty (give '.' for the working directory)");
        return false;
    }
    output_text = Ref::steal(PyUnicode_DecodeFSDefault(PyBytes_AS_STRING(output_bytes.get())));
    if (!output_text) return false;
    options.input = PyBytes_AS_STRING(input_bytes.get());
    options.output_dir = PyBytes_AS_STRING(output_bytes.get());
    if (arguments.spool_dir != Py_None) {
        Ref spool_bytes = py::local_path_bytes(arguments.spool_dir, "spool_dir");
        if (!spool_bytes) return false;
        options.spool_dir = PyBytes_AS_STRING(spool_bytes.get());
    }
    return true;
}

// The list of Chunk values; null with the exception set.
PyObject* chunk_list(const std::vector<ChunkSummary>& saved, PyObject* output_text) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(saved.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < saved.size(); ++i) {
        Ref chunk = Listener::make_chunk(saved[i], output_text);
        if (!chunk) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), chunk.release());
    }
    return list.release();
}

PyObject* scatter_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    prepare_thread_for_failures();
    try {
        Arguments arguments;
        ScatterOptions options;
        Ref output_text;
        uint64_t range_size = 0;
        if (!arguments.parse(args, kwargs) || !range_size_of(arguments, range_size) ||
            !options_of(arguments, options, output_text)) {
            return nullptr;
        }
        Listener listener(output_text.get(), arguments.on_chunk == Py_None ? nullptr : arguments.on_chunk,
                          arguments.progress == Py_None ? nullptr : arguments.progress);
        options.listener = &listener;
        std::vector<ChunkSummary> saved;
        if (arguments.client != Py_None) {
            if (!py::scatter_on_client(arguments.client, options, range_size, saved)) return nullptr;
        } else if (!py::run_released([&] { saved = scatter(options); })) {
            return nullptr;
        }
        return chunk_list(saved, output_text.get());
    } catch (...) {
        abort_at_boundary();
    }
}

// One argument of scatter() read by scatter()'s own rule, for the command line to
// check its arguments with before anything starts: a path (input, output_dir,
// spool_dir) as the str of the local path or URL it names, a compression as its level
// (None without one). Raises what scatter() raises for the value, without the name.
PyObject* argument_entry(PyObject*, PyObject* args) {
    const char* keyword = nullptr;
    PyObject* value = nullptr;
    if (!PyArg_ParseTuple(args, "sO:_argument", &keyword, &value)) return nullptr;
    prepare_thread_for_failures();
    try {
        const std::string_view name = keyword;
        if (name == "compression") {
            Compression level;
            if (!py::compression_or_none(value, level)) return nullptr;
            if (!level) Py_RETURN_NONE;
            return PyLong_FromUnsignedLong(*level);
        }
        if (name != "input" && name != "output_dir" && name != "spool_dir") {
            PyErr_Format(PyExc_ValueError, "_argument takes input, output_dir, spool_dir or compression, not %s",
                         keyword);
            return nullptr;
        }
        Ref path = py::local_path_bytes(value, nullptr, name == "input");
        if (!path) return nullptr;
        if (name == "output_dir" && !py::run_released([&] { check_output_dir(PyBytes_AS_STRING(path.get())); })) {
            return nullptr;
        }
        return PyUnicode_DecodeFSDefaultAndSize(PyBytes_AS_STRING(path.get()), PyBytes_GET_SIZE(path.get()));
    } catch (...) {
        abort_at_boundary();
    }
}

// The command line's progress lines, worded where the batch module's are.
PyObject* progress_line_entry(PyObject*, PyObject* args) {
    const char* name = nullptr;
    unsigned long long records = 0;
    PyObject* batch_size = nullptr;
    if (!PyArg_ParseTuple(args, "sKO:_progress_line", &name, &records, &batch_size)) return nullptr;
    std::string line;
    if (batch_size != Py_None) {
        const unsigned long long size = PyLong_AsUnsignedLongLong(batch_size);
        if (size == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
        if (records < size) line = final_batch_line(size, name);
    }
    if (line.empty()) line = full_batch_line(name);
    return PyUnicode_DecodeUTF8(line.data(), static_cast<Py_ssize_t>(line.size()), "surrogateescape");
}

constexpr char kScatterDoc[] =
    "scatter(input, output_dir, *, records_per_chunk=None, chunks=None, compression=None, index=None, "
    "manifest=True, spool_dir=None, progress=None, on_chunk=None, client=None, range_bytes=None, "
    "storage_options=None, keep_together=None, by_contig=False)\n--\n\n"
    "Split a VCF file into chunk files that each carry the whole header; see the type stub for the details.";

PyMethodDef methods[] = {
    {"scatter", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(scatter_entry)),
     METH_VARARGS | METH_KEYWORDS, kScatterDoc},
    {"_progress_line", progress_line_entry, METH_VARARGS,
     "_progress_line(file_name, records, batch_size)\n--\n\nThe command line's line for a saved chunk "
     "(batch_size None with a fixed number of chunks)."},
    {"_argument", argument_entry, METH_VARARGS,
     "_argument(keyword, value)\n--\n\nscatter()'s argument `keyword` as scatter() reads `value` (a path: the "
     "local path a file URL names; a compression: its level); raises as scatter() would."},
    {"_count_range", py::count_range_entry, METH_VARARGS,
     "_count_range(task, threads, worker='')\n--\n\nA counting task of a run on a cluster, on a worker."},
    {"_write_chunk", py::write_chunk_entry, METH_VARARGS,
     "_write_chunk(task, threads, worker='')\n--\n\nA chunk task of a run on a cluster, on a worker."},
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
    PyObject* input_error = py::input_error_type();
    if (input_error == nullptr) return nullptr;
    if (PyModule_AddObjectRef(module.get(), "Chunk", reinterpret_cast<PyObject*>(chunk_type)) < 0 ||
        PyModule_AddObjectRef(module.get(), "InputError", input_error) < 0 ||
        PyModule_AddStringConstant(module.get(), "MANIFEST_NAME", std::string(kManifestName).c_str()) < 0 ||
        PyModule_AddStringConstant(module.get(), "__version__", KESTREL_VERSION) < 0) {
        return nullptr;
    }
    Ref levels = Ref::steal(py::compression_levels());
    if (!levels || PyModule_AddObjectRef(module.get(), "COMPRESSION_LEVELS", levels.get()) < 0) return nullptr;
    set_interrupt_check(py::check_python_signals);
    py::install_python_storage();
    return module.release();
}

}  // namespace
}  // namespace kestrel

PyMODINIT_FUNC PyInit_kestrel_scatter(void) { return kestrel::initialize(); }
