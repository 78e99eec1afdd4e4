// _kestrel_conformance: tests/conformance over the URL sources and targets that
// kestrel_scatter installs into the core as it is imported (import it first). Built
// with the tests only, on the same libkestrel_core.so as the real modules.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "conformance.hpp"
#include "base/stop.hpp"
#include "split/storage/storage.hpp"

namespace {

using namespace kestrel;

// Where the suite meets the storage seam: an input, and a prefix as the task of the
// run `tag` writes to it.
std::shared_ptr<ByteSource> open_input(const std::string& url, const std::string& options) {
    return storage_for(url).open_input(url, options);
}
std::unique_ptr<OutputTarget> open_target(const std::string& url, const std::string& options, const std::string& input,
                                          const std::string& tag) {
    return storage_for(url).open_task_output(url, options, input, tag);
}

// The suite's faults as a list; it runs without the interpreter lock, which the storage
// takes around its own calls (from the suite's threads too). A stop is one more fault.
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

// output_target(url, options_json, input_name, tag, ended) -> list[str]: `input_name`
// in the prefix is the run's input.
PyObject* output_target(PyObject*, PyObject* args) {
    const char *url, *options, *input, *tag;
    int ended;
    if (!PyArg_ParseTuple(args, "ssssp", &url, &options, &input, &tag, &ended)) return nullptr;
    return faults_of([&] {
        return testing::output_target_faults(*open_target(url, options, std::string(url) + "/" + input, tag), input, ended);
    });
}

PyMethodDef methods[] = {{"byte_source", byte_source, METH_VARARGS, nullptr},
                         {"output_target", output_target, METH_VARARGS, nullptr},
                         {nullptr, nullptr, 0, nullptr}};
PyModuleDef module = {PyModuleDef_HEAD_INIT, "_kestrel_conformance", nullptr, -1, methods};

}  // namespace

PyMODINIT_FUNC PyInit__kestrel_conformance() { return PyModule_Create(&module); }
