#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing the piano need, and
# any further packages named as arguments. Safe to run again: it asks apt only for what
# is missing.
set -euo pipefail

packages=(
  # build
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-svg-dev libgl-dev
  libfluidsynth-dev libpulse-dev
  # jackd2 removes librtmidi-dev when installed after it, so these three go in one command
  librtmidi-dev libjack-jackd2-dev jackd2 libasound2-dev
  # running: a CJK font so the Chinese captions never show boxes
  fonts-wqy-microhei
  # tests: headless display, input and screenshots, and the sound and MIDI servers
  xvfb xauth xdotool x11-utils imagemagick
  # reading the program's message boxes as a screen reader does: the accessibility bus and gdbus
  at-spi2-core dbus-daemon libglib2.0-bin
  # the benchmark's own presses (XTest) and recordings (PulseAudio)
  libxtst-dev
  pulseaudio pulseaudio-utils
  # fuzzing (libFuzzer comes with clang)
  clang
  # packaging: the .deb, its dependencies, the desktop metadata check and the Debian policy check
  dpkg-dev appstream desktop-file-utils lintian
  "$@"
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo -E)

echo "Installing: ${missing[*]}"
# jackd2 asks whether to enable real-time priority; answer it before apt does
echo "jackd2 jackd/tweak_rt_limits boolean false" | "${sudo[@]}" debconf-set-selections
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
