#!/usr/bin/env bash
# Prepares the project's Wine prefix for a test run: creates it when missing
# (through scripts/wine-run, which holds the prefix lock while it does) and
# boots Wine's services with all output sent to /dev/null. Programs started
# afterwards find the server and services running, so they start in a fraction
# of a second, and no service inherits a test's output pipe. Prints the time a
# trivial program then takes to start.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
run="$repo/scripts/wine-run"

start=$(date +%s%N)
"$run" wineboot </dev/null >/dev/null 2>&1
booted=$(date +%s%N)
"$run" cmd /c exit 0 </dev/null >/dev/null 2>&1
done=$(date +%s%N)

echo "Wine prefix ready in $(( (booted - start) / 1000000 )) ms;" \
     "a trivial program then starts and exits in $(( (done - booted) / 1000000 )) ms"
