"""The output directory is the run's alone: nothing outside it changes, the input is
never replaced, no stale index stays, memory stays bounded on any line, and a run that
ends early (a second run, SIGTERM, exhausted memory) leaves no temporary behind."""
import contextlib
import gzip
import os
import shutil
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import kestrel_scatter
from conftest import HEADER, child_env, records, run_python, small_tmpfs, split_in_subprocess

UNDER_SANITIZER = bool(os.environ.get("KESTREL_UNDER_SANITIZER"))
ROOT = os.geteuid() == 0


def cli(*args, cwd, stdin=None, wrap=(), **kwargs):
    return subprocess.run([*wrap, sys.executable, "-m", "kestrel_cli", *map(str, args)], cwd=cwd, stdin=stdin,
                          env=child_env(), capture_output=True, timeout=120, **kwargs)


def leftovers(directory):
    return sorted(name for name in os.listdir(directory) if name.startswith("."))


stack = contextlib.ExitStack()


@pytest.fixture(autouse=True)
def _unmount_at_the_end():
    yield
    stack.close()


@pytest.mark.parametrize("who", ["unprivileged", "root-on-a-full-file-system"])
def test_a_link_in_the_output_directory_is_never_written_through(tmp_path, who):
    """A symbolic link or a hard link of a batch's name leads outside the directory:
    neither module writes through it, even where the directory takes no new file."""
    source = tmp_path / "in.vcf"
    source.write_bytes(HEADER + records(5))
    victim, hard_victim = tmp_path / "victim", tmp_path / "hard-victim"
    for path in (victim, hard_victim):
        path.write_bytes(b"precious\n")
        path.chmod(0o666)
    wrap = ()
    if who == "unprivileged":
        if shutil.which("setpriv") is None and ROOT:
            pytest.skip("cannot drop root's file access")
        out = tmp_path / "out"
        out.mkdir()
        directory = out
        wrap = ("setpriv", "--bounding-set=-dac_override,-dac_read_search") if ROOT else ()
    else:
        if not ROOT:
            pytest.skip("mounting a tmpfs needs root")
        directory = stack.enter_context(small_tmpfs(tmp_path / "full", inodes=16))
        out = directory
    for name in ("batch_01.vcf", "batch_01.vcf.gz.tbi"):
        (out / name).symlink_to(victim)
    if who == "unprivileged":
        os.link(hard_victim, out / "batch_01.vcf.gz")
        out.chmod(0o555)  # takes no new file
    else:
        for n in range(64):  # every inode taken
            try:
                (out / f"filler{n}").touch()
            except OSError:
                break
    try:
        for options in (["-b", "400"], ["-b", "400", "-c", "fast", "-i", "tbi"]):
            result = cli(source, out, *options, cwd=tmp_path, wrap=wrap)
            assert result.returncode == 1, result.stderr
        result = split_in_subprocess(calls=[(source, out, 400), (source, out, 400, "fast")], cwd=tmp_path,
                                     check=False, prefix=wrap)
        assert result.stderr.count(b"RAISED|PanicException|") == 2, result.stderr
    finally:
        out.chmod(0o755)
    assert victim.read_bytes() == b"precious\n" and hard_victim.read_bytes() == b"precious\n"
    assert leftovers(out) == []


@pytest.mark.parametrize("name, runs", [
    ("manifest.tsv", [{}, {"manifest": False}]),
    ("batch_01.vcf.gz.tbi", [{"compression": "fast"}, {"compression": "fast", "index": "csi"}]),
    ("batch_02.vcf", [{}]),
])
def test_the_input_is_never_an_output(tmp_path, name, runs):
    out = tmp_path / "out"
    out.mkdir()
    source = out / name
    data = HEADER + records(5)
    source.write_bytes(data)
    for options in runs:
        with pytest.raises(OSError, match=f"{out / name} is the input file"):
            kestrel_scatter.scatter(source, out, records_per_chunk=3, **options)
        assert source.read_bytes() == data
    # As a hard link and through a symbolic link, under any name of the output.
    (tmp_path / "link").symlink_to(source)
    os.link(source, tmp_path / "hard.vcf")
    for alias in (tmp_path / "link", tmp_path / "hard.vcf"):
        with pytest.raises(OSError, match="is the input file"):
            kestrel_scatter.scatter(alias, out, records_per_chunk=3, **runs[0])
    assert source.read_bytes() == data and leftovers(out) == []


def test_a_failed_index_save_leaves_no_older_index_beside_the_new_chunk(tmp_path):
    source = tmp_path / "in.vcf"
    source.write_bytes(HEADER + records(20000))
    probe = kestrel_scatter.scatter(source, tmp_path / "probe", chunks=1, compression="fast", index="tbi")
    pages = -(-probe[0].bytes // 4096)
    # An older chunk and its stale index, both empty; room for the new chunk, none for its index.
    out = stack.enter_context(small_tmpfs(tmp_path / "full", pages=pages))
    (out / "batch_01.vcf.gz").write_bytes(b"")
    (out / "batch_01.vcf.gz.tbi").write_bytes(b"")
    with pytest.raises(OSError) as failure:
        kestrel_scatter.scatter(source, out, chunks=1, compression="fast", index="tbi")
    assert failure.value.errno == 28 and failure.value.filename == f"{out}/batch_01.vcf.gz.tbi"
    assert sorted(os.listdir(out)) == ["batch_01.vcf.gz"]
    assert (out / "batch_01.vcf.gz").read_bytes() == (tmp_path / "probe" / "batch_01.vcf.gz").read_bytes()


@pytest.mark.skipif(UNDER_SANITIZER, reason="the sanitizer reserves more address space than the limit")
def test_huge_fields_end_in_success_or_a_clear_refusal_within_the_memory_limit(tmp_path):
    head = b"##fileformat=VCFv4.2\n#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\n"
    huge = 50 << 20
    (tmp_path / "chrom.vcf").write_bytes(head + b"c" * huge + b"\t1\t.\tA\tG\t.\t.\t.\n")
    (tmp_path / "info.vcf").write_bytes(head + b"1\t1\t.\tA\tG\t.\t.\tX=" + b"i" * huge + b";END=9\n1\t2\t.\tA\tG\t.\t.\t.\n")
    (tmp_path / "pos.vcf").write_bytes(head + b"1\t" + b"7" * huge + b"\t.\tA\tG\t.\t.\t.\n")
    code = textwrap.dedent(
        f"""
        import resource, kestrel_scatter
        with open("/proc/self/status") as status:
            size_kb = next(int(l.split()[1]) for l in status if l.startswith("VmSize:"))
        resource.setrlimit(resource.RLIMIT_AS, ((size_kb + 200 * 1024) * 1024, resource.RLIM_INFINITY))
        for name in ("chrom", "info", "pos"):
            try:
                chunks = kestrel_scatter.scatter(f"{tmp_path}/{{name}}.vcf", f"{tmp_path}/out-{{name}}", chunks=2,
                                                 compression="fast", index="csi")
                print(name, "ok", [c.records for c in chunks])
            except kestrel_scatter.InputError as e:
                print(name, "refused", e.line, len(str(e)))
        """
    )
    lines = run_python(code).stdout.decode().splitlines()
    assert lines[0] == "chrom refused 3 " + str(len(f"{tmp_path}/chrom.vcf: line 3: CHROM is longer than 1024 bytes"))
    assert lines[1] == "info ok [1, 1]"
    assert lines[2].startswith("pos refused 3 ") and int(lines[2].split()[-1]) < 200 + len(str(tmp_path))


def test_a_second_run_into_the_directory_fails_at_once_and_sigterm_leaves_no_temporary(tmp_path):
    (tmp_path / "in.vcf").write_bytes(HEADER + records(5))
    first = subprocess.Popen([sys.executable, "-m", "kestrel_cli", "-", "out", "-b", "100"], cwd=tmp_path,
                             env=child_env(), stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    first.stdin.write(HEADER + records(250))  # two batches complete, a third under way
    first.stdin.flush()
    deadline = time.monotonic() + 60
    while len(leftovers(tmp_path / "out") if (tmp_path / "out").exists() else []) < 1:
        assert time.monotonic() < deadline
        time.sleep(0.05)
    started = time.monotonic()
    second = cli(tmp_path / "in.vcf", "out", "-b", "10", cwd=tmp_path)
    assert time.monotonic() - started < 30
    assert second.returncode == 1
    assert second.stderr.decode() == "kestrel-split: error: out: another run is writing into this directory\n"
    first.send_signal(signal.SIGTERM)
    _, stderr = first.communicate(timeout=60)
    assert first.returncode == 128 + signal.SIGTERM, stderr
    assert b"Traceback" not in stderr
    assert leftovers(tmp_path / "out") == [] and "manifest.tsv" not in os.listdir(tmp_path / "out")
    # The lock went with the process.
    assert cli("-", "out", "-b", "100", cwd=tmp_path, input=HEADER + records(5)).returncode == 0


def test_the_batch_module_keeps_out_of_a_running_scatter(tmp_path):
    (tmp_path / "small.vcf").write_bytes(HEADER + records(5))
    scatter = subprocess.Popen([sys.executable, "-m", "kestrel_cli", "-", "mix", "--chunks", "4", "--spool-dir", "."],
                               cwd=tmp_path, env=child_env(), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE)
    scatter.stdin.write(HEADER + records(1000))  # the scatter holds the directory while it waits for more
    scatter.stdin.flush()
    deadline = time.monotonic() + 60
    while not (tmp_path / "mix").exists():
        assert time.monotonic() < deadline
        time.sleep(0.05)
    result = split_in_subprocess("small.vcf", "mix", 1000, cwd=tmp_path, check=False)
    assert result.returncode == 3
    assert result.stderr.decode().endswith("RAISED|PanicException|mix: another run is writing into this directory\n")
    scatter.stdin.write(records(3000, start=1001))
    scatter.stdin.close()
    assert scatter.wait(timeout=60) == 0, scatter.stderr.read()
    rows = [line.split("\t") for line in (tmp_path / "mix" / "manifest.tsv").read_text().splitlines()[1:]]
    assert [int(row[2]) for row in rows] == [1000] * 4
    assert all(os.path.getsize(tmp_path / "mix" / row[0]) == int(row[7]) for row in rows)


def test_a_directory_removed_during_the_run_fails_it(tmp_path):
    source = tmp_path / "in.vcf"
    source.write_bytes(HEADER + records(10))
    with pytest.raises(FileNotFoundError):
        kestrel_scatter.scatter(source, tmp_path / "out", records_per_chunk=3,
                                on_chunk=lambda chunk: shutil.rmtree(tmp_path / "out"))
    assert not (tmp_path / "out").exists()
    with pytest.raises(FileNotFoundError):
        kestrel_scatter.scatter(source, tmp_path / "out", records_per_chunk=3,
                                on_chunk=lambda chunk: os.rename(tmp_path / "out", tmp_path / f"moved{chunk.records}"))
    assert sorted(os.listdir(tmp_path / "moved3")) == ["batch_01.vcf"]


@pytest.mark.skipif(UNDER_SANITIZER, reason="the sanitizer reserves more address space than the limit")
def test_exhausted_memory_is_reported_in_words(tmp_path):
    source = tmp_path / "in.vcf"
    source.write_bytes(HEADER + records(400_000))
    result = subprocess.run(
        ["sh", "-c", f'ulimit -v 40960; exec "{sys.executable}" -m kestrel_cli "$@"', "sh", source, "out",
         "--chunks", "4", "-c", "fast", "--index", "tbi"],
        cwd=tmp_path, env=child_env({"RAYON_NUM_THREADS": "8"}), capture_output=True, timeout=120)
    assert result.returncode == 1
    assert result.stderr.decode() == "kestrel-split: error: memory allocation failed\n"


def test_smaller_mends(tmp_path):
    source = tmp_path / "in.vcf"
    source.write_bytes(HEADER + records(7))
    # A spool directory that is not one fails, naming it, even where no spool is needed.
    for spool in (tmp_path / "missing", source):
        with pytest.raises(OSError) as failure:
            kestrel_scatter.scatter(source, tmp_path / "o", chunks=2, spool_dir=spool)
        assert failure.value.filename == str(spool)
    # Out-of-range counts are usage errors; manifest takes a bool.
    with pytest.raises(ValueError, match="chunks must be at most 18446744073709551615"):
        kestrel_scatter.scatter(source, tmp_path / "o", chunks=2**64)
    assert cli(source, "o", "-k", "9" * 23, cwd=tmp_path).returncode == 2
    with pytest.raises(TypeError, match="manifest must be True or False"):
        kestrel_scatter.scatter(source, tmp_path / "o", chunks=2, manifest="no")
    assert not (tmp_path / "o").exists()
    # A file whose size says 0 is read as a stream, not taken as empty.
    cpuinfo = open("/proc/cpuinfo", "rb").read()
    chunks = kestrel_scatter.scatter("/proc/cpuinfo", tmp_path / "cpu", chunks=2)
    assert sum(c.records for c in chunks) == sum(1 for line in cpuinfo.splitlines() if not line.startswith(b"#"))
    # Damaged BGZF input is named in plain words.
    kestrel_scatter.scatter(source, tmp_path / "bgzf", records_per_chunk=7, compression="fast")
    cut = (tmp_path / "bgzf" / "batch_01.vcf.gz").read_bytes()[:-40]
    for name, content, words in [("gzip.vcf.gz", gzip.compress(HEADER + records(3))[:-12], "ends inside a gzip member"),
                                 ("cut.vcf.gz", cut, "ends inside a block")]:
        (tmp_path / name).write_bytes(content)
        with pytest.raises(kestrel_scatter.InputError) as failure:
            kestrel_scatter.scatter(tmp_path / name, tmp_path / "o2", records_per_chunk=3)
        assert str(failure.value).startswith(f"{tmp_path / name}: ") and words in str(failure.value)
        assert "IoError" not in str(failure.value) and "InvalidData" not in str(failure.value)
