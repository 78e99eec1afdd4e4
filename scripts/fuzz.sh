#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs each for a bounded time.
# Usage: scripts/fuzz.sh [seconds per target, default 60]
# Each run works on a scratch copy of tests/fuzz/corpus/<target without fuzz_>, so
# the committed corpus stays as it is; findings land in build/fuzz/findings.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
build=build/fuzz

CC="${CC:-clang-14}" CXX="${CXX:-clang++-14}" cmake -S . -B "$build" -G Ninja \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" -DKESTREL_BUILD_FUZZERS=ON \
    -DKESTREL_SANITIZE=address,undefined >/dev/null

targets=()
for source in tests/fuzz/*.cpp; do
    targets+=("$(basename "$source" .cpp)")
done
cmake --build "$build" --target "${targets[@]}"

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$build/findings"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1}"

failed=0
for target in "${targets[@]}"; do
    corpus="$scratch/${target#fuzz_}"
    mkdir -p "$corpus"
    if [[ -d "tests/fuzz/corpus/${target#fuzz_}" ]]; then
        cp -R "tests/fuzz/corpus/${target#fuzz_}/." "$corpus/"
    fi
    echo "== $target for ${seconds}s"
    # Stops write failure reports to stderr by design; -close_fd_mask=2 keeps them
    # out of the log while sanitizer and fuzzer reports still come through.
    # Inputs up to two full blocks, so that 16-bit sizes and wrapped counts are in reach.
    if ! "$build/$target" "$corpus" -max_total_time="$seconds" -timeout=10 -max_len=131072 \
            -rss_limit_mb=2048 -malloc_limit_mb=64 -close_fd_mask=2 \
            -artifact_prefix="$build/findings/$target-" -print_final_stats=1; then
        echo "== $target FAILED (reproducer in $build/findings)"
        failed=1
    fi
done
exit "$failed"
