"""Inputs and outputs at URLs for kestrel_scatter, through fsspec.

kestrel_scatter calls into this module when an input or an output directory is a URL
(s3://, gs://, az://, and http(s):// for input); fsspec and the file system of the
protocol (s3fs, gcsfs, adlfs, aiohttp) are imported only then. The engine reads and
writes through these objects; nothing here is written to the local disk.

Reading: `Input.read(start, end)` is one ranged GET; `Input.stream(...)` reads a range
in parts of PART_SIZE, several in flight, so that the engine works on one part while
the next ones arrive.

Writing: every file is uploaded whole: one PUT, or on S3 a multipart upload that is
completed only when the file is complete and aborted on any failure, so that no
pending upload remains. Where the store allows a conditional write (S3's
If-None-Match), a lock object makes a second run into the same prefix fail at once.
"""
import asyncio
import concurrent.futures
import errno
import json
import os
import time

PART_SIZE = 8 << 20  # AWS: requests of 8-16 MB, many in flight
PARTS_IN_FLIGHT = 3  # read ahead and upload behind: bounded memory
LOCK_NAME = ".kestrel.lock"
SETTLE_SECONDS = 30  # how long an upload that ends waits for its requests under way


def is_url(text):
    """Whether `text` names a place fsspec reaches, not a local path."""
    scheme, separator, _ = text.partition("://")
    return bool(separator) and scheme.isidentifier() and scheme != "file"


def options_from_json(text):
    return json.loads(text) if text else {}


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
    seen = error.__cause__ or error.__context__
    while seen is not None:
        inner = getattr(seen, "os_error", seen)  # where aiohttp keeps the socket's error
        if isinstance(inner, OSError) and inner.errno and not isinstance(inner, FileNotFoundError):
            return inner
        seen = seen.__cause__ or seen.__context__
    return None


def _named(error, url):
    """The failure of a storage call, as the OSError the engine reports, naming the URL."""
    if (unreachable := _unreachable(error)) is not None:
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
    return asyncio.run_coroutine_threadsafe(coroutine, fs.loop)


def _settle(future, seconds=SETTLE_SECONDS):
    """Waits for a request already sent to be answered, through signals (a second
    Ctrl-C included): the store carries it out either way, and what it made must be
    known to be undone. Gives up after `seconds`."""
    deadline = time.monotonic() + seconds
    while not future.done() and time.monotonic() < deadline:
        try:
            concurrent.futures.wait([future], timeout=deadline - time.monotonic())
        except BaseException:  # noqa: BLE001 - the call is ending already
            pass


class Input:
    """An object (or HTTP resource) read in ranges."""

    def __init__(self, url, storage_options=None):
        self.url = url
        self.fs, self.path = _file_system(url, storage_options)
        info = _call(url, self.fs.info, self.path)
        if info.get("type") == "directory":
            raise IsADirectoryError(errno.EISDIR, "Is a directory", url)
        self.size = info.get("size")
        modified = info.get("LastModified") or info.get("mtime") or info.get("updated")
        self.modified_ns = _nanoseconds(modified)
        self._pool = None

    def read(self, start, end):
        """The bytes [start, end); fewer only at the end."""
        if start >= end:
            return b""
        return _call(self.url, self.fs.cat_file, self.path, start=start, end=end)

    def stream(self, start, end):
        """The bytes from `start` to `end` (None: the end) in parts, read ahead."""
        return _Stream(self, start, end if end is not None else self.size)

    def sibling(self, suffix):
        """The object beside this one whose name ends in `suffix` (an index), or None."""
        try:
            return Input(self.url + suffix, self.fs.storage_options)
        except OSError:
            return None

    def _fetch(self, start, end):
        if getattr(self.fs, "async_impl", False):
            return _run(self.fs, self.fs._cat_file(self.path, start=start, end=end))
        if self._pool is None:
            self._pool = concurrent.futures.ThreadPoolExecutor(PARTS_IN_FLIGHT)
        return self._pool.submit(self.fs.cat_file, self.path, start=start, end=end)


class _Stream:
    def __init__(self, source, start, end):
        self._source = source
        self._next = start
        self._end = end
        self._pending = []

    def next(self):
        """The next part; b"" at the end."""
        while len(self._pending) < PARTS_IN_FLIGHT and (self._end is None or self._next < self._end):
            stop = self._next + PART_SIZE if self._end is None else min(self._next + PART_SIZE, self._end)
            self._pending.append(self._source._fetch(self._next, stop))
            self._next = stop
        if not self._pending:
            return b""
        future = self._pending.pop(0)
        try:
            part = future.result()
        except (KeyboardInterrupt, SystemExit):
            self.close()
            raise
        except Exception as error:  # noqa: BLE001
            self.close()
            raise _named(error, self._source.url) from None
        if self._end is None and len(part) < PART_SIZE:
            self._end = self._next  # the size was not known: this was the last part
            for pending in self._pending:
                pending.cancel()
            self._pending.clear()
        return part

    def close(self):
        for pending in self._pending:
            pending.cancel()
        self._pending.clear()


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

    def lock(self, tag):
        """Takes the prefix for a run: a second run into it fails at once. Only where
        the store has a conditional write; elsewhere nothing is taken."""
        if not self._s3():
            return False
        bucket, key = self._bucket_key(LOCK_NAME)
        try:
            self.fs.call_s3("put_object", Bucket=bucket, Key=key, Body=tag.encode(), IfNoneMatch="*")
        except FileExistsError:
            raise BlockingIOError(errno.EBUSY, "another run is writing into this directory", self.url) from None
        except Exception as error:  # noqa: BLE001
            raise _named(error, self.path_of(LOCK_NAME)) from None
        self._locked = tag
        return True

    def holds(self, tag):
        """Whether the run `tag` still holds the prefix (its lock object is there)."""
        if not self._s3():
            return True
        try:
            return self.fs.cat_file(self._key(LOCK_NAME)) == tag.encode()
        except Exception:  # noqa: BLE001 - gone, or unreadable: the run has ended
            return False

    def unlock(self):
        if self._locked is not None:
            self._locked = None
            self.remove(LOCK_NAME)

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


class _S3Upload:
    """A file uploaded whole: parts of PART_SIZE sent as they fill, a few in flight, and
    the upload completed at commit() or aborted."""

    def __init__(self, output, name):
        self._fs = output.fs
        self._url = output.path_of(name)
        self._bucket, self._key = output._bucket_key(name)
        self._buffer = bytearray(PART_SIZE)  # filled in place; a part is sent as it is
        self._filled = 0
        self._upload_id = None
        self._parts = []
        self._in_flight = []
        self.size = 0

    def write(self, data):
        data = memoryview(data)
        self.size += len(data)
        while data:
            taken = min(len(data), PART_SIZE - self._filled)
            self._buffer[self._filled:self._filled + taken] = data[:taken]
            self._filled += taken
            data = data[taken:]
            if self._filled == PART_SIZE:
                self._send(self._buffer)
                self._buffer, self._filled = bytearray(PART_SIZE), 0

    def _send(self, part):
        fs = self._fs
        if self._upload_id is None:
            creating = _run(fs, fs._call_s3("create_multipart_upload", Bucket=self._bucket, Key=self._key))
            try:
                self._upload_id = creating.result()["UploadId"]
            except Exception as error:  # noqa: BLE001
                raise _named(error, self._url) from None
            except BaseException:
                # A signal while the store makes it: its answer is waited for, so that
                # an upload it made is known, and aborted.
                _settle(creating)
                if creating.done() and not creating.cancelled() and creating.exception() is None:
                    self._upload_id = creating.result()["UploadId"]
                raise
        number = len(self._parts) + len(self._in_flight) + 1
        future = _run(fs, fs._call_s3("upload_part", Bucket=self._bucket, Key=self._key, UploadId=self._upload_id,
                                      PartNumber=number, Body=part))
        self._in_flight.append((number, future))
        while len(self._in_flight) >= PARTS_IN_FLIGHT:
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
        # Parts on their way are answered first: one stored after the abort would make
        # the upload pending again.
        for _, future in self._in_flight:
            _settle(future)
        self._in_flight.clear()
        if self._upload_id is not None:
            upload_id, self._upload_id = self._upload_id, None
            # Whatever this raises, nothing more can be done: the store ages it out.
            _settle(_run(self._fs, self._fs._call_s3("abort_multipart_upload", Bucket=self._bucket, Key=self._key,
                                                    UploadId=upload_id)))


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
