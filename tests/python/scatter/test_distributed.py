"""kestrel_scatter on a Dask cluster of worker processes gives what the local run gives:
the same files, indexes and manifest byte for byte, the same exceptions, and no
temporary of any attempt, also when a worker is killed in the middle of a run; and so
does kestrel-split on a scheduler and workers of its own."""
import itertools
import os
import re
import signal
import subprocess
import sys
import time

import pytest

import kestrel_scatter
from conftest import UNDER_SANITIZER, child_env, cli, files, leftovers

distributed = pytest.importorskip("distributed")

HEAD = b"##fileformat=VCFv4.2\n##long=" + b"h" * 70_000 + b"\n#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\n"


def sample(records):
    """Several contigs, runs of one position, CR LF lines, a record over 64 KiB, and no
    final line feed."""
    lines = []
    for i in range(records):
        info = b"PAD=" + b"x" * 70_000 if i == records // 3 else b"DP=%d" % i
        lines.append(b"chr%d\t%d\t.\tA\tG\t50\tPASS\t%s%s" % (1 + i * 3 // records, 1 + i // 4 * 7, info,
                                                               b"\r" if i % 5 == 0 else b""))
    return HEAD + b"\n".join(lines)


def local_and_cluster(source, directory, client, on_chunk=None, **options):
    """Runs the split locally and on the cluster (calling `on_chunk` there): the same
    chunks or exception, the same files."""
    outcomes = []
    for where, extra in (("local", {}), ("cluster", {"client": client, "range_bytes": 65536, "on_chunk": on_chunk})):
        try:
            outcomes.append([tuple(c)[2:] for c in kestrel_scatter.scatter(source, directory / where, **options,
                                                                           **extra)])
        except Exception as error:  # noqa: BLE001 - compared below
            outcomes.append((type(error), str(error)))
    assert outcomes[1] == outcomes[0]
    assert files(directory / "cluster") == files(directory / "local")
    return outcomes[0]


def test_the_files_and_failures_are_the_local_runs(tmp_path, client):
    plain = tmp_path / "in.vcf"
    plain.write_bytes(sample(400))
    kestrel_scatter.scatter(plain, tmp_path / "bgzf", chunks=1, compression="fast")
    compressed = tmp_path / "bgzf" / "batch_01.vcf.gz"
    with distributed.get_task_stream(client) as stream:
        for n, (source, options) in enumerate(itertools.product((plain, compressed), (
                {"chunks": 3}, {"chunks": 7, "compression": "fast", "index": "tbi"},
                {"records_per_chunk": 45, "compression": "default", "index": "csi"},
                {"chunks": 5, "by_contig": True, "keep_together": "position", "compression": "fast"}))):
            outcome = local_and_cluster(source, tmp_path / f"run{n}", client, **options)
            assert sum(records for records, *_ in outcome) == 400
    assert len({task["worker"] for task in stream.data}) == 2  # both workers did some of it
    damaged = bytearray(compressed.read_bytes())
    damaged[len(damaged) // 2] ^= 0x55
    (tmp_path / "damaged.vcf.gz").write_bytes(bytes(damaged))
    failure = local_and_cluster(tmp_path / "damaged.vcf.gz", tmp_path / "damaged", client, chunks=4,
                                compression="fast")
    assert failure[0] is kestrel_scatter.InputError and "damaged BGZF input" in failure[1]
    assert files(tmp_path / "damaged" / "cluster") == {}  # no chunk, no manifest, no temporary


def test_a_worker_killed_or_a_callback_raising_in_the_middle_of_a_run(tmp_path, client):
    source = tmp_path / "in.vcf"
    source.write_bytes(sample(3000))
    pids = list(client.run(os.getpid).values())
    killed = []

    def kill_one(chunk):
        if not killed:
            killed.append(pids[0])
            os.kill(pids[0], signal.SIGKILL)
    local_and_cluster(source, tmp_path / "killed", client, kill_one, records_per_chunk=100, compression="best")
    assert killed  # and no temporary of the lost attempt stays
    client.wait_for_workers(2, timeout=60)

    def enough(chunk):
        raise KeyError("enough")
    with pytest.raises(KeyError, match="enough"):  # a callback's exception ends the call as it is
        kestrel_scatter.scatter(source, tmp_path / "ended", chunks=4, client=client, on_chunk=enough)
    assert "manifest.tsv" not in files(tmp_path / "ended") and leftovers(tmp_path / "ended") == []
    assert len(kestrel_scatter.scatter(source, tmp_path / "again", chunks=4, client=client)) == 4


def snapshot(directory):
    return sorted((entry.name, entry.stat().st_ino, entry.stat().st_mtime_ns) for entry in os.scandir(directory))


@pytest.mark.skipif(UNDER_SANITIZER, reason="Dask's own processes; the suite's pass without sanitizers runs it")
def test_the_command_line_on_a_scheduler_and_two_workers(tmp_path):
    """The same files as locally; Ctrl-C and a lost scheduler end the run at once, and no
    task that was still running changes anything afterwards."""
    (tmp_path / "in.vcf").write_bytes(sample(30_000))
    where = ["--scheduler-file", "scheduler.json"]
    # The workers, and the client below, wait for the scheduler to write its file.
    processes = [subprocess.Popen([sys.executable, "-m", "dask", *command, *where, "--no-dashboard"], cwd=tmp_path,
                                  env=child_env(), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                 for command in [["scheduler", "--port", "0"]] + [["worker", "--nthreads", "1"]] * 2]
    # A lost scheduler is given up after this long, not Dask's 30 s.
    env = {"DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT": "3s"}
    try:
        with distributed.Client(scheduler_file=str(tmp_path / "scheduler.json"), timeout="60s") as watcher:
            watcher.wait_for_workers(2, timeout=60)
        local, cluster = (cli("in.vcf", out, "--chunks", "3", "-c", "fast", "--index", "tbi", *extra, cwd=tmp_path,
                              env=env, timeout=300) for out, extra in (("local", []), ("cluster", where)))
        assert (local.returncode, cluster.returncode) == (0, 0), cluster.stderr
        assert cluster.stdout == local.stdout.replace(b"local.", b"cluster.")
        assert files(tmp_path / "cluster") == files(tmp_path / "local")

        for out, end, status in (("interrupted", lambda run: run.send_signal(signal.SIGINT), 130),
                                 ("lost", lambda run: processes[0].kill(), 1)):
            run = cli("in.vcf", out, "--chunks", "100", "-c", "best", "--index", "tbi", *where, cwd=tmp_path,
                      env=env, popen=True, preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
            assert run.stdout.readline() == b"Saving batch_01.vcf.gz\n"
            end(run)
            _, stderr = run.communicate(timeout=120)
            assert run.returncode == status, stderr
            lost = rb"kestrel-split: error: lost the Dask scheduler at tcp://\S+\n"
            assert re.fullmatch(lost, stderr) if status == 1 else b"Traceback" not in stderr, stderr
            before = snapshot(tmp_path / out)
            assert not any(name.startswith(".") or name == "manifest.tsv" for name, *_ in before)
            time.sleep(3)  # what a task still running could do, it would have done by now
            assert snapshot(tmp_path / out) == before
    finally:
        for process in reversed(processes):
            process.terminate()
        for process in processes:
            process.wait(timeout=60)


def test_what_only_a_worker_lacks_reaches_the_caller_naming_the_worker(s3, tmp_path):
    """The store's package or the credentials missing on a worker: the exception the
    caller would get locally, naming the worker, never a SystemError."""
    bucket = s3.bucket("workers")
    s3.fs.pipe(f"{bucket[5:]}/in.vcf", sample(50))
    options = {"endpoint_url": s3.endpoint}  # credentials from the environment
    with distributed.LocalCluster(n_workers=1, threads_per_worker=1, dashboard_address=":0") as cluster, \
            distributed.Client(cluster) as client:
        [address] = client.run(os.getpid)
        client.run(lambda: sys.modules.__setitem__("s3fs", None))
        with pytest.raises(ModuleNotFoundError, match=rf"s3fs.* \(on the worker at {address}: workers have"):
            kestrel_scatter.scatter(f"{bucket}/in.vcf", tmp_path / "a", chunks=2, client=client,
                                    storage_options=options)
        # No credentials, and none looked for off this machine (the instance metadata service).
        client.run(lambda: (sys.modules.pop("s3fs"), os.environ.pop("AWS_ACCESS_KEY_ID"),
                            os.environ.update(AWS_EC2_METADATA_DISABLED="true")))
        with pytest.raises(OSError, match=rf"^{bucket}/in.vcf: .*credentials.* on the worker at {address} "):
            kestrel_scatter.scatter(f"{bucket}/in.vcf", tmp_path / "b", chunks=2, client=client,
                                    storage_options=options)
