#!/usr/bin/env bash
# Builds the fuzz targets (preset "fuzz": clang, libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) and fuzzes each for SECONDS (default 600), all
# at once, each from a working copy of its seeds under build/fuzz/fuzzing.
# Prints one line per target; exits non-zero when a target found a crash, a
# leak or a timeout, naming the input it saved.
#
# Usage: scripts/fuzz.sh [SECONDS]
set -euo pipefail

seconds=${1:-600}
[[ $seconds =~ ^[1-9][0-9]*$ ]] || { echo "usage: $0 [SECONDS]" >&2; exit 2; }
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$root/build/fuzz
mkdir -p "$build"

log=$build/build.log
if ! { cmake --preset fuzz -S "$root" && cmake --build --preset fuzz; } >"$log" 2>&1; then
    tail -n 60 "$log" >&2
    echo "building the fuzz targets failed (whole output in $log)" >&2
    exit 1
fi

targets=(jsonxx request)
pids=()
for target in "${targets[@]}"; do
    work=$build/fuzzing/$target
    mkdir -p "$work"
    "$root/tests/fuzz/run-fuzzer.sh" "$build/tests/fuzz/fuzz-$target" \
        "$root/tests/fuzz/corpus/$target" "$root/tests/fuzz/regressions/$target" \
        "$work/run" "$seconds" >"$work/summary" 2>&1 &
    pids+=($!)
done

status=0
for i in "${!targets[@]}"; do
    wait "${pids[$i]}" || status=1
    cat "$build/fuzzing/${targets[$i]}/summary"
done
exit $status
