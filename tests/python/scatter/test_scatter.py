"""kestrel_scatter as Python callers see it: the chunks against the batch split, their
indexes against tabix and bcftools as black boxes, input it refuses and its callbacks
(the interpreter lock: tests/python/kestrel/test_runtime.py)."""
import ast
import gzip
import inspect
import os
import random
import shutil
import subprocess

import pytest

import kestrel_scatter
from conftest import (DATA, HEADER, REPO, UNDER_SANITIZER, bgzf, files, leftovers, records, run_python,
                      split_in_subprocess, text_of)

SAMPLES = ["small-cohort.vcf.gz", "haploid-x.vcf", "vcf44-features.vcf", "multisample.vcf.gz"]


def record_lines(data):
    return [line for line in data.splitlines() if not line.startswith(b"#")]


def check_chunks(chunks, directory, source_records):
    """The chunks hold the input's records in order, each file with its header; the
    manifest and the returned list describe the files."""
    rows = (directory / "manifest.tsv").read_text().splitlines()
    assert rows[0] == "file\tindex\trecords\tfirst_chrom\tfirst_pos\tlast_chrom\tlast_pos\tbytes"
    joined = []
    for chunk, row in zip(chunks, rows[1:], strict=True):
        data = text_of(chunk.path)
        lines = record_lines(data)
        joined += lines
        first, last = lines[0].split(b"\t"), lines[-1].split(b"\t")
        assert data.startswith(b"##") and tuple(chunk)[2:7] == (
            len(lines), first[0].decode(), int(first[1]), last[0].decode(), int(last[1]))
        assert chunk.bytes == os.path.getsize(chunk.path)
        index_name = os.path.basename(chunk.index_path) if chunk.index_path else ""
        assert row.split("\t") == [os.path.basename(chunk.path), index_name, *map(str, chunk[2:])]
    assert joined == source_records


def regions(chunk, rng):
    """Whole sequences, and random stretches around the chunk's records."""
    positions = {}
    for line in record_lines(text_of(chunk.path)):
        chrom, pos = line.split(b"\t")[:2]
        positions.setdefault(chrom.decode(), []).append(int(pos))
    for chrom, pos in positions.items():
        yield chrom
        for _ in range(8):
            start = max(1, rng.choice(pos) - rng.choice([0, 10, 5000, 200000]))
            yield f"{chrom}:{start}-{start + rng.choice([0, 100, 20000, 3000000])}"


def same_answers(ours, theirs, regions):
    for region in regions:
        answers = [subprocess.run(["tabix", path, region], check=True, capture_output=True).stdout
                   for path in (ours, theirs)]
        assert answers[0] == answers[1], (ours, region)


@pytest.mark.parametrize("options", [{"records_per_chunk": 100}, {"records_per_chunk": 100, "compression": "fast"},
                                     {"chunks": 3, "compression": "fast", "index": "tbi"},
                                     {"chunks": 3, "compression": "fast", "index": "csi"}],
                         ids=["plain", "fast", "tbi", "csi"])
def test_chunks_are_the_batch_splits_and_their_indexes_answer_like_tabix(tmp_path, options):
    rng, fmt = random.Random(16), options.get("index")
    if fmt is None:  # records_per_chunk writes what the batch module writes, byte for byte
        level = options.get("compression")
        split_in_subprocess(calls=[(DATA / sample, tmp_path / "batch" / sample, 100, level) for sample in SAMPLES])
    for sample in SAMPLES + (["sites-index.vcf"] if fmt == "csi" else []):
        out, theirs = tmp_path / sample, tmp_path / f"{sample}-theirs"
        source_records = record_lines(text_of(sample))
        chunks = kestrel_scatter.scatter(DATA / sample, out, **options)
        check_chunks(chunks, out, source_records)
        if fmt is None:
            written = files(out)
            assert written.pop("manifest.tsv") and written == files(tmp_path / "batch" / sample)
            continue
        n = len(source_records)
        assert [c.records for c in chunks] == [n // 3 + (i < n % 3) for i in range(3)]
        # bcftools takes every chunk of an input it takes (one sample uses VCF 4.4 fields it rejects).
        readable = subprocess.run(["bcftools", "view", "-H", DATA / sample], capture_output=True).returncode == 0
        theirs.mkdir()
        for chunk in chunks:
            assert chunk.index_path == f"{chunk.path}.{fmt}"
            subprocess.run(["bgzip", "-t", chunk.path], check=True)
            if readable:
                view = subprocess.run(["bcftools", "view", "-H", chunk.path], check=True, capture_output=True)
                assert view.stdout.count(b"\n") == chunk.records
            copy = shutil.copy(chunk.path, theirs)
            subprocess.run(["tabix", "-p", "vcf", copy] if fmt == "tbi" else ["bcftools", "index", "-c", copy],
                           check=True)
            same_answers(chunk.path, copy, regions(chunk, rng))


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
    spans = [(16384, 16390), (16390, 16400), (29999, 30001), (30100, 30150), (49160, 49170), (52000, 54500)]
    for fmt, build in [("tbi", ["tabix", "-p", "vcf"]), ("csi", ["bcftools", "index", "-c"])]:
        chunk = kestrel_scatter.scatter(source, tmp_path / fmt, chunks=1, compression="fast", index=fmt)[0]
        old = shutil.copy(chunk.path, tmp_path / f"old.{fmt}.vcf.gz")
        current = shutil.copy(chunk.path, tmp_path / f"current.{fmt}.vcf.gz")
        subprocess.run([*build, old], check=True, capture_output=True)
        pysam.tabix_index(str(current), preset="vcf", force=True, keep_original=True, csi=fmt == "csi")
        same_answers(chunk.path, old, [f"c:{start + 1}-{end}" for start, end in spans])
        for start, end in spans:
            ours = list(pysam.TabixFile(chunk.path, index=chunk.index_path).fetch("c", start, end))
            assert ours == list(pysam.TabixFile(str(current), index=f"{current}.{fmt}").fetch("c", start, end))
            assert ours or (start, end) == (52000, 54500)


def test_a_huge_line_costs_no_memory_and_a_field_an_index_cannot_take_is_refused_in_words(tmp_path):
    huge = 50 << 20
    inputs = {"chrom": [b"c" * huge, b"\t1\t.\tA\tG\t.\t.\t.\n"],
              "info": [b"1\t1\t.\tA\tG\t.\t.\tX=", b"i" * huge, b";END=9\n1\t2\t.\tA\tG\t.\t.\t.\n"],
              "pos": [b"1\t", b"7" * huge, b"\t.\tA\tG\t.\t.\t.\n"],
              "allele": [b"1\t5\t.\t", b"A" * (100 << 20), b"\t", b"G" * (60 << 20), b"\t.\t.\tEND=9\n1\t6\t.\tA\tC\n"]}
    for name, pieces in inputs.items():
        with open(tmp_path / f"{name}.vcf", "wb") as out:
            out.writelines([HEADER, *pieces])
    code = f"""
import resource, kestrel_scatter
def status(field):
    return next(int(l.split()[1]) for l in open("/proc/self/status") if l.startswith(field))
if not {UNDER_SANITIZER}:  # the sanitizer reserves more address space than the limit
    resource.setrlimit(resource.RLIMIT_AS, ((status("VmSize:") + 200 * 1024) * 1024, resource.RLIM_INFINITY))
for name in {list(inputs)}:
    try:
        chunks = kestrel_scatter.scatter(f"{tmp_path}/{{name}}.vcf", f"{tmp_path}/{{name}}", chunks=1,
                                         compression="fast", index="csi")
        print(name, "ok", [c.records for c in chunks])
    except kestrel_scatter.InputError as e:
        print(name, "refused", e.line, len(str(e)))
# VmHWM is this process's own peak; ru_maxrss would count the parent's before exec.
print(status("VmHWM:") // 1024)
"""
    *lines, peak_mb = run_python(code).stdout.decode().splitlines()
    chrom_message = f"{tmp_path}/chrom.vcf: line 3: CHROM is longer than 1024 bytes"
    assert lines[:2] + lines[3:] == [f"chrom refused 3 {len(chrom_message)}", "info ok [2]", "allele ok [2]"]
    assert lines[2].startswith("pos refused 3 ") and int(lines[2].split()[-1]) < 200 + len(str(tmp_path))
    # The sanitizers' own memory counts too; the allele alone would be 160 MB.
    assert int(peak_mb) < (96 if UNDER_SANITIZER else 64)
    copy = shutil.copy(tmp_path / "allele" / "batch_01.vcf.gz", tmp_path / "theirs.vcf.gz")
    subprocess.run(["bcftools", "index", "-c", copy], check=True)
    same_answers(tmp_path / "allele" / "batch_01.vcf.gz", copy,
                 ["1:5-5", "1:9-9", "1:10-100000000", "1:104857604-104857605", "1:6"])


@pytest.mark.parametrize("data, index, line, words", [
    (HEADER + b"1\t5\t.\tA\tC\n2\t5\t.\tA\tC\n1\t9\t.\tA\tC\n", "tbi", 5, 'CHROM "1" appears again after "2"'),
    # by_contig finds it too, without an index.
    (HEADER + b"1\t5\t.\tA\tC\n2\t5\t.\tA\tC\n1\t9\t.\tA\tC\n", "by_contig", 5, 'CHROM "1" appears again after "2"'),
    (HEADER + b"1\t5\t.\tA\tC\n1\t4\t.\tA\tC\n", "csi", 4, "POS 4 comes after POS 5"),
    (HEADER + b"1\t5\t.\tA\tC\n1\tfive\t.\tA\tC\n", "tbi", 4, 'POS "five" is not a number'),
    (HEADER + b"1\t5\t.\tA\tC\n1\t536870913\t.\tA\tC\n", "tbi", 4, "the most a TBI index holds; use CSI"),
    (HEADER + b"1\t5\t.\tA\tC\n##late\n1\t6\t.\tA\tC\n", "tbi", 4, "a header line among the records"),
    (gzip.compress(HEADER + records(3))[:-12], None, None, "ends inside a gzip member"),
    (bgzf(HEADER + records(7))[:-40], None, None, "damaged BGZF input: the file ends inside a block"),
])
def test_input_that_cannot_be_split_or_indexed_is_refused_in_words(tmp_path, data, index, line, words):
    source, out = tmp_path / "in.vcf", tmp_path / "out"
    source.write_bytes(data)
    # Chunks of two records: an order broken across two chunks is found as well.
    with pytest.raises(kestrel_scatter.InputError) as refused:
        kestrel_scatter.scatter(source, out, records_per_chunk=2, compression="fast",
                                **({"by_contig": True} if index == "by_contig" else {"index": index}))
    message = str(refused.value)
    assert (refused.value.path, refused.value.line) == (str(source), line)
    assert message.startswith(f"{source}: ") and words in message
    assert "IoError" not in message and "InvalidData" not in message  # no debug form of the error
    assert "manifest.tsv" not in files(out) and leftovers(out) == []
    if index:  # splitting alone never looks at the order
        assert kestrel_scatter.scatter(source, tmp_path / "plain", records_per_chunk=2, compression="fast")


def test_callbacks_see_every_chunk_and_can_end_the_call_and_the_counts_hold(tmp_path):
    source = tmp_path / "in.vcf"
    source.write_bytes(HEADER + records(10))
    seen, progress = [], []
    chunks = kestrel_scatter.scatter(source, tmp_path / "out", chunks=4, on_chunk=seen.append,
                                     progress=lambda done, total: progress.append((done, total)))
    assert seen == chunks and [c.records for c in chunks] == [3, 3, 2, 2]
    # A file URL is the local path it names, percent-decoded (an index named by ##idx## too,
    # here one that is not there): so is every Chunk's path.
    url_chunks = kestrel_scatter.scatter(f"file://{source}##idx##file:///no%20such.tbi", f"FILE:{tmp_path}/url%3F",
                                         chunks=4, compression="FAST")
    assert [c.path for c in url_chunks] == [str(tmp_path / "url?" / f"batch_0{n}.vcf.gz") for n in range(1, 5)]
    assert progress and all(total == 2 * source.stat().st_size and done <= total for done, total in progress)

    def stop(chunk):
        raise KeyError("enough")
    with pytest.raises(KeyError, match="enough"):
        kestrel_scatter.scatter(source, tmp_path / "again", chunks=4, on_chunk=stop)
    assert sorted(files(tmp_path / "again")) == ["batch_01.vcf"]

    # Fewer records than chunks: one chunk per record; none for no records.
    assert [c.records for c in kestrel_scatter.scatter(source, tmp_path / "few", chunks=50)] == [1] * 10
    kestrel_scatter.scatter(source, tmp_path / "few", chunks=50, manifest=False)
    assert "manifest.tsv" not in files(tmp_path / "few")  # the earlier run's would mislead
    (tmp_path / "empty.vcf").write_bytes(HEADER)
    assert kestrel_scatter.scatter(tmp_path / "empty.vcf", tmp_path / "none", chunks=3) == []
    assert (tmp_path / "none" / "manifest.tsv").read_text().count("\n") == 1
    # A file whose size says 0 is read as a stream, not taken as empty.
    cpuinfo = open("/proc/cpuinfo", "rb").read()
    chunks = kestrel_scatter.scatter("/proc/cpuinfo", tmp_path / "cpu", chunks=2)
    assert sum(c.records for c in chunks) == len(record_lines(cpuinfo))

    # An input that changes between the two passes fails the call.
    source.write_bytes(HEADER + records(1_000_000))  # 16 MB, read 1 MiB at a time

    def shrink(chunk):
        if os.path.getsize(source) > 4 << 20:
            os.truncate(source, 4 << 20)
    with pytest.raises(kestrel_scatter.InputError, match="the input changed while it was read: 1000000 records "
                                                         "counted, then [0-9]+ read") as changed:
        kestrel_scatter.scatter(source, tmp_path / "changed", chunks=16, on_chunk=shrink)
    assert (changed.value.path, changed.value.line) == (str(source), None)
    assert "manifest.tsv" not in files(tmp_path / "changed")


def test_type_stub_matches_the_module():
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
