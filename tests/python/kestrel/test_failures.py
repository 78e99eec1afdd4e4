"""Failures of a call: PanicException with the composed message, after a report on
fd 2; the batches saved before it stay, and nothing else changes. Reports and
progress lines are only visible from outside the process, so most of this runs a
fresh interpreter."""
import contextlib
import gzip
import os
import re
import shutil

import pytest

import kestrel
from conftest import BGZF_EOF, HEADER, bgzf, member, records, run_python, sample, small_tmpfs, split_in_subprocess
from reference import expected_batches, read_batches

split = kestrel.py_extract_variants_to_batches
NOTE = "note: run with `RUST_BACKTRACE=1` environment variable to display a backtrace"
REPORT = re.compile(r"thread '<unnamed>' panicked at '(.*)', src/[\w/]+\.cpp:\d+:\d+")
NOT_FOUND = 'Os { code: 2, kind: NotFound, message: "No such file or directory" }'
DENIED = 'Os { code: 13, kind: PermissionDenied, message: "Permission denied" }'
NUL = 'Error { kind: InvalidInput, message: "file name contained an unexpected NUL byte" }'
MISSING = "File does not exist.: " + NOT_FOUND
MKDIR = "An error occurred creating the directory: "
BGZF_READ = "An error occurred reading the compressed file.: "


def save(number, error):
    return f"An error occurred while trying to save batch {number}: I/O Error: {error}"


def test_panic_exception_is_no_ordinary_exception(tmp_path):
    with pytest.raises(BaseException) as info:
        split(str(tmp_path / "missing.vcf"), str(tmp_path / "out"), 1)
    panic = type(info.value)
    assert info.value.args == (MISSING,) and str(info.value) == MISSING
    assert (panic.__module__, panic.__qualname__) == ("pyo3_runtime", "PanicException")
    assert panic.__bases__ == (BaseException,)  # "except Exception:" does not catch it
    assert panic.__doc__ == (
        "\nThe exception raised when Rust code called from Python panics.\n\n"
        "Like SystemExit, this exception is derived from BaseException so that\n"
        "it will typically propagate all the way through the stack and cause the\n"
        "Python interpreter to exit.\n"
    )
    assert not any(getattr(kestrel, name) is panic for name in dir(kestrel))
    assert panic("x").args == ("x",)  # Python code can make instances like those of any class
    with pytest.raises(panic):  # every failure raises the one type
        split(str(tmp_path), "out", 1)


# As root, file permissions apply only to a process without these capabilities.
UNPRIVILEGED = ["setpriv", "--bounding-set=-dac_override,-dac_read_search"] if os.geteuid() == 0 else []
unprivileged = pytest.mark.skipif(UNPRIVILEGED and shutil.which("setpriv") is None, reason="cannot drop root's access")


def too_large(limit):
    """Writes past `limit` bytes fail with EFBIG."""
    return ("import resource, signal\nsignal.signal(signal.SIGXFSZ, signal.SIG_IGN)\n"
            f"resource.setrlimit(resource.RLIMIT_FSIZE, ({limit}, resource.RLIM_INFINITY))")


DELETED_CWD = "os.mkdir('gone'); os.chdir('gone'); os.rmdir(os.getcwd())"
CLOSED_PIPE = "r, w = os.pipe(); os.dup2(w, 1); os.close(r); os.close(w)"
# The call's arguments, run in a directory where the input ("name", in.vcf unless
# given) holds "text" (three records unless given; BGZF for a ".gz" name; "data"
# instead if given), after the code "setup", under the command "prefix"; with a
# "tmpfs" (path, pages) mounted, "locked", a directory that takes no new file but
# holds these writable files, and "files" and "directories" made. What the call must
# leave: the first `saved` batches of the model added, and nothing else changed;
# and "printed" batch lines, `saved` unless given.
FAILURES = [
    ("input-is-a-directory", (".", "out", 1),
     'File does not exist.: Os { code: 21, kind: IsADirectory, message: "Is a directory" }', 0, {}),
    ("input-in-a-missing-directory", ("none/in.vcf", "out", 1), MISSING, 0, {}),
    ("empty-input-path", ("", "out", 1), MISSING, 0, {}),
    ("input-path-with-nul", ("in.vcf\0ignored", "out", 1), "File does not exist.: " + NUL, 0, {}),
    ("input-cannot-be-read", ("/proc/self/mem", "out", 5),
     'An error occurred reading the file.: Os { code: 5, kind: Uncategorized, message: "Input/output error" }', 0, {}),
    ("output-is-a-file", ("in.vcf", "in.vcf", 1),
     MKDIR + 'Os { code: 17, kind: AlreadyExists, message: "File exists" }', 0, {}),
    ("output-below-a-file", ("in.vcf", "in.vcf/below", 1),
     MKDIR + 'Os { code: 20, kind: NotADirectory, message: "Not a directory" }', 0, {}),
    ("output-path-with-nul", ("in.vcf", "out\0/elsewhere", 1), MKDIR + NUL, 0, {}),
    *[(f"relative-output-{out}-in-a-deleted-directory", ("{t}/in.vcf", out, 1), MKDIR + NOT_FOUND, 0,
       {"setup": DELETED_CWD}) for out in ("out", "a/b", "./out")],
    ("batch-is-a-directory", ("in.vcf", "out", 1), save(2, "Is a directory (os error 21)"), 1,
     {"directories": ["out/batch_02.vcf"]}),
    ("batch-01-is-the-input", ("batch_01.vcf", ".", 100), save(1, "the batch file ./batch_01.vcf is the input file"),
     0, {"name": "batch_01.vcf", "text": sample(1)}),
    ("batch-02-is-the-input", ("batch_02.vcf", ".", 100), save(2, "the batch file ./batch_02.vcf is the input file"),
     1, {"name": "batch_02.vcf", "text": sample(1)}),
    ("compressed-batch-is-the-input", ("batch_01.vcf.gz", ".", 300, "fast"),
     save(1, "the batch file ./batch_01.vcf.gz is the input file"), 0, {"name": "batch_01.vcf.gz", "text": sample(1)}),
    # The directory the call made goes again when no batch was saved in it...
    ("first-batch-too-large", ("in.vcf", "out", 3), save(1, "File too large (os error 27)"), 0,
     {"setup": too_large(60)}),
    # ...and a batch that fits is written in full, with nothing larger on the way. The
    # line of a final batch is printed before it is written.
    ("final-batch-too-large", ("in.vcf", "out", 2), save(2, "File too large (os error 27)"), 1,
     {"setup": too_large(len(HEADER + records(2))), "text": HEADER + records(2) + b"3" * 99 + b"\n", "printed": 2}),
    ("standard-output-closed", ("in.vcf", "out", 2), "failed printing to stdout: Bad file descriptor (os error 9)", 1,
     {"setup": "os.close(1)", "printed": 0}),
    ("standard-output-a-closed-pipe", ("in.vcf", "out", 2), "failed printing to stdout: Broken pipe (os error 32)", 1,
     {"setup": CLOSED_PIPE, "printed": 0}),
    ("damaged-later-block", ("in.vcf.gz", "out", 2), BGZF_READ + 'Other("unmatched CRC32 of decompressed data")', 1,
     {"name": "in.vcf.gz", "data": member(HEADER + records(3)) + member(records(1), crc=0) + BGZF_EOF}),
    ("full-disk", ("in.vcf", "disk", 20000), save(2, "No space left on device (os error 28)"), 1,
     {"tmpfs": ("disk", 150), "files": {"disk/batch_02.vcf": b"older"}, "text": HEADER + records(40000)}),
    pytest.param(("in.vcf", "out", 1), "File does not exist.: " + DENIED, 0,
                 {"setup": "os.chmod('in.vcf', 0)", "prefix": UNPRIVILEGED}, id="input-unreadable",
                 marks=unprivileged),
    pytest.param(("in.vcf", "locked", 1), save(1, "Permission denied (os error 13)"), 0,
                 {"locked": [], "prefix": UNPRIVILEGED}, id="output-locked", marks=unprivileged),
    pytest.param(("in.vcf", "locked/sub", 1), MKDIR + DENIED, 0, {"locked": [], "prefix": UNPRIVILEGED},
                 id="output-below-a-locked-one", marks=unprivileged),
    # No failure: a writable batch file in a locked directory is rewritten in place.
    pytest.param(("in.vcf", "locked", 3), None, 1, {"locked": ["batch_01.vcf"], "prefix": UNPRIVILEGED},
                 id="in-place-in-a-locked-output", marks=unprivileged),
]


def tree(directory):
    return {str(p.relative_to(directory)): None if p.is_dir() else p.read_bytes() for p in directory.rglob("*")}


@pytest.mark.parametrize("args, message, saved, given",
                         [c if hasattr(c, "marks") else pytest.param(*c[1:], id=c[0]) for c in FAILURES])
def test_what_a_failure_reports_and_leaves(tmp_path, args, message, saved, given):
    t, name, text = tmp_path, given.get("name", "in.vcf"), given.get("text", HEADER + records(3))
    (t / name).write_bytes(given.get("data", bgzf(text) if name.endswith(".gz") else text))
    with contextlib.ExitStack() as mounts:
        if "tmpfs" in given:
            mounts.enter_context(small_tmpfs(t / given["tmpfs"][0], pages=given["tmpfs"][1]))
        for path, data in given.get("files", {}).items():
            (t / path).write_bytes(data)
        for path in given.get("directories", []):
            (t / path).mkdir(parents=True)
        if "locked" in given:
            (t / "locked").mkdir()
            for path in given["locked"]:
                (t / "locked" / path).write_bytes(b"older\n")
                (t / "locked" / path).chmod(0o666)
            (t / "locked").chmod(0o555)
        args = [arg.replace("{t}", str(t)) if isinstance(arg, str) else arg for arg in args]
        before = tree(t)
        result = split_in_subprocess(*args, setup=given.get("setup", ""), prefix=given.get("prefix", ()), cwd=t,
                                     check=False)
        (t / name).chmod(0o644)
        after = tree(t)
    out, size, printed = args[1], args[2], given.get("printed", saved)
    lines = [f"Saving batch_{n:02d}.vcf" for n in range(1, printed + 1)]
    if printed > saved:
        lines[-1] = f"Saving final batch with less than {size} samples to batch_{printed:02d}.vcf"
    if message is None:
        assert result.returncode == 0 and result.stderr == b""
        lines.append(f"Saved {saved} batches with {size} samples to {out}.")
    else:
        report, *rest = result.stderr.decode().splitlines()
        assert REPORT.fullmatch(report).group(1) == message
        assert rest == [NOTE, f"RAISED|PanicException|{message}"]
    assert result.stdout.decode() == "".join(line + "\n" for line in lines)
    batches = {os.path.normpath(f"{out}/batch_{n:02d}.vcf"): b for n, b in enumerate(expected_batches(text, size), 1)}
    if saved and out != ".":
        before.setdefault(out, None)  # the directory the call made
    assert after == {**before, **dict(list(batches.items())[:saved])}


GOOD = b"chr1\t5\t.\tA\tG\n"
CUT = BGZF_READ + 'IoError(Error { kind: UnexpectedEof, message: "failed to fill whole buffer" })'
HEADER_LONGER = "called `Result::unwrap()` on an `Err` value: TryFromIntError(())"
# Damage the C++ tests of the reader do not meet (a CRC mismatch, damaged DEFLATE data,
# an ISIZE of 65537, a cut payload and an extra field without "BC" are theirs). A
# subfield "BC" of another length is skipped like any foreign one. The last five have
# impossible lengths, which stop the call with messages of their own.
DAMAGE = {
    "empty file": (b"", CUT),
    "plain gzip": (gzip.compress(GOOD), BGZF_READ + "NotBGZF"),
    "BC of four bytes": (member(GOOD, subfields=((b"BC", b"\0\0\0\0"),)), BGZF_READ + "NotBGZF"),
    "not gzip": (GOOD * 3, BGZF_READ + "NotGzip"),
    "cut inside the fixed header": (member(GOOD)[:7], CUT),
    "cut inside the extra field": (member(GOOD)[:15], CUT),
    "XLEN 3": (member(GOOD, xlen=3), BGZF_READ + 'Other("Invalid extra field")'),
    "subfields leave 2 bytes over": (member(GOOD, subfields=((b"XY", b"ab"), (b"BC", None)), xlen=14),
                                     BGZF_READ + 'Other("Invalid extra field")'),
    "FLG 0x20": (member(GOOD, flags=0x24), BGZF_READ + 'Other("Unsupported flag")'),
    "compression method 7": (member(GOOD, method=7), BGZF_READ + 'Other("Unsupported compression method")'),
    "ISIZE too small": (member(GOOD, isize=3), BGZF_READ + "DecompressionError(InsufficientSpace)"),
    "ISIZE of 4 GiB": (member(GOOD, isize=0xFFFFFFFF),
                       BGZF_READ + 'Other("uncompressed block size exceeds 65536 bytes")'),
    "BSIZE 65535": (member(GOOD, bsize=65535), HEADER_LONGER),
    "BSIZE + 1 below the header length": (member(GOOD, bsize=16), HEADER_LONGER),
    "empty payload": (member(payload=b"", bsize=17), "index out of bounds: the len is 0 but the index is 4294967292"),
    "payload of 3 bytes": (member(payload=b"\x03\x00\x00"),
                           "index out of bounds: the len is 3 but the index is 4294967295"),
    "payload of 6 bytes": (member(payload=b"\x03\x00\x00\x00\x00\x00"),  # empty stream, then ISIZE 0
                           "index out of bounds: the len is 6 but the index is 4294967294"),
}


@pytest.mark.parametrize("case", DAMAGE)
def test_damaged_bgzf_block_first_or_later(tmp_path, case):
    damaged, message = DAMAGE[case]
    before = member(HEADER + records(3))  # one full batch of 2 is written before the damage
    # Bytes after a marker that do not start a gzip member are padding, not damage.
    for n, place in enumerate([b""] + [before] * bool(damaged) + [before + BGZF_EOF] * (damaged[:2] == b"\x1f\x8b")):
        (tmp_path / f"{n}.vcf.gz").write_bytes(place + damaged)
        with pytest.raises(BaseException) as raised:
            split(str(tmp_path / f"{n}.vcf.gz"), str(tmp_path / f"out{n}"), 2)
        assert (type(raised.value).__name__, str(raised.value)) == ("PanicException", message)
        assert read_batches(tmp_path / f"out{n}") == ([HEADER + records(2)] if place else [])
        assert place or not (tmp_path / f"out{n}").exists()


REPORTS = """
import io, os, sys, kestrel
split = kestrel.py_extract_variants_to_batches
real_stderr, sys.stderr = sys.stderr, io.StringIO()  # reports go to the descriptor, not to sys.stderr
for _ in range(2):
    try:
        split("/nonexistent/in.vcf", "out", 1)
    except BaseException as e:
        panic = type(e)
    os.environ["RUST_BACKTRACE"] = "full"  # read once: too late to change the reports
captured, sys.stderr = sys.stderr.getvalue(), real_stderr
assert captured == "", captured
def raising():
    raise panic("from Python")
for body in (raising, lambda: split("/nonexistent/inner.vcf", "out", 1)):
    class Size:
        def __index__(self):
            return body()
    print("===", file=sys.stderr, flush=True)
    try:
        split("/nonexistent/in.vcf", "out", Size())
    except BaseException as e:
        print(type(e) is panic, e.args, e.__cause__, e.__context__, sep="|", flush=True)
"""


# The note comes with the first report of a process only; RUST_BACKTRACE adds a stack
# trace. A PanicException pending when the call takes the lock back is resumed: raised
# anew, after its traceback; only the inner call of the second case writes a report.
@pytest.mark.parametrize("backtrace", [None, "0", "1", "full", "", "yes"])
def test_reports_and_resumed_panics(tmp_path, backtrace):
    result = run_python(REPORTS, env={"RUST_BACKTRACE": backtrace}, cwd=tmp_path)
    assert result.stdout.decode() == "True|('Unwrapped panic from Python code',)|None|None\n" * 2
    reports, *resumed = result.stderr.decode().split("===\n")
    lines = reports.splitlines()
    assert REPORT.fullmatch(lines[0]).group(1) == MISSING
    if backtrace in (None, "0"):
        assert lines == [lines[0], NOTE, lines[0]]
    else:
        assert NOTE not in lines and len(lines) > 4 and lines.count(lines[0]) == 2
    for part, shown, count in zip(resumed, ["from Python", MISSING], [0, 1]):
        assert sum(1 for line in part.splitlines() if REPORT.fullmatch(line)) == count
        part = part[part.index("--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"):]
        assert part.splitlines()[1:3] == ["Python stack trace below:", "Traceback (most recent call last):"]
        assert part.splitlines()[-1] == "pyo3_runtime.PanicException: " + shown and "in __index__" in part
    assert not (tmp_path / "out").exists()
