#!/usr/bin/env bash
# Drives scripts/install-deps.sh with stand-ins for apt-get, dpkg, dpkg-query
# and sleep on PATH: each row sets how the package manager behaves and checks
# the exit status and the lines printed.
#   usage: install_deps_test.sh SCRIPTS_DIR
set -u
scripts=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin" "$work/tree/scripts"
cp "$scripts/install-deps.sh" "$work/tree/scripts/"
printf '#!/bin/sh\nexit 0\n' >"$work/tree/scripts/can-run-i386"
chmod +x "$work/tree/scripts/can-run-i386"

# MISSING: "all", "none" or one package; UPDATE_FAILS: failed updates before
# one works; UNINSTALLABLE: a package whose install apt refuses.
cat >"$work/bin/apt-get" <<'SH'
#!/bin/sh
echo "apt-get $*" >>"$CALLS"
case " $* " in
*" update "*)
    n=$(cat "$work/updates" 2>/dev/null || echo 0); echo $((n + 1)) >"$work/updates"
    [ "$n" -ge "$UPDATE_FAILS" ] && exit 0
    echo "Err:6 http://mirror.test/debian-security bookworm-security/main i386 Packages"
    echo "  File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 127.0.0.1 80]"
    echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
    exit 100 ;;
*" $UNINSTALLABLE "*)
    echo " libwine:i386 : Depends: libgstreamer-plugins-base1.0-0:i386 but it is not going to be installed"
    echo "E: Unable to correct problems, you have held broken packages."
    exit 100 ;;
esac
SH
cat >"$work/bin/dpkg-query" <<'SH'
#!/bin/sh
eval "p=\${$#}"
[ "$MISSING" = all ] || [ "$MISSING" = "$p" ] || echo "install ok installed"
SH
printf '#!/bin/sh\necho "dpkg $*" >>"$CALLS"\n' >"$work/bin/dpkg"
printf '#!/bin/sh\n' >"$work/bin/sleep"
printf '#!/bin/sh\nexec "$@"\n' >"$work/bin/sudo"
chmod +x "$work/bin/"*

failures=0
# row NAME MISSING UPDATE_FAILS UNINSTALLABLE STATUS EXPECTED...: each
# EXPECTED is a grep pattern that the output must hold, or, with a leading
# "!", must not hold; "calls:" patterns are matched against the calls made.
row() {
    local name=$1 missing=$2 fails=$3 bad=$4 want=$5 status out pattern
    shift 5
    rm -rf "$work/tree/build" "$work/updates" "$work/calls"
    out=$(PATH="$work/bin:$PATH" work=$work CALLS="$work/calls" MISSING=$missing \
          UPDATE_FAILS=$fails UNINSTALLABLE=$bad bash "$work/tree/scripts/install-deps.sh" test 2>&1)
    status=$?
    local ok=1
    [ "$status" -eq "$want" ] || { ok=0; echo "  exit status $status, expected $want"; }
    for pattern in "$@"; do
        local text=$out negate=
        case $pattern in !*) negate=1; pattern=${pattern#!} ;; esac
        case $pattern in calls:*) text=$(cat "$work/calls" 2>/dev/null); pattern=${pattern#calls:} ;; esac
        if grep -qE -- "$pattern" <<<"$text"; then
            [ -z "$negate" ] || { ok=0; echo "  unexpected: $pattern"; }
        else
            [ -n "$negate" ] || { ok=0; echo "  missing: $pattern"; }
        fi
    done
    if [ $ok -eq 1 ]; then echo "ok   $name"; else echo "FAIL $name"; echo "$out" | sed 's/^/  | /'; failures=$((failures + 1)); fi
}

row "update fails once, then works" all 1 - 0 \
    'calls:apt-get update' 'calls:install .*wine32:i386' '!could not be updated' '!could not be installed'
row "update keeps failing, the install goes on" all 9 - 0 \
    "could not be updated, going on with those at hand: http://mirror.test/debian-security bookworm-security/main i386 Packages \(File has unexpected size" \
    'calls:install -y --no-install-recommends build-essential' '!failed:'
row "wine32 cannot be installed" all 9 wine32:i386 0 \
    '^== wine32 could not be installed \(package lists missing: .*i386 Packages.*\): the 32-bit Windows tests will run on the 64-bit build$' \
    'calls:dpkg --remove-architecture i386'
row "a required package cannot be installed" all 0 qt6-base-dev 1 \
    'failed: Installing .* packages for the tests' 'E: Unable to correct problems' '!calls:wine32'
row "nothing missing: no package manager call" none 0 - 0 '!calls:.'
row "only wine32 missing" wine32:i386 0 - 0 '!calls:install .*build-essential' 'calls:install .*wine32:i386'

# The note reaches the test command's summary through build/logs/setup-notes.
row "the note is kept for the summary" all 9 wine32:i386 0
grep -q '^wine32 could not be installed' "$work/tree/build/logs/setup-notes" ||
    { echo "FAIL setup-notes lacks the wine32 line"; failures=$((failures + 1)); }

[ $failures -eq 0 ]
