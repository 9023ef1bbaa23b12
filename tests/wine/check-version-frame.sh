#!/usr/bin/env bash
# Sends one VERSION frame to the Windows host under Wine and compares the
# bytes of its answer with the expected ones: the response frame, then the
# "Bad request" frame at end of input, with LF line ends only (binary mode)
# and nothing else on standard output. Exit code of the host must be 1.
#   check-version-frame.sh HOST.exe EMULATOR...
set -uo pipefail
host=$1
shift
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

request='{"type":"VERSION","nonce":"1","origin":"https://a"}'
frame() { python3 -c 'import struct,sys; t=sys.argv[1].encode(); sys.stdout.buffer.write(struct.pack("<I",len(t))+t)' "$1"; }

frame "$request" > "$work/in"
{
    frame $'{\n\t"api": 1,\n\t"nonce": "1",\n\t"result": "ok",\n\t"version": "2.3.9" \n} \n'
    frame $'{\n\t"message": "Bad request",\n\t"nonce": "1",\n\t"result": "invalid_argument" \n} \n'
} > "$work/expected"

"$@" "$host" < "$work/in" > "$work/out" 2> "$work/err"
status=$?
if ! cmp -s "$work/expected" "$work/out"; then
    echo "FAIL: response bytes differ" >&2
    echo "expected:" >&2; od -c "$work/expected" >&2
    echo "got:" >&2; od -c "$work/out" >&2
    cat "$work/err" >&2
    exit 1
fi
[ "$status" -eq 1 ] || { echo "FAIL: exit code $status, expected 1" >&2; exit 1; }
echo "VERSION answered with $(stat -c %s "$work/out") bytes, exit code 1"
