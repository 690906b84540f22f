#!/usr/bin/env bash
# Starts the real program on an X server with a sound server to play into, checks that its one
# window comes up centred, at its size and in its colours, with no message box, and that the
# Power button ends it with status 0, having printed nothing. Usage: tst_program_window.sh PROGRAM
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

program=${1:-}
[ -x "$program" ] || fail "usage: $0 PROGRAM (the tirrel executable; got '${program}')"
for tool in xdotool import convert; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
done

# pixel FILE X Y: the colour of one pixel as "R,G,B", 0..255 each.
pixel() {
    local p="p{$2,$3}"
    convert "$1" -format "%[fx:int(255*$p.r+0.5)],%[fx:int(255*$p.g+0.5)],%[fx:int(255*$p.b+0.5)]" info:
}

# The built-in synthesizer that start-up opens needs a sound server; without one it would
# rightly show an error box before the window appears.
start_sound_server
start_xvfb

started=$(_e2e_now_ms)
spawn tirrel "$program"
pid=$E2E_PID
# A message box at start-up holds the window back until it is answered.
window=$(wait_for_window "Tirrel V2.5") || fail "windows showing instead: $(other_windows none)"
log "window shown $(($(_e2e_now_ms) - started)) ms after start"

eval "$(xdotool getwindowgeometry --shell "$window")"
[ "${WIDTH}x${HEIGHT}" = 623x163 ] || fail "the window is ${WIDTH}x${HEIGHT}, expected 623x163"
read -r screen_width screen_height < <(xdotool getdisplaygeometry)
# Centred to the pixel: the odd remainder may fall on either side.
dx=$((2 * X + WIDTH - screen_width))
dy=$((2 * Y + HEIGHT - screen_height))
[ "${dx#-}" -le 1 ] && [ "${dy#-}" -le 1 ] \
    || fail "the window is at $X,$Y, not centred on the ${screen_width}x${screen_height} screen"

# The background paints before the keys do; a shot taken too soon may miss them.
shot=$E2E_TMP/window.png
colours_right() {
    screenshot "$window" "$shot"
    local spot name x y want got
    for spot in "background 2 2 0,0,192" "mute-pad 30 75 0,0,128" "white-key 12 150 255,255,255" \
        "black-key 24 110 0,0,0" "left-frame-line 4 120 128,128,255" "right-frame-line 620 120 128,128,255"; do
        read -r name x y want <<<"$spot"
        got=$(pixel "$shot" "$x" "$y")
        if [ "$got" != "$want" ]; then
            wrong="$name at $x,$y is rgb($got), expected rgb($want)"
            return 1
        fi
    done
}
wrong=""
_e2e_poll 2 "" colours_right || fail "$wrong"

# No message box may have come up.
others=$(other_windows "$window")
[ -z "$others" ] || fail "other windows are showing: $others"

_e2e_alive "$pid" || fail "the program ended before Power was clicked"
clicked=$(_e2e_now_ms)
xdotool mousemove $((X + 420)) $((Y + 20)) click 1
# Closing the synthesizer waits for the sound server to take the stream's first buffer, which a
# fresh null sink holds for up to two seconds.
wait_for_exit "$pid" 5
log "program ended $(($(_e2e_now_ms) - clicked)) ms after the click on Power"
[ "$E2E_STATUS" -eq 0 ] || fail "the program exited with status $E2E_STATUS after Power, expected 0"

output=$E2E_TMP/tirrel.log
[ ! -s "$output" ] || fail "the program printed: $(head -c 2000 "$output")"
echo "PASS"
