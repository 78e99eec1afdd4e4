"""Runs the tasks of kestrel_scatter.scatter(..., client=...) on a Dask cluster.

kestrel_scatter plans the run and checks what comes back; this module only moves
tasks: it submits them to the client's cluster, and hands their results back. A task
runs on a worker as kestrel_scatter._count_range or _write_chunk, with the engine's
pool sized to the threads the worker was given. The input and the output directory
must be at the same path on every worker (a shared file system).

Dask runs a task again when its worker dies; every attempt writes under temporary
names of its own, so a task run twice or cut off leaves nothing behind.
"""
import itertools

import kestrel_scatter

_runs = itertools.count()


def _threads():
    """The threads this worker was given; 0 outside a worker (the process's pool)."""
    try:
        from distributed import get_worker

        return get_worker().state.nthreads
    except ValueError:
        return 0


def _count(task):
    return kestrel_scatter._count_range(task, _threads())


def _write(task):
    return kestrel_scatter._write_chunk(task, _threads())


def _submit(client, function, tasks, kind):
    run = next(_runs)
    keys = [f"kestrel-{kind}-{id(client):x}-{run}-{i}" for i in range(len(tasks))]
    return client.map(function, tasks, key=keys, pure=False)


def slots(client):
    """How many tasks the cluster runs at once: its workers' threads."""
    return sum(client.nthreads().values())


def count(client, tasks):
    """The results of the counting tasks, in their order."""
    futures = _submit(client, _count, tasks, "count")
    try:
        return client.gather(futures)
    finally:
        client.cancel([future for future in futures if not future.done()])


def write(client, tasks, done):
    """Calls done(position, result) for each chunk task as it completes."""
    from distributed import as_completed

    futures = _submit(client, _write, tasks, "chunk")
    positions = {future.key: i for i, future in enumerate(futures)}
    try:
        for future, result in as_completed(futures, with_results=True):
            done(positions[future.key], result)
    except BaseException:
        _settle(client, futures)
        raise


def _settle(client, futures):
    """The run ends early: the chunk tasks not yet on a worker are cancelled, and those
    under way are waited for, so that none of them writes once the call has ended (the
    caller then removes what attempts cut off left)."""
    from distributed import wait

    under_way = {key for keys in client.processing().values() for key in keys}
    client.cancel([future for future in futures if not future.done() and future.key not in under_way])
    wait([future for future in futures if future.key in under_way])
