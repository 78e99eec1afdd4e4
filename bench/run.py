#!/usr/bin/env python3
"""Times kestrel against the tools a user would otherwise reach for, side by side on
the same bytes, and prints the ratio of medians for each pair.

    .venv/bin/python bench/run.py [--size-mb 1024] [--short-lines 10000000]
                                  [--runs 3] [--out /dev/shm/kestrel-bench]

It times the installed kestrel, or the build that PYTHONPATH points at. Inputs are
built under bench/work/ from the sample files in tests/data. bgzip (htslib), pigz,
cat and split are used as black boxes. Output goes to --out (default bench/work); a
tmpfs there takes the disk out of the comparison.
"""
import argparse
import gzip
import os
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
DATA = REPO / "tests" / "data"
CPUS = len(os.sched_getaffinity(0))


def build_repeated(records_source, target_bytes, path):
    """Repeats the records of a sample with ever increasing positions."""
    if path.exists() and path.stat().st_size >= target_bytes:
        return
    text = records_source()
    lines = text.split(b"\n")
    header = [l for l in lines if l.startswith(b"#")]
    records = [l.split(b"\t", 2) for l in lines if l and not l.startswith(b"#")]
    position = 0
    written = 0
    with open(path, "wb") as out:
        out.write(b"\n".join(header) + b"\n")
        while written < target_bytes:
            chunk = []
            for chrom, _, rest in records:
                position += 1
                chunk.append(b"%s\t%d\t%s" % (chrom, position, rest))
            blob = b"\n".join(chunk) + b"\n"
            out.write(blob)
            written += len(blob)


def timed(command, *, shell=False):
    """Wall time and peak RSS (KB) of one run."""
    start = time.perf_counter()
    process = subprocess.Popen(command, shell=shell, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(process.pid, 0)
    elapsed = time.perf_counter() - start
    if status != 0:
        sys.exit(f"failed ({status}): {command}")
    return elapsed, usage.ru_maxrss


def median_time(command, runs, *, shell=False, outputs=()):
    """Median wall time and the largest peak RSS (KB). Every run starts without the
    outputs of the previous one and with no dirty pages left to write back, so no run
    pays for another's truncation or writeback."""
    times, peaks = [], []
    for _ in range(runs):
        for path in outputs:
            if path.is_dir():
                shutil.rmtree(path)
            else:
                path.unlink(missing_ok=True)
        os.sync()
        elapsed, peak = timed(command, shell=shell)
        times.append(elapsed)
        peaks.append(peak)
    return statistics.median(times), max(peaks), times


def kestrel_command(source, out, batch_size, level=None):
    call = f"kestrel.py_extract_variants_to_batches({str(source)!r}, {str(out)!r}, {batch_size}, {level!r})"
    return [sys.executable, "-c", f"import kestrel; {call}"]


def largest_file(directory):
    return max((p.stat().st_size for p in Path(directory).iterdir()), default=0)


def machine():
    model = "unknown CPU"
    with open("/proc/cpuinfo") as info:
        for line in info:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    return f"{time.strftime('%Y-%m-%d')}, {os.cpu_count()} processors ({CPUS} usable), {model}"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size-mb", type=int, default=1024, help="size of the large input")
    parser.add_argument("--short-lines", type=int, default=10_000_000, help="records of the short-line input")
    parser.add_argument("--runs", type=int, default=3, help="runs per command; the median is reported")
    parser.add_argument("--work", type=Path, default=REPO / "bench" / "work", help="where the inputs are built")
    parser.add_argument("--out", type=Path, default=None,
                        help="where every command writes its output (default: the work directory)")
    args = parser.parse_args()
    for tool in ("bgzip", "pigz", "split"):
        if shutil.which(tool) is None:
            sys.exit(f"{tool} is not installed (Debian packages tabix, pigz, coreutils)")
    import kestrel  # the module under test, as found on PYTHONPATH

    work = args.work
    work.mkdir(parents=True, exist_ok=True)
    scratch = args.out or work
    scratch.mkdir(parents=True, exist_ok=True)
    big = work / "large.vcf"
    big_gz = work / "large.vcf.gz"
    short = work / "short.vcf"
    header = work / "header.vcf"
    out = scratch / "out"
    split_dir = scratch / "split"
    peer = scratch / "peer.out"

    print(f"building inputs in {work} ...", flush=True)
    build_repeated(lambda: gzip.open(DATA / "multisample.vcf.gz").read(), args.size_mb << 20, big)
    sites = (DATA / "sites-index.vcf").read_bytes()
    site_records = [l for l in sites.split(b"\n") if l and not l.startswith(b"#")]
    short_bytes = args.short_lines * (sum(map(len, site_records)) // len(site_records) + 1)
    build_repeated(lambda: sites, short_bytes, short)
    if not big_gz.exists() or big_gz.stat().st_mtime < big.stat().st_mtime:
        subprocess.run(f"bgzip -@{CPUS} -l 6 -c {big} > {big_gz}", shell=True, check=True)
    with open(big, "rb") as source, open(header, "wb") as target:
        for line in source:
            if not line.startswith(b"#"):
                break
            target.write(line)

    big_records = sum(1 for _ in open(big, "rb")) - sum(1 for _ in open(header, "rb"))
    batch_size = -(-big_records // 10)
    short_records = sum(1 for l in open(short, "rb") if not l.startswith(b"#"))
    print(f"kestrel: {kestrel.__file__}")
    print(f"machine: {machine()}")
    print(f"large: {big.stat().st_size >> 20} MB, {big_records} records, batch_size {batch_size}; "
          f"short: {short.stat().st_size >> 20} MB, {short_records} records, batch_size 1000; "
          f"outputs in {scratch}; median of {args.runs} runs\n", flush=True)

    runs = args.runs
    rows = []      # (kestrel run, peer, kestrel s, peer s, target)
    memory = []    # (kestrel run, peak KB, largest batch content in bytes)

    def kestrel_run(name, source, size, level, content=None):
        seconds, peak, times = median_time(kestrel_command(source, out, size, level), runs, outputs=[out])
        print(f"  kestrel {name}: {' '.join(f'{t:.2f}' for t in times)} s", flush=True)
        # Plain batch files are the batch content itself; compressed runs take it
        # from the plain run of the same input.
        content = largest_file(out) if level is None else content
        memory.append((name, peak, content))
        return seconds, content

    def peer_run(command, outputs=(peer,)):
        seconds, _, times = median_time(command, runs, shell=True, outputs=list(outputs))
        print(f"  {command.split()[0]}: {' '.join(f'{t:.2f}' for t in times)} s", flush=True)
        return seconds

    def pair(name, seconds, peer_name, peer_seconds, target):
        rows.append((name, peer_name, seconds, peer_seconds, target))
        ratio = seconds / peer_seconds
        verdict = "" if target is None else ("ok" if ratio <= target else "MISSED")
        print(f"{name:<30} {seconds:6.2f} s  vs  {peer_name:<30} {peer_seconds:6.2f} s  "
              f"ratio {ratio:5.2f}  {'' if target is None else f'<= {target:.2f}':>7} {verdict}", flush=True)

    k, big_content = kestrel_run("plain -> plain", big, batch_size, None)
    pair("plain -> plain", k, "cat > file", peer_run(f"cat {big} > {peer}"), 1.20)

    k, _ = kestrel_run("BGZF -> plain", big_gz, batch_size, None)
    pair("BGZF -> plain", k, "bgzip -dc > file", peer_run(f"bgzip -dc {big_gz} > {peer}"), 1.15)
    pair("BGZF -> plain", k, "pigz -dc > file", peer_run(f"pigz -dc {big_gz} > {peer}"), None)

    fast = None
    for label, tool_level, target in (("fast", 1, 1.25), ("default", 6, 1.15)):
        k, _ = kestrel_run(f"plain -> {label}", big, batch_size, label, big_content)
        fast = fast or k
        pair(f"plain -> {label}", k, f"bgzip -@{CPUS} -l {tool_level}",
             peer_run(f"bgzip -@{CPUS} -l {tool_level} -c {big} > {peer}"), target)
        pair(f"plain -> {label}", k, f"pigz -p {CPUS} -{tool_level}",
             peer_run(f"pigz -p {CPUS} -{tool_level} -c {big} > {peer}"), None)

    split_pipeline = (
        f"mkdir -p {split_dir} && grep -v '^#' {big} | split -l {batch_size} -d "
        f"--filter='{{ cat {header}; cat; }} | bgzip -l 1 > $FILE.vcf.gz' - {split_dir}/batch_"
    )
    pair("plain -> fast", fast, "split --filter=bgzip -l 1", peer_run(split_pipeline, [split_dir]), 1.0)

    k, short_content = kestrel_run("short, 1000/batch, plain", short, 1000, None)
    pair("short, 1000/batch, plain", k, "cat > file", peer_run(f"cat {short} > {peer}"), None)
    k, _ = kestrel_run("short, 1000/batch, fast", short, 1000, "fast", short_content)
    pair("short, 1000/batch, fast", k, f"bgzip -@{CPUS} -l 1",
         peer_run(f"bgzip -@{CPUS} -l 1 -c {short} > {peer}"), 2.0)

    print(f"\n{machine()}; median of {runs} runs; large input {big.stat().st_size >> 20} MB "
          f"in 10 batches, short input {short_records} records in batches of 1000\n")
    print("| kestrel | peer | kestrel s | peer s | ratio | target | |")
    print("|---|---|---:|---:|---:|---:|---|")
    for name, peer_name, seconds, peer_seconds, target in rows:
        ratio = seconds / peer_seconds
        verdict = "" if target is None else ("met" if ratio <= target else "MISSED")
        print(f"| {name} | {peer_name} | {seconds:.2f} | {peer_seconds:.2f} | {ratio:.2f} | "
              f"{'' if target is None else f'<= {target:.2f}'} | {verdict} |")
    print("\n| kestrel | peak RSS MB | largest batch MB | limit 2.5 x batch + 64 MB | |")
    print("|---|---:|---:|---:|---|")
    for name, peak_kb, content in memory:
        limit = 2.5 * content + (64 << 20)
        verdict = "met" if peak_kb * 1024 <= limit else "MISSED"
        print(f"| {name} | {peak_kb / 1024:.1f} | {content / 2**20:.1f} | {limit / 2**20:.1f} | {verdict} |")
    for leftover in (out, split_dir):
        shutil.rmtree(leftover, ignore_errors=True)
    peer.unlink(missing_ok=True)


if __name__ == "__main__":
    main()
