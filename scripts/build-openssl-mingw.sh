#!/usr/bin/env bash
# Builds a static libcrypto for Windows (mingw-w64) from the distribution's
# own OpenSSL source package and installs its headers and lib/libcrypto.a into
# PREFIX (default: <repo>/build/deps/openssl-mingw-ARCH).
#   usage: build-openssl-mingw.sh [PREFIX] [i686|x86_64]
# i686 (the default) is the shipped 32-bit host; x86_64 serves the 64-bit
# build that runs the Windows tests where the kernel cannot run 32-bit code.
# The source is fetched with `apt-get source` through a private apt
# configuration whose deb-src entries are derived from the system's deb
# entries at run time; the system's apt configuration is left untouched.
# A stamp file in PREFIX holds the source package version: when it and the
# library are present the script does nothing.
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
arch="${2:-i686}"
case "$arch" in
    i686) target=mingw ;;
    x86_64) target=mingw64 ;;
    *) echo "usage: $0 [PREFIX] [i686|x86_64]" >&2; exit 2 ;;
esac
prefix="${1:-$repo/build/deps/openssl-mingw-$arch}"
deps="$repo/build/deps"
stamp="$prefix/.openssl-source-version"
cross=$arch-w64-mingw32-

if [ -f "$stamp" ] && [ -f "$prefix/lib/libcrypto.a" ] && [ -f "$prefix/include/openssl/opensslv.h" ]; then
    echo "OpenSSL for mingw already in $prefix (source $(cat "$stamp"))"
    exit 0
fi

for tool in apt-get dpkg-source "${cross}gcc" "${cross}ar" make perl; do
    command -v "$tool" >/dev/null || { echo "missing tool: $tool (see scripts/install-deps.sh)" >&2; exit 1; }
done

mkdir -p "$deps"
# One build at a time: the apt state and the sources below are shared.
exec 9>"$deps/.openssl-mingw.lock"
flock 9
if [ -f "$stamp" ] && [ -f "$prefix/lib/libcrypto.a" ]; then
    echo "OpenSSL for mingw already in $prefix (source $(cat "$stamp"))"
    exit 0
fi

start=$(date +%s)

# The source package is downloaded once and unpacked afresh for each target.
download="$deps/openssl-source"
if [ ! -f "$download/.version" ]; then
    aptdir="$deps/apt"
    mkdir -p "$aptdir/sources.list.d" "$aptdir/lists/partial" "$aptdir/cache/archives/partial"
    : > "$aptdir/sources.list"
    rm -f "$aptdir/sources.list.d/"*

    # One-line entries: "deb [options] URI suite components" -> "deb-src ...".
    to_src_list() { sed -E 's/^([[:space:]]*)deb([[:space:]])/\1deb-src\2/'; }
    # deb822 entries: the Types field lists deb-src instead of deb.
    to_src_sources() {
        sed -E '/^[[:space:]]*Types:/{s/([[:space:]])deb([[:space:]]|$)/\1deb-src\2/g; s/deb-src([[:space:]]+deb-src)+/deb-src/g}'
    }
    if [ -f /etc/apt/sources.list ]; then
        to_src_list < /etc/apt/sources.list > "$aptdir/sources.list"
    fi
    shopt -s nullglob
    for f in /etc/apt/sources.list.d/*.list; do
        to_src_list < "$f" > "$aptdir/sources.list.d/$(basename "$f")"
    done
    for f in /etc/apt/sources.list.d/*.sources; do
        to_src_sources < "$f" > "$aptdir/sources.list.d/$(basename "$f")"
    done
    shopt -u nullglob

    apt_opts=(
        -o "Dir::Etc::SourceList=$aptdir/sources.list"
        -o "Dir::Etc::SourceParts=$aptdir/sources.list.d"
        -o "Dir::State::Lists=$aptdir/lists"
        -o "Dir::Cache=$aptdir/cache"
        -o "APT::Sandbox::User=root"
    )
    # A source that has no deb-src index only warns; `apt-get source` below
    # fails clearly if OpenSSL's source cannot be found anywhere.
    apt-get "${apt_opts[@]}" update -qq || echo "apt-get update reported errors; trying the source anyway" >&2

    # Newest version first; a mirror may list a version whose files it lacks,
    # so older ones are tried in turn.
    versions=$(apt-cache "${apt_opts[@]}" showsrc openssl 2>/dev/null | sed -n 's/^Version: //p' | sort -Vru)
    [ -n "$versions" ] || { echo "no source package for openssl found" >&2; exit 1; }

    version=
    for v in $versions; do
        rm -rf "$download"
        mkdir -p "$download"
        if (cd "$download" && apt-get "${apt_opts[@]}" source --download-only -qq "openssl=$v" >fetch.log 2>&1); then
            version=$v
            break
        fi
        echo "OpenSSL source $v could not be fetched; trying an older one" >&2
    done
    [ -n "$version" ] || { cat "$download/fetch.log" >&2; echo "no OpenSSL source package could be fetched" >&2; exit 1; }
    echo "$version" > "$download/.version"
fi
version=$(cat "$download/.version")
echo "OpenSSL source package version $version"

srcroot="$deps/openssl-build-$arch"
rm -rf "$srcroot"
mkdir -p "$srcroot"
dsc=$(find "$download" -maxdepth 1 -name 'openssl_*.dsc' | head -n 1)
[ -n "$dsc" ] || { echo "the downloaded OpenSSL source has no .dsc" >&2; exit 1; }
dpkg-source --no-check -x "$dsc" "$srcroot/openssl" >"$srcroot/unpack.log" 2>&1 \
    || { tail -n 30 "$srcroot/unpack.log" >&2; exit 1; }
srcdir="$srcroot/openssl"

cd "$srcdir"
# Only libcrypto, static, portable C (no assembler), nothing loaded at run time.
./Configure "$target" --cross-compile-prefix="$cross" --prefix="$prefix" \
    no-shared no-tests no-asm no-module no-dso no-dynamic-engine \
    >configure.log 2>&1 \
    || { tail -n 30 configure.log >&2; exit 1; }
make -s build_generated >build.log 2>&1 || { tail -n 30 build.log >&2; exit 1; }
make -s -j2 libcrypto.a >>build.log 2>&1 || { tail -n 30 build.log >&2; exit 1; }

rm -rf "$prefix"
mkdir -p "$prefix/include/openssl" "$prefix/lib"
cp include/openssl/*.h "$prefix/include/openssl/"
cp libcrypto.a "$prefix/lib/libcrypto.a"
echo "$version" > "$stamp"

end=$(date +%s)
echo "OpenSSL $version for mingw $arch built into $prefix in $((end - start)) s"
