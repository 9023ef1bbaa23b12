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
#          and the tools the tests drive
#
# Prints one line per step; the package manager's own output goes to
# build/logs/install-deps.log and is shown only when a step fails.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
job=${1:-test}

build=(build-essential cmake ninja-build pkg-config git
       libssl-dev libp11-kit-dev picojson-dev libgtest-dev libgmock-dev libbenchmark-dev
       qt6-base-dev fonts-dejavu-core)
token=(softhsm2 opensc openssl)
display=(xvfb xauth xdotool imagemagick)
fuzz=(clang libclang-rt-14-dev)
# dpkg-dev: apt-get source for the mingw OpenSSL; also dpkg-shlibdeps, which
# with file (in testing) lets CPack make the .deb that the Linux tests check.
windows=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 mingw-w64-tools wine wine64 dpkg-dev wixl msitools)
browsers=(chromium firefox-esr)
testing=(x11-apps python3 python3-jwt python3-cryptography file)

case $job in
    demo) purpose=demo; packages=("${build[@]}" "${token[@]}" "${display[@]}" python3) ;;
    demo-ie) purpose="IE demo"; packages=("${build[@]}" openssl python3 "${display[@]}" "${windows[@]}") ;;
    demo-browser) purpose="browser demo"; packages=("${build[@]}" "${token[@]}" "${display[@]}" python3 chromium) ;;
    bench) purpose=benchmarks; packages=("${build[@]}" "${token[@]}") ;;
    fuzz) purpose=fuzzers; packages=("${build[@]}" "${fuzz[@]}") ;;
    test)
        purpose=tests
        packages=("${build[@]}" "${token[@]}" "${display[@]}" "${fuzz[@]}" "${windows[@]}" "${browsers[@]}" "${testing[@]}")
        # wine32 only where the kernel can execute 32-bit programs at all.
        if "$here/can-run-i386"; then packages+=(wine32:i386); fi
        ;;
    *) echo "usage: $0 [demo|demo-ie|demo-browser|bench|fuzz|test]" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
logs="$here/../build/logs"
mkdir -p "$logs"
log="$(cd "$logs" && pwd)/install-deps.log"
: >"$log"

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

# wine32 is an i386 package.
if printf '%s\n' "${missing[@]}" | grep -q ':i386$' && ! dpkg --print-foreign-architectures | grep -qx i386; then
    step "Adding the i386 architecture for wine32" "${sudo_cmd[@]}" dpkg --add-architecture i386
fi
step "Updating the package lists" "${sudo_cmd[@]}" apt-get update
step "Installing ${#missing[@]} packages for the $purpose: ${missing[*]}" \
    "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
