#!/usr/bin/env bash
# Plays the real program with the real mouse into a JACK MIDI port: starts a JACK server and the
# port after the program, chooses the port in the device list, glides across three keys with the
# button held, passes over the mute pad, and ends the program with Power; then compares every byte
# that reached the port with what the keyboard owes it. Usage: tst_program_glide.sh PROGRAM
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

program=${1:-}
[ -x "$program" ] || fail "usage: $0 PROGRAM (the tirrel executable; got '${program}')"
command -v xdotool >/dev/null || skip "xdotool is not installed"

# The synthesizer that start-up opens needs a sound server.
start_sound_server
start_xvfb
name_jack glide
spawn_program tirrel "$program"
pid=$E2E_PID
window=$(wait_for_window "Tirrel V2.5")
eval "$(xdotool getwindowgeometry --shell "$window")"

# The JACK server comes after the program, which looks for it again when the list is opened.
# Latency is not measured here: long periods keep the capture from missing any on a busy machine.
start_jack glide 1024
start_midi_capture

# glide Y X... : moves the pointer along window row Y through the window columns X, one motion
# event each. Qt merges motion events that queue up: sent back to back, the program saw only the
# last of them and skipped key 11 altogether, so they go a little apart.
glide() {
    local y=$1 x steps=()
    shift
    for x in "$@"; do
        steps+=(mousemove $((X + x)) $((Y + y)) sleep 0.02)
    done
    xdotool "${steps[@]}"
}

# expect_messages FROM TEXT: the captured messages from number FROM on are exactly TEXT's lines.
expect_messages() {
    local got
    got=$(midi_messages | sed -n "$1,\$p")
    [ "$got" = "$2" ] || fail "$(printf 'captured from message %s on:\n%s\nexpected:\n%s' "$1" "$got" "$2")"
}

# no_box: fails if a window other than the program's own is showing: a message box.
no_box() {
    local others
    others=$(other_windows "$window")
    [ -z "$others" ] || fail "other windows are showing: $others"
}

# The list shows the port under its full JACK name; typing it in the open list goes to that entry.
# Choosing it makes the program connect its own output to the port, and send nothing yet.
chosen=$(_e2e_now_ms)
xdotool mousemove $((X + 150)) $((Y + 50)) click 1
list_open() { [ -n "$(other_windows "$window")" ]; }
wait_until "the device list drops down" list_open
xdotool type "$E2E_MIDI_PORT"
xdotool key Return
feeds_capture() { _e2e_jack jack_lsp -c "$E2E_MIDI_PORT" | grep -E '^ +Tirrel[^:]*:out$' >/dev/null; }
if ! _e2e_poll "$E2E_TIMEOUT" "$pid" feeds_capture; then
    no_box
    fail "the program did not connect to $E2E_MIDI_PORT within ${E2E_TIMEOUT} s of choosing it"
fi
log "connected to $E2E_MIDI_PORT $(($(_e2e_now_ms) - chosen)) ms after the list was clicked"
no_box

# Key 10 (A#, black) spans window columns 100..108 down to row 132, key 11 (B) 109..119 beside
# it, key 12 (C) 120..131 before the black key 13. Base note 36, velocity 127 after start-up.
# The first stroke ends the note of key 0, the key sounded last as far as the program knows.
row=112
xdotool mousemove $((X + 104)) $((Y + row)) mousedown 1
midi_wait 2
glide $row 106 108 110 112
midi_wait 4
glide $row 114 116 118 120 122 124 126 128
midi_wait 6
xdotool mouseup 1
expect_messages 1 "80 24 00
90 2e 7f
80 2e 00
90 2f 7f
80 2f 00
90 30 7f"

# The mute pad, row 68..88, ends the 65 notes the keyboard covers for each movement reported over
# it. Releasing the button sent nothing, so they follow at once.
pad_off=$(for ((note = 36; note <= 100; note++)); do printf '80 %02x 00\n' "$note"; done)
xdotool mousemove $((X + 300)) $((Y + 78))
midi_wait $((6 + 65))
sleep 0.3
count=$(_e2e_midi_count)
[ $(((count - 6) % 65)) -eq 0 ] || fail "$((count - 6)) messages after entering the mute pad, not a multiple of 65"
blocks=$(((count - 6) / 65))
expect_messages 7 "$(for ((i = 0; i < blocks; i++)); do echo "$pad_off"; done)"
[ "$blocks" -eq 1 ] || log "entering the mute pad counted as $blocks movements"

# One more movement within the pad: exactly 65 more.
xdotool mousemove $((X + 301)) $((Y + 78))
midi_wait $((count + 65))
sleep 0.3
expect_messages $((count + 1)) "$pad_off"
count=$((count + 65))

# Power closes the port, telling it first to stop every note, then ends the program.
no_box
xdotool mousemove $((X + 420)) $((Y + 20)) click 1
wait_for_exit "$pid" 5
[ "$E2E_STATUS" -eq 0 ] || fail "the program exited with status $E2E_STATUS after Power, expected 0"
midi_wait $((count + 1)) 2
sleep 0.1
expect_messages $((count + 1)) "b0 7b 00"

output=$E2E_TMP/tirrel.log
[ ! -s "$output" ] || fail "the program printed: $(head -c 2000 "$output")"
echo "PASS"
