#!/usr/bin/env bash
# Builds kestrel with AddressSanitizer and UndefinedBehaviorSanitizer and runs the
# C++ and Python test suites under them, the latter with the interpreter and pytest
# of scripts/venv.sh (.venv/ unless one is active). Any finding fails the run.
# -O1 and line tables only, as the sanitizers advise: half the compile time, and
# reports still name file and line. This build links the shared libdeflate, so that
# the suites cover that choice too; the wheel and the release build link the static one.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh test
source scripts/venv.sh
# Some Python tests check the installed package (command, type stub) as well.
"$python" -c "import kestrel, kestrel_cli" 2>/dev/null || bash scripts/build.sh

build=build/sanitize
cmake -S . -B "$build" -G Ninja -DKESTREL_BUILD_TESTS=ON -DKESTREL_SANITIZE=address,undefined \
  -DKESTREL_LIBDEFLATE=shared -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" \
  -DPython_EXECUTABLE="$python" >/dev/null
cmake --build "$build" -j "$(nproc)"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

ctest --test-dir "$build" --output-on-failure -j "$(nproc)"

# The interpreter is not instrumented: the sanitizer runtime has to be loaded first,
# and the C++ runtime with it so that its exception interceptors find the real ones.
runtime="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so.6)"
# Python's allocator hides its blocks from the sanitizer; plain malloc shows them.
# Leak checking stays with the C++ suite above: in an interpreter process the leak
# checker's tracer crashes now and then on this kernel ("Tracer caught signal 11"),
# and the Python suite proves flat memory and reference counts itself.
ASAN_OPTIONS="$ASAN_OPTIONS:detect_leaks=0" LD_PRELOAD="$runtime" PYTHONMALLOC=malloc PYTHONPATH="$PWD/$build:$PWD/python" KESTREL_UNDER_SANITIZER=1 \
  "$python" -m pytest -q -p no:cacheprovider tests/python
