"""The source tree is layered: base <- runtime <- bgzf <- index <- vcf <- split <-
python, and a file includes only from its own layer or the ones below it. Only the
Python boundary talks to the interpreter, and the codec knows blocks, not records. The
tests stay within a third of the code."""
import re
import subprocess
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
SRC = REPO / "src"
LAYERS = ["base", "runtime", "bgzf", "index", "vcf", "split", "python"]


def sources():
    return [path for path in SRC.rglob("*.[ch]pp")]


def test_includes_point_only_downward():
    upward = []
    for path in sources():
        layer = LAYERS.index(path.relative_to(SRC).parts[0])
        for included in re.findall(r'^#include "([a-z_]+)/', path.read_text(), re.M):
            if LAYERS.index(included) > layer:
                upward.append(f"{path.relative_to(SRC)} includes {included}/")
    assert upward == []
    assert {p.name for p in SRC.iterdir() if p.is_dir()} == set(LAYERS)


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
