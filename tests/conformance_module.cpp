// _kestrel_conformance: tests/conformance over the file system of URLs that
// kestrel_scatter registers in the core as it is imported (import it first). Built
// with the tests only, on the same libkestrel_core.so as the real modules.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "base/stop.hpp"
#include "conformance.hpp"
#include "split/storage/file_system.hpp"

namespace {

using namespace kestrel;

// The suite's faults as a list; it runs without the interpreter lock, which the storage
// takes around its own calls. A stop is one more fault.
template <class Suite>
PyObject* faults_of(const Suite& suite) {
    std::vector<std::string> faults;
    PyThreadState* released = PyEval_SaveThread();
    try {
        const QuietStops quiet;
        faults = suite();
    } catch (const std::exception& failed) {
        faults.push_back(std::string("stopped: ") + failed.what());
    }
    PyEval_RestoreThread(released);
    PyObject* list = PyList_New(0);
    for (const std::string& fault : faults) {
        PyObject* text = PyUnicode_DecodeUTF8(fault.data(), static_cast<Py_ssize_t>(fault.size()), "replace");
        if (!text || PyList_Append(list, text) != 0) return Py_XDECREF(text), Py_DECREF(list), nullptr;
        Py_DECREF(text);
    }
    return list;
}

// byte_source(url, options_json, expected_bytes) -> list[str]
PyObject* byte_source(PyObject*, PyObject* args) {
    const char *url, *options, *bytes;
    Py_ssize_t length;
    if (!PyArg_ParseTuple(args, "ssy#", &url, &options, &bytes, &length)) return nullptr;
    const std::vector<uint8_t> expected(bytes, bytes + length);
    return faults_of([&] { return testing::byte_source_faults([&] { return open_input(url, options); }, expected); });
}

// output_target(url, options_json, input_name, tag, ended) -> list[str]: the prefix as the
// task of the run `tag` writes to it; `input_name` in it is the run's input.
PyObject* output_target(PyObject*, PyObject* args) {
    const char *url, *options, *input, *tag;
    int ended;
    if (!PyArg_ParseTuple(args, "ssssp", &url, &options, &input, &tag, &ended)) return nullptr;
    return faults_of([&] {
        const InputName name{std::nullopt, std::string(url) + "/" + input};
        const std::unique_ptr<Folder> folder = file_system_for(url).open_folder(url, options, name, false);
        OutputTarget target(*folder, tag);
        return testing::output_target_faults(target, input, ended);
    });
}

PyMethodDef methods[] = {{"byte_source", byte_source, METH_VARARGS, nullptr},
                         {"output_target", output_target, METH_VARARGS, nullptr},
                         {nullptr, nullptr, 0, nullptr}};
PyModuleDef module = {PyModuleDef_HEAD_INIT, "_kestrel_conformance", nullptr, -1, methods};

}  // namespace

PyMODINIT_FUNC PyInit__kestrel_conformance() { return PyModule_Create(&module); }
