#include "python/kestrel_scatter/distributed.hpp"

#include <exception>
#include <functional>
#include <string>
#include <string_view>

#include "python/exceptions.hpp"
#include "python/py_error.hpp"
#include "python/py_lock.hpp"
#include "python/py_ref.hpp"
#include "split/run/cluster_run.hpp"
#include "split/run/tasks.hpp"

namespace kestrel::py {
namespace {

// What crosses the cluster: bytes objects, one per task and per result, which the
// engine makes and reads (split/run/tasks.hpp).

Ref bytes_list(const std::vector<std::string>& items) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!list) return {};
    for (size_t i = 0; i < items.size(); ++i) {
        PyObject* item = PyBytes_FromStringAndSize(items[i].data(), static_cast<Py_ssize_t>(items[i].size()));
        if (item == nullptr) return {};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list;
}

// The bytes of a bytes object; false with TypeError otherwise.
bool view_of(PyObject* object, std::string_view& out) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(object, &data, &size) < 0) return false;
    out = {data, static_cast<size_t>(size)};
    return true;
}

// Hands the tasks to kestrel_dask, which runs them on the client's cluster.
class ClusterRunner final : public TaskRunner {
public:
    explicit ClusterRunner(PyObject* client) : client_(client) {}

    size_t slots() override {
        const LockTaken lock;
        Ref threads = call("slots", nullptr, nullptr);
        const long count = threads ? PyLong_AsLong(threads.get()) : -1;
        if (count < 0) throw_python_error("the cluster");
        return static_cast<size_t>(count);
    }

    std::vector<std::string> count(const std::vector<std::string>& tasks) override {
        const LockTaken lock;
        Ref list = bytes_list(tasks);
        Ref results = list ? call("count", list.get(), nullptr) : Ref();
        if (!results) throw_python_error("the cluster");
        if (!PyList_Check(results.get()) || PyList_GET_SIZE(results.get()) != static_cast<Py_ssize_t>(tasks.size())) {
            PyErr_SetString(PyExc_RuntimeError, "kestrel_dask.count gave no list of one result per task");
            throw_python_error();
        }
        std::vector<std::string> counts(tasks.size());
        for (size_t i = 0; i < tasks.size(); ++i) {
            std::string_view bytes;
            if (!view_of(PyList_GET_ITEM(results.get(), static_cast<Py_ssize_t>(i)), bytes)) throw_python_error();
            counts[i] = bytes;
        }
        return counts;
    }

    void write(const std::vector<std::string>& tasks,
               const std::function<void(size_t, std::string_view)>& done) override {
        Context context{&done, {}};
        const LockTaken lock;
        Ref list = bytes_list(tasks);
        if (!list) throw_python_error();
        Ref capsule = Ref::steal(PyCapsule_New(&context, nullptr, nullptr));
        if (!capsule) throw_python_error();
        static PyMethodDef definition = {"kestrel_chunk_done", reinterpret_cast<PyCFunction>(chunk_done), METH_VARARGS,
                                         nullptr};
        Ref callback = Ref::steal(PyCFunction_New(&definition, capsule.get()));
        Ref result = callback ? call("write", list.get(), callback.get()) : Ref();
        if (result) return;
        if (context.failure) {
            // The run ended in `done` (a callback's exception, which the failure carries,
            // or a stop): what the cluster's code raised on the way is only its echo.
            PyErr_Clear();
            std::rethrow_exception(context.failure);
        }
        throw_python_error("the cluster");
    }

private:
    struct Context {
        const std::function<void(size_t, std::string_view)>* done;
        std::exception_ptr failure;
    };

    // kestrel_dask.write calls it with (position, result) as each task completes.
    static PyObject* chunk_done(PyObject* capsule, PyObject* args) {
        auto* context = static_cast<Context*>(PyCapsule_GetPointer(capsule, nullptr));
        Py_ssize_t position = 0;
        PyObject* result = nullptr;
        std::string_view bytes;
        if (context == nullptr || !PyArg_ParseTuple(args, "nO", &position, &result) || !view_of(result, bytes)) {
            return nullptr;
        }
        {
            const LockReleased released;  // the run's callbacks take it back themselves
            try {
                (*context->done)(static_cast<size_t>(position), bytes);
            } catch (...) {
                context->failure = std::current_exception();
            }
        }
        if (context->failure) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "the run ended");
            return nullptr;
        }
        Py_RETURN_NONE;
    }

    Ref call(const char* function, PyObject* tasks, PyObject* callback) {
        Ref module = Ref::steal(PyImport_ImportModule("kestrel_dask"));
        if (!module) return {};
        Ref method = Ref::steal(PyObject_GetAttrString(module.get(), function));
        if (!method) return {};
        // Arguments after a null one are not passed: slots(client), count(client, tasks), write(...).
        return Ref::steal(PyObject_CallFunctionObjArgs(method.get(), client_, tasks, callback, nullptr));
    }

    PyObject* client_;
};

// A task on a worker: its bytes read, its work run without the lock, its result bytes.
// A Python exception that ended it (a store's package missing on the worker) is raised
// as it is, for the cluster to hand to the caller.
PyObject* task_entry(PyObject* args, const char* format,
                     std::string (*run)(std::string_view, size_t, std::string_view)) {
    PyObject* task = nullptr;
    Py_ssize_t threads = 0;
    const char* worker = "";
    std::string_view bytes;
    if (!PyArg_ParseTuple(args, format, &task, &threads, &worker) || !view_of(task, bytes)) return nullptr;
    std::string result;
    const size_t pool_threads = static_cast<size_t>(std::max<Py_ssize_t>(threads, 0));
    const bool ran = run_released([&] { result = run(bytes, pool_threads, worker); });
    return ran ? PyBytes_FromStringAndSize(result.data(), static_cast<Py_ssize_t>(result.size())) : nullptr;
}

}  // namespace

bool scatter_on_client(PyObject* client, const ScatterOptions& options, uint64_t range_bytes,
                       std::vector<ChunkSummary>& saved) {
    Ref module = Ref::steal(PyImport_ImportModule("kestrel_dask"));
    Ref checked = module ? Ref::steal(PyObject_CallMethod(module.get(), "check", "O", client)) : Ref();
    if (!checked) return false;
    ClusterRunner runner(client);
    return run_released([&] { saved = scatter_on(runner, options, range_bytes); });
}

PyObject* count_range_entry(PyObject*, PyObject* args) {
    return task_entry(args, "On|s:_count_range", run_range_task);
}

PyObject* write_chunk_entry(PyObject*, PyObject* args) {
    return task_entry(args, "On|s:_write_chunk", run_chunk_task);
}

}  // namespace kestrel::py
