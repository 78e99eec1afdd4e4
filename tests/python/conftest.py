"""What the Python tests share: the sample data, input builders, and running kestrel
in a fresh interpreter."""
import os
import subprocess
import sys
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
# Real VCF files from other projects' test suites; tests/data/README.md says whose.
DATA = REPO / "tests" / "data"

HEADER = b"##fileformat=VCFv4.2\n#CHROM\tPOS\tID\tREF\tALT\n"
# The empty block that ends every BGZF file.
BGZF_EOF = bytes.fromhex("1f8b08040000000000ff0600424302001b0003000000000000000000")


def records(count, start=1):
    """`count` one-line records at positions start, start + 1, ..."""
    return b"".join(b"chr1\t%d\t.\tA\tG\n" % position for position in range(start, start + count))


def child_env(env=None):
    """The environment of this process for a child interpreter: the directories of
    the kestrel and kestrel_cli imported here come first on PYTHONPATH, so that a
    child in another working directory runs the same build. An `env` value of None
    removes the variable."""
    import kestrel
    import kestrel_cli

    full_env = dict(os.environ)
    full_env.pop("RUST_BACKTRACE", None)
    paths = [os.path.dirname(kestrel.__file__), os.path.dirname(kestrel_cli.__file__)]
    # A relative entry would find another kestrel once the child runs elsewhere.
    paths += [os.path.abspath(entry) for entry in full_env.get("PYTHONPATH", "").split(os.pathsep) if entry]
    full_env["PYTHONPATH"] = os.pathsep.join(dict.fromkeys(paths))
    if env:
        for key, value in env.items():
            if value is None:
                full_env.pop(key, None)
            else:
                full_env[key] = value
    return full_env


def run_python(code, *, cwd=None, env=None, check=True, timeout=120):
    """Runs `code` in a fresh interpreter; kestrel writes to fds 1 and 2 directly,
    so its lines can only be seen from outside the process."""
    result = subprocess.run(
        [sys.executable, "-c", code],
        cwd=cwd,
        env=child_env(env),
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

