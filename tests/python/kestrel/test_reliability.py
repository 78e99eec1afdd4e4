"""Failures injected from outside, resource use over many calls, and large inputs."""
import json
import os
import shutil
import sys
import textwrap

import pytest

import kestrel
from conftest import HEADER, child_env, records, run_python
from reference import expected_batches, read_batches

UNDER_SANITIZER = bool(os.environ.get("KESTREL_UNDER_SANITIZER"))


def results(result):
    """The lines that CALL_AND_REPORT's call() printed, without the failure reports."""
    return [line[7:] for line in result.stderr.decode().splitlines() if line.startswith("RESULT ")]


CALL_AND_REPORT = textwrap.dedent(
    """
    import os, sys, kestrel
    def call(*args):
        try:
            kestrel.py_extract_variants_to_batches(*args)
            return "RESULT ok"
        except BaseException as e:
            return "RESULT " + type(e).__name__ + ": " + str(e)
    """
)


def test_write_failing_part_way_keeps_earlier_batches_and_closes_files(tmp_path):
    source = tmp_path / "in.vcf"
    source.write_bytes(HEADER + records(300))
    batch_bytes = max(len(b) for b in expected_batches(source.read_bytes(), 100))
    code = CALL_AND_REPORT + textwrap.dedent(
        f"""
        import resource, signal
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)   # writes fail with EFBIG instead
        fds_before = sorted(os.listdir("/proc/self/fd"))
        soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
        resource.setrlimit(resource.RLIMIT_FSIZE, ({batch_bytes} + 100, hard))
        print(call({str(source)!r}, {str(tmp_path / "a")!r}, 100), file=sys.stderr)
        # A file larger than the limit fails part-way; the first batch is small enough.
        print(call({str(source)!r}, {str(tmp_path / "b")!r}, 200), file=sys.stderr)
        resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
        fds_after = sorted(os.listdir("/proc/self/fd"))
        print("RESULT fds", fds_before == fds_after, file=sys.stderr)
        print(call({str(source)!r}, {str(tmp_path / "c")!r}, 200), file=sys.stderr)
        """
    )
    result = run_python(code)
    lines = results(result)
    assert lines[-4] == "ok"  # every batch fits the limit
    assert lines[-3] == (
        "PanicException: An error occurred while trying to save batch 1: "
        "I/O Error: File too large (os error 27)"
    )
    assert lines[-2] == "fds True"
    assert lines[-1] == "ok"
    # No partial batch file is left, and no directory that holds no saved batch.
    assert not (tmp_path / "b").exists()
    assert read_batches(tmp_path / "c") == expected_batches(source.read_bytes(), 200)


needs_setpriv = pytest.mark.skipif(
    shutil.which("setpriv") is None and os.geteuid() == 0, reason="cannot drop root's file access"
)


def run_without_file_override(code):
    """Runs code in an interpreter that file permissions apply to, even as root."""
    import subprocess

    command = [sys.executable, "-c", code]
    if os.geteuid() == 0:
        command = ["setpriv", "--bounding-set=-dac_override,-dac_read_search"] + command
    return subprocess.run(command, capture_output=True, env=child_env(), timeout=60)


@needs_setpriv
def test_permission_failures(tmp_path):
    unreadable = tmp_path / "secret.vcf"
    unreadable.write_bytes(HEADER + records(2))
    unreadable.chmod(0)
    readable = tmp_path / "in.vcf"
    readable.write_bytes(HEADER + records(2))
    locked = tmp_path / "locked"
    locked.mkdir()
    # A directory that takes no new file, but whose batch file may be written: in place.
    in_place = tmp_path / "in-place"
    in_place.mkdir()
    (in_place / "batch_01.vcf").write_bytes(b"older\n")
    (in_place / "batch_01.vcf").chmod(0o666)
    for directory in (locked, in_place):
        directory.chmod(0o555)
    code = CALL_AND_REPORT + textwrap.dedent(
        f"""
        print(call({str(unreadable)!r}, {str(tmp_path / "out")!r}, 1), file=sys.stderr)
        print(call({str(readable)!r}, {str(locked)!r}, 1), file=sys.stderr)
        print(call({str(readable)!r}, {str(locked / "sub")!r}, 1), file=sys.stderr)
        print(call({str(readable)!r}, {str(in_place)!r}, 2), file=sys.stderr)
        """
    )
    try:
        result = run_without_file_override(code)
    finally:
        for directory in (locked, in_place):
            directory.chmod(0o755)
    lines = results(result)
    assert lines[-1] == "ok"
    assert os.listdir(in_place) == ["batch_01.vcf"]
    assert (in_place / "batch_01.vcf").read_bytes() == HEADER + records(2)
    lines = lines[:-1]
    assert lines[-3] == (
        'PanicException: File does not exist.: Os { code: 13, kind: PermissionDenied, message: "Permission denied" }'
    )
    assert lines[-2] == (
        "PanicException: An error occurred while trying to save batch 1: I/O Error: Permission denied (os error 13)"
    )
    assert lines[-1] == (
        "PanicException: An error occurred creating the directory: "
        'Os { code: 13, kind: PermissionDenied, message: "Permission denied" }'
    )
    assert os.listdir(locked) == []


@pytest.mark.parametrize(
    "setup, expected",
    [
        ("os.close(1)", "failed printing to stdout: Bad file descriptor (os error 9)"),
        ("r, w = os.pipe(); os.dup2(w, 1); os.close(r); os.close(w)",
         "failed printing to stdout: Broken pipe (os error 32)"),
    ],
)
def test_standard_output_that_cannot_be_written(tmp_path, setup, expected):
    source = tmp_path / "in.vcf"
    source.write_bytes(HEADER + records(3))
    code = CALL_AND_REPORT + textwrap.dedent(
        f"""
        {setup}
        print(call({str(source)!r}, {str(tmp_path / "out")!r}, 2), file=sys.stderr)
        """
    )
    result = run_python(code)
    assert results(result) == ["PanicException: " + expected]
    # The first batch was written before its progress line failed.
    assert read_batches(tmp_path / "out") == expected_batches(source.read_bytes(), 2)[:1]


def test_many_mixed_calls_leave_memory_and_references_flat(tmp_path):
    source = tmp_path / "in.vcf"
    source.write_bytes(HEADER + records(20))
    calls = 400 if UNDER_SANITIZER else 2000
    code = textwrap.dedent(
        f"""
        import gc, json, sys, kestrel
        split = kestrel.py_extract_variants_to_batches
        good, out, missing = {str(source)!r}, {str(tmp_path / "out")!r}, {str(tmp_path / "missing")!r}
        size, level = 7, "Fast-ish"
        kinds = [
            lambda: split(good, out, size),           # success
            lambda: split(good, out, size, level),    # success, unknown level: plain
            lambda: split(good, out, "seven"),        # argument error
            lambda: split(missing, out, size),        # PanicException
        ]

        def rounds(count):
            for i in range(count):
                try:
                    kinds[i % 4]()
                except BaseException:
                    pass

        def rss_kb():
            with open("/proc/self/status") as status:
                return next(int(l.split()[1]) for l in status if l.startswith("VmRSS:"))

        rounds(500)  # the interpreter's own caches settle first
        gc.collect()
        rss_before = rss_kb()
        gc.collect()
        before = [sys.getrefcount(o) for o in (None, good, out, missing, size, level)]
        rounds({calls})
        gc.collect()
        after = [sys.getrefcount(o) for o in (None, good, out, missing, size, level)]
        print(json.dumps({{"before": before, "after": after, "growth_kb": rss_kb() - rss_before}}))
        """
    )
    result = run_python(code, timeout=300)
    figures = json.loads(result.stdout.decode().splitlines()[-1])
    assert figures["after"] == figures["before"]
    if not UNDER_SANITIZER:  # the sanitizer's quarantine holds freed memory back
        assert figures["growth_kb"] < 2048


@pytest.mark.skipif(UNDER_SANITIZER, reason="too slow under the sanitizers")
def test_single_line_of_200_megabytes(tmp_path):
    source = tmp_path / "in.vcf"
    line = b"chr1\t1\t.\tA\t" + b"C" * (200 * 1024 * 1024) + b"\n"
    source.write_bytes(HEADER + line + b"chr1\t2\t.\tA\tG\n")
    kestrel.py_extract_variants_to_batches(str(source), str(tmp_path / "out"), 1)
    first = tmp_path / "out" / "batch_01.vcf"
    assert first.stat().st_size == len(HEADER) + len(line)
    with open(first, "rb") as f:
        assert f.read(len(HEADER)) == HEADER
        f.seek(-10, os.SEEK_END)
        assert f.read() == b"CCCCCCCCC\n"
    assert (tmp_path / "out" / "batch_02.vcf").read_bytes() == HEADER + b"chr1\t2\t.\tA\tG\n"


def test_one_hundred_thousand_batches(tmp_path):
    count = 10_000 if UNDER_SANITIZER else 100_000
    source = tmp_path / "in.vcf"
    data = HEADER + records(count)
    source.write_bytes(data)
    out = tmp_path / "out"
    kestrel.py_extract_variants_to_batches(str(source), str(out), 1)
    names = os.listdir(out)
    assert len(names) == count
    assert (out / f"batch_{count}.vcf").read_bytes() == HEADER + records(1, start=count)
    assert (out / "batch_01.vcf").read_bytes() == HEADER + records(1)
