import gzip
import os
import random
import struct

import pytest

import kestrel
from conftest import BGZF_EOF as EOF_MARKER, DATA, run_python, split_in_subprocess

UNDER_SANITIZER = bool(os.environ.get("KESTREL_UNDER_SANITIZER"))
BLOCK_HEAD = bytes.fromhex("1f 8b 08 04 00 00 00 00 02 ff 06 00 42 43 02 00")
LEVELS = ["fast", "default", "best"]


def blocks_of(stream):
    """(offset, total size, uncompressed size) of every block, checking the header."""
    blocks, offset = [], 0
    while offset < len(stream):
        assert stream[offset : offset + 16] == BLOCK_HEAD or stream[offset:] == EOF_MARKER, offset
        total = struct.unpack_from("<H", stream, offset + 16)[0] + 1
        isize = struct.unpack_from("<I", stream, offset + total - 4)[0]
        blocks.append((offset, total, isize))
        offset += total
    assert offset == len(stream)
    return blocks


def check_bgzf_layout(stream):
    assert stream.endswith(EOF_MARKER)
    data_blocks = blocks_of(stream[: -len(EOF_MARKER)])
    for _, total, isize in data_blocks[:-1]:
        assert isize == 65280
    if data_blocks:
        assert 0 < data_blocks[-1][2] <= 65280
    assert all(total < 65536 for _, total, _ in data_blocks)
    return data_blocks


def split(source, output, batch_size, *level):
    kestrel.py_extract_variants_to_batches(str(source), str(output), batch_size, *level)
    return sorted(os.listdir(output))


def vcf_of_size(path, size):
    """Records of haploid-x.vcf repeated with increasing positions, about `size` bytes."""
    lines = (DATA / "haploid-x.vcf").read_bytes().splitlines(keepends=True)
    header = [line for line in lines if line.startswith(b"#")]
    records = [line.split(b"\t") for line in lines if not line.startswith(b"#")]
    out, written, shift = [b"".join(header)], 0, 0
    while written < size:
        for fields in records:
            line = b"\t".join([fields[0], str(int(fields[1]) + shift).encode(), *fields[2:]])
            out.append(line)
            written += len(line)
        shift += 10_000_000
    path.write_bytes(b"".join(out))
    return path


def assert_same_batches(compressed_dir, plain_dir):
    plain_names = sorted(os.listdir(plain_dir))
    assert sorted(os.listdir(compressed_dir)) == [name + ".gz" for name in plain_names]
    for name in plain_names:
        stream = (compressed_dir / (name + ".gz")).read_bytes()
        check_bgzf_layout(stream)
        assert gzip.decompress(stream) == (plain_dir / name).read_bytes(), name


@pytest.mark.parametrize("level", LEVELS)
def test_batches_are_bgzf_holding_exactly_the_plain_content(tmp_path, level):
    source = vcf_of_size(tmp_path / "in.vcf", 8_000_000)
    # About 7 MB per batch: three chunks of 50 blocks, the last one partly filled.
    split(source, tmp_path / "plain", 9000)
    names = split(source, tmp_path / "gz", 9000, level)
    assert names[0] == "batch_01.vcf.gz"
    assert_same_batches(tmp_path / "gz", tmp_path / "plain")
    first = (tmp_path / "gz" / names[0]).read_bytes()
    assert len(check_bgzf_layout(first)) > 100


@pytest.mark.parametrize("batch_size", [1, 50, 300, 777, 5000])
def test_real_data_at_several_batch_sizes(tmp_path, batch_size):
    source = DATA / "haploid-x.vcf"
    split(source, tmp_path / "plain", batch_size)
    split(source, tmp_path / "gz", batch_size, "fast")
    assert_same_batches(tmp_path / "gz", tmp_path / "plain")


def test_incompressible_blocks_stay_below_65536_bytes(tmp_path):
    generator = random.Random(5)
    lines = [b"#header"]
    while sum(map(len, lines)) < 400_000:
        line = bytes(generator.randrange(256) for _ in range(generator.randrange(1, 3000)))
        lines.append(b"x" + line.replace(b"\n", b"y").replace(b"\r", b"z"))
    source = tmp_path / "random.vcf"
    source.write_bytes(b"\n".join(lines) + b"\n")
    split(source, tmp_path / "plain", 1_000_000)
    split(source, tmp_path / "gz", 1_000_000, "best")
    assert_same_batches(tmp_path / "gz", tmp_path / "plain")
    blocks = check_bgzf_layout((tmp_path / "gz" / "batch_01.vcf.gz").read_bytes())
    # Really incompressible: the blocks are hardly smaller than their data.
    assert sum(total for _, total, _ in blocks) > 0.98 * sum(isize for _, _, isize in blocks)


THREAD_COUNT = """
import kestrel, os, sys
kestrel.py_extract_variants_to_batches(sys.argv[1], sys.argv[2], 100, 'fast')
print(len(os.listdir('/proc/self/task')) - 1)
"""


def worker_threads(tmp_path, env):
    code = THREAD_COUNT.replace("sys.argv[1]", repr(str(DATA / "haploid-x.vcf"))).replace(
        "sys.argv[2]", repr(str(tmp_path / "out"))
    )
    full_env = {"RAYON_NUM_THREADS": None, "RAYON_RS_NUM_CPUS": None, **env}
    result = run_python(code, env=full_env)
    return int(result.stdout.decode().splitlines()[-1])


@pytest.mark.parametrize(
    "env, expected",
    [
        ({"RAYON_NUM_THREADS": "3"}, 3),
        ({"RAYON_NUM_THREADS": "+3", "RAYON_RS_NUM_CPUS": "5"}, 3),
        ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "5"}, "processors"),
        ({"RAYON_NUM_THREADS": "abc", "RAYON_RS_NUM_CPUS": "4"}, 4),
        ({"RAYON_NUM_THREADS": "-2", "RAYON_RS_NUM_CPUS": "4"}, 4),
        ({"RAYON_NUM_THREADS": " 3", "RAYON_RS_NUM_CPUS": "0"}, "processors"),
        ({"RAYON_NUM_THREADS": "1000"}, 255),
        ({}, "processors"),
    ],
)
def test_pool_size_follows_the_environment(tmp_path, env, expected):
    if expected == "processors":
        expected = min(len(os.sched_getaffinity(0)), 255)
    assert worker_threads(tmp_path, env) == expected


def test_pool_is_made_once_per_process(tmp_path):
    code = (
        "import kestrel, os\n"
        f"source, out = {str(DATA / 'haploid-x.vcf')!r}, {str(tmp_path / 'out')!r}\n"
        "kestrel.py_extract_variants_to_batches(source, out, 100, 'fast')\n"
        "os.environ['RAYON_NUM_THREADS'] = '5'\n"
        "kestrel.py_extract_variants_to_batches(source, out, 100, 'best')\n"
        "print(len(os.listdir('/proc/self/task')) - 1)\n"
    )
    result = run_python(code, env={"RAYON_NUM_THREADS": "2", "RAYON_RS_NUM_CPUS": None})
    assert result.stdout.decode().splitlines()[-1] == "2"


def test_interpreter_exits_cleanly_right_after_a_compressed_call(tmp_path):
    result = split_in_subprocess(DATA / "haploid-x.vcf", tmp_path / "out", 100, "default")
    assert result.returncode == 0
    assert result.stderr == b""
    assert result.stdout.decode().splitlines()[0] == "Saving batch_01.vcf.gz"


def test_forked_child_compresses_with_a_pool_of_its_own(tmp_path):
    code = (
        "import kestrel, os, sys\n"
        f"source, out = {str(DATA / 'haploid-x.vcf')!r}, {str(tmp_path)!r}\n"
        "kestrel.py_extract_variants_to_batches(source, out + '/parent', 300, 'fast')\n"
        "child = os.fork()\n"
        "if child == 0:\n"
        "    kestrel.py_extract_variants_to_batches(source, out + '/child', 300, 'fast')\n"
        "    os._exit(0)\n"
        "sys.exit(os.waitstatus_to_exitcode(os.waitpid(child, 0)[1]))\n"
    )
    run_python(code, timeout=60)
    names = sorted(os.listdir(tmp_path / "parent"))
    assert names == sorted(os.listdir(tmp_path / "child")) and len(names) == 3
    for name in names:
        assert (tmp_path / "child" / name).read_bytes() == (tmp_path / "parent" / name).read_bytes()


def test_pool_that_cannot_start_raises_and_a_later_call_starts_it(tmp_path):
    code = (
        "import kestrel, os\n"
        f"source, out = {str(DATA / 'haploid-x.vcf')!r}, {str(tmp_path / 'out')!r}\n"
        "try:\n"
        "    kestrel.py_extract_variants_to_batches(source, out, 1000, 'fast')\n"
        "except BaseException as e:\n"
        "    print(type(e).__name__, e)\n"
        "print(os.path.exists(out))\n"
        "os.environ['RUST_MIN_STACK'] = '4194304'\n"
        "kestrel.py_extract_variants_to_batches(source, out, 1000, 'fast')\n"
    )
    # No thread stack of 2**62 bytes can be mapped.
    result = run_python(code, env={"RUST_MIN_STACK": str(2**62), "RAYON_NUM_THREADS": "2"})
    lines = result.stdout.decode().splitlines()
    assert lines[1].startswith(
        "PanicException The global thread pool has not been initialized.: Os { code: 11, kind: WouldBlock"
    ), lines[1]
    assert lines[2] == "False"  # no partial batch file, and not even the directory it made
    assert lines[-1].startswith("Saved 1 batches")
    stream = (tmp_path / "out" / "batch_01.vcf.gz").read_bytes()
    assert gzip.decompress(stream) == (DATA / "haploid-x.vcf").read_bytes()



@pytest.mark.skipif(UNDER_SANITIZER, reason="the sanitizer reserves more address space than the limit")
def test_pool_that_starts_only_some_threads_leaves_none_behind(tmp_path):
    stack = 512 << 20
    code = (
        "import kestrel, os, resource\n"
        f"source, out = {str(DATA / 'haploid-x.vcf')!r}, {str(tmp_path / 'out')!r}\n"
        "def usage():\n"
        "    with open('/proc/self/status') as status:\n"
        "        size = next(int(l.split()[1]) for l in status if l.startswith('VmSize:'))\n"
        "    return len(os.listdir('/proc/self/task')), size << 10\n"
        "threads, size = usage()\n"
        # Room for three and a half of the eight stacks: the fourth thread cannot start.
        f"resource.setrlimit(resource.RLIMIT_AS, (size + {stack * 7 // 2}, resource.RLIM_INFINITY))\n"
        "for _ in range(20):\n"
        "    try:\n"
        "        kestrel.py_extract_variants_to_batches(source, out, 1000, 'fast')\n"
        "    except BaseException as e:\n"
        "        print(type(e).__name__, e)\n"
        "    now = usage()\n"
        "    print(now[0] - threads, now[1] - size)\n"
        "resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))\n"
        "kestrel.py_extract_variants_to_batches(source, out, 1000, 'fast')\n"
    )
    result = run_python(code, env={"RUST_MIN_STACK": str(stack), "RAYON_NUM_THREADS": "8"})
    lines = [line for line in result.stdout.decode().splitlines() if not line.startswith("Saving ")]
    failure = "PanicException The global thread pool has not been initialized.: Os { code: 11, kind: WouldBlock"
    assert [line.startswith(failure) for line in lines[:40:2]] == [True] * 20, lines
    growth = [tuple(map(int, line.split())) for line in lines[1:40:2]]
    # No thread and no stack left behind, not even a malloc arena: at most the
    # interpreter's own heap grows a little.
    assert all(threads == 0 and size < (16 << 20) for threads, size in growth), growth
    assert lines[40:] == [f"Saved 1 batches with 1000 samples to {tmp_path / 'out'}."]


def test_level_names_select_three_distinct_levels(tmp_path):
    source = DATA / "haploid-x.vcf"
    streams = {}
    for name in ("fast", "FAST", "default", "Default", "best", "bEST"):
        split(source, tmp_path / name, 10**6, name)
        streams[name] = (tmp_path / name / "batch_01.vcf.gz").read_bytes()
    assert streams["fast"] == streams["FAST"]
    assert streams["default"] == streams["Default"]
    assert streams["best"] == streams["bEST"]
    # Levels 1, 6 and 9 in that order: each compresses real data harder.
    assert len(streams["fast"]) > len(streams["default"]) > len(streams["best"])
