# Wine for the Windows build's tests, sourced by the scripts in tests/windows/.
#
# A Wine prefix takes about 12 s to boot and 700 MB, so each build boots one, wine/base in the
# build directory, once; the unit tests share a copy of it with Wine's null display driver
# (wine/unit), and each test of the program gets a fresh copy of its own, which costs a second.
# Base and unit copy are made each under a lock of its own, as CTest starts tests in parallel.

# The settings every prefix here has:
# - a crash ends the process at once, instead of starting winedbg, which took 9 minutes to
#   write its report of one crash here;
# - Windows 10, the oldest Windows Qt 6 runs on (Wine 8 says Windows 7 by default).
_wine_settings='Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\AeDebug]
"Debugger"=-

[HKEY_CURRENT_USER\Software\Wine]
"Version"="win10"
'
# The unit tests' settings. Qt's offscreen platform draws without a display, but Qt's event
# loop makes hidden windows, and Wine refuses to create any window unless a display driver
# loads; the null driver does without X. Wine passes no QT_ variable from Linux to Windows
# programs, so that the Linux desktop's Qt settings cannot reach them: the tests' own go into
# the user's environment in the registry. Qt logs to the debugger, not to stdout, unless told
# otherwise, where it sees no console window, as under Wine. The plugins are where the build
# found Qt. The offscreen platform on Windows reads fonts from one directory, Qt's lib/fonts
# by default, which this Qt has not: the CJK font the set-up installs is the one given.
_wine_unit_settings='Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\Software\Wine\Drivers]
"Graphics"="null"

[HKEY_CURRENT_USER\Environment]
"QT_QPA_PLATFORM"="offscreen"
"QT_FORCE_STDERR_LOGGING"="1"
"QT_PLUGIN_PATH"="@plugins@"
"QT_QPA_FONTDIR"="Z:\\usr\\share\\fonts\\truetype\\wqy"
'

_wine_log() { printf '%s\n' "$*" >&2; }

# wine_init BUILD_DIR: finds Wine and what the build says about its DLLs; exits 77 (skip)
# when Wine is not installed. Sets WINE_LOADER, WINE_SERVER and WINE_DIR, exports WINEDEBUG
# (quiet unless the caller asked otherwise) and WINEDLLOVERRIDES.
wine_init() {
    local build=$1
    WINE_LOADER=$(command -v wine64 || echo /usr/lib/wine/wine64)
    WINE_SERVER=$(command -v wineserver || echo /usr/lib/wine/wineserver)
    if [ ! -x "$WINE_LOADER" ] || [ ! -x "$WINE_SERVER" ]; then
        _wine_log "SKIP: wine64 is not installed (the Windows stage of scripts/test.sh installs it)"
        exit 77
    fi
    WINE_DIR=$(realpath -m "$build/wine")
    [ -f "$WINE_DIR/paths.sh" ] || { _wine_log "no $WINE_DIR/paths.sh: $build is not a cross build for Windows"; exit 1; }
    source "$WINE_DIR/paths.sh"
    export WINEDEBUG=${WINEDEBUG:--all}
    # Wine offers to download its .NET and HTML engines into a new prefix; there is no network.
    export WINEDLLOVERRIDES="mscoree,mshtml="
}

# _wine_import PREFIX TEXT: applies registry settings to a prefix no Wine process uses.
_wine_import() {
    local prefix=$1 file
    file=$(mktemp "${TMPDIR:-/tmp}/tirrel-wine.XXXXXX.reg")
    printf '%s' "$2" >"$file"
    WINEPREFIX=$prefix DISPLAY= "$WINE_LOADER" regedit /S "$(_wine_path "$file")" >/dev/null 2>&1
    WINEPREFIX=$prefix "$WINE_SERVER" -w
    rm -f "$file"
}

# _wine_path PATH: a Unix path as Windows programs under Wine see it (drive Z: is /).
_wine_path() { local p; p=$(realpath -m "$1"); printf 'Z:%s' "${p//\//\\}"; }

# _wine_ready PREFIX MAKE STAMP: unless PREFIX was made for STAMP, makes it afresh with
# MAKE PREFIX, under the lock.
_wine_ready() {
    local prefix=$1 make=$2 stamp=$3
    mkdir -p "$WINE_DIR"
    [ "$(cat "$prefix/.tirrel-stamp" 2>/dev/null)" = "$stamp" ] && return 0
    (
        flock 9
        if [ "$(cat "$prefix/.tirrel-stamp" 2>/dev/null)" != "$stamp" ]; then
            rm -rf "$prefix"
            "$make" "$prefix"
            printf '%s' "$stamp" >"$prefix/.tirrel-stamp"
        fi
    ) 9>"$prefix.lock"
}

_wine_boot() {
    local prefix=$1 started=$EPOCHREALTIME
    _wine_log "booting the Wine prefix $prefix"
    # No display: nothing of the boot is meant to be seen.
    if ! WINEPREFIX=$prefix DISPLAY= "$WINE_LOADER" wineboot -i >"$WINE_DIR/boot.log" 2>&1; then
        tail -n 20 "$WINE_DIR/boot.log" >&2
        _wine_log "wineboot failed"
        exit 1
    fi
    WINEPREFIX=$prefix "$WINE_SERVER" -w
    _wine_import "$prefix" "$_wine_settings"
    _wine_log "booted in $(awk "BEGIN { printf \"%.1f\", $EPOCHREALTIME - $started }") s"
}

_wine_unit() {
    local prefix=$1 plugins
    wine_fresh_prefix "$prefix"
    plugins=$(_wine_path "$wine_qt_plugins")
    # Backslashes are doubled in a registry file.
    plugins=${plugins//\\/\\\\}
    _wine_import "$prefix" "${_wine_unit_settings//@plugins@/"$plugins"}"
}

# wine_unit_prefix: the prefix the unit tests share; exports WINEPREFIX.
wine_unit_prefix() {
    _wine_ready "$WINE_DIR/unit" _wine_unit "$wine_qt_plugins"
    export WINEPREFIX=$WINE_DIR/unit
}

# wine_fresh_prefix DIR: a fresh copy of the booted prefix at DIR; exports WINEPREFIX.
wine_fresh_prefix() {
    _wine_ready "$WINE_DIR/base" _wine_boot booted
    cp -a "$WINE_DIR/base" "$1"
    rm -f "$1/.tirrel-stamp"
    export WINEPREFIX=$1
}

# wine_dll_path: WINEPATH for programs run from the build directory, which find their DLLs there.
wine_dll_path() {
    local dir path=""
    for dir in "${wine_dll_dirs[@]}"; do
        path+="${path:+;}$(_wine_path "$dir")"
    done
    printf '%s' "$path"
}

# wine_start_server: the Wine server of WINEPREFIX, started here once DISPLAY is set (a server
# started without it leaves its programs' windows on no display), and recorded like the test's
# other servers. At exit every Wine process of the prefix ends with it: the programs Wine starts
# on its own (services.exe, explorer.exe and the like) each lead a session of their own. Needs
# lib.sh and start_xvfb.
wine_start_server() {
    [ -n "${DISPLAY:-}" ] || fail "wine_start_server needs start_xvfb first"
    spawn wineserver "$WINE_SERVER" -f -p
    E2E_WINESERVER_PID=$E2E_PID
    # Ready once it listens: its socket's directory has a name of its own choosing.
    _wine_listens() { find "/proc/$E2E_WINESERVER_PID/fd" -lname 'socket:*' 2>/dev/null | grep . >/dev/null; }
    _e2e_poll "$E2E_TIMEOUT" "$E2E_WINESERVER_PID" _wine_listens || fail "the Wine server did not start"
    trap _wine_end EXIT
}

_wine_end() {
    local status=$?
    # cleanup takes the test's status from $?, which a failing `(exit)` would end the shell on.
    set +e
    "$WINE_SERVER" -k 2>/dev/null
    (exit "$status")
    cleanup
}
