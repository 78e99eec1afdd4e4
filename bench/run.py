#!/usr/bin/env python3
"""Times kestrel against the tools a user would otherwise reach for, side by side on
the same bytes, and prints the ratio of medians for each pair.

    python3 bench/run.py [--size-mb 1024] [--short-lines 10000000] [--runs 3]

Inputs are built under bench/work/ from the sample files in ../shared/data (read
only). bgzip (htslib) and pigz are used as black boxes.
"""
import argparse
import gzip
import os
import re
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
DATA = REPO.parent / "shared" / "data"
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


def timed(command, *, shell=False, env=None):
    """Wall time and peak RSS (KB) of one run."""
    start = time.perf_counter()
    process = subprocess.Popen(command, shell=shell, env=env, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(process.pid, 0)
    elapsed = time.perf_counter() - start
    if status != 0:
        sys.exit(f"failed ({status}): {command}")
    return elapsed, usage.ru_maxrss


def median_time(command, runs, *, shell=False, prepare=None):
    times, peaks = [], []
    for _ in range(runs):
        if prepare:
            prepare()
        elapsed, peak = timed(command, shell=shell)
        times.append(elapsed)
        peaks.append(peak)
    return statistics.median(times), max(peaks)


def kestrel_command(source, out, batch_size, level=None):
    call = f"kestrel.py_extract_variants_to_batches({str(source)!r}, {str(out)!r}, {batch_size}, {level!r})"
    return [sys.executable, "-c", f"import kestrel; {call}"]


def fresh(directory):
    def prepare():
        shutil.rmtree(directory, ignore_errors=True)
    return prepare


def largest_file(directory):
    return max((p.stat().st_size for p in Path(directory).iterdir()), default=0)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size-mb", type=int, default=1024, help="size of the large input")
    parser.add_argument("--short-lines", type=int, default=10_000_000, help="records of the short-line input")
    parser.add_argument("--runs", type=int, default=3, help="runs per command; the median is reported")
    parser.add_argument("--work", type=Path, default=REPO / "bench" / "work")
    args = parser.parse_args()
    for tool in ("bgzip", "pigz", "split"):
        if shutil.which(tool) is None:
            sys.exit(f"{tool} is not installed (Debian packages tabix, pigz, coreutils)")

    work = args.work
    work.mkdir(parents=True, exist_ok=True)
    big = work / "large.vcf"
    big_gz = work / "large.vcf.gz"
    short = work / "short.vcf"
    header = work / "header.vcf"
    out = work / "out"

    print(f"building inputs in {work} ...", flush=True)
    build_repeated(lambda: gzip.open(DATA / "multisample.vcf.gz").read(), args.size_mb << 20, big)
    sites = (DATA / "sites-index.vcf").read_bytes()
    site_records = [l for l in sites.split(b"\n") if l and not l.startswith(b"#")]
    short_bytes = args.short_lines * (sum(map(len, site_records)) // len(site_records) + 1)
    build_repeated(lambda: sites, short_bytes, short)
    if not big_gz.exists():
        subprocess.run(f"bgzip -@{CPUS} -l 6 -c {big} > {big_gz}", shell=True, check=True)
    with open(big, "rb") as source, open(header, "wb") as target:
        for line in source:
            if not line.startswith(b"#"):
                break
            target.write(line)

    big_records = sum(1 for _ in open(big, "rb")) - sum(1 for _ in open(header, "rb"))
    batch_size = -(-big_records // 10)
    short_records = sum(1 for l in open(short, "rb") if not l.startswith(b"#"))
    print(f"large: {big.stat().st_size >> 20} MB, {big_records} records, batch_size {batch_size}; "
          f"short: {short.stat().st_size >> 20} MB, {short_records} records; {CPUS} processors; "
          f"{args.runs} runs each\n", flush=True)

    rows = []

    def pair(name, kestrel, peers, target):
        k_time, k_peak = kestrel
        for peer_name, peer_time in peers:
            ratio = k_time / peer_time
            rows.append((name, peer_name, k_time, peer_time, ratio, target))
            verdict = "ok" if target is None or ratio <= target else "MISSED"
            target_text = f"<= {target:.2f}" if target else ""
            print(f"{name:<34} {k_time:7.2f} s   vs {peer_name:<28} {peer_time:7.2f} s   "
                  f"ratio {ratio:5.2f} {target_text:>8} {verdict if target else ''}", flush=True)
        return k_peak

    runs = args.runs
    peaks = []
    for label, level, tool_level, target in (("fast", "fast", 1, 1.25), ("default", "default", 6, 1.15)):
        k = median_time(kestrel_command(big, out, batch_size, level), runs, prepare=fresh(out))
        largest = largest_file(out)
        bg = median_time(f"bgzip -@{CPUS} -l {tool_level} -c {big} > {work}/peer.gz", runs, shell=True)
        pz = median_time(f"pigz -p {CPUS} -{tool_level} -c {big} > {work}/peer.gz", runs, shell=True)
        peaks.append((f"plain -> {label}", pair(f"kestrel plain -> {label}", k,
                                                 [(f"bgzip -@{CPUS} -l {tool_level}", bg[0]),
                                                  (f"pigz -p {CPUS} -{tool_level}", pz[0])], target), largest))

    k = median_time(kestrel_command(big_gz, out, batch_size), runs, prepare=fresh(out))
    largest = largest_file(out)
    bg = median_time(f"bgzip -@{CPUS} -dc {big_gz} > {work}/peer.out", runs, shell=True)
    pz = median_time(f"pigz -dc {big_gz} > {work}/peer.out", runs, shell=True)
    peaks.append(("BGZF -> plain", pair("kestrel BGZF -> plain", k,
                                        [("bgzip -dc", bg[0]), ("pigz -dc", pz[0])], 1.15), largest))

    k = median_time(kestrel_command(big, out, batch_size), runs, prepare=fresh(out))
    largest = largest_file(out)
    cat = median_time(f"cat {big} > {work}/peer.out", runs, shell=True)
    peaks.append(("plain -> plain", pair("kestrel plain -> plain", k, [("cat", cat[0])], 1.20), largest))

    k = median_time(kestrel_command(big, out, batch_size, "fast"), runs, prepare=fresh(out))
    split_pipeline = (
        f"mkdir -p {work}/split && grep -v '^#' {big} | split -l {batch_size} -d "
        f"--filter='{{ cat {header}; cat; }} | bgzip -l 1 > $FILE.vcf.gz' - {work}/split/batch_"
    )
    sp = median_time(split_pipeline, runs, shell=True, prepare=fresh(work / "split"))
    pair("kestrel plain -> fast", k, [("split | bgzip -l 1 pipeline", sp[0])], 1.0)

    k = median_time(kestrel_command(short, out, 1000), runs, prepare=fresh(out))
    largest = largest_file(out)
    cat = median_time(f"cat {short} > {work}/peer.out", runs, shell=True)
    peaks.append(("short, 1000/batch, plain", pair("kestrel short lines, 1000/batch", k,
                                                     [("cat", cat[0])], None), largest))
    k = median_time(kestrel_command(short, out, 1000, "fast"), runs, prepare=fresh(out))
    largest = largest_file(out)
    bg = median_time(f"bgzip -@{CPUS} -l 1 -c {short} > {work}/peer.gz", runs, shell=True)
    peaks.append(("short, 1000/batch, fast", pair("kestrel short lines, 1000/batch, fast", k,
                                                    [(f"bgzip -@{CPUS} -l 1", bg[0])], 2.0), largest))

    print("\npeak resident memory of kestrel (limit: 2.5 x largest batch content + 64 MB)")
    for name, peak_kb, largest in peaks:
        # The largest batch content is the uncompressed batch; for compressed output
        # estimate it from the plain run of the same input.
        print(f"  {name:<28} {peak_kb / 1024:8.1f} MB   largest output file {largest / 2**20:8.1f} MB")
    shutil.rmtree(out, ignore_errors=True)
    shutil.rmtree(work / "split", ignore_errors=True)
    for leftover in ("peer.gz", "peer.out"):
        (work / leftover).unlink(missing_ok=True)


if __name__ == "__main__":
    main()
