"""What the Python tests share: the sample data, record lines, BGZF builders and
checkers, and running kestrel in a fresh interpreter."""
import contextlib
import gzip
import os
import struct
import subprocess
import sys
import zlib
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
# Real VCF files from other projects' test suites; tests/data/README.md says whose.
DATA = REPO / "tests" / "data"
UNDER_SANITIZER = bool(os.environ.get("KESTREL_UNDER_SANITIZER"))

HEADER = b"##fileformat=VCFv4.2\n#CHROM\tPOS\tID\tREF\tALT\n"
# The empty block that ends every BGZF file, and the head of every data block we write.
BGZF_EOF = bytes.fromhex("1f8b08040000000000ff0600424302001b0003000000000000000000")
BLOCK_HEAD = bytes.fromhex("1f8b08040000000002ff060042430200")


def records(count, start=1):
    """`count` one-line records at positions start, start + 1, ..."""
    return b"".join(b"chr1\t%d\t.\tA\tG\n" % position for position in range(start, start + count))


def text_of(name):
    """The VCF text of a sample in tests/data, decompressed if need be."""
    data = (DATA / name).read_bytes()
    return gzip.decompress(data) if name.endswith(".gz") else data


def sample(copies=1, header=True):
    """haploid-x.vcf with its records repeated `copies` times: 0.6 MB a copy."""
    lines = text_of("haploid-x.vcf").splitlines(keepends=True)
    head = [line for line in lines if line.startswith(b"#")] if header else []
    return b"".join(head + [line for line in lines if not line.startswith(b"#")] * copies)


def member(data=b"", *, level=6, method=8, flags=4, subfields=((b"BC", None),), xlen=None, bsize=None,
           crc=None, isize=None, payload=None):
    """One gzip member. A subfield whose data is None is "BC" holding BSIZE, the member's
    real size - 1 unless given; `payload` replaces CDATA, CRC32 and ISIZE."""
    if payload is None:
        compressor = zlib.compressobj(level, zlib.DEFLATED, -15)
        trailer = struct.pack("<II", zlib.crc32(data) if crc is None else crc, len(data) if isize is None else isize)
        payload = compressor.compress(data) + compressor.flush() + trailer
    head, extra, at = b"\x1f\x8b" + bytes([method, flags]) + bytes(4) + b"\x00\xff", b"", None
    for ident, value in subfields:
        if value is None:
            at, value = len(head) + 2 + len(extra) + 4, b"\0\0"
        extra += ident + struct.pack("<H", len(value)) + value
    block = bytearray(head + struct.pack("<H", len(extra) if xlen is None else xlen) + extra + payload)
    if at is not None:
        block[at:at + 2] = struct.pack("<H", len(block) - 1 if bsize is None else bsize)
    return bytes(block)


def bgzf(text, piece=65280, levels=(6,), **options):
    """`text` as BGZF in members of `piece` bytes, compressed at `levels` in turn."""
    starts = range(0, len(text), piece)
    return b"".join(member(text[i:i + piece], level=levels[n % len(levels)], **options)
                    for n, i in enumerate(starts)) + BGZF_EOF


def bgzf_blocks(stream):
    """Checks that `stream` is BGZF as kestrel writes it: blocks of one head, each below
    64 KiB, all but the last holding 65280 bytes, and the end marker. Returns their count."""
    assert stream.endswith(BGZF_EOF)
    sizes, offset, end = [], 0, len(stream) - len(BGZF_EOF)
    while offset < end:
        assert stream[offset:offset + 16] == BLOCK_HEAD, offset
        total = struct.unpack_from("<H", stream, offset + 16)[0] + 1
        assert total < 65536
        sizes.append(struct.unpack_from("<I", stream, offset + total - 4)[0])
        offset += total
    assert offset == end
    assert all(size == 65280 for size in sizes[:-1]) and all(0 < size <= 65280 for size in sizes[-1:])
    return len(sizes)


@contextlib.contextmanager
def small_tmpfs(path, *, pages=None, inodes=None):
    """A tmpfs of `pages` 4 KiB pages or `inodes` inodes mounted on `path` (root only)."""
    path.mkdir()
    options = ",".join(([f"size={pages * 4096}"] if pages else []) + ([f"nr_inodes={inodes}"] if inodes else []))
    if subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", path], capture_output=True).returncode:
        pytest.skip("mounting a tmpfs needs root")
    try:
        yield path
    finally:
        subprocess.run(["umount", "-l", path])


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
    for key, value in (env or {}).items():
        if value is None:
            full_env.pop(key, None)
        else:
            full_env[key] = value
    return full_env


def run_python(code, *, cwd=None, env=None, check=True, timeout=120, prefix=()):
    """Runs `code` in a fresh interpreter, after the command `prefix` if given; kestrel
    writes to fds 1 and 2 directly, so its lines can only be seen from outside."""
    result = subprocess.run([*prefix, sys.executable, "-c", code], cwd=cwd, env=child_env(env),
                            capture_output=True, timeout=timeout)
    if check and result.returncode != 0:
        raise AssertionError(
            f"exit {result.returncode}\nstdout:\n{result.stdout.decode(errors='replace')}"
            f"\nstderr:\n{result.stderr.decode(errors='replace')}"
        )
    return result


SPLIT_CHILD = """
import os, sys, kestrel
{setup}
fds = sorted(os.listdir("/proc/self/fd"))
calls, status = {calls}, 0
for args in calls:
    try:
        kestrel.py_extract_variants_to_batches(*args)
    except BaseException as e:
        sys.stdout.flush()
        print("RAISED", type(e).__name__, str(e), sep="|", file=sys.stderr)
        status = 3
if sorted(os.listdir("/proc/self/fd")) != fds:
    print("descriptors left open", file=sys.stderr)
sys.exit(status)
"""


def split_in_subprocess(*args, calls=None, setup="", cwd=None, env=None, check=True, prefix=()):
    """Calls the function with `args` (or with each tuple of `calls`) in a fresh
    interpreter, after the code `setup`. A failure is printed to stderr as
    RAISED|type|message, and exits 3; descriptors left open are reported there too."""
    calls = [tuple(str(a) if isinstance(a, Path) else a for a in call) for call in (calls or [args])]
    code = SPLIT_CHILD.format(setup=setup, calls=repr(calls))
    return run_python(code, cwd=cwd, env=env, check=check, prefix=prefix)
