#!/usr/bin/env bash
# Builds the Windows program here, with Debian's mingw-w64 against a Qt 6 for mingw-w64, into
# build-windows/: the folder Tirrel/, which runs on Windows with nothing installed, and the
# installer Tirrel-<version>-setup.exe beside it. The drawings are rendered at build time by the
# Linux build's renderer (build/tirrel_svgtopng, built here if missing).
#
# Usage: TIRREL_QT_MINGW=<Qt for mingw-w64, the directory with lib/cmake/Qt6> scripts/build-windows.sh
# README.md says where such a Qt comes from; scripts/test-windows.sh finds and unpacks one.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

qt=${TIRREL_QT_MINGW:-}
if [ -z "$qt" ] || [ ! -f "$qt/lib/cmake/Qt6/qt.toolchain.cmake" ]; then
    echo "build-windows: TIRREL_QT_MINGW must name a Qt 6 for mingw-w64 (a directory with lib/cmake/Qt6); got '$qt'" >&2
    exit 2
fi
build=$root/build-windows

# The cross compiler, the host tools (moc, rcc, uic) that Qt for mingw-w64 runs here, NSIS.
bash scripts/setup.sh g++-mingw-w64-x86-64-posix qt6-base-dev-tools nsis

# The renderer runs here, so it comes from the Linux build, configured as scripts/build.sh does.
if [ ! -f build/CMakeCache.txt ]; then
    cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" >/dev/null
fi
cmake --build build --target tirrel_svgtopng >/dev/null

# A build directory keeps the toolchain it was first configured with: another Qt starts afresh.
toolchain=$qt/lib/cmake/Qt6/qt.toolchain.cmake
if [ -f "$build/CMakeCache.txt" ] \
    && [ "$(sed -n 's/^CMAKE_TOOLCHAIN_FILE:[A-Z]*=//p' "$build/CMakeCache.txt")" != "$toolchain" ]; then
    rm -rf "$build/CMakeCache.txt" "$build/CMakeFiles"
fi
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DTIRREL_SVGTOPNG="$root/build/tirrel_svgtopng" --no-warn-unused-cli >/dev/null
cmake --build "$build" -j"$(nproc)"
cmake --build "$build" --target windows_installer >/dev/null

setup=$(ls "$build"/Tirrel-*-setup.exe)
echo "build-windows: $build/Tirrel: $(find "$build/Tirrel" -type f | wc -l) files, $(du -sb "$build/Tirrel" | cut -f1) bytes"
echo "build-windows: $setup: $(stat -c %s "$setup") bytes"
