#!/usr/bin/env bash
# The installer under Wine, silently (/S), in a fresh Wine prefix, once for every user of the
# machine and once for the user alone: every file of the folder is installed unchanged, the
# built-in synthesizer's among them, with an uninstaller, a Start-menu entry and an entry in the
# list of programs; every DLL an installed program or library loads is installed beside it or is
# Windows' own; the installed program starts with no box, sounds through a private sound server
# when a key is pressed, and ends with Power; the uninstaller removes every file it installed, the
# folder, the entry and the shortcut.
# Usage: tst_wine_installer.sh BUILD_DIR SETUP.exe
source "$(dirname "${BASH_SOURCE[0]}")/../e2e/lib.sh"
source "$(dirname "${BASH_SOURCE[0]}")/winelib.sh"

build=${1:-}
setup=${2:-}
[ -d "$build" ] && [ -n "$setup" ] || fail "usage: $0 BUILD_DIR SETUP.exe"
[ -f "$setup" ] || fail "no installer at $setup: make it with scripts/build-windows.sh"
folder=$build/Tirrel
[ -f "$folder/tirrel.exe" ] || fail "no folder at $folder: make it with scripts/build-windows.sh"
[ "$setup" -nt "$folder/tirrel.exe" ] || [ ! "$folder/tirrel.exe" -nt "$setup" ] \
    || fail "$setup is older than the folder; make both again with scripts/build-windows.sh"
wine_init "$build"
for tool in xdotool parec pacat od; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
done
objdump=x86_64-w64-mingw32-objdump
command -v "$objdump" >/dev/null || skip "$objdump is not installed"
E2E_TIMEOUT=30

wine_fresh_prefix "$E2E_TMP/prefix"
# The built-in synthesizer plays through Wine's WASAPI into this server's null sink.
start_sound_server
keep_sink_in_step
start_xvfb
wine_start_server
drive=$WINEPREFIX/drive_c
user_dir=$drive/users/$(id -un)
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Tirrel'

# run NAME WINDOWS_PROGRAM ARGS...: runs a Windows program to its end; its status in E2E_STATUS.
run() {
    local name=$1
    shift
    spawn "$name" "$WINE_LOADER" "$@"
    wait_for_exit "$E2E_PID" "$E2E_TIMEOUT"
}

# start_installed DIR: the installed program starts with no box, a key pressed is heard in the
# sink, and Power ends it with status 0.
start_installed() {
    spawn installed "$WINE_LOADER" "$1/tirrel.exe"
    local pid=$E2E_PID window sound=$E2E_TMP/installed-$RANDOM.raw press heard
    window=$(wait_for_window "Tirrel V2.5") || fail "the installed program showed no window: $(other_windows none)"
    [ -z "$(other_windows "$window")" ] || fail "the installed program showed a box: $(other_windows "$window")"
    eval "$(xdotool getwindowgeometry --shell "$window")"
    record_sink_in_step "$sound"
    press=$(sink_mark "$sound")
    xdotool mousemove $((X + 128)) $((Y + 150)) mousedown 1 sleep 0.5 mouseup 1
    heard=$(sink_onsets "$sound" "$press" | sed -n 1p)
    [ -n "$heard" ] || fail "a key pressed in the installed program was not heard (peak $(sink_peak "$sound") of 32768)"
    log "a key of the installed program heard after $heard ms"
    xdotool mousemove $((X + 420)) $((Y + 20)) click 1
    wait_for_exit "$pid" 10
    [ "$E2E_STATUS" -eq 0 ] || fail "the installed program exited with status $E2E_STATUS after Power"
}

registered() { "$WINE_LOADER" reg query "$1" >/dev/null 2>&1; }

# The synthesizer's library and soundfont and their licences: a folder without them would still
# install and uninstall cleanly, and the program would only fall silent.
synthesizer_files=(
    libfluidsynth-3.dll TimGM6mb.sf2 licenses/FluidSynth-LGPL-2.1.txt licenses/gcem-Apache-2.0.txt
    licenses/gcem-NOTICE.txt licenses/GPL-2.txt licenses/timgm6mb-soundfont.txt
)

# unresolved_imports DIR: each DLL that a program or library in DIR loads at start and that is
# neither in DIR nor among Windows' own (Wine's system32, and the API sets, api-ms-* and ext-ms-*,
# which the loader maps to system DLLs rather than finding as files), as FILE: DLL. Windows looks
# for a DLL in the program's directory, whatever the directory of the library that needs it; names
# are compared in lower case, as Windows does.
unresolved_imports() {
    local dir=$1 file dll
    local -A present=()
    while read -r file; do present[${file,,}]=1; done < <(cd "$dir" && find . -maxdepth 1 -type f -printf '%f\n')
    while read -r file; do present[${file,,}]=1; done < <(find "$drive/windows/system32" -maxdepth 1 -type f -printf '%f\n')
    while read -r file; do
        while read -r dll; do
            [[ ${dll,,} == api-ms-* || ${dll,,} == ext-ms-* || -n ${present[${dll,,}]:-} ]] || printf '%s: %s\n' "${file#"$dir"/}" "$dll"
        done < <("$objdump" -p "$file" | sed -n 's/^\tDLL Name: //p')
    done < <(find "$dir" -type f \( -iname '*.exe' -o -iname '*.dll' \))
}

for mode in AllUsers CurrentUser; do
    if [ "$mode" = AllUsers ]; then
        dir="$drive/Program Files/Tirrel"
        menu="$drive/ProgramData/Microsoft/Windows/Start Menu/Programs"
        key=$uninstall_key
    else
        dir="$user_dir/AppData/Local/Programs/Tirrel"
        menu="$user_dir/AppData/Roaming/Microsoft/Windows/Start Menu/Programs"
        key=${uninstall_key/HKLM/HKCU}
    fi
    log "-- installing for $mode"
    run setup "$setup" /S "/$mode"
    [ "$E2E_STATUS" -eq 0 ] || fail "the installer for $mode exited with status $E2E_STATUS"
    [ -d "$dir" ] || fail "nothing installed at $dir: $(find "$drive" -name tirrel.exe | head -n 3)"
    (cd "$folder" && find . -type f | sort) >"$E2E_TMP/expected.txt"
    (cd "$dir" && find . -type f | sort) >"$E2E_TMP/installed.txt"
    extra=$(comm -13 "$E2E_TMP/expected.txt" "$E2E_TMP/installed.txt")
    missing=$(comm -23 "$E2E_TMP/expected.txt" "$E2E_TMP/installed.txt")
    [ -z "$missing" ] || fail "not installed for $mode: $missing"
    [ "$extra" = ./uninstall.exe ] || fail "installed for $mode beyond the folder and the uninstaller: $extra"
    while read -r file; do
        cmp -s "$folder/$file" "$dir/$file" || fail "$file was installed changed"
    done <"$E2E_TMP/expected.txt"
    for file in "${synthesizer_files[@]}"; do
        [ -s "$dir/$file" ] || fail "the synthesizer's $file was not installed for $mode"
    done
    unresolved=$(unresolved_imports "$dir")
    [ -z "$unresolved" ] || fail "installed for $mode without a DLL it needs: $unresolved"
    [ -f "$menu/Tirrel.lnk" ] || fail "no Start-menu entry in $menu"
    registered "$key" || fail "no entry $key in the list of programs"

    start_installed "$dir"

    log "-- uninstalling for $mode"
    # The uninstaller runs a copy of itself from the temporary directory and returns at once.
    run uninstall "$dir/uninstall.exe" /S
    [ "$E2E_STATUS" -eq 0 ] || fail "the uninstaller exited with status $E2E_STATUS"
    # The copy removes the folder before the shortcut and the entry: wait for all three.
    gone() { [ ! -e "$dir" ] && [ ! -e "$menu/Tirrel.lnk" ] && ! registered "$key"; }
    _e2e_poll "$E2E_TIMEOUT" "" gone || true
    [ ! -e "$dir" ] || fail "left behind for $mode: $(cd "$dir" && find . | paste -sd' ')"
    [ ! -e "$menu/Tirrel.lnk" ] || fail "the Start-menu entry stayed"
    ! registered "$key" || fail "the entry $key stayed in the list of programs"
done
echo "PASS"
