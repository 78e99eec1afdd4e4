"""kestrel_scatter as Python callers and pipelines see it: the chunks against the batch
split and against tabix and bcftools as black boxes, its exceptions, its callbacks,
standard input, and kestrel-split on top of it."""
import gzip
import os
import random
import shutil
import subprocess
import sys
import threading

import pytest

import kestrel_scatter
from conftest import DATA, HEADER, child_env, records, run_python

SAMPLES = ["small-cohort.vcf.gz", "haploid-x.vcf", "vcf44-features.vcf", "multisample.vcf.gz"]


def text_of(path):
    data = path.read_bytes() if hasattr(path, "read_bytes") else open(path, "rb").read()
    return gzip.decompress(data) if data[:2] == b"\x1f\x8b" else data


def record_lines(data):
    return [line for line in data.splitlines() if not line.startswith(b"#")]


def manifest_rows(directory):
    lines = (directory / "manifest.tsv").read_text().splitlines()
    assert lines[0] == "file\tindex\trecords\tfirst_chrom\tfirst_pos\tlast_chrom\tlast_pos\tbytes"
    return [line.split("\t") for line in lines[1:]]


def check_chunks(chunks, directory, source_records):
    """The chunks hold the input's records in order, each file with its header; the
    manifest and the returned list describe the files."""
    joined = []
    for chunk, row in zip(chunks, manifest_rows(directory), strict=True):
        data = text_of(chunk.path)
        assert data.startswith(b"##")
        lines = record_lines(data)
        joined += lines
        first, last = lines[0].split(b"\t"), lines[-1].split(b"\t")
        assert (chunk.records, chunk.first_chrom, chunk.first_pos, chunk.last_chrom, chunk.last_pos) == (
            len(lines), first[0].decode(), int(first[1]), last[0].decode(), int(last[1]))
        assert chunk.bytes == os.path.getsize(chunk.path)
        index_name = os.path.basename(chunk.index_path) if chunk.index_path else ""
        assert row == [os.path.basename(chunk.path), index_name, *map(str, chunk[2:])]
    assert joined == source_records


@pytest.mark.parametrize("compression", [None, "fast"])
def test_records_per_chunk_writes_what_the_batch_split_writes(tmp_path, compression):
    for sample in SAMPLES:
        source = DATA / sample
        kestrel_dir, scatter_dir = tmp_path / sample / "kestrel", tmp_path / sample / "scatter"
        subprocess.run([sys.executable, "-c", "import kestrel, sys; kestrel.py_extract_variants_to_batches("
                        f"{str(source)!r}, {str(kestrel_dir)!r}, 100, {compression!r})"],
                       env=child_env(), check=True, capture_output=True)
        chunks = kestrel_scatter.scatter(source, scatter_dir, records_per_chunk=100, compression=compression)
        names = sorted(p.name for p in kestrel_dir.iterdir())
        assert [os.path.basename(c.path) for c in chunks] == names
        assert all((kestrel_dir / n).read_bytes() == (scatter_dir / n).read_bytes() for n in names)
        check_chunks(chunks, scatter_dir, record_lines(text_of(source)))


def regions(chunk, rng):
    """Whole sequences, and random stretches around the chunk's records."""
    positions = {}
    for line in record_lines(text_of(chunk.path)):
        chrom, pos = line.split(b"\t")[:2]
        positions.setdefault(chrom.decode(), []).append(int(pos))
    found = []
    for chrom, pos in positions.items():
        found.append(chrom)
        for _ in range(8):
            start = max(1, rng.choice(pos) - rng.choice([0, 10, 5000, 200000]))
            found.append(f"{chrom}:{start}-{start + rng.choice([0, 100, 20000, 3000000])}")
    return found


@pytest.mark.parametrize("fmt", ["tbi", "csi"])
def test_chunk_indexes_answer_like_tabix(tmp_path, fmt):
    rng = random.Random(16)
    samples = SAMPLES + (["sites-index.vcf"] if fmt == "csi" else [])
    for sample in samples:
        out, theirs = tmp_path / sample, tmp_path / f"{sample}-theirs"
        theirs.mkdir()
        source_records = record_lines(text_of(DATA / sample))
        chunks = kestrel_scatter.scatter(DATA / sample, out, chunks=3, compression="fast", index=fmt)
        # bcftools takes every chunk of an input it takes (one sample uses VCF 4.4 fields it rejects).
        readable = subprocess.run(["bcftools", "view", "-H", DATA / sample], capture_output=True).returncode == 0
        assert [c.records for c in chunks] == [len(source_records) // 3 + (i < len(source_records) % 3)
                                               for i in range(3)]
        check_chunks(chunks, out, source_records)
        for chunk in chunks:
            assert chunk.index_path == f"{chunk.path}.{fmt}"
            subprocess.run(["bgzip", "-t", chunk.path], check=True)
            if readable:
                view = subprocess.run(["bcftools", "view", "-H", chunk.path], check=True, capture_output=True)
                assert view.stdout.count(b"\n") == chunk.records
            copy = theirs / os.path.basename(chunk.path)
            shutil.copy(chunk.path, copy)
            subprocess.run(["tabix", "-p", "vcf", copy] if fmt == "tbi" else ["bcftools", "index", "-c", copy],
                           check=True)
            for region in regions(chunk, rng):
                ours = subprocess.run(["tabix", chunk.path, region], check=True, capture_output=True)
                peer = subprocess.run(["tabix", copy, region], check=True, capture_output=True)
                assert ours.stdout == peer.stdout, (sample, region)


HEAD = b"##fileformat=VCFv4.2\n#CHROM\tPOS\tID\tREF\tALT\n"


def test_a_span_is_the_larger_of_end_and_ref_for_old_and_current_readers(tmp_path):
    """tabix 1.16 takes END alone, current htslib (pysam's) the larger of END and REF's
    span: an index built on the larger span answers both as their own indexes do."""
    import pysam
    rows = [f"c\t16383\t.\t{'A' * 20}\tA\t.\t.\tEND=16384", "c\t16390\t.\tA\t<DEL>\t.\t.\tEND=20000",
            f"c\t30000\t.\t{'A' * 200}\tA\t.\t.\tEND=29999", f"c\t49150\t.\t{'A' * 5000}\tA\t.\t.\tEND=49160",
            "c\t60000\t.\tA\tG\t.\t.\t."]
    source = tmp_path / "in.vcf"
    source.write_text("##fileformat=VCFv4.2\n##contig=<ID=c>\n#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\n"
                      + "\n".join(rows) + "\n")
    regions = [(16384, 16390), (16390, 16400), (29999, 30001), (30100, 30150), (49160, 49170), (52000, 54500)]
    for fmt, build in [("tbi", ["tabix", "-p", "vcf"]), ("csi", ["bcftools", "index", "-c"])]:
        chunk = kestrel_scatter.scatter(source, tmp_path / fmt, chunks=1, compression="fast", index=fmt)[0]
        old, current = tmp_path / f"old.{fmt}.vcf.gz", tmp_path / f"current.{fmt}.vcf.gz"
        shutil.copy(chunk.path, old)
        shutil.copy(chunk.path, current)
        subprocess.run([*build, old], check=True, capture_output=True)
        pysam.tabix_index(str(current), preset="vcf", force=True, keep_original=True, csi=fmt == "csi")
        for start, end in regions:
            region = f"c:{start + 1}-{end}"
            assert (subprocess.run(["tabix", chunk.path, region], capture_output=True, check=True).stdout
                    == subprocess.run(["tabix", old, region], capture_output=True, check=True).stdout), region
            ours = list(pysam.TabixFile(chunk.path, index=chunk.index_path).fetch("c", start, end))
            theirs = pysam.TabixFile(str(current), index=f"{current}.{fmt}")
            assert ours == list(theirs.fetch("c", start, end)), region
            assert ours or (start, end) == (52000, 54500)


@pytest.mark.parametrize("body, fmt, line, message", [
    (b"1\t5\t.\tA\tC\n2\t5\t.\tA\tC\n1\t9\t.\tA\tC\n", "tbi", 5, 'CHROM "1" appears again after "2"'),
    (b"1\t5\t.\tA\tC\n1\t4\t.\tA\tC\n", "csi", 4, "POS 4 comes after POS 5"),
    (b"1\t5\t.\tA\tC\n1\tfive\t.\tA\tC\n", "tbi", 4, 'POS "five" is not a number'),
    (b"1\t5\t.\tA\tC\n1\t536870913\t.\tA\tC\n", "tbi", 4, "the most a TBI index holds; use CSI"),
    (b"1\t5\t.\tA\tC\n##late\n1\t6\t.\tA\tC\n", "tbi", 4, "a header line among the records"),
])
def test_indexing_refuses_with_the_line(tmp_path, body, fmt, line, message):
    source = tmp_path / "in.vcf"
    source.write_bytes(HEAD + body)
    # Chunks of two records: an order broken across two chunks is found as well.
    with pytest.raises(kestrel_scatter.InputError, match=message) as raised:
        kestrel_scatter.scatter(source, tmp_path / "out", records_per_chunk=2, compression="fast", index=fmt)
    assert (raised.value.path, raised.value.line) == (str(source), line)
    assert not (tmp_path / "out" / "manifest.tsv").exists()
    assert not [p for p in (tmp_path / "out").glob(".*")] if (tmp_path / "out").exists() else True
    # Splitting alone never looks at the order.
    assert kestrel_scatter.scatter(source, tmp_path / "plain", records_per_chunk=2, compression="fast")


def test_arguments_and_failures_raise_ordinary_exceptions(tmp_path):
    source = tmp_path / "in.vcf"
    source.write_bytes(HEADER + records(3))
    scatter = kestrel_scatter.scatter
    for bad, kind in [({}, ValueError), ({"chunks": 2, "records_per_chunk": 2}, ValueError),
                      ({"chunks": 0}, ValueError), ({"chunks": True}, TypeError),
                      ({"chunks": 2, "index": "tbi"}, ValueError), ({"chunks": 2, "compression": "gzip"}, ValueError),
                      ({"chunks": 2, "compression": "fast", "index": "bai"}, ValueError),
                      ({"records_per_chunk": 0}, ValueError), ({"chunks": 2, "client": object()}, TypeError),
                      ({"chunks": 2, "range_bytes": 65535}, ValueError)]:
        with pytest.raises(kind):
            scatter(source, tmp_path / "out", **bad)
    with pytest.raises(ValueError, match="output_dir must not be empty"):
        scatter(source, "", chunks=2)
    with pytest.raises(NotADirectoryError, match="is not a directory"):
        scatter(source, source, chunks=2)
    with pytest.raises(ValueError, match="null"):
        scatter(f"{source}\0x", tmp_path / "out", chunks=2)
    with pytest.raises(FileNotFoundError) as missing:
        scatter(tmp_path / "missing.vcf", tmp_path / "out", chunks=2)
    assert missing.value.filename == str(tmp_path / "missing.vcf")
    (tmp_path / "out").mkdir()
    (tmp_path / "out" / "batch_02.vcf").mkdir()
    with pytest.raises(IsADirectoryError) as clash:
        scatter(source, tmp_path / "out", chunks=3)
    assert clash.value.filename == str(tmp_path / "out" / "batch_02.vcf")
    with pytest.raises(OSError, match=f"batch file {tmp_path}/out/batch_01.vcf is the input file$"):
        scatter(tmp_path / "out" / "batch_01.vcf", tmp_path / "out", records_per_chunk=1)
    damaged = tmp_path / "damaged.vcf.gz"
    damaged.write_bytes(gzip.compress(HEADER + records(3))[:-3])  # gzip cut short
    with pytest.raises(kestrel_scatter.InputError, match="gzip"):
        scatter(damaged, tmp_path / "out2", chunks=2)
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == ["batch_01.vcf", "batch_02.vcf"]


def test_callbacks_see_every_chunk_and_can_end_the_call(tmp_path):
    source = tmp_path / "in.vcf"
    source.write_bytes(HEADER + records(10))
    seen, progress = [], []
    chunks = kestrel_scatter.scatter(source, tmp_path / "out", chunks=4, on_chunk=seen.append,
                                     progress=lambda done, total: progress.append((done, total)))
    assert seen == chunks and [c.records for c in chunks] == [3, 3, 2, 2]
    size = source.stat().st_size
    assert progress and all(total == 2 * size and done <= total for done, total in progress)

    def stop(chunk):
        if chunk.records == 3:
            raise KeyError("enough")
    with pytest.raises(KeyError, match="enough"):
        kestrel_scatter.scatter(source, tmp_path / "again", chunks=4, on_chunk=stop)
    assert sorted(p.name for p in (tmp_path / "again").iterdir()) == ["batch_01.vcf"]

    # Fewer records than chunks: one chunk per record; none for no records.
    assert [c.records for c in kestrel_scatter.scatter(source, tmp_path / "few", chunks=50)] == [1] * 10
    kestrel_scatter.scatter(source, tmp_path / "few", chunks=50, manifest=False)
    assert not (tmp_path / "few" / "manifest.tsv").exists()  # the earlier run's would mislead
    empty = tmp_path / "empty.vcf"
    empty.write_bytes(HEADER)
    assert kestrel_scatter.scatter(empty, tmp_path / "none", chunks=3) == []
    assert manifest_rows(tmp_path / "none") == []


def test_an_input_that_changes_between_the_passes_fails_the_call(tmp_path):
    source = tmp_path / "in.vcf"
    source.write_bytes(HEADER + records(1_000_000))  # 16 MB, read 1 MiB at a time

    def shrink(chunk):
        if chunk.records and os.path.getsize(source) > 4 << 20:
            os.truncate(source, 4 << 20)
    with pytest.raises(kestrel_scatter.InputError, match="the input changed while it was read: 1000000 records "
                                                         "counted, then [0-9]+ read") as changed:
        kestrel_scatter.scatter(source, tmp_path / "out", chunks=16, on_chunk=shrink)
    assert (changed.value.path, changed.value.line) == (str(source), None)
    assert not (tmp_path / "out" / "manifest.tsv").exists()


def test_indexing_a_huge_allele_costs_no_memory(tmp_path):
    source = tmp_path / "in.vcf"
    with open(source, "wb") as out:
        out.write(HEAD + b"1\t5\t.\t" + b"A" * (100 << 20) + b"\t" + b"G" * (60 << 20) + b"\t.\t.\tEND=9\n")
        out.write(b"1\t6\t.\tA\tC\n")
    # VmHWM is this process's own peak; ru_maxrss would count the parent's before exec.
    code = (
        "import kestrel_scatter\n"
        f"kestrel_scatter.scatter({str(source)!r}, {str(tmp_path / 'out')!r}, chunks=1, compression='fast',"
        " index='csi')\n"
        "print(next(int(l.split()[1]) for l in open('/proc/self/status') if l.startswith('VmHWM')) // 1024)\n"
    )
    peak_mb = int(run_python(code).stdout.decode().splitlines()[-1])
    # The sanitizers' own memory counts too; the allele alone would be 160 MB.
    assert peak_mb < (96 if os.environ.get("KESTREL_UNDER_SANITIZER") else 64)
    copy = tmp_path / "theirs.vcf.gz"
    shutil.copy(tmp_path / "out" / "batch_01.vcf.gz", copy)
    subprocess.run(["bcftools", "index", "-c", copy], check=True)
    for region in ["1:5-5", "1:9-9", "1:10-100000000", "1:104857604-104857605", "1:6"]:
        ours = subprocess.run(["tabix", tmp_path / "out" / "batch_01.vcf.gz", region], check=True, capture_output=True)
        assert ours.stdout == subprocess.run(["tabix", copy, region], check=True, capture_output=True).stdout, region


def test_the_lock_is_released_while_it_works(tmp_path):
    source = tmp_path / "in.vcf"
    source.write_bytes(HEADER + records(200_000))
    ticks = []
    stop = threading.Event()
    ticker = threading.Thread(target=lambda: [ticks.append(1) or stop.wait(0.005) for _ in iter(stop.is_set, True)])
    ticker.start()
    try:
        kestrel_scatter.scatter(source, tmp_path / "out", chunks=4, compression="best")
    finally:
        stop.set()
        ticker.join()
    assert len(ticks) > 20


def test_type_stub_matches_the_module():
    import ast
    import inspect
    from conftest import REPO
    stub = ast.parse((REPO / "python" / "kestrel_scatter-stubs" / "__init__.pyi").read_text())
    scatter = next(n for n in stub.body if isinstance(n, ast.FunctionDef) and n.name == "scatter")
    chunk = next(n for n in stub.body if isinstance(n, ast.ClassDef) and n.name == "Chunk")
    stub_parameters = [a.arg for a in scatter.args.args + scatter.args.kwonlyargs]
    assert stub_parameters == list(inspect.signature(kestrel_scatter.scatter).parameters)
    assert [n.name for n in chunk.body if isinstance(n, ast.FunctionDef)] == list(kestrel_scatter.Chunk.__match_args__)
    exported = ast.literal_eval(next(n.value for n in stub.body if isinstance(n, ast.Assign)))
    assert sorted(kestrel_scatter.__dict__.keys() & set(exported)) == sorted(exported)
    # The names of the levels: one list for the module, its stub and the command line.
    compression = next(a.annotation for a in scatter.args.kwonlyargs if a.arg == "compression")
    literal = next(n for n in ast.walk(compression) if isinstance(n, ast.Subscript))
    assert [e.value for e in literal.slice.elts] == list(kestrel_scatter.COMPRESSION_LEVELS)
    assert kestrel_scatter.COMPRESSION_LEVELS == {"fast": 1, "default": 6, "best": 9}
