#!/usr/bin/env bash
# Fuzzing. Builds the libFuzzer targets with clang, ASan and UBSan (build-fuzz/), runs
# each for SECONDS_PER_TARGET (two at a time) over a copy of its seed corpus from fuzz/corpus/, and
# prints one `name: value` line per figure: executions, executions per second and the
# coverage reached (libFuzzer's cov: edges and ft: features). Any crash, timeout, leak,
# out-of-memory or sanitizer report fails the run; the input that caused it is shown
# and kept. The corpora in the tree are never written to. Progress goes to stderr.
#
# Usage: scripts/fuzz.sh [SECONDS_PER_TARGET]   (default 60)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

seconds=${1:-60}
if ! [[ $seconds =~ ^[1-9][0-9]*$ ]] || [ $# -gt 1 ]; then
    echo "usage: $0 [SECONDS_PER_TARGET]" >&2
    exit 2
fi

targets=(fuzz_textfile fuzz_stepvalue fuzz_instruments)
build=$root/build-fuzz
log() { echo "fuzz: $*" >&2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/tirrel-fuzz.XXXXXX")
failed=()
# A failure's inputs and logs stay for whoever reads the report.
cleanup() {
    if [ ${#failed[@]} -eq 0 ]; then rm -rf "$work"; fi
}
trap cleanup EXIT

bash "$root/scripts/setup.sh" --tests >&2
log "building ${targets[*]} in $build"
if ! { CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DTIRREL_FUZZ=ON -DBUILD_TESTING=OFF &&
       cmake --build "$build" -j2 --target "${targets[@]}"; } >"$work/build.log" 2>&1; then
    cat "$work/build.log" >&2
    log "build failed"
    rm -rf "$work"
    exit 1
fi

export UBSAN_OPTIONS=print_stacktrace=1

show_input() {
    local file=$1
    log "failing input: $file ($(stat -c %s "$file") bytes), first 256 bytes:"
    od -A d -t x1z -v -N 256 "$file" >&2
}

# Each target runs on a core of its own, two at a time, so the stage's time is not the
# sum of the targets' times.
run_target() {
    local target=$1 dir=$work/$1 status=0
    mkdir -p "$dir/corpus" "$dir/artifacts" "$dir/tmp"
    cp -R "$root/fuzz/corpus/$target/." "$dir/corpus/"
    log "running $target for ${seconds}s"
    # The target's own temporary files go under $dir too, so a crash leaves none behind.
    (cd "$dir" && TMPDIR=$dir/tmp exec "$build/fuzz/$target" -max_total_time="$seconds" -timeout=10 \
        -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$dir/artifacts/" "$dir/corpus") \
        >"$dir/log" 2>&1 || status=$?
    echo "$status" >"$dir/status"
}

running=0
for target in "${targets[@]}"; do
    if [ "$running" -eq 2 ]; then
        wait -n || true
        running=$((running - 1))
    fi
    run_target "$target" &
    running=$((running + 1))
done
wait

summary=$work/summary.txt
: >"$summary"
for target in "${targets[@]}"; do
    dir=$work/$target
    status=$(cat "$dir/status" 2>/dev/null || echo "unknown")
    artifacts=("$dir"/artifacts/*)
    [ -e "${artifacts[0]}" ] || artifacts=()
    if [ "$status" != 0 ] || [ ${#artifacts[@]} -gt 0 ]; then
        failed+=("$target")
        log "$target FAILED (exit $status); its report:"
        # The report starts at the sanitizer's, libFuzzer's or an invariant's first line.
        report=$(sed -n '/^==[0-9a-z]*==\|runtime error:/,$p' "$dir/log" | head -n 120)
        [ -n "$report" ] || report=$(tail -n 60 "$dir/log")
        echo "$report" >&2
        for file in "${artifacts[@]}"; do
            show_input "$file"
        done
        log "full log: $dir/log"
    fi

    # The last status line carries the final coverage ("#N DONE cov: C ft: F ...").
    last=$(grep -E '^#[0-9]+[[:space:]].*cov: [0-9]+ ft: [0-9]+' "$dir/log" | tail -n 1 || true)
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/log")
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$dir/log")
    cov=$(sed -n 's/.* cov: \([0-9]*\) .*/\1/p' <<<"$last")
    ft=$(sed -n 's/.* ft: \([0-9]*\) .*/\1/p' <<<"$last")
    {
        echo "${target}_executions: ${runs:-unknown}"
        echo "${target}_exec_per_sec: ${rate:-unknown}"
        echo "${target}_cov: ${cov:-unknown}"
        echo "${target}_ft: ${ft:-unknown}"
    } >>"$summary"
done

cat "$summary"
if [ ${#failed[@]} -gt 0 ]; then
    log "failed: ${failed[*]}; inputs and logs kept in $work"
    exit 1
fi
