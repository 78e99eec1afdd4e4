"""Inputs and outputs at URLs for kestrel_scatter, through fsspec.

kestrel_scatter calls into this module when an input or an output directory is a URL
(s3://, gs://, az://, and http(s):// for input); fsspec and the file system of the
protocol (s3fs, gcsfs, adlfs, aiohttp) are imported only then. The engine reads and
writes through these objects; nothing here is written to the local disk.

Reading: `Input.read(start, end)` is a ranged GET; `Input.stream(...)` reads a range
in parts of PART_SIZE, several in flight, so that the engine works on one part while
the next ones arrive, but never past where the engine expects to stop: past that, each
read asks for what the engine asks for, so that a reader that stops there (a chunk's
last line, a header) has fetched little more than it used. The GETs and the bytes
they brought are counted per URL (`fetched`), those of a cluster's tasks included.
Every answer is checked (HTTP and S3 ranged GETs are made here, not by fsspec, which
takes any answer for the range): its status and range, its length (a short one is read
on), and the version of the object first seen. A server that
answers no ranges is read once, as a stream. An S3 object at a given endpoint, with keys
at hand, is read over plain HTTP connections without s3fs (_S3Direct); parts are filled
in place, in bytearrays that the engine reads from.

Writing: every file is uploaded whole: one PUT, or on S3 a multipart upload that is
completed only when the file is complete and aborted on any failure, so that no
pending upload remains; S3's parts grow with the file. Where the store allows a
create-only write (S3's If-None-Match, GCS's ifGenerationMatch=0), a lock object makes
a second run into the same prefix fail at once.
"""
import concurrent.futures
import contextlib
import email.utils
import errno
import hashlib
import hmac
import http.client
import importlib.util
import json
import os
import re
import signal
import ssl
import sys
import threading
import time
import urllib.parse
import warnings

PART_SIZE = 8 << 20  # AWS: requests of 8-16 MB, many in flight
PARTS_IN_FLIGHT = 3  # read ahead and upload behind: bounded memory
# An upload has at most MAX_PARTS parts (S3's limit); their size doubles every
# PARTS_A_SIZE parts, from PART_SIZE up to LARGEST_PART: 8 GiB in parts of 8 MiB, then
# up to about 490 GiB a file, with an upload's memory at most two of its largest parts
# (one filled, one on its way).
MAX_PARTS = 10_000
PARTS_A_SIZE = 1_000
LARGEST_PART = 64 << 20
LOCK_NAME = ".kestrel.lock"
SETTLE_SECONDS = 30  # how long an upload that ends waits for its requests under way
RETRIES = 3  # answers in a row that bring nothing, or removals of the lock that fail
PIECE = 1 << 20  # what one read of a body through a client library asks for
ATTEMPTS = 5  # of a request that a store throttles or fails (5xx), or whose connection fails


def options_from_json(text):
    return json.loads(text) if text else {}


_fetched = {}  # URL -> [GETs, bytes] of this process's reads, outside a task's
_sizes = {}  # URL -> its size, as this process found it
_fetched_lock = threading.Lock()
_task = threading.local()  # .fetched: the reads of the task that runs on this thread


def fetched(url):
    """(GETs, bytes, its size) fetched of `url` by this process, and by the cluster tasks
    whose counts were added (add_fetched), so far."""
    with _fetched_lock:
        return (*_fetched.get(url, (0, 0)), _sizes.get(url))


def add_fetched(counts):
    """Adds {URL: (GETs, bytes)}, the reads of a task that ran elsewhere."""
    with _fetched_lock:
        for url, (gets, size) in counts.items():
            total = _fetched.setdefault(url, [0, 0])
            total[0] += gets
            total[1] += size


@contextlib.contextmanager
def task_reads():
    """Counts the reads of the inputs opened on this thread within the block apart, in
    the dict it yields, for the task's caller to add to its own."""
    _task.fetched = counts = {}
    try:
        yield counts
    finally:
        del _task.fetched


def _file_system(url, storage_options):
    try:
        import fsspec.core
    except ImportError:
        raise ModuleNotFoundError(f"{url}: reading and writing URLs needs fsspec: "
                                  "pip install 'kestrel[s3]' (or [gcs], [http])") from None
    try:
        return fsspec.core.url_to_fs(url, **(storage_options or {}))
    except (ImportError, ValueError) as error:
        raise ModuleNotFoundError(f"{url}: {error}") from None


def _unreachable(error):
    """The socket's error behind a storage call's failure, if the store could not be
    reached at all: fsspec's HTTP file system reports that as a missing file."""
    seen = error if hasattr(error, "os_error") else error.__cause__ or error.__context__
    while seen is not None:
        inner = getattr(seen, "os_error", seen)  # where aiohttp keeps the socket's error
        if isinstance(inner, OSError) and inner.errno and not isinstance(inner, FileNotFoundError):
            return inner
        seen = seen.__cause__ or seen.__context__
    return None


def _named(error, url):
    """The failure of a storage call, as the OSError the engine reports, naming the URL."""
    if isinstance(error, OSError) and error.filename == url:
        return error  # ours: already what the engine reports
    if isinstance(unreachable := _unreachable(error), ssl.SSLError):
        # Not a permission (SSL's error numbers are its own): the TLS handshake failed,
        # as against a server that speaks plain HTTP.
        reason = re.sub(r"^\[[^]]*\] *| *\(_ssl\.c:\d+\)$", "", unreachable.strerror or str(unreachable))
        return OSError(errno.EPROTO, f"SSL/TLS failure: {reason}", url)
    if unreachable is not None:
        text = os.strerror(unreachable.errno) if unreachable.errno > 0 else unreachable.strerror
        return OSError(unreachable.errno, text, url)
    if isinstance(error, FileNotFoundError):
        return FileNotFoundError(errno.ENOENT, "No such file or directory", url)
    if isinstance(error, PermissionError):
        return PermissionError(errno.EACCES, "Permission denied", url)
    if isinstance(error, FileExistsError):
        return FileExistsError(errno.EEXIST, "File exists", url)
    text = str(error) or type(error).__name__
    return OSError(errno.EIO, text, url)


def _call(url, function, *args, **kwargs):
    try:
        return function(*args, **kwargs)
    except (KeyboardInterrupt, SystemExit):
        raise
    except Exception as error:  # noqa: BLE001 - every store raises its own kinds
        raise _named(error, url) from None


def _run(fs, coroutine):
    """Runs a coroutine of an async file system on its loop; a concurrent Future."""
    import asyncio  # imported with the async file systems; the plain S3 reads go without it

    return asyncio.run_coroutine_threadsafe(coroutine, fs.loop)


def _settled(coroutine):
    """The result of a coroutine that never waits (whose awaits all have their answer at
    hand), run to its end on this thread without an event loop."""
    try:
        coroutine.send(None)
    except StopIteration as done:
        return done.value
    coroutine.close()
    raise RuntimeError("a blocking read waited on an event loop")


@contextlib.contextmanager
def _signals_deferred():
    """Runs the block with the handlers of SIGINT, SIGTERM and SIGHUP deferred to its end:
    a request that makes something on the store (an upload, a part of one) is sent and
    noted as one step, so that an interruption never leaves one made and not known, which
    no abort would reach. Handlers run only on the main thread; elsewhere there is nothing
    to defer."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    caught, previous = [], {}
    try:
        for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            if callable(handler := signal.getsignal(number)):
                previous[number] = handler
                signal.signal(number, lambda number, _frame: caught.append(number))
        yield
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)
        for number in caught:
            previous[number](number, None)  # what the handler raises ends the call, as it would have


class Input:
    """An object (or HTTP resource) read in ranges, every answer checked: a part is the
    bytes asked for, of the version first seen, or the read fails naming the URL.

    `version` pins what was seen: the text of another Input's `version` (a task's open
    of the caller's input); a different object there fails as a change. A resource whose
    server answers no ranges (or whose length is not known) is `seekable` False: it is
    read once, as one stream from its start."""

    def __init__(self, url, storage_options=None, version=None):
        self.url = url
        self._tally = getattr(_task, "fetched", None)  # the task's, when opened in one
        self._direct = _S3Direct.of(url, storage_options)
        if self._direct is not None:
            self.fs, self.path, info = None, self._direct.path, self._direct.info
        else:
            self.fs, self.path = _file_system(url, storage_options)
            info = _call(url, self.fs.info, self.path)
        if info.get("type") == "directory":
            raise IsADirectoryError(errno.EISDIR, "Is a directory", url)
        self.size = info.get("size")
        _sizes[url] = self.size
        modified = info.get("LastModified") or info.get("mtime") or info.get("updated")
        self.modified_ns = _nanoseconds(modified)
        self._protocols = {"s3"} if self._direct is not None else _protocols(self.fs)
        # What every later answer must show: the store's tag of the version, where it
        # gives one, and the length.
        self._etag = info.get("ETag") or info.get("etag")
        self._pin = {key: value for key, value in [("etag", self._etag), ("generation", info.get("generation")),
                                                   ("modified", info.get("Last-Modified")), ("size", self.size)]
                     if value is not None}
        self.seekable = self.size is not None
        if self._protocols & {"http", "https"}:
            self.seekable = _run(self.fs, self._http_probe()).result() if self.size is not None else False
        self.version = json.dumps(self._pin, sort_keys=True)
        if version is not None and version != self.version:
            raise self._changed()
        self._pool = None

    def _count(self, gets, size):
        counts = self._tally
        with _fetched_lock:
            total = (_fetched if counts is None else counts).setdefault(self.url, [0, 0])
            total[0] += gets
            total[1] += size

    def read(self, start, end):
        """The bytes [start, end); fewer only at the end."""
        end = min(end, self.size)
        if start >= end:
            return b""
        return _wait(self._fetch(start, end), self.url)

    def stream(self, start, end, expected=None):
        """The bytes from `start` to `end` (None: the end) in parts, read ahead as far as
        `expected` (None: `end`); an input that is not seekable, read once from its start."""
        if not self.seekable:
            return _Body(self)
        end = self.size if end is None else min(end, self.size)
        return _Stream(self, start, end, end if expected is None else min(expected, end))

    def _changed(self):
        return OSError(errno.ESTALE, "the input changed while it was read", self.url)

    def _short(self, start, at, end):
        return OSError(errno.EIO, f"short read: {at - start} of the {end - start} bytes asked for from offset {start}, "
                                  "and no more when asked again", self.url)

    def _fetch(self, start, end):
        """A future of exactly the bytes [start, end), which lie within the object, as a
        bytearray of its own."""
        if self._protocols & {"http", "https"}:
            return _run(self.fs, self._http_range(start, end))
        if "s3" in self._protocols and self._direct is None:
            return _run(self.fs, self._s3_range(start, end))
        if self._pool is None:
            self._pool = concurrent.futures.ThreadPoolExecutor(PARTS_IN_FLIGHT)
        return self._pool.submit(self._other_range, start, end)

    def _other_range(self, start, end):
        # A blocking ranged read on a thread of the pool, read on where it gives fewer
        # bytes: S3 straight over HTTP, or any other store's own read.
        async def answer(at, into):
            if self._direct is not None:
                return self._direct_answer(at, end, into)
            return _put(into, self.fs.cat_file(self.path, start=at, end=end))

        return _settled(_read_on(self, start, end, answer))

    def _direct_answer(self, at, end, into):
        asked = f"bytes {at}-{end - 1}"
        pinned = {"If-Match": self._etag} if self._etag else {}
        response = self._direct.get({"Range": f"bytes={at}-{end - 1}", **pinned})
        try:
            self._http_answer(response.status, response.headers, asked)
            self._check_range(response.headers.get("Content-Range"), None, at, end)
            got = 0
            try:
                while got < len(into) and (count := response.readinto(into[got:])):
                    got += count
            except _cut_short():
                pass
            if not response.isclosed():  # cut short, or more than it announced: not to be used again
                self._direct.drop()
            return got
        except BaseException:
            self._direct.drop()
            raise

    async def _s3_range(self, start, end):
        bucket, key, version_id = self.fs.split_path(self.path)
        pinned = {"IfMatch": self._etag} if self._etag else {}
        if version_id:
            pinned["VersionId"] = version_id

        async def answer(at, into):
            try:
                got = await self.fs._call_s3("get_object", Bucket=bucket, Key=key, Range=f"bytes={at}-{end - 1}",
                                             **pinned)
            except OSError as error:
                if _status_of(error) == 412:
                    raise self._changed() from None
                raise
            body = got["Body"]
            try:
                self._check_range(got.get("ContentRange"), got.get("ETag"), at, end)
                return await _body_of(body.read, got.get("ContentLength"), into)
            finally:
                body.close()

        return await _read_on(self, start, end, answer)

    def _http_answer(self, status, headers, asked, expected=206):
        """Checks an HTTP answer: the version first seen, and the status `expected`."""
        if status == 412 or any(headers.get(name) not in (None, self._pin[key])
                                for name, key in (("ETag", "etag"), ("Last-Modified", "modified")) if key in self._pin):
            raise self._changed()
        if status == 404:
            raise FileNotFoundError(errno.ENOENT, "No such file or directory", self.url)
        if status in (401, 403):
            raise PermissionError(errno.EACCES, "Permission denied", self.url)
        if status != expected:
            raise OSError(errno.EIO, f"the server answered a read of {asked} with status {status}", self.url)

    async def _http_get(self, headers):
        """The GET of the resource through the file system's session, its options and
        headers with `headers` added: the answer's context manager."""
        session = await self.fs.set_session()
        options = {key: value for key, value in self.fs.kwargs.items() if key != "headers"}
        return session.get(self.path, headers={**self.fs.kwargs.get("headers", {}), **headers}, **options)

    def _http_headers(self, at, end):
        headers = {"Range": f"bytes={at}-{end - 1}"}
        if self._etag and not self._etag.startswith("W/"):  # a weak tag never matches (RFC 9110 13.1.1)
            headers["If-Match"] = self._etag
        return headers

    async def _http_probe(self):
        """Whether the server answers ranged reads: a read of the first byte."""
        try:
            self._count(1, 0)
            async with await self._http_get(self._http_headers(0, 1)) as response:
                if response.status == 200:
                    response.close()  # the whole body follows: not read here
                    return False
                if response.status == 416 and self.size == 0:
                    return True
                self._http_answer(response.status, response.headers, "bytes 0-0")
                self._check_range(response.headers.get("Content-Range"), None, 0, 1)
                return True
        except Exception as error:  # noqa: BLE001 - aiohttp's own kinds
            raise _named(error, self.url) from None

    async def _http_range(self, start, end):
        async def answer(at, into):
            async with await self._http_get(self._http_headers(at, end)) as response:
                self._http_answer(response.status, response.headers, f"bytes {at}-{end - 1}")
                self._check_range(response.headers.get("Content-Range"), None, at, end)
                return await _body_of(response.content.read, response.content_length, into)

        return await _read_on(self, start, end, answer)

    def _check_range(self, content_range, etag, at, end):
        """A ranged answer holds bytes from `at`, at most up to `end`, of an object of the
        size first seen (a different size, or tag, is a change)."""
        if etag is not None and self._etag and etag != self._etag:
            raise self._changed()
        parsed = re.fullmatch(r"bytes (\d+)-(\d+)/(\d+|\*)", (content_range or "").strip())
        if parsed and parsed[3] != "*" and int(parsed[3]) != self.size:
            raise self._changed()
        if not parsed or int(parsed[1]) != at or not at <= int(parsed[2]) < end:
            raise OSError(errno.EIO, f"the store answered a read of bytes {at}-{end - 1} with "
                                     f"{content_range or 'no Content-Range'}", self.url)


def _cut_short():
    """The errors of a body whose connection ended before its announced length. Only
    these: any other (a checksum that does not match) fails the read."""
    kinds = [ConnectionError, http.client.IncompleteRead]
    # Only the clients in use can have raised (and importing one costs a run its time).
    if asyncio := sys.modules.get("asyncio"):
        kinds.append(asyncio.IncompleteReadError)
    if aiohttp := sys.modules.get("aiohttp"):
        kinds += [aiohttp.ClientPayloadError, aiohttp.ServerDisconnectedError]
    if botocore := sys.modules.get("botocore.exceptions"):
        kinds += [botocore.IncompleteReadError, botocore.ResponseStreamingError]
    return tuple(kinds)


def _put(into, piece):
    """As much of `piece` as `into` holds, put at its start; how many bytes that was."""
    taken = min(len(piece), len(into))
    into[:taken] = memoryview(piece)[:taken]
    return taken


async def _body_of(read, length, into):
    """The body of an answer through `read(n)` put into `into`, as far as it came (no
    more than its announced `length`): a body cut short is what arrived before the cut
    (the caller reads on from there). How many bytes were put."""
    got, room = 0, len(into) if length is None else min(len(into), length)
    try:
        while piece := await read(PIECE):  # to its end, where the client checks the body's checksum
            got += _put(into[got:room], piece)
    except _cut_short():
        pass
    return got


async def _read_on(source, start, end, answer):
    """Exactly the bytes [start, end), in a bytearray, filled by `await answer(at, into)`
    (which puts the answer's bytes at the start of the view `into` of the rest and says
    how many) and asked again from where a short answer stopped; a store that sends
    nothing more, RETRIES times in a row, fails."""
    part = bytearray(end - start)
    view, at, misses = memoryview(part), start, 0
    while at < end:
        got = await answer(at, view[at - start:])
        source._count(1, got)
        at += got
        misses = 0 if got else misses + 1
        if misses > RETRIES:
            raise source._short(start, at, end)
    return part


class _S3Direct:
    """An S3 object read over plain HTTP connections, its requests signed here (AWS
    Signature Version 4): no s3fs, aiobotocore, aiohttp or botocore to import (that alone
    costs a run about 0.7 s), and a part's bytes go from the socket into its buffer with
    the interpreter lock let go.

    Only for the plainest case: a store at a given endpoint (path-style addressing), the
    options at most its endpoint, keys and region, keys given or in the environment, s3fs
    installed, and a HEAD of the object that answers 200. Anything else, a missing object or a denial
    included, goes through s3fs as before, which gives every failure its usual form."""

    OPTIONS = {"endpoint_url", "key", "secret", "token", "client_kwargs"}
    EMPTY = hashlib.sha256(b"").hexdigest()

    @classmethod
    def of(cls, url, storage_options):
        options, environ = storage_options or {}, os.environ
        client = options.get("client_kwargs") or {}
        endpoints = {client.get("endpoint_url"), options.get("endpoint_url")} - {None}
        endpoints = endpoints or {environ.get("AWS_ENDPOINT_URL_S3") or environ.get("AWS_ENDPOINT_URL")} - {None}
        bucket, _, key = url.partition("://")[2].partition("/")
        keys = ((options["key"], options["secret"], options.get("token")) if options.get("key") else tuple(
            environ.get(name) for name in ("AWS_ACCESS_KEY_ID", "AWS_SECRET_ACCESS_KEY", "AWS_SESSION_TOKEN")))
        if (not url.startswith("s3://") or set(options) - cls.OPTIONS or set(client) - {"endpoint_url", "region_name"}
                or len(endpoints) != 1 or not key or "?" in url or not all(keys[:2])
                or environ.get("AWS_IGNORE_CONFIGURED_ENDPOINT_URLS")
                # Without s3fs installed the run fails as any other that needs it.
                or importlib.util.find_spec("s3fs") is None):
            return None
        region = client.get("region_name") or environ.get("AWS_REGION") or environ.get("AWS_DEFAULT_REGION")
        direct = cls(endpoints.pop(), bucket, key, keys, region or "us-east-1")
        try:
            head = direct.get({}, "HEAD")
            head.read()
        except (OSError, http.client.HTTPException, ValueError):
            return None
        if head.status != 200 or not (head.getheader("Content-Length") or "").isdigit():
            return None
        modified = head.getheader("Last-Modified")
        direct.info = {"type": "file", "size": int(head.getheader("Content-Length")), "ETag": head.getheader("ETag"),
                       "LastModified": email.utils.parsedate_to_datetime(modified) if modified else None}
        return direct

    def __init__(self, endpoint, bucket, key, keys, region):
        self.path = f"{bucket}/{key}"
        self._endpoint = urllib.parse.urlsplit(endpoint.rstrip("/"))
        self._target = urllib.parse.quote(f"{self._endpoint.path}/{self.path}", safe="/~")
        self._keys, self._region = keys, region
        self._tls = ssl.create_default_context() if self._endpoint.scheme == "https" else None
        self._connections = threading.local()  # one kept alive per thread of the pool
        self.info = None

    def _signed(self, method, headers):
        """`headers` with those of AWS Signature Version 4 for this request added."""
        access, secret, token = self._keys
        now = time.gmtime()
        stamp, day = time.strftime("%Y%m%dT%H%M%SZ", now), time.strftime("%Y%m%d", now)
        signed = {"host": self._endpoint.netloc, "x-amz-content-sha256": self.EMPTY, "x-amz-date": stamp}
        if token:
            signed["x-amz-security-token"] = token
        names = ";".join(sorted(signed))
        canonical = "\n".join([method, self._target, "", *(f"{name}:{signed[name]}" for name in sorted(signed)), "",
                               names, self.EMPTY])
        scope = f"{day}/{self._region}/s3/aws4_request"
        key = f"AWS4{secret}".encode()
        for part in (day, self._region, "s3", "aws4_request"):
            key = hmac.new(key, part.encode(), hashlib.sha256).digest()
        text = f"AWS4-HMAC-SHA256\n{stamp}\n{scope}\n{hashlib.sha256(canonical.encode()).hexdigest()}"
        signature = hmac.new(key, text.encode(), hashlib.sha256).hexdigest()
        return {**headers, **signed, "Authorization": f"AWS4-HMAC-SHA256 Credential={access}/{scope}, "
                                                      f"SignedHeaders={names}, Signature={signature}"}

    def get(self, headers, method="GET"):
        """The answer to a signed request, its body still to be read: asked again (with
        growing pauses) while the store throttles or fails or the connection does."""
        for attempt in range(ATTEMPTS):
            try:
                connection = self._connection()
                connection.request(method, self._target, headers=self._signed(method, headers))
                response = connection.getresponse()
                if response.status < 500 or attempt == ATTEMPTS - 1:
                    return response
                response.read()
            except (OSError, http.client.HTTPException):
                self.drop()
                if attempt == ATTEMPTS - 1:
                    raise
            time.sleep(0.05 * 2 ** attempt)
        raise AssertionError("unreachable")

    def _connection(self):
        connection = getattr(self._connections, "open", None)
        if connection is None:
            host, port = self._endpoint.hostname, self._endpoint.port
            connection = (http.client.HTTPSConnection(host, port, timeout=60, context=self._tls) if self._tls
                          else http.client.HTTPConnection(host, port, timeout=60))
            self._connections.open = connection
        return connection

    def drop(self):
        """Closes this thread's connection, whose answer was not read to its end."""
        if connection := getattr(self._connections, "open", None):
            connection.close()
            self._connections.open = None


def _status_of(error):
    """The HTTP status behind a store's error, where it says."""
    seen = error
    while seen is not None:
        response = getattr(seen, "response", None)
        if isinstance(response, dict):
            return response.get("ResponseMetadata", {}).get("HTTPStatusCode")
        seen = seen.__cause__ or seen.__context__
    return None


def _wait(future, url):
    try:
        return future.result()
    except (KeyboardInterrupt, SystemExit):
        future.cancel()
        raise
    except Exception as error:  # noqa: BLE001
        raise _named(error, url) from None


class _Stream:
    """A range read in parts of PART_SIZE, PARTS_IN_FLIGHT of them asked for ahead up to
    where the reader expects to stop; past that, what it asks for, when it asks."""

    def __init__(self, source, start, end, expected):
        self._source = source
        self._next = start
        self._end = end
        self._expected = expected
        self._pending = []

    def next(self, most=PART_SIZE):
        """The next part (past the expected end, of at most `most` bytes); b"" at the end."""
        while len(self._pending) < PARTS_IN_FLIGHT and self._next < self._expected:
            stop = min(self._next + PART_SIZE, self._expected)
            self._pending.append(self._source._fetch(self._next, stop))
            self._next = stop
        if not self._pending and self._next < self._end:
            stop = min(self._next + max(most, 1), self._end)
            self._pending.append(self._source._fetch(self._next, stop))
            self._next = stop
        if not self._pending:
            return b""
        try:
            return _wait(self._pending.pop(0), self._source.url)
        except BaseException:
            self.close()
            raise

    def close(self):
        for pending in self._pending:
            pending.cancel()
        self._pending.clear()


class _Body:
    """An input that is not seekable, read once as one stream from its start: the body
    of one GET in parts of PART_SIZE, the next one read while one is handed out. A body
    shorter than its announced length fails."""

    def __init__(self, source):
        self._source = source
        self._file = None
        self._response = None
        self._read = 0
        self._ended = False
        self._pending = self._ask()

    def _ask(self):
        if self._source._protocols & {"http", "https"}:
            return _run(self._source.fs, self._http_part())
        if self._source._pool is None:
            self._source._pool = concurrent.futures.ThreadPoolExecutor(1)
        return self._source._pool.submit(self._file_part)

    def _file_part(self):
        if self._file is None:
            self._file = self._source.fs.open(self._source.path, "rb", block_size=PART_SIZE)
        return self._file.read(PART_SIZE)

    async def _http_part(self):
        source = self._source
        if self._response is None:
            source._count(1, 0)
            self._response = await (await source._http_get({}))
            source._http_answer(self._response.status, self._response.headers, "the whole body", expected=200)
        pieces, length, cut = [], 0, False
        try:
            while length < PART_SIZE and (piece := await self._response.content.read(PART_SIZE - length)):
                pieces.append(piece)
                length += len(piece)
        except _cut_short():
            cut = True
        self._read += length
        source._count(0, length)
        announced = self._response.content_length
        if cut or length < PART_SIZE and announced is not None and self._read != announced:
            raise OSError(errno.EIO, f"short read: the body ended after {self._read} bytes"
                                     + (f" of {announced}" if announced is not None else ""), source.url)
        return b"".join(pieces)

    def next(self, _most=None):
        """The next part; b"" at the end."""
        if self._ended:
            return b""
        try:
            part = _wait(self._pending, self._source.url)
        except BaseException:
            self.close()
            raise
        if len(part) < PART_SIZE:
            self._ended = True
            self.close()
        else:
            self._pending = self._ask()
        return part

    def close(self):
        self._pending.cancel()
        if self._response is not None:
            self._source.fs.loop.call_soon_threadsafe(self._response.close)
            self._response = None
        if self._file is not None:
            self._file.close()
            self._file = None


def _nanoseconds(value):
    if value is None:
        return None
    if hasattr(value, "timestamp"):
        return int(value.timestamp() * 1_000_000_000)
    try:
        return int(float(value) * 1_000_000_000)
    except (TypeError, ValueError):
        return None


class Output:
    """A prefix in object storage that receives a run's files."""

    def __init__(self, url, storage_options=None):
        self.url = url.rstrip("/")
        self.fs, path = _file_system(self.url, storage_options)
        self.prefix = path.rstrip("/")
        self._locked = None

    def path_of(self, name):
        return f"{self.url}/{name}"

    def _key(self, name):
        return f"{self.prefix}/{name}"

    def _s3(self):
        return "s3" in _protocols(self.fs)

    def _lockable(self):
        """Whether the store has a create-only write for the lock object (S3's
        If-None-Match, GCS's ifGenerationMatch=0)."""
        return bool(_protocols(self.fs) & {"s3", "gs", "gcs"})

    def lock(self, tag):
        """Takes the prefix for a run: a second run into it fails at once. Only where
        the store has a conditional write; elsewhere nothing is taken."""
        if not self._lockable():
            return False
        try:
            if self._s3():
                bucket, key = self._bucket_key(LOCK_NAME)
                self.fs.call_s3("put_object", Bucket=bucket, Key=key, Body=tag.encode(), IfNoneMatch="*")
            else:  # gcsfs sends ifGenerationMatch=0, and a 412 answer is FileExistsError
                self.fs.pipe_file(self._key(LOCK_NAME), tag.encode(), mode="create")
        except FileExistsError:
            raise BlockingIOError(errno.EBUSY, "another run is writing into this directory", self.url) from None
        except Exception as error:  # noqa: BLE001
            raise _named(error, self.path_of(LOCK_NAME)) from None
        self._locked = tag
        return True

    def holds(self, tag):
        """Whether the run `tag` still holds the prefix (its lock object is there)."""
        if not self._lockable():
            return True
        try:
            return self.fs.cat_file(self._key(LOCK_NAME)) == tag.encode()
        except Exception:  # noqa: BLE001 - gone, or unreadable: the run has ended
            return False

    def unlock(self):
        """Removes the lock object, trying again on failure; one that stays is warned of
        (the run's files are complete, but every later run would find the prefix busy)."""
        if self._locked is None:
            return
        self._locked = None
        for attempt in range(RETRIES):
            try:
                return self.remove(LOCK_NAME)
            except OSError as error:
                failure = error
                time.sleep(0.2 * 2 ** attempt)
        lock = self.path_of(LOCK_NAME)
        remove = "aws s3 rm" if self._s3() else "gcloud storage rm"
        warnings.warn(f"{lock}: the lock object could not be removed ({failure.strerror}); later runs into "
                      f"{self.url} fail as busy until it is deleted ({remove} {lock})", RuntimeWarning, stacklevel=2)

    def remove(self, name):
        try:
            self.fs.rm_file(self._key(name))
        except FileNotFoundError:
            pass
        except Exception as error:  # noqa: BLE001
            raise _named(error, self.path_of(name)) from None

    def size_of(self, name):
        try:
            return self.fs.info(self._key(name))["size"]
        except Exception:  # noqa: BLE001
            return None

    def read(self, name, most):
        """The bytes of `name`, no more than `most` + 1 of them; None where it is not there."""
        try:
            return self.fs.cat_file(self._key(name), start=0, end=most + 1)
        except FileNotFoundError:
            return None
        except Exception as error:  # noqa: BLE001
            raise _named(error, self.path_of(name)) from None

    def upload(self, name):
        if self._s3():
            return _S3Upload(self, name)
        return _FileUpload(self, name)

    def _bucket_key(self, name):
        bucket, _, key = self._key(name).partition("/")
        return bucket, key


def _protocols(fs):
    protocol = fs.protocol
    return set(protocol) if isinstance(protocol, (tuple, list)) else {protocol}


def _part_size(number):
    """The size of part `number` (from 1) of an upload."""
    return min(PART_SIZE << (number - 1) // PARTS_A_SIZE, LARGEST_PART)


class _S3Upload:
    """A file uploaded whole: parts sent as they fill, a few in flight (fewer as they
    grow: at most PARTS_IN_FLIGHT * PART_SIZE bytes, or one part), and the upload
    completed at commit() or aborted."""

    def __init__(self, output, name):
        self._fs = output.fs
        self._url = output.path_of(name)
        self._bucket, self._key = output._bucket_key(name)
        self._buffer = bytearray(_part_size(1))  # filled in place; a part is sent as it is
        self._filled = 0
        self._upload_id = None
        self._parts = []
        self._in_flight = []
        self.size = 0

    def write(self, data):
        data = memoryview(data)
        self.size += len(data)
        while data:
            taken = min(len(data), len(self._buffer) - self._filled)
            self._buffer[self._filled:self._filled + taken] = data[:taken]
            self._filled += taken
            data = data[taken:]
            if self._filled == len(self._buffer):
                self._send(self._buffer)
                self._buffer, self._filled = bytearray(_part_size(len(self._parts) + len(self._in_flight) + 1)), 0

    def _send(self, part):
        fs = self._fs
        with _signals_deferred():  # what the store makes is known here, for abort() to undo
            if self._upload_id is None:
                created = _call(self._url, fs.call_s3, "create_multipart_upload", Bucket=self._bucket, Key=self._key)
                self._upload_id = created["UploadId"]
            number = len(self._parts) + len(self._in_flight) + 1
            if number > MAX_PARTS:
                raise OSError(errno.EFBIG, f"larger than an upload of {MAX_PARTS} parts can be: more than "
                                           f"{self.size - len(part)} bytes; write more chunks", self._url)
            future = _run(fs, fs._call_s3("upload_part", Bucket=self._bucket, Key=self._key,
                                          UploadId=self._upload_id, PartNumber=number, Body=part))
            self._in_flight.append((number, future))
        while len(self._in_flight) >= max(2, PARTS_IN_FLIGHT * PART_SIZE // max(len(part), 1)):
            self._settle_one()

    def _settle_one(self):
        number, future = self._in_flight[0]  # in flight until answered, for abort() to wait for
        try:
            tag = future.result()["ETag"]
        except Exception as error:  # noqa: BLE001
            raise _named(error, self._url) from None
        self._in_flight.pop(0)
        self._parts.append({"ETag": tag, "PartNumber": number})

    def commit(self):
        fs = self._fs
        rest = memoryview(self._buffer)[:self._filled]
        if self._upload_id is None:
            _call(self._url, fs.call_s3, "put_object", Bucket=self._bucket, Key=self._key, Body=bytes(rest))
            return
        if self._filled or not self._parts and not self._in_flight:
            self._send(bytes(rest))
            self._filled = 0
        while self._in_flight:
            self._settle_one()
        _call(self._url, fs.call_s3, "complete_multipart_upload", Bucket=self._bucket, Key=self._key,
              UploadId=self._upload_id, MultipartUpload={"Parts": self._parts})
        self._upload_id = None

    def abort(self):
        # Parts on their way are answered first (one stored after the abort would make
        # the upload pending again), and a second signal does not cut the abort short.
        with _signals_deferred():
            concurrent.futures.wait([future for _, future in self._in_flight], timeout=SETTLE_SECONDS)
            self._in_flight.clear()
            if self._upload_id is not None:
                upload_id, self._upload_id = self._upload_id, None
                try:
                    self._fs.call_s3("abort_multipart_upload", Bucket=self._bucket, Key=self._key, UploadId=upload_id)
                except Exception:  # noqa: BLE001 - nothing more can be done; the store ages it out
                    pass


class _FileUpload:
    """Any other store: fsspec's own writer, finished at commit() and discarded on abort."""

    def __init__(self, output, name):
        self._url = output.path_of(name)
        self._file = _call(self._url, output.fs.open, output._key(name), "wb", block_size=PART_SIZE)
        self.size = 0

    def write(self, data):
        _call(self._url, self._file.write, data)
        self.size += len(data)

    def commit(self):
        _call(self._url, self._file.close)

    def abort(self):
        try:
            self._file.discard()
        except Exception:  # noqa: BLE001
            pass
        self._file.closed = True  # nothing more to finish when it is dropped
