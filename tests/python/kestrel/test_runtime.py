"""A split in a Python process: its worker pool (shared by both modules), other
threads, signals, a killed process, and memory that does not grow with a batch or a
line."""
import gzip
import os
import signal
import subprocess
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

import kestrel
import kestrel_scatter
from conftest import BGZF_EOF, DATA, HEADER, UNDER_SANITIZER, bgzf, child_env, run_python, sample
from reference import expected_batches

SOURCE = str(DATA / "haploid-x.vcf")
THREAD_COUNT = "len(os.listdir('/proc/self/task')) - 1"


# The variables' parsing is tested in tests/cpp/test_worker_pool.cpp; these rows show
# which variables are read, when, and what "the processors" are. Both modules share the
# one pool the first call starts.
@pytest.mark.parametrize("env, expected", [({"RAYON_NUM_THREADS": "3"}, 3), ({}, "processors"),
                                           ({"RAYON_NUM_THREADS": "abc", "RAYON_RS_NUM_CPUS": "4"}, 4)])
def test_pool_size_follows_the_environment_of_the_first_call_of_either_module(tmp_path, env, expected):
    calls = [f"kestrel.py_extract_variants_to_batches({SOURCE!r}, {str(tmp_path)!r}, 100, 'fast')",
             f"os.environ['RAYON_NUM_THREADS'] = '5'\n"
             f"kestrel_scatter.scatter({SOURCE!r}, {str(tmp_path / 'scatter')!r}, records_per_chunk=100)",
             f"kestrel.py_extract_variants_to_batches({SOURCE!r}, {str(tmp_path)!r}, 100, 'best')"]
    code = "import kestrel, kestrel_scatter, os\n" + "".join(f"{call}\nprint({THREAD_COUNT})\n" for call in calls)
    if expected == "processors":
        expected = min(len(os.sched_getaffinity(0)), 255)
    result = run_python(code, env={"RAYON_NUM_THREADS": None, "RAYON_RS_NUM_CPUS": None, **env})
    counts = [line for line in result.stdout.decode().splitlines() if not line.startswith("Sav")]
    assert counts == [str(expected)] * 3


POOL_START = """
import kestrel, os, resource
def usage():
    with open("/proc/self/status") as status:
        size = next(int(line.split()[1]) for line in status if line.startswith("VmSize:"))
    return len(os.listdir("/proc/self/task")), size << 10
def call():
    try:
        kestrel.py_extract_variants_to_batches(SOURCE, "out", 1000, "fast")
    except BaseException as e:
        print(type(e).__name__, e, os.path.exists("out"))
threads, size = usage()
call()  # no thread stack of 2**62 bytes can be mapped
os.environ["RUST_MIN_STACK"] = str(512 << 20)
# Room for three and a half of the eight stacks: the fourth thread cannot start.
for _ in range(ROUNDS):
    resource.setrlimit(resource.RLIMIT_AS, (size + (512 << 20) * 7 // 2, resource.RLIM_INFINITY))
    call()
    resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
    print(*(now - then for now, then in zip(usage(), (threads, size))))
call()
child = os.fork() if FORK else -1  # with a pool of its own, as its parent's threads are not there
if child == 0:
    kestrel.py_extract_variants_to_batches(SOURCE, "child", 1000, "fast")
    os._exit(0)
assert child < 0 or os.waitstatus_to_exitcode(os.waitpid(child, 0)[1]) == 0
"""


def test_pool_that_cannot_start_raises_leaves_no_thread_and_starts_later(tmp_path):
    # The sanitizer reserves more address space than the limit, and its allocator keeps
    # no lock across a fork: a child forked while a parent's thread frees waits forever.
    rounds, fork = (0, False) if UNDER_SANITIZER else (20, True)
    code = POOL_START.replace("SOURCE", repr(SOURCE)).replace("ROUNDS", str(rounds)).replace("FORK", str(fork))
    result = run_python(code, cwd=tmp_path, env={"RUST_MIN_STACK": str(2**62), "RAYON_NUM_THREADS": "8"})
    lines = [line for line in result.stdout.decode().splitlines() if not line.startswith("Saving ")]
    failure = ('PanicException The global thread pool has not been initialized.: '
               'Os { code: 11, kind: WouldBlock, message: "Resource temporarily unavailable" } False')
    # No partial batch file, not even the directory it made; no thread and no stack left
    # behind, not even a malloc arena: at most the interpreter's own heap grows a little.
    assert lines[:1] + lines[1:2 * rounds:2] == [failure] * (rounds + 1)
    growth = [line.split() for line in lines[2:2 * rounds + 1:2]]
    assert all(int(threads) == 0 and int(size) < (16 << 20) for threads, size in growth), growth
    # A later call starts the pool, and so does one in a forked child.
    outs = ("out", "child")[:1 + fork]
    assert lines[2 * rounds + 1:] == [f"Saved 1 batches with 1000 samples to {out}." for out in outs]
    batch = (tmp_path / "out" / "batch_01.vcf.gz").read_bytes()
    assert gzip.decompress(batch) == (DATA / "haploid-x.vcf").read_bytes()
    assert all((tmp_path / out / "batch_01.vcf.gz").read_bytes() == batch for out in outs)


# A cluster task given threads runs on a pool of exactly that many; a process that
# ran one in its own threads and then forks has a child that needs a pool of its own.
TASK_IN_CHILD = """
import os, signal, kestrel_dask, kestrel_scatter
from distributed import Client, LocalCluster
write = kestrel_dask.write
def write_then_fork(client, tasks, done):
    result = write(client, tasks, done)
    child = os.fork()
    if child == 0:
        signal.alarm(50)  # a child that hangs does not outlive the test
        os._exit(kestrel_scatter._write_chunk(tasks[0], 2) == kestrel_scatter._write_chunk(tasks[0], 0))
    print(os.waitstatus_to_exitcode(os.waitpid(child, 0)[1]))
    return result
kestrel_dask.write = write_then_fork
with LocalCluster(processes=False, n_workers=1, threads_per_worker=2) as cluster, Client(cluster) as client:
    kestrel_scatter.scatter(SOURCE, "out", chunks=2, compression="fast", client=client)
"""


@pytest.mark.skipif(UNDER_SANITIZER, reason="the sanitizer's allocator keeps no lock across a fork")
def test_a_forked_child_runs_a_cluster_task_on_a_pool_of_its_own(tmp_path):
    pytest.importorskip("distributed")
    source = tmp_path / "in.vcf.gz"
    source.write_bytes(bgzf((DATA / "haploid-x.vcf").read_bytes()))
    result = run_python(TASK_IN_CHILD.replace("SOURCE", repr(str(source))), cwd=tmp_path, timeout=60)
    assert result.stdout.split()[-1:] == [b"1"]


@pytest.mark.parametrize("module", ["kestrel", "kestrel_scatter"])
def test_other_threads_run_while_either_module_works(tmp_path, module):
    source, out = tmp_path / "in.vcf", tmp_path / "out"
    source.write_bytes(sample(120))
    ticks, done = [], threading.Event()

    def ticker():
        while not done.wait(0.005):
            ticks.append(time.monotonic())

    thread = threading.Thread(target=ticker)
    start = time.monotonic()
    thread.start()
    if module == "kestrel":
        kestrel.py_extract_variants_to_batches(str(source), str(out), 3000, "best")
    else:
        kestrel_scatter.scatter(source, out, chunks=4, compression="best")
    elapsed = time.monotonic() - start
    done.set()
    thread.join()
    during = [t for t in ticks if t < start + elapsed]
    assert elapsed > 0.2 and len(during) > elapsed / 0.005 / 4, (elapsed, len(during))


@pytest.mark.parametrize("level", [None, "fast"])
def test_eight_threads_at_once_write_what_one_thread_writes(tmp_path, level):
    sources = [tmp_path / f"in{i}.vcf" for i in range(8)]
    for i, source in enumerate(sources):
        source.write_bytes(sample(1 + 3 * i))

    def split(i, kind):
        out = tmp_path / f"{kind}{i}"
        kestrel.py_extract_variants_to_batches(str(sources[i]), str(out), 500 + 97 * i, level)
        return sorted((p.name, p.read_bytes()) for p in out.iterdir())

    one_by_one = [split(i, "seq") for i in range(8)]
    with ThreadPoolExecutor(8) as pool:
        assert list(pool.map(lambda i: split(i, "par"), range(8))) == one_by_one


# Ctrl-C comes after a signal whose handler lets the call go on; the child tells
# whether that handler ran, and how long after Ctrl-C the call ended.
INTERRUPTED_SPLIT = """
import kestrel, signal, sys, time
calls = []
signal.signal(signal.SIGUSR1, lambda *_: calls.append(1))
try:
    kestrel.py_extract_variants_to_batches(sys.argv[1], "out", 2000, sys.argv[2] if sys.argv[2:] else None)
except KeyboardInterrupt:
    print(len(calls), time.monotonic() - float(open("sent").read()), file=sys.stderr)
"""


def feed(fifo, piece):
    """Writes copies of `piece` into the FIFO, slowly and for ever, until its reader is gone."""
    try:
        with open(fifo, "wb") as writer:
            while True:
                writer.write(piece)
                writer.flush()
                time.sleep(0.05)
    except OSError:
        pass


TIMING = pytest.mark.skipif(UNDER_SANITIZER, reason="timing")


@pytest.mark.parametrize("how", ["killed", *[pytest.param(how, marks=TIMING) for how in
                                             ("ctrl-c", "ctrl-c-reading-a-pipe", "ctrl-c-before-a-writer")]])
def test_a_stopped_split_leaves_only_complete_batch_files(tmp_path, how):
    text, arguments, waiting = sample(100), ["in.vcf", "best"], how == "ctrl-c-before-a-writer"
    if how.endswith("pipe") or waiting:
        text, arguments = sample(1), ["in.fifo"]
        os.mkfifo(tmp_path / "in.fifo")
        if not waiting:
            threading.Thread(target=feed, args=(tmp_path / "in.fifo", text), daemon=True).start()
    else:
        (tmp_path / "in.vcf").write_bytes(text)
    child = subprocess.Popen([sys.executable, "-c", INTERRUPTED_SPLIT, *arguments], cwd=tmp_path, env=child_env(),
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    # Once the split is in full swing, or waits for a writer to open the FIFO.
    assert waiting or child.stdout.readline().startswith(b"Saving batch_01")
    time.sleep(0.3 if waiting else 0.05)
    if how == "killed":
        child.kill()
    else:
        child.send_signal(signal.SIGUSR1)
        time.sleep(0.1)
        (tmp_path / "sent").write_text(repr(time.monotonic()))
        child.send_signal(signal.SIGINT)
    stderr = child.communicate(timeout=30)[1].decode()
    names = sorted(p.name for p in (tmp_path / "out").glob("*"))
    expected = expected_batches(text, 2000)
    if how == "killed":  # nothing can remove its temporaries, but no batch file is partial
        names = [name for name in names if name.startswith("batch_")]
        assert len(names) < len(expected)
    else:  # and no failure report
        handler_ran, delay = stderr.split()
        assert handler_ran == "1" and float(delay) < 0.5, stderr
    assert all(name.startswith("batch_") for name in names) and bool(names) != waiting, names  # no temporary left
    for name in names:
        data = (tmp_path / "out" / name).read_bytes()
        if name.endswith(".gz"):
            assert data.endswith(BGZF_EOF) and gzip.decompress(data) == expected[int(name[6:8]) - 1]
        else:  # copies of the piece from the FIFO
            assert data.startswith(b"##fileformat") and data.endswith(b"\n")


@pytest.mark.skipif(UNDER_SANITIZER, reason="the sanitizers need more address space than the limits allow")
def test_running_out_of_address_space_ends_the_call_not_the_process(tmp_path):
    source = tmp_path / "in.vcf"
    source.write_bytes(sample(10))  # batches of about 6 MB
    code = ("import kestrel, sys\ntry:\n"
            f"    kestrel.py_extract_variants_to_batches({str(source)!r}, sys.argv[1], 7770, sys.argv[2])\n"
            "    print('ok')\nexcept BaseException as e:\n    print(e)\n")
    outcomes = set()
    for limit_mb in range(30, 70, 4):
        for level in ("none", "fast", "best"):
            command = ["prlimit", f"--as={limit_mb << 20}", sys.executable, "-c", code, str(tmp_path / "o"), level]
            result = subprocess.run(command, env=child_env({"RAYON_NUM_THREADS": "2"}), capture_output=True,
                                    timeout=60)
            assert result.returncode == 0, (limit_mb, level, result.stderr.decode()[-300:])
            outcome = result.stdout.decode().splitlines()[-1].split(": Os {")[0]
            if outcome == "memory allocation failed":  # reported like any failure, first
                assert "panicked at 'memory allocation failed'" in result.stderr.decode()
            assert outcome in {"ok", "memory allocation failed", "The global thread pool has not been initialized."}, (
                limit_mb, level, outcome)
            outcomes.add(outcome)
    assert {"ok", "memory allocation failed"} <= outcomes


@pytest.mark.skipif(UNDER_SANITIZER, reason="the sanitizers' own memory is counted too")
@pytest.mark.parametrize("level", [None, "best"])
def test_memory_does_not_grow_with_a_batch_or_a_line(tmp_path, level):
    source = tmp_path / "in.vcf"
    with open(source, "wb") as out:
        out.write(HEADER + b"chr1\t1\t.\tA\t" + b"C" * (200 << 20) + b"\n")  # one 200 MB record
        out.write(sample(60, header=False))  # and 35 MB more, all in one batch
    # VmHWM is this process's own peak; ru_maxrss would count the parent's before exec.
    code = (
        "import kestrel\n"
        f"kestrel.py_extract_variants_to_batches({str(source)!r}, {str(tmp_path / 'out')!r}, 10**9, {level!r})\n"
        "print(next(int(l.split()[1]) for l in open('/proc/self/status') if l.startswith('VmHWM')) // 1024)\n"
    )
    assert int(run_python(code).stdout.decode().splitlines()[-1]) < 64
    batch = tmp_path / "out" / ("batch_01.vcf.gz" if level else "batch_01.vcf")
    assert subprocess.run(f"{'gzip -dc' if level else 'cat'} {batch} | cmp - {source}", shell=True).returncode == 0
