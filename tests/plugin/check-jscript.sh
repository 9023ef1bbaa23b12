#!/usr/bin/env bash
# Registers the plugin machine-wide, runs page.js with Windows Script Host
# (64-bit cscript, which can create the 64-bit objects) and unregisters it.
#   check-jscript.sh page.js PLUGIN.dll WINE-RUNNER
set -euo pipefail
script=$(printf 'Z:%s' "$1" | tr / '\\')
dll=$(printf 'Z:%s' "$2" | tr / '\\')
wine=$3

trap '"$wine" regsvr32 /s /u "$dll" >/dev/null 2>&1 || true' EXIT
"$wine" regsvr32 /s "$dll"
"$wine" cscript //nologo "$script" </dev/null | tr -d '\r'
