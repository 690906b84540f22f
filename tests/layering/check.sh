#!/usr/bin/env bash
# window/ and song/ see midi/'s public headers alone: builds probes that include a backend's
# header with their include paths and expects each to stop there, while a probe of a public
# header compiles, so the failures are the layering's and not the probe's.
# Usage: check.sh BUILD_DIR PUBLIC_TARGET... -- PRIVATE_TARGET...
set -uo pipefail
build=$1
shift
public=()
while [ "$1" != -- ]; do public+=("$1"); shift; done
shift
cmake --build "$build" --target "${public[@]}" >/dev/null || { echo "FAIL: a public header did not compile"; exit 1; }
status=0
for target in "$@"; do
    out=$(cmake --build "$build" --target "$target" 2>&1) && { echo "FAIL: $target compiled"; status=1; continue; }
    grep -E "fatal error: .*: No such file" <<<"$out" >/dev/null || { echo "FAIL: $target failed otherwise:"; echo "$out" | tail -5; status=1; continue; }
    echo "ok: $target: $(grep -oE "fatal error: [^:]*" <<<"$out" | head -1)"
done
exit $status
