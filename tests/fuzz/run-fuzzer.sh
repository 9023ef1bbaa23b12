#!/bin/sh
# Fuzzes one target for a while from a fresh copy of its seeds, then prints one
# line: executions and executions per second. Exits non-zero, naming the saved
# input, when libFuzzer found a crash, a leak or a timeout.
#   run-fuzzer.sh BINARY SEEDS REGRESSIONS WORKDIR SECONDS
set -eu
binary=$1 seeds=$2 regressions=$3 work=$4 seconds=$5
name=$(basename "$binary")

rm -rf "$work"
mkdir -p "$work/corpus"
cp "$seeds"/* "$work/corpus/"

# New inputs go to the copy; the regressions folder is only read. No PKCS#11
# module may be found, so the loader's extra path is dropped.
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
status=0
env -u LD_LIBRARY_PATH "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$work/" "$work/corpus" "$regressions" \
    >"$work/fuzz.log" 2>&1 || status=$?

stat() { sed -n "s/^stat::$1: *//p" "$work/fuzz.log" | tail -n 1; }
if [ "$status" -ne 0 ]; then
    tail -n 60 "$work/fuzz.log"
    echo "$name: FAILED (exit $status); whole log in $work/fuzz.log"
    sed -n 's/.*Test unit written to \(.*\)$/input: \1/p' "$work/fuzz.log"
    exit 1
fi
echo "$name: $(stat number_of_executed_units) executions in ${seconds}s, $(stat average_exec_per_sec) exec/s, corpus $(ls "$work/corpus" | wc -l) inputs"
