import os

import pytest

import kestrel
from conftest import DATA, HEADER, records, split_in_subprocess
from reference import expected_batches, expected_stdout, read_batches

split = kestrel.py_extract_variants_to_batches

@pytest.mark.parametrize(
    "record_count, batch_size, expected_lines",
    [
        (5, 2, ["Saving batch_01.vcf", "Saving batch_02.vcf",
                "Saving final batch with less than 2 samples to batch_03.vcf",
                "Saved 3 batches with 2 samples to {out}."]),
        (4, 2, ["Saving batch_01.vcf", "Saving batch_02.vcf", "Saved 2 batches with 2 samples to {out}."]),
        (2, 0, ["Saving batch_01.vcf", "Saving batch_02.vcf", "Saved 2 batches with 0 samples to {out}."]),
        (0, 3, ["Saved 0 batches with 3 samples to {out}."]),
    ],
)
def test_progress_lines_and_batch_contents(tmp_path, record_count, batch_size, expected_lines):
    data = HEADER + records(record_count)
    source = tmp_path / "in.vcf"
    source.write_bytes(data)
    out = tmp_path / "out"
    result = split_in_subprocess(source, out, batch_size)
    assert result.stdout.decode() == "\n".join(expected_lines).format(out=out) + "\n"
    assert result.stderr == b""
    if record_count == 0:
        assert not out.exists()  # no batch, no directory
    else:
        assert read_batches(out) == expected_batches(data, batch_size)


def test_batch_size_zero_and_one_write_the_same_files(tmp_path):
    source = tmp_path / "in.vcf"
    source.write_bytes(HEADER + records(3))
    split(str(source), str(tmp_path / "zero"), 0)
    split(str(source), str(tmp_path / "one"), 1)
    assert read_batches(tmp_path / "zero") == read_batches(tmp_path / "one")
    assert len(read_batches(tmp_path / "one")) == 3


def test_header_lines_after_records_join_the_current_and_later_batches(tmp_path):
    data = HEADER + records(2) + records(1, 3) + b"#late header\n" + records(3, 4)
    source = tmp_path / "in.vcf"
    source.write_bytes(data)
    split(str(source), str(tmp_path / "out"), 2)
    batches = read_batches(tmp_path / "out")
    assert [b"#late header" in batch for batch in batches] == [False, True, True]
    assert batches == expected_batches(data, 2)


@pytest.mark.parametrize(
    "body, expected_records",
    [
        (b"a\r\nb\r\n", [b"a", b"b"]),                       # CRLF becomes LF
        (b"a\nlast", [b"a", b"last"]),                       # last line gains LF
        (b"a\nlast\r", [b"a", b"last\r"]),                   # ...and keeps its CR
        (b"\n\r\nx\n", [b"", b"", b"x"]),                     # empty lines are records
        (b"in\rside\r\r\n", [b"in\rside\r"]),                 # only one CR before LF goes
        (b"\xef\xbb\xbf#not header\n", [b"\xef\xbb\xbf#not header"]),  # a BOM is data
        (b"bad \xff\xfe utf-8\nok\n", [b"bad \xff\xfe utf-8", b"ok"]),  # kept byte for byte
    ],
)
def test_line_endings_and_odd_lines(tmp_path, body, expected_records):
    source = tmp_path / "in.vcf"
    source.write_bytes(HEADER + body)
    split(str(source), str(tmp_path / "out"), 1000)
    (batch,) = read_batches(tmp_path / "out")
    assert batch == HEADER + b"".join(r + b"\n" for r in expected_records)


def test_lines_longer_than_the_read_buffer(tmp_path):
    long_record = b"chr1\t1\t" + b"ACGT" * 300_000
    data = HEADER + b"#" + b"h" * 20_000 + b"\n" + long_record + b"\n" + long_record[:9000]
    source = tmp_path / "in.vcf"
    source.write_bytes(data)
    split(str(source), str(tmp_path / "out"), 1)
    assert read_batches(tmp_path / "out") == expected_batches(data, 1)


def test_batch_numbers_are_padded_to_two_digits(tmp_path):
    source = tmp_path / "in.vcf"
    source.write_bytes(HEADER + records(100))
    result = split_in_subprocess(source, tmp_path / "out", 1)
    lines = result.stdout.decode().splitlines()
    assert lines[8] == "Saving batch_09.vcf"
    assert lines[9] == "Saving batch_10.vcf"
    assert lines[99] == "Saving batch_100.vcf"
    names = sorted(os.listdir(tmp_path / "out"))
    assert names[:2] == ["batch_01.vcf", "batch_02.vcf"] and "batch_100.vcf" in names


@pytest.mark.parametrize("suffix", ["", "/", "//"])
def test_output_path_with_or_without_trailing_slash(tmp_path, suffix):
    source = tmp_path / "in.vcf"
    source.write_bytes(HEADER + records(1))
    split(str(source), str(tmp_path / "a" / "b" / "c") + suffix, 5)
    assert (tmp_path / "a" / "b" / "c" / "batch_01.vcf").read_bytes() == HEADER + records(1)


def test_empty_output_path_writes_into_the_working_directory(tmp_path):
    source = tmp_path / "in.vcf"
    source.write_bytes(HEADER + records(3))
    work = tmp_path / "work"
    work.mkdir()
    result = split_in_subprocess(source, "", 2, cwd=work)
    assert sorted(os.listdir(work)) == ["batch_01.vcf", "batch_02.vcf"]
    assert result.stdout.decode().endswith("Saved 2 batches with 2 samples to .\n")


def test_existing_batches_are_replaced_and_higher_numbers_kept(tmp_path):
    out = tmp_path / "out"
    out.mkdir()
    (out / "batch_01.vcf").write_bytes(b"old content that is longer than the new one\n" * 100)
    (out / "batch_07.vcf").write_bytes(b"from an earlier run\n")
    source = tmp_path / "in.vcf"
    source.write_bytes(HEADER + records(2))
    split(str(source), str(out), 1)
    assert (out / "batch_01.vcf").read_bytes() == HEADER + records(1)
    assert (out / "batch_07.vcf").read_bytes() == b"from an earlier run\n"


@pytest.mark.parametrize("name", ["in.vcf.GZ", "in.vcf.gz.txt", "in.gzip", "gz"])
def test_only_a_lower_case_gz_ending_selects_compressed_input(tmp_path, name):
    source = tmp_path / name
    source.write_bytes(HEADER + records(2))
    split(str(source), str(tmp_path / "out"), 5)
    assert read_batches(tmp_path / "out") == [HEADER + records(2)]


def test_read_failure_stops_instead_of_skipping(tmp_path):
    # Reading a process's own memory at offset 0 fails with EIO.
    result = split_in_subprocess("/proc/self/mem", tmp_path / "out", 5, check=False)
    assert result.returncode == 3
    message = result.stderr.decode().splitlines()[-1]
    assert message == ('RAISED|PanicException|An error occurred reading the file.: '
                       'Os { code: 5, kind: Uncategorized, message: "Input/output error" }')
    assert result.stdout == b""
    assert not (tmp_path / "out").exists()


def test_failed_save_keeps_earlier_batches_and_prints_no_summary(tmp_path):
    source = tmp_path / "in.vcf"
    source.write_bytes(HEADER + records(3))
    out = tmp_path / "out"
    out.mkdir()
    (out / "batch_02.vcf").mkdir()  # the second batch cannot be created
    result = split_in_subprocess(source, out, 1, check=False)
    assert result.stdout.decode() == "Saving batch_01.vcf\n"
    assert result.stderr.decode().splitlines()[-1] == (
        "RAISED|PanicException|An error occurred while trying to save batch 2: "
        "I/O Error: Is a directory (os error 21)"
    )
    assert (out / "batch_01.vcf").read_bytes() == HEADER + records(1)


@pytest.mark.parametrize("name", ["haploid-x.vcf", "sites-index.vcf", "vcf44-features.vcf"])
@pytest.mark.parametrize("batch_size", [1, 7, 100, 10_000])
def test_real_files_are_reproduced_in_order(tmp_path, name, batch_size):
    data = (DATA / name).read_bytes()
    out = tmp_path / "out"
    split(str(DATA / name), str(out), batch_size)
    assert read_batches(out) == expected_batches(data, batch_size)


def test_real_file_progress_lines(tmp_path):
    data = (DATA / "haploid-x.vcf").read_bytes()
    out = tmp_path / "out"
    result = split_in_subprocess(DATA / "haploid-x.vcf", out, 100)
    assert result.stdout.decode() == expected_stdout(data, 100, str(out))


def test_paths_with_nul_bytes_are_refused_not_cut_short(tmp_path):
    source = tmp_path / "in.vcf"
    source.write_bytes(HEADER + records(1))
    nul = 'Error { kind: InvalidInput, message: "file name contained an unexpected NUL byte" }'
    with pytest.raises(BaseException) as raised:
        split(str(source) + "\0ignored", str(tmp_path / "out"), 1)
    assert str(raised.value) == "File does not exist.: " + nul
    with pytest.raises(BaseException) as raised:
        split(str(source), str(tmp_path / "out") + "\0/elsewhere", 1)
    assert str(raised.value) == "An error occurred creating the directory: " + nul
    assert not (tmp_path / "out").exists()
