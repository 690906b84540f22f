#!/usr/bin/env bash
# The Windows stage of the test command: cross-builds the Windows program (scripts/build-windows.sh)
# and runs its tests under Wine: the unit tests that need no Linux server, the WinMM backend
# against Wine's own WinMM, the program from its folder on Xvfb, and the installer. Prints one
# line and succeeds when no Qt for mingw-w64 or no FluidSynth source is at hand.
#
# The Qt is TIRREL_QT_MINGW (a directory with lib/cmake/Qt6), or else unpacked from the archive
# TIRREL_QT_MINGW_ARCHIVE, by default shared/windows/qt6-mingw.tar.xz beside the checkout (the
# machines here keep one there; README.md says how to build it), into build-windows/qt, once.
# FluidSynth's source, which the build needs too, is found the same way (build-windows.sh).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
started=$EPOCHSECONDS
build=$root/build-windows

fluidsynth_archive=${TIRREL_FLUIDSYNTH_ARCHIVE:-$(dirname "$root")/shared/windows/fluidsynth-2.6.0-src.tar.xz}
if [ ! -f "$fluidsynth_archive" ]; then
    echo "Windows stage skipped: no FluidSynth source (set TIRREL_FLUIDSYNTH_ARCHIVE to a fluidsynth-2.6.0-src.tar.xz; none at $fluidsynth_archive)"
    exit 0
fi
export TIRREL_FLUIDSYNTH_ARCHIVE=$fluidsynth_archive

if [ -z "${TIRREL_QT_MINGW:-}" ]; then
    archive=${TIRREL_QT_MINGW_ARCHIVE:-$(dirname "$root")/shared/windows/qt6-mingw.tar.xz}
    if [ ! -f "$archive" ]; then
        echo "Windows stage skipped: no Qt for mingw-w64 (set TIRREL_QT_MINGW, or TIRREL_QT_MINGW_ARCHIVE to a qt6-mingw.tar.xz; none at $archive)"
        exit 0
    fi
    bash scripts/setup.sh xz-utils
    unpacked=$build/qt
    sum=$(sha256sum "$archive" | cut -d' ' -f1)
    if [ "$(cat "$unpacked/.archive-sha256" 2>/dev/null)" != "$sum" ]; then
        echo "Windows stage: unpacking $archive"
        rm -rf "$unpacked"
        mkdir -p "$unpacked"
        tar -C "$unpacked" -xJf "$archive"
        echo "$sum" >"$unpacked/.archive-sha256"
    fi
    toolchain=$(find "$unpacked" -maxdepth 5 -path '*/lib/cmake/Qt6/qt.toolchain.cmake' -print -quit)
    [ -n "$toolchain" ] || { echo "Windows stage: $archive holds no Qt (no lib/cmake/Qt6/qt.toolchain.cmake)" >&2; exit 1; }
    TIRREL_QT_MINGW=${toolchain%/lib/cmake/Qt6/qt.toolchain.cmake}
fi
export TIRREL_QT_MINGW

# The test tools and sound servers, Wine for the tests (64-bit only: the program and the
# installer are 64-bit), its fonts, the X libraries its display driver loads, and xclip, which
# reads a message box's copied text.
bash scripts/setup.sh --tests wine64 fonts-wine libxcursor1 libxrandr2 libxi6 libxrender1 libxcomposite1 \
    libxinerama1 libxfixes3 xclip
bash scripts/build-windows.sh
ctest --test-dir "$build" --output-on-failure -j2
echo "Windows stage: $((EPOCHSECONDS - started)) s"
