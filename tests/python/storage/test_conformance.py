"""The seams' promises (tests/conformance.hpp) over the sources and targets of URLs,
through the module that a build of the tests makes (scripts/sanitize.sh)."""
import gzip
import json

import pytest

import kestrel_scatter  # noqa: F401 - installs the storage backend into the core first
from conftest import DATA

conformance = pytest.importorskip("_kestrel_conformance", reason="the test module comes with a build of the tests")


def test_every_url_source_and_target_keeps_the_seams_promises(s3, http_files, monkeypatch):
    import kestrel_storage
    monkeypatch.setattr(kestrel_storage, "PART_SIZE", 1 << 16)  # several parts
    data = gzip.decompress((DATA / "small-cohort.vcf.gz").read_bytes())[:40_000]
    bucket, options = s3.bucket("conformance"), json.dumps(s3.options)
    s3.fs.pipe("conformance/in.vcf", data)
    served, base = http_files
    (served / "in.vcf").write_bytes(data)
    for url, store in [(f"{bucket}/in.vcf", options), (f"{base}/in.vcf", "")] + [
            (f"{base}/{switches}/in.vcf", "") for switches in ("norange", "norange+nolength", "short")]:
        assert conformance.byte_source(url, store, data) == [], url
    out, tag = f"{bucket}/out", "0123456789abcdef"
    s3.fs.pipe("conformance/out/in.vcf", data[:100])
    s3.fs.pipe("conformance/out/.kestrel.lock", tag.encode())  # the run holds the prefix
    assert conformance.output_target(out, options, "in.vcf", tag, False) == []
    s3.fs.rm_file("conformance/out/.kestrel.lock")
    assert conformance.output_target(out, options, "in.vcf", tag, True) == []
    assert conformance.output_target(out, options, "in.vcf", "", False) == []
    assert s3.files(out).keys() == {"in.vcf"} and s3.pending_uploads("conformance") == []
