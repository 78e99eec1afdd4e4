"""A split is a good citizen of the Python process: other threads run while it works,
Ctrl-C ends it promptly (leaving only complete batch files), and splits in several
threads at once give exactly what they give one after another."""
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
from conftest import BGZF_EOF, DATA, child_env
from reference import expected_batches, read_batches

UNDER_SANITIZER = bool(os.environ.get("KESTREL_UNDER_SANITIZER"))


def sample(copies):
    lines = (DATA / "haploid-x.vcf").read_bytes().splitlines(keepends=True)
    header = [line for line in lines if line.startswith(b"#")]
    body = [line for line in lines if not line.startswith(b"#")]
    return b"".join(header + body * copies)


def test_other_threads_run_while_a_split_works(tmp_path):
    source = tmp_path / "in.vcf"
    source.write_bytes(sample(120))
    ticks = []
    done = threading.Event()

    def ticker():
        while not done.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.005)

    thread = threading.Thread(target=ticker)
    start = time.monotonic()
    thread.start()
    kestrel.py_extract_variants_to_batches(str(source), str(tmp_path / "out"), 3000, "best")
    elapsed = time.monotonic() - start
    done.set()
    thread.join()
    during = [t for t in ticks if t < start + elapsed]
    assert elapsed > 0.2 and len(during) > elapsed / 0.005 / 4, (elapsed, len(during))


# The child splits, prints what it was interrupted by, and how long that took.
INTERRUPTED_SPLIT = """
import kestrel, os, signal, sys, threading, time
source, out, level = sys.argv[1], sys.argv[2], sys.argv[3] if sys.argv[3] != "none" else None
calls = []
signal.signal(signal.SIGUSR1, lambda *_: calls.append(1))  # a handler that lets the call go on
if source.endswith("fifo"):  # a writer that trickles lines in, and never finishes
    def trickle():
        try:
            with open(source, "wb") as fifo:
                while True:
                    fifo.write(open(sys.argv[4], "rb").read())
                    fifo.flush()
                    time.sleep(0.05)
        except OSError:  # the reader is gone
            pass
    threading.Thread(target=trickle, daemon=True).start()
try:
    kestrel.py_extract_variants_to_batches(source, out, 2000, level)
    print("finished", file=sys.stderr)
except KeyboardInterrupt:
    print("KeyboardInterrupt", len(calls), time.monotonic() - float(open(out + ".sent").read()), file=sys.stderr)
"""


def interrupt_after_first_batch(tmp_path, source, level, extra=()):
    out = tmp_path / "out"
    child = subprocess.Popen(
        [sys.executable, "-c", INTERRUPTED_SPLIT, str(source), str(out), level, *extra],
        env=child_env(),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    assert child.stdout.readline().startswith(b"Saving batch_01")
    child.send_signal(signal.SIGUSR1)
    time.sleep(0.1)
    (tmp_path / "out.sent").write_text(repr(time.monotonic()))
    child.send_signal(signal.SIGINT)
    _, stderr = child.communicate(timeout=30)
    words = stderr.decode().split("KeyboardInterrupt")[-1].split()
    assert words[:1] == ["1"], stderr.decode()
    words = ["KeyboardInterrupt"] + words
    assert float(words[2]) < 0.5
    names = sorted(p.name for p in out.iterdir())
    assert names and all(name.startswith("batch_") for name in names), names  # no temporary left
    return out


@pytest.mark.skipif(UNDER_SANITIZER, reason="timing")
def test_ctrl_c_ends_a_long_compressed_split(tmp_path):
    text = sample(100)
    source = tmp_path / "in.vcf"
    source.write_bytes(text)
    out = interrupt_after_first_batch(tmp_path, source, "best")
    expected = expected_batches(text, 2000)
    for path in out.iterdir():
        stream = path.read_bytes()
        assert stream.endswith(BGZF_EOF) and gzip.decompress(stream) == expected[int(path.name[6:8]) - 1]


@pytest.mark.skipif(UNDER_SANITIZER, reason="timing")
def test_ctrl_c_ends_a_split_reading_a_pipe(tmp_path):
    piece = tmp_path / "piece.vcf"
    piece.write_bytes(sample(1))
    fifo = tmp_path / "in.fifo"
    os.mkfifo(fifo)
    out = interrupt_after_first_batch(tmp_path, fifo, "none", extra=[str(piece)])
    for content in read_batches(out):
        assert content.startswith(b"##fileformat") and content.endswith(b"\n")


def test_ctrl_c_ends_a_call_waiting_for_a_fifo_writer(tmp_path):
    fifo = tmp_path / "nobody-writes.fifo"
    os.mkfifo(fifo)
    code = (
        "import kestrel, os, signal, threading, time\n"
        "sent = []\n"
        "threading.Timer(0.3, lambda: (sent.append(time.monotonic()), os.kill(os.getpid(), signal.SIGINT))).start()\n"
        "try:\n"
        f"    kestrel.py_extract_variants_to_batches({str(fifo)!r}, {str(tmp_path / 'out')!r}, 10)\n"
        "except KeyboardInterrupt:\n"
        "    print(time.monotonic() - sent[0])\n"
    )
    result = subprocess.run([sys.executable, "-c", code], env=child_env(), capture_output=True, timeout=30)
    assert float(result.stdout.decode()) < 0.5, result.stderr.decode()
    assert result.stderr == b""  # no failure report
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("level", [None, "fast"])
def test_eight_threads_at_once_write_what_one_thread_writes(tmp_path, level):
    sources = []
    for i in range(8):
        source = tmp_path / f"in{i}.vcf"
        source.write_bytes(sample(1 + 3 * i))
        sources.append(source)

    def split(i, kind):
        out = tmp_path / f"{kind}{i}"
        kestrel.py_extract_variants_to_batches(str(sources[i]), str(out), 500 + 97 * i, level)
        return sorted((p.name, p.read_bytes()) for p in out.iterdir())

    one_by_one = [split(i, "seq") for i in range(8)]
    with ThreadPoolExecutor(8) as pool:
        at_once = list(pool.map(lambda i: split(i, "par"), range(8)))
    assert at_once == one_by_one
