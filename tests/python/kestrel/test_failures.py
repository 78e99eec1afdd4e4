"""Failures of a call reach Python as PanicException with the composed message, after a
failure report on file descriptor 2. Reports are only visible from outside the
process, so those tests run a fresh interpreter."""
import re

import pytest

import kestrel
from conftest import run_python

split = kestrel.py_extract_variants_to_batches
MISSING = 'File does not exist.: Os { code: 2, kind: NotFound, message: "No such file or directory" }'
NOTE = "note: run with `RUST_BACKTRACE=1` environment variable to display a backtrace"
REPORT = re.compile(r"thread '<unnamed>' panicked at '(.*)', src/[\w/]+\.cpp:\d+:\d+")
RESUMING = (
    "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
    "Python stack trace below:\n"
)
DOC = (
    "\nThe exception raised when Rust code called from Python panics.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n"
)


def run(code, backtrace=None, **kwargs):
    """run_python with this build of kestrel first on the path, whatever the working
    directory, and RUST_BACKTRACE set as given (None: removed)."""
    return run_python(code, env={"RUST_BACKTRACE": backtrace}, **kwargs)


def failure_of(*args):
    with pytest.raises(BaseException) as info:
        split(*args)
    return info.value


@pytest.fixture
def source(tmp_path):
    path = tmp_path / "in.vcf"
    path.write_text("#h\nr1\nr2\n")
    return path


def test_missing_input_is_not_an_ordinary_exception(tmp_path):
    missing = str(tmp_path / "missing.vcf")
    try:
        try:
            split(missing, str(tmp_path / "out"), 1)
        except Exception:  # noqa: BLE001 - must not catch it
            pytest.fail("an Exception handler caught the failure")
    except BaseException as e:  # noqa: B902
        caught = e
    assert caught.args == (MISSING,)
    assert str(caught) == MISSING
    assert not isinstance(caught, Exception)
    assert not (tmp_path / "out").exists()


def test_panic_exception_type(tmp_path):
    first = failure_of(str(tmp_path / "a"), "out", 1)
    second = failure_of(str(tmp_path), "out", 1)
    panic = type(first)
    assert type(second) is panic
    assert panic.__name__ == "PanicException"
    assert panic.__module__ == "pyo3_runtime"
    assert panic.__qualname__ == "PanicException"
    assert panic.__doc__ == DOC and len(DOC) == 235
    assert panic.__bases__ == (BaseException,)
    assert not any(getattr(kestrel, name) is panic for name in dir(kestrel))
    assert not hasattr(kestrel, "PanicException")
    # Python code can make its own instances like those of any exception class.
    assert panic("x").args == ("x",)


@pytest.mark.parametrize(
    "arrange, message",
    [
        (lambda d, s: (str(d), str(d / "out")),
         'File does not exist.: Os { code: 21, kind: IsADirectory, message: "Is a directory" }'),
        (lambda d, s: (str(d / "none" / "in.vcf"), str(d / "out")), MISSING),
        (lambda d, s: ("", str(d / "out")), MISSING),
        (lambda d, s: (str(s), str(s)),
         'An error occurred creating the directory: Os { code: 17, kind: AlreadyExists, message: "File exists" }'),
        (lambda d, s: (str(s), str(s / "below")),
         'An error occurred creating the directory: Os { code: 20, kind: NotADirectory, message: "Not a directory" }'),
    ],
    ids=["input-directory", "input-in-missing-directory", "empty-input-path", "output-is-file", "output-below-file"],
)
def test_file_system_failures(tmp_path, source, arrange, message):
    failure = failure_of(*arrange(tmp_path, source), 1)
    assert type(failure).__name__ == "PanicException"
    assert failure.args == (message,)
    assert source.read_text() == "#h\nr1\nr2\n"
    assert not (tmp_path / "out").exists()


def test_interpreter_stays_usable_after_failures(tmp_path, source, capfd):
    import sys

    for _ in range(3):
        failure_of(str(tmp_path / "missing"), str(tmp_path / "out"), 1)
        failure_of(str(source), str(source), 1)
    assert sys.exc_info() == (None, None, None)
    assert split(str(source), str(tmp_path / "out"), 1) is None
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == ["batch_01.vcf", "batch_02.vcf"]
    assert capfd.readouterr().out.endswith(f"Saved 2 batches with 1 samples to {tmp_path / 'out'}.\n")


TWO_FAILURES = """
import io, os, sys, kestrel
real_stderr = sys.stderr
sys.stderr = io.StringIO()  # reports go to the descriptor, not to sys.stderr
for message in ("first", "second"):
    try:
        kestrel.py_extract_variants_to_batches("/nonexistent/in.vcf", "out", 1)
    except BaseException as e:
        print(message, type(e).__name__, flush=True)
    os.environ["RUST_BACKTRACE"] = "full"  # read once: too late to change the reports
captured, sys.stderr = sys.stderr.getvalue(), real_stderr
assert captured == "", captured
"""


def test_report_lines_and_note_once_per_process(tmp_path):
    result = run(TWO_FAILURES, cwd=tmp_path)
    assert result.stdout.decode() == "first PanicException\nsecond PanicException\n"
    lines = result.stderr.decode().splitlines()
    assert len(lines) == 3, lines
    assert REPORT.fullmatch(lines[0]).group(1) == MISSING
    assert lines[1] == NOTE
    assert lines[2] == lines[0]
    assert not (tmp_path / "out").exists()


@pytest.fixture(scope="module")
def plain_reports(tmp_path_factory):
    return run(TWO_FAILURES, backtrace=None, cwd=tmp_path_factory.mktemp("plain")).stderr.decode().splitlines()


@pytest.mark.parametrize("backtrace", ["1", "full", "", "yes"])
def test_backtrace_setting(tmp_path, plain_reports, backtrace):
    plain = plain_reports
    traced = run(TWO_FAILURES, backtrace=backtrace, cwd=tmp_path).stderr.decode().splitlines()
    assert traced[0] == plain[0]
    assert NOTE not in traced
    assert len(traced) > 4 and traced.count(plain[0]) == 2


def test_backtrace_zero_equals_unset(tmp_path):
    unset = run(TWO_FAILURES, backtrace=None, cwd=tmp_path)
    zero = run(TWO_FAILURES, backtrace="0", cwd=tmp_path)
    assert zero.stderr == unset.stderr
    assert zero.stdout == unset.stdout


RESUME = """
import sys, kestrel
split = kestrel.py_extract_variants_to_batches
try:
    split("/nonexistent/in.vcf", "out", 1)
except BaseException as e:
    panic = type(e)

class Size:
    def __index__(self):
        {body}

print("---", file=sys.stderr, flush=True)
try:
    split("/nonexistent/in.vcf", "out", Size())
except BaseException as e:
    print(type(e) is panic, e.args, e.__cause__, e.__context__, sep="|")
"""


@pytest.mark.parametrize(
    "body, shown, reports",
    [
        ('raise panic("from Python")', "pyo3_runtime.PanicException: from Python", 0),
        # the inner call writes its own report; the resumed stop writes none
        ('split("/nonexistent/inner.vcf", "out", 1)', "pyo3_runtime.PanicException: " + MISSING, 1),
    ],
    ids=["raised-instance", "nested-call"],
)
def test_pending_panic_exception_is_resumed(tmp_path, body, shown, reports):
    result = run(RESUME.replace("{body}", body), cwd=tmp_path)
    assert result.stdout.decode() == "True|('Unwrapped panic from Python code',)|None|None\n"
    stderr = result.stderr.decode()
    _, _, after = stderr.partition("---\n")
    assert sum(1 for line in after.splitlines() if REPORT.fullmatch(line)) == reports
    resumed = after[after.index(RESUMING):]
    traceback = resumed[len(RESUMING):].splitlines()
    assert traceback[0] == "Traceback (most recent call last):"
    assert traceback[-1] == shown
    assert "in __index__" in resumed


def test_relative_output_in_a_deleted_working_directory(tmp_path, source):
    code = (
        "import os, kestrel\n"
        f"os.mkdir({str(tmp_path / 'gone')!r}); os.chdir({str(tmp_path / 'gone')!r}); os.rmdir(os.getcwd())\n"
        "for out in ('out', 'a/b', './out'):\n"
        "    try:\n"
        f"        kestrel.py_extract_variants_to_batches({str(source)!r}, out, 1)\n"
        "    except BaseException as e:\n"
        "        print(e)\n"
    )
    lines = run_python(code).stdout.decode().splitlines()
    not_found = 'Os { code: 2, kind: NotFound, message: "No such file or directory" }'
    assert lines == [f"An error occurred creating the directory: {not_found}"] * 3
