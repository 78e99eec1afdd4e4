"""What a run fetches of its input in object storage: bytes against the object's size,
and GET requests, for a local run and a run on a Dask cluster of two single-threaded
workers, as kestrel-split -v reports them (the storage tests check that its count is the
bytes the store served, through a counting proxy).

    .venv/bin/python bench/fetched.py                   # a SeaweedFS server on loopback
    .venv/bin/python bench/fetched.py --size-mb 500     # a larger input: about 90 MB of BGZF

The input is built under bench/work/ like the bench's own (sorted, from tests/data's
multisample sample) and compressed with bgzip; it is put in a bucket of a server
started here. Prints a markdown table for bench/README.md.
"""
import argparse
import contextlib
import gzip
import os
import re
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))
import seaweed  # noqa: E402
from run import DATA, build_repeated, dask_cluster, split_command, upload_to_s3  # noqa: E402

WORK = Path(__file__).parent / "work"
ROWS = [("local, -b N (10 batches)", "batches", False), ("local, --chunks 40 --index tbi -c fast", "chunks", False),
        ("Dask, --chunks 40 --index tbi -c fast", "chunks", True), ("Dask, -b N (10 batches)", "batches", True),
        ("Dask, --chunks 40 --keep-together position", "together", True)]


@contextlib.contextmanager
def s3_server(directory):
    with seaweed.serving(directory, "bench", "benchbench") as endpoint:
        yield {**os.environ, "AWS_ACCESS_KEY_ID": "bench", "AWS_SECRET_ACCESS_KEY": "benchbench",
               "AWS_DEFAULT_REGION": "us-east-1", "AWS_ENDPOINT_URL": endpoint}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size-mb", type=int, default=100, help="the input's size as text (default 100: ~20 MB BGZF)")
    args = parser.parse_args()
    WORK.mkdir(exist_ok=True)
    text, source = WORK / f"fetched-{args.size_mb}.vcf", WORK / f"fetched-{args.size_mb}.vcf.gz"
    build_repeated(lambda: gzip.open(DATA / "multisample.vcf.gz").read(), text, target_bytes=args.size_mb << 20)
    if not source.exists():
        subprocess.run(f"bgzip -@2 -l 6 -c {text} > {source}", shell=True, check=True)
    records = sum(1 for line in open(text, "rb") if not line.startswith(b"#"))
    options = {"batches": ["-b", -(-records // 10)], "chunks": ["--chunks", 40, "--index", "tbi", "-c", "fast"],
               "together": ["--chunks", 40, "--keep-together", "position"]}
    print(f"{source.name}: {source.stat().st_size} bytes of BGZF, {text.stat().st_size} of text, {records} records")
    print("| run | bytes fetched / object size | GET requests | seconds |\n|---|---:|---:|---:|")
    with tempfile.TemporaryDirectory() as scratch, s3_server(Path(scratch)) as env:
        upload_to_s3(env, source, "fetched", source.name)
        scheduler_file = Path(scratch) / "scheduler.json"
        with dask_cluster(scheduler_file, env):
            for i, (label, kind, cluster) in enumerate(ROWS):
                command = split_command(f"s3://fetched/{source.name}", Path(scratch) / f"out{i}", *options[kind], "-v",
                                        *(["--scheduler-file", scheduler_file] if cluster else []))
                started = time.monotonic()
                run = subprocess.run(command, env=env, capture_output=True, text=True, check=True)
                seconds = time.monotonic() - started
                fetched, gets = re.search(r"fetched (\d+) bytes .* in (\d+) GET requests", run.stderr).groups()
                print(f"| {label} | {int(fetched) / source.stat().st_size:.3f}x | {gets} | {seconds:.1f} |", flush=True)


if __name__ == "__main__":
    main()
