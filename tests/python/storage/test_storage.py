"""Inputs and outputs at URLs, against real stores on loopback: the same chunks,
indexes and manifest byte for byte as the local run, also through a store that
throttles, on a cluster, and from plain gzip; a failed run leaves no manifest and no
pending upload; errors name the URL; memory stays bounded and nothing touches the
local disk."""
import gzip
import os
import subprocess
import sys

import pytest

import kestrel_scatter
from conftest import DATA, child_env, run_python

pytest.importorskip("s3fs") if not os.environ.get("CI") else None

OPTIONS = {"chunks": 3, "compression": "fast", "index": "tbi"}


def local_files(directory):
    return {name: (directory / name).read_bytes() for name in os.listdir(directory)}


def summaries(chunks):
    return [tuple(chunk)[2:] for chunk in chunks]


@pytest.fixture(scope="module")
def sample(tmp_path_factory):
    """The sample as BGZF, plain text and plain gzip, and its local run."""
    root = tmp_path_factory.mktemp("sample")
    text = gzip.decompress((DATA / "small-cohort.vcf.gz").read_bytes())
    files = {"bgzf": DATA / "small-cohort.vcf.gz", "plain": root / "in.vcf", "gzip": root / "in.vcf.gz"}
    files["plain"].write_bytes(text)
    # Two members, as `cat a.gz b.gz` and pigz make them.
    files["gzip"].write_bytes(gzip.compress(text[:50_000]) + gzip.compress(text[50_000:]))
    expected = kestrel_scatter.scatter(files["bgzf"], root / "local", **OPTIONS)
    return files, summaries(expected), local_files(root / "local")


def test_the_files_are_the_local_runs(s3, sample, http_files, tmp_path):
    files, expected, expected_files = sample
    bucket = s3.bucket("same")
    for kind, path in files.items():
        s3.fs.put(str(path), f"same/in/{kind}")
    served, base = http_files
    (served / "in.vcf.gz").write_bytes(files["bgzf"].read_bytes())
    cases = [(f"{bucket}/in/{kind}", tmp_path / f"from-s3-{kind}") for kind in files]
    cases += [(files["plain"], f"{bucket}/out-from-local"), (f"{bucket}/in/gzip", f"{bucket}/out-from-s3"),
              (f"{base}/in.vcf.gz", tmp_path / "from-http"), (files["gzip"], tmp_path / "from-gzip")]
    for source, out in cases:
        store = s3.options if "s3://" in f"{source} {out}" else None  # one store's options for both
        chunks = kestrel_scatter.scatter(source, out, storage_options=store, **OPTIONS)
        assert summaries(chunks) == expected, (source, out)
        assert chunks[0].path == f"{out}/batch_01.vcf.gz"
        assert (s3.files(out) if isinstance(out, str) else local_files(out)) == expected_files, (source, out)
    assert s3.pending_uploads("same") == []
    # Plain gzip on standard input, and the command line's URLs with credentials and
    # endpoint from the environment.
    env = child_env(s3.env())
    with open(files["gzip"], "rb") as stdin:
        result = subprocess.run([sys.executable, "-m", "kestrel_cli", "-", f"{bucket}/cli", "--chunks", "3", "-c",
                                 "fast", "--index", "tbi", "--spool-dir", str(tmp_path)], stdin=stdin, env=env,
                                capture_output=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert s3.files(f"{bucket}/cli") == expected_files


def test_a_throttling_store_is_retried_and_a_failed_run_leaves_nothing_pending(s3, sample, flaky_s3):
    files, expected, expected_files = sample
    bucket = s3.bucket("flaky")
    s3.fs.put(str(files["bgzf"]), "flaky/in.vcf.gz")
    endpoint, count = flaky_s3
    through_proxy = {**s3.options, "endpoint_url": endpoint}
    chunks = kestrel_scatter.scatter(f"{bucket}/in.vcf.gz", f"{bucket}/out", storage_options=through_proxy, **OPTIONS)
    assert count["refused"] > 0 and summaries(chunks) == expected
    assert s3.files(f"{bucket}/out") == expected_files
    with pytest.raises(PermissionError) as denied:
        kestrel_scatter.scatter(f"{bucket}/denied.vcf", f"{bucket}/out2", chunks=2, storage_options=through_proxy)
    assert denied.value.filename == f"{bucket}/denied.vcf"

    # Damaged in the middle: the chunks before it stay, no manifest, no pending upload,
    # and the prefix is free again.
    data = bytearray(files["bgzf"].read_bytes())
    data[len(data) // 2] ^= 0x55
    s3.fs.pipe("flaky/damaged.vcf.gz", bytes(data))
    with pytest.raises(kestrel_scatter.InputError, match=f"{bucket}/damaged.vcf.gz: damaged BGZF input"):
        kestrel_scatter.scatter(f"{bucket}/damaged.vcf.gz", f"{bucket}/broken", storage_options=s3.options,
                                records_per_chunk=50, compression="fast", index="tbi")
    left = s3.files(f"{bucket}/broken")
    assert left and "manifest.tsv" not in left and not any(name.startswith(".") for name in left)
    assert s3.pending_uploads("flaky") == []

    # A second run into a prefix that a run holds fails at once, naming it.
    def second(chunk):
        with pytest.raises(OSError, match="another run is writing into this directory") as busy:
            kestrel_scatter.scatter(files["plain"], f"{bucket}/taken", storage_options=s3.options, chunks=2)
        assert busy.value.filename == f"{bucket}/taken"
    kestrel_scatter.scatter(files["plain"], f"{bucket}/taken", storage_options=s3.options, chunks=2, on_chunk=second)
    assert sorted(s3.files(f"{bucket}/taken")) == ["batch_01.vcf", "batch_02.vcf", "manifest.tsv"]


def test_a_cluster_reads_and_writes_the_store_itself(s3, sample, client):
    files, expected, expected_files = sample
    bucket = s3.bucket("cluster")
    s3.fs.put(str(files["bgzf"]), "cluster/in.vcf.gz")
    chunks = kestrel_scatter.scatter(f"{bucket}/in.vcf.gz", f"{bucket}/out", client=client, range_bytes=65536,
                                     storage_options=s3.options, **OPTIONS)  # the options travel with the tasks
    assert summaries(chunks) == expected
    assert s3.files(f"{bucket}/out") == expected_files and s3.pending_uploads("cluster") == []


def test_errors_name_the_url(s3, sample, tmp_path):
    files, _, _ = sample
    bucket = s3.bucket("errors")
    for missing in (f"{bucket}/missing.vcf", "s3://no-such-bucket/in.vcf"):
        with pytest.raises(FileNotFoundError) as raised:
            kestrel_scatter.scatter(missing, tmp_path / "out", chunks=2, storage_options=s3.options)
        assert raised.value.filename == missing
    # A header line after the first record cannot be written twice to object storage.
    late = tmp_path / "late.vcf"
    late.write_bytes(files["plain"].read_bytes() + b"##late\n1\t1\t.\tA\tG\t.\t.\t.\n")
    with pytest.raises(OSError, match="cannot be written again"):
        kestrel_scatter.scatter(late, f"{bucket}/late", records_per_chunk=10**6, storage_options=s3.options)
    assert s3.pending_uploads("errors") == []
    with pytest.raises(TypeError, match="storage_options must be a dict"):
        kestrel_scatter.scatter(files["plain"], f"{bucket}/x", chunks=2, storage_options="endpoint")
    env = child_env(s3.env())
    result = subprocess.run([sys.executable, "-m", "kestrel_cli", f"{bucket}/missing.vcf", "out", "-k", "2"],
                            cwd=tmp_path, env=env, capture_output=True, timeout=120)
    assert (result.returncode, result.stderr) == (1, f"kestrel-split: error: {bucket}/missing.vcf: No such file "
                                                     f"or directory\n".encode())
    result = subprocess.run([sys.executable, "-m", "kestrel_cli", str(files["plain"]), "out", "-k", "2",
                             "--storage-option", "endpoint_url"], cwd=tmp_path, env=env, capture_output=True)
    assert result.returncode == 2 and b"not KEY=VALUE" in result.stderr


def test_a_large_object_goes_from_store_to_store_in_bounded_memory_and_touches_no_local_disk(s3, tmp_path):
    bucket = s3.bucket("large")
    record = b"chr1\t%d\t.\tA\tG\t50\tPASS\tDP=1;PAD=" + b"x" * 150 + b"\n"
    with s3.fs.open("large/in.vcf", "wb") as upload:
        upload.write(b"##fileformat=VCFv4.2\n#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\n")
        for block in range(200):
            upload.write(b"".join(record % (block * 5600 + i + 1) for i in range(5600)))
    code = f"""
import json, kestrel_scatter
def field(path, name):
    return next(int(line.split()[1]) for line in open(path) if line.startswith(name))
before = field("/proc/self/io", "write_bytes")
chunks = kestrel_scatter.scatter("{bucket}/in.vcf", "{bucket}/out", chunks=1, compression="fast")
# VmHWM: this process's own peak (the parent's pages, which ru_maxrss counts after a fork, excluded).
print(json.dumps([chunks[0].records, field("/proc/self/io", "write_bytes") - before,
                  field("/proc/self/status", "VmHWM:")]))
"""
    result = run_python(code, cwd=tmp_path, env={**s3.env(), "TMPDIR": str(tmp_path)}, timeout=600)
    records, written, peak_kb = eval(result.stdout)
    assert records == 200 * 5600
    assert written == 0 and os.listdir(tmp_path) == []
    assert peak_kb < 256 * 1024, f"peak {peak_kb // 1024} MB"
