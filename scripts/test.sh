#!/usr/bin/env bash
# Installs what is missing, builds kestrel, and runs every test: the C++ and Python
# suites on the release build, then both again under AddressSanitizer and
# UndefinedBehaviorSanitizer, then a bounded fuzzing run.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh
cmake -S . -B build/cpp-tests -G Ninja -DKESTREL_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/cpp-tests -j "$(nproc)"
ctest --test-dir build/cpp-tests --output-on-failure -j "$(nproc)"
python3 -m pytest -q tests/python
scripts/sanitize.sh
# Fuzz the BGZF reader and the line splitting and batch cutting for a bounded time.
scripts/fuzz.sh 45
