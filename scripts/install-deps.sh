#!/usr/bin/env bash
# Installs what one job needs on Debian 12 (bookworm) or a compatible Ubuntu,
# and nothing more. Does nothing when all is there.
#
#   scripts/install-deps.sh [demo|demo-ie|demo-browser|bench|fuzz|test]     (default: test)
#
#   demo   the Linux host with its Qt dialogs, SoftHSM2, a virtual display
#   demo-ie  the IE plugin under Wine: mingw-w64, Wine, a virtual display
#   demo-browser  the demo's job through Chromium and the extension
#   bench  the Linux host and SoftHSM2
#   fuzz   the host's core with clang's libFuzzer
#   test   all of the above, the Windows cross toolchain, Wine, Firefox ESR
#          and the tools the tests drive (with Node.js and npm for the
#          extension's linter, which needs Node.js 20: Debian 12 has 18)
#
# Prints one line per step; the package manager's own output goes to
# build/logs/install-deps.log and is shown only when a step fails.
#
# A mirror caught in the middle of a sync serves lists that do not match its
# Release file: the list update is tried again, and then the install goes on
# with the lists at hand. wine32, which the tests can do without, is
# installed on its own, and when it cannot be, what the tests do instead is
# said here and written to build/logs/setup-notes for the test summary.
# A required package that does not install stops the run with apt's reason.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
job=${1:-test}

build=(build-essential cmake ninja-build pkg-config git
       libssl-dev libp11-kit-dev picojson-dev libgtest-dev libgmock-dev libbenchmark-dev
       qt6-base-dev fonts-dejavu-core publicsuffix)
token=(softhsm2 opensc openssl)
display=(xvfb xauth xdotool imagemagick)
fuzz=(clang libclang-rt-14-dev)
# dpkg-dev: apt-get source for the mingw OpenSSL; also dpkg-shlibdeps, which
# with file (in testing) lets CPack make the .deb that the Linux tests check.
windows=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 mingw-w64-tools wine wine64 dpkg-dev wixl msitools)
browsers=(chromium firefox-esr)
# The accessibility test reads the dialogs through AT-SPI in a D-Bus session
# of its own; the dialog pictures are read back with tesseract.
testing=(x11-apps python3 python3-jwt python3-cryptography file tesseract-ocr
         dbus at-spi2-core python3-pyatspi gir1.2-atspi-2.0 nodejs)
# npm installs Mozilla's add-on linter for the extension's test. Node.js from
# other sources than Debian brings its own npm, which Debian's would clash with.
command -v npm >/dev/null || testing+=(npm)
wine32=()

case $job in
    demo) purpose=demo; packages=("${build[@]}" "${token[@]}" "${display[@]}" python3) ;;
    demo-ie) purpose="IE demo"; packages=("${build[@]}" openssl python3 "${display[@]}" "${windows[@]}") ;;
    demo-browser) purpose="browser demo"; packages=("${build[@]}" "${token[@]}" "${display[@]}" python3 chromium) ;;
    bench) purpose=benchmarks; packages=("${build[@]}" "${token[@]}") ;;
    fuzz) purpose=fuzzers; packages=("${build[@]}" "${fuzz[@]}") ;;
    test)
        purpose=tests
        packages=("${build[@]}" "${token[@]}" "${display[@]}" "${fuzz[@]}" "${windows[@]}" "${browsers[@]}" "${testing[@]}")
        # wine32 serves only the 32-bit runs of the Windows tests, and only
        # where the kernel can execute 32-bit programs at all.
        if "$here/can-run-i386"; then wine32=(wine32:i386); fi
        ;;
    *) echo "usage: $0 [demo|demo-ie|demo-browser|bench|fuzz|test]" >&2; exit 2 ;;
esac

logs="$here/../build/logs"
mkdir -p "$logs"
logs=$(cd "$logs" && pwd)
log="$logs/install-deps.log"
notes="$logs/setup-notes"
: >"$notes"

not_installed() {
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || echo "$p"
    done
}
mapfile -t missing < <(not_installed "${packages[@]}")
mapfile -t missing_wine32 < <(not_installed ${wine32[@]+"${wine32[@]}"})
[ ${#missing[@]} -eq 0 ] && [ ${#missing_wine32[@]} -eq 0 ] && exit 0

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
: >"$log"

# note TEXT: one line now, and the same line in the test command's summary.
note() {
    echo "== $1"
    echo "$1" >>"$notes"
}

# step TEXT COMMAND...: one line for the step, the command's output to the log.
step() {
    local text=$1
    shift
    echo "== $text"
    if ! "$@" >>"$log" 2>&1; then
        echo "== failed: $text; the package manager said:" >&2
        tail -n 40 "$log" >&2
        echo "== (whole output in $log)" >&2
        exit 1
    fi
}

apt() {
    "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get "$@"
}

# Up to three tries, then on with the lists that did arrive: a list missing
# for an optional architecture must not stop the job, and a list missing for
# a required package makes its install fail below with apt's own reason.
failed_lists=
update_lists() {
    local try out
    echo "== Updating the package lists"
    for try in 1 2 3; do
        if out=$(apt update 2>&1); then
            echo "$out" >>"$log"
            return 0
        fi
        echo "$out" >>"$log"
        [ $try -lt 3 ] && sleep 5
    done
    # "Err:6 http://… bookworm-security/main i386 Packages" and, indented
    # below it, the mirror's reason.
    failed_lists=$(echo "$out" | awk '
        /^Err:/ { sub(/^Err:[0-9]+ /, ""); list = $0; next }
        list != "" { sub(/^ +/, ""); sub(/ \[IP: [^]]*\]$/, ""); lists = lists sep list " (" $0 ")"; sep = "; "; list = "" }
        END { print lists }')
    failed_lists=${failed_lists:-apt-get update failed (see $log)}
    echo "== Some package lists could not be updated, going on with those at hand: $failed_lists"
}

# wine32 is an i386 package.
added_i386=
if [ ${#missing_wine32[@]} -gt 0 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    step "Adding the i386 architecture for wine32" "${sudo_cmd[@]}" dpkg --add-architecture i386
    added_i386=yes
fi
update_lists
if [ ${#missing[@]} -gt 0 ]; then
    step "Installing ${#missing[@]} packages for the $purpose: ${missing[*]}" \
        apt install -y --no-install-recommends "${missing[@]}"
fi
if [ ${#missing_wine32[@]} -gt 0 ]; then
    echo "== Installing wine32 for the 32-bit Windows tests"
    if out=$(apt install -y --no-install-recommends "${missing_wine32[@]}" 2>&1); then
        echo "$out" >>"$log"
    else
        echo "$out" >>"$log"
        # A missing list is the likely cause, and says more than apt's
        # "unmet dependencies".
        reason=$(echo "$out" | grep '^E: ' | head -n 1 | sed 's/^E: //')
        [ -z "$failed_lists" ] || reason="package lists missing: $failed_lists"
        note "wine32 could not be installed (${reason:-see $log}): the 32-bit Windows tests will run on the 64-bit build"
        # An architecture added only for wine32 would make every later list
        # update fail the same way.
        if [ -n "$added_i386" ]; then
            "${sudo_cmd[@]}" dpkg --remove-architecture i386 >>"$log" 2>&1 || true
        fi
    fi
fi
