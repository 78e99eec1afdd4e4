"""Scatter a VCF file into chunks for a pipeline.

`scatter` cuts a VCF file into chunk files batch_01.vcf, batch_02.vcf, ... (or
BGZF batch_01.vcf.gz, ...), each holding the whole header and a run of the
input's records in input order, optionally with a TBI or CSI index next to each
compressed chunk and a manifest.tsv listing them.
"""

import os
from typing import Any, Callable, Final, Literal

__all__ = ["COMPRESSION_LEVELS", "Chunk", "InputError", "MANIFEST_NAME", "scatter"]

__version__: Final[str]
"""kestrel's version, as released ("0.1.0")."""

MANIFEST_NAME: Final[str]
""""manifest.tsv": the name of the manifest in the output directory."""

COMPRESSION_LEVELS: Final[dict[str, int]]
"""The compression names and their DEFLATE levels: {"fast": 1, "default": 6, "best": 9}."""

class Chunk(tuple[str, str | None, int, str, int | None, str, int | None, int]):
    """One chunk that scatter() saved (an immutable named tuple)."""

    @property
    def path(self) -> str:
        """The chunk file: the output directory joined with its name."""
    @property
    def index_path(self) -> str | None:
        """Its index file (path + ".tbi" or ".csi"), or None without an index."""
    @property
    def records(self) -> int:
        """How many records it holds."""
    @property
    def first_chrom(self) -> str:
        """CHROM of its first record (the text before the first tab)."""
    @property
    def first_pos(self) -> int | None:
        """POS of its first record; None where that field is not a decimal number."""
    @property
    def last_chrom(self) -> str:
        """CHROM of its last record."""
    @property
    def last_pos(self) -> int | None:
        """POS of its last record; None where that field is not a decimal number."""
    @property
    def bytes(self) -> int:
        """The file's size in bytes."""

class InputError(ValueError):
    """The input cannot be split or indexed: damaged BGZF input, a record whose
    CHROM or POS cannot be read for an index, records out of order for an index,
    a position a TBI index cannot hold, or an input that changed between the two
    passes of `chunks`."""

    path: str | None
    """The input ("<stdin>" for standard input), where known."""
    line: int | None
    """The line of the input (counted from 1, header lines included), where known."""

def scatter(
    input: str | bytes | os.PathLike[str] | os.PathLike[bytes],
    output_dir: str | bytes | os.PathLike[str] | os.PathLike[bytes],
    *,
    records_per_chunk: int | None = None,
    chunks: int | None = None,
    compression: Literal["fast", "default", "best"] | int | None = None,
    index: Literal["tbi", "csi"] | None = None,
    manifest: bool = True,
    spool_dir: str | bytes | os.PathLike[str] | os.PathLike[bytes] | None = None,
    progress: Callable[[int, int | None], object] | None = None,
    on_chunk: Callable[[Chunk], object] | None = None,
    client: Any | None = None,
    range_bytes: int | None = None,
    storage_options: dict[str, Any] | None = None,
    keep_together: Literal["position"] | None = None,
    by_contig: bool = False,
) -> list[Chunk]:
    """Split the VCF file `input` into chunk files in `output_dir` and return them in order.

    `input` is a path, "-" for standard input, or a URL (s3://, gs://, az://,
    http(s)://); it is read as BGZF, as plain gzip (gzip, pigz) or as plain text
    after its first bytes, whatever its name. `output_dir` is a path or a URL
    (s3://, gs://, az://; an http(s) URL is a ValueError): see docs/storage.md.
    A file URL (file:///PATH, file://localhost/PATH, file:/PATH) in `input`,
    `output_dir` or `spool_dir` is the local path it names, percent-decoded;
    one of another host, or with a query, a fragment or a bad escape, is a
    ValueError. Chunk.path is then the local path.
    Lines beginning with '#' are header lines, all others records; every chunk
    starts with the header lines read before its first record.

    Give exactly one of (or, with by_contig, at most one):
      records_per_chunk: a new chunk every that many records (the last may
        hold fewer), from 1 to 2**64 - 1;
      chunks: exactly that many chunks, their record counts differing by at
        most one (the first ones hold the extra records), in input order;
        fewer only when the input has fewer records: one record each, and
        none for an input without records. The records are counted in a
        first pass over the input. Standard input or a pipe cannot be read
        twice: give `spool_dir`, a directory where a temporary copy of it
        is kept while the call runs (it holds no name and is gone after),
        else ValueError. A spool_dir that is missing, not a directory or
        not writable is an OSError naming it, whether or not it is needed.

    Where chunks end can follow the genome too (docs/api.md has the rules
    with an example); the chunks are then not all of one size:
      by_contig: True cuts wherever CHROM changes, so that no chunk holds
        two contigs (True or False, anything else is a TypeError). Alone
        (neither count given): one chunk per contig, in input order. With
        records_per_chunk=N: each contig in pieces of at most N records, the
        last piece of a contig smaller. With chunks=K: K chunks in all,
        shared among the contigs in proportion to their records by largest
        remainder, each contig at least one (a contig whose exact share is
        below one gets one, and the others share the rest; remainders tie
        to the earlier contig), its chunks balanced; one chunk per contig
        when K is smaller than the number of contigs. The records of one
        contig must follow each other: a CHROM that comes back after
        another one is an InputError naming it and the line (chunks saved
        before it stay; with chunks=K nothing is written).
      keep_together: "position" never cuts between two records with the
        same CHROM and the same POS (a number; a record whose POS is not a
        number shares its position with no other). A cut that would fall
        inside such a run moves forward to the run's end: that chunk grows
        by less than the run, the next one shrinks by as much, and cuts that
        meet become one (fewer chunks). With chunks=K there are at most K
        chunks (with by_contig, K or one per contig), each within the
        largest run of its balanced size; with records_per_chunk=N a chunk
        differs from N by less than the largest run. Where no position
        repeats, the chunks are those without it. Any other text is a
        ValueError, anything else a TypeError.

    compression: None for plain files batch_NN.vcf; "fast", "default",
      "best" in any letter case (DEFLATE levels 1, 6, 9) or an int level from
      1 to 12 for BGZF files batch_NN.vcf.gz, compressed in parallel; any
      other value (the text "9" too) is a ValueError.
    index: "tbi" or "csi" writes batch_NN.vcf.gz.tbi or .csi next to every
      chunk, built while it is compressed (compressed output only, else
      ValueError). The records must be sorted (each CHROM in one run, POS
      not going back within it) and readable (CHROM, POS and REF columns),
      and all header lines must come before the first record; TBI holds
      positions below 2^29 (use CSI beyond). Otherwise InputError, naming
      the line. A record's span is the larger of REF's span and INFO's END.
      htsjdk-based readers (GATK, Picard) take TBI only.
    manifest: True or False. Write `output_dir`/manifest.tsv after every
      chunk is saved and flushed to stable storage with its index, renamed
      into place, so that its presence means the run completed: a
      header row, then one tab-separated row per chunk: file, index,
      records, first_chrom, first_pos, last_chrom, last_pos, bytes (file
      and index are names in `output_dir`; unknown values are empty). A
      manifest left there by an earlier run is removed when the call starts,
      also with manifest=False, since it would describe replaced files; the
      chunks and indexes it named that this call does not write are removed
      before this call's manifest (also with manifest=False).
    progress: called about every quarter second with the input bytes read
      so far and the total (None when unknown, as for a pipe); with
      `chunks` both passes count. Compressed input counts compressed bytes.
    on_chunk: called with each Chunk as soon as it is saved, in order.
    client: a dask.distributed Client (anything else is a TypeError): the run
      goes as tasks to its cluster (install kestrel[dask]), with the same files, indexes, manifest,
      callbacks and exceptions as without it. Records are counted per byte
      range in parallel (BGZF cut at block starts, found by scanning or from
      a .gzi beside the input), then each chunk is written by a task of its
      own. The input and `output_dir` must be at the same path on every
      worker (a shared file system); an input on standard input or a pipe is
      a ValueError. An input with a header line after its first record is
      split locally, as without a client.
    range_bytes: the size of the input ranges counted apart (with `client`
      only): 64 MiB of BGZF or 256 MiB of plain text by default; any size
      gives the same files. At least 65536 (a ValueError below); raised
      where the input would need more than 16,384 ranges.
    storage_options: the options of the store for an input or output that is a
      URL, as fsspec takes them (s3fs: endpoint_url, key, secret, ...);
      without them fsspec's defaults apply (credentials and endpoint from the
      environment, e.g. AWS_ENDPOINT_URL). They go with the tasks of a run on
      a cluster, so they must be plain data (strings, numbers, lists, dicts).

    Every file appears only complete (written under a hidden temporary name
    and renamed, never through a link); the full rules of the files are in
    docs/api.md, "Output files". Existing files of the same
    names are replaced, a replaced chunk's older index removed first; other
    files are not touched, and the input never is. The output directory is
    locked for the call: a second call into it raises OSError (EBUSY) at
    once. Memory stays bounded whatever the input's size or a line's
    length: a CHROM longer than 1024 bytes is an InputError.

    The interpreter lock is released while the call works; the callbacks and
    signal handlers run with it on the calling thread. An exception they
    raise (KeyboardInterrupt on Ctrl-C) ends the call with that exception.

    Raises TypeError and ValueError for bad arguments (a path holding a NUL
    byte included), OSError subclasses (FileNotFoundError, PermissionError,
    ...) with `errno` and `filename` set for failed file operations (plain
    OSError naming the file when a chunk would be the input itself),
    InputError ("PATH: line N: what is wrong") for input that cannot be
    split or indexed, and MemoryError("memory allocation failed"). Chunks saved before a
    failure stay; no partial or temporary file and no manifest is left.
    """
