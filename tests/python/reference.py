"""A small, obviously correct model of how a VCF text is cut into batches, used to
check the extension's output byte for byte."""


def split_lines(data: bytes):
    *lines, last = data.split(b"\n")  # last is empty when the text ends with LF
    # A line's CR before its LF goes; a last line without LF keeps its CR.
    return [line.removesuffix(b"\r") for line in lines] + ([last] if last else [])


def expected_batches(data: bytes, batch_size: int):
    """Returns [(file number, content bytes)] for a plain split."""
    header, batch, records, batches = [], [], 0, []
    for line in split_lines(data):
        if line.startswith(b"#"):
            header.append(line + b"\n")
            continue
        batch.append(line + b"\n")
        records += 1
        if records >= batch_size:
            batches.append(b"".join(header) + b"".join(batch))
            batch, records = [], 0
    if batch:
        batches.append(b"".join(header) + b"".join(batch))
    return batches


def expected_stdout(data: bytes, batch_size: int, output_path: str, extension: str = ".vcf",
                    counted: str = "samples") -> str:
    """The batch module's lines; kestrel-split's summary counts "records"."""
    batches = expected_batches(data, batch_size)
    lines = []
    records = [line for line in split_lines(data) if not line.startswith(b"#")]
    has_final = batch_size > 0 and len(records) % batch_size != 0
    for number in range(1, len(batches) + 1):
        if has_final and number == len(batches):
            lines.append(f"Saving final batch with less than {batch_size} samples to batch_{number:02d}{extension}")
        else:
            lines.append(f"Saving batch_{number:02d}{extension}")
    lines.append(f"Saved {len(batches)} batches with {batch_size} {counted} to {output_path}.")
    return "\n".join(lines) + "\n"


def read_batches(directory, extension: str = ".vcf"):
    """The batch files of a directory in number order, as bytes."""
    files = sorted(directory.glob(f"batch_*{extension}"), key=lambda p: int(p.name[6:].split(".")[0]))
    return [path.read_bytes() for path in files]
