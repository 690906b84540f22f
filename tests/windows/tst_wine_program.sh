#!/usr/bin/env bash
# The Windows program from its folder, as it ships, under Wine on an X server, with a private sound
# server that Wine's WASAPI plays into: the built-in synthesizer, the one device Wine lists, opens
# at start-up with no box; the window comes up titled "Tirrel V2.5" with a 623 x 163 client area,
# in the Linux program's colours at the same pixels; the instrument list holds the 128
# instruments; a press on a key, a glide across keys and the demo song's first steps are heard
# in the server's null sink; Power ends it with status 0. Started again once the sound server has
# gone, it says in one box which outputs it tried, and runs on.
# Usage: tst_wine_program.sh BUILD_DIR LINUX_SCREENSHOT (the Linux program's window, docs/tirrel.png)
source "$(dirname "${BASH_SOURCE[0]}")/../e2e/lib.sh"
source "$(dirname "${BASH_SOURCE[0]}")/winelib.sh"

build=${1:-}
linux_shot=${2:-}
[ -d "$build" ] && [ -f "$linux_shot" ] || fail "usage: $0 BUILD_DIR LINUX_SCREENSHOT"
wine_init "$build"
for tool in xdotool xclip import convert compare parec pacat od; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
done
# Wine starts its programs slowly the first time in a prefix.
E2E_TIMEOUT=30

folder=$E2E_TMP/Tirrel
cmake --install "$build" --prefix "$folder" >"$E2E_TMP/install.log" || fail "could not install the folder"
wine_fresh_prefix "$E2E_TMP/prefix"
# Wine's WASAPI plays through the sound server that XDG_RUNTIME_DIR and PULSE_SERVER name.
start_sound_server
keep_sink_in_step
start_xvfb
wine_start_server

started=$(_e2e_now_ms)
# From its own folder with no WINEPATH, as a user starts it: the DLLs beside it must do.
spawn tirrel "$WINE_LOADER" "$folder/tirrel.exe"
pid=$E2E_PID

# A box at start-up would come before the window and hold it back.
window=$(wait_for_window "Tirrel V2.5") || fail "windows showing instead: $(other_windows none)"
log "window shown $(($(_e2e_now_ms) - started)) ms after start"
eval "$(xdotool getwindowgeometry --shell "$window")"
# With no window manager, Wine's window is an X window of exactly its client area.
[ "${WIDTH}x${HEIGHT}" = 623x163 ] || fail "the client area is ${WIDTH}x${HEIGHT}, expected 623x163"

# The same pixels as the Linux program's: the whole keyboard with the mute pad's lower edge, and
# the spots tst_program_window.sh checks. Text and the standard controls are the system's to draw.
shot=$E2E_TMP/window.png
pixel() { convert "$1" -format "%[pixel:p{$2,$3}]" info:; }
same_as_linux() {
    screenshot "$window" "$shot"
    local differing spot name x y
    differing=$(compare -metric AE -extract 623x75+0+88 "$shot" "$linux_shot" null: 2>&1) || true
    if [ "$differing" != 0 ]; then
        wrong="$differing pixels of the keyboard differ from the Linux program's"
        return 1
    fi
    for spot in "background 2 2" "mute-pad 30 75" "left-frame-line 4 120" "right-frame-line 620 120" \
        "frame-top 100 28"; do
        read -r name x y <<<"$spot"
        if [ "$(pixel "$shot" "$x" "$y")" != "$(pixel "$linux_shot" "$x" "$y")" ]; then
            wrong="$name at $x,$y is $(pixel "$shot" "$x" "$y"), on Linux $(pixel "$linux_shot" "$x" "$y")"
            return 1
        fi
    done
}
wrong=""
_e2e_poll 5 "" same_as_linux || fail "$wrong"
others=$(other_windows "$window")
[ -z "$others" ] || fail "other windows are showing: $others"

# The instrument list holds exactly 128 entries: its last entry, reached with End, is the one 127
# steps down from the first, and not the one 126 steps down. Picked in the open list, as a user does.
pick() {
    xdotool mousemove $((X + 376)) $((Y + 50)) click 1
    list_open() { [ -n "$(other_windows "$window")" ]; }
    wait_until "the instrument list drops down" list_open
    xdotool key --delay 5 "$@" Return
    list_closed() { [ -z "$(other_windows "$window")" ]; }
    _e2e_poll "$E2E_TIMEOUT" "" list_closed \
        || fail "the instrument list did not close after a pick; showing: $(other_windows "$window" | paste -sd' ')"
    sleep 0.3
    import -window "$window" -crop 121x20+316+40 "$E2E_TMP/picked.png"
}
down() { local keys=(Home) i; for ((i = 0; i < $1; i++)); do keys+=(Down); done; echo "${keys[@]}"; }
# shellcheck disable=SC2046
pick Home End && cp "$E2E_TMP/picked.png" "$E2E_TMP/last.png"
# shellcheck disable=SC2046
pick $(down 127) && cp "$E2E_TMP/picked.png" "$E2E_TMP/127.png"
# shellcheck disable=SC2046
pick $(down 126) && cp "$E2E_TMP/picked.png" "$E2E_TMP/126.png"
[ "$(compare -metric AE "$E2E_TMP/last.png" "$E2E_TMP/127.png" null: 2>&1)" = 0 ] \
    || fail "the list's last entry is not the 128th"
[ "$(compare -metric AE "$E2E_TMP/last.png" "$E2E_TMP/126.png" null: 2>&1)" != 0 ] \
    || fail "the list ends before its 128th entry"

# Back to the piano, which rings down after its attack: the onsets below are told from its decay.
pick Home

# A press on key 10, then, with the button held, a glide over keys 11 and 12: each new key is a
# new note, heard in the sink as a new attack. Key 10 is a black key (A#, columns 100..108 down to
# row 132), keys 11 and 12 the white keys beside it.
sound=$E2E_TMP/sound.raw
record_sink_in_step "$sound"
press=$(sink_mark "$sound")
xdotool mousemove $((X + 104)) $((Y + 112)) mousedown 1 sleep 1
glide=$(sink_mark "$sound")
for x in 106 110 114 118 122 126 130; do
    xdotool mousemove $((X + x)) $((Y + 112)) sleep 0.02
done
sleep 0.6
xdotool mouseup 1 mousemove $((X + 300)) $((Y + 78))
pressed=$(sink_onsets "$sound" "$press" | sed -n 1p)
glided=$(sink_onsets "$sound" "$glide" | sed -n 1p)
log "the press heard after ${pressed:-no} ms, the glide's first new key after ${glided:-no} ms"
[ -n "$pressed" ] && [ "$pressed" -lt $(((glide - press) / 96)) ] || fail "the press on key 10 was not heard (peak $(sink_peak "$sound") of 32768)"
[ -n "$glided" ] || fail "the glide over keys 11 and 12 was not heard: no attack after it began"
_e2e_alive "$pid" || fail "the program ended during the glide"
others=$(other_windows "$window")
[ -z "$others" ] || fail "windows showing after the glide: $others"

# The demo song: a note every four steps of 150 ms, the first at once. The mute pad has ended the
# glide's notes; once their tail has gone, the first three notes of the song are heard, 600 ms apart.
quiet() { [ "$(sink_peak <(tail -c 28800 "$sound"))" -lt 100 ]; }
wait_until "the glide's notes die away" quiet
song=$(sink_mark "$sound")
xdotool mousemove $((X + 345)) $((Y + 20)) click 1
sleep 1.6
steps=$(sink_onsets "$sound" "$song" | paste -sd' ')
log "the song's notes heard at $steps ms after play was clicked"
read -r first second third _ <<<"$steps"
[ -n "${third:-}" ] || fail "the song's first three notes were not heard, only at: ${steps:-none}"
for gap in $((second - first)) $((third - second)); do
    [ "$gap" -ge 570 ] && [ "$gap" -le 630 ] || fail "the song's notes were heard $gap ms apart, not four steps (600 ms): $steps"
done

xdotool mousemove $((X + 420)) $((Y + 20)) click 1
wait_for_exit "$pid" 10
[ "$E2E_STATUS" -eq 0 ] || fail "the program exited with status $E2E_STATUS after Power, expected 0"

# Where no sound server runs, none of the outputs opens. The box says which were tried; the
# program runs on, and Power still ends it. Boxes for the messages that then find no device follow.
kill_server "$E2E_SOUND_PID"
spawn tirrel-silent "$WINE_LOADER" "$folder/tirrel.exe"
pid=$E2E_PID
box=$(wait_for_window "Tirrel") || fail "no box at start-up without a sound server; windows showing: $(other_windows none)"
# Ctrl+C copies a Windows message box's caption and text; Wine hands the clipboard to X.
xdotool windowfocus --sync "$box" key ctrl+c
box_text() { xclip -o -selection clipboard 2>/dev/null; }
copied() { box_text | grep . >/dev/null; }
wait_until "the box's text reaches the clipboard" copied
text=$(box_text | tr -d '\r' | sed -n '4,5p' | paste -sd' ')
log "box without a sound server: $text"
for output in wasapi dsound waveout; do
    [[ $text == *"$output"* ]] || fail "the box does not name the output $output: $text"
done
box_or_window() { [ -n "$(windows_titled "Tirrel")$(windows_titled "Tirrel V2.5")" ]; }
answered=0
while [ -z "$(windows_titled "Tirrel V2.5")" ]; do
    [ "$answered" -lt 3 ] || fail "still boxes after $answered were answered: $(other_windows none | paste -sd' ')"
    answer_box "$box"
    answered=$((answered + 1))
    wait_until "the next box or the window shows" box_or_window
    box=$(windows_titled "Tirrel" | sed -n 1p)
done
window=$(windows_titled "Tirrel V2.5")
eval "$(xdotool getwindowgeometry --shell "$window")"
xdotool mousemove $((X + 420)) $((Y + 20)) click 1
wait_for_exit "$pid" 10
[ "$E2E_STATUS" -eq 0 ] || fail "the program without sound exited with status $E2E_STATUS after Power, expected 0"
echo "PASS"
