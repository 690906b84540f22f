#!/usr/bin/env bash
# Runs a test program of the Windows build under Wine: the emulator CTest runs a cross
# build's tests with (cmake/windows.cmake). Usage: wine.sh BUILD_DIR PROGRAM.exe [ARGS...]
# The program finds the Qt and compiler DLLs where the build found them, and Qt's plugins.
set -euo pipefail
build=$1
shift
source "$(dirname "${BASH_SOURCE[0]}")/winelib.sh"
wine_init "$build"
wine_unit_prefix
WINEPATH=$(wine_dll_path)
export WINEPATH
exec "$WINE_LOADER" "$@"
