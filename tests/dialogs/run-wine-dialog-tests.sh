#!/bin/sh
# Runs the Win32 dialog tests under Wine on a private X server, with a Wine
# prefix of their own in OUTDIR (the dialogs need a display, which the
# project's shared prefix was booted without); read-dialogs.sh turns the
# dialog pictures into PNG files in OUTDIR and reads them back.
#   run-wine-dialog-tests.sh OUTDIR TEST_EXE WINE_COMMAND...
# Exits 77 (skipped) for a 32-bit build on a kernel that cannot run 32-bit code.
set -e
here=$(cd "$(dirname "$0")/../.." && pwd)
for arg in "$@"; do
    if [ "$arg" = --32 ] && ! "$here/scripts/can-run-i386"; then
        echo "this kernel cannot run 32-bit programs; the 64-bit build runs these tests"
        exit 77
    fi
done
out=$1
exe=$2
shift 2
mkdir -p "$out"
out=$(cd "$out" && pwd)
export QUORVANTA_WINEPREFIX="$out/wineprefix" WINEPREFIX="$out/wineprefix" WINEDEBUG=-all
exec sh "$here/tests/dialogs/read-dialogs.sh" "$out" "$@" "$exe"
