#!/usr/bin/env bash
# Writes a consent with the store and checks with Wine's reg tool that it is
# a REG_QWORD value named after the origin under HKCU\Software\Quorvanta\
# Quorvanta Token Signing\consents, then removes it again.
#   check-consent-registry.sh WRITER.exe EMULATOR...
set -euo pipefail
writer=$1
shift
emulator=("$@")
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
run="$repo/scripts/wine-run"

key='HKCU\Software\Quorvanta\Quorvanta Token Signing\consents'
origin="https://reg-query-$$.example:8443"
until=1767225600

cleanup() { "$run" reg delete "$key" /v "$origin" /f >/dev/null 2>&1 || true; }
trap cleanup EXIT

"${emulator[@]}" "$writer" "$origin" "$until"
out=$("$run" reg query "$key" /v "$origin" | tr -d '\r')
echo "$out"

fail() { echo "FAIL: $*" >&2; exit 1; }
grep -qix 'HKEY_CURRENT_USER\\Software\\Quorvanta\\Quorvanta Token Signing\\consents' <<<"$out" \
    || fail "key path not as expected"
grep -q 'Quorvanta\\Quorvanta Token Signing\\consents$' <<<"$out" || fail "key name case changed"
line=$(grep -F "$origin" <<<"$out") || fail "no value named $origin"
read -r name type _ <<<"$line"
[ "$name" = "$origin" ] || fail "value name is '$name'"
[ "$type" = REG_QWORD ] || fail "value type is $type"

# Wine's reg query does not print QWORD data; its export does (hex(b), the
# eight bytes little-endian).
work=$(mktemp -d)
trap 'cleanup; rm -rf "$work"' EXIT
"$run" reg export "$key" "Z:$work/consents.reg" /y >/dev/null
data=$(python3 - "$work/consents.reg" "$origin" <<'PY'
import sys
text = open(sys.argv[1], 'rb').read().decode('utf-16')
prefix = '"%s"=hex(b):' % sys.argv[2]
for line in text.splitlines():
    if line.startswith(prefix):
        print(int.from_bytes(bytes.fromhex(line[len(prefix):].replace(',', '')), 'little'))
PY
)
[ "$data" = "$until" ] || fail "value data is '$data', expected $until"
echo "consent value ok: $name $type $data"
