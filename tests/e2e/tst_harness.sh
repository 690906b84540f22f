#!/usr/bin/env bash
# Checks the end-to-end helpers themselves: each server comes up and answers its own client, MIDI
# sent through JACK reaches the capture, a window can be found and photographed, and cleanup
# leaves none of the started processes behind. On PulseAudio's own server with jackd, or on
# PipeWire, which is the JACK server too (TIRREL_TEST_SOUND_SERVER).
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

start_sound_server
info=$(pactl info)
grep -x "Default Sink: null" <<<"$info" >/dev/null || fail "the sound server runs, but its default sink is not 'null'"
if [ -n "${E2E_PIPEWIRE_PID:-}" ]; then
    grep "^Server Name: PulseAudio (on PipeWire " <<<"$info" >/dev/null || fail "not PipeWire's PulseAudio service: $info"
    # One process group: a kill_server of it leaves nothing of the server behind.
    for server in pipewire wireplumber pipewire-pulse; do
        pgrep -g "$E2E_PIPEWIRE_PID" -x "$server" >/dev/null || fail "$server is not in the server's process group"
    done
    audio=null
else
    [ "$(cat "$XDG_RUNTIME_DIR/pulse/pid")" = "$E2E_PULSE_PID" ] \
        || fail "PulseAudio's pid file does not name the process that was started"
    audio=system
fi

start_jack harness
_e2e_jack jack_lsp | grep "^$audio.*:playback_" >/dev/null || fail "jack_lsp does not list the $audio ports: $(_e2e_jack jack_lsp)"

start_midi_capture
# jack_midiseq loops a note: on at frame 0 of every 4800 (0.1 s), off 100 frames later.
spawn midiseq "${e2e_no_memlock[@]}" "${e2e_jack_lib[@]}" jack_midiseq harness-seq 4800 0 60 100
wait_until "jack_midiseq's port appears" jack_port_exists harness-seq:out
connect_ports harness-seq:out "$E2E_MIDI_PORT"
midi_wait 4
messages=$(midi_messages | sed -n 1,4p)
grep -qx "90 3c 40" <<<"$messages" || fail "no note-on 90 3c 40 among the captured messages: $messages"
grep -qx "80 3c 40" <<<"$messages" || fail "no note-off 80 3c 40 among the captured messages: $messages"
midi_messages | grep -vxE "[89]0 3c 40" >/dev/null && fail "unexpected messages captured: $(midi_messages | sort -u)"
# Successive note-ons are one loop, 4800 frames, apart; jack_midi_dump counts only the periods in
# which it ran, so a skipped period (an xrun on a busy machine) makes the gap 64 frames shorter.
paste <(midi_frames) <(midi_messages) | awk -F'\t' '$2 == "90 3c 40" { print $1 }' | sed -n 1,2p | {
    read -r first && read -r second || fail "fewer than two note-ons captured"
    gap=$((second - first))
    [ "$gap" -le 4800 ] && [ "$gap" -ge $((4800 - 4 * 64)) ] || fail "note-ons $gap frames apart, expected 4800"
}

start_xvfb
xdpyinfo | grep "dimensions: *1024x768 pixels" >/dev/null || fail "the X screen is not 1024x768"
title="harness [probe] $$"
spawn xmessage xmessage -title "$title" -geometry 200x80+10+10 "probe"
window=$(wait_for_window "$title")
screenshot "$window" "$E2E_TMP/window.png"
size=$(identify -format "%wx%h" "$E2E_TMP/window.png")
[ "$size" = "200x80" ] || fail "the screenshot is $size, expected 200x80"
# A title that is only a prefix of the real one must not count as found.
(wait_for_window "harness" 1 >/dev/null 2>&1) && fail "wait_for_window matched a mere prefix of a title"

started=("${e2e_pids[@]}")
[ "${#started[@]}" -eq 6 ] || fail "expected 6 recorded processes, found ${#started[@]}"
tmp=$E2E_TMP
server=${JACK_DEFAULT_SERVER:-}
cleanup
left=$(e2e_leftovers "${started[@]}")
[ -z "$left" ] || fail "processes left after cleanup: $left"
[ ! -e "$tmp" ] || fail "temporary directory $tmp left after cleanup"
[ -z "$server" ] || [ "$(jack_wait -s "$server" -c 2>/dev/null)" != running ] || fail "JACK server $server still answers"
echo "PASS"
