#!/usr/bin/env bash
# Installs what building and testing need on Debian 12 (bookworm) or a
# compatible Ubuntu: compilers, libraries, the Windows cross toolchain, Wine,
# Qt 6, SoftHSM2 and the tools the tests drive. Does nothing when all is there.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config git
    libssl-dev libp11-kit-dev picojson-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    qt6-base-dev fonts-dejavu-core
    softhsm2 opensc openssl
    xvfb xauth xdotool x11-apps imagemagick
    g++-mingw-w64-i686 g++-mingw-w64-x86-64 mingw-w64-tools
    wine wine64
    python3 python3-jwt python3-cryptography
    dpkg-dev
)

# wine32 only where the kernel can execute 32-bit programs at all.
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
if "$here/can-run-i386"; then
    packages+=(wine32:i386)
fi

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
# wine32 is an i386 package.
if printf '%s\n' "${missing[@]}" | grep -q ':i386$' && ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${sudo_cmd[@]}" dpkg --add-architecture i386
fi
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
