"""The source tree is layered: base <- runtime <- bgzf <- index <- vcf <- split <-
python, and a file includes only from its own layer or the ones below it. Only the
Python boundary talks to the interpreter, and the codec knows blocks, not records."""
import re
from pathlib import Path

SRC = Path(__file__).resolve().parents[2] / "src"
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
