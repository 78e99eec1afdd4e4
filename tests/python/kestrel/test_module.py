"""The module as Python sees it: its surface, its stub, one initialisation per
process, and calls of every kind that keep no reference and no memory."""
import ast
import importlib.util
import inspect
import json
import os
import subprocess
import sys

import pytest

import kestrel
from conftest import HEADER, REPO, UNDER_SANITIZER, records, run_python
from reference import expected_batches


def test_module_surface_stub_and_one_initialisation_per_process():
    function = kestrel.py_extract_variants_to_batches
    assert (kestrel.__doc__, kestrel.__all__) == ("", ["py_extract_variants_to_batches"])
    assert (function.__name__, function.__module__, function.__self__) == (kestrel.__all__[0], "kestrel", kestrel)
    assert function.__text_signature__ == "(file_path, output_path, batch_size, compression_level=...)"
    assert function.__doc__ == "Wrapper function for extract_variants_to_batches to be called from Python"
    assert {name for name in dir(kestrel) if not name.startswith("__")} == {"py_extract_variants_to_batches"}
    stub = ast.parse((REPO / "python" / "kestrel-stubs" / "__init__.pyi").read_text())
    functions = [node for node in stub.body if isinstance(node, ast.FunctionDef)]
    assert [f.name for f in functions] == kestrel.__all__ and ast.get_docstring(functions[0])
    assert [a.arg for a in functions[0].args.args] == list(inspect.signature(function).parameters)
    assert len(functions[0].args.defaults) == 1  # only compression_level is optional
    again = run_python("import sys, kestrel\ndel sys.modules['kestrel']\ntry:\n    import kestrel\n"
                       "except ImportError as e:\n    print(e)\n")
    assert again.stdout.decode() == "PyO3 modules may only be initialized once per interpreter process\n"


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None and not os.environ.get("CI"),
                    reason="mypy is not installed (CI installs it)")
def test_mypy_checks_calls_against_the_installed_stub(tmp_path):
    # As in a user's project: outside the repository, only the installed packages.
    (tmp_path / "use.py").write_text(
        "import kestrel\n"
        'kestrel.py_extract_variants_to_batches("in.vcf", "out", 2, None)\n'
        'kestrel.py_extract_variants_to_batches(1, "out", 2)\n'
    )
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "LD_PRELOAD", "PYTHONMALLOC")}
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--no-error-summary", "--cache-dir", str(tmp_path / "cache"), "use.py"],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300,
    )
    assert result.stdout.splitlines() == [
        'use.py:3: error: Argument 1 to "py_extract_variants_to_batches" has incompatible type "int"; '
        'expected "str"  [arg-type]'
    ], result.stdout + result.stderr


MIXED_CALLS = """
import gc, json, sys, kestrel
split = kestrel.py_extract_variants_to_batches
good, out, missing, size, level, other, keyword = "in.vcf", "out", "missing", 7, "bEsT", "Fast-ish", "level"
big, real, negative = 4294967296, 2.5, -(10**30)
objects = [good, out, missing, level, other, keyword, big, real, negative]  # not 7: every small 7 is one object
calls = [lambda: split(good, out, size), lambda: split(good, out, size, level),  # the three that succeed
         lambda: split(good, out, batch_size=size, compression_level=other),
         lambda: split(good, out, big), lambda: split(good, out, real), lambda: split(good, out, negative),
         lambda: split(good, out, size, level, None), lambda: split(good, out, size, **{keyword: level}),
         lambda: split(good, 7, size), lambda: split(good, out, "seven"), lambda: split(missing, out, size)]

def measure(count):
    with open("/proc/self/status") as status:  # read apart from the counts: it moves references to None
        rss = next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))
    gc.collect()
    before, kept = [sys.getrefcount(o) for o in objects + [None]], []
    for _ in range(count):
        for call in calls:
            try:
                kept.append(call())
            except BaseException:
                pass
    gc.collect()
    during = [sys.getrefcount(o) for o in objects + [None]]
    del kept
    gc.collect()
    after = [sys.getrefcount(o) for o in objects + [None]]
    with open("/proc/self/status") as status:
        growth = next(int(line.split()[1]) for line in status if line.startswith("VmRSS:")) - rss
    no_exception_left = sys.exc_info() == (None, None, None)
    return [d - b for d, b in zip(during, before)], [a - b for a, b in zip(after, before)], growth, no_exception_left

# Caches, exception types and the interpreter's adapted bytecode settle first; the
# last of these moves references to None itself.
measure(50), measure(50)
print(json.dumps(measure(ROUNDS)))
"""


def test_calls_of_every_kind_keep_no_reference_and_no_memory(tmp_path):
    (tmp_path / "in.vcf").write_bytes(HEADER + records(20))
    rounds = 40 if UNDER_SANITIZER else 200
    result = run_python(MIXED_CALLS.replace("ROUNDS", str(rounds)), cwd=tmp_path, timeout=300)
    during, after, growth, no_exception_left = json.loads(result.stdout.decode().splitlines()[-1])
    # Each success returned a new reference to None, and each failure raised.
    assert during == [0] * 9 + [3 * rounds] and after == [0] * 10
    # The sanitizer's quarantine holds freed memory back.
    assert no_exception_left and (growth < 2048 or UNDER_SANITIZER)
    # The failures in between left the module usable: the last call wrote what it should.
    assert (tmp_path / "out" / "batch_03.vcf").read_bytes() == expected_batches(HEADER + records(20), 7)[2]
    assert sorted(os.listdir(tmp_path / "out")) == [f"batch_0{n}.vcf{gz}" for n in (1, 2, 3) for gz in ("", ".gz")]
