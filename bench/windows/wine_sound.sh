#!/usr/bin/env bash
# The Windows program's sound under Wine, timed from Linux against a private PulseAudio server with
# a null sink, through which Wine plays WASAPI, DirectSound and WaveOut, on an X server and in a
# Wine prefix of its own. One `name: value` line per figure:
# - wine_press_to_sound_*: the Windows program from its folder (Tirrel/), a key pressed through
#   XTest to the first sample above -40 dBFS, from silence, over several starts of the program
#   (bench/wine_latency program), as bench/pianobench times the Linux program's press_to_sound;
# - wine_press_to_sound_running_*, wine_glide_*: a key into a running stream, and gaps in a glide
#   (bench/pianobench sound, one start);
# - wine_song_*: the demo song's notes against their 150 ms grid (bench/pianobench song);
# - wine_wasapi_floor_*: the floor beneath the program, bench/windows/wasapi_floor.exe, an
#   event-driven shared-mode WASAPI client keeping 20 ms queued in the smallest buffer Wine gives
#   (30 ms), the fastest way found to sound through Wine's WASAPI: a write to its sound.
# With --drivers, instead, the ways to sound the program's output settings were chosen from:
# - wasapi_floor_*: wasapi_floor.exe asking Initialize for 3, 5, 10 and 20 ms and keeping what it
#   got full, and asking for 10 ms but filling only 10, 15 or 20 ms ahead: a write to its sound
#   over 20 clicks in each of three runs, and dropouts in 10 s of a steady tone;
# - fluidsynth_*: FluidSynth's own fluidsynth.exe with each of its Windows audio drivers at a few
#   period settings: a note-on typed into its shell to sound, and dropouts in a held note.
# Every process it starts is stopped by its pid at the end; progress goes to stderr.
#
# Usage: bench/windows/wine_sound.sh [--quick] [--drivers] LINUX_BUILD WINDOWS_BUILD
#   LINUX_BUILD    a Linux build with bench/wine_latency and bench/pianobench
#   WINDOWS_BUILD  what scripts/build-windows.sh made: Tirrel/, bench/windows/wasapi_floor.exe and
#                  fluidsynth/prefix/bin/fluidsynth.exe
#   --quick        one run of each with few trials
#   --drivers      the output settings' figures instead of the program's
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)

quick=0
drivers=0
while [ $# -gt 2 ]; do
    case $1 in
        --quick) quick=1 ;;
        --drivers) drivers=1 ;;
        *) break ;;
    esac
    shift
done
[ $# -eq 2 ] || { echo "usage: $0 [--quick] [--drivers] LINUX_BUILD WINDOWS_BUILD" >&2; exit 2; }
wine_latency=$(realpath "$1")/bench/wine_latency
pianobench=$(realpath "$1")/bench/pianobench
windows_build=$(realpath "$2")
program=$windows_build/Tirrel/tirrel.exe
floor=$windows_build/bench/windows/wasapi_floor.exe
fluidsynth=$windows_build/fluidsynth/prefix/bin/fluidsynth.exe
soundfont=/usr/share/sounds/sf2/TimGM6mb.sf2
for file in "$wine_latency" "$pianobench" "$program" "$floor" "$fluidsynth" "$soundfont"; do
    [ -f "$file" ] || { echo "no $file" >&2; exit 1; }
done

source "$root/tests/e2e/lib.sh"
source "$root/tests/windows/winelib.sh"
E2E_TIMEOUT=30
wine_init "$windows_build"
wine_fresh_prefix "$E2E_TMP/prefix"

if [ "$quick" -eq 1 ]; then
    runs=1 trials=3 tone=2 starts=1 glide=2
else
    runs=3 trials=20 tone=10 starts=5 glide=30
fi

start_pulse
# A fresh null sink renders about 2 s ahead, and a recording of its monitor in that time comes
# out short: a silent low-latency stream keeps it rendering in step with the clock.
keep_sink_in_step
sleep 2.2

if [ "$drivers" -eq 0 ]; then
    # The program's window needs an X server, which the Wine server must know of when it starts.
    start_xvfb
    wine_start_server
    log "-- the Windows program, $starts starts"
    # Its trials pooled over the starts; a key every 2.3 s, which lets the renderer rest between.
    "$wine_latency" program --prefix wine_ --runs "$starts" --trials $((trials / 2 > 3 ? trials / 2 : 3)) -- \
        "$WINE_LOADER" "$program"
    log "-- the Windows program: into a running stream, and a glide of ${glide} s"
    "$pianobench" sound --prefix wine_ --trials "$trials" --glide-seconds "$glide" -- "$WINE_LOADER" "$program" \
        | grep -e _running_ -e _glide_
    log "-- the Windows program: the demo song"
    "$pianobench" song --prefix wine_ --song "$(dirname "$program")/haap.txt" -- "$WINE_LOADER" "$program"
    # The program runs from its folder as a user starts it; the floor client from the build, with
    # the compiler's DLLs where the build found them.
    log "-- wasapi_floor --buffer-ms 10 --queue-ms 20"
    WINEPATH=$(wine_dll_path) "$wine_latency" floor --runs "$runs" --prefix wine_wasapi_floor_ -- \
        "$WINE_LOADER" "$floor" --buffer-ms 10 --queue-ms 20 --trials "$trials" --tone-seconds "$tone" \
        | sed 's/^wine_wasapi_floor_write_to_sound_/wine_wasapi_floor_/'
    exit 0
fi
WINEPATH=$(wine_dll_path)
export WINEPATH
trap '"$WINE_SERVER" -k 2>/dev/null; cleanup' EXIT

# NAME WASAPI_FLOOR_ARGS...
floor_settings=(
    "buffer3ms --buffer-ms 3"
    "buffer5ms --buffer-ms 5"
    "buffer10ms --buffer-ms 10"
    "buffer20ms --buffer-ms 20"
    "buffer10ms_queue10ms --buffer-ms 10 --queue-ms 10"
    "buffer10ms_queue15ms --buffer-ms 10 --queue-ms 15"
    "buffer10ms_queue20ms --buffer-ms 10 --queue-ms 20"
)
for setting in "${floor_settings[@]}"; do
    read -r name args <<<"$setting"
    log "-- wasapi_floor $args"
    # shellcheck disable=SC2086  # the setting's words are the program's arguments
    "$wine_latency" floor --runs "$runs" --prefix "wasapi_floor_${name}_" -- \
        "$WINE_LOADER" "$floor" $args --trials "$trials" --tone-seconds "$tone"
done

# NAME FLUIDSYNTH_ARGS...: FluidSynth's defaults on Windows (512-frame periods, 8 of them), and
# smaller. In WASAPI's shared mode FluidSynth takes the device's period (10 ms under Wine) for
# its own and ignores audio.period-size.
fluidsynth_settings=(
    "wasapi_periods8 -a wasapi -o audio.periods=8"
    "wasapi_periods4 -a wasapi -o audio.periods=4"
    "wasapi_periods2 -a wasapi -o audio.periods=2"
    "dsound_512x8 -a dsound -o audio.period-size=512 -o audio.periods=8"
    "dsound_256x4 -a dsound -o audio.period-size=256 -o audio.periods=4"
    "dsound_128x4 -a dsound -o audio.period-size=128 -o audio.periods=4"
    "dsound_64x4 -a dsound -o audio.period-size=64 -o audio.periods=4"
    "dsound_128x2 -a dsound -o audio.period-size=128 -o audio.periods=2"
    "waveout_512x8 -a waveout -o audio.period-size=512 -o audio.periods=8"
    "waveout_256x4 -a waveout -o audio.period-size=256 -o audio.periods=4"
    "waveout_128x4 -a waveout -o audio.period-size=128 -o audio.periods=4"
    "waveout_64x4 -a waveout -o audio.period-size=64 -o audio.periods=4"
    "waveout_128x2 -a waveout -o audio.period-size=128 -o audio.periods=2"
)
for setting in "${fluidsynth_settings[@]}"; do
    read -r name args <<<"$setting"
    log "-- fluidsynth.exe $args"
    # shellcheck disable=SC2086
    "$wine_latency" fluidsynth --trials "$trials" --hold-seconds "$tone" --prefix "fluidsynth_${name}_" -- \
        "$WINE_LOADER" "$fluidsynth" $args -o audio.wasapi.exclusive-mode=0 "$(_wine_path "$soundfont")" \
        2> >(grep -v "config file\|MIDI thread\|will be available\|through the console" >&2)
done
