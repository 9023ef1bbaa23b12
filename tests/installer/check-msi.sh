#!/usr/bin/env bash
# Installs and removes the Windows installer with msiexec under wine64, in a
# fresh Wine prefix of its own, and checks every file and key against the
# table below: per machine (twice, then over it the same version built with
# the 64-bit host, whose VERSION answer is read through the Chrome key's
# manifest), the plugin created from JScript, an upgrade from a lower
# version, a registration that fails, an uninstall of a damaged installation,
# and per user. After every uninstall the registry must be as before the
# first install.
#   check-msi.sh PREFIX WINE-RUNNER VERSION MACHINE.msi USER.msi HOST64.msi \
#                OLDER-HOST64.msi HOST32.exe CLSID LIBID
set -Eeuo pipefail
trap 'echo "FAIL: stopped at line $LINENO: $BASH_COMMAND" >&2' ERR
prefix=$1 wine=$2 version=$3 machine_msi=$4 user_msi=$5 host64_msi=$6 older_msi=$7 host32=$8 clsid=$9 libid=${10}

# Every file and key an installation writes: kind | path | (Default) value
# of a key. %ROOT% is HKLM or HKCU, %CLASSES% the matching Software\Classes,
# %DIR% the installation folder. "machine" rows exist per machine only.
table='
file|%DIR%\quorvanta-chrome-extension.exe
file|%DIR%\lv.quorvanta.token_signing.json
file|%DIR%\lv.quorvanta.token_signing.firefox.json
file|%DIR%\quorvanta-plugin-ie.dll
file|%DIR%\extension\quorvanta-extension-%VERSION%.zip
file|%DIR%\extension\quorvanta-extension-%VERSION%.xpi
key|%ROOT%\Software\Google\Chrome\NativeMessagingHosts\lv.quorvanta.token_signing|%DIR%\lv.quorvanta.token_signing.json
key|%ROOT%\Software\Microsoft\Edge\NativeMessagingHosts\lv.quorvanta.token_signing|%DIR%\lv.quorvanta.token_signing.json
key|%ROOT%\Software\Mozilla\NativeMessagingHosts\lv.quorvanta.token_signing|%DIR%\lv.quorvanta.token_signing.firefox.json
key|%CLASSES%\quorvantapluginie.QuorvantaIEPluginBHO\CLSID|{%CLSID%}
key|%CLASSES%\CLSID\{%CLSID%}\InprocServer32|%DIR%\quorvanta-plugin-ie.dll
key|%CLASSES%\quorvantapluginie.QuorvantaCertificate\CurVer|quorvantapluginie.QuorvantaCertificate.1
machine|HKLM\Software\Microsoft\Windows\CurrentVersion\Explorer\Browser Helper Objects\{%CLSID%}|QuorvantaIEPluginBHO
machine|HKLM\Software\Classes\TypeLib\{%LIBID%}\1.0\0\win64|%DIR%\quorvanta-plugin-ie.dll
'
machine_dir='C:\Program Files\Quorvanta Token Signing'
user_dir='C:\users\%USERNAME%\AppData\Local\Programs\Quorvanta Token Signing'
uninstall_key='Software\Microsoft\Windows\CurrentVersion\Uninstall'

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

export QUORVANTA_WINEPREFIX=$prefix
cleanup() { WINEPREFIX=$prefix /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true; }
trap cleanup EXIT
cleanup
rm -rf "$prefix"
work=$prefix.work
rm -rf "$work" && mkdir -p "$work"
"$wine" wineboot </dev/null >/dev/null 2>&1
user=$("$wine" cmd /c 'echo %USERNAME%' </dev/null | tr -d '\r')
user_dir=${user_dir//%USERNAME%/$user}

windows() { printf 'Z:%s' "$1" | tr / '\\'; }
unix() { local p=${1#[Cc]:\\}; echo "$prefix/drive_c/${p//\\//}"; }
msiexec() { "$wine" msiexec "$1" "$(windows "$2")" /qn </dev/null >/dev/null 2>&1; }
default_value() { { "$wine" reg query "$1" /ve </dev/null 2>/dev/null || true; } | tr -d '\r' | sed -n 's/^ *(Default) *REG_SZ *//p'; }
key_exists() { "$wine" reg query "$1" </dev/null >/dev/null 2>&1; }
# What the registry holds of the product, the browsers' hosts and the
# plugin: one record per key and per value. (Wine and Windows Script Host
# keep their own books in the registry as well.)
registry() {
    for root in HKLM\\Software HKCU\\Software; do "$wine" reg query "$root" /s </dev/null; done | tr -d '\r' |
        awk -F '    ' '/^HKEY_/ { key = $0; print key; next } NF >= 3 { print key "|" $2 "|" $3 "|" $4 }' |
        grep -iE "quorvanta|NativeMessagingHosts|$clsid|$libid" || true
}
products() {
    for root in HKLM HKCU; do "$wine" reg query "$root\\$uninstall_key" /s </dev/null 2>/dev/null; done | tr -d '\r' |
        grep -c 'DisplayName *REG_SZ *Quorvanta Token Signing' || true
}

# rows SCOPE VERSION: the table for machine or user.
rows() {
    local text=${table//%VERSION%/$2}
    text=${text//%CLSID%/$clsid}
    text=${text//%LIBID%/$libid}
    if [ "$1" = machine ]; then
        text=${text//%ROOT%/HKLM}; text=${text//%CLASSES%/HKLM\\Software\\Classes}; text=${text//%DIR%/$machine_dir}
        text=${text//machine|/key|}
    else
        text=$(grep -v '^machine|' <<<"$text")
        text=${text//%ROOT%/HKCU}; text=${text//%CLASSES%/HKCU\\Software\\Classes}; text=${text//%DIR%/$user_dir}
    fi
    grep . <<<"$text"
}

# check NAME present|gone SCOPE [VERSION]
check() {
    local name=$1 state=$2 kind path value
    while IFS='|' read -r kind path value; do
        if [ "$kind" = file ]; then
            if [ "$state" = present ]; then [ -f "$(unix "$path")" ] || fail "$name: missing $path"
            elif [ -e "$(unix "$path")" ]; then fail "$name: left behind $path"; fi
        else
            local data
            data=$(default_value "$path")
            if [ "$state" = present ]; then
                [ "${data,,}" = "${value,,}" ] || fail "$name: $path is '$data', not '$value'"
            elif key_exists "$path"; then fail "$name: left behind $path"; fi
        fi
    done < <(rows "$3" "${4:-$version}")
    if [ "$state" = present ]; then
        [ "$(products)" = 1 ] || fail "$name: $(products) installed products, not one"
    else
        [ "$(products)" = 0 ] || fail "$name: the product is still registered"
        [ ! -e "$(unix "$machine_dir")" ] && [ ! -e "$(unix "$user_dir")" ] || fail "$name: the folder is left"
        local current
        current=$(registry)
        [ "$current" = "$baseline" ] || fail "$name: the registry differs from before:
$(diff <(echo "$baseline") <(echo "$current"))"
    fi
}

# step NAME /i|/x MSI present|gone SCOPE [VERSION]: msiexec, then the table.
step() {
    msiexec "$2" "$3" || fail "$1: msiexec $2 exited with $?"
    check "$1" "$4" "$5" "${6:-}"
}

# The host that the Chrome key leads to answers VERSION (the manifest's path
# is relative to the manifest's folder). Arguments for the runner first.
check_host() {
    local manifest path request
    manifest=$(unix "$(default_value 'HKLM\Software\Google\Chrome\NativeMessagingHosts\lv.quorvanta.token_signing')")
    path=$(sed -n 's/^ *"path": *"\(.*\)",$/\1/p' "$manifest")
    request='{"type":"VERSION","nonce":"1","origin":"https://example.lv"}'
    printf "\\x$(printf %02x ${#request})\\x00\\x00\\x00%s" "$request" >"$work/request"
    "$wine" "$@" "$(dirname "$manifest")/$path" <"$work/request" >"$work/response" 2>/dev/null || true
    local length answer
    length=$(head -c 4 "$work/response" | od -An -tu4 | tr -d ' ')
    answer=$(tail -c +5 "$work/response" | head -c "${length:-0}" | tr -d ' \t\n')
    [[ "$answer" == *"\"version\":\"$version\""* ]] || fail "the installed host answered: $answer"
}

baseline=$(registry)

# Per machine, twice; the shipped host is the 32-bit build.
step "install" /i "$machine_msi" present machine
cmp -s "$host32" "$(unix "$machine_dir")/quorvanta-chrome-extension.exe" || fail "the installed host is not the 32-bit build"
if scripts_dir=$(dirname "$wine") && "$scripts_dir/can-run-i386" && [ -x /usr/lib/wine/wine ]; then
    check_host --32
else
    echo "note: this kernel cannot run the shipped 32-bit host; its VERSION is checked on the 64-bit build"
fi
cat >"$work/plugin.js" <<'EOF'
try {
    WScript.Echo(new ActiveXObject("quorvantapluginie.QuorvantaIEPluginBHO").version);
    WScript.Quit(0);
} catch (e) {
    WScript.Echo("error: " + e.message);
    WScript.Quit(1);
}
EOF
answer=$("$wine" cscript //nologo "$(windows "$work/plugin.js")" </dev/null | tr -d '\r') || true
[ "$answer" = "$version 64bit" ] || fail "the plugin from JScript said: $answer"
# The registration is exactly what the plugin's own registration writes.
installed=$(registry)
dll="$machine_dir\\quorvanta-plugin-ie.dll"
"$wine" regsvr32 /s /u "$dll" </dev/null && "$wine" regsvr32 /s "$dll" </dev/null || fail "regsvr32 by hand failed"
[ "$installed" = "$(registry)" ] || fail "the installer's registration differs from regsvr32's:
$(diff <(echo "$installed") <(registry))"
step "same package again" /i "$machine_msi" present machine

# The same version built with the 64-bit host replaces it.
step "same version, another package" /i "$host64_msi" present machine
check_host
step "uninstall" /x "$host64_msi" gone machine

# An upgrade from a lower version leaves the new version alone; going back
# down is refused.
older=$(basename "$older_msi" .msi); older=${older##*-}
step "install $older" /i "$older_msi" present machine "$older"
step "upgrade from $older" /i "$host64_msi" present machine
msiexec /i "$older_msi" && fail "installing $older over $version succeeded"
check "downgrade refused" present machine
step "uninstall after the upgrade" /x "$host64_msi" gone machine

# A registration that fails halfway, here because the component category
# manager is gone, rolls the whole installation back.
catman='HKLM\Software\Classes\CLSID\{0002E005-0000-0000-C000-000000000046}'
"$wine" reg export "$catman" "$(windows "$work/catman.reg")" /y </dev/null >/dev/null 2>&1
baseline=$(registry)
"$wine" reg delete "$catman" /f </dev/null >/dev/null 2>&1
msiexec /i "$machine_msi" && fail "the install succeeded although the plugin's registration failed"
check "failed install" gone machine
"$wine" reg import "$(windows "$work/catman.reg")" </dev/null >/dev/null 2>&1
baseline=$(registry)

# A damaged installation: files and keys deleted by hand.
msiexec /i "$machine_msi" || fail "install exited with $?"
rm -f "$(unix "$machine_dir")/quorvanta-chrome-extension.exe" "$(unix "$machine_dir")/lv.quorvanta.token_signing.json"
for key in 'HKLM\Software\Microsoft\Edge\NativeMessagingHosts' 'HKLM\Software\Classes\quorvantapluginie.QuorvantaIEPluginBHO'; do
    "$wine" reg delete "$key" /f </dev/null >/dev/null 2>&1
done
step "uninstall of a damaged installation" /x "$machine_msi" gone machine
# Without the plugin's DLL its unregistration cannot run: the uninstall still
# finishes and removes the rest; the plugin's keys then stay, until the next
# installation registers it again over them and its uninstall removes them.
msiexec /i "$machine_msi" || fail "install exited with $?"
rm -f "$(unix "$machine_dir")/quorvanta-plugin-ie.dll"
msiexec /x "$machine_msi" || fail "uninstall without the plugin's DLL exited with $?"
[ "$(products)" = 0 ] && [ ! -e "$(unix "$machine_dir")" ] &&
    ! key_exists 'HKLM\Software\Google\Chrome\NativeMessagingHosts\lv.quorvanta.token_signing' ||
    fail "uninstall without the plugin's DLL left the product, its folder or its browser keys"
msiexec /i "$machine_msi" || fail "install over the plugin's keys exited with $?"
step "install over the plugin's keys, then uninstall" /x "$machine_msi" gone machine

# Per user: the profile folder and HKCU only.
baseline=$(registry)
step "install per user" /i "$user_msi" present user
for key in 'HKLM\Software\Google\Chrome\NativeMessagingHosts\lv.quorvanta.token_signing' \
           'HKLM\Software\Classes\quorvantapluginie.QuorvantaIEPluginBHO'; do
    key_exists "$key" && fail "install per user wrote $key"
done
[ -e "$(unix "$machine_dir")" ] && fail "install per user wrote $machine_dir"
step "uninstall per user" /x "$user_msi" gone user

[ "$failures" -eq 0 ] && echo "installer: all checks passed"
exit $((failures > 0))
