"""Real stores on loopback for the storage tests: an S3 API server (moto's server
mode, in a process of its own), an HTTP server that answers ranged GETs, and a proxy in
front of the S3 server that answers some GETs with 503 SlowDown."""
import http.server
import os
import re
import socket
import subprocess
import sys
import threading
import time
import urllib.request

import pytest

ACCESS = {"AWS_ACCESS_KEY_ID": "kestrel", "AWS_SECRET_ACCESS_KEY": "kestrel", "AWS_DEFAULT_REGION": "us-east-1"}


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class S3:
    def __init__(self, endpoint):
        import s3fs

        self.endpoint = endpoint
        self.options = {"endpoint_url": endpoint, "key": ACCESS["AWS_ACCESS_KEY_ID"],
                        "secret": ACCESS["AWS_SECRET_ACCESS_KEY"]}
        self.fs = s3fs.S3FileSystem(skip_instance_cache=True, **self.options)

    def env(self, endpoint=None):
        """The environment a child needs to reach the server without storage options."""
        return {**ACCESS, "AWS_ENDPOINT_URL": endpoint or self.endpoint}

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
    port = free_port()
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


class RangeHandler(http.server.BaseHTTPRequestHandler):
    """Files of a directory: HEAD gives Content-Length and Accept-Ranges, GET takes a Range."""

    root = None

    def log_message(self, *args):
        pass

    def answer(self, with_body):
        path = os.path.join(self.root, self.path.lstrip("/"))
        if not os.path.isfile(path):
            self.send_error(404)
            return
        size = os.path.getsize(path)
        start, end = 0, size - 1
        match = re.fullmatch(r"bytes=(\d+)-(\d*)", self.headers.get("Range", ""))
        if match:
            start, end = int(match[1]), min(int(match[2]) if match[2] else size - 1, size - 1)
            self.send_response(206)
            self.send_header("Content-Range", f"bytes {start}-{end}/{size}")
        else:
            self.send_response(200)
        self.send_header("Accept-Ranges", "bytes")
        self.send_header("Content-Length", str(max(end - start + 1, 0)))
        self.end_headers()
        if with_body:
            with open(path, "rb") as file:
                file.seek(start)
                self.wfile.write(file.read(max(end - start + 1, 0)))

    def do_HEAD(self):
        self.answer(False)

    def do_GET(self):
        self.answer(True)


@pytest.fixture
def http_files(tmp_path):
    """(directory, base URL): files put in the directory are served at the URL."""
    root = tmp_path / "served"
    root.mkdir()
    handler = type("Handler", (RangeHandler,), {"root": str(root)})
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        yield root, f"http://127.0.0.1:{server.server_address[1]}"
    finally:
        server.shutdown()
        server.server_close()


SLOW_DOWN = (b'<?xml version="1.0" encoding="UTF-8"?>\n<Error><Code>SlowDown</Code>'
             b"<Message>Please reduce your request rate.</Message></Error>")


@pytest.fixture
def flaky_s3(s3):
    """An endpoint in front of the S3 server that answers every third GET with 503
    SlowDown and forwards everything else as it came."""
    import http.client

    count = {"gets": 0, "refused": 0}
    target = s3.endpoint.removeprefix("http://")

    class Proxy(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, *args):
            pass

        def forward(self):
            length = int(self.headers.get("Content-Length") or 0)
            body = self.rfile.read(length) if length else None
            if self.command == "GET" and "?" not in self.path:
                count["gets"] += 1
                if count["gets"] % 3 == 0:
                    count["refused"] += 1
                    self.send_response(503)
                    self.send_header("Content-Type", "application/xml")
                    self.send_header("Content-Length", str(len(SLOW_DOWN)))
                    self.end_headers()
                    self.wfile.write(SLOW_DOWN)
                    return
            upstream = http.client.HTTPConnection(target, timeout=60)
            headers = {k: v for k, v in self.headers.items() if k.lower() not in ("host", "connection")}
            upstream.request(self.command, self.path, body=body, headers=headers)
            answer = upstream.getresponse()
            data = answer.read()
            self.send_response(answer.status)
            for key, value in answer.getheaders():
                if key.lower() not in ("transfer-encoding", "connection", "content-length"):
                    self.send_header(key, value)
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.write(data)
            upstream.close()

        do_GET = do_PUT = do_POST = do_HEAD = do_DELETE = forward

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Proxy)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        yield f"http://127.0.0.1:{server.server_address[1]}", count
    finally:
        server.shutdown()
        server.server_close()
