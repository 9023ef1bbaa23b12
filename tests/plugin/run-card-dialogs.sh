#!/usr/bin/env bash
# Runs the plugin's dialog tests on a private Xvfb with a Wine prefix of its
# own in OUTDIR (the project's prefix was booted without a display), and
# answers each selection dialog as the test's plan file says: wait for the
# window "Select Certificate", save a screenshot OUTDIR/screenshots/NAME.png,
# type the keys with xdotool (XTEST), wait for the window to go. Stops the
# processes it started, by PID, and the private prefix's Wine server.
#   run-card-dialogs.sh OUTDIR WINE-RUNNER TEST-PROGRAM ARGS...
set -euo pipefail
out=$1 wine=$2
shift 2
mkdir -p "$out/screenshots" "$out/wineprefix"
export QUORVANTA_WINEPREFIX="$out/wineprefix" WINEPREFIX="$out/wineprefix"
plan="$out/plan"
rm -f "$plan"
export QUORVANTA_DIALOG_PLAN="Z:$(printf '%s' "$plan" | tr / '\\')"

displayfile=$(mktemp)
Xvfb -displayfd 4 -screen 0 1024x768x24 -nolisten tcp 4>"$displayfile" >/dev/null 2>&1 &
xvfb=$!
watcher=
cleanup() {
    [ -n "$watcher" ] && kill "$watcher" 2>/dev/null || true
    /usr/lib/wine/wineserver -k 2>/dev/null || true
    kill "$xvfb" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -f "$displayfile" "$plan" "$plan.new"
}
trap cleanup EXIT
while ! grep -q . "$displayfile"; do
    kill -0 "$xvfb" || { echo "Xvfb did not start" >&2; exit 1; }
    sleep 0.1
done
export DISPLAY=":$(head -n1 "$displayfile")"

title='^Select Certificate$'
present() { xdotool search --onlyvisible --name "$title" 2>/dev/null | grep -qx "$1"; }
# Types the plan's keys into the dialog once it has the focus; types them
# again should the same window still be there a while later (a key that Wine
# dropped), and returns when that window is gone.
answer_dialogs() {
    while :; do
        if [ -f "$plan" ]; then
            shot=plan keys=
            read -r shot keys <"$plan" || true
            keys=${keys%$'\r'}
            rm -f "$plan"
            # A new plan while waiting: that dialog never came; the test moved on.
            window=
            while [ -z "$window" ] && [ ! -f "$plan" ]; do
                window=$(xdotool search --onlyvisible --name "$title" 2>/dev/null | head -n1) || true
                [ -n "$window" ] || sleep 0.2
            done
            [ -n "$window" ] || continue
            sleep 1 # let it paint before the picture
            import -window root "$out/screenshots/$shot.png" 2>/dev/null || true
            while present "$window"; do
                xdotool windowfocus --sync "$window" 2>/dev/null || true
                sleep 0.5
                # shellcheck disable=SC2086
                xdotool key --delay 100 $keys
                for _ in $(seq 25); do present "$window" || break; sleep 0.2; done
            done
        fi
        sleep 0.2
    done
}
answer_dialogs &
watcher=$!

"$wine" "$@"
