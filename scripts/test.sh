#!/usr/bin/env bash
# Installs what is missing, builds kestrel into .venv/ (or the active virtual
# environment), and runs every test: the C++ and Python suites on the release
# build, then both again under AddressSanitizer and UndefinedBehaviorSanitizer,
# then a bounded fuzzing run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh test
bash scripts/build.sh
source scripts/venv.sh
cmake -S . -B build/cpp-tests -G Ninja -DKESTREL_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPython_EXECUTABLE="$python" >/dev/null
cmake --build build/cpp-tests -j "$(nproc)"
ctest --test-dir build/cpp-tests --output-on-failure -j "$(nproc)"
"$python" -m pytest -q tests/python
bash scripts/sanitize.sh
# Fuzz the BGZF reader and the line splitting and batch cutting for a bounded time.
bash scripts/fuzz.sh 45
