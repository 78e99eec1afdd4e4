"""The Snakemake workflow in examples/snakemake runs end to end on kestrel-split:
scattered into indexed chunks and gathered again, the input comes back whole."""
import json
import os
import shlex
import shutil
import subprocess
import sys

import pytest

from conftest import DATA, REPO, child_env

SNAKEFILE = REPO / "examples" / "snakemake" / "Snakefile"
TOOLS = ("bcftools", "tabix")
# CI installs all of these (scripts/install-deps.sh test): there a missing one fails the test.
_missing = [tool for tool in TOOLS if shutil.which(tool) is None]
try:
    import snakemake  # noqa: F401
except ImportError:
    _missing.append("snakemake")


def record_lines(path):
    return subprocess.run(["bcftools", "view", "-H", str(path)], check=True, capture_output=True).stdout.splitlines()


@pytest.mark.skipif(bool(_missing) and not os.environ.get("CI"), reason=f"not installed: {_missing}")
def test_scatter_count_gather(tmp_path):
    source = DATA / "small-cohort.vcf.gz"  # sorted, 23 contigs
    chunks = 5
    config = tmp_path / "config.yaml"
    config.write_text(json.dumps({
        "input": str(source),
        "chunks": chunks,
        # The kestrel under test, whatever kestrel-split is on PATH.
        "kestrel_split": shlex.join([sys.executable, "-m", "kestrel_cli"]),
    }))
    result = subprocess.run(
        [sys.executable, "-m", "snakemake", "--snakefile", str(SNAKEFILE), "--directory", str(tmp_path / "run"),
         "--configfile", str(config), "--cores", "2", "--quiet"],
        env=child_env(), capture_output=True, text=True, timeout=600,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    run = tmp_path / "run"

    expected = record_lines(source)
    assert record_lines(run / "results" / "gathered.vcf.gz") == expected
    # Per-contig counts through each chunk's index: they cover every record once.
    rows = [line.split("\t") for n in range(1, chunks + 1)
            for line in (run / "counts" / f"batch_{n:02d}.tsv").read_text().splitlines()]
    assert sum(int(count) for _, _, count in rows) == len(expected)
    sizes = [len(record_lines(run / "chunks" / f"batch_{n:02d}.vcf.gz")) for n in range(1, chunks + 1)]
    assert max(sizes) - min(sizes) <= 1
    summary = (run / "results" / "summary.tsv").read_text().splitlines()
    assert summary[-1].split("\t")[:2] == ["total", str(len(expected))]
