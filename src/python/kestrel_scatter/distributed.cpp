#include "python/kestrel_scatter/distributed.hpp"

#include <exception>
#include <functional>
#include <optional>
#include <string>

#include "python/exceptions.hpp"
#include "python/py_lock.hpp"
#include "python/py_ref.hpp"
#include "split/distributed.hpp"

namespace kestrel::py {
namespace {

// What crosses the cluster: tuples of bytes, integers and None. Texts go as bytes,
// so that paths and CHROMs arrive as they left.

PyObject* bytes_of(const std::string& text) {
    return PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// The bytes of a bytes object; false with TypeError otherwise.
bool text_of(PyObject* object, std::string& out) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(object, &data, &size) < 0) return false;
    out.assign(data, static_cast<size_t>(size));
    return true;
}

// A list of what `tuple_of` makes of each task; null with the exception set.
template <class Task, class Convert>
Ref task_list(const std::vector<Task>& tasks, Convert&& tuple_of) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(tasks.size())));
    if (!list) return {};
    for (size_t i = 0; i < tasks.size(); ++i) {
        Ref item = tuple_of(tasks[i]);
        if (!item) return {};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return list;
}

Ref failure_tuple(const std::optional<TaskFailure>& failure) {
    if (!failure) return Ref::borrow(Py_None);
    const StopDetail& detail = failure->detail;
    Ref message = Ref::steal(bytes_of(failure->message)), path = Ref::steal(bytes_of(detail.path)),
        text = Ref::steal(bytes_of(detail.text));
    if (!message || !path || !text) return {};
    return Ref::steal(Py_BuildValue("(OiiOKOi)", message.get(), static_cast<int>(detail.kind), detail.os_code,
                                    path.get(), static_cast<unsigned long long>(detail.line), text.get(),
                                    detail.text_is_reason ? 1 : 0));
}

bool failure_from(PyObject* object, std::optional<TaskFailure>& out) {
    out.reset();
    if (object == Py_None) return true;
    PyObject *message, *path, *text;
    int kind = 0, reason = 0;
    TaskFailure failure;
    unsigned long long line = 0;
    if (!PyArg_ParseTuple(object, "OiiOKOi", &message, &kind, &failure.detail.os_code, &path, &line, &text, &reason) ||
        !text_of(message, failure.message) || !text_of(path, failure.detail.path) || !text_of(text, failure.detail.text)) {
        return false;
    }
    failure.detail.kind = static_cast<StopDetail::Kind>(kind);
    failure.detail.line = line;
    failure.detail.text_is_reason = reason != 0;
    out = std::move(failure);
    return true;
}

Ref range_task_tuple(const RangeTask& task) {
    Ref input = Ref::steal(bytes_of(task.input)), name = Ref::steal(bytes_of(task.input_name));
    if (!input || !name) return {};
    return Ref::steal(Py_BuildValue("(OOiKKKKn)", input.get(), name.get(), task.compressed ? 1 : 0,
                                    static_cast<unsigned long long>(task.size),
                                    static_cast<unsigned long long>(task.start),
                                    static_cast<unsigned long long>(task.end),
                                    static_cast<unsigned long long>(task.step), static_cast<Py_ssize_t>(task.read_size)));
}

bool range_task_from(PyObject* object, RangeTask& task) {
    PyObject *input, *name;
    int compressed = 0;
    unsigned long long size = 0, start = 0, end = 0, step = 0;
    Py_ssize_t read_size = 0;
    if (!PyArg_ParseTuple(object, "OOiKKKKn", &input, &name, &compressed, &size, &start, &end, &step, &read_size) ||
        !text_of(input, task.input) || !text_of(name, task.input_name)) {
        return false;
    }
    task.compressed = compressed != 0;
    task.size = size, task.start = start, task.end = end, task.step = step;
    task.read_size = static_cast<size_t>(std::max<Py_ssize_t>(read_size, 1));
    return true;
}

Ref range_count_tuple(const RangeCount& count) {
    Ref failure = failure_tuple(count.failure);
    if (!failure) return {};
    return Ref::steal(Py_BuildValue("(KKiiiKKiiO)", static_cast<unsigned long long>(count.start),
                                    static_cast<unsigned long long>(count.end), count.empty ? 1 : 0,
                                    static_cast<int>(count.first_byte), count.ends_with_line_feed ? 1 : 0,
                                    static_cast<unsigned long long>(count.records),
                                    static_cast<unsigned long long>(count.header_lines),
                                    count.header_after_record ? 1 : 0, count.stream_ends ? 1 : 0, failure.get()));
}

// The counts of a task's parts, as a list.
Ref range_counts_list(const std::vector<RangeCount>& counts) { return task_list(counts, range_count_tuple); }

bool range_count_from(PyObject* object, RangeCount& count) {
    unsigned long long start = 0, end = 0, records = 0, header_lines = 0;
    int empty = 0, first_byte = 0, line_feed = 0, after = 0, ends = 0;
    PyObject* failure = nullptr;
    if (!PyArg_ParseTuple(object, "KKiiiKKiiO", &start, &end, &empty, &first_byte, &line_feed, &records,
                          &header_lines, &after, &ends, &failure) ||
        !failure_from(failure, count.failure)) {
        return false;
    }
    count.start = start, count.end = end, count.empty = empty != 0;
    count.first_byte = static_cast<uint8_t>(first_byte);
    count.ends_with_line_feed = line_feed != 0;
    count.records = records, count.header_lines = header_lines;
    count.header_after_record = after != 0, count.stream_ends = ends != 0;
    return true;
}

Ref chunk_task_tuple(const ChunkTask& task) {
    Ref strings[] = {Ref::steal(bytes_of(task.input)), Ref::steal(bytes_of(task.input_name)),
                     Ref::steal(bytes_of(task.output_dir)), Ref::steal(bytes_of(task.output_name)),
                     Ref::steal(bytes_of(task.tag))};
    for (const Ref& string : strings) {
        if (!string) return {};
    }
    const int index = !task.index ? 0 : *task.index == index::IndexFormat::Tbi ? 1 : 2;
    return Ref::steal(Py_BuildValue(
        "(OOiOOKKiKiKKKiiiiOn)", strings[0].get(), strings[1].get(), task.compressed ? 1 : 0, strings[2].get(),
        strings[3].get(), static_cast<unsigned long long>(task.output_identity.device),
        static_cast<unsigned long long>(task.output_identity.inode), task.number, static_cast<unsigned long long>(task.start), task.starts_line ? 1 : 0,
        static_cast<unsigned long long>(task.skip), static_cast<unsigned long long>(task.take),
        static_cast<unsigned long long>(task.first_record), task.last ? 1 : 0,
        task.compression ? static_cast<int>(*task.compression) : -1, index, task.durable ? 1 : 0, strings[4].get(),
        static_cast<Py_ssize_t>(task.read_size)));
}

bool chunk_task_from(PyObject* object, ChunkTask& task) {
    PyObject *input, *name, *output, *output_name, *tag;
    int compressed = 0, starts_line = 0, last = 0, level = 0, index = 0, durable = 0;
    unsigned long long device = 0, inode = 0, start = 0, skip = 0, take = 0, first = 0;
    Py_ssize_t read_size = 0;
    if (!PyArg_ParseTuple(object, "OOiOOKKiKiKKKiiiiOn", &input, &name, &compressed, &output, &output_name, &device,
                          &inode, &task.number, &start, &starts_line, &skip, &take, &first, &last, &level, &index, &durable,
                          &tag, &read_size) ||
        !text_of(input, task.input) || !text_of(name, task.input_name) || !text_of(output, task.output_dir) ||
        !text_of(output_name, task.output_name) || !text_of(tag, task.tag)) {
        return false;
    }
    task.compressed = compressed != 0, task.starts_line = starts_line != 0, task.last = last != 0;
    task.output_identity = {static_cast<dev_t>(device), static_cast<ino_t>(inode)};
    task.start = start, task.skip = skip, task.take = take, task.first_record = first;
    if (level >= 0) task.compression = static_cast<uint32_t>(level);
    if (index != 0) task.index = index == 1 ? index::IndexFormat::Tbi : index::IndexFormat::Csi;
    task.durable = durable != 0;
    task.read_size = static_cast<size_t>(std::max<Py_ssize_t>(read_size, 1));
    return true;
}

Ref optional_number(const std::optional<uint64_t>& value) {
    if (!value) return Ref::borrow(Py_None);
    return Ref::steal(PyLong_FromUnsignedLongLong(*value));
}

Ref outcome_tuple(const ChunkOutcome& outcome) {
    Ref summary = Ref::borrow(Py_None);
    if (const auto& chunk = outcome.chunk) {
        Ref file = Ref::steal(bytes_of(chunk->file)), index = Ref::steal(bytes_of(chunk->index_file)),
            first = Ref::steal(bytes_of(chunk->first_chrom)), last = Ref::steal(bytes_of(chunk->last_chrom)),
            first_pos = optional_number(chunk->first_pos), last_pos = optional_number(chunk->last_pos);
        if (!file || !index || !first || !last || !first_pos || !last_pos) return {};
        summary = Ref::steal(Py_BuildValue("(iOOKOOOOK)", chunk->number, file.get(), index.get(),
                                           static_cast<unsigned long long>(chunk->records), first.get(),
                                           first_pos.get(), last.get(), last_pos.get(),
                                           static_cast<unsigned long long>(chunk->bytes)));
        if (!summary) return {};
    }
    Ref runs = Ref::steal(PyList_New(static_cast<Py_ssize_t>(outcome.runs.size())));
    if (!runs) return {};
    for (size_t i = 0; i < outcome.runs.size(); ++i) {
        const ChromRun& run = outcome.runs[i];
        Ref chrom = Ref::steal(bytes_of(run.chrom));
        if (!chrom) return {};
        PyObject* item = Py_BuildValue("(OKKK)", chrom.get(), static_cast<unsigned long long>(run.first_begin),
                                       static_cast<unsigned long long>(run.last_begin),
                                       static_cast<unsigned long long>(run.first_record));
        if (item == nullptr) return {};
        PyList_SET_ITEM(runs.get(), static_cast<Py_ssize_t>(i), item);
    }
    Ref failure = failure_tuple(outcome.failure);
    if (!failure) return {};
    return Ref::steal(Py_BuildValue("(OOKKO)", summary.get(), runs.get(),
                                    static_cast<unsigned long long>(outcome.records),
                                    static_cast<unsigned long long>(outcome.records_after), failure.get()));
}

bool optional_number_from(PyObject* object, std::optional<uint64_t>& out) {
    out.reset();
    if (object == Py_None) return true;
    const unsigned long long value = PyLong_AsUnsignedLongLong(object);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = value;
    return true;
}

bool outcome_from(PyObject* object, ChunkOutcome& outcome) {
    PyObject *summary, *runs, *failure;
    unsigned long long records = 0, after = 0;
    if (!PyArg_ParseTuple(object, "OO!KKO", &summary, &PyList_Type, &runs, &records, &after, &failure) ||
        !failure_from(failure, outcome.failure)) {
        return false;
    }
    outcome.records = records, outcome.records_after = after;
    if (summary != Py_None) {
        ChunkSummary chunk;
        PyObject *file, *index, *first, *first_pos, *last, *last_pos;
        unsigned long long chunk_records = 0, bytes = 0;
        if (!PyArg_ParseTuple(summary, "iOOKOOOOK", &chunk.number, &file, &index, &chunk_records, &first, &first_pos,
                              &last, &last_pos, &bytes) ||
            !text_of(file, chunk.file) || !text_of(index, chunk.index_file) || !text_of(first, chunk.first_chrom) ||
            !text_of(last, chunk.last_chrom) || !optional_number_from(first_pos, chunk.first_pos) ||
            !optional_number_from(last_pos, chunk.last_pos)) {
            return false;
        }
        chunk.records = chunk_records, chunk.bytes = bytes;
        outcome.chunk = std::move(chunk);
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(runs); ++i) {
        ChromRun run;
        PyObject* chrom;
        unsigned long long first_begin = 0, last_begin = 0, first_record = 0;
        if (!PyArg_ParseTuple(PyList_GET_ITEM(runs, i), "OKKK", &chrom, &first_begin, &last_begin, &first_record) ||
            !text_of(chrom, run.chrom)) {
            return false;
        }
        run.first_begin = first_begin, run.last_begin = last_begin, run.first_record = first_record;
        outcome.runs.push_back(std::move(run));
    }
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
        if (count < 0) {
            PyErr_Clear();  // sized as for one slot
            return 1;
        }
        return static_cast<size_t>(count);
    }

    std::vector<std::vector<RangeCount>> count(const std::vector<RangeTask>& tasks) override {
        std::vector<std::vector<RangeCount>> counts(tasks.size());
        const LockTaken lock;
        Ref list = task_list(tasks, range_task_tuple);
        Ref results = list ? call("count", list.get(), nullptr) : Ref();
        if (!results) throw Interrupted();  // the cluster's exception is pending
        if (!PyList_Check(results.get()) || PyList_GET_SIZE(results.get()) != static_cast<Py_ssize_t>(tasks.size())) {
            PyErr_SetString(PyExc_RuntimeError, "kestrel_dask.count gave no list of one result per task");
            throw Interrupted();
        }
        for (size_t i = 0; i < tasks.size(); ++i) {
            PyObject* parts = PyList_GET_ITEM(results.get(), static_cast<Py_ssize_t>(i));
            if (!PyList_Check(parts)) {
                PyErr_SetString(PyExc_RuntimeError, "a counting task gave no list");
                throw Interrupted();
            }
            counts[i].resize(static_cast<size_t>(PyList_GET_SIZE(parts)));
            for (size_t k = 0; k < counts[i].size(); ++k) {
                if (!range_count_from(PyList_GET_ITEM(parts, static_cast<Py_ssize_t>(k)), counts[i][k])) {
                    throw Interrupted();
                }
            }
        }
        return counts;
    }

    void write(const std::vector<ChunkTask>& tasks,
               const std::function<void(size_t, ChunkOutcome)>& done) override {
        Context context{&done, {}};
        const LockTaken lock;
        Ref list = task_list(tasks, chunk_task_tuple);
        if (!list) throw Interrupted();
        Ref capsule = Ref::steal(PyCapsule_New(&context, nullptr, nullptr));
        if (!capsule) throw Interrupted();
        static PyMethodDef definition = {"kestrel_chunk_done", reinterpret_cast<PyCFunction>(chunk_done), METH_VARARGS,
                                         nullptr};
        Ref callback = Ref::steal(PyCFunction_New(&definition, capsule.get()));
        Ref result = callback ? call("write", list.get(), callback.get()) : Ref();
        if (result) return;
        if (context.failure) {
            // The run ended in `done`: with a callback's exception pending, or a stop.
            try {
                std::rethrow_exception(context.failure);
            } catch (const Interrupted&) {
                throw;
            } catch (...) {
                PyErr_Clear();
                throw;
            }
        }
        throw Interrupted();
    }

private:
    struct Context {
        const std::function<void(size_t, ChunkOutcome)>* done;
        std::exception_ptr failure;
    };

    // kestrel_dask.write calls it with (position, outcome) as each task completes.
    static PyObject* chunk_done(PyObject* capsule, PyObject* args) {
        auto* context = static_cast<Context*>(PyCapsule_GetPointer(capsule, nullptr));
        Py_ssize_t position = 0;
        PyObject* result = nullptr;
        ChunkOutcome outcome;
        if (context == nullptr || !PyArg_ParseTuple(args, "nO", &position, &result) || !outcome_from(result, outcome)) {
            return nullptr;
        }
        {
            const LockReleased released;  // the run's callbacks take it back themselves
            try {
                (*context->done)(static_cast<size_t>(position), std::move(outcome));
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

// Runs a task's body without the lock; null with the exception set when it could
// not run (a signal handler on the main thread, or no memory).
template <class Body>
bool run_task(Body&& body) {
    try {
        const LockReleased released;
        body();
        return true;
    } catch (const Interrupted&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "a task ended without an exception");
    } catch (const std::bad_alloc&) {
        PyErr_SetString(PyExc_MemoryError, kMemoryExhausted);
    }
    return false;
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

namespace {

// A task on a worker: its tuple read, its work run without the lock, its result a tuple.
template <class Task, class Result>
PyObject* task_entry(PyObject* args, const char* format, bool (*read)(PyObject*, Task&), Result (*work)(const Task&),
                     Ref (*tuple_of)(const Result&)) {
    PyObject* tuple = nullptr;
    Py_ssize_t threads = 0;
    Task task;
    if (!PyArg_ParseTuple(args, format, &tuple, &threads) || !read(tuple, task)) return nullptr;
    task.threads = static_cast<size_t>(std::max<Py_ssize_t>(threads, 0));
    Result result;
    if (!run_task([&] { result = work(task); })) return nullptr;
    return tuple_of(result).release();
}

}  // namespace

PyObject* count_range_entry(PyObject*, PyObject* args) {
    return task_entry(args, "On:_count_range", range_task_from, count_range, range_counts_list);
}

PyObject* write_chunk_entry(PyObject*, PyObject* args) {
    return task_entry(args, "On:_write_chunk", chunk_task_from, write_chunk, outcome_tuple);
}

}  // namespace kestrel::py
