#!/usr/bin/env bash
# The sound server dies while the demo song plays on the built-in synthesizer. The program must
# keep running and answering, show one error box at most, and sound again once the server is
# back and the user chooses the synthesizer in the device list again.
# Usage: tst_fault_pulse.sh PROGRAM
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

program=${1:-}
[ -x "$program" ] || fail "usage: $0 PROGRAM (the tirrel executable; got '${program}')"
for tool in xdotool parec pacat od; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
done

E2E_TIMEOUT=20
readonly box_title="Tirrel"
# Window positions: the play button, Power, the device list, key 12 (C).
readonly play="345 20" power="420 20" devices="150 50" key12="128 150"

start_sound_server
start_xvfb
spawn_program tirrel "$program"
pid=$E2E_PID
window=$(wait_for_window "Tirrel V2.5") || fail "windows showing instead: $(other_windows none)"
eval "$(xdotool getwindowgeometry --shell "$window")"
click() { xdotool mousemove $((X + $1)) $((Y + $2)) click 1; }

boxes() { windows_titled "$box_title"; }
has_box() { [ -n "$(boxes)" ]; }
expect_boxes() { expect_windows "$box_title" "$@"; }
alive() { _e2e_alive "$pid" || fail "the program ended: $(tail -c 2000 "$E2E_TMP/tirrel.log")"; }

[ -z "$(boxes)" ] || fail "a box showed at start-up with the sound server running"
# shellcheck disable=SC2086
click $play
sleep 1.5
log "killing the sound server while the song plays"
kill_server "$E2E_SOUND_PID"

# The next step of the song finds the output dead and says so, once.
wait_until "a box reports the lost sound output" has_box
alive
sleep 1.5  # ten more steps of the song, each failing
expect_boxes 1 "1.5 s after the first box"
answer_box "$(boxes)"
sleep 1.5
alive
expect_boxes 0 "after the box was answered, while the song goes on"

# The server comes back; the program does not notice until the user chooses the device again.
start_sound_server
keep_sink_in_step
sleep 2.2
recording=$E2E_TMP/sink.raw
record_sink "$recording"
sleep 0.3
[ "$(sink_peak "$recording")" -eq 0 ] || fail "the new sink sounded before the device was chosen again"

# The synthesizer is the first entry of the list.
# shellcheck disable=SC2086
click $devices
list_open() { [ -n "$(other_windows "$window")" ]; }
wait_until "the device list drops down" list_open
xdotool key Home Return
playing() { pactl list short sink-inputs | grep -v pacat >/dev/null; }
_e2e_poll "$E2E_TIMEOUT" "$pid" playing || fail "the program opened no stream on the new server"
expect_boxes 0 "after choosing the synthesizer again"

# The song is still playing; a key pressed by hand sounds as well.
read -r kx ky <<<"$key12"
xdotool mousemove $((X + kx)) $((Y + ky)) mousedown 1 sleep 0.5 mouseup 1
sleep 1
peak=$(sink_peak "$recording")
log "peak of the new sink after choosing the synthesizer again: $peak"
[ "$peak" -gt 1000 ] || fail "nothing sounded after the server came back (peak $peak of 32768)"
expect_boxes 0 "after playing again"

# shellcheck disable=SC2086
click $power
wait_for_exit "$pid" 10
[ "$E2E_STATUS" -eq 0 ] || fail "the program exited with status $E2E_STATUS after Power, expected 0"
output=$E2E_TMP/tirrel.log
[ ! -s "$output" ] || fail "the program printed: $(head -c 3000 "$output")"
echo "PASS"
