#!/usr/bin/env bash
# Builds the Windows program here, with Debian's mingw-w64 against a Qt 6 for mingw-w64, into
# build-windows/: the folder Tirrel/, which runs on Windows with nothing installed, and the
# installer Tirrel-<version>-setup.exe beside it. The drawings are rendered at build time by the
# Linux build's renderer (build/tirrel_svgtopng, built here if missing). FluidSynth, the built-in
# synthesizer, is cross-built from its source into build-windows/fluidsynth/prefix, once, and
# again only when its source archive or the way it is built changes.
#
# Usage: TIRREL_QT_MINGW=<Qt for mingw-w64, the directory with lib/cmake/Qt6> scripts/build-windows.sh
# README.md says where such a Qt comes from; scripts/test-windows.sh finds and unpacks one.
# FluidSynth's source is TIRREL_FLUIDSYNTH_ARCHIVE, by default shared/windows/fluidsynth-2.6.0-src.tar.xz
# beside the checkout: FluidSynth's release with the gcem/ and signalsmith-audio-basics/ trees in place.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

qt=${TIRREL_QT_MINGW:-}
if [ -z "$qt" ] || [ ! -f "$qt/lib/cmake/Qt6/qt.toolchain.cmake" ]; then
    echo "build-windows: TIRREL_QT_MINGW must name a Qt 6 for mingw-w64 (a directory with lib/cmake/Qt6); got '$qt'" >&2
    exit 2
fi
build=$root/build-windows
fluidsynth_archive=${TIRREL_FLUIDSYNTH_ARCHIVE:-$(dirname "$root")/shared/windows/fluidsynth-2.6.0-src.tar.xz}
if [ ! -f "$fluidsynth_archive" ]; then
    echo "build-windows: no FluidSynth source at $fluidsynth_archive (set TIRREL_FLUIDSYNTH_ARCHIVE to a FluidSynth 2.5 or later source archive)" >&2
    exit 2
fi

# The cross compilers, the host tools (moc, rcc, uic) that Qt for mingw-w64 runs here, NSIS, and
# the General MIDI soundfont the folder carries.
bash scripts/setup.sh gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix qt6-base-dev-tools nsis \
    xz-utils timgm6mb-soundfont

# FluidSynth from 2.5 on builds without GLib, which Debian has not for mingw-w64. Its audio drivers
# are Windows' own (WASAPI, DirectSound, WaveOut); everything that would need a library not built
# for mingw-w64 here is off, and so are MIDI input, file output and the network shell, which the
# program does not use. The posix-thread compilers, as for Qt: FluidSynth's threads are C++11
# threads. Signalsmith's reverb and limiter stay out: its tree in the archive lacks the three
# libraries its build fetches. The cross toolchain searches only its own root, where FluidSynth
# would not see the gcem tree it comes with and would try to download one.
fluidsynth=$build/fluidsynth
fluidsynth_options=(
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_SYSTEM_NAME=Windows -DCMAKE_SYSTEM_PROCESSOR=x86_64
    -DCMAKE_C_COMPILER=x86_64-w64-mingw32-gcc-posix -DCMAKE_CXX_COMPILER=x86_64-w64-mingw32-g++-posix
    -DCMAKE_RC_COMPILER=x86_64-w64-mingw32-windres -DCMAKE_FIND_ROOT_PATH=/usr/x86_64-w64-mingw32
    -DCMAKE_FIND_ROOT_PATH_MODE_PROGRAM=NEVER -DCMAKE_FIND_ROOT_PATH_MODE_LIBRARY=ONLY
    -DCMAKE_FIND_ROOT_PATH_MODE_INCLUDE=ONLY -DCMAKE_FIND_ROOT_PATH_MODE_PACKAGE=ONLY
    -Denable-wasapi=ON -Denable-dsound=ON -Denable-waveout=ON
    -Denable-winmidi=OFF -Denable-aufile=OFF -Denable-libsndfile=OFF -Denable-sdl3=OFF -Denable-readline=OFF
    -Denable-dbus=OFF -Denable-pulseaudio=OFF -Denable-jack=OFF -Denable-alsa=OFF -Denable-pipewire=OFF
    -Denable-openmp=OFF -Denable-network=OFF -Denable-ladspa=OFF -Denable-signalsmith=OFF
)
stamp="$(sha256sum "$fluidsynth_archive" | cut -d' ' -f1) $(printf '%s\n' "${fluidsynth_options[@]}" | sha256sum | cut -d' ' -f1)"
if [ "$(cat "$fluidsynth/prefix/.built-from" 2>/dev/null)" != "$stamp" ]; then
    echo "build-windows: building FluidSynth from $fluidsynth_archive"
    rm -rf "$fluidsynth"
    mkdir -p "$fluidsynth/source"
    tar -C "$fluidsynth/source" --strip-components=1 -xJf "$fluidsynth_archive"
    src=$fluidsynth/source
    # The gcem in the archive is older than the one FluidSynth pins and has no fabs; abs takes the
    # same plain real number.
    if [ ! -f "$src/gcem/include/gcem_incl/fabs.hpp" ]; then
        sed -i 's/gcem::fabs(/gcem::abs(/' "$src/src/gentables/fluid_interp_coeff_sinc7.cpp"
    fi
    cmake -S "$src" -B "$fluidsynth/build" -G Ninja "${fluidsynth_options[@]}" \
        -DGCEM_INCLUDE_DIR="$src/gcem/include" -DCMAKE_INSTALL_PREFIX="$fluidsynth/prefix" >"$fluidsynth/configure.log" 2>&1 \
        || { tail -n 30 "$fluidsynth/configure.log" >&2; exit 1; }
    cmake --build "$fluidsynth/build" -j"$(nproc)" >"$fluidsynth/build.log" 2>&1 \
        || { tail -n 30 "$fluidsynth/build.log" >&2; exit 1; }
    cmake --install "$fluidsynth/build" --strip >/dev/null
    # Its licence and those of the code compiled into it, where the folder's rules take them from.
    licences=$fluidsynth/prefix/share/licenses/fluidsynth
    mkdir -p "$licences"
    cp "$src/LICENSE" "$licences/FluidSynth-LGPL-2.1.txt"
    cp "$src/gcem/LICENSE" "$licences/gcem-Apache-2.0.txt"
    cp "$src/gcem/NOTICE.txt" "$licences/gcem-NOTICE.txt"
    rm -rf "$src" "$fluidsynth/build"
    echo "$stamp" >"$fluidsynth/prefix/.built-from"
fi

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
    -DTIRREL_SVGTOPNG="$root/build/tirrel_svgtopng" -DTIRREL_FLUIDSYNTH_PREFIX="$fluidsynth/prefix" \
    --no-warn-unused-cli >/dev/null
cmake --build "$build" -j"$(nproc)"
cmake --build "$build" --target windows_installer >/dev/null

setup=$(ls "$build"/Tirrel-*-setup.exe)
echo "build-windows: $build/Tirrel: $(find "$build/Tirrel" -type f | wc -l) files, $(du -sb "$build/Tirrel" | cut -f1) bytes"
echo "build-windows: $setup: $(stat -c %s "$setup") bytes"
