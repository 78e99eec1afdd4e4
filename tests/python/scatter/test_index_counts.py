"""A fixed number of chunks of BGZF input planned from the record counts of its index
(tabix and bcftools write them, as black boxes): the counting pass is spared when the
index is fresh and counts, and whatever the index says the files are those of a run
that counted. The progress total tells the passes apart: one read of the input, two
with the counting pass, three when a count from the index did not hold."""
import gzip
import os
import shutil
import struct
import subprocess

import pytest

import kestrel_scatter
from conftest import bgzf, files, text_of

pytestmark = pytest.mark.skipif(not (shutil.which("tabix") and shutil.which("bcftools")) and not os.environ.get("CI"),
                                reason="tabix and bcftools are needed")
OPTIONS = dict(chunks=4, compression="fast", index="tbi")


def run(source, out, **options):
    """What a caller sees of a run: its exception (with `out` left out of the text), the
    files it left, and the largest progress total it heard."""
    totals, failure = [], None
    try:
        kestrel_scatter.scatter(source, out, progress=lambda done, total: totals.append(total),
                                **{**OPTIONS, **options})
    except Exception as error:  # noqa: BLE001 - compared with the counted run's
        failure = (type(error), str(error).replace(str(out), "OUT"))
    return failure, files(out), max(totals, default=0)


def strip_pseudo_bins(tbi):
    """The same TBI without the bins that count each reference's records."""
    data = gzip.decompress(tbi)
    n_ref, l_nm = struct.unpack_from("<i", data, 4)[0], struct.unpack_from("<i", data, 32)[0]
    out, at = bytearray(data[:36 + l_nm]), 36 + l_nm
    for _ in range(n_ref):
        (n_bin,), at = struct.unpack_from("<i", data, at), at + 4
        bins = []
        for _ in range(n_bin):
            bin_, n_chunk = struct.unpack_from("<Ii", data, at)
            end = at + 8 + 16 * n_chunk
            if bin_ != 37450:
                bins.append(data[at:end])
            at = end
        (n_intv,) = struct.unpack_from("<i", data, at)
        out += struct.pack("<i", len(bins)) + b"".join(bins) + data[at:at + 4 + 8 * n_intv]
        at += 4 + 8 * n_intv
    return bgzf(bytes(out + data[at:]))


@pytest.fixture
def inputs(tmp_path):
    """in.vcf.gz (records on several sequences) with a fresh tabix index, and the
    indexes of files with fewer and more records."""
    text = text_of("small-cohort.vcf.gz")
    head = b"".join(line for line in text.splitlines(keepends=True) if line.startswith(b"#"))
    body = [line for line in text.splitlines(keepends=True) if not line.startswith(b"#")]
    made = {}
    for name, lines in (("fewer", body[:-3]), ("more", body + body[-1:]), ("in", body)):
        (tmp_path / f"{name}.vcf.gz").write_bytes(bgzf(head + b"".join(lines)))
        subprocess.run(["tabix", "-p", "vcf", tmp_path / f"{name}.vcf.gz"], check=True)
        made[name] = tmp_path / f"{name}.vcf.gz"
    return made, head, body


def test_a_fresh_index_spares_the_counting_and_no_index_changes_the_files_nor_a_failure(inputs, client, s3,
                                                                                        tmp_path):
    made, head, body = inputs
    source, tbi = made["in"], made["in"].with_name("in.vcf.gz.tbi")
    size = source.stat().st_size
    counted = shutil.copy(source, tmp_path / "counted.vcf.gz")  # no index beside it
    expected = run(counted, tmp_path / "c0")
    assert expected[0] is None and expected[2] == 2 * size and len(expected[1]) == 9

    def same_as_counted(out, total, given=source, **options):
        failure, written, seen = run(given, tmp_path / out, **options)
        assert (failure, written) == expected[:2] and seen == total, out

    same_as_counted("tbi", size)
    tbi.rename(tmp_path / "elsewhere.tbi")
    same_as_counted("idx-rule", size, f"{source}##idx##{tmp_path / 'elsewhere.tbi'}")
    subprocess.run(["bcftools", "index", "-c", source], check=True)
    same_as_counted("csi", size)
    os.remove(source.with_name("in.vcf.gz.csi"))
    # A stale index (older than the input), and one without counts: the counting pass.
    shutil.copy(tmp_path / "elsewhere.tbi", tbi)
    os.utime(tbi, ns=(source.stat().st_mtime_ns - 10**9,) * 2)
    same_as_counted("stale", 2 * size)
    tbi.write_bytes(strip_pseudo_bins((tmp_path / "elsewhere.tbi").read_bytes()))
    same_as_counted("no-counts", 2 * size)
    # Fresh indexes of other files: their counts do not hold, and the run counts again.
    for other in ("fewer", "more"):
        shutil.copy(made[other].with_name(f"{other}.vcf.gz.tbi"), tbi)
        same_as_counted(other, 3 * size)
    # keep_together plans from the index too, and a lying one still gives its chunks.
    expected = run(counted, tmp_path / "k0", keep_together="position")
    same_as_counted("kept-lying", 3 * size, keep_together="position")
    shutil.copy(tmp_path / "elsewhere.tbi", tbi)
    same_as_counted("kept", size, keep_together="position")
    # Two records swapped late in the input: the index of the sorted file counts them
    # right, and the split fails at the same line, the same chunks before it in place.
    swapped = tmp_path / "swapped.vcf.gz"
    swapped.write_bytes(bgzf(head + b"".join(body[:-4] + [body[-3], body[-4]] + body[-2:])))
    expected = run(swapped, tmp_path / "swapped-counted")
    assert expected[0][0] is kestrel_scatter.InputError and "sorted" in expected[0][1]
    assert "batch_01.vcf.gz" in expected[1] and "manifest.tsv" not in expected[1]
    shutil.copy(tbi, f"{swapped}.tbi")
    assert run(swapped, tmp_path / "swapped-from-index")[:2] == expected[:2]
    shutil.copy(made["fewer"].with_name("fewer.vcf.gz.tbi"), tmp_path / "lying.tbi")
    local = run(made["more"], tmp_path / "local")
    on_cluster = run(f"{made['more']}##idx##{tmp_path / 'lying.tbi'}", tmp_path / "cluster", client=client)
    assert local[0] is None and on_cluster[:2] == local[:2]
    bucket = s3.bucket("indexed")
    for name in ("in.vcf.gz", "in.vcf.gz.tbi"):
        s3.fs.put(str(made["in"].with_name(name)), f"indexed/{name}")
    from_s3 = run(f"{bucket}/in.vcf.gz", tmp_path / "from-s3", storage_options=s3.options)
    assert from_s3 == (None, run(made["in"], tmp_path / "in")[1], made["in"].stat().st_size)
