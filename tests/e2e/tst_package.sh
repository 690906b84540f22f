#!/usr/bin/env bash
# Installs the build with `cmake --install` into a scratch prefix and as a Debian package built by
# CPack, installed with apt-get. Checks the files, the declared dependencies, what lintian finds
# and the desktop metadata, starts the installed /usr/bin/tirrel on an X server, checks its window
# and its list of 128 instruments, ends it with Power, and removes the package again (on every way
# out).
# Usage: tst_package.sh BUILD_DIR
#
# The test owns the system-wide package only while it runs: a tirrel package installed by anyone
# else makes it skip and stays. Runs of it from several build directories take turns.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

build=${1:-}
[ -f "$build/CPackConfig.cmake" ] || fail "usage: $0 BUILD_DIR (a configured build directory; got '${build}')"

command -v apt-get >/dev/null || skip "apt-get is not installed"
command -v dpkg-shlibdeps >/dev/null || skip "dpkg-shlibdeps is not installed (package dpkg-dev)"
command -v appstreamcli >/dev/null || skip "appstreamcli is not installed (package appstream)"
command -v lintian >/dev/null || skip "lintian is not installed (package lintian)"
for tool in cpack xdotool import convert compare identify; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
done
as_root=()
if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null && sudo -n true 2>/dev/null \
        || skip "installing a package needs root, or sudo without a password"
    as_root=(sudo -n)
fi

# What the package installs, below /usr; directories aside.
expected_files="\
/usr/bin/tirrel
/usr/lib/tirrel/genmidi.txt
/usr/lib/tirrel/haap.txt
/usr/lib/tirrel/tirrel
/usr/share/applications/tirrel.desktop
/usr/share/doc/tirrel/changelog.gz
/usr/share/doc/tirrel/copyright
/usr/share/icons/hicolor/32x32/apps/tirrel.png
/usr/share/icons/hicolor/scalable/apps/tirrel.svg
/usr/share/man/man1/tirrel.1.gz
/usr/share/metainfo/example.tirrel.Tirrel.metainfo.xml"
desktop_entry=/usr/share/applications/tirrel.desktop
metainfo=/usr/share/metainfo/example.tirrel.Tirrel.metainfo.xml

apt() {
    "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
        apt-get -o DPkg::Lock::Timeout=60 -y -q "$@" >>"$E2E_TMP/apt.log" 2>&1
}
package_status() { dpkg-query -W -f='${db:Status-Status}' tirrel 2>/dev/null || true; }

# Written before the install and removed after the removal: a run killed in between (CTest's
# timeout kills without a trap) leaves it, and the next run knows the package is its own.
marker=/var/tmp/tirrel-package-test.installed
remove_package() {
    if [ "$(package_status)" != not-installed ] && [ -n "$(package_status)" ]; then
        apt remove tirrel || { _e2e_tail "$E2E_TMP/apt.log"; log "apt-get remove tirrel failed"; return 1; }
    fi
    [ "$(package_status)" = installed ] && { log "tirrel is still installed after apt-get remove"; return 1; }
    rm -f "$marker"
}

# On every way out the package goes first, while the directory for apt's log is still there (a
# program still running keeps the removed files it has open); then cleanup ends the processes.
on_exit() {
    local status=$?
    set +e
    if [ -e "$marker" ] && ! remove_package && { [ "$status" -eq 0 ] || [ "$status" -eq 77 ]; }; then
        status=1
    fi
    (exit "$status")
    cleanup
    exit "$status"
}
trap on_exit EXIT

lock=/var/tmp/tirrel-package-test.lock
(umask 0 && : >>"$lock")
exec 9>>"$lock"
flock -w 240 9 || fail "another run of this test held $lock for 240 s"

if [ "$(package_status)" = installed ]; then
    if [ -e "$marker" ]; then
        log "removing the tirrel package a killed run of this test left installed"
        remove_package || fail "could not remove the package left by a killed run"
    else
        skip "tirrel $(dpkg-query -W -f='${Version}' tirrel) is installed, not by this test, and stays; remove it to run this test"
    fi
fi

# --- cmake --install into a scratch prefix: the same layout, and a link that works anywhere.
prefix=$E2E_TMP/prefix
cmake --install "$build" --prefix "$prefix" >"$E2E_TMP/install.log" 2>&1 \
    || { _e2e_tail "$E2E_TMP/install.log"; fail "cmake --install $build failed"; }
got=$(cd "$prefix" && find . ! -type d | sed 's|^\.|/usr|' | sort)
[ "$got" = "$expected_files" ] || fail "cmake --install laid out other files:"$'\n'"$got"
[ "$(readlink -f "$prefix/bin/tirrel")" = "$(readlink -f "$prefix/lib/tirrel/tirrel")" ] \
    || fail "$prefix/bin/tirrel does not lead to $prefix/lib/tirrel/tirrel"

# --- The package.
mkdir "$E2E_TMP/package"
cpack --config "$build/CPackConfig.cmake" -B "$E2E_TMP/package" >"$E2E_TMP/cpack.log" 2>&1 \
    || { _e2e_tail "$E2E_TMP/cpack.log"; fail "cpack failed"; }
debs=("$E2E_TMP"/package/tirrel_*.deb)
[ "${#debs[@]}" -eq 1 ] && [ -f "${debs[0]}" ] || fail "cpack made no single tirrel_*.deb: ${debs[*]}"
deb=${debs[0]}
version=$(dpkg-deb -f "$deb" Version)
log "built ${deb##*/}, $(stat -c %s "$deb") bytes"

# The libraries come from dpkg-shlibdeps; the soundfont and the CJK font are named by hand.
depends=$(dpkg-deb -f "$deb" Depends)
for need in 'libqt6widgets6' 'libqt6svg6' 'librtmidi[0-9]+' 'libfluidsynth[0-9]+' \
    'timgm6mb-soundfont \| sf2-soundfont-gm' 'fonts-wqy-microhei \|'; do
    grep -E "(^|[ ,|])$need" <<<"$depends" >/dev/null || fail "Depends lacks $need: $depends"
done

# Debian's own checks: an error fails, a warning is shown. Run as root, lintian says so on stderr.
lintian_status=0
lintian "$deb" >"$E2E_TMP/lintian.log" 2>"$E2E_TMP/lintian.err" || lintian_status=$?
grep '^E: ' "$E2E_TMP/lintian.log" >&2 && fail "lintian finds errors in ${deb##*/}"
[ "$lintian_status" -eq 0 ] || { _e2e_tail "$E2E_TMP/lintian.err"; fail "lintian failed with status $lintian_status"; }
grep '^W: ' "$E2E_TMP/lintian.log" >&2 || log "lintian: no warnings"

: >"$marker"
apt install "$deb" || { _e2e_tail "$E2E_TMP/apt.log"; fail "apt-get install ${deb##*/} failed"; }
[ "$(package_status)" = installed ] || fail "tirrel is not installed after apt-get install"
[ "$(dpkg-query -W -f='${Version}' tirrel)" = "$version" ] || fail "another version of tirrel is installed"

got=$(dpkg -L tirrel | while read -r f; do [ -d "$f" ] && [ ! -L "$f" ] || echo "$f"; done | sort)
[ "$got" = "$expected_files" ] || fail "the package installed other files:"$'\n'"$got"
[ "$(readlink -f /usr/bin/tirrel)" = /usr/lib/tirrel/tirrel ] || fail "/usr/bin/tirrel does not lead to /usr/lib/tirrel/tirrel"

# --- Desktop metadata, as installed.
appstreamcli validate --no-net "$metainfo" >"$E2E_TMP/appstream.log" 2>&1 \
    || { _e2e_tail "$E2E_TMP/appstream.log"; fail "appstreamcli does not accept $metainfo"; }
released=$(sed -n 's/.*<release version="\([^"]*\)".*/\1/p' "$metainfo" | sed -n 1p)
[ "$released" = "$version" ] || fail "the newest release in $metainfo is '$released', the package's version $version"
grep '<project_license>MIT</project_license>' "$metainfo" >/dev/null || fail "$metainfo does not declare the MIT licence"
logged=$(zcat /usr/share/doc/tirrel/changelog.gz | sed -n '1s/^tirrel (\([^)]*\)).*/\1/p')
[ "$logged" = "$version" ] || fail "the newest entry in the package's changelog is '$logged', the package's version $version"
if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$desktop_entry" >"$E2E_TMP/desktop.log" 2>&1 \
        || { _e2e_tail "$E2E_TMP/desktop.log"; fail "desktop-file-validate does not accept $desktop_entry"; }
else
    log "desktop-file-validate is not installed (package desktop-file-utils): the entry is checked by hand only"
fi
for line in '^Name=' '^Name\[zh_CN\]=' '^Comment=' '^Comment\[zh_CN\]=' '^Exec=tirrel$' '^Icon=tirrel$' \
    '^Categories=(.*;)?Audio;(.*;)?Music;'; do
    grep -E "$line" "$desktop_entry" >/dev/null || fail "$desktop_entry has no line matching $line"
done
size=$(identify -format '%wx%h' /usr/share/icons/hicolor/32x32/apps/tirrel.png)
[ "$size" = 32x32 ] || fail "the 32x32 icon is $size"

# --- The installed program: its window, and the instrument list filled from its program directory.
start_sound_server
start_xvfb
spawn tirrel /usr/bin/tirrel
pid=$E2E_PID
# A data file not found would hold the window back behind a message box.
window=$(wait_for_window "Tirrel V2.5") || fail "windows showing instead: $(other_windows none)"
others=$(other_windows "$window")
[ -z "$others" ] || fail "other windows are showing: $others"
eval "$(xdotool getwindowgeometry --shell "$window")"
[ "${WIDTH}x${HEIGHT}" = 623x163 ] || fail "the window is ${WIDTH}x${HEIGHT}, expected 623x163"

# The instrument list's text, left of its arrow; the list sits at 316,40 and is 121 x 20.
list_x=316 list_y=40
list_text() {
    screenshot "$window" "$E2E_TMP/window.png"
    convert "$E2E_TMP/window.png" -crop 90x16+$((list_x + 4))+$((list_y + 2)) +repage "$1"
}
same() { compare -metric AE "$1" "$2" null: >/dev/null 2>&1; }
# settled_text OUT: the list's text, once two shots 0.2 s apart agree.
settled_text() { list_text "$E2E_TMP/earlier.png" && sleep 0.2 && list_text "$1" && same "$E2E_TMP/earlier.png" "$1"; }
# text_other_than SHOT OUT: the list's text, once settled on something other than SHOT.
text_other_than() { settled_text "$2" && ! same "$1" "$2"; }
popup_open() { [ -n "$(other_windows "$window")" ]; }
popup_closed() { [ -z "$(other_windows "$window")" ]; }
# choose STEPS: opens the list with a click, chooses the last entry (STEPS "end") or the one STEPS
# steps below the first with the keyboard, and waits until the list has closed.
choose() {
    xdotool mousemove $((X + list_x + 60)) $((Y + list_y + 10)) click 1
    wait_until "the instrument list opens" popup_open
    if [ "$1" = end ]; then
        xdotool key End
    else
        xdotool key Home
        xdotool key --delay 4 --repeat "$1" Down
    fi
    xdotool key Return
    _e2e_poll "$E2E_TIMEOUT" "" popup_closed \
        || fail "the instrument list did not close after choosing $1; windows showing: $(other_windows "$window")"
}

first=$E2E_TMP/first.png last=$E2E_TMP/last.png
step126=$E2E_TMP/step126.png step127=$E2E_TMP/step127.png
_e2e_poll 3 "" settled_text "$first" || fail "the instrument list kept changing"
# Anti-aliased text brings many shades; an empty list shows its background's few.
colours=$(convert "$first" -format %k info:)
[ "$colours" -ge 8 ] || fail "the instrument list shows no text ($colours colours)"

choose end
_e2e_poll 3 "" text_other_than "$first" "$last" \
    || fail "choosing the last instrument left the first one showing: the list holds one entry or none"
# 126 steps down from the first entry end before the last one, and 127 reach it: 128 entries.
choose 126
_e2e_poll 3 "" text_other_than "$last" "$step126" \
    || fail "126 steps down from the first instrument reached the last one: fewer than 128 entries"
! same "$step126" "$first" || fail "126 steps down from the first instrument came back to it"
choose 127
_e2e_poll 3 "" text_other_than "$step126" "$step127" || fail "a 127th step down did not move on from entry 126"
same "$step127" "$last" || fail "127 steps down from the first instrument did not reach the last one: more than 128 entries"

_e2e_alive "$pid" || fail "the program ended before Power was clicked"
xdotool mousemove $((X + 420)) $((Y + 20)) click 1
wait_for_exit "$pid" 5
[ "$E2E_STATUS" -eq 0 ] || fail "the program exited with status $E2E_STATUS after Power, expected 0"
[ ! -s "$E2E_TMP/tirrel.log" ] || fail "the program printed: $(head -c 2000 "$E2E_TMP/tirrel.log")"

# --- Removal.
remove_package || fail "could not remove the package"
[ ! -e /usr/bin/tirrel ] && [ ! -e /usr/lib/tirrel ] || fail "files of tirrel are left after apt-get remove"
echo "PASS"
