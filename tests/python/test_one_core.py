"""One core per process: the modules share the engine and its process-wide state,
whichever of them is imported and called first."""
import os
import subprocess

import kestrel
import kestrel_scatter
from conftest import HEADER, files, records, run_python


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


def test_both_modules_in_one_process_share_one_pool(tmp_path):
    source = tmp_path / "in.vcf"
    source.write_bytes(HEADER + records(5000))
    code = f"""
import os, kestrel, kestrel_scatter
def threads():
    return len(os.listdir("/proc/self/task"))
before = threads()
kestrel.py_extract_variants_to_batches({str(source)!r}, {str(tmp_path / "batch")!r}, 2000, "fast")
after_batch = threads()
chunks = kestrel_scatter.scatter({str(source)!r}, {str(tmp_path / "scatter")!r}, records_per_chunk=2000,
                                 compression="fast")
print(before, after_batch, threads(), len(chunks))
"""
    result = run_python(code, env={"RAYON_NUM_THREADS": "4"})
    before, after_batch, after_both, chunks = map(int, result.stdout.decode().splitlines()[-1].split())
    assert (after_batch - before, after_both - before, chunks) == (4, 4, 3)
    scattered = files(tmp_path / "scatter")
    assert scattered.pop("manifest.tsv") and scattered == files(tmp_path / "batch")
