"""What a split writes and prints, against the model in reference.py: every sample,
in every input form, at every compression and batch size."""
import functools
import gzip
import os
import shutil
import subprocess

import pytest

import kestrel
from conftest import DATA, HEADER, UNDER_SANITIZER, bgzf, bgzf_blocks, records, split_in_subprocess, text_of
from reference import expected_batches, expected_stdout, read_batches

split = kestrel.py_extract_variants_to_batches
LONG = b"chr1\t1\t" + b"ACGT" * 300_000  # longer than any read buffer
# Lines as they come: CR LF, empty lines, lone CRs, a BOM and bytes that are not UTF-8
# are data; a header line after records joins the batch under way and all later ones;
# the last line has no LF, and keeps its CR.
ODD_LINES = (HEADER + b"a\r\nb\r\n\n\r\nin\rside\r\r\n\xef\xbb\xbf#not header\nbad \xff\xfe utf-8\n" + records(3)
             + b"#late header\n#" + b"h" * 20_000 + b"\n" + LONG + b"\n" + records(9, 10) + LONG[:9000] + b"\r")
SAMPLES = ["haploid-x.vcf", "sites-index.vcf", "vcf44-features.vcf", "multisample.vcf.gz", "small-cohort.vcf.gz",
           "odd-lines"]


@functools.cache
def text(sample):
    return ODD_LINES if sample == "odd-lines" else text_of(sample)


@functools.cache
def encoded(sample, form):
    """The sample as input: plain text; BGZF from another tool (bgzip, or the file
    as shipped); or hand-built blocks that cut lines anywhere, in stored, fast and
    best members whose "BC" follows foreign subfields, one of them "BC" of 4 bytes."""
    if form == "plain":
        return text(sample)
    if form == "blocks":
        subfields = ((b"XY", b"\1\2\3"), (b"BC", b"\0\0\0\0"), (b"BC", None))
        return bgzf(text(sample), piece=1000, levels=(0, 1, 9), subfields=subfields)
    if sample.endswith(".gz"):
        return (DATA / sample).read_bytes()
    if shutil.which("bgzip") is None:
        pytest.skip("bgzip not installed")
    return subprocess.run(["bgzip", "-c"], input=text(sample), capture_output=True, check=True).stdout


@pytest.mark.parametrize("sample", SAMPLES)
@pytest.mark.parametrize("form", ["plain", "bgzf", "blocks"])
@pytest.mark.parametrize("level", [None, "fast", "best"])
@pytest.mark.parametrize("batch_size", [1, 7, 100_000])
def test_output_equals_the_model(tmp_path, sample, form, level, batch_size):
    source = tmp_path / ("in.vcf" if form == "plain" else "in.vcf.gz")
    source.write_bytes(encoded(sample, form))
    assert split(str(source), str(tmp_path / "out"), batch_size, level) is None
    if level is None:
        got = read_batches(tmp_path / "out")
    else:
        streams = read_batches(tmp_path / "out", ".vcf.gz")
        assert all(bgzf_blocks(stream) for stream in streams)
        got = [gzip.decompress(stream) for stream in streams]
    assert got == expected_batches(text(sample), batch_size)


def test_progress_lines_and_file_names(tmp_path):
    work = tmp_path / "work"
    (work / "old").mkdir(parents=True)
    # Batches of an earlier run are replaced, and those with higher numbers kept.
    (work / "old" / "batch_01.vcf").write_bytes(b"old content that is longer than the new one\n" * 100)
    (work / "old" / "batch_07.vcf").write_bytes(b"from an earlier run\n")
    inputs = {"five.vcf": HEADER + records(5), "four.vcf": HEADER + records(4), "two.vcf": HEADER + records(2),
              "none.vcf": HEADER, "hundred.vcf": HEADER + records(100), "x.vcf": text_of("haploid-x.vcf")}
    # Only a lower-case ".gz" ending means BGZF input.
    inputs.update({name: HEADER + records(3) for name in ("in.vcf.GZ", "in.vcf.gz.txt", "in.gzip", "gz")})
    for name, data in inputs.items():
        (work / name).write_bytes(data)
    calls = [("five.vcf", "a/b/c", 2), ("four.vcf", "four/", 2), ("two.vcf", "zero//", 0), ("none.vcf", "none", 3),
             ("hundred.vcf", "hundred", 1), ("x.vcf", "x", 100), ("two.vcf", "old", 1), ("in.vcf.GZ", "", 2),
             ("in.vcf.gz.txt", "t", 5), ("in.gzip", "g", 5), ("gz", "z", 5),
             ("five.vcf", "compressed", 2, "default")]  # the interpreter then exits at once, and cleanly
    old = {path.name: path.read_bytes() for path in (work / "old").iterdir()}
    result = split_in_subprocess(calls=calls, cwd=work)
    assert result.stderr == b""
    printed = []
    for source, out, size, *level in calls:
        extension = ".vcf.gz" if level else ".vcf"
        printed.append(expected_stdout(inputs[source], size, out, extension))
        batches = expected_batches(inputs[source], size)
        if not batches:
            assert not (work / out).exists()  # no batch, no directory
            continue
        files = {p.name: p.read_bytes() for p in (work / out).iterdir() if p.name.startswith("batch_")}
        expected = {f"batch_{n:02d}{extension}": batch for n, batch in enumerate(batches, 1)}
        if out == "old":
            expected = {**old, **expected}
        assert {name: gzip.decompress(data) if level else data for name, data in files.items()} == expected
    assert result.stdout.decode() == "".join(printed)


def test_many_batches(tmp_path):
    count = 10_000 if UNDER_SANITIZER else 70_000  # more than a 16-bit count
    (tmp_path / "in.vcf").write_bytes(HEADER + records(count))
    split(str(tmp_path / "in.vcf"), str(tmp_path / "out"), 1)
    assert len(os.listdir(tmp_path / "out")) == count
    assert (tmp_path / "out" / f"batch_{count}.vcf").read_bytes() == HEADER + records(1, start=count)
    assert (tmp_path / "out" / "batch_01.vcf").read_bytes() == HEADER + records(1)
