#!/usr/bin/env bash
# The IE plugin's job end to end under wine64: registers the plugin, puts the
# demo signing certificate into the current user's personal store with its
# key on a demo card, picks it in the real selection dialog, signs a SHA-256
# hash as page script on an https page does, and verifies the certificate,
# its identifier and the signature with OpenSSL.
#
# The demo card is the project's test key provider (a CryptoAPI provider DLL
# of tests/plugin/doubles that signs with the demo key file), not a real card;
# no PIN is asked. The page is the test browser program plugin-demo-page,
# which calls the plugin through late binding with an https address.
#
# With a working DISPLAY you pick the certificate yourself; without one the
# dialog runs on a private virtual display, the script picks it with xdotool
# and saves screenshots under build/demo-ie/screenshots. The demo uses a Wine
# prefix of its own, build/demo-ie/wineprefix (QUORVANTA_DEMO_WINEPREFIX),
# because the dialog must reach the display the prefix was started with.
# Everything goes under build/demo-ie (QUORVANTA_DEMO_DIR); the build steps'
# output goes to demo-ie.log there and is shown only when a step fails.
#   scripts/demo-ie.sh [BUILD-DIR]     (default build/windows-x64)
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$repo/build/windows-x64}
demo=${QUORVANTA_DEMO_DIR:-$repo/build/demo-ie}
mkdir -p "$demo/screenshots" "$demo/work"
wine="$repo/scripts/wine-run"
export QUORVANTA_WINEPREFIX=${QUORVANTA_DEMO_WINEPREFIX:-$demo/wineprefix}
export WINEPREFIX=$QUORVANTA_WINEPREFIX WINEDLLOVERRIDES=winedbg.exe=d
mkdir -p "$WINEPREFIX"
winpath() { printf 'Z:%s' "$1" | tr / '\\'; }
step() { echo "== $*"; }
quiet() { # runs a step's command, showing its output only when it fails
    local log=$demo/demo-ie.log
    "$@" >>"$log" 2>&1 || { tail -n 40 "$log" >&2; echo "failed: $*" >&2; exit 1; }
}

step "Building the plugin, the test key provider and the demo page (64-bit, mingw-w64)"
[ -f "$repo/build/deps/openssl-mingw-x86_64/lib/libcrypto.a" ] || [ -f "$repo/build/deps/openssl-mingw-x86_64/lib64/libcrypto.a" ] ||
    quiet bash "$repo/scripts/build-openssl-mingw.sh" "" x86_64
if [ "$build" = "$repo/build/windows-x64" ]; then
    (cd "$repo" && quiet cmake --preset windows-x64)
fi
quiet cmake --build "$build" --target quorvanta-plugin-ie quorvanta-testcsp plugin-test-store plugin-demo-page
plugin=$build/plugin/ie/quorvanta-plugin-ie.dll
tools=$build/tests/plugin/card

step "Making the demo certificate and key (test PKI)"
quiet bash "$repo/scripts/make-test-pki.sh" "$demo/pki"

# A display: the user's, or a private Xvfb that this script stops again.
xvfb= answerer=
cleanup() {
    [ -n "$answerer" ] && kill "$answerer" 2>/dev/null || true
    /usr/lib/wine/wineserver -k 2>/dev/null || true
    [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null || true
    wait 2>/dev/null || true
}
trap cleanup EXIT
if [ -n "${DISPLAY:-}" ] && xdotool getdisplaygeometry >/dev/null 2>&1; then
    virtual=false
else
    virtual=true
    displayfile=$demo/work/display
    : >"$displayfile"
    Xvfb -displayfd 4 -screen 0 1024x768x24 -nolisten tcp 4>"$displayfile" >/dev/null 2>&1 &
    xvfb=$!
    while ! grep -q . "$displayfile"; do kill -0 "$xvfb"; sleep 0.1; done
    export DISPLAY=":$(head -n1 "$displayfile")"
fi

step "Registering the plugin and the demo card's provider in $WINEPREFIX"
quiet "$wine" regsvr32 /s "$(winpath "$plugin")"
quiet "$wine" "$tools/plugin-test-store.exe" register-provider "$(winpath "$tools/quorvanta-testcsp.dll")"
step "Putting \"Demo Lietotājs\" (demo-sign) with its card key into the personal store"
quiet "$wine" "$tools/plugin-test-store.exe" clear
quiet "$wine" "$tools/plugin-test-store.exe" add "$(winpath "$demo/pki/demo-sign.der")" card demo-sign
printf 'keys %s\n' "$(winpath "$demo/pki")" >"$demo/work/card.fixture"
export QUORVANTA_TEST_CSP_FIXTURE
QUORVANTA_TEST_CSP_FIXTURE=$(winpath "$demo/work/card.fixture")

printf 'Quorvanta IE plugin demo document\n' >"$demo/work/document.txt"
openssl dgst -sha256 -binary "$demo/work/document.txt" >"$demo/work/digest.bin"
hash=$(od -An -v -tx1 "$demo/work/digest.bin" | tr -d " \n")

if $virtual; then
    # The virtual user: waits for the dialog, takes its picture, picks the
    # first entry; types again should Wine have dropped the keys.
    (
        title='^Select Certificate$'
        window=
        while [ -z "$window" ]; do
            window=$(xdotool search --onlyvisible --name "$title" 2>/dev/null | head -n1) || true
            sleep 0.2
        done
        sleep 1
        import -window root "$demo/screenshots/01-selection.png" 2>/dev/null || true
        while xdotool search --onlyvisible --name "$title" 2>/dev/null | grep -qx "$window"; do
            xdotool windowfocus --sync "$window" 2>/dev/null || true
            sleep 0.5
            xdotool key --delay 100 Home Return
            sleep 3
        done
        echo "    [virtual user] picked the first certificate; screenshot $demo/screenshots/01-selection.png"
    ) &
    answerer=$!
else
    echo "    pick \"Demo Lietotājs\" in the dialog \"Select Certificate\" and press OK"
fi

step "Page script: getCertificate(), then sign(id, SHA-256 hash)"
"$wine" "$tools/plugin-demo-page.exe" "$hash" </dev/null | tr -d '\r' >"$demo/work/page.txt" || {
    cat "$demo/work/page.txt"; exit 1; }
if $virtual; then wait "$answerer" || true; answerer=; fi
id=$(sed -n 's/^id //p' "$demo/work/page.txt")
certificate=$(sed -n 's/^certificate //p' "$demo/work/page.txt")
signature=$(sed -n 's/^signature //p' "$demo/work/page.txt")
echo "    id $id"
echo "    signature ${signature:0:32}... (${#signature} hex digits)"

step "Verifying with OpenSSL"
expected=$(python3 -c 'import sys; print(open(sys.argv[1], "rb").read().hex().upper())' "$demo/pki/demo-sign.der")
[ "$certificate" = "$expected" ] || { echo "the certificate is not demo-sign" >&2; exit 1; }
# The identifier: MD5 of the DER bytes before the first zero byte.
want_id=$(python3 -c 'import hashlib, sys
print(hashlib.md5(open(sys.argv[1], "rb").read().split(b"\0", 1)[0]).hexdigest())' "$demo/pki/demo-sign.der")
[ "$id" = "$want_id" ] || { echo "id $id, expected $want_id" >&2; exit 1; }
echo "    certificate: demo-sign, id = MD5 of its bytes before the first zero byte"
python3 -c 'import sys; open(sys.argv[2], "wb").write(bytes.fromhex(sys.argv[1]))' "$signature" "$demo/work/signature.bin"
openssl x509 -inform DER -in "$demo/pki/demo-sign.der" -noout -pubkey >"$demo/work/demo-sign.pub.pem"
openssl pkeyutl -verify -pubin -inkey "$demo/work/demo-sign.pub.pem" -in "$demo/work/digest.bin" \
    -sigfile "$demo/work/signature.bin" -pkeyopt digest:sha256 >/dev/null
echo "    signature: verified (RSA PKCS#1 v1.5, SHA-256) against the certificate's public key"
$virtual && echo "    screenshots in $demo/screenshots"
echo "== IE plugin demo: done"
