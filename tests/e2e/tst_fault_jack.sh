#!/usr/bin/env bash
# JACK clients come and go while the program runs: a second one appears in the device list and
# goes again without touching the open port. Then the JACK server dies while its port is the open
# device, in the middle of a glide across the keys. The program must keep running and answering,
# show one error box at most, and play into the port again once the server is back and the user
# chooses the port in the list again, the key where the glide began included, on its first press.
# Usage: tst_fault_jack.sh PROGRAM
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

program=${1:-}
[ -x "$program" ] || fail "usage: $0 PROGRAM (the tirrel executable; got '${program}')"
command -v xdotool >/dev/null || skip "xdotool is not installed"

E2E_TIMEOUT=20
readonly box_title="Tirrel"
# Window positions: Power, the device list; a row through the black and white keys.
readonly power="420 20" devices="150 50" row=112

start_sound_server
start_jack fault 1024
start_midi_capture
start_xvfb
spawn_program tirrel "$program"
pid=$E2E_PID
window=$(wait_for_window "Tirrel V2.5") || fail "windows showing instead: $(other_windows none)"
eval "$(xdotool getwindowgeometry --shell "$window")"

boxes() { windows_titled "$box_title"; }
has_box() { [ -n "$(boxes)" ]; }
expect_boxes() { expect_windows "$box_title" "$@"; }
alive() { _e2e_alive "$pid" || fail "the program ended: $(tail -c 2000 "$E2E_TMP/tirrel.log")"; }

# choose_port: chooses the capture's port in the device list, by typing its name into the open
# list, and waits until the program's output feeds it.
choose_port() {
    xdotool mousemove $((X + ${devices% *})) $((Y + ${devices#* })) click 1
    list_open() { [ -n "$(other_windows "$window")" ]; }
    wait_until "the device list drops down" list_open
    xdotool type "$E2E_MIDI_PORT"
    xdotool key Return
    _e2e_poll "$E2E_TIMEOUT" "$pid" feeds "$E2E_MIDI_PORT" \
        || fail "the program did not connect to $E2E_MIDI_PORT ($(other_windows "$window" | paste -sd' '))"
}
feeds() { _e2e_jack jack_lsp -c "$1" | grep -E '^ +Tirrel[^:]*:out$' >/dev/null; }

# use_capture PORT FILE PID: the capture that midi_wait and midi_messages read.
use_capture() { E2E_MIDI_PORT=$1 E2E_MIDI_FILE=$2 E2E_MIDI_PID=$3; }

# A key on the closed, focused device list chooses an entry the list has, with no look at the
# system: only news of a change can have put it there. End chooses the last entry, and does
# nothing when that is the one already chosen.
choose_last_until_it_feeds() {
    xdotool key End
    sleep 0.2
    feeds "$1"
}

# glide_in_background FROM TO: moves the pointer along the key row from window column FROM to TO,
# two pixels every 20 ms, in a process of its own.
glide_in_background() {
    local x steps=()
    for ((x = $1; x <= $2; x += 2)); do
        steps+=(mousemove $((X + x)) $((Y + row)) sleep 0.02)
    done
    spawn glide xdotool "${steps[@]}"
    glide_pid=$E2E_PID
}

choose_port
expect_boxes 0 "after choosing the port"
first=("$E2E_MIDI_PORT" "$E2E_MIDI_FILE" "$E2E_MIDI_PID")

# A second client started now joins the list by itself, last; choosing it plays into it.
start_midi_capture "second-$$"
second=("$E2E_MIDI_PORT" "$E2E_MIDI_FILE" "$E2E_MIDI_PID")
_e2e_poll "$E2E_TIMEOUT" "$pid" choose_last_until_it_feeds "${second[0]}" \
    || fail "${second[0]} did not join the device list"
# Leaving the first port stopped its notes, once: the list changing reopened nothing.
use_capture "${first[@]}"
sleep 0.3
[ "$(midi_messages)" = "b0 7b 00" ] || fail "${first[0]} received $(midi_messages | paste -sd,) while the list changed"
xdotool mousemove $((X + 126)) $((Y + 150)) mousedown 1 mouseup 1
use_capture "${second[@]}"
midi_wait 2
[ "$(midi_messages | sed -n 2p)" = "90 30 7f" ] || fail "key 12 sent $(midi_messages | paste -sd,) to ${second[0]}"

# Back to the first port, the entry above; then the second client goes. Its entry goes with it,
# so End finds nothing to choose, and the open port hears nothing: no device was closed or opened.
xdotool mousemove $((X + ${devices% *})) $((Y + ${devices#* })) key Up
_e2e_poll "$E2E_TIMEOUT" "$pid" feeds "${first[0]}" || fail "Up did not choose ${first[0]} again"
stop_process "${second[2]}"
use_capture "${first[@]}"
sleep 0.5
xdotool key End
sleep 0.5
expect_boxes 0 "after the second client went and End was pressed"
[ "$(midi_messages)" = "b0 7b 00" ] || fail "${first[0]} received $(midi_messages | paste -sd,) while the list changed"
feeds "${first[0]}" || fail "the program let go of ${first[0]} when the second client went"

# Press key 10 and glide right across some 25 keys for about 3 s; the server dies on the way.
xdotool mousemove $((X + 104)) $((Y + row)) mousedown 1
glide_in_background 104 404
midi_wait 4
sleep 0.5
log "killing the JACK server during the glide, after $(_e2e_midi_count) messages"
kill_server "$E2E_MIDI_PID"
kill_server "$E2E_JACK_PID"

# The next key reached finds the port gone and says so, once; the glide goes on under the box.
wait_until "a box reports the lost port" has_box
alive
wait_for_exit "$glide_pid" 10
expect_boxes 1 "at the end of the glide"
xdotool mouseup 1
answer_box "$(boxes)"

# Playing on into the dead port stays quiet: the user has been told. The glide starts right of
# key 10, which is left alone until the port is back.
xdotool mousemove $((X + 150)) $((Y + row)) mousedown 1
glide_in_background 150 250
wait_for_exit "$glide_pid" 10
xdotool mouseup 1
sleep 0.5
alive
expect_boxes 0 "while playing on after the box was answered"

# The server and the port come back under their names; choosing the port again plays into it.
start_jack fault 1024
start_midi_capture
choose_port
expect_boxes 0 "after choosing the port again"
# Key 10 (A#, note 46), where the first glide began, sounds on the first press: the box ended that
# drag although its release never reached the key. First the note-off of the note the second
# glide sounded last.
xdotool mousemove $((X + 104)) $((Y + row)) mousedown 1 mouseup 1
_e2e_poll 5 "$E2E_MIDI_PID" _e2e_midi_has 2 \
    || fail "the first press on key 10, where the glide began, sent $(_e2e_midi_count) messages: $(midi_messages | paste -sd,)"
# Key 12 (C, note 48): the note-off of key 10's note, then its own note-on.
xdotool mousemove $((X + 126)) $((Y + 150)) mousedown 1 mouseup 1
midi_wait 4
sleep 0.3
got=$(midi_messages)
expected_tail=$(printf '90 2e 7f\n80 2e 00\n90 30 7f')
[ "$(wc -l <<<"$got")" -eq 4 ] && [ "$(sed -n 2,4p <<<"$got")" = "$expected_tail" ] \
    && [[ "$(sed -n 1p <<<"$got")" =~ ^80\ [0-7][0-9a-f]\ 00$ ]] \
    || fail "$(printf 'after the server came back the port received:\n%s\nexpected a note-off, then\n%s' "$got" "$expected_tail")"
expect_boxes 0 "after playing again"

xdotool mousemove $((X + ${power% *})) $((Y + ${power#* })) click 1
wait_for_exit "$pid" 10
[ "$E2E_STATUS" -eq 0 ] || fail "the program exited with status $E2E_STATUS after Power, expected 0"
output=$E2E_TMP/tirrel.log
[ ! -s "$output" ] || fail "the program printed: $(head -c 3000 "$output")"
echo "PASS"
