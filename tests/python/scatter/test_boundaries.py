"""Chunk boundaries by place through the command line: the lines printed, and Picard's
GatherVcfs on the chunks. The rules themselves are checked against a model in
tests/cpp/test_boundaries.cpp (locally and as tasks), the arguments' errors in
tests/python/cli/test_cli.py, a contig that comes back in scatter/test_scatter.py, a
Dask cluster in scatter/test_distributed.py."""
import shutil
import subprocess

import pytest

from conftest import cli

HEADER = "##fileformat=VCFv4.2\n##contig=<ID=1,length=100000>\n##contig=<ID=2,length=100000>\n" \
         "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\n"


def vcf(path, keys):
    path.write_text(HEADER + "".join(f"{chrom}\t{pos}\t.\tA\tG\t.\t.\t.\n" for chrom, pos in keys))
    return path


def test_command_line_cuts_by_contig_and_position(tmp_path):
    keys = [("1", 50), ("1", 100), ("1", 100), ("1", 100), ("1", 200)] + [("2", p) for p in range(1, 8)]
    source = vcf(tmp_path / "in.vcf", keys)
    # The worked example of the help: a cut inside the run at 1:100 moves to its end.
    vcf(tmp_path / "example.vcf", keys[:5])
    result = cli("example.vcf", "kept", "-k", "2", "--keep-together", "position", cwd=tmp_path, text=True)
    assert result.returncode == 0, result.stderr
    # The manifest's counts are the files' (tests/python/scatter/test_scatter.py).
    assert [row.split("\t")[2] for row in (tmp_path / "kept" / "manifest.tsv").read_text().splitlines()[1:]] == \
        ["4", "1"]
    result = cli(source, "contigs", "--by-contig", "-b", "3", "--keep-together", "position", "-c", "fast",
                 "--index", "tbi", cwd=tmp_path, text=True)
    # The chunks themselves are the model's (tests/cpp/test_boundaries.cpp); the lines
    # show the options arrived: five chunks of one to four records.
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [f"Saving batch_0{n}.vcf.gz" for n in range(1, 6)] + \
        ["Saved 5 batches with 1 to 4 records to contigs."]
    assert cli(source, "alone", "--by-contig", cwd=tmp_path, text=True).stdout.splitlines()[-1] == \
        "Saved 2 batches with 5 or 7 records to alone."


@pytest.mark.skipif(shutil.which("PicardCommandLine") is None, reason="Picard (picard-tools) is not installed")
def test_picard_gathers_chunks_kept_together(tmp_path):
    source = vcf(tmp_path / "in.vcf", [("1", 50), ("1", 100), ("1", 100), ("1", 200)])

    def gather(*options):
        out = tmp_path / "-".join(options or ("plain",))
        assert cli(source, out, "-k", "2", "-c", "fast", "--index", "tbi", *options, cwd=tmp_path).returncode == 0
        inputs = [f"I={out / row.split()[0]}" for row in (out / "manifest.tsv").read_text().splitlines()[1:]]
        # A plain output makes GatherVcfs check the order at every boundary.
        return subprocess.run(["PicardCommandLine", "GatherVcfs", *inputs, f"O={out}/gathered.vcf"],
                              capture_output=True, text=True, timeout=300), out

    refused, _ = gather()
    assert refused.returncode != 0 and "is at 1:100 but last variant" in refused.stderr
    accepted, out = gather("--keep-together", "position")
    assert accepted.returncode == 0, accepted.stderr
    lines = [line for line in (out / "gathered.vcf").read_text().splitlines() if not line.startswith("#")]
    assert lines == [line for line in source.read_text().splitlines() if not line.startswith("#")]
