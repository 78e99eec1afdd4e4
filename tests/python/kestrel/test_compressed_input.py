"""Reading ".gz" inputs: BGZF from other tools and hand-built, damaged members."""

import gzip
import shutil
import struct
import subprocess
import zlib

import pytest

import kestrel
from conftest import BGZF_EOF as EOF_MARKER, DATA, HEADER, records, split_in_subprocess
from reference import expected_batches, read_batches

FTEXT, FHCRC, FEXTRA, FNAME, FCOMMENT = 1, 2, 4, 8, 16
READ_FAILURE = "An error occurred reading the compressed file.: "
UNEXPECTED_EOF = 'IoError(Error { kind: UnexpectedEof, message: "failed to fill whole buffer" })'
HEADER_LONGER_THAN_BLOCK = "called `Result::unwrap()` on an `Err` value: TryFromIntError(())"


def deflate(data, level=6):
    compressor = zlib.compressobj(level, zlib.DEFLATED, -15)
    return compressor.compress(data) + compressor.flush()


def member(
    data=b"",
    *,
    level=6,
    cdata=None,
    method=8,
    flags=FEXTRA,
    extra_flags=2,
    subfields=((b"BC", None),),
    xlen=None,
    name=None,
    comment=None,
    bsize=None,
    crc=None,
    isize=None,
    payload=None,
):
    """One gzip member; a subfield whose data is None is "BC" holding BSIZE, which is
    the member's real size - 1 unless given. `payload` replaces CDATA, CRC32 and ISIZE."""
    if payload is None:
        cdata = deflate(data, level) if cdata is None else cdata
        crc = zlib.crc32(data) if crc is None else crc
        isize = len(data) if isize is None else isize
        payload = cdata + struct.pack("<II", crc, isize)
    header = bytearray(b"\x1f\x8b" + bytes([method, flags]) + struct.pack("<I", 0) + bytes([extra_flags, 255]))
    bsize_at = None
    if flags & FEXTRA:
        extra = bytearray()
        for ident, value in subfields:
            if value is None:
                bsize_at = len(header) + 2 + len(extra) + 4
                value = b"\0\0"
            extra += ident + struct.pack("<H", len(value)) + value
        header += struct.pack("<H", len(extra) if xlen is None else xlen) + extra
    if flags & FNAME:
        header += name
    if flags & FCOMMENT:
        header += comment
    if flags & FHCRC:
        header += struct.pack("<H", zlib.crc32(header) & 0xFFFF)
    if bsize_at is not None:
        size = len(header) + len(payload) - 1 if bsize is None else bsize
        header[bsize_at : bsize_at + 2] = struct.pack("<H", size)
    return bytes(header) + payload


def bgzf(text, piece=65280, marker=True, **options):
    blocks = [member(text[i : i + piece], **options) for i in range(0, len(text), piece)]
    return b"".join(blocks) + (EOF_MARKER if marker else b"")


def split(tmp_path, compressed, batch_size, name="in.vcf.gz"):
    source = tmp_path / name
    source.write_bytes(compressed)
    out_dir = tmp_path / "out"
    kestrel.py_extract_variants_to_batches(str(source), str(out_dir), batch_size)
    return read_batches(out_dir)


def split_failure(tmp_path, compressed, batch_size=2):
    with pytest.raises(BaseException) as raised:
        split(tmp_path, compressed, batch_size)
    assert type(raised.value).__name__ == "PanicException"
    return str(raised.value)


# --- Inputs that read -------------------------------------------------------------

TEXT = HEADER + records(40)


def spanning_lines():
    return bgzf(TEXT, piece=7), TEXT


def last_line_without_lf():
    text = TEXT + b"chr1\t999\t.\tC\tT"
    return bgzf(text, piece=50), text


def name_comment_and_header_crc():
    flags = FTEXT | FHCRC | FEXTRA | FNAME | FCOMMENT  # 0x1F
    return bgzf(TEXT, piece=100, flags=flags, name=b"in.vcf\0", comment=b"made by hand\0"), TEXT


def foreign_subfields_before_bc():
    subfields = ((b"XY", b"\x01\x02\x03"), (b"BC", b"\x00\x00\x00\x00"), (b"BC", None))
    return bgzf(TEXT, piece=100, subfields=subfields), TEXT


def largest_block():
    text = HEADER + records(5000)
    assert len(text) > 65536
    return member(text[:65536]) + member(text[65536:]) + EOF_MARKER, text


def mixed_members_without_marker():
    # Members are found by BSIZE alone: stored, fast and best members side by side.
    parts = [TEXT[:300], TEXT[300:900], TEXT[900:]]
    return b"".join(member(part, level=level) for part, level in zip(parts, (0, 1, 9))), TEXT


def empty_blocks_inside_a_line():
    # An empty block that differs from the marker only in XFL, and a stored one.
    first, second = TEXT[:333], TEXT[333:]
    empty = member(b"")
    assert empty != EOF_MARKER and empty[9:] == EOF_MARKER[9:]
    return empty + member(first) + empty + member(b"", level=0) + member(second) + EOF_MARKER, TEXT


def bytes_after_the_marker():
    return bgzf(TEXT) + b"not gzip at all", TEXT


def marker_only():
    return EOF_MARKER + b"\x00garbage", b""


def leading_marker():
    return EOF_MARKER + bgzf(TEXT), TEXT


def concatenated_files_with_an_empty_one_between():
    # The first file ends inside a line: the marker does not cut it.
    second = HEADER + records(5, start=900)
    return bgzf(TEXT[:-4]) + EOF_MARKER * 2 + bgzf(TEXT[-4:] + second) + b"pad", TEXT + second


@pytest.mark.parametrize(
    "make",
    [
        spanning_lines,
        last_line_without_lf,
        name_comment_and_header_crc,
        foreign_subfields_before_bc,
        largest_block,
        mixed_members_without_marker,
        empty_blocks_inside_a_line,
        bytes_after_the_marker,
        marker_only,
        leading_marker,
        concatenated_files_with_an_empty_one_between,
    ],
)
def test_hand_built_bgzf_reads_as_its_text(tmp_path, make):
    compressed, text = make()
    assert split(tmp_path, compressed, 7) == expected_batches(text, 7)


@pytest.fixture
def sample_text():
    lines = (DATA / "haploid-x.vcf").read_bytes().splitlines(keepends=True)
    header = [line for line in lines if line.startswith(b"#")]
    body = [line for line in lines if not line.startswith(b"#")]
    return b"".join(header + body * 2)  # about 1.2 MB: many blocks


@pytest.mark.skipif(shutil.which("bgzip") is None, reason="bgzip not installed")
@pytest.mark.parametrize("level", [1, 6, 9])
def test_files_written_by_bgzip(tmp_path, sample_text, level):
    compressed = subprocess.run(
        ["bgzip", "-c", "-l", str(level)], input=sample_text, capture_output=True, check=True
    ).stdout
    assert split(tmp_path, compressed, 300) == expected_batches(sample_text, 300)


@pytest.mark.skipif(shutil.which("bgzip") is None, reason="bgzip not installed")
def test_concatenated_bgzip_files_read_whole(tmp_path, sample_text):
    def bgzip(text):
        return subprocess.run(["bgzip", "-c"], input=text, capture_output=True, check=True).stdout

    head, body = sample_text[:700_000], sample_text[700_000:]
    compressed = bgzip(b"") + bgzip(head) + bgzip(b"") + bgzip(body)
    assert split(tmp_path, compressed, 300) == expected_batches(sample_text, 300)
    (tmp_path / "lead").mkdir()
    leading = bgzip(b"") + bgzip(b"#h\nr1\nr2\nr3\n")
    assert split(tmp_path / "lead", leading, 2) == [b"#h\nr1\nr2\n", b"#h\nr3\n"]


@pytest.mark.parametrize("name", ["multisample.vcf.gz", "small-cohort.vcf.gz"])
@pytest.mark.parametrize("batch_size", [1, 64, 100000])
def test_shared_bgzf_samples(tmp_path, name, batch_size):
    compressed = (DATA / name).read_bytes()
    expected = expected_batches(gzip.decompress(compressed), batch_size)
    assert split(tmp_path, compressed, batch_size) == expected


def test_compressed_input_to_compressed_output(tmp_path):
    source = DATA / "small-cohort.vcf.gz"
    out_dir = tmp_path / "out"
    try:
        kestrel.py_extract_variants_to_batches(str(source), str(out_dir), 500, "fast")
    except BaseException as error:
        if "not available in this build" in str(error):
            pytest.skip("compressed output not built yet")
        raise
    got = [gzip.decompress(batch) for batch in read_batches(out_dir, ".vcf.gz")]
    assert got == expected_batches(gzip.decompress(source.read_bytes()), 500)


# --- Refusals ---------------------------------------------------------------------

GOOD = b"chr1\t5\t.\tA\tG\n"
BC_AT_END = ((b"XY", b"ab"), (b"BC", None))

REFUSALS = {
    "plain gzip": (gzip.compress(GOOD), READ_FAILURE + "NotBGZF"),
    "extra field without BC": (member(GOOD, subfields=((b"XY", b"ab"),)), READ_FAILURE + "NotBGZF"),
    "BC of four bytes": (member(GOOD, subfields=((b"BC", b"\0\0\0\0"),)), READ_FAILURE + "NotBGZF"),
    "not gzip": (b"chr1\t5\t.\tA\tG\n" * 3, READ_FAILURE + "NotGzip"),
    "cut inside the fixed header": (member(GOOD)[:7], READ_FAILURE + UNEXPECTED_EOF),
    "cut inside the extra field": (member(GOOD)[:15], READ_FAILURE + UNEXPECTED_EOF),
    "cut inside the payload": (member(GOOD)[:-3], READ_FAILURE + UNEXPECTED_EOF),
    "XLEN 3": (member(GOOD, xlen=3), READ_FAILURE + 'Other("Invalid extra field")'),
    "subfields leave 2 bytes over": (
        member(GOOD, subfields=BC_AT_END, xlen=14),
        READ_FAILURE + 'Other("Invalid extra field")',
    ),
    "FLG 0x20": (member(GOOD, flags=FEXTRA | 0x20), READ_FAILURE + 'Other("Unsupported flag")'),
    "compression method 7": (member(GOOD, method=7), READ_FAILURE + 'Other("Unsupported compression method")'),
    "CRC mismatch": (
        member(GOOD, crc=zlib.crc32(GOOD) ^ 1),
        READ_FAILURE + 'Other("unmatched CRC32 of decompressed data")',
    ),
    "corrupt DEFLATE": (
        member(GOOD, cdata=b"\x07\xff\xff\xff"),  # reserved block type
        READ_FAILURE + 'DecompressionError(Other("Unknown Error"))',
    ),
    "DEFLATE cut short": (
        member(GOOD, cdata=deflate(GOOD)[:5]),
        READ_FAILURE + "DecompressionError(InsufficientSpace)",
    ),
    "ISIZE too small": (member(GOOD, isize=3), READ_FAILURE + "DecompressionError(InsufficientSpace)"),
    "ISIZE of 4 GiB": (
        member(GOOD, isize=0xFFFFFFFF),
        READ_FAILURE + 'Other("uncompressed block size exceeds 65536 bytes")',
    ),
    "ISIZE 65537": (
        member(GOOD, isize=65537),
        READ_FAILURE + 'Other("uncompressed block size exceeds 65536 bytes")',
    ),
    "BSIZE 65535": (member(GOOD, bsize=65535), HEADER_LONGER_THAN_BLOCK),
    "BSIZE + 1 below the header length": (member(GOOD, bsize=16), HEADER_LONGER_THAN_BLOCK),
    "empty payload": (
        member(payload=b"", bsize=17),
        "index out of bounds: the len is 0 but the index is 4294967292",
    ),
    "payload of 3 bytes": (
        member(payload=b"\x03\x00\x00"),
        "index out of bounds: the len is 3 but the index is 4294967295",
    ),
    "payload of 6 bytes": (
        member(payload=b"\x03\x00\x00\x00\x00\x00"),  # empty stream, then ISIZE 0
        "index out of bounds: the len is 6 but the index is 4294967294",
    ),
}


@pytest.mark.parametrize("case", REFUSALS)
def test_damaged_first_block_is_refused(tmp_path, case):
    damaged, message = REFUSALS[case]
    assert split_failure(tmp_path, damaged) == message
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize(
    "case, after_a_marker",
    # Bytes after a marker that do not start a gzip member are padding, not damage.
    [(case, False) for case in REFUSALS] + [(case, True) for case in REFUSALS if REFUSALS[case][0][:2] == b"\x1f\x8b"],
)
def test_damaged_later_block_stops_and_keeps_written_batches(tmp_path, case, after_a_marker):
    damaged, message = REFUSALS[case]
    good = member(HEADER + records(3))  # one full batch of 2 is written before the damage
    if after_a_marker:
        good += EOF_MARKER
    assert split_failure(tmp_path, good + damaged) == message
    assert read_batches(tmp_path / "out") == [HEADER + records(2)]


def test_empty_file_is_refused(tmp_path):
    assert split_failure(tmp_path, b"") == READ_FAILURE + UNEXPECTED_EOF


def test_later_failure_reports_like_a_first_block_failure(tmp_path):
    source = tmp_path / "in.vcf.gz"
    source.write_bytes(member(HEADER + records(3)) + member(GOOD, crc=0) + EOF_MARKER)
    result = split_in_subprocess(source, tmp_path / "out", 2, check=False)
    message = READ_FAILURE + 'Other("unmatched CRC32 of decompressed data")'
    assert result.stdout.decode() == "Saving batch_01.vcf\n"
    stderr = result.stderr.decode()
    assert stderr.startswith(f"thread '<unnamed>' panicked at '{message}', ")
    assert stderr.endswith(f"RAISED|PanicException|{message}\n")
