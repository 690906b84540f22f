#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test. Tests that need a display,
# a JACK server or a sound server start and stop their own.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
ctest --test-dir build --output-on-failure -j2
