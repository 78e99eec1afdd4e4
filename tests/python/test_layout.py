"""The source tree is layered: base <- runtime <- bgzf <- vcf <- split <- interface <-
scatter_interface, and a file includes only from its own layer or the ones below it."""
import re
from pathlib import Path

SRC = Path(__file__).resolve().parents[2] / "src"
LAYERS = ["base", "runtime", "bgzf", "vcf", "split", "interface", "scatter_interface"]


def test_includes_point_only_downward():
    upward = []
    for path in SRC.rglob("*.[ch]pp"):
        layer = LAYERS.index(path.parent.name)
        for included in re.findall(r'^#include "([a-z_]+)/', path.read_text(), re.M):
            if LAYERS.index(included) > layer:
                upward.append(f"{path.relative_to(SRC)} includes {included}/")
    assert upward == []
    assert {p.name for p in SRC.iterdir()} == set(LAYERS)
