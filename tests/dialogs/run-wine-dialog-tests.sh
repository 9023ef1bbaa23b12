#!/bin/sh
# Runs the Win32 dialog tests under Wine on a private X server and prefix, in
# OUTDIR, then turns the dialog pictures into PNG files there.
#   run-wine-dialog-tests.sh WINE TEST_EXE OUTDIR
set -e
wine=$1
exe=$2
out=$3
mkdir -p "$out"
cd "$out"
export WINEPREFIX="$out/wineprefix" WINEDEBUG=-all
xvfb-run -a -s "-screen 0 1024x768x24" "$wine" "$exe"
for bmp in *.bmp; do
    [ -e "$bmp" ] || continue
    convert "$bmp" "${bmp%.bmp}.png" && rm -f "$bmp"
done
