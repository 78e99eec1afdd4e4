#!/usr/bin/env bash
# Installs a wheel made by scripts/wheel.sh into a fresh virtual environment,
# build/wheel-venv/, with no compiler in reach, and runs the command line and the
# Python suite against it there. The test tools (pytest, ...) are installed into the
# same environment, with the compiler still in reach, as pip may need it for them;
# kestrel itself only comes from the wheel. scripts/test.sh runs the sanitizer build
# in this environment too, so that the tools are installed once per CI run.
# Usage: scripts/test-wheel.sh WHEEL
set -euo pipefail
wheel="$(realpath "${1:?usage: $0 WHEEL}")"
cd "$(dirname "$0")/.."
repo="$PWD"
venv="$repo/build/wheel-venv"

"$(command -v python3.11 || command -v python3)" -m venv --clear "$venv"
VIRTUAL_ENV="$venv" bash scripts/install-deps.sh test

# The system's commands, less every compiler, assembler and linker: a directory of
# links to them, after the environment's own bin/.
tools="$venv/system-bin"
test_path="$venv/bin:$tools"
"$venv/bin/python" - "$tools" "$test_path" <<'EOF'
import fnmatch, os, shutil, sys, sysconfig
tools, test_path = sys.argv[1:]
NAMES = ["cc", "c++", "c89*", "c99*", "cpp", "cpp-*", "*gcc*", "*g++*", "*clang*", "*-cc", "*-c++", "*-cpp*",
         "as", "*-as", "ld", "ld.*", "*-ld", "*-ld.*", "*lto-dump*", "llvm-*", "llc*", "lli*", "tcc", "nvcc", "ccache"]
def is_toolchain(path):
    real = os.path.realpath(path)
    return (any(fnmatch.fnmatch(name, pattern) for name in (os.path.basename(path), os.path.basename(real))
                for pattern in NAMES)
            or fnmatch.fnmatch(real, "*/llvm-*/*") or fnmatch.fnmatch(real, "*/gcc/*"))
os.makedirs(tools)
for directory in ("/usr/bin", "/bin", "/usr/sbin", "/sbin"):
    for name in sorted(os.listdir(directory)) if os.path.isdir(directory) else []:
        path = os.path.join(directory, name)
        link = os.path.join(tools, name)
        if os.access(path, os.X_OK) and not os.path.lexists(link) and not is_toolchain(path):
            os.symlink(path, link)
# The proof, over the whole PATH the tests get: nothing there is a compiler, nor
# answers to a name that Python's build tools would call one by.
found = [os.path.join(d, n) for d in test_path.split(":") for n in os.listdir(d) if is_toolchain(os.path.join(d, n))]
names = ["cc", "c++", "gcc", "g++", "clang", "clang++"]
names += [(sysconfig.get_config_var(v) or "cc").split()[0] for v in ("CC", "CXX")]
found += [shutil.which(name, path=test_path) for name in names if shutil.which(name, path=test_path)]
if found:
    sys.exit(f"test-wheel.sh: a compiler is in reach: {found}")
EOF

no_compiler=(env -u PYTHONPATH -u LD_PRELOAD PATH="$test_path" CC=/bin/false CXX=/bin/false VIRTUAL_ENV="$venv")
"${no_compiler[@]}" pip install -q --no-deps "$wheel"

# The command line on the shipped sample, from outside the repository; then what the
# installed package is made of: the version from pyproject.toml, every module from the
# environment, and no libdeflate loaded from the system (the wheel's is in the core).
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"
"${no_compiler[@]}" kestrel-split "$repo/examples/sample.vcf" out --chunks 3 -c fast --index tbi >/dev/null
[[ "$(echo $(ls out))" == "batch_01.vcf.gz batch_01.vcf.gz.tbi batch_02.vcf.gz batch_02.vcf.gz.tbi"\
" batch_03.vcf.gz batch_03.vcf.gz.tbi manifest.tsv" ]]
"${no_compiler[@]}" python - "$repo" "$venv" <<'EOF'
import importlib.metadata, os, sys, tomllib
import kestrel, kestrel_cli, kestrel_dask, kestrel_scatter
repo, venv = sys.argv[1:]
with open(os.path.join(repo, "pyproject.toml"), "rb") as pyproject:
    assert importlib.metadata.version("kestrel") == tomllib.load(pyproject)["project"]["version"]
for module in (kestrel, kestrel_cli, kestrel_dask, kestrel_scatter):
    assert module.__file__.startswith(venv + "/"), module.__file__
assert os.path.isfile(os.path.join(venv, "share/man/man1/kestrel-split.1"))  # the wheel's data, where man looks
kestrel_scatter.scatter(os.path.join(repo, "examples/sample.vcf"), "again", chunks=2, compression="fast")
mapped = {line.split()[-1] for line in open("/proc/self/maps") if "/" in line}
assert [path for path in mapped if "libdeflate" in path] == [], mapped
assert os.path.join(os.path.dirname(kestrel.__file__), "libkestrel_core.so") in mapped
EOF
cd "$repo"
echo "test-wheel.sh: the wheel's command line and modules run in $venv with no compiler in reach"

"${no_compiler[@]}" python -m pytest -q tests/python
