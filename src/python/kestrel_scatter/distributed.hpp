// kestrel_scatter on a cluster: the tasks of split/run/tasks.hpp as plain tuples
// that a cluster engine can ship, the two entries its workers call, and the runner
// that hands the tasks to the Python module kestrel_dask (Dask distributed).
//
// Contract: the interpreter lock must be held to call these, except that
// scatter_on_client runs the engine without it and takes it back only to talk to
// the cluster and to call the caller's callbacks.
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

#include "split/plan/scatter.hpp"
#include "split/write/chunk_summary.hpp"

namespace kestrel::py {

// The run of scatter() with a dask.distributed Client: ranges of `range_bytes`
// (0: the default). False with the exception set when it fails.
bool scatter_on_client(PyObject* client, const ScatterOptions& options, uint64_t range_bytes,
                       std::vector<ChunkSummary>& saved);

// _count_range(task, threads, worker='') and _write_chunk(task, threads, worker=''): a
// task on a worker, with the engine's pool of `threads` threads (0: the process's
// own); `worker`, its address, is named in failures only a worker meets. A Python
// exception that ended the task (not a failure of its own: those are in its result)
// is raised as it is.
PyObject* count_range_entry(PyObject*, PyObject* args);
PyObject* write_chunk_entry(PyObject*, PyObject* args);

}  // namespace kestrel::py
