#!/usr/bin/env bash
# Installs what is missing and runs every test: builds and repairs the wheel
# (scripts/wheel.sh), installs it into a fresh virtual environment with no compiler
# in reach and runs the command line and the Python suite against it there
# (scripts/test-wheel.sh); then the C++ suite and the Python suite again under
# AddressSanitizer and UndefinedBehaviorSanitizer, on a build that links the shared
# libdeflate rather than the wheel's static one; then a bounded fuzzing run.
set -euo pipefail
cd "$(dirname "$0")/.."
mkdir -p build
bash scripts/wheel.sh | tee build/wheel.log
wheel="$(tail -n 1 build/wheel.log)"
bash scripts/test-wheel.sh "$wheel"
echo "test.sh: the wheel built and tested after ${SECONDS}s"
# In the wheel's environment: its test tools are installed already, and its command
# and type stubs are the ones the suite checks.
VIRTUAL_ENV="$PWD/build/wheel-venv" PATH="$PWD/build/wheel-venv/bin:$PATH" bash scripts/sanitize.sh
echo "test.sh: the suites under the sanitizers passed after ${SECONDS}s"
# Fuzz the BGZF reader and the line splitting and batch cutting for a bounded time.
bash scripts/fuzz.sh 20
echo "test.sh: every test passed in ${SECONDS}s"
