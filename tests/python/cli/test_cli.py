import os
import pty
import shutil
import signal
import subprocess
import sys
import threading

import pytest

import kestrel_cli
from conftest import BGZF_EOF, DATA, HEADER, child_env, records, run_python

FIVE_RECORDS = "##fileformat=VCFv4.2\n#CHROM\tPOS\n1\t1\n1\t2\n1\t3\n1\t4\n1\t5\n"


def run_cli(*args, cwd):
    return subprocess.run(
        [sys.executable, "-m", "kestrel_cli", *map(os.fsencode, args)],
        cwd=cwd, env=child_env(), capture_output=True, timeout=120,
    )


@pytest.fixture
def five_records(tmp_path):
    source = tmp_path / "in.vcf"
    source.write_text(FIVE_RECORDS)
    return source


def test_success_prints_the_progress_lines_and_writes_the_batches(tmp_path, five_records):
    result = run_cli(five_records, "out", "--batch-size", "2", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stderr == b""
    assert result.stdout.decode() == (
        "Saving batch_01.vcf\n"
        "Saving batch_02.vcf\n"
        "Saving final batch with less than 2 samples to batch_03.vcf\n"
        "Saved 3 batches with 2 samples to out.\n"
    )
    header = "##fileformat=VCFv4.2\n#CHROM\tPOS\n"
    out = tmp_path / "out"
    assert sorted(p.name for p in out.iterdir()) == ["batch_01.vcf", "batch_02.vcf", "batch_03.vcf", "manifest.tsv"]
    assert (out / "batch_01.vcf").read_text() == header + "1\t1\n1\t2\n"
    assert (out / "batch_03.vcf").read_text() == header + "1\t5\n"


@pytest.mark.parametrize("size, summary", [
    ("1", "Saved 5 batches with 1 samples to out.\n"),
    ("18446744073709551615", "Saved 1 batches with 18446744073709551615 samples to out.\n"),
])
def test_batch_size_limits_are_accepted(tmp_path, five_records, size, summary):
    result = run_cli(five_records, "out", "--batch-size", size, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.decode().endswith(summary)


def test_missing_input_exits_1_with_the_message(tmp_path):
    result = run_cli("missing.vcf", "out", "--batch-size", "2", cwd=tmp_path)
    assert result.returncode == 1
    assert result.stdout == b""
    assert result.stderr.decode() == "kestrel-split: error: missing.vcf: No such file or directory\n"
    assert not (tmp_path / "out").exists()


def test_failed_save_exits_1_and_keeps_earlier_batches(tmp_path, five_records):
    (tmp_path / "out" / "batch_02.vcf").mkdir(parents=True)
    result = run_cli(five_records, "out", "--batch-size", "2", cwd=tmp_path)
    assert result.returncode == 1
    assert result.stdout.decode() == "Saving batch_01.vcf\n"
    assert result.stderr.decode() == "kestrel-split: error: out/batch_02.vcf: Is a directory\n"
    assert (tmp_path / "out" / "batch_01.vcf").is_file()
    result = run_cli(five_records, "in.vcf", "--batch-size", "2", cwd=tmp_path)
    assert (result.returncode, result.stderr) == (1, b"kestrel-split: error: in.vcf is not a directory\n")



@pytest.mark.parametrize("redirection, error", [
    (">&-", "Bad file descriptor (os error 9)"),
    (">/dev/full", "No space left on device (os error 28)"),
])
def test_standard_output_closed_or_failing_exits_1_with_the_message(tmp_path, five_records, redirection, error):
    command = [sys.executable, "-m", "kestrel_cli", str(five_records), "out", "-b", "2"]
    result = subprocess.run(["sh", "-c", f'exec "$@" {redirection}', "sh", *command],
                            cwd=tmp_path, env=child_env(), stderr=subprocess.PIPE, timeout=120)
    assert result.returncode == 1
    assert result.stderr.decode().endswith(f"kestrel-split: error: failed printing to stdout: {error}\n")
    assert "Traceback" not in result.stderr.decode()


def test_interrupt_exits_130_without_a_traceback(tmp_path):
    source = tmp_path / "in.vcf"
    source.write_bytes(HEADER + records(100_000) * 25)  # 42 MB: seconds of work at "best"
    child = subprocess.Popen(
        [sys.executable, "-m", "kestrel_cli", source, "out", "-b", "100000", "-c", "best"],
        cwd=tmp_path, env=child_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        # A shell may have started this run with Ctrl-C ignored; the child obeys it.
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),
    )
    assert child.stdout.readline() == b"Saving batch_01.vcf.gz\n"
    child.send_signal(signal.SIGINT)
    # Until the module stops promptly, the interrupt ends the command once the call has returned.
    _, stderr = child.communicate(timeout=600)
    assert child.returncode == 130
    assert b"Traceback" not in stderr
    # From the command's first lines on, before main() runs too, a signal ends it with 128 + its number.
    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        early = run_python(f"import os, signal, sys, time; signal.signal(signal.SIGINT, signal.SIG_DFL); "
                           f"sys.argv[0] = '/bin/kestrel-split'; import kestrel_cli; "
                           f"os.kill(os.getpid(), {int(number)}); time.sleep(60)", check=False)
        assert (early.returncode, early.stderr) == (128 + number, b"")


@pytest.mark.parametrize("arguments, complaint", [
    (["--batch-size", "0"], "--batch-size: must be at least 1, got 0"),
    (["--batch-size", "18446744073709551616"], "--batch-size: must be at most 18446744073709551615"),
    (["--batch-size", "2.5"], "--batch-size: not a whole number"),
    (["--batch-size", "ten"], "--batch-size: not a whole number"),
    ([], "one of the arguments -b/--batch-size -k/--chunks is required"),
    (["-b", "2", "--chunks", "2"], "not allowed with argument"),
    (["--chunks", "0"], "--chunks: must be at least 1"),
    (["-b", "2", "--index", "tbi"], "--index needs --compression"),
    (["--batch-size", "2", "--compression", "gzip"], "--compression: invalid choice"),
    (["--batch-size", "2", "--compression", ""], "--compression: invalid choice"),
    (["--batch-size", "2", "--compression", "9"], "--compression: invalid choice"),
    (["", "--batch-size", "2"], "OUTDIR: must not be empty"),
])
def test_bad_arguments_exit_2_with_usage(tmp_path, five_records, arguments, complaint):
    outdir = [] if arguments[:1] == [""] else ["out"]
    result = run_cli(five_records, *outdir, *arguments, cwd=tmp_path)
    assert result.returncode == 2
    assert result.stdout == b""
    stderr = result.stderr.decode()
    assert stderr.startswith("usage: kestrel-split ")
    assert complaint in stderr
    assert not (tmp_path / "out").exists()


@pytest.mark.skipif(sys.platform == "win32", reason="file names there are not bytes")
def test_path_that_is_not_utf8_exits_2(tmp_path):
    result = run_cli(b"in\xff.vcf", "out", "--batch-size", "2", cwd=tmp_path)
    assert result.returncode == 2
    assert "INPUT: not a UTF-8 path" in result.stderr.decode()


@pytest.mark.parametrize("name", ["fast", "DEFAULT", "Best"])
def test_compression_names_pass_validation_in_any_case(tmp_path, name):
    # A missing input fails after the arguments were accepted: exit 1, not 2.
    result = run_cli("missing.vcf", "out", "--batch-size", "2", "--compression", name, cwd=tmp_path)
    assert result.returncode == 1
    assert "missing.vcf: No such file or directory" in result.stderr.decode()


def test_compressed_output(tmp_path, five_records):
    result = run_cli(five_records, "out", "--batch-size", "2", "--compression", "best", cwd=tmp_path)
    if result.returncode == 1 and b"not available in this build" in result.stderr:
        pytest.skip("compressed batch files are not built yet")
    assert result.returncode == 0, result.stderr
    assert result.stdout.decode() == (
        "Saving batch_01.vcf.gz\n"
        "Saving batch_02.vcf.gz\n"
        "Saving final batch with less than 2 samples to batch_03.vcf.gz\n"
        "Saved 3 batches with 2 samples to out.\n"
    )
    import gzip

    batch = (tmp_path / "out" / "batch_02.vcf.gz").read_bytes()
    assert batch.endswith(BGZF_EOF)
    assert gzip.decompress(batch).decode() == "##fileformat=VCFv4.2\n#CHROM\tPOS\n1\t3\n1\t4\n"


def test_help_explains_options_and_output_files(tmp_path):
    result = run_cli("--help", cwd=tmp_path)
    assert result.returncode == 0
    text = " ".join(result.stdout.decode().split())
    assert text.startswith("usage: kestrel-split ")
    for expected in ("INPUT", "OUTDIR", "--batch-size N", "--compression LEVEL", "fast, default or best",
                     "at least 1", "batch_01.vcf", "batch_01.vcf.gz", "header", "overwritten",
                     "higher-numbered files", "exit status"):
        assert expected in text


def test_main_returns_the_exit_status(tmp_path, five_records, capfd):
    assert kestrel_cli.main([str(five_records), str(tmp_path / "out"), "--batch-size", "5"]) == 0
    assert kestrel_cli.main([str(tmp_path / "missing.vcf"), str(tmp_path / "out"), "-b", "5"]) == 1
    captured = capfd.readouterr()
    assert "Saved 1 batches with 5 samples" in captured.out
    assert "missing.vcf: No such file or directory" in captured.err


def test_installed_console_script(tmp_path):
    script = shutil.which("kestrel-split")
    if script is None:
        pytest.skip("kestrel-split is not on PATH (package not installed)")
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    probe = subprocess.run([sys.executable, "-c", "import kestrel_cli"], cwd=tmp_path, env=env)
    if probe.returncode != 0:
        pytest.skip("the installed kestrel predates its command line; reinstall it")
    result = subprocess.run([script, "--help"], cwd=tmp_path, env=env, capture_output=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith(b"usage: kestrel-split ")


def cli_with_input(*args, stdin=None, cwd):
    return subprocess.run([sys.executable, "-m", "kestrel_cli", *map(str, args)], stdin=stdin, cwd=cwd,
                          env=child_env(), capture_output=True, timeout=120)


@pytest.mark.parametrize("sample", ["small-cohort.vcf.gz", "haploid-x.vcf"])
def test_standard_input_gives_what_the_file_gives(tmp_path, sample):
    source = DATA / sample
    for options in (["-b", "100", "-c", "fast", "--index", "csi"], ["--chunks", "3", "--spool-dir", tmp_path]):
        from_file = cli_with_input(source, "file", *options, cwd=tmp_path)
        with open(source, "rb") as data:
            # Through a pipe, which cannot be read twice or seeked.
            cat = subprocess.Popen(["cat"], stdin=data, stdout=subprocess.PIPE)
            from_pipe = cli_with_input("-", "pipe", *options, stdin=cat.stdout, cwd=tmp_path)
            cat.stdout.close()
            cat.wait()
        assert from_file.returncode == from_pipe.returncode == 0, from_pipe.stderr
        assert from_pipe.stdout.replace(b"pipe", b"file") == from_file.stdout
        names = sorted(p.name for p in (tmp_path / "file").iterdir())
        assert names == sorted(p.name for p in (tmp_path / "pipe").iterdir())
        assert all((tmp_path / "file" / n).read_bytes() == (tmp_path / "pipe" / n).read_bytes() for n in names)
        shutil.rmtree(tmp_path / "file")
        shutil.rmtree(tmp_path / "pipe")
    with open(source, "rb") as data:
        cat = subprocess.Popen(["cat"], stdin=data, stdout=subprocess.PIPE)
        refused = cli_with_input("-", "pipe", "--chunks", "3", stdin=cat.stdout, cwd=tmp_path)
        cat.stdout.close()  # unread: cat ends on the broken pipe
        cat.wait()
    assert refused.returncode == 1
    assert "read twice" in refused.stderr.decode() and "spool" in refused.stderr.decode()


def test_cli_chunks_summary_and_progress_bar_on_a_terminal(tmp_path):
    source = tmp_path / "in.vcf"
    source.write_bytes(HEADER + records(300_000))
    main, follower = pty.openpty()
    # Through a pipe that stalls for more than the second after which the bar shows.
    child = subprocess.Popen([sys.executable, "-m", "kestrel_cli", "-", "out", "--chunks", "3", "-c", "best",
                              "--spool-dir", tmp_path], cwd=tmp_path, env=child_env(), stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, stderr=follower)
    os.close(follower)

    def feed(data=source.read_bytes()):
        child.stdin.write(data[:len(data) // 2])
        child.stdin.flush()
        threading.Event().wait(1.3)
        child.stdin.write(data[len(data) // 2:])
        child.stdin.close()
    feeder = threading.Thread(target=feed)
    feeder.start()
    terminal = b""
    while True:
        try:
            data = os.read(main, 4096)
        except OSError:  # the child closed its end
            break
        if not data:
            break
        terminal += data
    feeder.join()
    stdout = child.stdout.read()
    child.wait(timeout=300)
    os.close(main)
    assert child.returncode == 0
    assert stdout.decode() == ("Saving batch_01.vcf.gz\nSaving batch_02.vcf.gz\nSaving batch_03.vcf.gz\n"
                               "Saved 3 batches with 100000 samples to out.\n")
    # Drawn (what a pipe's size cannot tell is counted in MB), then wiped.
    assert b"MB read" in terminal and terminal.endswith(b"\r\x1b[K")
    redirected = cli_with_input(source, "again", "--chunks", "3", "-c", "fast", cwd=tmp_path)
    assert redirected.stderr == b""


