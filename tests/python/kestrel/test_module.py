import ast
import inspect
import os
import shutil
import subprocess
import sys

import pytest

import kestrel
from conftest import REPO, run_python


def test_module_surface():
    assert kestrel.__doc__ == ""
    assert kestrel.__all__ == ["py_extract_variants_to_batches"]
    function = kestrel.py_extract_variants_to_batches
    assert function.__name__ == "py_extract_variants_to_batches"
    assert function.__module__ == "kestrel"
    assert function.__self__ is kestrel
    assert function.__text_signature__ == "(file_path, output_path, batch_size, compression_level=...)"
    assert function.__doc__ == "Wrapper function for extract_variants_to_batches to be called from Python"
    public = {name for name in dir(kestrel) if not name.startswith("__")}
    assert public == {"py_extract_variants_to_batches"}


def test_second_initialisation_in_one_process_is_refused():
    result = run_python(
        "import sys, kestrel\n"
        "del sys.modules['kestrel']\n"
        "try:\n"
        "    import kestrel\n"
        "except ImportError as e:\n"
        "    print(e)\n"
    )
    assert result.stdout.decode() == "PyO3 modules may only be initialized once per interpreter process\n"


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm not installed")
def test_successful_calls_return_none_without_leaking_references(tmp_path):
    import sys

    source = tmp_path / "in.vcf"
    source.write_text("#h\n1\n")
    file_path, output_path = str(source), str(tmp_path / "out")
    assert kestrel.py_extract_variants_to_batches(file_path, output_path, 5) is None
    before = (sys.getrefcount(None), sys.getrefcount(file_path), sys.getrefcount(output_path))
    for _ in range(200):
        kestrel.py_extract_variants_to_batches(file_path, output_path, 5)
    after = (sys.getrefcount(None), sys.getrefcount(file_path), sys.getrefcount(output_path))
    assert after == before


def test_type_stub_matches_the_module():
    stub = ast.parse((REPO / "python" / "kestrel-stubs" / "__init__.pyi").read_text())
    functions = [node for node in stub.body if isinstance(node, ast.FunctionDef)]
    assert [f.name for f in functions] == kestrel.__all__
    stub_parameters = [a.arg for a in functions[0].args.args]
    runtime_parameters = inspect.signature(kestrel.py_extract_variants_to_batches).parameters
    assert stub_parameters == list(runtime_parameters)
    assert len(functions[0].args.defaults) == 1  # only compression_level is optional
    assert ast.get_docstring(functions[0])


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
