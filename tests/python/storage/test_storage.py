"""Inputs and outputs at URLs, against real stores on loopback: the same chunks,
indexes and manifest byte for byte as the local run, also through a store that
throttles, on a cluster, and from plain gzip; a failed run leaves no manifest and no
pending upload; errors name the URL; a web server that answers no ranges or short
ones, or an object replaced during the read, never gives other chunks; memory stays
bounded and nothing touches the local disk."""
import gzip
import os
import re
import signal
import socket
import subprocess
import sys
import time

import pytest

import kestrel_scatter
from conftest import DATA, UNDER_SANITIZER, bgzf, child_env, cli, files, run_python, sample as copies

pytest.importorskip("s3fs") if not os.environ.get("CI") else None

OPTIONS = {"chunks": 3, "compression": "fast", "index": "tbi"}


def summaries(chunks):
    return [tuple(chunk)[2:] for chunk in chunks]


@pytest.fixture(scope="module")
def sample(tmp_path_factory):
    """The sample as BGZF, plain text and plain gzip, and its local run."""
    root = tmp_path_factory.mktemp("sample")
    text = gzip.decompress((DATA / "small-cohort.vcf.gz").read_bytes())
    inputs = {"bgzf": DATA / "small-cohort.vcf.gz", "plain": root / "in.vcf", "gzip": root / "in.vcf.gz"}
    inputs["plain"].write_bytes(text)
    # Two members, as `cat a.gz b.gz` and pigz make them.
    inputs["gzip"].write_bytes(gzip.compress(text[:50_000]) + gzip.compress(text[50_000:]))
    expected = kestrel_scatter.scatter(inputs["bgzf"], root / "local", **OPTIONS)
    return inputs, summaries(expected), files(root / "local")


@pytest.mark.parametrize("name", ["s3", "seaweed", "gcs"])  # moto, a real S3 store, and GCS
def test_the_files_are_the_local_runs(name, sample, http_files, tmp_path, request):
    inputs, expected, expected_files = sample
    store = request.getfixturevalue(name)
    bucket = store.bucket("same")
    for kind, path in inputs.items():
        store.fs.put(str(path), f"same/in/{kind}")
    served, base = http_files
    (served / "in.vcf.gz").write_bytes(inputs["bgzf"].read_bytes())
    cases = [(f"{bucket}/in/{kind}", tmp_path / f"from-store-{kind}", {}) for kind in inputs]
    cases += [(inputs["plain"], f"{bucket}/out-from-local", {}), (f"{bucket}/in/gzip", f"{bucket}/out-from-store", {}),
              # On a cluster the workers read and write the store themselves, the options going with the tasks.
              (f"{bucket}/in/bgzf", f"{bucket}/out-on-a-cluster", "cluster")]
    cases += [(f"{base}/in.vcf.gz", tmp_path / "from-http", {}), (inputs["gzip"], tmp_path / "from-gzip", {})] * (
        name == "s3")
    for source, out, extra in cases:
        if extra == "cluster":
            extra = {"client": request.getfixturevalue("client"), "range_bytes": 65536}
        options = store.options if bucket in f"{source} {out}" else None  # one store's options for both
        chunks = kestrel_scatter.scatter(source, out, storage_options=options, **OPTIONS, **extra)
        assert summaries(chunks) == expected, (source, out)
        assert chunks[0].path == f"{out}/batch_01.vcf.gz"
        assert (store.files(out) if isinstance(out, str) else files(out)) == expected_files, (source, out)
    assert store.pending_uploads("same") == []
    assert name == "gcs" or __import__("kestrel_storage").Input(f"{bucket}/in/bgzf", store.options)._direct  # no s3fs
    # Plain gzip on standard input, and the command line's URLs with credentials and
    # endpoint from the environment.
    with open(inputs["gzip"], "rb") as stdin:
        result = cli("-", f"{bucket}/cli", "--chunks", "3", "-c", "fast", "--index", "tbi", "--spool-dir", tmp_path,
                     stdin=stdin, env=store.env())
    assert result.returncode == 0, result.stderr
    assert store.files(f"{bucket}/cli") == expected_files


def test_a_throttling_store_is_retried_and_a_failure_names_the_url_and_leaves_nothing_pending(s3, gcs, sample,
                                                                                             flaky_s3, http_files,
                                                                                             tmp_path):
    inputs, expected, expected_files = sample
    bucket = s3.bucket("flaky")
    s3.fs.put(str(inputs["bgzf"]), "flaky/in.vcf.gz")
    s3.fs.put(str(inputs["plain"]), "flaky/short.vcf")
    endpoint, count = flaky_s3
    through_proxy = {**s3.options, "endpoint_url": endpoint}
    # Answers cut short are read on, by the plain reader and through s3fs (which takes
    # the options that one does not); a lock object that cannot be removed is warned of.
    for source, s3fs in [("in.vcf.gz", {}), ("short.vcf", {}), ("short.vcf", {"anon": False})]:
        with pytest.warns(RuntimeWarning, match=f"{bucket}/stuck/.kestrel.lock: the lock object could not be removed"):
            chunks = kestrel_scatter.scatter(f"{bucket}/{source}", f"{bucket}/stuck",
                                             storage_options={**through_proxy, **s3fs}, **OPTIONS)
        s3.fs.rm_file("flaky/stuck/.kestrel.lock")  # it stayed
        assert summaries(chunks) == expected and s3.files(f"{bucket}/stuck") == expected_files
    assert count["refused"] > 0
    with socket.socket() as closed:  # a server that is not there is not a missing file
        closed.bind(("127.0.0.1", 0))
        unreachable = "http://%s:%d/in.vcf" % closed.getsockname()
    for url, kind in [(f"{bucket}/denied.vcf", PermissionError), (f"{bucket}/missing.vcf", FileNotFoundError),
                      ("s3://no-such-bucket/in.vcf", FileNotFoundError), (unreachable, ConnectionRefusedError)]:
        with pytest.raises(kind) as raised:
            kestrel_scatter.scatter(url, tmp_path / "out", chunks=2,
                                    storage_options=None if url == unreachable else through_proxy)
        assert raised.value.filename == url
    plain_http = http_files[1].replace("http:", "https:") + "/in.vcf"
    for url, text in [(f"{bucket}/missing.vcf", "No such file or directory"), (unreachable, "Connection refused"),
                      (plain_http, "SSL/TLS failure: wrong version number")]:
        result = cli(url, "out", "-k", "2", cwd=tmp_path, env=s3.env())
        assert (result.returncode, result.stderr.decode()) == (1, f"kestrel-split: error: {url}: {text}\n")

    # Damaged in the middle: the chunks before it stay, no manifest, no pending upload.
    data = bytearray(inputs["bgzf"].read_bytes())
    data[len(data) // 2] ^= 0x55
    s3.fs.pipe("flaky/damaged.vcf.gz", bytes(data))
    with pytest.raises(kestrel_scatter.InputError, match=f"{bucket}/damaged.vcf.gz: damaged BGZF input"):
        kestrel_scatter.scatter(f"{bucket}/damaged.vcf.gz", f"{bucket}/broken", storage_options=s3.options,
                                records_per_chunk=50, compression="fast", index="tbi")
    left = s3.files(f"{bucket}/broken")
    assert left and "manifest.tsv" not in left and not any(name.startswith(".") for name in left)
    # A header line after the first record cannot be written twice to object storage.
    (tmp_path / "late.vcf").write_bytes(inputs["plain"].read_bytes() + b"##late\n1\t1\t.\tA\tG\t.\t.\t.\n")
    with pytest.raises(OSError, match="cannot be written again"):
        kestrel_scatter.scatter(tmp_path / "late.vcf", f"{bucket}/late", records_per_chunk=10**6,
                                storage_options=s3.options)
    assert s3.pending_uploads("flaky") == []

    # The failed run's prefix is free again; a second run into a held prefix fails at once, naming it, on GCS too.
    for store, out in [(s3, f"{bucket}/broken"), (gcs, f"{gcs.bucket('busy')}/out")]:
        def second(chunk):
            with pytest.raises(OSError, match="another run is writing into this directory") as busy:
                kestrel_scatter.scatter(inputs["plain"], out, storage_options=store.options, chunks=2)
            assert busy.value.filename == out
        kestrel_scatter.scatter(inputs["plain"], out, storage_options=store.options, chunks=2, on_chunk=second)
        assert {"batch_01.vcf", "batch_02.vcf", "manifest.tsv"} <= store.files(out).keys()


def test_a_web_server_that_ignores_ranges_or_shortens_answers_or_an_input_replaced_while_it_is_read(
        s3, sample, http_files, client, tmp_path, monkeypatch):
    """Without ranges the local run's chunks, or a failure naming the URL; so is an input
    replaced by a text of the same size and records at the first progress report: in
    the first of four parts locally, after the first chunk task of a cluster run."""
    import kestrel_storage
    monkeypatch.setattr(kestrel_storage, "PART_SIZE", 1 << 16)  # the sample in several parts
    inputs, expected, expected_files = sample
    served, base = http_files
    for name, kind in [("in.vcf", "plain"), ("in.vcf.gz", "bgzf")]:
        (served / name).write_bytes(inputs[kind].read_bytes())
        # No ranges: read once as a stream, on the caller of a cluster too (the bytes of each kind
        # of answer: test_conformance.py).
        for switches, extra in [("norange+nolength", {}), ("norange", {"client": client})]:
            out = tmp_path / switches / name / str(len(extra))
            chunks = kestrel_scatter.scatter(f"{base}/{switches}/{name}", out, spool_dir=tmp_path, **OPTIONS, **extra)
            assert summaries(chunks) == expected and files(out) == expected_files, (switches, name)
    with pytest.raises(ValueError, match=rf"which {base}/norange/in.vcf cannot be \(its server answers no ranged"):
        kestrel_scatter.scatter(f"{base}/norange/in.vcf", tmp_path / "twice", chunks=2)
    result = cli(f"{base}/cut/in.vcf", tmp_path / "cut", "-b", "100")
    assert result.returncode == 1
    assert result.stderr.decode().startswith(f"kestrel-split: error: {base}/cut/in.vcf: short read: 60000 of ")
    text, bucket = inputs["plain"].read_bytes(), s3.bucket("changing")
    through_s3fs = {**s3.options, "anon": False}
    for url, store, extra in [(f"{base}/in.vcf", None, {}), (f"{bucket}/in.vcf", s3.options, {}),
                              (f"{bucket}/in.vcf", through_s3fs, {"client": client})]:
        put = (served / "in.vcf").write_bytes if url.startswith("http") else lambda data: s3.fs.pipe("changing/in.vcf", data)
        put(text)
        replaced = []

        def replace(done, total):
            if not replaced:
                replaced.append(put(text[:-2] + b"X\n"))
        with pytest.raises(OSError, match="the input changed while it was read") as raised:
            kestrel_scatter.scatter(url, tmp_path / "out", records_per_chunk=20, progress=replace,
                                    storage_options=store, **extra)
        assert url in str(raised.value)


# 200 MB; a fifth under the sanitizers, where the memory ceiling is not checked.
def test_a_run_fetches_the_input_about_once_a_pass_whatever_its_chunks_and_workers(s3, flaky_s3, client, tmp_path):
    """Bytes the store sent of the input object per run, against its size: a stream read
    ahead and dropped, a scan that fetches whole windows, a task that reads from far
    before its chunk fails here. kestrel's own count (-v) is the store's."""
    import kestrel_storage

    data = bgzf(copies(30), levels=(1,))
    s3.fs.pipe(f"{s3.bucket('bounded')}/in.vcf.gz".removeprefix("s3://"), data)
    endpoint, count = flaky_s3
    count["refuse"] = False
    url, options = "s3://bounded/in.vcf.gz", {**s3.options, "endpoint_url": endpoint}
    local, cluster, counted = {}, {"client": client}, {"chunks": 10, "compression": "fast"}
    for i, (most, extra) in enumerate([(1.1, {**local, "records_per_chunk": 2000}), (2.2, {**local, **counted}),
                                       (2.3, {**cluster, **counted}), (2.3, {**cluster, "records_per_chunk": 2000}),
                                       (2.5, {**cluster, "chunks": 10, "keep_together": "position"})]):
        served, fetched = count["served"]["/bounded/in.vcf.gz"], kestrel_storage.fetched(url)[1]
        kestrel_scatter.scatter(url, tmp_path / str(i), storage_options=options, **extra)
        served = count["served"]["/bounded/in.vcf.gz"] - served
        assert served <= most * len(data) and kestrel_storage.fetched(url)[1] - fetched == served, \
            (extra, served / len(data))
    result = cli(url, "cli", "-b", "2000", "-v", "--storage-option", f"endpoint_url={endpoint}", cwd=tmp_path,
                 env=s3.env())
    assert re.search(rb"kestrel-split: note: fetched (\d+) bytes of s3://bounded/in.vcf.gz \(1\.0\d times its %d bytes\) "
                     rb"in \d+ GET requests\n$" % len(data), result.stderr), result.stderr


def test_parts_grow_so_that_a_chunk_of_any_size_uploads(s3, tmp_path, monkeypatch):
    """S3's limit of parts an upload may have, lowered: the parts grow as the file does;
    a file past what the largest parts allow fails naming it, and no upload stays."""
    import kestrel_storage

    for name, value in [("PART_SIZE", 5 << 20), ("PARTS_A_SIZE", 2), ("LARGEST_PART", 10 << 20), ("MAX_PARTS", 3)]:
        monkeypatch.setattr(kestrel_storage, name, value)
    (tmp_path / "in.vcf").write_bytes(text := copies(30))
    bucket = s3.bucket("parts")
    kestrel_scatter.scatter(tmp_path / "in.vcf", f"{bucket}/grown", chunks=1, storage_options=s3.options)
    assert s3.fs.info("parts/grown/batch_01.vcf")["ETag"].strip('"').endswith("-3") and \
        s3.files(f"{bucket}/grown")["batch_01.vcf"] == text
    monkeypatch.setattr(kestrel_storage, "MAX_PARTS", 2)
    with pytest.raises(OSError, match=f"{bucket}/large/batch_01.vcf: larger than an upload of 2 parts can be"):
        kestrel_scatter.scatter(tmp_path / "in.vcf", f"{bucket}/large", chunks=1, storage_options=s3.options)
    assert s3.pending_uploads("parts") == []


BLOCKS = 40 if UNDER_SANITIZER else 200


def test_a_large_object_goes_from_store_to_store_in_bounded_memory_and_touches_no_local_disk(s3, tmp_path):
    bucket = s3.bucket("large")
    record = b"chr1\t%d\t.\tA\tG\t50\tPASS\tDP=1;PAD=" + b"x" * 150 + b"\n"
    with s3.fs.open("large/in.vcf", "wb") as upload:
        upload.write(b"##fileformat=VCFv4.2\n#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\n")
        for block in range(BLOCKS):
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
    assert records == BLOCKS * 5600
    assert written == 0 and os.listdir(tmp_path) == []
    assert peak_kb < 256 * 1024 or UNDER_SANITIZER, f"peak {peak_kb // 1024} MB"  # its own memory counts too



def test_a_signal_while_an_upload_is_made_ends_the_run_as_the_signal_asks_and_leaves_none_pending(
        s3, flaky_s3, tmp_path):
    """SIGINT, SIGTERM or SIGHUP while the store makes the second chunk's upload: 128 + N
    and nothing on stderr from the command line, KeyboardInterrupt from the API whatever
    its progress callback, and the upload aborted all the same."""
    bucket = s3.bucket("signals")
    (tmp_path / "in.vcf").write_bytes(copies(30))  # 18 MB: 9 MB a chunk, in parts
    endpoint, count = flaky_s3
    ending = {}

    def before(method, path):
        if method == "POST" and path.endswith("batch_02.vcf?uploads") and ending:
            os.kill(*ending.popitem())
            time.sleep(0.5)  # the store makes it after the signal arrived
    count["before"] = before
    api = f"""
import kestrel_scatter
try:
    kestrel_scatter.scatter("in.vcf", "{bucket}/api", chunks=2, progress=lambda done, total: None)
except KeyboardInterrupt:
    print("KeyboardInterrupt")
"""
    for number, command in [(signal.SIGINT, None), (signal.SIGTERM, None), (signal.SIGHUP, None),
                            (signal.SIGINT, [sys.executable, "-c", api])]:
        command = command or [sys.executable, "-m", "kestrel_cli", "in.vcf", f"{bucket}/{number}", "-k", "2"]
        run = subprocess.Popen(command, cwd=tmp_path, env=child_env({**s3.env(), "AWS_ENDPOINT_URL": endpoint}),
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        ending[run.pid] = number
        stdout, stderr = run.communicate(timeout=120)
        assert not ending and stderr == b"", stderr
        assert (run.returncode, stdout[-18:]) == (0, b"KeyboardInterrupt\n") if len(command) == 3 else \
            run.returncode == 128 + number
    assert s3.pending_uploads("signals") == []
