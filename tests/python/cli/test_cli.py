"""kestrel-split as a user and a pipeline see it: its lines and files against the model,
its usage errors beside scatter()'s, its failures in words, standard input, the
terminal's progress bar and --quiet, --threads, its help, version, man page and the
installed command."""
import contextlib
import gzip
import os
import pty
import re
import shlex
import shutil
import subprocess
import sys
import time
import tomllib

from pathlib import Path

import pytest

import kestrel_cli
import kestrel_scatter
from conftest import DATA, HEADER, REPO, UNDER_SANITIZER, bgzf_blocks, cli, files, leftovers, records
from reference import expected_batches, expected_stdout, read_batches

FIVE = b"##fileformat=VCFv4.2\n#CHROM\tPOS\n1\t1\n1\t2\n1\t3\n1\t4\n1\t5\n"


@pytest.fixture
def five(tmp_path, monkeypatch):
    """in.vcf of five records in tmp_path, the working directory."""
    monkeypatch.chdir(tmp_path)
    (tmp_path / "in.vcf").write_bytes(FIVE)
    return tmp_path


@pytest.mark.parametrize("size, level", [(2, None), (1, None), (2**64 - 1, None), (2, "best"), (3, "12")])
def test_lines_and_files_equal_the_model(five, size, level):
    result = cli("in.vcf", "out", "-b", str(size), *(["-c", level] if level else []), cwd=five)
    extension = ".vcf.gz" if level else ".vcf"
    assert (result.returncode, result.stderr) == (0, b"")
    assert result.stdout.decode() == expected_stdout(FIVE, size, "out", extension, "records")
    batches = read_batches(five / "out", extension)
    assert len(os.listdir(five / "out")) == len(batches) + 1 and (five / "out" / "manifest.tsv").exists()
    if level:
        assert all(bgzf_blocks(batch) for batch in batches)
        batches = [gzip.decompress(batch) for batch in batches]
    assert batches == expected_batches(FIVE, size)
    assert kestrel_cli.main(["in.vcf", "again", "-b", str(size)]) == 0  # what a caller in Python gets
    # A file URL is the local path it names, percent-decoded.
    assert kestrel_cli.main([f"file://localhost{five}/in.vcf", f"file:{five}/a%20b", "-b", str(size)]) == 0
    assert files(five / "a b") == files(five / "again")


USAGE = [  # scatter()'s keywords, exception and words; kestrel-split's arguments and words (None: no such form)
    ({}, ValueError, "give exactly one of records_per_chunk and chunks",
     "in.vcf out", "one of the arguments -b/--batch-size -k/--chunks is required"),
    ({"records_per_chunk": 2, "chunks": 2}, ValueError, "give exactly one", "in.vcf out -b 2 -k 2", "not allowed with"),
    ({"chunks": 0}, ValueError, "chunks must be at least 1, got 0", "in.vcf out -k 0", "--chunks: must be at least 1"),
    ({"records_per_chunk": -1}, ValueError, "records_per_chunk must be at least 1, got -1",
     "in.vcf out -b -1", "--batch-size: must be at least 1, got -1"),
    ({"records_per_chunk": 2**64}, ValueError, "records_per_chunk must be at most 18446744073709551615",
     "in.vcf out -b 18446744073709551616", "--batch-size: must be at most 18446744073709551615"),
    ({"records_per_chunk": 2.5}, TypeError, "records_per_chunk must be an int or None, not float",
     "in.vcf out -b 2.5", "--batch-size: not a whole number"),
    ({"chunks": True}, TypeError, "chunks must be an int or None, not bool", None, None),
    ({"chunks": 2, "index": "tbi"}, ValueError, "an index needs compressed chunks",
     "in.vcf out -k 2 -i tbi", "--index needs --compression"),
    ({"chunks": 2, "compression": "gzip"}, ValueError, "compression must be None, 'fast', 'default', 'best' (in any "
     "letter case) or a level from 1 to 12, got 'gzip'", "in.vcf out -k 2 -c gzip", "--compression: must be fast, "
     "default or best (in any letter case) or a level from 1 to 12, got 'gzip'"),
    ({"chunks": 2, "compression": ""}, ValueError, "got ''", "in.vcf out -k 2 -c ''", "--compression: must be"),
    ({"chunks": 2, "compression": 13}, ValueError, "got 13", "in.vcf out -k 2 -c 13", "got '13'"),
    ({"chunks": 2, "compression": "9"}, ValueError, "got '9'", "in.vcf out -k 2 -c 0", "got '0'"),
    ({"chunks": 2, "compression": "fast", "index": "bai"}, ValueError, "index must be None, 'tbi' or 'csi'",
     "in.vcf out -k 2 -c fast -i bai", "--index: invalid choice"),
    ({"chunks": 2, "manifest": "no"}, TypeError, "manifest must be True or False", None, None),
    ({"chunks": 2, "client": object()}, TypeError, "client must be a distributed.Client or None", None, None),
    ({"chunks": 2, "range_bytes": 65535}, ValueError, "range_bytes must be at least 65536", None, None),
    ({"chunks": 2, "storage_options": "endpoint"}, TypeError, "storage_options must be a dict or None",
     "in.vcf out -k 2 --storage-option endpoint_url", "--storage-option: not KEY=VALUE"),
    ({"chunks": 2, "output_dir": ""}, ValueError, "output_dir must not be empty",
     "in.vcf '' -k 2", "OUTDIR: must not be empty"),
    ({"chunks": 2, "input": "in.vcf\0"}, ValueError, "null", None, None),
    ({"chunks": 2, "input": "in.vcf##idx##file://elsewhere/i"}, ValueError, "input: the file URL 'file://elsewhere/i'"
     " names the host 'elsewhere'", "file://elsewhere/in.vcf out -k 2", "INPUT: the file URL 'file://elsewhere/in"),
    ({"chunks": 2, "output_dir": "file:///o?x"}, ValueError, "output_dir: the file URL 'file:///o?x' has a query",
     "in.vcf file:///o#x -k 2", "OUTDIR: the file URL 'file:///o#x' has a query or a fragment"),
    ({"chunks": 2, "spool_dir": "file:///s%2"}, ValueError, "spool_dir: the file URL 'file:///s%2' has a '%' that",
     "in.vcf out -k 2 --spool-dir file:///s%zz", "--spool-dir: the file URL 'file:///s%zz' has a '%' that is no"),
    ({"chunks": 2, "input": "file:///in%00"}, ValueError, "input: the file URL 'file:///in%00' holds an escaped NUL",
     "in.vcf FILE://LocalHost -k 2", "OUTDIR: the file URL 'FILE://LocalHost' names no path"),
    ({"chunks": 2, "output_dir": "HTTPS://host/out"}, ValueError, "HTTPS://host/out: http and https outputs are not "
     "supported", "in.vcf http://host/out -k 2", "OUTDIR: http://host/out: http and https outputs are not supported"),
    ({"chunks": 2, "keep_together": "gene"}, ValueError, "keep_together must be None or 'position', got 'gene'",
     "in.vcf out -k 2 --keep-together gene", "--keep-together: invalid choice"),
    ({"chunks": 2, "keep_together": True}, TypeError, "keep_together must be None or 'position', not bool", None, None),
    ({"chunks": 2, "by_contig": 1}, TypeError, "by_contig must be True or False, not int", None, None),
    ({"keep_together": "position"}, ValueError, "give exactly one", "in.vcf out --keep-together position",
     "one of the arguments -b/--batch-size -k/--chunks is required"),
    # by_contig alone cuts at every contig: it takes at most one count
    ({"chunks": 2, "records_per_chunk": 3, "by_contig": True}, ValueError, "give at most one of records_per_chunk and "
     "chunks", "in.vcf out --by-contig -k 2 -b 3", "not allowed with"),
    (None, None, None, "in\udcff.vcf out -k 2", "INPUT: not a UTF-8 path"),
    (None, None, None, "in.vcf out -k 2 --scheduler ''", "--scheduler: must not be empty"),
    (None, None, None, "in.vcf out -k 2 -@ 0", "--threads: must be at least 1, got 0"),
    (None, None, None, "in.vcf out -k 2 --threads all", "--threads: not a whole number: 'all'"),
]


@pytest.mark.parametrize("keywords, kind, words, arguments, complaint", USAGE)
def test_usage_errors_of_scatter_and_of_the_command(five, keywords, kind, words, arguments, complaint):
    """A bad argument is a ValueError or TypeError of scatter(), and a usage error (exit
    status 2) on the command line, before anything is read or made."""
    if keywords is not None:
        with pytest.raises(kind, match=re.escape(words)):
            kestrel_scatter.scatter(**{"input": "in.vcf", "output_dir": "out", **keywords})
    if arguments is not None:
        result = cli(*shlex.split(arguments), cwd=five)
        assert (result.returncode, result.stdout) == (2, b"")
        assert result.stderr.startswith(b"usage: kestrel-split ") and complaint in result.stderr.decode()
    assert not (five / "out").exists()


@pytest.mark.parametrize("arguments, made, kind, filename, printed, message", [
    ("missing.vcf out -b 2 -c Best", None, FileNotFoundError, "missing.vcf", "",
     "missing.vcf: No such file or directory"),
    ("in.vcf in.vcf -k 2 -c DEFAULT", None, NotADirectoryError, "in.vcf", "", "in.vcf is not a directory"),
    ("in.vcf out -b 2 -c fast", "out/batch_02.vcf.gz/", IsADirectoryError, "out/batch_02.vcf.gz",
     "Saving batch_01.vcf.gz\n", "out/batch_02.vcf.gz: Is a directory"),
    ("in.vcf out -k 2 --spool-dir missing", None, FileNotFoundError, "missing", "",
     "missing: No such file or directory"),
    ("in.vcf out -k 2 --spool-dir in.vcf", None, NotADirectoryError, "in.vcf", "", "in.vcf is not a directory"),
    ("out/batch_01.vcf out -b 1", "out/batch_01.vcf", OSError, None, "",
     "the batch file out/batch_01.vcf is the input file"),
])
def test_failures_exit_1_saying_what_scatter_raises(five, capfd, arguments, made, kind, filename, printed, message):
    """The command's message is the exception of scatter() with the same arguments;
    files saved before a failure stay, and nothing else is made or changed."""
    if made:
        (five / "out").mkdir()
        (five / made).mkdir() if made.endswith("/") else (five / made).write_bytes(FIVE)
    args = kestrel_cli.build_parser().parse_args(shlex.split(arguments))
    with pytest.raises(kind) as raised:
        kestrel_scatter.scatter(args.input, args.outdir, records_per_chunk=args.batch_size, chunks=args.chunks,
                                compression=args.compression, spool_dir=args.spool_dir)
    assert type(raised.value) is kind and raised.value.filename == filename
    capfd.readouterr()
    assert kestrel_cli.main(shlex.split(arguments)) == 1
    assert capfd.readouterr() == (printed, f"kestrel-split: error: {message}\n")
    kept = [line.split()[-1] for line in printed.splitlines()]
    if made and not made.endswith("/"):
        kept.append(os.path.basename(made))  # the input, as it was
    assert sorted(files(five / "out")) == sorted(kept)
    assert (five / "out").exists() == bool(made) and leftovers(five / "out") == []
    assert (five / "in.vcf").read_bytes() == FIVE and files(five / "out").get("batch_01.vcf", FIVE) == FIVE


@pytest.mark.parametrize("shell, count, options, message", [
    ('exec "$@" >&-', 5, ["-b", "2"], "failed printing to stdout: Bad file descriptor (os error 9)"),
    ('exec "$@" >/dev/full', 5, ["-b", "2"], "failed printing to stdout: No space left on device (os error 28)"),
    pytest.param('ulimit -v 40960; exec "$@"', 400_000, ["-k", "4", "-c", "fast", "-i", "tbi"],
                 "memory allocation failed", marks=pytest.mark.skipif(
                     UNDER_SANITIZER, reason="the sanitizer reserves more address space than the limit")),
    # Waited for up to the connect timeout (a scheduler may be starting), then given up.
    ('exec "$@"', 5, ["-b", "2", "--scheduler-file", "s.json"], "cannot read the Dask scheduler file s.json: "
     "No such file or directory (waited 1 s for a scheduler to write it)"),
    *[(f"echo '{text}' >s.json; exec \"$@\"", 5, ["-b", "2", "--scheduler-file", "s.json"], "s.json is not a Dask "
       "scheduler file: no address in it (`dask scheduler --scheduler-file FILE` writes one)") for text in ("{}", "[")],
])
def test_a_failing_standard_output_exhausted_memory_or_a_bad_scheduler_file_exit_1_in_words(tmp_path, shell, count,
                                                                                             options, message):
    (tmp_path / "in.vcf").write_bytes(HEADER + records(count))
    result = cli("in.vcf", "out", *options, cwd=tmp_path, wrap=("sh", "-c", shell, "sh"),
                 env={"RAYON_NUM_THREADS": "8", "DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT": "1s"})
    assert (result.returncode, result.stderr.decode()) == (1, f"kestrel-split: error: {message}\n")


@pytest.mark.parametrize("sample", ["small-cohort.vcf.gz", "haploid-x.vcf"])
def test_standard_input_gives_what_the_file_gives(tmp_path, sample):
    for n, options in enumerate((["-b", "100", "-c", "fast", "--index", "csi"], ["-k", "3", "--spool-dir", "."],
                                 ["-k", "3"])):
        from_file = cli(DATA / sample, f"file{n}", *options, cwd=tmp_path)
        with open(DATA / sample, "rb") as data:  # through a pipe, which cannot be read twice or seeked
            cat = subprocess.Popen(["cat"], stdin=data, stdout=subprocess.PIPE)
            from_pipe = cli("-", f"pipe{n}", *options, stdin=cat.stdout, cwd=tmp_path)
            cat.stdout.close()  # unread when refused: cat ends on the broken pipe
            cat.wait()
        assert from_file.returncode == 0, from_file.stderr
        if "-k" in options and "--spool-dir" not in options:
            assert from_pipe.returncode == 1 and re.search(rb"read twice.*spool", from_pipe.stderr)
            continue
        assert from_pipe.returncode == 0, from_pipe.stderr
        assert from_pipe.stdout.replace(b"pipe", b"file") == from_file.stdout
        assert files(tmp_path / f"pipe{n}") == files(tmp_path / f"file{n}")


@pytest.mark.parametrize("terminal, quiet", [(True, False), (False, False), (True, True)])
def test_a_progress_bar_on_a_terminal_only_and_not_when_quiet(tmp_path, terminal, quiet):
    data = HEADER + records(300_000)
    reader, writer = pty.openpty() if terminal else os.pipe()
    child = cli("-", "out", "--chunks", "3", "-c", "best", "--spool-dir", ".", *["-q"] * quiet, cwd=tmp_path,
                popen=True, stderr=writer)
    os.close(writer)
    # Through a pipe that stalls for more than the second after which the bar shows.
    child.stdin.write(data[:len(data) // 2])
    child.stdin.flush()
    time.sleep(1.3)
    child.stdin.write(data[len(data) // 2:])
    child.stdin.close()
    stderr = b""
    with contextlib.suppress(OSError):  # EIO once the child has closed its end of a terminal
        while chunk := os.read(reader, 4096):
            stderr += chunk
    os.close(reader)
    assert child.wait(timeout=300) == 0
    assert child.stdout.read().decode() == "" if quiet else (
        "Saving batch_01.vcf.gz\nSaving batch_02.vcf.gz\nSaving batch_03.vcf.gz\nSaved 3 batches with 100000 records to out.\n")
    # Drawn (what a pipe's size cannot tell is counted in MB), then wiped.
    assert (b"MB read" in stderr and stderr.endswith(b"\r\x1b[K")) if terminal and not quiet else stderr == b""


def test_quiet_drops_the_notes_not_the_errors(five):
    loud, quiet = (cli("in.vcf", out, "-k", "9", *options, cwd=five) for out, options in (("loud", []), ("q", ["-q"])))
    assert loud.stderr == b"kestrel-split: note: the input holds 5 records, so 5 batches were written instead of 9\n"
    assert (quiet.returncode, quiet.stdout, quiet.stderr) == (0, b"", b"") and files(five / "q") == files(five / "loud")
    failed = cli("missing.vcf", "out", "-b", "2", "-q", cwd=five)
    assert (failed.returncode, failed.stderr) == (1, b"kestrel-split: error: missing.vcf: No such file or directory\n")


def test_threads_start_that_many_workers_whatever_the_environment_says(tmp_path):
    """The pool's workers live as long as the process: counted in /proc while a run waits
    for more input, past its first compressed batch, they differ as the pools do."""
    tasks = {}
    for pool, options in ((1, ["-@", "1"]), (3, ["--threads", "3"]), (5, [])):
        child = cli("-", f"out{pool}", "-b", "50000", "-c", "fast", *options, cwd=tmp_path, popen=True,
                    stdout=subprocess.DEVNULL, env={"RAYON_NUM_THREADS": "5", "RAYON_RS_NUM_CPUS": "2"})
        child.stdin.write(HEADER + records(200_000))  # more than a read: saved up to batch_03 as it waits
        child.stdin.flush()
        deadline = time.monotonic() + 60
        while not (tmp_path / f"out{pool}" / "batch_03.vcf.gz").exists() and time.monotonic() < deadline:
            time.sleep(0.05)
        tasks[pool] = len(os.listdir(f"/proc/{child.pid}/task"))
        child.stdin.close()
        assert child.wait(timeout=60) == 0
    assert (tasks[3] - tasks[1], tasks[5] - tasks[1]) == (2, 4)


def test_help_version_man_page_and_the_installed_command(tmp_path):
    result = cli("--help", cwd=tmp_path)
    assert result.returncode == 0
    text = " ".join(result.stdout.decode().split())
    assert text.startswith("usage: kestrel-split ") and text.endswith("documentation: docs/cli.md and the rest of "
                                                                       "docs/ in kestrel's source; man kestrel-split.")
    for expected in ("INPUT", "OUTDIR", "--batch-size N", "--compression LEVEL", "fast, default or best",
                     "at least 1", "batch_01.vcf", "batch_01.vcf.gz", "header", "overwritten",
                     "higher-numbered files", "exit status", "--keep-together", "--by-contig", "largest remainder"):
        assert expected in text
    # The version released, as pyproject.toml gives it to the build.
    with open(REPO / "pyproject.toml", "rb") as pyproject:
        version = tomllib.load(pyproject)["project"]["version"]
    assert cli("--version").stdout.decode() == f"kestrel-split {version}\n" and kestrel_scatter.__version__ == version
    # The man page installed with the package (not with a build tree's modules): every
    # option, and groff renders it without a warning.
    page = Path(sys.prefix, "share/man/man1/kestrel-split.1")
    assert page.exists() or not Path(kestrel_scatter.__file__).is_relative_to(sys.prefix)
    if shutil.which("groff") and page.exists():
        plain = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}  # groff is no part of the sanitized run
        rendered = subprocess.run(["groff", "-man", "-Tutf8", "-ww", page], capture_output=True, timeout=60, env=plain)
        assert rendered.returncode == 0 and rendered.stderr == b"", rendered.stderr
        options = [o for a in kestrel_cli.build_parser()._actions for o in a.option_strings]
        assert [o for o in options if o.replace("-", "\\-") not in page.read_text()] == []
    # The console script beside the interpreter, or on PATH, runs without this run's PYTHONPATH.
    script = shutil.which("kestrel-split", path=f"{os.path.dirname(sys.executable)}{os.pathsep}{os.environ['PATH']}")
    if script is None:
        pytest.skip("kestrel-split is not installed")
    env = {key: value for key, value in os.environ.items() if key != "PYTHONPATH"}
    installed = subprocess.run([script, "--help"], cwd=tmp_path, env=env, capture_output=True, timeout=60)
    assert installed.returncode == 0 and installed.stdout.startswith(b"usage: kestrel-split "), installed.stderr
