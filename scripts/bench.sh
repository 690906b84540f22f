#!/usr/bin/env bash
# The benchmark. Builds the program optimised (build-release/), starts a private X server, a
# PulseAudio server with a null sink and a JACK server, measures the program as a user meets
# it, and the peer vmpk beside it, then the sound again on a private PipeWire server in its
# place, and prints one `name: value` line per figure: the sound's figures on each server
# side by side (pa_..., pw_...), each with the floor of its measuring chain. Every process
# it starts is stopped by its pid at the end. Progress goes to stderr.
#
# Usage: scripts/bench.sh [--quick] [--build-dir DIR] [--program PATH]
#   --quick          one short trial of each figure, and nothing installed: the peer's figures
#                    are left out where vmpk is missing
#   --build-dir DIR  measure the tirrel and pianobench already built in DIR, building nothing
#   --program PATH   measure this build of the program instead (an earlier one, say)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

quick=0
build_dir=""
other_program=""
while [ $# -gt 0 ]; do
    case $1 in
        --quick) quick=1 ;;
        --build-dir) build_dir=$(cd "$2" && pwd); shift ;;
        --program) other_program=$(realpath "$2"); shift ;;
        *) echo "usage: $0 [--quick] [--build-dir DIR] [--program PATH]" >&2; exit 2 ;;
    esac
    shift
done

# What the benchmark needs beyond building and testing: the peer.
bench_packages=(vmpk)

if [ "$quick" -eq 0 ]; then
    bash "$root/scripts/setup.sh" --tests "${bench_packages[@]}"
fi

if [ -z "$build_dir" ]; then
    build_dir=$root/build-release
    cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$build_dir" -j"$(nproc)" --target tirrel pianobench rapid_input port_latency device_refresh >/dev/null
fi
program=${other_program:-$build_dir/bin/tirrel}
bench=$build_dir/bench/pianobench
rapid_input=$build_dir/bench/rapid_input
port_latency=$build_dir/bench/port_latency
device_refresh=$build_dir/bench/device_refresh
for tool in "$program" "$bench" "$rapid_input" "$port_latency" "$device_refresh"; do
    [ -x "$tool" ] || { echo "no $(basename "$tool") in $build_dir" >&2; exit 1; }
done

# The servers, each started and stopped by its pid; a server that cannot start skips (77).
source "$root/tests/e2e/lib.sh"
source "$root/tests/e2e/hostile_files.sh"
E2E_TIMEOUT=20

if [ "$quick" -eq 1 ]; then
    runs=1 idle=2 trials=1 glide=2 glide_runs=1
else
    runs=5 idle=10 trials=20 glide=60 glide_runs=3
fi

results=$E2E_TMP/results.txt
: >"$results"
measure() {
    log "-- pianobench $*"
    "$bench" "$@" | tee -a "$results"
}

export JACK_NO_START_SERVER=1
start_pulse
# A fresh null sink renders about 2 s ahead, and a recording of its monitor in that time comes
# out short: a silent low-latency stream keeps it rendering in step with the clock.
spawn keepalive sh -c 'exec pacat --playback --latency-msec=5 --raw </dev/zero'
E2E_KEEPALIVE_PID=$E2E_PID
sleep 2.2
start_xvfb

# The peer with its FluidSynth output at the backend's own settings, no MIDI input, and the
# same General MIDI soundfont (FluidSynth's default); its settings live in a private home.
peer=()
if command -v vmpk >/dev/null; then
    peer_home=$E2E_TMP/vmpk-home
    mkdir -p "$peer_home/.config/vmpk.sourceforge.net"
    printf '[Connections]\nInEnabled=false\nThruEnabled=false\nOutputDriver=FluidSynth\nOutPort=FluidSynth\n' \
        >"$peer_home/.config/vmpk.sourceforge.net/VMPK.conf"
    peer=(env HOME="$peer_home" XDG_CONFIG_HOME="$peer_home/.config" vmpk)
else
    log "vmpk is not installed: the peer's figures are left out"
fi

measure startup --runs "$runs" --idle-seconds "$idle" -- "$program"
[ ${#peer[@]} -eq 0 ] || measure startup --kind vmpk --prefix peer_ --runs "$runs" --idle-seconds "$idle" -- "${peer[@]}"
# Start-up with hostile data files beside the program, to the first window mapped: the main
# window, or the box refusing a file, whichever comes first.
log "-- start-up with hostile data files"
hostile_startup_figures "$program" "$runs" >"$E2E_TMP/hostile.txt"
tee -a "$results" <"$E2E_TMP/hostile.txt"
# The sound on PulseAudio, and the floor of its measuring chain: a minimal client with a
# 64-frame buffer, heard through the same monitor, and a tone of it as long as a glide.
measure floor --server pulse --frames 64 --trials "$trials" --glide-seconds "$glide" --prefix pa_
measure sound --prefix pa_ --trials "$trials" --glide-seconds "$glide" --glide-runs "$glide_runs" -- "$program"
[ ${#peer[@]} -eq 0 ] || measure sound --kind vmpk --prefix peer_ --trials "$trials" --glide-seconds 0 -- "${peer[@]}"

# The program finds the song beside itself; the quick run plays a copy cut to 24 steps.
song_program=$program
if [ "$quick" -eq 1 ]; then
    mkdir "$E2E_TMP/quick"
    cp "$program" "$(dirname "$program")/genmidi.txt" "$E2E_TMP/quick/"
    { head -n 24 "$(dirname "$program")/haap.txt"; printf 'End\r\n'; } >"$E2E_TMP/quick/haap.txt"
    song_program=$E2E_TMP/quick/tirrel
fi
measure song --prefix pa_ --song "$(dirname "$song_program")/haap.txt" -- "$song_program"

start_jack bench
# With a JACK server running the program also connects a client to it, beside the start-up.
measure startup --tag _with_jack --runs "$runs" --idle-seconds "$idle" -- "$program"
measure midi --trials "$trials" -- "$program"
# Two dummy servers at 64-frame periods on two cores overrun each other.
[ "$E2E_JACK_PID" = "${E2E_PIPEWIRE_PID:-}" ] || stop_process "$E2E_JACK_PID"

# The song's steps at a JACK capture port, and a message's way there, on a server of its own.
log "-- port_latency"
"$port_latency" --song "$(dirname "$song_program")/haap.txt" | tee -a "$results"

# Rapid pointer input into the window, in process on the offscreen platform.
log "-- rapid_input"
QT_QPA_PLATFORM=offscreen "$rapid_input" --runs "$runs" | tee -a "$results"
# The device list filled anew, against 100 ports of a JACK server of its own.
log "-- device_refresh"
QT_QPA_PLATFORM=offscreen "$device_refresh" --runs "$((runs * 10))" | tee -a "$results"

# The sound again on PipeWire, in PulseAudio's place: two servers cannot share the runtime
# directory. Captured natively from the sink at the program's quantum, 128 frames: the graph
# runs at the smallest quantum its clients ask for, and a capture asking for less would
# make the program play at its quantum. The floor is a minimal native stream at it.
log "-- the sound on PipeWire"
stop_process "$E2E_KEEPALIVE_PID"
stop_process "$E2E_PULSE_PID"
start_pipewire
pw_capture=(--monitor pipewire:null --capture-quantum 128)
measure floor --server pipewire --frames 128 "${pw_capture[@]}" --trials "$trials" --glide-seconds "$glide" --prefix pw_
measure sound "${pw_capture[@]}" --prefix pw_ --trials "$trials" --glide-seconds "$glide" --glide-runs "$glide_runs" -- "$program"
measure song "${pw_capture[@]}" --prefix pw_ --song "$(dirname "$song_program")/haap.txt" -- "$song_program"

# Tirrel against the peer, from the figures above.
if [ ${#peer[@]} -gt 0 ]; then
    awk -F': ' '
        { v[$1] = $2 }
        function ratio(name, a, b) { if ((a in v) && (b in v) && v[b] + 0 != 0) printf "%s: %.2f\n", name, v[a] / v[b] }
        END {
            ratio("ratio_startup", "startup_median_ms", "peer_startup_median_ms")
            ratio("ratio_rss", "rss_median_mb", "peer_rss_median_mb")
            ratio("ratio_idle_cpu", "idle_cpu_percent", "peer_idle_cpu_percent")
            ratio("ratio_press_to_sound", "pa_press_to_sound_median_ms", "peer_press_to_sound_median_ms")
        }' "$results"
fi

# ---- The Windows program under Wine ----------------------------------------------------------
# Its press to sound beside the Linux program's above, with the floor of a minimal WASAPI client,
# measured by bench/windows/wine_sound.sh on servers of its own. Only where the Windows program
# has been built (scripts/build-windows.sh, or TIRREL_WINDOWS_BUILD) and Wine is installed.
windows_build=${TIRREL_WINDOWS_BUILD:-$root/build-windows}
# A build directory given with --build-dir is measured as it is.
if [ "$build_dir" = "$root/build-release" ]; then
    cmake --build "$build_dir" --target wine_latency >/dev/null
fi
if [ -f "$windows_build/Tirrel/tirrel.exe" ] && [ -x "$build_dir/bench/wine_latency" ] && command -v wine64 >/dev/null; then
    log "-- the Windows program under Wine ($windows_build)"
    wine_quick=()
    [ "$quick" -eq 0 ] || wine_quick=(--quick)
    bash "$root/bench/windows/wine_sound.sh" "${wine_quick[@]}" "$build_dir" "$windows_build" | tee -a "$results" \
        || log "the Windows figures could not all be measured"
    awk -F': ' '
        { v[$1] = $2 }
        function above(name, a, b) { if ((a in v) && (b in v)) printf "%s: %.1f\n", name, v[a] - v[b] }
        END {
            above("wine_press_to_sound_above_linux_pa_ms", "wine_press_to_sound_median_ms", "pa_press_to_sound_median_ms")
            above("wine_press_to_sound_above_linux_pw_ms", "wine_press_to_sound_median_ms", "pw_press_to_sound_median_ms")
            above("wine_press_to_sound_above_floor_ms", "wine_press_to_sound_median_ms", "wine_wasapi_floor_median_ms")
        }' "$results"
else
    log "Windows figures left out: they need $windows_build/Tirrel/tirrel.exe (scripts/build-windows.sh makes it)," \
        "$build_dir/bench/wine_latency and wine64"
fi
