"""One core per process: both modules load the one core library, which exports only
its own symbols (the pool they share: tests/python/kestrel/test_runtime.py)."""
import os
import subprocess

import kestrel
import kestrel_scatter


def defined_symbols(library, *options):
    output = subprocess.run(["nm", "-D", "--defined-only", *options, library], capture_output=True, text=True,
                            check=True).stdout
    return [line.split(maxsplit=2)[-1] for line in output.splitlines() if line.strip()]


def test_the_modules_export_their_init_only_and_the_core_only_its_own_symbols():
    assert defined_symbols(kestrel.__file__) == ["PyInit_kestrel"]
    assert defined_symbols(kestrel_scatter.__file__) == ["PyInit_kestrel_scatter"]
    core = os.path.join(os.path.dirname(kestrel.__file__), "libkestrel_core.so")
    assert os.path.dirname(kestrel_scatter.__file__) == os.path.dirname(core)
    symbols = defined_symbols(core, "-C")
    assert symbols and [name for name in symbols if "kestrel::" not in name] == []
    # libdeflate is inside, hidden: another copy of it in the process cannot clash.
    assert [name for name in defined_symbols(core) if name.startswith("libdeflate")] == []
