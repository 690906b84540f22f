#!/usr/bin/env bash
# Installs what is missing (the test tools and sound servers too: scripts/setup.sh --tests),
# builds, and runs every test: the suite on the normal build; the
# Windows program's suite under Wine (scripts/test-windows.sh); the suite again on a second
# build with AddressSanitizer and UndefinedBehaviorSanitizer, where any report or leak fails
# the test; then each fuzz target for a minute. Tests that need a display, a JACK server or a
# sound server start and stop their own.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh --tests
bash scripts/build.sh
ctest --test-dir build --output-on-failure -j2

# The Windows program, cross-built and tested under Wine, or one line saying why not.
bash scripts/test-windows.sh

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTIRREL_SANITIZE=ON >/dev/null
cmake --build build-asan -j"$(nproc)"
# The package test installs a .deb of the normal build; a sanitized program has no place in one.
ctest --test-dir build-asan --output-on-failure -j2 -LE package

bash scripts/fuzz.sh 60
