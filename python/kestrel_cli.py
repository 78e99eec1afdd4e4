"""kestrel-split: the command line for kestrel.

    kestrel-split INPUT OUTDIR [--batch-size N | --chunks K] [--by-contig]
                  [--keep-together position] [--compression LEVEL]
                  [--index tbi|csi] [--manifest | --no-manifest] [--spool-dir DIR]
                  [--storage-option KEY=VALUE ...]
                  [--scheduler ADDRESS | --scheduler-file FILE]
                  [-@ N] [-q] [-v] [--version]

One of --batch-size, --chunks and --by-contig is needed.

Exit status: 0 on success, 1 when the split fails, 2 on bad arguments, 128 + the
signal's number when ended by SIGINT (Ctrl-C, 130), SIGTERM (143) or SIGHUP (129).
"""

import os
import signal
import sys

# Signals first: until main() takes them over, SIGINT, SIGTERM and SIGHUP end the
# command at once with 128 + the signal's number (nothing is written yet), never with
# a traceback. Only when this is the command, not a module imported by a program.
_EARLY = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
_inherited = {number: signal.getsignal(number) for number in _EARLY}


def _exit_at_once(number, _frame):
    os._exit(128 + number)


if __name__ == "__main__" or os.path.basename(sys.argv[0]) == "kestrel-split":
    for _number in _EARLY:
        if _inherited[_number] != signal.SIG_IGN:  # ignored (nohup, a background job) stays ignored
            signal.signal(_number, _exit_at_once)

import argparse  # noqa: E402 - after the signals, on purpose
import json  # noqa: E402
import logging  # noqa: E402
import time  # noqa: E402
import warnings  # noqa: E402

MAX_COUNT = 2**64 - 1

DESCRIPTION = """\
Split the VCF file INPUT into batch files in the directory OUTDIR.

Lines that begin with '#' are header lines; every other line is a record.
Records are cut into batches of N (--batch-size), or into K batches whose
sizes differ by at most one (--chunks), moved to keep the records of one
position together (--keep-together position) and cut at every contig
(--by-contig, alone: one batch per contig); each batch is written as one file that
holds all header lines read before its first record followed by the batch's
records, in input order. INPUT is a file, - for standard input, or a URL
(s3://, gs://, az://, https://), read as BGZF, as plain gzip or as plain text
after its first bytes. OUTDIR is a directory or a URL (s3://, gs://, az://).
A file URL (file:///PATH) is the local path it names.
"""

EPILOG = """\
output files (the full rules: docs/api.md, "Output files"):
  OUTDIR/batch_01.vcf, batch_02.vcf, ... (batch_01.vcf.gz, ... with
  --compression), zero-padded to at least two digits, each starting with
  the header; with --index, batch_01.vcf.gz.tbi (or .csi) next to each.
  OUTDIR and its missing parents are created. Every file appears only when
  complete. Existing files of the same names are overwritten; the chunks
  and indexes an earlier run's manifest.tsv names and this run does not
  write are removed before its own manifest (higher-numbered files of an
  earlier run that left no manifest are not touched).
  OUTDIR/manifest.tsv (unless --no-manifest) is written last, so its
  presence means every batch is complete: a header row, then one row per
  batch (file, index, records, first_chrom, first_pos, last_chrom,
  last_pos, bytes).

  One line per batch is printed ("Saving batch_01.vcf", and for a last,
  shorter batch "Saving final batch with less than N samples to
  batch_04.vcf"), then "Saved 4 batches with N records to OUTDIR." On a
  terminal, standard error shows a progress bar during long runs. With
  --quiet none of these: only errors and warnings, on standard error.

boundaries (--keep-together, --by-contig; the full rules: docs/api.md,
"Boundaries by place"):
  --by-contig cuts wherever CHROM changes: no batch holds two contigs. Alone,
  one batch per contig; with -b N, pieces of at most N records of each
  contig; with -k K, K batches shared among the contigs in proportion to
  their records (largest remainder, each contig at least one; one per contig
  when K is smaller), balanced within each. A contig whose records come back
  after another contig fails the run, naming it and the line.
  --keep-together position never cuts between two records with the same
  CHROM and POS: a cut that falls inside such a run moves forward to its end
  (that batch grows, the next one shrinks by as much; cuts that meet become
  one, so there may be fewer batches). Example, POS 50 100 100 100 200 with
  -k 2: batches of 4 and 1 records instead of 3 and 2.
  With either option every batch's line is "Saving batch_NN.vcf", and the
  summary names the sizes that occur ("40 or 41", or "12 to 64").

threads:
  -@ N sizes the pool of worker threads that compresses, inflates and
  counts (at most 255 start); without it RAYON_NUM_THREADS, else
  RAYON_RS_NUM_CPUS, else one per processor. On a cluster each worker
  uses the threads Dask gave it.

exit status:
  0 success; 1 the split failed (the message is on standard error; batch
  files written before the failure stay); 2 bad arguments; 128 + the signal's
  number when ended by SIGINT (130, Ctrl-C), SIGHUP (129) or SIGTERM (143), with
  no temporary file left.

documentation:
  docs/cli.md and the rest of docs/ in kestrel's source; man kestrel-split.
"""


def _path(text):
    # Names that are not valid UTF-8 reach Python as lone surrogates; kestrel takes UTF-8 only.
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        raise argparse.ArgumentTypeError(f"not a UTF-8 path: {text!r}") from None
    return text


def _as_scatter_reads(keyword, text):
    """`text` checked by scatter()'s own rule for `keyword`, so that a file URL of
    another host or an http OUTDIR is a usage error before anything starts."""
    import kestrel_scatter

    try:
        kestrel_scatter._argument(keyword, text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None
    return text


def _input(text):
    return _as_scatter_reads("input", _path(text))


def _directory(text):
    if not text:
        raise argparse.ArgumentTypeError("must not be empty (give . for the working directory)")
    return _as_scatter_reads("output_dir", _path(text))


def _spool_directory(text):
    return _as_scatter_reads("spool_dir", _path(text))


def _compression(text):
    """A compression by scatter()'s rule: a name in any letter case, or a level's digits."""
    import kestrel_scatter

    value = int(text) if text.isascii() and text.isdigit() else text
    try:
        kestrel_scatter._argument("compression", value)
    except ValueError:
        names = list(kestrel_scatter.COMPRESSION_LEVELS)
        raise argparse.ArgumentTypeError(f"must be {', '.join(names[:-1])} or {names[-1]} (in any letter case) "
                                         f"or a level from 1 to 12, got {text!r}") from None
    return value


def _not_empty(text):
    if not text.strip():
        raise argparse.ArgumentTypeError("must not be empty")
    return _path(text)


def _storage_option(text):
    key, separator, value = text.partition("=")
    if not separator or not key:
        raise argparse.ArgumentTypeError(f"not KEY=VALUE: {text!r}")
    try:
        return key, json.loads(value)
    except ValueError:
        return key, value


def _count(text):
    """A count as kestrel_scatter.scatter takes it: a whole number from 1 to 2**64 - 1."""
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    if value > MAX_COUNT:
        raise argparse.ArgumentTypeError(f"must be at most {MAX_COUNT}, got {value}")
    return value


def build_parser():
    import kestrel_scatter

    parser = argparse.ArgumentParser(
        prog="kestrel-split",
        description=DESCRIPTION,
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {kestrel_scatter.__version__}")
    parser.add_argument("input", metavar="INPUT", type=_input,
                        help="VCF file to split (plain, BGZF or gzip) or its URL; - reads standard input")
    parser.add_argument("outdir", metavar="OUTDIR", type=_directory,
                        help="directory (or URL of a prefix in object storage) that receives the batch files")
    size = parser.add_mutually_exclusive_group()
    size.add_argument("-b", "--batch-size", metavar="N", type=_count,
                      help="records per batch, at least 1")
    size.add_argument("-k", "--chunks", metavar="K", type=_count,
                      help="exactly K batches (fewer only when there are fewer records), "
                           "their record counts differing by at most one; the input is "
                           "read twice (see --spool-dir)")
    parser.add_argument("--keep-together", choices=("position",),
                        help="never cut between two records with the same CHROM and POS: a cut "
                             "inside such a run moves forward to its end (cuts that meet become one)")
    parser.add_argument("--by-contig", action="store_true",
                        help="cut wherever CHROM changes, so that no batch holds two contigs; without "
                             "-b or -k, one batch per contig; with -k, K batches shared among the "
                             "contigs by their records (each at least one)")
    levels = kestrel_scatter.COMPRESSION_LEVELS
    parser.add_argument("-c", "--compression", metavar="LEVEL", type=_compression,
                        help="write BGZF-compressed batch_NN.vcf.gz files at this level: "
                             f"{', '.join(list(levels)[:-1])} or {list(levels)[-1]} (DEFLATE levels "
                             f"{', '.join(map(str, levels.values()))}; any letter case), or a DEFLATE level "
                             "from 1 to 12. Without it the batch files are plain text.")
    parser.add_argument("-i", "--index", choices=("tbi", "csi"), type=str.lower,
                        help="write a tabix (tbi) or CSI index next to every compressed batch; "
                             "the records must be sorted. TBI holds positions below 2^29.")
    parser.add_argument("--manifest", action=argparse.BooleanOptionalAction, default=True,
                        help="write OUTDIR/manifest.tsv once every batch is saved (default: yes)")
    parser.add_argument("--storage-option", metavar="KEY=VALUE", type=_storage_option, action="append",
                        dest="storage_options", default=[],
                        help="an option of the store for an INPUT or OUTDIR that is a URL (s3://, gs://, "
                             "az://, https://), as fsspec takes it (e.g. endpoint_url=http://host:9000); VALUE "
                             "is read as JSON where it parses as JSON, else as text. Repeatable. Without it, "
                             "credentials and endpoint come from the environment (docs/storage.md).")
    parser.add_argument("--spool-dir", metavar="DIR", type=_spool_directory,
                        help="with --chunks and an INPUT that cannot be read twice (standard "
                             "input, a pipe): keep a temporary copy of it in DIR")
    parser.add_argument("-@", "--threads", metavar="N", type=_count,
                        help="worker threads (at most 255 start); overrides RAYON_NUM_THREADS")
    parser.add_argument("-q", "--quiet", action="store_true",
                        help="print no batch lines, summary, progress bar or notes: only errors and warnings")
    parser.add_argument("-v", "--verbose", action="store_true",
                        help="after the summary, say on standard error how much of an INPUT at a URL was "
                             "fetched: GET requests, and bytes against the object's size")
    cluster = parser.add_mutually_exclusive_group()
    cluster.add_argument("--scheduler", metavar="ADDRESS", type=_not_empty,
                         help="run the split as tasks on the Dask cluster whose scheduler is at ADDRESS "
                              "(tcp://host:8786); INPUT and OUTDIR must be at the same path on every "
                              "worker. The files are those of a run without it.")
    cluster.add_argument("--scheduler-file", metavar="FILE", type=_not_empty,
                         help="the same, with the scheduler's address read from FILE, as "
                              "`dask scheduler --scheduler-file FILE` writes it (waited for while "
                              "missing or empty, up to Dask's connect timeout, 30 s by default)")
    return parser


def _client(args):
    """A client of the Dask cluster named on the command line, or None."""
    if args.scheduler is None and args.scheduler_file is None:
        return None
    try:
        from distributed import Client
    except ImportError:
        raise _ClusterUnavailable("--scheduler needs Dask distributed: pip install 'kestrel[dask]'") from None
    where = args.scheduler or args.scheduler_file
    _quiet_cluster_logs()
    address = args.scheduler or _scheduler_address(args.scheduler_file)
    try:
        return Client(address, timeout="30s")
    except (OSError, ValueError) as error:
        raise _ClusterUnavailable(f"cannot reach the Dask scheduler of {where}: {error}") from None


def _scheduler_address(path):
    """The address in the scheduler file at `path`. A scheduler that is starting has not
    written it yet, so a file that is missing or empty is waited for, up to Dask's
    connect timeout; Dask's own reading of it waits without end on a missing file and
    fails with a traceback on one that is not JSON."""
    import dask.config
    from dask.utils import parse_timedelta

    wait = parse_timedelta(dask.config.get("distributed.comm.timeouts.connect"), default="seconds")
    deadline = time.monotonic() + wait
    while True:
        try:
            with open(path, "rb") as file:
                text = file.read()
        except FileNotFoundError as error:
            if time.monotonic() >= deadline:
                raise _ClusterUnavailable(f"cannot read the Dask scheduler file {path}: {error.strerror} "
                                          f"(waited {wait:g} s for a scheduler to write it)") from None
            text = b""
        except OSError as error:
            raise _ClusterUnavailable(f"cannot read the Dask scheduler file {path}: {error.strerror}") from None
        if text or time.monotonic() >= deadline:
            break
        time.sleep(0.1)
    try:
        address = json.loads(text)["address"]
    except (ValueError, KeyError, TypeError, IndexError):
        address = None
    if not isinstance(address, str) or not address:
        raise _ClusterUnavailable(f"{path} is not a Dask scheduler file: no address in it "
                                  "(`dask scheduler --scheduler-file FILE` writes one)")
    return address


class _ProgressBar:
    """A one-line bar on standard error while the input is read, shown only on a
    terminal and only once a run has taken more than a second."""

    WIDTH = 30

    def __init__(self, stream):
        self._stream = stream if stream is not None and stream.isatty() else None
        self._start = time.monotonic()
        self._shown = False

    def update(self, done, total):
        if self._stream is None or time.monotonic() - self._start < 1.0:
            return
        if total:
            filled = min(self.WIDTH, done * self.WIDTH // total)
            text = f"[{'#' * filled}{'.' * (self.WIDTH - filled)}] {min(100, done * 100 // total):3d}%"
        else:
            text = f"{done / 1e6:,.0f} MB read"
        self._stream.write(f"\r\033[K{text}")
        self._stream.flush()
        self._shown = True

    def clear(self):
        if self._shown:
            self._stream.write("\r\033[K")
            self._stream.flush()
            self._shown = False


class _PrintFailed(Exception):
    pass


class _ClusterUnavailable(Exception):
    pass


def _hold_closed_standard_descriptors():
    """Opens /dev/null on a closed fd 1 or 2, read-only, so that writing there still
    fails with "Bad file descriptor" as on the closed descriptor, while no file that
    the split opens can take that number and receive its progress lines or messages."""
    for fd in (1, 2):
        try:
            os.fstat(fd)
        except OSError:
            _open_devnull_on(fd, os.O_RDONLY)


def _open_devnull_on(fd, flags):
    devnull = os.open(os.devnull, flags)
    if devnull != fd:
        os.dup2(devnull, fd)
        os.close(devnull)


def _report(prog, message, kind="error"):
    # Standard error may be closed (then sys.stderr is None) or fail as well: the
    # exit status still tells.
    if sys.stderr is not None:
        try:
            print(f"{prog}: {kind}: {message}", file=sys.stderr, flush=True)
        except OSError:
            pass


def _describe(error):
    if isinstance(error, NotADirectoryError) and error.filename is not None:
        return f"{error.filename} is not a directory"
    if isinstance(error, OSError) and error.filename is not None and error.strerror:
        return f"{error.filename}: {error.strerror}"
    if isinstance(error, MemoryError) and not str(error):
        return "memory allocation failed"  # Python's own MemoryError says nothing
    return str(error)


class _Terminated(BaseException):
    """SIGTERM or SIGHUP arrived: the split ends as on Ctrl-C."""

    def __init__(self, number):
        super().__init__(number)
        self.number = number


def _end_on(number, _frame):
    raise _Terminated(number)


def _obey_termination_signals():
    """Ctrl-C raises KeyboardInterrupt; workflow managers, batch schedulers and
    `timeout` stop a job with SIGTERM, and a closed terminal sends SIGHUP: all three end
    the split so that it cleans up its temporary files. A signal the caller set to be
    ignored (nohup, a background job) stays ignored. Returns the handlers to put back."""
    previous = {}
    for number in _EARLY:
        handler = signal.getsignal(number)
        if _inherited[number] != signal.SIG_IGN and handler != signal.SIG_IGN:
            try:
                signal.signal(number, signal.default_int_handler if number == signal.SIGINT else _end_on)
            except ValueError:  # not the main thread: signals are not ours to take
                break
            previous[number] = handler
    return previous


def _quiet_cluster_logs():
    """A cluster run reports its failures itself, in one line: Dask's and tornado's own
    logs of a lost connection or of a client closed on a signal would only add tracebacks.
    Called once distributed is imported, which sets up its loggers."""
    families = ("distributed", "tornado", "asyncio")
    names = [name for name in logging.root.manager.loggerDict if name.split(".")[0] in families]
    for name in {*families, *names}:
        logging.getLogger(name).setLevel(logging.CRITICAL + 1)


def _print_line(text):
    # Straight to file descriptor 1, each line whole as soon as its batch is saved.
    data = (text + "\n").encode()
    try:
        while data:
            data = data[os.write(1, data):]
    except BrokenPipeError:
        raise
    except OSError as error:
        raise _PrintFailed(f"failed printing to stdout: {error.strerror} (os error {error.errno})") from None


def _split(argv):
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.batch_size is None and args.chunks is None and not args.by_contig:
        parser.error("one of the arguments -b/--batch-size -k/--chunks is required")
    if args.index and not args.compression:
        parser.error("--index needs --compression: only compressed batch files can be indexed")

    import kestrel_scatter

    if args.threads is not None:
        # Read when the pool starts, at the split's first need of it: this process's pool.
        os.environ["RAYON_NUM_THREADS"] = str(args.threads)
    bar = _ProgressBar(sys.stderr)
    by_place = args.keep_together is not None or args.by_contig
    per_batch = args.batch_size
    line_size = None if by_place else per_batch  # sizes by place vary: no "final batch" line

    def on_chunk(chunk):
        bar.clear()
        _print_line(kestrel_scatter._progress_line(os.path.basename(chunk.path), chunk.records, line_size))

    if sys.stdout is not None:
        sys.stdout.flush()
    client = None
    try:
        client = _client(args)
        chunks = kestrel_scatter.scatter(
            args.input, args.outdir,
            records_per_chunk=per_batch,
            chunks=args.chunks,
            compression=args.compression,
            index=args.index,
            manifest=args.manifest,
            spool_dir=args.spool_dir,
            keep_together=args.keep_together,
            by_contig=args.by_contig,
            storage_options=dict(args.storage_options) or None,
            progress=None if args.quiet else bar.update,
            on_chunk=None if args.quiet else on_chunk,
            client=client,
        )
    except (OSError, ValueError, TypeError, ImportError, MemoryError, RuntimeError, _PrintFailed,
            _ClusterUnavailable) as error:
        if isinstance(error, BrokenPipeError):
            raise
        bar.clear()
        _report(parser.prog, _describe(error))
        return 1
    finally:
        bar.clear()
        if client is not None:
            try:
                client.close(timeout=5)
            except Exception:  # noqa: BLE001 - a lost scheduler has been reported already
                pass
    sizes = [per_batch] if per_batch is not None and not by_place else sorted({c.records for c in chunks}) or [0]
    records = " or ".join(map(str, sizes)) if len(sizes) <= 2 else f"{sizes[0]} to {sizes[-1]}"
    if not args.quiet:
        _print_line(f"Saved {len(chunks)} batches with {records} records to {args.outdir}.")
        if per_batch is None and not by_place and len(chunks) < args.chunks:
            _report(parser.prog, f"the input holds {sum(c.records for c in chunks)} records, "
                                 f"so {len(chunks)} batches were written instead of {args.chunks}", "note")
    storage = sys.modules.get("kestrel_storage")
    if args.verbose and storage is not None and (read := storage.fetched(args.input))[0]:
        gets, fetched, size = read
        times = f" ({fetched / size:.2f} times its {size} bytes)" if size else ""
        _report(parser.prog, f"fetched {fetched} bytes of {args.input}{times} in {gets} GET requests", "note")
    return 0


def _warn(message, _category, _filename, _lineno, _file=None, _line=None):
    # A warning of the run (a lock object that stayed behind) in the command's own words.
    _report("kestrel-split", message, "warning")


def main(argv=None) -> int:
    _hold_closed_standard_descriptors()
    previous_handlers = {}
    try:
        previous_handlers = _obey_termination_signals()
        with warnings.catch_warnings():
            warnings.showwarning = _warn
            return _split(argv)
    except _Terminated as ended:
        return 128 + ended.number
    except KeyboardInterrupt:
        # Ctrl-C ends it like any command: status 128 + SIGINT and no traceback, just
        # the end of the line where the terminal echoed ^C.
        if sys.stderr is not None and sys.stderr.isatty():
            print(file=sys.stderr)
        return 130
    except _PrintFailed as error:
        _report("kestrel-split", error)
        return 1
    except MemoryError as error:  # before the split started: Python itself ran out
        _report("kestrel-split", _describe(error))
        return 1
    except BrokenPipeError:
        # The reader of standard output went away. What Python still holds for it
        # goes to /dev/null, so that its final flush does not complain either.
        if sys.stdout is not None:
            _open_devnull_on(sys.stdout.fileno(), os.O_WRONLY)
        return 1
    finally:
        for number, handler in previous_handlers.items():
            signal.signal(number, handler)


if __name__ == "__main__":
    sys.exit(main())
