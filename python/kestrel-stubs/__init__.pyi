__all__ = ["py_extract_variants_to_batches"]

def py_extract_variants_to_batches(
    file_path: str,
    output_path: str,
    batch_size: int,
    compression_level: str | None = ...,
) -> None:
    """Split the VCF file `file_path` into batch files in the directory `output_path`.

    Lines beginning with '#' are header lines, all others records. Every
    `batch_size` records (0 to 4294967295; 0 makes each record its own batch)
    are written as batch_01.vcf, batch_02.vcf, ... holding all header lines
    read so far followed by the batch's records. A `file_path` ending in ".gz"
    is read as BGZF. `compression_level` "fast", "default" or "best" (any
    letter case) writes BGZF files batch_01.vcf.gz, ... at DEFLATE level 1, 6
    or 9; None, or any other text, writes plain files.

    Prints "Saving batch_NN.vcf" per batch and a "Saved ..." summary line on
    file descriptor 1 (not through sys.stdout).

    A batch file appears (renamed from a hidden temporary) only when it is
    complete; the full rules of the files are in docs/api.md, "Output files".
    The output directory is locked while the call writes: a call into a
    directory another run is writing raises at once. The interpreter lock is released while the split works; a signal
    handler that raises (Ctrl-C) ends the call with its exception.

    Raises TypeError or OverflowError for bad arguments (UnicodeEncodeError
    for a path holding a lone surrogate), before anything is read or written.
    Every other failure raises pyo3_runtime.PanicException, a BaseException
    subclass that `except Exception` does not catch; batch files saved before
    the failure stay on disk, and no partial or temporary file is left.
    """
