#!/usr/bin/env bash
# Registers the plugin with regsvr32 and reads every key back with Wine's reg
# tool against one table (registry-keys.txt): machine-wide registration,
# registering again, unregistration (also past a key that cannot be removed,
# and a second time), a 32-bit type library registration that must survive
# it, and per-user installation (regsvr32 /i:User /n), also by a user who
# cannot write to HKLM: its HKCR keys land under HKCU\Software\Classes, and
# it neither writes nor removes anything under HKLM.
#   check-registration.sh TABLE PLUGIN.dll WINE-RUNNER STORE-TOOL
set -Eeuo pipefail
trap 'echo "FAIL: stopped at line $LINENO: $BASH_COMMAND" >&2' ERR
table=$1
dll=$(printf 'Z:%s' "$2" | tr / '\\')
wine=$3
tool=$4

libid=$(grep -m1 -o 'TypeLib\\{[^}]*}' "$table")
typelib="HKEY_CLASSES_ROOT\\$libid\\1.0\\0"
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# Sets the access of keys given as the table writes them (plugin-test-store
# key-access: allow, deny-write or deny-all).
locked=()
key_access() {
    local access=$1 key keys=()
    shift
    for key in "$@"; do
        key=${key/#HKEY_CLASSES_ROOT\\/HKLM\\Software\\Classes\\}
        keys+=("${key/#HKEY_LOCAL_MACHINE\\/HKLM\\}")
    done
    [ "$access" = allow ] || locked+=("$@")
    "$wine" "$tool" key-access "$access" "${keys[@]}"
}

cleanup() {
    [ ${#locked[@]} -eq 0 ] || key_access allow "${locked[@]}" >/dev/null 2>&1 || true
    "$wine" reg delete "$typelib\\win32" /f >/dev/null 2>&1 || true
    "$wine" regsvr32 /s /u /i:user /n "$dll" >/dev/null 2>&1 || true
    "$wine" regsvr32 /s /u "$dll" >/dev/null 2>&1 || true
}
trap cleanup EXIT

regsvr32() { "$wine" regsvr32 /s "$@" "$dll" || fail "regsvr32 $* exited with $?"; }
regsvr32_fails() { ! "$wine" regsvr32 /s "$@" "$dll" || fail "regsvr32 $* succeeded"; }

# The table's rows "after|source|key|value|type|data" whose source matches
# $1, with the module path filled in and, for per-user rows ($2 = user), HKCR
# moved under HKCU\Software\Classes and HKLM left out.
rows() {
    local text
    text=$(grep -v '^#' "$table" | grep -E "^[a-z]+\|($1)\|")
    text=${text//%MODULE%/$dll}
    if [ "${2:-}" = user ]; then
        text=$(grep -v '|HKEY_LOCAL_MACHINE\\' <<<"$text")
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
        "$wine" reg query "$key" $subtree </dev/null 2>/dev/null && echo "$key" || true
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

# Unregistration goes on past a key that it cannot remove (one of a class
# script, one of the browser integration), removes all else and reports the
# failure; once the key can go, unregistering again removes it, and
# unregistering what is not registered succeeds.
mime_key=$(grep -m1 -o 'HKEY_CLASSES_ROOT\\MIME\\Database\\Content Type\\[^|]*' <<<"$script_rows")
bho_key=$(grep -m1 -o 'HKEY_LOCAL_MACHINE\\[^|]*Browser Helper Objects\\{[^|]*' <<<"$script_rows")
for locked_key in "$mime_key" "$bho_key"; do
    regsvr32
    key_access deny-all "$locked_key" >/dev/null
    regsvr32_fails /u
    records=$(dump <<<"$(rows "$all")")
    check "unregistration past $locked_key" "$records" unregistered "$(rows "$all" | grep -vF "$locked_key")"
    key_access allow "$locked_key" >/dev/null
    phase "unregistration after $locked_key was freed" unregistered "$all" machine /u
done
phase "unregistering what is not registered" unregistered "$all" machine /u

# Per user: the HKCR keys of the scripts and the safety categories go under
# HKCU\Software\Classes, and nothing of the plugin's is written to or
# removed from HKLM, where an installation for all users may live. (Wine's
# per-user type library functions register machine-wide, so the type
# library's keys are not checked here.)
machine_rows=$(rows 'script|category')
phase "per-user registration" present 'script|category' user /i:User /n
check "per-user registration, machine-wide" "$(dump <<<"$machine_rows")" unregistered "$machine_rows"
regsvr32
phase "per-user unregistration" unregistered 'script|category' user /u /i:user /n
check "per-user unregistration, machine-wide" "$(dump <<<"$machine_rows")" present "$machine_rows"
regsvr32 /u

# The same by a user who cannot write to HKLM: the keys that registration
# would reuse there are closed to writing.
mapfile -t machine_keys < <(rows "$all" | grep '^stays' | cut -d'|' -f3 | sort -u)
key_access deny-write "${machine_keys[@]}" >/dev/null
phase "per-user registration, HKLM closed" present 'script|category' user /i:User /n
check "per-user registration, HKLM closed, machine-wide" "$(dump <<<"$machine_rows")" unregistered "$machine_rows"
phase "per-user unregistration, HKLM closed" unregistered 'script|category' user /u /i:user /n
check "per-user unregistration, HKLM closed, machine-wide" "$(dump <<<"$machine_rows")" unregistered "$machine_rows"
phase "per-user unregistration of what is not registered" unregistered 'script|category' user /u /i:user /n
key_access allow "${machine_keys[@]}" >/dev/null

[ "$failures" -eq 0 ] && echo "registration: all checks passed"
exit $((failures > 0))
