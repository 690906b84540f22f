#!/usr/bin/env bash
# Runs the benchmark command in its quick mode (one short trial of each figure, nothing
# installed) on an existing build, so that it cannot rot, and checks that every figure is
# printed as a `name: value` line. The peer's figures are expected only where vmpk is installed.
# Usage: tst_bench_smoke.sh BUILD_DIR
set -uo pipefail
build_dir=${1:?usage: $0 BUILD_DIR}
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
[ -x "$build_dir/bench/pianobench" ] || { echo "SKIP: pianobench was not built (libxtst-dev or libpulse-dev missing)"; exit 77; }

out=$(mktemp)
trap 'rm -f "$out"' EXIT
bash "$root/scripts/bench.sh" --quick --build-dir "$build_dir" >"$out"
status=$?
cat "$out"
[ "$status" -eq 77 ] && exit 77
[ "$status" -eq 0 ] || { echo "FAIL: the benchmark exited with status $status"; exit 1; }

names=(startup_median_ms startup_p95_ms rss_median_mb idle_cpu_percent idle_cpu_p95_percent
       startup_with_jack_median_ms startup_with_jack_p95_ms rss_with_jack_median_mb idle_cpu_with_jack_percent
       device_list_refresh_ms device_list_refresh_max_ms device_list_open_ms device_list_open_no_jack_ms
       press_to_midi_trials press_to_midi_median_ms press_to_midi_p95_ms
       port_song_error_p50_frames port_song_error_p90_frames port_song_error_max_frames
       port_send_cost_median_us port_latency_median_us port_latency_p95_us
       rapid_input_us_per_move rapid_input_drain_ms)
# The sound's figures on each server, and the floor of each measuring chain.
sound_names=(floor_trials floor_median_ms floor_p95_ms floor_dropouts
             press_to_sound_trials press_to_sound_median_ms press_to_sound_p95_ms
             press_to_sound_running_median_ms press_to_sound_running_p95_ms
             glide_onto_ringing_median_ms glide_onto_ringing_p95_ms glide_seconds glide_dropouts
             song_onsets song_max_error_ms song_p50_error_ms song_p90_error_ms song_p95_error_ms song_drift_ms)
for server in pa pw; do
    names+=("${sound_names[@]/#/${server}_}")
done
# One start-up figure for each hostile data file.
source "$root/tests/e2e/hostile_files.sh"
for row in "${hostile_cases[@]}"; do
    names+=("startup_hostile_${row%%|*}_ms")
done
if command -v vmpk >/dev/null; then
    names+=(peer_startup_median_ms peer_rss_median_mb peer_idle_cpu_percent
            peer_press_to_sound_median_ms peer_press_to_sound_p95_ms
            ratio_startup ratio_rss ratio_press_to_sound)
fi
missing=()
for name in "${names[@]}"; do
    grep -E "^$name: -?[0-9./]+$" "$out" >/dev/null || missing+=("$name")
done
[ ${#missing[@]} -eq 0 ] || { echo "FAIL: not printed as a number: ${missing[*]}"; exit 1; }
echo "PASS"
