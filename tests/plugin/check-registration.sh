#!/usr/bin/env bash
# Registers the plugin with regsvr32 and reads every key back with Wine's reg
# tool against one table (registry-keys.txt): machine-wide registration,
# registering again, unregistration, a 32-bit type library registration that
# must survive it, and per-user installation (regsvr32 /i:User /n), whose
# HKCR keys land under HKCU\Software\Classes.
#   check-registration.sh TABLE PLUGIN.dll WINE-RUNNER
set -Eeuo pipefail
trap 'echo "FAIL: stopped at line $LINENO: $BASH_COMMAND" >&2' ERR
table=$1
dll=$(printf 'Z:%s' "$2" | tr / '\\')
wine=$3

libid=$(grep -m1 -o 'TypeLib\\{[^}]*}' "$table")
typelib="HKEY_CLASSES_ROOT\\$libid\\1.0\\0"
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

cleanup() {
    "$wine" reg delete "$typelib\\win32" /f >/dev/null 2>&1 || true
    "$wine" regsvr32 /s /u /i:user /n "$dll" >/dev/null 2>&1 || true
    "$wine" regsvr32 /s /u "$dll" >/dev/null 2>&1 || true
}
trap cleanup EXIT

regsvr32() { "$wine" regsvr32 /s "$@" "$dll" || fail "regsvr32 $* exited with $?"; }

# The table's rows "after|source|key|value|type|data" whose source matches
# $1, with the module path filled in and, for per-user rows ($2 = user), HKCR
# moved under HKCU\Software\Classes.
rows() {
    local text
    text=$(grep -v '^#' "$table" | grep -E "^[a-z]+\|($1)\|")
    text=${text//%MODULE%/$dll}
    if [ "${2:-}" = user ]; then
        text=${text//|HKEY_CLASSES_ROOT\\/|HKEY_CURRENT_USER\\Software\\Classes\\}
    fi
    echo "$text"
}

# What reg query prints for the rows' keys, one record per key ("key") and
# per value ("key|value|type|data"). A key that stays after unregistration is
# read alone; any other key with its whole subtree, once.
dump() {
    local after source key rest dumped=()
    while IFS='|' read -r after source key rest; do
        local covered=
        for root in "${dumped[@]}"; do
            [[ "$key" == "$root\\"* ]] && covered=yes
        done
        [ -n "$covered" ] && continue
        local subtree=/s
        [ "$after" = stays ] && subtree=
        [ -z "$subtree" ] || dumped+=("$key")
        # Wine prints a key's own name only when it has values.
        "$wine" reg query "$key" $subtree </dev/null 2>/dev/null && echo "$key"
    done | tr -d '\r' | awk -F '    ' '
        /^HKEY_/ { key = $0; print key; next }
        NF >= 3  { print key "|" $2 "|" $3 "|" $4 }'
}

has() { grep -Fxqi -- "$1" <<<"$2"; }

# Every row of $4 is there ($3 = present), or ($3 = unregistered) the rows
# that stay are there and of the others neither the value nor, unless it
# stays, the key is left.
check() {
    local name=$1 records=$2 mode=$3 table_rows=$4 after source key value type data
    local staying
    staying=$(grep '^stays' <<<"$table_rows" | cut -d'|' -f3)
    while IFS='|' read -r after source key value type data; do
        local record=$key${value:+|$value|$type|$data}
        if [ "$mode" = present ] || [ "$after" = stays ]; then
            has "$record" "$records" || fail "$name: missing $record"
        elif has "$record" "$records" || { ! has "$key" "$staying" && has "$key" "$records"; }; then
            fail "$name: left behind $record"
        fi
    done <<<"$table_rows"
}

# Registers with regsvr32 ARGS, then checks the rows of SOURCES (mapped for
# per-user when MAP is user).
#   phase NAME MODE SOURCES MAP regsvr32-args...
phase() {
    local name=$1 mode=$2 table_rows
    table_rows=$(rows "$3" "$4")
    shift 4
    regsvr32 "$@"
    records=$(dump <<<"$table_rows")
    check "$name" "$records" "$mode" "$table_rows"
}

all='script|typelib|category'

# Machine-wide registration writes every row.
phase registration present "$all" machine
first=$records

# Registering again (here through DllInstall with "users", which is not
# "user" and so registers machine-wide) rewrites replaced keys: a subkey
# added in between is gone and the result is the same as before.
script_rows=$(rows script)
# (grep reads a here-string, so an early stop cannot break a pipe.)
class_key=$(grep -m1 '\\CLSID\\{' <<<"$script_rows" | cut -d'|' -f3)
"$wine" reg add "$class_key\\Leftover" /f >/dev/null
phase "second registration" present "$all" machine /i:users /n
[ "$first" = "$records" ] || fail "a second registration differs from the first:
$(diff <(echo "$first") <(echo "$records"))"

# Unregistration leaves exactly the keys that stay.
phase unregistration unregistered "$all" machine /u
"$wine" reg query "HKEY_CLASSES_ROOT\\$libid" >/dev/null 2>&1 && fail "type library key left behind"

# A 32-bit registration of the same type library survives unregistration.
regsvr32
"$wine" reg add "$typelib\\win32" /ve /d 'C:\quorvanta-plugin-ie-32.dll' /f >/dev/null
regsvr32 /u
"$wine" reg query "$typelib\\win32" >/dev/null 2>&1 || fail "the win32 type library registration is gone"
"$wine" reg query "$typelib\\win64" >/dev/null 2>&1 && fail "the win64 type library registration is left"
"$wine" reg delete "HKEY_CLASSES_ROOT\\$libid" /f >/dev/null

# Per user: the scripts' HKCR keys go under HKCU\Software\Classes, and no
# ProgID appears machine-wide.
phase "per-user registration" present script user /i:User /n
progid=$(grep -m1 'quorvantapluginie\.' <<<"$script_rows" | cut -d'|' -f3)
"$wine" reg query "$progid" >/dev/null 2>&1 && fail "per-user registration wrote $progid"
phase "per-user unregistration" unregistered script user /u /i:user /n

[ "$failures" -eq 0 ] && echo "registration: all checks passed"
exit $((failures > 0))
