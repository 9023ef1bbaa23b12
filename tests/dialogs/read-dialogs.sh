#!/bin/sh
# Runs a dialog test program on a private X server and then reads its
# pictures back as a person would: every NAME.png (or NAME.bmp, made a PNG
# here) that the program saved beside a NAME.expect is scaled up twice and
# read with tesseract, and each line of NAME.expect must be in what was read
# (spaces aside: tesseract often sees one after a full stop).
# The program saves a picture of a known short text first (the first NAME in
# order), so that an OCR that reads nothing never passes for a broken dialog.
#   read-dialogs.sh OUTDIR COMMAND...
# COMMAND runs in OUTDIR, with DISPLAY set; its status is this script's too,
# unless a picture does not read as expected.
set -eu
out=$1
shift
mkdir -p "$out"
cd "$out"
rm -f ./*.expect ./*.read

displayfile=$(mktemp)
Xvfb -displayfd 4 -screen 0 1024x768x24 -nolisten tcp 4>"$displayfile" >/dev/null 2>&1 &
xvfb=$!
trap 'kill "$xvfb" 2>/dev/null || true; wait "$xvfb" 2>/dev/null || true; rm -f "$displayfile"' EXIT
while ! grep -q . "$displayfile"; do
    kill -0 "$xvfb" || { echo "Xvfb did not start" >&2; exit 1; }
    sleep 0.1
done
DISPLAY=":$(head -n1 "$displayfile")"
export DISPLAY

status=0
"$@" || status=$?

for bmp in *.bmp; do
    [ -e "$bmp" ] || continue
    convert "$bmp" "${bmp%.bmp}.png" && rm -f "$bmp"
done

first=yes
for expect in *.expect; do
    [ -e "$expect" ] || continue
    name=${expect%.expect}
    convert "$name.png" -resize 200% "$name-2x.png"
    # One line of text, spaces squeezed, as tesseract read it.
    tesseract "$name-2x.png" - 2>/dev/null | tr -s ' \n' '  ' >"$name.read"
    rm -f "$name-2x.png"
    while IFS= read -r want; do
        want=$(printf '%s' "$want" | tr -d ' \r')
        [ -n "$want" ] || continue
        if tr -d ' ' <"$name.read" | grep -qF -- "$want"; then
            echo "$name: read \"$want\" in: $(cat "$name.read")"
        else
            echo "$name: \"$want\" not on screen; read: $(cat "$name.read")" >&2
            [ $first = yes ] && echo "$name shows a known text: the OCR itself does not work" >&2
            status=1
        fi
    done <"$expect"
    first=no
done
exit $status
