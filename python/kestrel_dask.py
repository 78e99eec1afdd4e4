"""Runs the tasks of kestrel_scatter.scatter(..., client=...) on a Dask cluster.

kestrel_scatter plans the run and checks what comes back; this module only moves
tasks: it submits them to the client's cluster, and hands their results back. A task
runs on a worker as kestrel_scatter._count_range or _write_chunk, with the engine's
pool sized to the threads the worker was given. The input and the output directory
must be at the same path on every worker (a shared file system).

Dask runs a task again when its worker dies; every attempt writes under temporary
names of its own, so a task run twice or cut off leaves nothing behind. A run that
ends early cancels its tasks; one that is under way on a worker all the same can no
longer put a file in place (kestrel_scatter removes the run's token first).
"""
import itertools

import kestrel_scatter

_runs = itertools.count()


def check(client):
    """TypeError unless `client` is a distributed.Client."""
    try:
        from distributed import Client
    except ImportError:
        raise TypeError("client needs Dask distributed: pip install 'kestrel[dask]'") from None
    if not isinstance(client, Client):
        raise TypeError(f"client must be a distributed.Client or None, not {type(client).__name__}")


def _worker():
    """(threads, address) of this worker; (0, "") outside a worker (the process's pool)."""
    try:
        from distributed import get_worker

        worker = get_worker()
        return worker.state.nthreads, worker.address
    except ValueError:
        return 0, ""


def _on_worker(entry, task):
    """(the task's result, what it fetched of URLs: {URL: [GETs, bytes]})."""
    import kestrel_storage  # standard modules only: fsspec comes with the first URL

    threads, address = _worker()
    try:
        with kestrel_storage.task_reads() as fetched:
            return entry(task, threads, address), fetched
    except ImportError as error:
        # The caller has what it needs, or it would not have got this far: the worker's
        # environment lacks it.
        where = f"the worker at {address}" if address else "a worker"
        raise type(error)(f"{error} (on {where}: workers have their own environment)", name=error.name,
                          path=error.path) from None


def _count(task):
    return _on_worker(kestrel_scatter._count_range, task)


def _write(task):
    return _on_worker(kestrel_scatter._write_chunk, task)


def _submit(client, function, tasks, kind):
    run = next(_runs)
    keys = [f"kestrel-{kind}-{id(client):x}-{run}-{i}" for i in range(len(tasks))]
    try:
        return client.map(function, tasks, key=keys, pure=False)
    except Exception as error:
        raise _lost_or(client, error) from None


def _lost_or(client, error):
    """What a failure of the cluster itself becomes: the scheduler gone (a closed or
    refused connection, a client that is no longer running) is one plain ConnectionError;
    anything else stays as it is."""
    if isinstance(error, OSError) or client.status != "running":
        address = getattr(client.scheduler, "address", None) or "an unknown address"
        return ConnectionError(f"lost the Dask scheduler at {address}")
    return error


def _cancel(client, futures):
    """Cancels what has not finished; a scheduler that is gone cancels nothing."""
    try:
        client.cancel([future for future in futures if not future.done()])
    except Exception:  # noqa: BLE001 - the tasks can no longer put files in place anyway
        pass


def slots(client):
    """How many tasks the cluster runs at once: its workers' threads."""
    try:
        return sum(client.nthreads().values())
    except Exception as error:
        raise _lost_or(client, error) from None


def _result(answer):
    """A task's result, what it fetched added to this process's counts."""
    result, fetched = answer
    if fetched:
        import kestrel_storage

        kestrel_storage.add_fetched(fetched)
    return result


def count(client, tasks):
    """The results of the counting tasks, in their order."""
    futures = _submit(client, _count, tasks, "count")
    try:
        return [_result(answer) for answer in client.gather(futures)]
    except Exception as error:
        raise _lost_or(client, error) from None
    finally:
        _cancel(client, futures)


def write(client, tasks, done):
    """Calls done(position, result) for each chunk task as it completes."""
    from concurrent.futures import CancelledError

    from distributed import as_completed

    futures = _submit(client, _write, tasks, "chunk")
    positions = {future.key: i for i, future in enumerate(futures)}
    try:
        for future in as_completed(futures):
            try:
                result = future.result()
            except CancelledError:  # by a client that lost its scheduler
                raise _lost_or(client, OSError("cancelled")) from None
            except Exception as error:
                raise _lost_or(client, error) from None
            done(positions[future.key], _result(result))  # what this raises ends the run as it is
    finally:
        _cancel(client, futures)
