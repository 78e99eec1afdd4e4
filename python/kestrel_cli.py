"""kestrel-split: the command line for kestrel.

    kestrel-split INPUT OUTDIR --batch-size N [--compression fast|default|best]

Exit status: 0 on success, 1 when the split fails, 2 on bad arguments, 130 when
interrupted (Ctrl-C).
"""

import argparse
import os
import sys

LEVELS = ("fast", "default", "best")
MAX_BATCH_SIZE = 2**32 - 1

DESCRIPTION = """\
Split the VCF file INPUT into batch files in the directory OUTDIR.

Lines that begin with '#' are header lines; every other line is a record.
Records are cut into batches of N; each batch is written as one file that
holds all header lines read so far followed by the batch's records. INPUT is
read as BGZF-compressed VCF when its name ends in ".gz", else as plain text.
"""

EPILOG = """\
output files:
  OUTDIR/batch_01.vcf, batch_02.vcf, ... (batch_01.vcf.gz, ... with
  --compression): the batch number is zero-padded to at least two digits
  (batch_09, batch_10, batch_100). Every file starts with the header and
  has LF line endings. OUTDIR and its missing parents are created. Existing
  batch files of the same names are overwritten; higher-numbered files left
  by an earlier run are not touched, so use an empty OUTDIR for each run.

  One line per batch is printed ("Saving batch_01.vcf", and for a last,
  shorter batch "Saving final batch with less than N samples to
  batch_04.vcf"), then "Saved 4 batches with N samples to OUTDIR."

exit status:
  0 success; 1 the split failed (the message is on standard error; batch
  files written before the failure stay); 2 bad arguments; 130 interrupted.
"""


def _batch_size(text):
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if not 0 <= value <= MAX_BATCH_SIZE:
        raise argparse.ArgumentTypeError(f"must be between 0 and {MAX_BATCH_SIZE}, got {value}")
    return value


def _path(text):
    # Names that are not valid UTF-8 reach Python as lone surrogates; kestrel takes UTF-8 only.
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        raise argparse.ArgumentTypeError(f"not a UTF-8 path: {text!r}") from None
    return text


def build_parser():
    parser = argparse.ArgumentParser(
        prog="kestrel-split",
        description=DESCRIPTION,
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("input", metavar="INPUT", type=_path,
                        help='VCF file to split; BGZF-compressed if the name ends in ".gz"')
    parser.add_argument("outdir", metavar="OUTDIR", type=_path,
                        help="directory that receives the batch files")
    parser.add_argument("-b", "--batch-size", metavar="N", type=_batch_size, required=True,
                        help="records per batch, 0 to 4294967295; 0 puts every record "
                             "in a batch of its own")
    parser.add_argument("-c", "--compression", metavar="LEVEL", type=str.lower, choices=LEVELS,
                        help="write BGZF-compressed batch_NN.vcf.gz files at this level: "
                             "fast, default or best (DEFLATE levels 1, 6, 9; any letter case). "
                             "Without it the batch files are plain text.")
    return parser


def _is_panic(error):
    kind = type(error)
    return kind.__name__ == "PanicException" and kind.__module__ == "pyo3_runtime"


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


def _report(prog, message):
    # Standard error may be closed (then sys.stderr is None) or fail as well: the
    # exit status still tells.
    if sys.stderr is not None:
        try:
            print(f"{prog}: error: {message}", file=sys.stderr, flush=True)
        except OSError:
            pass


def _split(argv):
    parser = build_parser()
    args = parser.parse_args(argv)

    import kestrel

    # kestrel writes its progress lines to file descriptor 1 itself. With that
    # descriptor closed there is no sys.stdout, and kestrel reports the failure.
    if sys.stdout is not None:
        sys.stdout.flush()
    try:
        kestrel.py_extract_variants_to_batches(args.input, args.outdir, args.batch_size,
                                               args.compression)
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as error:
        if not (_is_panic(error) or isinstance(error, (OSError, TypeError, OverflowError))):
            raise
        _report(parser.prog, error)
        return 1
    return 0


def main(argv=None) -> int:
    _hold_closed_standard_descriptors()
    try:
        return _split(argv)
    except KeyboardInterrupt:
        # Ctrl-C ends it like any command: status 128 + SIGINT and no traceback, just
        # the end of the line where the terminal echoed ^C.
        if sys.stderr is not None and sys.stderr.isatty():
            print(file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader of standard output went away. What Python still holds for it
        # goes to /dev/null, so that its final flush does not complain either.
        if sys.stdout is not None:
            _open_devnull_on(sys.stdout.fileno(), os.O_WRONLY)
        return 1


if __name__ == "__main__":
    sys.exit(main())
