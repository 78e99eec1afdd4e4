#!/usr/bin/env python3
"""Times kestrel against the tools a user would otherwise reach for, side by side on
the same bytes in one run, and prints the ratio of medians for each pair.

    .venv/bin/python bench/run.py [--size-mb 1024] [--short-lines 10000000] [--runs 3]
                                  [--out /dev/shm/kestrel-bench] [--scale-gb 10]
                                  [--only scatter,scatter-bgzf] [--baseline DIR]

It times the installed kestrel, or the build that PYTHONPATH points at. Inputs are
built (once, then reused) under bench/work/ from the sample files in tests/data.
bgzip, tabix (htslib), pigz, bcftools, cat and split are used as black boxes. Output goes to
--out (default bench/work); a tmpfs there takes the disk out of the comparison.

The commands that are compared with each other form a group. Within a group the runs
are interleaved (kestrel, peer, peer, kestrel, ...; the order rotates every round) so
that a change in the machine's load falls on all of them alike. Before every run the
outputs of earlier runs are deleted and `sync` has written every dirty page back.

With --baseline DIR every kestrel command also runs on the build in DIR (PYTHONPATH=DIR),
in the same rotation as the build under test, and a last table compares the two.
"""
import argparse
import contextlib
import functools
import gzip
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path

import seaweed  # bench/seaweed.py: the S3 server of the s3 group, shared with the tests

REPO = Path(__file__).resolve().parents[1]
DATA = REPO / "tests" / "data"
CPUS = len(os.sched_getaffinity(0))
MEMORY_LIMIT = 128 << 20     # peak resident memory allowed to every kestrel run
SCALE_TIME_SLACK = 1.05      # the scaled input may take 5% longer per byte
SCALE_MEMORY_SLACK = 8 << 20  # and its peak may exceed the 1 GB peak by this much: the same
                              # 1 GB split peaks anywhere from 18 to 24 MB from run to run
GROUPS = ("plain", "bgzf", "fast", "default", "refast", "short", "scatter", "scatter-bgzf", "scatter-short",
          "scatter-index", "count", "gzip", "s3", "dask")
# What a baseline directory must provide, each found there through PYTHONPATH alone.
BASELINE_MODULES = ("kestrel", "kestrel_scatter", "kestrel_cli", "kestrel_dask", "kestrel_storage")


def build_repeated(records_source, path, *, target_bytes=None, target_records=None):
    """Repeats the records of a sample with ever increasing positions, until the file
    holds target_bytes or exactly target_records records. A finished file is reused."""
    if path.exists() and (target_records is not None or path.stat().st_size >= target_bytes):
        return
    text = records_source()
    lines = text.split(b"\n")
    header = [l for l in lines if l.startswith(b"#")]
    records = [l.split(b"\t", 2) for l in lines if l and not l.startswith(b"#")]
    position = 0
    written = 0
    partial = path.with_name(path.name + ".partial")
    with open(partial, "wb") as out:
        out.write(b"\n".join(header) + b"\n")
        while (written < target_bytes) if target_records is None else (position < target_records):
            chunk = []
            for chrom, _, rest in records:
                if position == target_records:
                    break
                position += 1
                chunk.append(b"%s\t%d\t%s" % (chrom, position, rest))
            blob = b"\n".join(chunk) + b"\n"
            out.write(blob)
            written += len(blob)
    partial.rename(path)   # an interrupted build is not taken for a finished one


def index_beside(source, linked):
    """`linked`: a hard link to `source` in a folder of its own, with a tabix index
    beside it that is newer than the data (rebuilt when the data is newer)."""
    linked.parent.mkdir(exist_ok=True)
    tbi = linked.with_name(linked.name + ".tbi")
    if linked.exists() and os.path.samefile(linked, source) and tbi.exists() and \
            tbi.stat().st_mtime_ns >= source.stat().st_mtime_ns:
        return
    remove(linked)
    os.link(source, linked)
    subprocess.run(["tabix", "-f", "-p", "vcf", linked], check=True)


def count_pass_tool(work):
    """bench/count_pass.cpp built against the installed core: kestrel's counting pass
    and a plain loop of libdeflate over the same blocks."""
    import kestrel_scatter

    site = Path(kestrel_scatter.__file__).parent
    tool = work / "count_pass"
    subprocess.run(["c++", "-O2", "-std=c++20", f"-I{REPO / 'src'}", str(REPO / "bench" / "count_pass.cpp"),
                    "-o", str(tool), f"-L{site}", "-l:libkestrel_core.so", "-l:libdeflate.a",
                    f"-Wl,-rpath,{site}", "-lpthread"], check=True)
    return tool


def remove(path):
    if path.is_dir():
        shutil.rmtree(path)
    else:
        path.unlink(missing_ok=True)


def timed(command, *, shell=False, env=None):
    """Wall time, processor time (user and system, children included) and peak RSS (KB)
    of one run."""
    with tempfile.TemporaryFile() as errors:
        start = time.perf_counter()
        process = subprocess.Popen(command, shell=shell, env=env, stdout=subprocess.DEVNULL, stderr=errors)
        _, status, usage = os.wait4(process.pid, 0)
        elapsed = time.perf_counter() - start
        if status != 0:
            errors.seek(0)
            sys.exit(f"failed ({status}): {command}\n{errors.read().decode(errors='replace')}")
    return elapsed, usage.ru_utime + usage.ru_stime, usage.ru_maxrss


@dataclass(eq=False)
class Command:
    name: str
    command: object                      # argument list, or a shell line
    outputs: list                        # paths deleted before and after every run
    kestrel: bool = False
    files: int = None                    # number of output files to expect, checked once
    content: int = None                  # largest plain batch, bytes (kestrel only)
    times: list = field(default_factory=list)
    cpu: list = field(default_factory=list)   # processor seconds of each run
    peak_kb: int = 0
    env: dict = None                     # the environment of its runs; None: this one's
    twin_of: "Command" = None            # the same command on the build under test (baseline runs)
    new: bool = False                    # uses what a baseline build may lack: no twin

    @property
    def seconds(self):
        return statistics.median(self.times)

    @property
    def processor(self):
        return statistics.median(self.cpu)


def run_order(group, round_):
    """The group's order in this round: rotated by one every round. Of a command and its
    baseline run, the build under test takes the earlier of their two places in even
    rounds and the baseline in odd ones, so neither build always goes first."""
    shift = round_ % len(group)
    order = group[shift:] + group[:shift]
    for twin in [c for c in order if c.twin_of is not None]:
        first, second = sorted((order.index(twin.twin_of), order.index(twin)))
        order[first], order[second] = (twin, twin.twin_of) if round_ % 2 else (twin.twin_of, twin)
    return order


def run_once(c, round_):
    for path in c.outputs:
        remove(path)
    os.sync()
    elapsed, cpu, peak = timed(c.command, shell=isinstance(c.command, str), env=c.env)
    c.times.append(elapsed)
    c.cpu.append(cpu)
    c.peak_kb = max(c.peak_kb, peak)
    if round_ == 0 and c.files is not None:
        made = sorted(p.name for p in c.outputs[0].iterdir())
        if len(made) != c.files:
            sys.exit(f"{c.name}: expected {c.files} files, got {len(made)}: {made[:5]} ...")
    if c.kestrel and c.content is None:
        c.content = max(p.stat().st_size for p in c.outputs[0].iterdir())
    for path in c.outputs:
        remove(path)


def measure(group, runs):
    """Runs every command of the group `runs` times, interleaved."""
    for round_ in range(runs):
        for c in run_order(group, round_):
            run_once(c, round_)
    os.sync()
    for c in group:
        print(f"  {c.name:<44} {' '.join(f'{t:6.2f}' for t in c.times)} s  "
              f"(processor {' '.join(f'{t:.2f}' for t in c.cpu)} s)", flush=True)


def kestrel_command(source, out, batch_size, level=None):
    call = f"kestrel.py_extract_variants_to_batches({str(source)!r}, {str(out)!r}, {batch_size}, {level!r})"
    return [sys.executable, "-c", f"import kestrel; {call}"]


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def upload_to_s3(env, path, bucket, key):
    """Puts `path` into a new bucket of the S3 server of `env`, once it answers."""
    code = (f"import s3fs, time\n"
            f"fs = s3fs.S3FileSystem()\n"
            f"for _ in range(100):\n"
            f"    try:\n        fs.mkdir({bucket!r}); break\n"
            f"    except Exception:\n        time.sleep(0.1)\n"
            f"fs.put({str(path)!r}, {bucket + '/' + key!r})\n")
    subprocess.run([sys.executable, "-c", code], env=env, check=True)


def split_command(source, out, *options):
    """kestrel-split as a user runs it: the command line on the kestrel_scatter module."""
    return [sys.executable, "-m", "kestrel_cli", str(source), str(out), *map(str, options)]


@functools.cache
def largest_batch(path, batch_size):
    """Bytes of the largest plain batch (header included) when path is cut every
    batch_size records: the memory table's reference for runs that write no plain batch."""
    header = 0
    largest = current = count = 0
    with open(path, "rb") as source:
        for line in source:
            if line.startswith(b"#"):
                header += len(line)
                continue
            current += len(line)
            count += 1
            if count == batch_size:
                largest, current, count = max(largest, current), 0, 0
    return header + max(largest, current)


def machine():
    model = "unknown CPU"
    with open("/proc/cpuinfo") as info:
        for line in info:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    load = os.getloadavg()
    return (f"{time.strftime('%Y-%m-%d %H:%M')}, `nproc` {CPUS} ({os.cpu_count()} online), {model}, "
            f"load average {load[0]:.2f} {load[1]:.2f} {load[2]:.2f}")


def header_of(path, target):
    with open(path, "rb") as source, open(target, "wb") as out:
        for line in source:
            if not line.startswith(b"#"):
                break
            out.write(line)


def count_records(path):
    with open(path, "rb") as source:
        return sum(1 for line in source if not line.startswith(b"#"))


def free_bytes(path):
    return shutil.disk_usage(path).free


def scaled(reference_command, factor):
    """The median of a 1 GB run times the size ratio: what the scaled run is held to."""
    reference = Command(f"{reference_command.name.removeprefix('kestrel ')} x {factor:.2f}", None, [])
    reference.times = [reference_command.seconds * factor]
    return reference


def markdown_cell(name):
    return name.removeprefix("kestrel ").replace("|", "\\|")   # a pipeline, in a Markdown cell


@contextlib.contextmanager
def dask_cluster(scheduler_file, env=None):
    """A scheduler and two single-threaded workers, started as separate processes in the
    environment env (None: this one's); yields a client of them once both workers are in."""
    from distributed import Client

    scheduler_file.unlink(missing_ok=True)
    dask = [sys.executable, "-m", "dask"]
    quiet = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL, "env": env}
    processes = [subprocess.Popen([*dask, "scheduler", "--scheduler-file", scheduler_file, "--port", "0",
                                   "--no-dashboard"], **quiet)]
    try:
        while not scheduler_file.exists():
            time.sleep(0.1)
        processes += [subprocess.Popen([*dask, "worker", "--scheduler-file", scheduler_file, "--nthreads", "1",
                                        "--no-dashboard", "--memory-limit", "0"], **quiet) for _ in range(2)]
        with Client(scheduler_file=str(scheduler_file)) as client:
            client.wait_for_workers(2)
            yield client
    finally:
        for process in reversed(processes):
            process.terminate()
            process.wait()
        scheduler_file.unlink(missing_ok=True)


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size-mb", type=int, default=1024, help="size of the large input")
    parser.add_argument("--short-lines", type=int, default=10_000_000, help="records of the short-line input")
    parser.add_argument("--runs", type=int, default=3, help="runs per command; the median is reported")
    parser.add_argument("--work", type=Path, default=REPO / "bench" / "work", help="where the inputs are built")
    parser.add_argument("--out", type=Path, default=None,
                        help="where every command writes its output (default: the work directory)")
    parser.add_argument("--scale-gb", type=int, default=0,
                        help="also split an input of this many GB (built in the work directory; "
                             "needs about twice that on disk), compared with the large input")
    parser.add_argument("--scale-runs", type=int, default=1, help="runs per command on the scaled input")
    parser.add_argument("--only", type=lambda text: text.split(","), default=list(GROUPS),
                        metavar="GROUP[,GROUP...]",
                        help=f"run only these groups, of: {', '.join(GROUPS)} (default: all)")
    parser.add_argument("--baseline", type=Path, default=None, metavar="DIR",
                        help="also run every kestrel command on the build in DIR (its kestrel*.so, "
                             "libkestrel_core.so, kestrel_cli.py, kestrel_dask.py and kestrel_storage.py, taken with "
                             "PYTHONPATH=DIR), interleaved with the build under test, and compare the two")
    args = parser.parse_args()
    unknown = sorted(set(args.only) - set(GROUPS))
    if unknown:
        parser.error(f"--only: no group {', '.join(unknown)}; the groups are {', '.join(GROUPS)}")
    if args.scale_gb and not {"plain", "fast"} <= set(args.only):
        parser.error("--scale-gb compares with the groups plain and fast: keep them in --only")
    if args.baseline is not None and not args.baseline.is_dir():
        parser.error(f"--baseline: {args.baseline} is not a directory")
    return args


def check_tools():
    for tool in ("bgzip", "tabix", "pigz", "split", "bcftools"):
        if shutil.which(tool) is None:
            sys.exit(f"{tool} is not installed (Debian packages tabix, pigz, coreutils, bcftools)")


def check_space(work, scratch, scale, scale_gb):
    """The scaled input (unless already built) and one copy of the output in batches."""
    need_work = 0 if scale.exists() else (scale_gb << 30)
    need_out = (scale_gb << 30) * 11 // 10
    same = os.stat(work).st_dev == os.stat(scratch).st_dev
    if (same and free_bytes(work) < need_work + need_out) or \
            (not same and (free_bytes(work) < need_work or free_bytes(scratch) < need_out)):
        sys.exit(f"--scale-gb {scale_gb}: not enough free space "
                 f"({free_bytes(work) >> 30} GB free in {work}, {free_bytes(scratch) >> 30} GB in {scratch})")


def baseline_environment(directory):
    """The environment of the baseline runs, once every module they take is seen to come
    from directory: a module missing there would otherwise be taken from the build under
    test (or the installed one) without a word. The extension modules are imported, so a
    library they cannot load stops the bench here rather than in its first group, and the
    core library they load (a build that has one) must be the one in directory too."""
    directory = directory.resolve()
    env = dict(os.environ, PYTHONPATH=str(directory))
    probe = ("import importlib.util, kestrel, kestrel_scatter\n"
             f"for name in {BASELINE_MODULES!r}:\n"
             "    found = importlib.util.find_spec(name)\n"
             "    print(name, found.origin if found else '')\n"
             "for line in open('/proc/self/maps'):\n"
             "    if 'libkestrel_core' in line:\n"
             "        print('libkestrel_core.so', line.split()[-1])\n"
             "        break\n")
    found = subprocess.run([sys.executable, "-c", probe], env=env, capture_output=True, text=True)
    if found.returncode != 0:
        sys.exit(f"--baseline {directory}: the build there cannot be loaded:\n{found.stderr}")
    origins = dict(line.partition(" ")[::2] for line in found.stdout.splitlines())
    for name, origin in origins.items():
        if not origin or Path(origin).resolve().parent != directory:
            sys.exit(f"--baseline {directory}: {name} is not there (found: {origin or 'nowhere'})")
    return env, origins


class Bench:
    """The inputs, the output place and the settings of one run of the bench, and what its
    groups have measured: the rows of the tables printed at the end."""

    def __init__(self, args, baseline=None):
        self.args = args
        self.wanted = set(args.only)
        self.runs = args.runs
        self.work = args.work
        self.scratch = args.out or args.work
        self.big = self.work / "large.vcf"
        self.big_gz = self.work / "large.vcf.gz"
        self.indexed_gz = self.work / "indexed" / "large.vcf.gz"   # the same file, a fresh .tbi beside it
        self.medium_gz = self.work / "medium.vcf.gz"               # 512 MB of text as BGZF, for the cluster
        self.short = self.work / f"short-{args.short_lines}.vcf"
        self.header = self.work / "header.vcf"
        self.scale = self.work / f"scale-{args.scale_gb}gb.vcf"
        self.needs_short = bool(self.wanted & {"short", "scatter-short"})
        self.peer = self.scratch / "peer.out"
        self.peer_gz = self.scratch / "peer.vcf.gz"
        self.split_dir = self.scratch / "split"
        self.scatter_dir = self.scratch / "scatter"
        self.baseline_env, self.baseline_modules = baseline or (None, {})
        self.directories = iter(range(1_000_000))
        self.rows = []      # (kestrel command, peer command, target ratio or None)
        self.kestrels = []  # every kestrel command, for the memory table
        self.memory = []    # (kestrel command, limit) of the scaled runs, listed after the others
        self.twins = []     # (command on the build under test, the same on the baseline build)
        self.named = {}     # the runs that later ones are compared with or take their content from

    @property
    def whole(self):
        return self.big_records + 1   # one batch holds every record

    def group_names(self):
        return ', '.join(g for g in GROUPS if g in self.wanted)

    def build_inputs(self):
        args, work, big, big_gz = self.args, self.work, self.big, self.big_gz
        work.mkdir(parents=True, exist_ok=True)
        self.scratch.mkdir(parents=True, exist_ok=True)
        if args.scale_gb:
            check_space(work, self.scratch, self.scale, args.scale_gb)
        print(f"building inputs in {work} ...", flush=True)
        multisample = lambda: gzip.open(DATA / "multisample.vcf.gz").read()
        build_repeated(multisample, big, target_bytes=args.size_mb << 20)
        if self.needs_short:
            build_repeated((DATA / "sites-index.vcf").read_bytes, self.short, target_records=args.short_lines)
        if not big_gz.exists() or big_gz.stat().st_mtime < big.stat().st_mtime:
            subprocess.run(f"bgzip -@{CPUS} -l 6 -c {big} > {big_gz}.partial && mv {big_gz}.partial {big_gz}",
                           shell=True, check=True)
        header_of(big, self.header)
        if self.wanted & {"scatter-index"}:
            index_beside(big_gz, self.indexed_gz)
        if self.wanted & {"dask", "s3"}:
            medium = self.work / "medium.vcf"
            build_repeated(multisample, medium, target_bytes=512 << 20)
            if not self.medium_gz.exists() or self.medium_gz.stat().st_mtime < medium.stat().st_mtime:
                subprocess.run(f"bgzip -@{CPUS} -l 6 -c {medium} > {self.medium_gz}.partial && "
                               f"mv {self.medium_gz}.partial {self.medium_gz}", shell=True, check=True)
        if args.scale_gb:
            build_repeated(multisample, self.scale, target_bytes=args.scale_gb << 30)
        self.big_records = count_records(big)
        self.batch_size = -(-self.big_records // 10)
        self.short_records = count_records(self.short) if self.needs_short else 0
        self.short_batches = -(-self.short_records // 1000)

    def describe(self, kestrel, kestrel_scatter):
        print(f"kestrel: {kestrel.__file__}")
        print(f"kestrel_scatter: {kestrel_scatter.__file__}")
        for name, origin in self.baseline_modules.items():
            print(f"baseline {name}: {origin}")
        print(f"machine: {machine()}")
        big, short = self.big, self.short
        print(f"large: {big.stat().st_size >> 20} MB, {self.big_records} records, batch_size {self.batch_size} "
              f"(10 batches), as BGZF {self.big_gz.stat().st_size >> 20} MB; "
              + (f"short: {short.stat().st_size >> 20} MB, {self.short_records} records, "
                 f"batch_size 1000 ({self.short_batches} batches); " if self.needs_short else "") +
              f"outputs in {self.scratch}; median of {self.runs} runs; groups {self.group_names()}\n",
              flush=True)

    def fresh_dir(self):
        return self.scratch / f"out-{next(self.directories)}"

    def k(self, name, source, size, level, files):
        out = self.fresh_dir()
        return Command(f"kestrel {name}", kestrel_command(source, out, size, level), [out], True, files)

    def p(self, name, line, outputs=None, files=None):
        return Command(name, line, [self.peer] if outputs is None else list(outputs), files=files)

    def twin(self, c, command=None):
        """c on the baseline build: the same command line (or the one given) and environment,
        writing to the same place, with the same check of what it makes."""
        return Command(f"{c.name} [baseline]", c.command if command is None else command, c.outputs, True,
                       c.files, twin_of=c,
                       env={**self.baseline_env, **(c.env or {}), "PYTHONPATH": self.baseline_env["PYTHONPATH"]})

    def measure(self, commands, runs, twins=None):
        """Times the commands; with a baseline each kestrel command is followed in the
        rotation by its run on the baseline build (twins: the ones that differ from c's
        command line)."""
        group = []
        for c in commands:
            group.append(c)
            if c.kestrel and not c.new and self.baseline_env is not None:
                twin = (twins or {}).get(c) or self.twin(c)
                group.append(twin)
                self.twins.append((c, twin))
        measure(group, runs)

    def group(self, title, commands, pairs, twins=None):
        print(title, flush=True)
        self.measure(commands, self.runs, twins)
        self.kestrels.extend(c for c in commands if c.kestrel)
        for kc, pc, target in pairs:
            self.rows.append((kc, pc, target))
            ratio = kc.seconds / pc.seconds
            verdict = "" if target is None else ("met" if ratio <= target else "MISSED")
            print(f"    {kc.name:<36} {kc.seconds:6.2f} s  vs  {pc.name:<40} {pc.seconds:6.2f} s  "
                  f"ratio {ratio:5.2f}  {'' if target is None else f'<= {target:.2f}':>7} {verdict}", flush=True)

    def group_plain(self):
        big, peer = self.big, self.peer
        plain10 = self.k("plain -> plain, 10 batches", big, self.batch_size, None, 10)
        plain1 = self.k("plain -> plain, 1 batch", big, self.whole, None, 1)
        cat = self.p("cat > file", f"cat {big} > {peer}")
        self.named.update(plain10=plain10, plain1=plain1, cat=cat)
        self.group("plain input, plain batches", [plain10, plain1, cat],
                   [(plain10, cat, 1.15), (plain1, cat, None)])

    def group_bgzf(self):
        big_gz, peer, n = self.big_gz, self.peer, CPUS
        bgzf10 = self.k("BGZF -> plain, 10 batches", big_gz, self.batch_size, None, 10)
        unzip_n = self.p(f"bgzip -@{n} -dc > file", f"bgzip -@{n} -dc {big_gz} > {peer}")
        unzip_1 = self.p("bgzip -dc > file", f"bgzip -dc {big_gz} > {peer}")
        pigz_d = self.p("pigz -dc > file", f"pigz -dc {big_gz} > {peer}")
        self.group("BGZF input, plain batches", [bgzf10, unzip_n, unzip_1, pigz_d],
                   [(bgzf10, unzip_n, 1.0), (bgzf10, unzip_1, None), (bgzf10, pigz_d, None)])

    def group_fast(self):
        big, peer, n, split_dir, batch_size = self.big, self.peer, CPUS, self.split_dir, self.batch_size
        fast10 = self.k("plain -> fast, 10 batches", big, batch_size, "fast", 10)
        fast1 = self.k("plain -> fast, 1 batch", big, self.whole, "fast", 1)
        zip1 = self.p(f"bgzip -@{n} -l 1", f"bgzip -@{n} -l 1 -c {big} > {peer}")
        pigz1 = self.p(f"pigz -p {n} -1", f"pigz -p {n} -1 -c {big} > {peer}")
        split = self.p("split --filter='bgzip -l 1'",
                       f"mkdir -p {split_dir} && grep -v '^#' {big} | split -l {batch_size} -d "
                       f"--filter='{{ cat {self.header}; cat; }} | bgzip -l 1 > $FILE.vcf.gz' - {split_dir}/batch_",
                       [split_dir], files=10)
        self.named.update(fast10=fast10, fast1=fast1, zip1=zip1)
        self.group("plain input, \"fast\" batches", [fast10, fast1, zip1, pigz1, split],
                   [(fast10, zip1, 1.0), (fast10, pigz1, None), (fast10, split, None), (fast1, zip1, None)])

    def group_default(self):
        big, peer, n = self.big, self.peer, CPUS
        default10 = self.k("plain -> default, 10 batches", big, self.batch_size, "default", 10)
        zip6 = self.p(f"bgzip -@{n} -l 6", f"bgzip -@{n} -l 6 -c {big} > {peer}")
        pigz6 = self.p(f"pigz -p {n} -6", f"pigz -p {n} -6 -c {big} > {peer}")
        self.named.update(default10=default10)
        self.group("plain input, \"default\" batches", [default10, zip6, pigz6],
                   [(default10, zip6, 0.8), (default10, pigz6, None)])

    def group_refast(self):
        big_gz, peer, n, batch_size = self.big_gz, self.peer, CPUS, self.batch_size
        refast10 = self.k("BGZF -> fast, 10 batches", big_gz, batch_size, "fast", 10)
        rezip = self.p(f"bgzip -@{n} -dc | bgzip -@{n} -l 1",
                       f"bgzip -@{n} -dc {big_gz} | bgzip -@{n} -l 1 -c > {peer}")
        scatter = self.p(f"bcftools +scatter -Oz1 --threads {n}",
                         f"bcftools +scatter {big_gz} -n {batch_size} -Oz1 --threads {n} -o {self.scatter_dir}",
                         [self.scatter_dir], files=10)
        self.named.update(refast10=refast10)
        self.group("BGZF input, \"fast\" batches", [refast10, rezip, scatter],
                   [(refast10, rezip, 1.0), (refast10, scatter, 0.4)])

    def group_short(self):
        short, peer, n, batches = self.short, self.peer, CPUS, self.short_batches
        short_plain = self.k(f"short -> plain, {batches} batches", short, 1000, None, batches)
        short_cat = self.p("cat > file (short)", f"cat {short} > {peer}")
        short_fast = self.k(f"short -> fast, {batches} batches", short, 1000, "fast", batches)
        short_zip = self.p(f"bgzip -@{n} -l 1 (short)", f"bgzip -@{n} -l 1 -c {short} > {peer}")
        self.named.update(short_plain=short_plain, short_fast=short_fast)
        self.group("short records, batches of 1000", [short_plain, short_cat, short_fast, short_zip],
                   [(short_plain, short_cat, 1.6), (short_fast, short_zip, 1.6)])

    def group_gzip(self):
        """Plain gzip input (pigz's, one stream inflated on one thread) against the same
        decompression piped into bgzip."""
        big_plain_gz, n, batch_size = self.work / "large.gzip.vcf.gz", CPUS, self.batch_size
        if not big_plain_gz.exists() or big_plain_gz.stat().st_mtime < self.big.stat().st_mtime:
            subprocess.run(f"pigz -p {n} -6 -c {self.big} > {big_plain_gz}.partial && "
                           f"mv {big_plain_gz}.partial {big_plain_gz}", shell=True, check=True)
        out = self.fresh_dir()
        gzip_in = Command(f"kestrel gzip -> kestrel-split -b {batch_size} -c fast --no-manifest",
                          split_command(big_plain_gz, out, "-b", batch_size, "-c", "fast", "--no-manifest"),
                          [out], True, 10, new=True)
        gzip_in.content = largest_batch(self.big, batch_size)
        pigz = self.p(f"pigz -dc | bgzip -@{n} -l 1", f"pigz -dc {big_plain_gz} | bgzip -@{n} -l 1 > {self.peer_gz}",
                      [self.peer_gz])
        self.group("plain gzip input, fast batches", [gzip_in, pigz], [(gzip_in, pigz, 1.0)])

    def group_s3(self):
        """BGZF in object storage (a SeaweedFS server on loopback, its S3 gateway) into 10
        plain batches, against htslib's own S3 reader decompressing the same object."""
        text, batch_size = self.work / "medium.vcf", -(-count_records(self.work / "medium.vcf") // 10)
        key, secret = "bench", "benchsecret"
        with tempfile.TemporaryDirectory(dir=self.work) as store, \
                seaweed.serving(Path(store), key, secret) as endpoint:
            env = {**os.environ, "AWS_ACCESS_KEY_ID": key, "AWS_SECRET_ACCESS_KEY": secret,
                   "AWS_DEFAULT_REGION": "us-east-1", "AWS_ENDPOINT_URL": endpoint,
                   "HTS_S3_HOST": endpoint.removeprefix("http://"), "HTS_S3_ADDRESS_STYLE": "path"}
            upload_to_s3(env, self.medium_gz, "bench", "medium.vcf.gz")
            out = self.fresh_dir()
            s3_in = Command("kestrel s3 BGZF -> kestrel-split -b N (10 plain batches)",
                            split_command("s3://bench/medium.vcf.gz", out, "-b", batch_size, "--no-manifest"),
                            [out], True, 10, env=env)
            s3_in.content = largest_batch(text, batch_size)
            n = CPUS
            hts = Command(f"bgzip -@{n} -dc s3+http:// > file", f"bgzip -@{n} -dc s3+http://bench/medium.vcf.gz > "
                          f"{self.peer}", [self.peer], env=env)
            self.group("BGZF in object storage (S3 on loopback, SeaweedFS), plain batches", [s3_in, hts],
                       [(s3_in, hts, 1.25)])

    # kestrel-split cutting the same 10 batches as chunks (a counting pass first), each
    # with a tabix index, against the same split by records per batch without an index;
    # a run with only the counting pass and one with only the index separate the two
    # costs. None of them writes plain batches: the largest one is measured on the input.
    def group_chunks(self, title, source, label, bcftools_name):
        big, n, batch_size, scatter_dir = self.big, CPUS, self.batch_size, self.scatter_dir
        content = largest_batch(big, batch_size)
        commands = []

        def ks(name, options, files, new=False):
            out = self.fresh_dir()
            command = Command(f"kestrel {label} -> kestrel-split {name}", split_command(source, out, *options),
                              [out], True, files, new=new)
            command.content = content
            commands.append(command)
            return command

        chunks_tbi = ks("--chunks 10 --index tbi -c fast", ["--chunks", 10, "--index", "tbi", "-c", "fast"], 21)
        by_size = ks(f"-b {batch_size} -c fast --no-manifest",
                     ["-b", batch_size, "-c", "fast", "--no-manifest"], 10)
        chunks = ks("--chunks 10 -c fast", ["--chunks", 10, "-c", "fast"], 11)
        by_size_tbi = ks(f"-b {batch_size} --index tbi -c fast --no-manifest",
                         ["-b", batch_size, "--index", "tbi", "-c", "fast", "--no-manifest"], 20)
        # With the manifest every chunk is flushed to stable storage before it is written.
        by_size_flushed = ks(f"-b {batch_size} -c fast (manifest: flushed)", ["-b", batch_size, "-c", "fast"], 11)
        # Boundaries by place read each record's CHROM and POS (by_contig with --chunks
        # also in the counting pass): at most 2 % over the same split without them.
        kept = ks("--chunks 10 --index tbi -c fast --keep-together position",
                  ["--chunks", 10, "--index", "tbi", "-c", "fast", "--keep-together", "position"], 21, True)
        by_contig = ks("--chunks 10 --index tbi -c fast --by-contig",
                       ["--chunks", 10, "--index", "tbi", "-c", "fast", "--by-contig"], 21, True)
        by_size_kept = ks(f"-b {batch_size} -c fast --no-manifest --keep-together position",
                          ["-b", batch_size, "-c", "fast", "--no-manifest", "--keep-together", "position"], 10, True)
        pairs = [(chunks_tbi, by_size, 1.15), (chunks, by_size, None), (by_size_tbi, by_size, None),
                 (by_size_flushed, by_size, None), (kept, chunks_tbi, 1.02), (by_contig, chunks_tbi, 1.02),
                 (by_size_kept, by_size, 1.02)]
        # The same split through the batch module (kestrel.py_extract_variants_to_batches).
        batch_module = self.k(f"{label} -> fast, 10 batches (batch module)", source, batch_size, "fast", 10)
        batch_module.content = content
        commands.append(batch_module)
        pairs.append((by_size, batch_module, None))
        # bcftools 1.16's +scatter cannot write an index (no --write-index): the chunks
        # are indexed afterwards, N at a time.
        bcftools = self.p(f"{bcftools_name} + index -t (xargs -P {n})",
                          f"bcftools +scatter {source} -n {batch_size} -Oz1 --threads {n} -o {scatter_dir} && "
                          f"ls {scatter_dir}/*.vcf.gz | xargs -P {n} -n 1 bcftools index -t",
                          [scatter_dir], files=20)
        commands.append(bcftools)
        pairs.append((chunks_tbi, bcftools, None))
        if source == big:
            # One file compressed and indexed: what the same bytes cost without the cut.
            peer_gz = self.peer_gz
            tabix = self.p(f"bgzip -@{n} -l 1 + tabix -p vcf",
                           f"bgzip -@{n} -l 1 -c {big} > {peer_gz} && tabix -p vcf {peer_gz}",
                           [peer_gz, peer_gz.with_name(peer_gz.name + ".tbi")])
            commands.append(tabix)
            pairs.append((chunks_tbi, tabix, None))
        self.group(title, commands, pairs)

    def group_scatter(self):
        self.group_chunks("plain input, kestrel-split chunks with an index", self.big, "plain",
                          f"bcftools +scatter -Oz1 --threads {CPUS}")

    def group_scatter_bgzf(self):
        self.group_chunks("BGZF input, kestrel-split chunks with an index", self.big_gz, "BGZF",
                          f"bcftools +scatter -Oz1 --threads {CPUS} (BGZF)")

    def group_scatter_short(self):
        # 10,000 small chunks: what flushing each one before the manifest costs.
        short, batches = self.short, self.short_batches
        content = largest_batch(short, 1000)
        commands = []
        for name, options, files in [("-b 1000 -c fast (manifest: flushed)", [], batches + 1),
                                     ("-b 1000 -c fast --no-manifest", ["--no-manifest"], batches)]:
            out = self.fresh_dir()
            command = Command(f"short -> kestrel-split {name}", split_command(short, out, "-b", 1000, "-c", "fast",
                                                                             *options), [out], True, files)
            command.content = content
            commands.append(command)
        self.group("short records, kestrel-split chunks of 1000", commands, [(commands[0], commands[1], None)])

    def group_scatter_index(self):
        """--chunks from BGZF input planned from a fresh .tbi beside it (no counting pass),
        and without one (the counting pass), against the same split by records per chunk."""
        big_gz, batch_size = self.big_gz, self.batch_size
        content = largest_batch(self.big, batch_size)
        commands = []
        for name, source, options in (
                ("BGZF + fresh .tbi -> kestrel-split --chunks 10 --index tbi -c fast", self.indexed_gz,
                 ["--chunks", 10]),
                ("BGZF -> kestrel-split --chunks 10 --index tbi -c fast", big_gz, ["--chunks", 10]),
                (f"BGZF -> kestrel-split -b {batch_size} --index tbi -c fast", big_gz, ["-b", batch_size])):
            out = self.fresh_dir()
            command = Command(f"kestrel {name}", split_command(source, out, *options, "--index", "tbi", "-c", "fast"),
                              [out], True, 21)
            command.content = content
            commands.append(command)
        self.group("BGZF input, --chunks planned from the index's counts or counted", commands,
                   [(commands[0], commands[2], 1.05), (commands[1], commands[2], 1.10)])

    def group_count(self):
        """The counting pass alone against a plain loop of libdeflate on the same cores."""
        tool = count_pass_tool(self.work)
        kestrel = Command("kestrel counting pass (BGZF)", [str(tool), "kestrel", str(self.big_gz)], [], True, new=True)
        # The pass as it was: the inflated bytes scanned again on the calling thread.
        before = Command("kestrel counting pass, lines scanned on the calling thread",
                         [str(tool), "calling-thread", str(self.big_gz)], [], True, new=True)
        kestrel.content = before.content = 0
        loop = self.p(f"libdeflate loop, {CPUS} threads (inflate, CRC-32, line feeds)",
                      [str(tool), "libdeflate", str(self.big_gz)], [])
        self.group("BGZF input, the counting pass alone", [kestrel, before, loop],
                   [(kestrel, loop, 1.10), (before, loop, None)])

    def fill_content(self):
        """Compressed runs take the largest batch's content from the plain run of the same
        split, or from the input when that run was left out (--only)."""
        named = self.named.get
        for compressed, plain, source, size in (
                (named("fast10"), named("plain10"), self.big, self.batch_size),
                (named("fast1"), named("plain1"), self.big, self.whole),
                (named("default10"), named("plain10"), self.big, self.batch_size),
                (named("refast10"), named("plain10"), self.big, self.batch_size),
                (named("short_fast"), named("short_plain"), self.short, 1000)):
            if compressed is not None:
                compressed.content = largest_batch(source, size) if plain is None else plain.content

    def group_dask(self):
        """kestrel-split on a Dask cluster of two single-threaded workers (a scheduler and
        two workers started beforehand, as separate processes) against the same split on
        this machine's cores alone; then each kind of task timed from the task stream, for
        the cost model of docs/cluster.md. The baseline's cluster runs go to a second
        cluster, whose processes take the baseline build, started next to the first."""
        with contextlib.ExitStack() as clusters:
            scheduler_file = self.scratch / "scheduler.json"
            client = clusters.enter_context(dask_cluster(scheduler_file))
            baseline_file = self.scratch / "scheduler-baseline.json"
            if self.baseline_env is not None:
                clusters.enter_context(dask_cluster(baseline_file, self.baseline_env))
            options = ["--chunks", 10, "--index", "tbi", "-c", "fast"]
            for label, source, text in (("1 GB", self.big_gz, self.big), ("500 MB", self.medium_gz,
                                                                         self.work / "medium.vcf")):
                local_out, cluster_out = self.fresh_dir(), self.fresh_dir()
                local = Command(f"kestrel BGZF {label} -> kestrel-split --chunks 10 --index tbi -c fast (2 cores)",
                                split_command(source, local_out, *options), [local_out], True, 21)
                cluster = Command(f"kestrel BGZF {label} -> kestrel-split --chunks 10 --index tbi -c fast "
                                  "--scheduler-file (2 single-threaded workers)",
                                  split_command(source, cluster_out, *options, "--scheduler-file", scheduler_file),
                                  [cluster_out], True, 21)
                local.content = cluster.content = largest_batch(text, -(-count_records(text) // 10))
                twins = None
                if self.baseline_env is not None:
                    twins = {cluster: self.twin(cluster, split_command(source, cluster_out, *options,
                                                                       "--scheduler-file", baseline_file))}
                self.group(f"BGZF input ({label}) on a Dask cluster of two single-threaded workers",
                           [cluster, local], [(cluster, local, 1.15)], twins)
                self.report_tasks(client, source)

    def report_tasks(self, client, source):
        """The tasks themselves, from the task stream of one more run, and the workers' peaks."""
        from distributed import get_task_stream

        import kestrel_scatter

        out = self.fresh_dir()
        with get_task_stream(client) as stream:
            start = time.perf_counter()
            kestrel_scatter.scatter(source, out, chunks=10, compression="fast", index="tbi", client=client)
            on_cluster = time.perf_counter() - start
        remove(out)
        # The same two runs from this process, with the client already connected: what
        # the engine adds, without the command line's start and its import of Dask.
        os.sync()
        start = time.perf_counter()
        kestrel_scatter.scatter(source, out, chunks=10, compression="fast", index="tbi")
        local = time.perf_counter() - start
        remove(out)
        print(f"    from this process: on the cluster {on_cluster:.2f} s, locally {local:.2f} s, "
              f"ratio {on_cluster / local:.2f}", flush=True)
        peaks = client.run(lambda: __import__("resource").getrusage(0).ru_maxrss)
        for kind in ("count", "chunk"):
            spans = [sum(s["stop"] - s["start"] for s in task["startstops"] if s["action"] == "compute")
                     for task in stream.data if task["key"].startswith(f"kestrel-{kind}-")]
            print(f"    {kind} tasks: {len(spans)}, {statistics.median(spans):.2f} s median, "
                  f"{max(spans):.2f} s longest, {sum(spans):.2f} s in all", flush=True)
        print(f"    worker peak RSS: {', '.join(f'{kb / 1024:.0f} MB' for kb in peaks.values())}", flush=True)

    def run_scaled(self):
        scale, peer, n = self.scale, self.peer, CPUS
        scale_records = count_records(scale)
        factor = scale.stat().st_size / self.big.stat().st_size
        scale_batch = -(-scale_records // 10)
        label = f"{self.args.scale_gb} GB"
        print(f"\nscaled input: {scale.stat().st_size >> 20} MB ({factor:.2f} x the large input), "
              f"{scale_records} records, batch_size {scale_batch} (10 batches); "
              f"{self.args.scale_runs} run(s) each", flush=True)
        # The peer of the same case runs on the scaled input too: whether the disk and
        # the page cache keep up with ten times the bytes is then seen apart from kestrel.
        scale_content = None
        for name, level, small, small_peer, peer_line in (
                ("plain", None, self.named["plain10"], self.named["cat"], f"cat {scale} > {peer}"),
                ("fast", "fast", self.named["fast10"], self.named["zip1"], f"bgzip -@{n} -l 1 -c {scale} > {peer}")):
            big_run = self.k(f"{label} plain -> {name}, 10 batches", scale, scale_batch, level, 10)
            big_peer = self.p(f"{label} {small_peer.name}", peer_line)
            print(f"scaled input, {name}", flush=True)
            self.measure([big_run, big_peer], self.args.scale_runs)
            if level is None:
                scale_content = big_run.content
            else:
                big_run.content = scale_content
            self.rows.append((big_run, scaled(small, factor), SCALE_TIME_SLACK))
            self.rows.append((big_peer, scaled(small_peer, factor), None))
            self.memory.append((big_run, min(MEMORY_LIMIT, small.peak_kb * 1024 + SCALE_MEMORY_SLACK)))

    def print_tables(self):
        print(f"\n{machine()}; median of {self.runs} runs; large input {self.big.stat().st_size >> 20} MB "
              f"in 10 batches"
              + (f", short input {self.short_records} records in batches of 1000" if "short" in self.wanted else "")
              + f"; outputs in {self.scratch}; groups {self.group_names()}"
              + (f"; baseline {self.args.baseline}" if self.baseline_env is not None else "") + "\n")
        print("| kestrel | peer | kestrel s | peer s | ratio | target | |")
        print("|---|---|---:|---:|---:|---:|---|")
        for kc, pc, target in self.rows:
            ratio = kc.seconds / pc.seconds
            verdict = "" if target is None else ("met" if ratio <= target else "MISSED")
            print(f"| {kc.name.removeprefix('kestrel ')} | {markdown_cell(pc.name)} | {kc.seconds:.2f} | "
                  f"{pc.seconds:.2f} | {ratio:.2f} | {'' if target is None else f'<= {target:.2f}'} | {verdict} |")
        print("\n| kestrel | peak RSS MB | largest batch MB | limit MB | |")
        print("|---|---:|---:|---:|---|")
        for c, limit in [(c, MEMORY_LIMIT) for c in self.kestrels] + self.memory:
            verdict = "met" if c.peak_kb * 1024 <= limit else "MISSED"
            print(f"| {c.name.removeprefix('kestrel ')} | {c.peak_kb / 1024:.1f} | {c.content / 2**20:.1f} | "
                  f"{limit / 2**20:.1f} | {verdict} |")
        if self.twins:
            self.print_baseline_table()

    def print_baseline_table(self):
        """Every kestrel command on both builds: median wall time (median processor time)."""
        print(f"\nbaseline: {self.args.baseline}; current: the build under test, as listed at the start\n")
        print("| kestrel | baseline s (processor s) | current s (processor s) | current/baseline |")
        print("|---|---:|---:|---:|")
        for current, baseline in self.twins:
            print(f"| {markdown_cell(current.name)} | {baseline.seconds:.2f} ({baseline.processor:.2f}) | "
                  f"{current.seconds:.2f} ({current.processor:.2f}) | {current.seconds / baseline.seconds:.2f} |")

    def clean_up(self):
        for leftover in self.scratch.glob("out-*"):
            remove(leftover)
        peer_gz = self.peer_gz
        for leftover in (self.split_dir, self.scatter_dir, self.peer, peer_gz, peer_gz.with_name(peer_gz.name + ".tbi")):
            remove(leftover)


def main():
    args = parse_args()
    check_tools()
    import kestrel  # the module under test, as found on PYTHONPATH
    import kestrel_scatter  # what kestrel-split runs on

    bench = Bench(args, None if args.baseline is None else baseline_environment(args.baseline))
    bench.build_inputs()
    bench.describe(kestrel, kestrel_scatter)
    # The groups in the order they run, which is not that of GROUPS (the order of --only's help).
    for name, run in (("plain", bench.group_plain), ("bgzf", bench.group_bgzf), ("fast", bench.group_fast),
                      ("default", bench.group_default), ("refast", bench.group_refast),
                      ("short", bench.group_short), ("scatter", bench.group_scatter),
                      ("scatter-short", bench.group_scatter_short), ("scatter-bgzf", bench.group_scatter_bgzf),
                      ("scatter-index", bench.group_scatter_index), ("count", bench.group_count),
                      ("gzip", bench.group_gzip), ("s3", bench.group_s3)):
        if name in bench.wanted:
            run()
    bench.fill_content()
    if "dask" in bench.wanted:
        bench.group_dask()
    if args.scale_gb:
        bench.run_scaled()
    bench.print_tables()
    bench.clean_up()


if __name__ == "__main__":
    main()
