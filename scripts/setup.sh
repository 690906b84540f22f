#!/usr/bin/env bash
# Installs the Debian packages the piano needs, and any further packages named as arguments.
#
#   setup.sh [PACKAGE...]           what building and running need (scripts/run.sh, build.sh)
#   setup.sh --tests [PACKAGE...]   that, the test tools, and the sound servers the tests play
#                                   into (scripts/test.sh)
#
# Safe to run again: it asks apt only for what is missing. It never removes or replaces a
# package: apt is asked first what it would do, and if that removes anything the script stops
# and names the package and the conflict. Nor does it put a second sound server beside the
# machine's own (see sound_servers below).
set -euo pipefail

tests=0
if [ "${1:-}" = --tests ]; then
    tests=1
    shift
fi

packages=(
  # build; libpipewire-0.3-dev is a library (the server is pipewire-bin), and with
  # --no-install-recommends it brings no daemon
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-svg-dev libgl-dev
  libfluidsynth-dev libpulse-dev libpipewire-0.3-dev
  # in one command, so that RtMidi takes jackd2's libjack rather than JACK 1's (libjack0),
  # which jackd2, installed for the tests, would remove together with librtmidi-dev
  librtmidi-dev libjack-jackd2-dev libasound2-dev
  # running: a CJK font so the Chinese captions never show boxes
  fonts-wqy-microhei
)
test_packages=(
  # headless display, input and screenshots
  xvfb xauth xdotool x11-utils imagemagick
  # reading the program's message boxes as a screen reader does (the accessibility bus and gdbus);
  # the session bus also carries WirePlumber in a private PipeWire
  at-spi2-core dbus-daemon libglib2.0-bin
  # the benchmark's own presses (XTest)
  libxtst-dev
  # JACK's server and command-line clients (jack_midi_dump, jack_lsp)
  jackd2
  # the PulseAudio protocol's clients (pactl, parec, pacat), for PulseAudio and PipeWire alike
  pulseaudio-utils
  # fuzzing: clang, and its runtimes (libFuzzer, the sanitizers), which clang only recommends
  clang libclang-rt-dev
  # packaging: the desktop metadata check and the Debian policy check (dpkg-dev comes with
  # build-essential)
  appstream desktop-file-utils lintian
)

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

# sound_servers: adds to test_packages the servers the tests may use here, and says which tests
# will skip. The machine's server is read from its packages:
#   PulseAudio  `pulseaudio` installed: its tests run on it; PipeWire's skip. Installing
#               pipewire-pulse would enable its socket for every user's next login.
#   PipeWire    `pipewire-pulse` or `pipewire-audio` installed: its tests run on it; PulseAudio's
#               skip. Installing pulseaudio removes pipewire-alsa and pipewire-audio (and on a
#               GNOME desktop gnome-core, which depends on it).
#   both        the tests run on each.
#   neither     a build machine (CI's): both are installed, and PipeWire's JACK library, but never
#               pipewire-alsa, which conflicts with pulseaudio.
# TIRREL_SOUND_SERVERS=both takes a machine that has one for a build machine, and installs the
# other as well: for a machine with no desktop session, whose server came with an earlier set-up.
sound_servers() {
    local pulse=0 pipewire=0
    installed pulseaudio && pulse=1
    { installed pipewire-pulse || installed pipewire-audio; } && pipewire=1
    if [ "${TIRREL_SOUND_SERVERS:-}" = both ] || [ $pulse = $pipewire ]; then
        test_packages+=(pulseaudio pipewire-bin wireplumber pipewire-pulse pipewire-jack)
    elif [ $pulse = 1 ]; then
        echo "setup: this machine's sound server is PulseAudio; the tests on PipeWire will skip"
    else
        echo "setup: this machine's sound server is PipeWire; the tests on PulseAudio's own server will skip"
        test_packages+=(pipewire-bin wireplumber pipewire-pulse pipewire-jack)
    fi
}

[ "$tests" -eq 0 ] || { sound_servers; packages+=("${test_packages[@]}"); }
packages+=("$@")

missing=()
for p in "${packages[@]}"; do
    installed "$p" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo -E)
# Another apt or dpkg may hold the lock: wait for it rather than fail.
apt=("${sudo[@]}" apt-get -o DPkg::Lock::Timeout=600)

export DEBIAN_FRONTEND=noninteractive
"${apt[@]}" update -qq

# why_removed PACKAGE: the packages to be installed that conflict with or break PACKAGE, or that
# PACKAGE conflicts with or breaks, as "A conflicts with B" lines; else that it needs one that goes.
relations() { apt-cache show --no-all-versions "$1" 2>/dev/null | sed -n 's/^\(Conflicts\|Breaks\): //p' | tr ',' '\n' \
    | sed -e 's/^ *//' -e 's/[ (].*//'; }
why_removed() {
    local gone=$1 p said=0
    for p in "${new[@]}"; do
        relations "$p" | grep -qxF "$gone" && echo "  $p conflicts with $gone" && said=1
        relations "$gone" | grep -qxF "$p" && echo "  $gone conflicts with $p" && said=1
    done
    [ $said = 1 ] || echo "  $gone depends on a package that would go"
}
plan=$(LC_ALL=C apt-get -s install --no-install-recommends "${missing[@]}" 2>&1) \
    || { echo "$plan" >&2; echo "setup: apt cannot install ${missing[*]}" >&2; exit 1; }
mapfile -t removed < <(sed -n 's/^Remv \([^ ]*\).*/\1/p' <<<"$plan")
if [ ${#removed[@]} -gt 0 ]; then
    mapfile -t new < <(sed -n 's/^Inst \([^ ]*\).*/\1/p' <<<"$plan")
    {
        echo "setup: installing ${missing[*]}"
        echo "would remove ${removed[*]}; this set-up never removes a package:"
        for p in "${removed[@]}"; do why_removed "$p"; done
        echo "Nothing was installed."
    } >&2
    exit 1
fi

echo "Installing: ${missing[*]}"
# jackd2 asks whether to enable real-time priority; answer it before apt does
if printf '%s\n' "${missing[@]}" | grep -qx jackd2; then
    echo "jackd2 jackd/tweak_rt_limits boolean false" | "${sudo[@]}" debconf-set-selections
fi
"${apt[@]}" install -y -qq --no-install-recommends --no-remove "${missing[@]}" >/dev/null
