"""What streaming the batches must never give up: a batch file is there complete or
not at all, whatever stops the split (a killed process, a full disk, the input in
the way), and memory does not grow with a batch or a line."""
import gzip
import os
import signal
import subprocess
import sys
import time

import pytest

from conftest import BGZF_EOF, DATA, HEADER, child_env, records, run_python, split_in_subprocess
from reference import expected_batches

UNDER_SANITIZER = bool(os.environ.get("KESTREL_UNDER_SANITIZER"))


def sample(copies, header=True):
    lines = (DATA / "haploid-x.vcf").read_bytes().splitlines(keepends=True)
    head = [line for line in lines if line.startswith(b"#")] if header else []
    body = [line for line in lines if not line.startswith(b"#")]
    return b"".join(head + body * copies)


@pytest.mark.parametrize(
    "name, batch_size, level, saved",
    [("batch_01.vcf", 100, None, 0), ("batch_02.vcf", 100, None, 1), ("batch_01.vcf.gz", 300, "fast", 0)],
)
def test_the_input_is_never_overwritten_by_its_own_batches(tmp_path, name, batch_size, level, saved):
    text = sample(1)
    source = tmp_path / name
    if name.endswith(".gz"):
        text = subprocess.run(["bgzip", "-c"], input=text, capture_output=True, check=True).stdout
    source.write_bytes(text)
    before = source.read_bytes()
    result = split_in_subprocess(source, tmp_path, batch_size, level, check=False)
    number = saved + 1
    assert result.stderr.decode().endswith(
        f"RAISED|PanicException|An error occurred while trying to save batch {number}: "
        f"I/O Error: the batch file {tmp_path}/{name} is the input file\n"
    )
    assert source.read_bytes() == before
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted([name] + [f"batch_0{i}.vcf" for i in range(1, number)])


def test_a_killed_split_leaves_only_complete_batch_files(tmp_path):
    text = sample(20)  # 12 MB, in batches of about 1.2 MB, at the slowest level
    source = tmp_path / "in.vcf"
    source.write_bytes(text)
    out = tmp_path / "out"
    code = f"import kestrel; kestrel.py_extract_variants_to_batches({str(source)!r}, {str(out)!r}, 1500, 'best')"
    child = subprocess.Popen([sys.executable, "-c", code], env=child_env(), stdout=subprocess.PIPE)
    child.stdout.readline()  # the first batch is saved: the split is in full swing
    time.sleep(0.05)
    child.send_signal(signal.SIGKILL)
    child.wait()
    expected = expected_batches(text, 1500)
    names = sorted(p.name for p in out.iterdir() if p.name.startswith("batch_"))
    assert 1 <= len(names) < len(expected), names
    for name in names:
        stream = (out / name).read_bytes()
        assert stream.endswith(BGZF_EOF)
        assert gzip.decompress(stream) == expected[int(name[6:8]) - 1]


@pytest.mark.skipif(os.geteuid() != 0, reason="mounting a small file system needs root")
def test_a_full_disk_leaves_an_older_batch_file_unchanged(tmp_path):
    disk = tmp_path / "disk"
    disk.mkdir()
    source = tmp_path / "in.vcf"
    source.write_bytes(HEADER + records(40000))  # batches of 20000 records: about 400 kB each
    script = tmp_path / "split.py"
    script.write_text(
        "import os, kestrel\n"
        f"disk = {str(disk)!r}\n"
        "open(os.path.join(disk, 'batch_02.vcf'), 'w').write('older')\n"
        "try:\n"
        f"    kestrel.py_extract_variants_to_batches({str(source)!r}, disk, 20000)\n"
        "except BaseException as e:\n"
        "    print(e)\n"
        "print(sorted(os.listdir(disk)), open(os.path.join(disk, 'batch_02.vcf')).read())\n"
    )
    mount = f"mount -t tmpfs -o size=600k tmpfs {disk} && exec {sys.executable} {script}"
    result = subprocess.run(["unshare", "--mount", "sh", "-c", mount], env=child_env(), capture_output=True)
    assert result.returncode == 0, result.stderr.decode()
    assert result.stdout.decode().splitlines()[-2:] == [
        "An error occurred while trying to save batch 2: I/O Error: No space left on device (os error 28)",
        "['batch_01.vcf', 'batch_02.vcf'] older",
    ]


@pytest.mark.skipif(UNDER_SANITIZER, reason="the sanitizers need more address space than the limits allow")
def test_running_out_of_address_space_ends_the_call_not_the_process(tmp_path):
    source = tmp_path / "in.vcf"
    source.write_bytes(sample(10))  # batches of about 6 MB
    code = (
        "import kestrel, sys\n"
        "try:\n"
        f"    kestrel.py_extract_variants_to_batches({str(source)!r}, sys.argv[1], 7770, sys.argv[2])\n"
        "    print('ok')\n"
        "except BaseException as e:\n"
        "    print(e)\n"
    )
    outcomes = set()
    for limit_mb in range(30, 70, 4):
        for level in ("none", "fast", "best"):
            command = ["prlimit", f"--as={limit_mb << 20}", sys.executable, "-c", code, str(tmp_path / "o"), level]
            result = subprocess.run(command, env=child_env({"RAYON_NUM_THREADS": "2"}), capture_output=True, timeout=60)
            assert result.returncode == 0, (limit_mb, level, result.stderr.decode()[-300:])
            outcome = result.stdout.decode().splitlines()[-1].split(": Os {")[0]
            if outcome == "memory allocation failed":  # reported like any failure, first
                assert "panicked at 'memory allocation failed'" in result.stderr.decode()
            assert outcome in {
                "ok",
                "memory allocation failed",
                "The global thread pool has not been initialized.",
            }, (limit_mb, level, outcome)
            outcomes.add(outcome)
    assert {"ok", "memory allocation failed"} <= outcomes


@pytest.mark.skipif(UNDER_SANITIZER, reason="the sanitizers' own memory is counted too")
@pytest.mark.parametrize("level", [None, "best"])
def test_memory_does_not_grow_with_a_batch_or_a_line(tmp_path, level):
    source = tmp_path / "in.vcf"
    with open(source, "wb") as out:
        out.write(HEADER + b"chr1\t1\t" + b"A" * (160 << 20) + b"\n")  # one 160 MB record
        out.write(sample(60, header=False))  # and 35 MB more, all in one batch
    # VmHWM is this process's own peak; ru_maxrss would count the parent's before exec.
    code = (
        "import kestrel\n"
        f"kestrel.py_extract_variants_to_batches({str(source)!r}, {str(tmp_path / 'out')!r}, 10**9, {level!r})\n"
        "print(next(int(l.split()[1]) for l in open('/proc/self/status') if l.startswith('VmHWM')) // 1024)\n"
    )
    peak_mb = int(run_python(code).stdout.decode().splitlines()[-1])
    assert peak_mb < 64
