#!/usr/bin/env bash
# Runs the benchmark command in its quick mode (one short trial of each figure, nothing
# installed) on an existing build, so that it cannot rot, and checks that every figure is
# printed as a `name: value` line within what its unit allows. The peer's figures are expected
# only where vmpk is installed.
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
    grep -q "^$name: " "$out" || missing+=("$name")
done
[ ${#missing[@]} -eq 0 ] || { echo "FAIL: not printed: ${missing[*]}"; exit 1; }

# Every figure printed, within what its unit allows: a measurement that broke prints a zero, a
# negative time or a figure in another unit, numbers all. A name takes the range of the first
# pattern it matches; "count" is a whole number, "found" N/M with 1 <= N <= M.
awk -v ranges='(^|_)press_to_sound_.*_ms$ 0.5 200;^(peer_)?startup_.*_ms$ 10 20000;(^|_)song_drift_ms$ -1000 1000;
_ms$ 0 1000;_trials$|_onsets$ found;_dropouts$|_steps$|_runs$|_in_a_run$|_overruns$ count;_us(_per_move)?$ 0.01 1000000;
_frames$ 0 48000;_mb$ 5 2000;_percent$ 0 200;_seconds$ 0.5 3600;^ratio_idle_cpu$ 0 100;^ratio_ 0.01 100' '
BEGIN {
    k = split(ranges, rows, ";")
    for (i = 1; i <= k; i++) { split(rows[i], f, " "); re[i] = f[1]; lo[i] = f[2]; hi[i] = f[3] }
}
/^[a-z0-9_]+: / {
    name = substr($1, 1, length($1) - 1); v = $2
    for (i = 1; i <= k && name !~ re[i]; i++) {}
    if (lo[i] == "count") ok = v ~ /^[0-9]+$/
    else if (lo[i] == "found") ok = v ~ /^[0-9]+\/[0-9]+$/ && split(v, n, "/") && n[1] >= 1 && n[1] <= n[2] + 0
    else ok = i <= k && v ~ /^-?[0-9]+(\.[0-9]+)?$/ && v + 0 >= lo[i] && v + 0 <= hi[i]
    if (!ok) { print "FAIL: " name ": " v " is not a plausible figure for its unit"; bad = 1 }
}
END { exit bad }' "$out" || exit 1
echo "PASS"
