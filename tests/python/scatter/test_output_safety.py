"""The output directory is the run's alone: nothing outside it changes, the input is
never replaced, no stale index or earlier run's chunk stays, memory stays bounded on any
line, a run that ends early (a second run, a signal, a directory taken away) leaves no
temporary behind, and the next run clears a killed one's."""
import contextlib
import os
import shutil
import signal
import time

import pytest

import kestrel
import kestrel_scatter
from conftest import (HEADER, UNDER_SANITIZER, bgzf, cli, files, leftovers, records, run_python, small_tmpfs,
                      split_in_subprocess)

ROOT = os.geteuid() == 0
MANIFEST_HEAD = "file\tindex\trecords\tfirst_chrom\tfirst_pos\tlast_chrom\tlast_pos\tbytes\n"


@pytest.mark.parametrize("who", ["unprivileged", "root-on-a-full-file-system"])
def test_a_link_in_the_output_directory_is_never_written_through(tmp_path, who):
    """A symbolic link or a hard link of a batch's name leads outside the directory:
    neither module writes through it, even where the directory takes no new file."""
    source, victim, hard_victim = tmp_path / "in.vcf", tmp_path / "victim", tmp_path / "hard-victim"
    source.write_bytes(HEADER + records(5))
    for path in (victim, hard_victim):
        path.write_bytes(b"precious\n")
        path.chmod(0o666)
    with contextlib.ExitStack() as stack:
        if who == "unprivileged" and ROOT and shutil.which("setpriv") is None:
            pytest.skip("cannot drop root's file access")
        out = (tmp_path / "out" if who == "unprivileged"
               else stack.enter_context(small_tmpfs(tmp_path / "full", inodes=16)))
        out.mkdir(exist_ok=True)
        for name in ("batch_01.vcf", "batch_01.vcf.gz.tbi"):
            (out / name).symlink_to(victim)
        wrap = ("setpriv", "--bounding-set=-dac_override,-dac_read_search") if ROOT and who == "unprivileged" else ()
        if who == "unprivileged":
            os.link(hard_victim, out / "batch_01.vcf.gz")
            out.chmod(0o555)  # takes no new file
            stack.callback(out.chmod, 0o755)
        else:
            with contextlib.suppress(OSError):
                for n in range(64):  # every inode taken
                    (out / f"filler{n}").touch()
        for options in (["-b", "400"], ["-b", "400", "-c", "fast", "-i", "tbi"]):
            result = cli(source, out, *options, cwd=tmp_path, wrap=wrap)
            assert result.returncode == 1, result.stderr
        result = split_in_subprocess(calls=[(source, out, 400), (source, out, 400, "fast")], cwd=tmp_path,
                                     check=False, prefix=wrap)
        assert result.stderr.count(b"RAISED|PanicException|") == 2, result.stderr
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
    source, data = out / name, HEADER + records(5)
    source.write_bytes(data)
    (tmp_path / "link").symlink_to(source)
    os.link(source, tmp_path / "hard.vcf")
    # Under any name of the output; as a hard link and through a symbolic link too.
    for given, options in [(source, options) for options in runs] + [(tmp_path / alias, runs[0])
                                                                      for alias in ("link", "hard.vcf")]:
        with pytest.raises(OSError, match=f"{out / name} is the input file$"):
            kestrel_scatter.scatter(given, out, records_per_chunk=3, **options)
        assert source.read_bytes() == data and leftovers(out) == []


def test_a_failed_index_save_leaves_no_older_index_beside_the_new_chunk(tmp_path):
    source = tmp_path / "in.vcf"
    source.write_bytes(HEADER + records(20000))
    probe = kestrel_scatter.scatter(source, tmp_path / "probe", chunks=1, compression="fast", index="tbi")
    # An older chunk and its stale index, both empty; room for the new chunk, none for its index.
    with small_tmpfs(tmp_path / "full", pages=-(-probe[0].bytes // 4096)) as out:
        (out / "batch_01.vcf.gz").write_bytes(b"")
        (out / "batch_01.vcf.gz.tbi").write_bytes(b"")
        with pytest.raises(OSError) as failure:
            kestrel_scatter.scatter(source, out, chunks=1, compression="fast", index="tbi")
        assert failure.value.errno == 28 and failure.value.filename == f"{out}/batch_01.vcf.gz.tbi"
        assert files(out) == {"batch_01.vcf.gz": (tmp_path / "probe" / "batch_01.vcf.gz").read_bytes()}


def test_a_run_holds_its_directory_a_signal_ends_it_without_a_trace_and_a_forked_child_holds_nothing(tmp_path):
    (tmp_path / "in.vcf").write_bytes(HEADER + records(5))
    (tmp_path / "big.vcf").write_bytes(HEADER + records(100_000) * 25)  # 42 MB: seconds of work at "best"
    for source, out, options, data, ending in [
        ("-", "out", ["-b", "100"], records(250), signal.SIGTERM),  # two batches saved, a third under way
        ("-", "mix", ["-k", "4", "--spool-dir", "."], records(1000), None),  # counting, waiting for more
        ("big.vcf", "out", ["-b", "100000", "-c", "best"], None, signal.SIGINT),  # compressing
    ]:
        # A shell may have started this run with Ctrl-C ignored; the command obeys it.
        run = cli(source, out, *options, cwd=tmp_path, popen=True,
                  preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
        if data:
            run.stdin.write(HEADER + data)
            run.stdin.flush()
        deadline = time.monotonic() + 60
        while not (leftovers(tmp_path / out) if ending else (tmp_path / out).exists()):
            assert time.monotonic() < deadline and run.poll() is None
            time.sleep(0.05)
        # A second run of either module into the directory fails at once, naming it.
        started = time.monotonic()
        second = cli("in.vcf", out, "-b", "10", cwd=tmp_path)
        assert time.monotonic() - started < 30
        busy = f"{out}: another run is writing into this directory\n"
        assert (second.returncode, second.stderr.decode()) == (1, f"kestrel-split: error: {busy}")
        batch = split_in_subprocess("in.vcf", out, 1000, cwd=tmp_path, check=False)
        assert batch.returncode == 3 and batch.stderr.decode().endswith(f"RAISED|PanicException|{busy}")
        if ending:
            run.send_signal(ending)
        _, stderr = run.communicate(None if ending else records(3000, start=1001), timeout=600)
        assert run.returncode == (128 + ending if ending else 0), stderr
        assert b"Traceback" not in stderr and leftovers(tmp_path / out) == []
        manifest = files(tmp_path / out).get("manifest.tsv", b"").decode().splitlines()[1:]
        assert [row.split("\t")[2] for row in manifest] == ([] if ending else ["1000"] * 4)
    # From the command's first lines on, before main() runs too, a signal ends it with 128 + its number.
    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        early = run_python(f"import os, signal, sys, time; signal.signal(signal.SIGINT, signal.SIG_DFL); "
                           f"sys.argv[0] = '/bin/kestrel-split'; import kestrel_cli; "
                           f"os.kill(os.getpid(), {int(number)}); time.sleep(60)", check=False)
        assert (early.returncode, early.stderr) == (128 + number, b"")
    if not UNDER_SANITIZER:  # the sanitizer's allocator keeps no lock across a fork
        assert run_python(FORKED_DURING_A_RUN, cwd=tmp_path).stdout.endswith(b"(0, 0)\n")


# A child forked during a run (here by the callback; as well by another thread)
# outlives it, but does not hold the directory's lock.
FORKED_DURING_A_RUN = """
import os, time, kestrel_scatter
children = []
def fork_once(chunk):
    if not children:
        child = os.fork()
        if child == 0:
            time.sleep(30)
            os._exit(0)
        children.append(child)
for run in range(2):
    kestrel_scatter.scatter("in.vcf", "forked", chunks=2, on_chunk=fork_once)
print(os.waitpid(children[0], os.WNOHANG))
os.kill(children[0], 9)
"""


@pytest.mark.parametrize("where", ["local", "cluster"])
def test_a_directory_removed_or_replaced_during_the_run_gets_nothing_more(tmp_path, request, where):
    cluster = {"client": request.getfixturevalue("client"), "range_bytes": 65536} if where == "cluster" else {}
    source, other = tmp_path / "in.vcf", tmp_path / "other"
    source.write_bytes(HEADER + records(30_000))
    other.mkdir()
    for change in ("moved", "symlink", "directory", "removed"):
        out, moved, changed = tmp_path / change, tmp_path / f"{change}-moved", []

        def take_away(chunk):
            if not changed:
                changed.append(chunk)
                while change == "removed" and out.exists():  # workers may still be renaming into it
                    shutil.rmtree(out, ignore_errors=True)
                os.rename(out, moved) if change != "removed" else None
                out.symlink_to(other) if change == "symlink" else out.mkdir() if change == "directory" else None
        with pytest.raises(FileNotFoundError):
            kestrel_scatter.scatter(source, out, records_per_chunk=300, compression="best", index="tbi",
                                    on_chunk=take_away, **cluster)
        assert files(other) == files(out) == {} and out.exists() == (change in ("symlink", "directory"))
        assert leftovers(moved) == [] and "manifest.tsv" not in files(moved)
        if change == "moved" and not cluster:  # the local run saves in order: the next chunk went nowhere
            assert sorted(files(moved)) == ["batch_01.vcf.gz", "batch_01.vcf.gz.tbi"]


@pytest.mark.parametrize("where", ["local", "cluster", "s3"])
def test_a_run_replaces_the_earlier_runs_files_and_no_other(tmp_path, request, where):
    """What the earlier run's manifest named and this run does not write goes before this
    run's manifest, so that batch_* takes this run's chunks alone. A manifest is untrusted:
    only chunk files and indexes of this program's naming, in the directory, are removed."""
    source, out, options, listing = tmp_path / "in.vcf", tmp_path / "out", {}, files
    source.write_bytes(HEADER + records(100))
    if where == "s3":
        s3 = request.getfixturevalue("s3")
        out, options, listing = s3.bucket("replaced") + "/out", {"storage_options": s3.options}, s3.files
    elif where == "cluster":
        options = {"client": request.getfixturevalue("client")}
    kestrel_scatter.scatter(source, out, chunks=10, compression="fast", index="tbi", **options)
    mine = ["batch_11.vcf.gz", "batch_7.vcf", "batch_003.vcf", "batch_01.vcf.tbi", "notes.txt"]
    for name in mine:
        s3.fs.pipe(f"{out}/{name}", b"") if where == "s3" else (out / name).write_bytes(b"")
    kestrel_scatter.scatter(source, out, chunks=4, **options)
    assert sorted(listing(out)) == sorted([f"batch_0{n}.vcf" for n in range(1, 5)] + mine + ["manifest.tsv"])
    if where != "local":
        return
    # Killed runs' temporaries go with the next run, and only names of ours.
    run = cli("-", out, "-b", "30", cwd=tmp_path, popen=True)
    run.stdin.write(HEADER + records(75))
    run.stdin.flush()
    while not leftovers(out) and run.poll() is None:
        time.sleep(0.05)
    run.kill()
    strangers = [".batch_01.vcf.notes.tmp", ".kestrel.lock", ".manifest.tsv.bak", ".kestrel-1-2-3.tmp"]
    for name in [".kestrel-0123456789abcdef.run", ".kestrel-hold-12-34.run", ".kestrel-12-0.tmp",
                 ".manifest.tsv.0123456789abcdef-1-2f-3.tmp"] + strangers:
        (out / name).write_bytes(b"")
    (tmp_path / "victim").write_bytes(b"precious")
    os.link(source, out / "batch_05.vcf")  # the input, under a name of ours
    rows = ["../victim", "notes.txt", "batch_7.vcf", "batch_003.vcf", "batch_01.vcf.tbi", f"{out}/batch_04.vcf",
            "batch_02.vcf\t../victim", "batch_03.vcf", "batch_05.vcf"]
    (out / "manifest.tsv").write_text(MANIFEST_HEAD + "".join(f"{row}\t\t1\n" for row in rows))
    assert run.wait() == -signal.SIGKILL and len(leftovers(out)) > 8
    kestrel_scatter.scatter(source, out, chunks=1)
    assert leftovers(out) == sorted(strangers) and (tmp_path / "victim").read_bytes() == b"precious"
    assert sorted(files(out)) == sorted(["batch_01.vcf", "batch_04.vcf", "batch_05.vcf", "manifest.tsv"] + mine
                                        + strangers)
    # No manifest, no names: an earlier run's chunks stay. The batch module removes a manifest
    # whose files it replaces, and only such a one.
    kestrel_scatter.scatter(source, out, chunks=3)
    os.remove(out / "manifest.tsv")
    kestrel_scatter.scatter(source, out, chunks=1)
    assert {"batch_02.vcf", "batch_03.vcf"} <= set(files(out))
    for compression, kept in (("fast", True), (None, False)):
        kestrel.py_extract_variants_to_batches(str(source), str(out), 100, compression)
        assert ("manifest.tsv" in files(out)) == kept


def test_an_index_that_is_no_regular_file_is_never_waited_on(tmp_path, client):
    """A FIFO named like the input's .tbi, .csi or .gzi is passed over, locally and on the
    workers: the run counts instead."""
    source = tmp_path / "in.vcf.gz"
    source.write_bytes(bgzf(HEADER + b"".join(b"chr1\t%d\t%s\tA\tG\n" % (n, os.urandom(12).hex().encode())
                                              for n in range(1, 40001))))
    for suffix in (".tbi", ".csi", ".gzi"):
        os.mkfifo(f"{source}{suffix}")
    for out, where in (("local", ()), ("cluster", ("--scheduler", client.scheduler.address))):
        assert cli(source, out, "-k", "3", *where, cwd=tmp_path, timeout=60).returncode == 0
    assert files(tmp_path / "local") == files(tmp_path / "cluster") and len(files(tmp_path / "local")) == 4
