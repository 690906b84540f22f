#!/usr/bin/env bash
# Takes the README's picture of the window: starts the program on a private Xvfb (1024 x 768,
# 96 dpi) with a PulseAudio null sink to play into, so that no error box comes up, and saves the
# window as it first appears. Usage: scripts/screenshot.sh [PROGRAM [OUT.png]]
# (by default build/bin/tirrel and docs/tirrel.png; build it first with scripts/build.sh).
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/tests/e2e/lib.sh"

program=${1:-$root/build/bin/tirrel}
out=${2:-$root/docs/tirrel.png}
[ -x "$program" ] || fail "no program at $program: build it first (bash scripts/build.sh)"
for tool in xdotool import convert compare; do
    command -v "$tool" >/dev/null || fail "$tool is not installed (bash scripts/setup.sh installs it)"
done

start_sound_server
start_xvfb
spawn tirrel "$program"
pid=$E2E_PID
window=$(wait_for_window "Tirrel V2.5") || fail "windows showing instead: $(other_windows none)"
others=$(other_windows "$window")
[ -z "$others" ] || fail "other windows are showing, the picture would not be the plain window: $others"

# The window is complete once two shots 0.2 s apart agree.
settled() {
    screenshot "$window" "$E2E_TMP/earlier.png"
    sleep 0.2
    screenshot "$window" "$E2E_TMP/shot.png"
    compare -metric AE "$E2E_TMP/earlier.png" "$E2E_TMP/shot.png" null: >/dev/null 2>&1
}
_e2e_poll 5 "" settled || fail "the window kept changing"

mkdir -p "$(dirname "$out")"
# Without the time stamps a picture of an unchanged window is the same file.
convert "$E2E_TMP/shot.png" -strip -define png:exclude-chunks=date,time "$out"

eval "$(xdotool getwindowgeometry --shell "$window")"
xdotool mousemove $((X + 420)) $((Y + 20)) click 1  # Power
wait_for_exit "$pid" 5
echo "wrote $out (${WIDTH} x ${HEIGHT})"
