"""kestrel_scatter on a Dask cluster of worker processes gives what the local run gives:
the same files, indexes and manifest byte for byte, the same exceptions, and no
temporary of any attempt, also when a worker is killed in the middle of a run."""
import os
import re
import signal
import subprocess
import sys
import time

import pytest

import kestrel_scatter
from conftest import child_env

distributed = pytest.importorskip("distributed")

HEAD = b"##fileformat=VCFv4.2\n##long=" + b"h" * 70_000 + b"\n#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\n"


def sample(records):
    """Several contigs, CR LF lines, a record over 64 KiB, and no final line feed."""
    lines = []
    for i in range(records):
        info = b"PAD=" + b"x" * 70_000 if i == records // 3 else b"DP=%d" % i
        lines.append(b"chr%d\t%d\t.\tA\tG\t50\tPASS\t%s%s" % (1 + i * 3 // records, 1 + i * 7, info,
                                                               b"\r" if i % 5 == 0 else b""))
    return HEAD + b"\n".join(lines)


def listing(directory):
    return sorted(os.listdir(directory)) if os.path.exists(directory) else []


def leftovers(directory):
    return [name for name in listing(directory) if name.startswith(".")]


def same_run(source, local_dir, cluster_dir, client, **options):
    """The local and the cluster run of the same split: the same files, summaries and exception."""
    outcomes = []
    for directory, extra in ((local_dir, {}), (cluster_dir, {"client": client, "range_bytes": 65536})):
        try:
            chunks = kestrel_scatter.scatter(source, directory, **options, **extra)
            outcomes.append([tuple(chunk)[2:] for chunk in chunks])
        except Exception as error:  # noqa: BLE001 - compared below
            outcomes.append((type(error), str(error)))
    assert outcomes[1] == outcomes[0]
    names = listing(local_dir)
    assert listing(cluster_dir) == names
    for name in names:
        assert (cluster_dir / name).read_bytes() == (local_dir / name).read_bytes(), name
    return outcomes[0]


def test_the_files_are_the_local_runs(tmp_path, client):
    plain = tmp_path / "in.vcf"
    plain.write_bytes(sample(400))
    kestrel_scatter.scatter(plain, tmp_path / "bgzf", chunks=1, compression="fast")
    compressed = tmp_path / "bgzf" / "batch_01.vcf.gz"
    runs = 0
    with distributed.get_task_stream(client) as stream:
        for source in (plain, compressed):
            for options in ({"chunks": 3}, {"chunks": 7, "compression": "fast", "index": "tbi"},
                            {"records_per_chunk": 45, "compression": "default", "index": "csi"}):
                runs += 1
                outcome = same_run(source, tmp_path / f"local{runs}", tmp_path / f"cluster{runs}", client, **options)
                assert sum(records for records, *_ in outcome) == 400
    assert len({task["worker"] for task in stream.data}) == 2  # both workers did some of it


def test_a_worker_killed_in_the_middle_of_a_run(tmp_path, client):
    source = tmp_path / "in.vcf"
    source.write_bytes(sample(3000))
    pids = list(client.run(os.getpid).values())
    killed = []

    def kill_one(chunk):
        if not killed:
            killed.append(pids[0])
            os.kill(pids[0], signal.SIGKILL)
    expected = kestrel_scatter.scatter(source, tmp_path / "local", records_per_chunk=100, compression="best")
    chunks = kestrel_scatter.scatter(source, tmp_path / "cluster", records_per_chunk=100, compression="best",
                                     client=client, range_bytes=65536, on_chunk=kill_one)
    assert killed and [tuple(c)[2:] for c in chunks] == [tuple(c)[2:] for c in expected]
    for name in os.listdir(tmp_path / "local"):
        assert (tmp_path / "cluster" / name).read_bytes() == (tmp_path / "local" / name).read_bytes(), name
    assert leftovers(tmp_path / "cluster") == []
    client.wait_for_workers(2, timeout=60)


def test_a_damaged_block_or_a_raising_callback_fails_as_locally_and_the_client_goes_on(tmp_path, client):
    source = tmp_path / "in.vcf"
    source.write_bytes(sample(3000))
    kestrel_scatter.scatter(source, tmp_path / "bgzf", chunks=1, compression="fast")
    data = bytearray((tmp_path / "bgzf" / "batch_01.vcf.gz").read_bytes())
    data[len(data) // 2] ^= 0x55
    damaged = tmp_path / "damaged.vcf.gz"
    damaged.write_bytes(bytes(data))
    failure = same_run(damaged, tmp_path / "local", tmp_path / "cluster", client, chunks=4, compression="fast")
    assert failure[0] is kestrel_scatter.InputError and "damaged BGZF input" in failure[1]
    assert listing(tmp_path / "cluster") == []  # no chunk, no manifest, no temporary

    def enough(chunk):
        raise KeyError("enough")
    with pytest.raises(KeyError, match="enough"):  # a callback's exception ends the call as it is
        kestrel_scatter.scatter(source, tmp_path / "ended", chunks=4, client=client, on_chunk=enough)
    assert "manifest.tsv" not in listing(tmp_path / "ended") and leftovers(tmp_path / "ended") == []
    assert len(kestrel_scatter.scatter(source, tmp_path / "again", chunks=4, client=client)) == 4


def test_a_directory_moved_and_replaced_mid_run_gets_nothing(tmp_path, client):
    source = tmp_path / "in.vcf"
    source.write_bytes(sample(30_000))
    other = tmp_path / "other"
    other.mkdir()
    for replacement in ("symlink", "directory"):
        out, moved = tmp_path / f"out-{replacement}", tmp_path / f"moved-{replacement}"

        def replace(chunk):
            if not moved.exists():
                os.rename(out, moved)
                out.symlink_to(other) if replacement == "symlink" else out.mkdir()
        with pytest.raises(FileNotFoundError):
            kestrel_scatter.scatter(source, out, records_per_chunk=300, compression="best", index="tbi",
                                    client=client, range_bytes=65536, on_chunk=replace)
        assert listing(other) == [] and listing(out) == []  # workers found another directory there
        assert leftovers(moved) == [] and "manifest.tsv" not in listing(moved)


def snapshot(directory):
    return sorted((entry.name, entry.stat().st_ino, entry.stat().st_mtime_ns) for entry in os.scandir(directory))


def test_the_command_line_on_a_scheduler_and_two_workers(tmp_path):
    """The same files as locally; Ctrl-C and a lost scheduler end the run at once, and no
    task that was still running changes anything afterwards."""
    source = tmp_path / "in.vcf"
    source.write_bytes(sample(30_000))
    scheduler_file = tmp_path / "scheduler.json"
    dask = [sys.executable, "-m", "dask"]
    processes = [subprocess.Popen([*dask, "scheduler", "--scheduler-file", scheduler_file, "--port", "0",
                                   "--no-dashboard"], cwd=tmp_path, env=child_env(), stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)]
    # A lost scheduler is given up after this long, not Dask's 30 s.
    env = child_env({"DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT": "3s"})
    try:
        deadline = time.monotonic() + 60
        while not scheduler_file.exists():
            assert time.monotonic() < deadline, "the scheduler did not start"
            time.sleep(0.1)
        for _ in range(2):
            processes.append(subprocess.Popen([*dask, "worker", "--scheduler-file", scheduler_file, "--nthreads", "1",
                                               "--no-dashboard"], cwd=tmp_path, env=child_env(),
                                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        with distributed.Client(scheduler_file=str(scheduler_file), timeout="60s") as watcher:
            watcher.wait_for_workers(2, timeout=60)
        options = ["--chunks", "3", "-c", "fast", "--index", "tbi"]
        results = [subprocess.run([sys.executable, "-m", "kestrel_cli", source, out, *options, *extra], cwd=tmp_path,
                                  env=env, capture_output=True, timeout=300)
                   for out, extra in (("local", []), ("cluster", ["--scheduler-file", scheduler_file]))]
        assert [r.returncode for r in results] == [0, 0], results[1].stderr
        assert results[1].stdout == results[0].stdout.replace(b"local.", b"cluster.")
        names = sorted(os.listdir(tmp_path / "local"))
        assert names == sorted(os.listdir(tmp_path / "cluster"))
        assert all((tmp_path / "local" / n).read_bytes() == (tmp_path / "cluster" / n).read_bytes() for n in names)

        for out, end, status in (("interrupted", lambda run: run.send_signal(signal.SIGINT), 130),
                                 ("lost", lambda run: processes[0].kill(), 1)):
            run = subprocess.Popen([sys.executable, "-m", "kestrel_cli", source, out, "--chunks", "100", "-c", "best",
                                    "--index", "tbi", "--scheduler-file", scheduler_file], cwd=tmp_path, env=env,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            assert run.stdout.readline() == b"Saving batch_01.vcf.gz\n"
            end(run)
            _, stderr = run.communicate(timeout=120)
            assert run.returncode == status, stderr
            if status == 1:
                assert re.fullmatch(rb"kestrel-split: error: lost the Dask scheduler at tcp://\S+\n", stderr), stderr
            else:
                assert b"Traceback" not in stderr
            before = snapshot(tmp_path / out)
            assert not any(name.startswith(".") or name == "manifest.tsv" for name, *_ in before)
            time.sleep(3)  # what a task still running could do, it would have done by now
            assert snapshot(tmp_path / out) == before
    finally:
        for process in reversed(processes):
            process.terminate()
        for process in processes:
            process.wait(timeout=60)
