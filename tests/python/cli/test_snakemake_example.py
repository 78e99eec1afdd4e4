"""The Snakemake workflow in examples/snakemake runs end to end on kestrel-split:
scattered into indexed chunks and gathered again, the input comes back whole."""
import json
import os
import shlex
import shutil
import subprocess
import sys

import pytest

from conftest import DATA, REPO, UNDER_SANITIZER, child_env

# CI installs all of these (scripts/install-deps.sh test): there a missing one fails the test.
MISSING = [tool for tool in ("bcftools", "tabix") if shutil.which(tool) is None]
try:
    import snakemake  # noqa: F401
except ImportError:
    MISSING.append("snakemake")


def record_lines(path):
    return subprocess.run(["bcftools", "view", "-H", str(path)], check=True, capture_output=True).stdout.splitlines()


@pytest.mark.skipif(bool(MISSING) and not os.environ.get("CI"), reason=f"not installed: {MISSING}")
@pytest.mark.skipif(UNDER_SANITIZER, reason="workflow tools only; the suite's pass without sanitizers runs it")
def test_scatter_count_gather(tmp_path):
    source, chunks, run = DATA / "small-cohort.vcf.gz", 5, tmp_path / "run"  # sorted, 23 contigs
    # The kestrel under test, whatever kestrel-split is on PATH.
    (tmp_path / "config.yaml").write_text(json.dumps({"input": str(source), "chunks": chunks, "kestrel_split":
                                                      shlex.join([sys.executable, "-m", "kestrel_cli"])}))
    result = subprocess.run([sys.executable, "-m", "snakemake", "--snakefile", REPO / "examples" / "snakemake" /
                             "Snakefile", "--directory", run, "--configfile", tmp_path / "config.yaml", "--cores", "2",
                             "--quiet"], env=child_env(), capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr
    expected = record_lines(source)
    assert record_lines(run / "results" / "gathered.vcf.gz") == expected
    # Per-contig counts through each chunk's index: they cover every record once.
    names = [f"batch_{n:02d}" for n in range(1, chunks + 1)]
    rows = [line.split("\t") for name in names for line in (run / "counts" / f"{name}.tsv").read_text().splitlines()]
    assert sum(int(count) for _, _, count in rows) == len(expected)
    sizes = [len(record_lines(run / "chunks" / f"{name}.vcf.gz")) for name in names]
    assert max(sizes) - min(sizes) <= 1
    summary = (run / "results" / "summary.tsv").read_text().splitlines()
    assert summary[-1].split("\t")[:2] == ["total", str(len(expected))]
