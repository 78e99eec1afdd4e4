import os
import subprocess
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
DATA = REPO.parent / "shared" / "data"


def run_python(code, *, cwd=None, env=None, check=True, timeout=120):
    """Runs `code` in a fresh interpreter; kestrel writes to fds 1 and 2 directly,
    so its lines can only be seen from outside the process."""
    full_env = dict(os.environ)
    full_env.pop("RUST_BACKTRACE", None)
    # A relative entry would find another kestrel once the child runs elsewhere.
    if full_env.get("PYTHONPATH"):
        full_env["PYTHONPATH"] = os.pathsep.join(
            os.path.abspath(entry) for entry in full_env["PYTHONPATH"].split(os.pathsep) if entry
        )
    if env:
        for key, value in env.items():
            if value is None:
                full_env.pop(key, None)
            else:
                full_env[key] = value
    result = subprocess.run(
        [sys.executable, "-c", code],
        cwd=cwd,
        env=full_env,
        capture_output=True,
        timeout=timeout,
    )
    if check and result.returncode != 0:
        raise AssertionError(
            f"exit {result.returncode}\nstdout:\n{result.stdout.decode(errors='replace')}"
            f"\nstderr:\n{result.stderr.decode(errors='replace')}"
        )
    return result


def split_in_subprocess(file_path, output_path, batch_size, *rest, cwd=None, env=None, check=True):
    """Calls the function in a subprocess; returns the CompletedProcess."""
    arguments = ", ".join(repr(a) for a in (str(file_path), str(output_path), batch_size, *rest))
    code = (
        "import kestrel\n"
        "try:\n"
        f"    kestrel.py_extract_variants_to_batches({arguments})\n"
        "except BaseException as e:\n"
        "    import sys; sys.stdout.flush()\n"
        "    print('RAISED', type(e).__name__, str(e), sep='|', file=sys.stderr)\n"
        "    sys.exit(3)\n"
    )
    return run_python(code, cwd=cwd, env=env, check=check)


@pytest.fixture
def data_dir():
    if not DATA.is_dir():
        pytest.skip(f"shared sample data not found at {DATA}")
    return DATA

