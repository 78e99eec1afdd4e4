"""The source tree is layered: base <- runtime <- bgzf <- index <- vcf <- split <-
python, split itself in rooms (read <- storage <- write <- cut <- plan <- run), and a
file includes only from its own layer or room or the ones below it, no two files'
units (a header and its source) including each other. Only the
Python boundary talks to the interpreter, and the codec knows blocks, not records. The
tests stay within a third of the code."""
import re
import subprocess
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
SRC = REPO / "src"
FLOORS = ["base", "runtime", "bgzf", "index", "vcf", "split/read", "split/storage", "split/write", "split/cut",
          "split/plan", "split/run", "python"]


def floor(path):
    return FLOORS.index(next(f for f in FLOORS if path.startswith(f + "/")))


def sources():
    return [path for path in SRC.rglob("*.[ch]pp")]


def test_includes_point_only_downward_and_no_two_units_include_each_other():
    upward, uses = [], set()
    for path in sources():
        own = str(path.relative_to(SRC))
        for included in re.findall(r'^#include "([a-z_/]+)\.hpp"', path.read_text(), re.M):
            if floor(included) > floor(own):
                upward.append(f"{own} includes {included}")
            uses.add((own.rsplit(".", 1)[0], included))
    assert upward == []
    assert sorted(f"{a} <-> {b}" for a, b in uses if a < b and (b, a) in uses) == []
    assert {p.name for p in SRC.iterdir() if p.is_dir()} == {f.split("/")[0] for f in FLOORS}


def test_only_the_python_boundary_includes_python_h_and_bgzf_knows_no_records():
    assert [str(p.relative_to(SRC)) for p in sources()
            if "#include <Python.h>" in p.read_text() and p.relative_to(SRC).parts[0] != "python"] == []
    assert [str(p.relative_to(SRC)) for p in (SRC / "bgzf").iterdir()
            if re.search(r"CHROM|POS|INFO|END=|RecordSpan", p.read_text())] == []


def test_the_tests_stay_within_a_third_of_the_code():
    """The tests (less their sample data and fuzzing corpus) stay within 0.34 of the
    code in src/ and python/, counted in non-blank lines of the files git tracks."""
    listed = subprocess.run(["git", "ls-files", "-z", "src", "python", "tests"], cwd=REPO, capture_output=True)
    if listed.returncode:
        pytest.skip("not a git checkout")
    lines = {"src": 0, "python": 0, "tests": 0}
    for path in filter(None, listed.stdout.decode().split("\0")):
        if not path.startswith(("tests/data/", "tests/fuzz/corpus/")) and (REPO / path).is_file():
            lines[path.split("/")[0]] += sum(1 for line in (REPO / path).read_bytes().splitlines() if line.strip())
    assert lines["tests"] <= 0.34 * (lines["src"] + lines["python"])
