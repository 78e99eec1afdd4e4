"""Compressed batches against pigz on the same ~1 GB of VCF text.

Run from the repository with the module importable, for example
    PYTHONPATH=build/dev python3 bench/bench_compress.py
Inputs and outputs go to bench/work/ (git-ignored); the input is made once and kept.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

BENCH = Path(__file__).resolve().parent
WORK = BENCH / "work"
DATA = BENCH.parent.parent / "shared" / "data"

KESTREL_RUN = (
    "import sys, kestrel\n"
    "kestrel.py_extract_variants_to_batches(sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4])\n"
)


def build_input(path, size):
    """Records of haploid-x.vcf repeated with increasing positions; returns the record count."""
    lines = (DATA / "haploid-x.vcf").read_bytes().splitlines(keepends=True)
    header = b"".join(line for line in lines if line.startswith(b"#"))
    records = [line.split(b"\t", 2) for line in lines if not line.startswith(b"#")]
    count_path = path.with_suffix(".records")
    if path.exists() and count_path.exists() and path.stat().st_size >= size:
        return int(count_path.read_text())
    count, written, shift = 0, len(header), 0
    with open(path, "wb") as out:
        out.write(header)
        while written < size:
            block = b"".join(
                b"\t".join((chrom, str(int(pos) + shift).encode(), rest)) for chrom, pos, rest in records
            )
            out.write(block)
            written += len(block)
            count += len(records)
            shift += 100_000_000
    count_path.write_text(str(count))
    return count


def timed(command, stdout=subprocess.DEVNULL):
    """Seconds and peak resident memory (MB) of one child process."""
    start = time.perf_counter()
    child = subprocess.Popen(command, stdout=stdout, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(child.pid, 0)
    elapsed = time.perf_counter() - start
    stderr = child.stderr.read().decode(errors="replace")
    child.stderr.close()
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"{command[0]} failed: {stderr}")
    return elapsed, usage.ru_maxrss / 1024


def alternating(runs, ours, theirs):
    """Median seconds of each, runs interleaved so that outside load hits both alike;
    and our peak memory."""
    our_runs, their_runs = [], []
    for _ in range(runs):
        our_runs.append(ours())
        their_runs.append(theirs())
    return (
        statistics.median(r[0] for r in our_runs),
        statistics.median(r[0] for r in their_runs),
        max(r[1] for r in our_runs),
    )


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size-mb", type=int, default=1000, help="input size (default 1000)")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--batches", type=int, default=10)
    arguments = parser.parse_args()
    if shutil.which("pigz") is None:
        sys.exit("pigz is not installed")

    WORK.mkdir(exist_ok=True)
    source = WORK / f"input-{arguments.size_mb}mb.vcf"
    records = build_input(source, arguments.size_mb * 1_000_000)
    batch_size = -(-records // arguments.batches)
    threads = len(os.sched_getaffinity(0))
    size = source.stat().st_size
    largest_batch = size / arguments.batches
    print(f"input {size / 1e6:.0f} MB, {records} records, batch_size {batch_size}, {threads} threads")

    def kestrel(level):
        output = WORK / f"kestrel-{level}"
        shutil.rmtree(output, ignore_errors=True)
        return timed([sys.executable, "-c", KESTREL_RUN, str(source), str(output), str(batch_size), level])

    def pigz(level):
        with open(WORK / "pigz.gz", "wb") as out:
            return timed(["pigz", "-p", str(threads), f"-{level}", "-c", str(source)], stdout=out)

    os.sync()  # a freshly written input would otherwise be flushed during the first runs
    subprocess.run(["cat", str(source)], stdout=subprocess.DEVNULL, check=True)  # warm the page cache
    print(f"load average before: {os.getloadavg()[0]:.2f}")
    print(f"{'pair':<34}{'kestrel s':>10}{'peer s':>9}{'ratio':>8}{'kestrel peak MB':>17}")
    for name, level, pigz_level in (("fast", "fast", 1), ("default", "default", 6)):
        ours, theirs, peak = alternating(arguments.runs, lambda: kestrel(level), lambda: pigz(pigz_level))
        written = sum(f.stat().st_size for f in (WORK / f"kestrel-{level}").iterdir())
        label = f"{name} vs pigz -p {threads} -{pigz_level}"
        print(f"{label:<34}{ours:>10.2f}{theirs:>9.2f}{ours / theirs:>8.2f}{peak:>17.0f}"
              f"   ({written / 1e6:.0f} MB written, largest batch {largest_batch / 1e6:.0f} MB)")
    print(f"load average after: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
