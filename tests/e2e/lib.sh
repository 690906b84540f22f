# Helpers for end-to-end tests of the real program, sourced by bash test scripts run from CTest.
#
# Each start_* function brings up one private server and exports what its clients need, so tests
# that run at the same time never share a server. Every background process is started as the
# leader of its own session and recorded; `cleanup`, installed as the EXIT trap, ends exactly those
# process groups (never the test's own) and removes the temporary directory. Every wait has a
# deadline and fails with a message saying what did not happen.
#
# A server that cannot start makes the test skip (exit 77) rather than fail: the machine lacks
# something, the program is not at fault. Scripts that need their own exit steps should call
# `cleanup` from them instead of replacing the trap.

set -euo pipefail
# Under pipefail, `cmd | grep -q` fails now and then: grep exits at the first match and cmd dies
# of SIGPIPE. Pipelines here let the reader take all input (grep >/dev/null, sed -n 1p).

# With job control on, setsid would fork and $! would name a process that exits at once.
set +m

E2E_TIMEOUT=${E2E_TIMEOUT:-10}
E2E_TMP=$(mktemp -d "${TMPDIR:-/tmp}/tirrel-e2e.XXXXXX")
e2e_pids=()
e2e_names=()
# What JACK's clients, the program among them, run through: nothing for jackd's libjack, or, when
# the test runs on PipeWire (TIRREL_TEST_SOUND_SERVER=pipewire), pw-jack for PipeWire's, which it
# puts first in the library path: PipeWire is then the JACK server as well (start_jack).
e2e_jack_lib=()
[ "${TIRREL_TEST_SOUND_SERVER:-}" != pipewire ] || e2e_jack_lib=(pw-jack)

log() { printf '%s\n' "$*" >&2; }
fail() { log "FAIL: $*"; exit 1; }
skip() { log "SKIP: $*"; exit 77; }

_e2e_now_ms() { local t=${EPOCHREALTIME/[.,]/}; echo $((t / 1000)); }

# _e2e_tail FILE: the end of a server's log, for the message that explains a failure.
_e2e_tail() { [ -s "$1" ] && sed -e 's/^/    /' <(tail -n 15 "$1") >&2 || true; }

# _e2e_spawn NAME LOG CMD...: starts CMD in the background in a new session; its pid (also its
# process group) is left in E2E_PID. Not a subshell, so that the pid stays recorded.
_e2e_spawn() {
    local name=$1 logfile=$2
    shift 2
    setsid "$@" </dev/null >"$logfile" 2>&1 &
    E2E_PID=$!
    e2e_pids+=("$E2E_PID")
    e2e_names+=("$name")
}

# _e2e_why PID: why a wait for a server ended without success.
_e2e_why() { _e2e_alive "$1" && echo "did not answer within ${E2E_TIMEOUT} s" || echo "exited at start"; }

_e2e_alive() { [ -d "/proc/$1" ] && [ "$(_e2e_state "$1")" != Z ]; }
# Field 3 of /proc/PID/stat, read after the command name, which may hold spaces or parentheses.
_e2e_state() { local s; s=$(cat "/proc/$1/stat" 2>/dev/null) || return 0; s=${s##*) }; echo "${s%% *}"; }
_e2e_pgid() { local s; s=$(cat "/proc/$1/stat" 2>/dev/null) || return 0; s=${s##*) }; set -- $s; echo "$3"; }

# _e2e_poll TIMEOUT_S PID CMD...: true once CMD succeeds; false when the time is up or, if PID is
# not empty, as soon as that process has died (no point waiting for a server that is gone).
_e2e_poll() {
    local timeout=$1 pid=$2
    shift 2
    local deadline=$(($(_e2e_now_ms) + timeout * 1000))
    while true; do
        "$@" >/dev/null 2>&1 && return 0
        [ -n "$pid" ] && ! _e2e_alive "$pid" && return 1
        [ "$(_e2e_now_ms)" -ge "$deadline" ] && return 1
        sleep 0.05
    done
}

# spawn NAME CMD...: starts CMD (the program under test, a helper client) like the servers: in its
# own session, recorded for cleanup, output in $E2E_TMP/NAME.log. Its pid is left in E2E_PID.
spawn() {
    local name=$1
    shift
    _e2e_spawn "$name" "$E2E_TMP/$name.log" "$@"
}

# spawn_program NAME CMD...: spawn, with the JACK library of the test's JACK server.
spawn_program() { spawn "$1" "${e2e_jack_lib[@]}" "${@:2}"; }

# wait_until DESCRIPTION CMD...: waits until CMD succeeds; fails after E2E_TIMEOUT seconds with a
# message saying what did not happen.
wait_until() {
    local what=$1
    shift
    _e2e_poll "$E2E_TIMEOUT" "" "$@" || fail "timed out after ${E2E_TIMEOUT} s waiting until $what"
}

# _e2e_signal SIGNAL PID: signals the process group that PID leads (setsid made it a leader, and
# the group outlives it while any member is left), or PID alone if it leads no group; never the
# group this script runs in. Bash reaps a finished child at once, so the leader may be gone.
_e2e_signal() {
    local sig=$1 pid=$2
    if [ "$pid" != "$(_e2e_pgid $$)" ] && { [ "$(_e2e_pgid "$pid")" = "$pid" ] || pgrep -g "$pid" >/dev/null; }; then
        kill -s "$sig" -- "-$pid" 2>/dev/null || true
    else
        kill -s "$sig" "$pid" 2>/dev/null || true
    fi
}

# _e2e_running PID: PID or a process of its group is still running. Zombies do not count: one
# whose parent died is re-parented to init, which here may never reap it.
_e2e_running() {
    local p
    _e2e_alive "$1" && return 0
    for p in $(pgrep -g "$1" 2>/dev/null); do
        _e2e_alive "$p" && return 0
    done
    return 1
}

# _e2e_wait_gone PID MS: true once nothing of PID's group runs any more, false after MS milliseconds.
_e2e_wait_gone() {
    local deadline=$(($(_e2e_now_ms) + $2))
    while _e2e_running "$1"; do
        [ "$(_e2e_now_ms)" -ge "$deadline" ] && return 1
        sleep 0.02
    done
}

_e2e_describe() { ps -o pid=,stat=,wchan:20=,args= -p "$(pgrep -d, -g "$1" || echo "$1")" 2>/dev/null | tr -s ' ' | paste -sd';'; }

# _e2e_unrecord PID: takes a process off the records that cleanup works through; leaves its name
# in E2E_NAME, empty if it was not recorded.
_e2e_unrecord() {
    local i
    E2E_NAME=""
    for i in "${!e2e_pids[@]}"; do
        [ "${e2e_pids[i]}" = "$1" ] || continue
        E2E_NAME=${e2e_names[i]}
        unset 'e2e_pids[i]' 'e2e_names[i]'
    done
    e2e_pids=("${e2e_pids[@]}")
    e2e_names=("${e2e_names[@]}")
}

# stop_process PID: ends one process started here, and the rest of its process group: SIGTERM,
# then SIGKILL after 5 s.
stop_process() {
    local pid=$1 name
    _e2e_unrecord "$pid"
    name=$E2E_NAME
    [ -n "$name" ] || fail "stop_process: $pid was not started by these helpers"
    _e2e_signal TERM "$pid"
    if ! _e2e_wait_gone "$pid" 5000; then
        log "stopping $name (pid $pid): still running 5 s after SIGTERM ($(_e2e_describe "$pid")); killing it"
        _e2e_signal KILL "$pid"
        _e2e_wait_gone "$pid" 5000 || log "stopping $name (pid $pid): still there after SIGKILL: $(_e2e_describe "$pid")"
    fi
    wait "$pid" 2>/dev/null || true
}

# wait_for_exit PID [TIMEOUT_S]: waits until a process started here ends of its own accord, and
# the rest of its process group with it; leaves its exit status in E2E_STATUS (128 + N after
# signal N). Fails, leaving the process to cleanup, if anything of it still runs after TIMEOUT_S
# seconds. Bash keeps the status of a finished background child until it is waited for, so the
# process may have ended long before.
wait_for_exit() {
    local pid=$1 timeout=${2:-$E2E_TIMEOUT}
    _e2e_wait_gone "$pid" $((timeout * 1000)) \
        || fail "process $pid still runs ${timeout} s later: $(_e2e_describe "$pid")"
    _e2e_unrecord "$pid"
    [ -n "$E2E_NAME" ] || fail "wait_for_exit: $pid was not started by these helpers"
    E2E_STATUS=0
    wait "$pid" || E2E_STATUS=$?
}

# Ends every recorded process, last started first (clients before their servers), and removes
# the temporary directory. Safe to call again.
cleanup() {
    local status=$? f pid
    while [ "${#e2e_pids[@]}" -gt 0 ]; do
        pid=${e2e_pids[-1]}
        [ "$pid" != "${E2E_JACK_PID:-}" ] || [ -z "${E2E_JACK_SERVER:-}" ] || _e2e_jack_settle
        stop_process "$pid"
    done
    [ -z "${E2E_JACK_SERVER:-}" ] || _e2e_jack_reclaim "$E2E_JACK_SERVER"
    # A failed run shows what the servers and programs said; the directory goes with the run.
    if [ "$status" -ne 0 ] && [ "$status" -ne 77 ]; then
        for f in "$E2E_TMP"/*.log; do
            [ -s "$f" ] && log "--- ${f##*/}:" && _e2e_tail "$f"
        done
    fi
    rm -rf "$E2E_TMP"
    return $status
}

# e2e_leftovers PID...: prints, for each given process, what still runs of it or of its group;
# prints nothing when cleanup did its job.
e2e_leftovers() {
    local pid
    for pid in "$@"; do
        _e2e_running "$pid" && echo "$pid: $(_e2e_describe "$pid")"
    done
    return 0
}

trap cleanup EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

# start_pulse: a PulseAudio server with one null sink named "null", in a private runtime directory.
# Exports XDG_RUNTIME_DIR and PULSE_SERVER. Runs in the foreground rather than with -D: a
# daemonised server is re-parented to init, which here does not reap it, and it would linger as a
# zombie that looks alive.
start_pulse() {
    command -v pulseaudio >/dev/null || skip "pulseaudio is not installed"
    command -v pactl >/dev/null || skip "pactl is not installed"
    local run=$E2E_TMP/runtime home=$E2E_TMP/pulse-home
    mkdir -m 700 -p "$run" "$home"
    export XDG_RUNTIME_DIR=$run
    export PULSE_SERVER=unix:$run/pulse/native
    # A private HOME keeps its cookie out of root's; anonymous access lets clients connect with
    # whatever cookie they have. Without DISPLAY it does not try to launch a D-Bus session.
    _e2e_spawn pulseaudio "$E2E_TMP/pulseaudio.log" \
        env -u DISPLAY -u XDG_CONFIG_HOME HOME="$home" \
        pulseaudio --daemonize=no --exit-idle-time=-1 -n --log-target=stderr \
        --load="module-null-sink sink_name=null" \
        --load="module-native-protocol-unix auth-anonymous=1"
    E2E_PULSE_PID=$E2E_PID
    E2E_SOUND_PID=$E2E_PID
    if ! _e2e_poll "$E2E_TIMEOUT" "$E2E_PULSE_PID" pactl info; then
        _e2e_tail "$E2E_TMP/pulseaudio.log"
        skip "PulseAudio $(_e2e_why "$E2E_PULSE_PID")"
    fi
}

# start_pipewire: a PipeWire server with its PulseAudio service and one null sink named "null", the
# default sink, in a private runtime directory, as start_pulse has it. WirePlumber, which links new
# streams to the default sink, exits without a session bus, so the first call starts a private one
# for the test. Exports XDG_RUNTIME_DIR, PULSE_SERVER and DBUS_SESSION_BUS_ADDRESS. The graph, the
# session manager and the PulseAudio service are one process group, E2E_PIPEWIRE_PID (also
# E2E_SOUND_PID), so that kill_server ends all three, as the end of a user's session would, whichever
# of them the program talks to. JACK clients reach it through PipeWire's libjack: see start_jack.
start_pipewire() {
    local tool run=$E2E_TMP/runtime home=$E2E_TMP/pipewire-home bus=$E2E_TMP/pipewire-bus
    for tool in pipewire wireplumber pipewire-pulse pactl dbus-daemon; do
        command -v "$tool" >/dev/null || skip "$tool is not installed"
    done
    mkdir -m 700 -p "$run" "$home"
    export XDG_RUNTIME_DIR=$run
    export PULSE_SERVER=unix:$run/pulse/native
    if [ -z "${E2E_PIPEWIRE_BUS_PID:-}" ]; then
        _e2e_spawn dbus "$E2E_TMP/pipewire-bus.log" dbus-daemon --session --nofork --address="unix:path=$bus"
        E2E_PIPEWIRE_BUS_PID=$E2E_PID
        _e2e_poll "$E2E_TIMEOUT" "$E2E_PID" test -S "$bus" || skip "the session bus for PipeWire $(_e2e_why "$E2E_PID")"
        export DBUS_SESSION_BUS_ADDRESS=unix:path=$bus
    fi
    # The other two connect to the graph's socket and give up if it is not there yet; a killed
    # server's socket stays behind until the next one replaces it. WirePlumber keeps the chosen
    # default sink in its state directory: a private HOME keeps it out of root's.
    rm -f "$run/pipewire-0"
    _e2e_spawn pipewire "$E2E_TMP/pipewire.log" \
        env -u DISPLAY -u XDG_CONFIG_HOME -u XDG_STATE_HOME HOME="$home" sh -c '
            pipewire & graph=$!
            while [ ! -S "$XDG_RUNTIME_DIR/pipewire-0" ]; do kill -0 $graph || exit 1; sleep 0.02; done
            wireplumber & pipewire-pulse & wait'
    E2E_PIPEWIRE_PID=$E2E_PID
    E2E_SOUND_PID=$E2E_PID
    if ! _e2e_poll "$E2E_TIMEOUT" "$E2E_PIPEWIRE_PID" pactl info; then
        _e2e_tail "$E2E_TMP/pipewire.log"
        skip "PipeWire $(_e2e_why "$E2E_PIPEWIRE_PID")"
    fi
    # The sink is now and then refused at first ("Failure: Not supported", in 1 of 10 runs of
    # tst_fault_jack on PipeWire, on a server started again), and is listed a little after it was
    # made: a default sink named before that is refused.
    local loaded=""
    _e2e_null_sink() {
        pactl list short sinks | awk '$2 == "null" { found = 1 } END { exit !found }' && return 0
        [ -n "$loaded" ] || { pactl load-module module-null-sink sink_name=null rate=48000 && loaded=1; }
        return 1
    }
    _e2e_poll "$E2E_TIMEOUT" "$E2E_PIPEWIRE_PID" _e2e_null_sink || fail "PipeWire's PulseAudio service made no null sink"
    _e2e_default_sink_is_null() { pactl set-default-sink null && pactl info | grep -x "Default Sink: null"; }
    _e2e_poll "$E2E_TIMEOUT" "$E2E_PIPEWIRE_PID" _e2e_default_sink_is_null \
        || fail "PipeWire's default sink did not become the null sink: $(pactl info | grep Default)"
}

# start_sound_server: the sound server the test plays into. TIRREL_TEST_SOUND_SERVER chooses it
# (pulseaudio or pipewire: CTest runs the tests that play sound once on each, labelled so);
# without it, PulseAudio's own server where it is installed, else PipeWire.
start_sound_server() {
    case ${TIRREL_TEST_SOUND_SERVER:-} in
        pulseaudio) start_pulse ;;
        pipewire) start_pipewire ;;
        "") if command -v pulseaudio >/dev/null; then start_pulse; else start_pipewire; fi ;;
        *) fail "TIRREL_TEST_SOUND_SERVER is '$TIRREL_TEST_SOUND_SERVER', not pulseaudio or pipewire" ;;
    esac
}

# start_jack [NAME [FRAMES]]: a JACK server on the dummy driver at 48 kHz with periods of FRAMES
# frames (64 by default). NAME is a prefix; the shell's pid is appended so that tests run at once
# never meet. Exports JACK_DEFAULT_SERVER, and JACK_NO_START_SERVER=1 so that no client ever
# starts a server of its own. Without real-time scheduling, clients on a busy machine miss some of
# the 1.3 ms periods, and a capture that missed one was seen to lose part of a burst of messages,
# or the last one sent before the sending port closed; longer periods are missed far less often.
#
# On PipeWire (e2e_jack_lib), PipeWire is the JACK server: no jackd starts, JACK's clients run
# through pw-jack with a quantum of FRAMES, and E2E_JACK_PID is PipeWire's, which this starts
# (again, if the test killed it) unless it runs.
start_jack() {
    if [ ${#e2e_jack_lib[@]} -gt 0 ]; then
        command -v pw-jack >/dev/null || skip "pw-jack (pipewire-jack) is not installed"
        export JACK_NO_START_SERVER=1
        export PIPEWIRE_QUANTUM=${2:-64}/48000
        [ -n "${E2E_PIPEWIRE_PID:-}" ] && _e2e_running "$E2E_PIPEWIRE_PID" || start_pipewire
        E2E_JACK_PID=$E2E_PIPEWIRE_PID
        return 0
    fi
    command -v jackd >/dev/null || skip "jackd is not installed"
    name_jack "${1:-tirrel}"
    ! _e2e_jack_running || fail "a JACK server named $JACK_DEFAULT_SERVER is already running"
    _e2e_spawn jackd "$E2E_TMP/jackd.log" \
        jackd -n "$JACK_DEFAULT_SERVER" --no-realtime -d dummy -r 48000 -p "${2:-64}"
    E2E_JACK_PID=$E2E_PID
    E2E_JACK_SERVER=$JACK_DEFAULT_SERVER
    # jack_wait -w looks once a second; polling its -c mode finds the server in about 0.1 s.
    if ! _e2e_poll "$E2E_TIMEOUT" "$E2E_JACK_PID" _e2e_jack_running; then
        _e2e_tail "$E2E_TMP/jackd.log"
        skip "JACK server $JACK_DEFAULT_SERVER $(_e2e_why "$E2E_JACK_PID")"
    fi
}

# name_jack NAME: exports the server name and JACK_NO_START_SERVER as start_jack NAME does, for a
# program started before its JACK server.
name_jack() {
    export JACK_DEFAULT_SERVER="$1-$$"
    export JACK_NO_START_SERVER=1
}

# _e2e_jack_settle: waits until the JACK server has let go of the clients that ended before it. A
# server stopped while it still takes a client out of its graph waits for a cycle that never comes,
# hangs for seconds and is killed: with 1024-frame periods every other run ended so.
_e2e_jack_settle() {
    _e2e_poll 3 "$E2E_JACK_PID" _e2e_jack_only_system || true
}
_e2e_jack_only_system() {
    local ports
    ports=$(_e2e_jack jack_lsp) || return 1
    ! grep -v '^system:' <<<"$ports" >/dev/null
}

# _e2e_jack_reclaim SERVER: now and then jackd hangs on SIGTERM and is killed. A server killed so
# leaves its socket behind and keeps its place in libjack's table of running servers, which holds
# eight; once eight places are lost no JACK server starts any more ("Too many servers already
# active"), for any test, until the machine restarts. A server started under the same name takes
# the place over, and gives it up when it ends properly.
_e2e_jack_reclaim() {
    local server=$1 pid
    local -x JACK_DEFAULT_SERVER=$server
    [ -S "/dev/shm/jack_${server}_$(id -u)_0" ] || return 0
    log "JACK server $server did not end properly; starting it once more to give up its place"
    jackd -n "$server" --no-realtime -d dummy -r 48000 -p 64 </dev/null >>"$E2E_TMP/jackd.log" 2>&1 &
    pid=$!
    _e2e_poll "$E2E_TIMEOUT" "$pid" _e2e_jack_running || true
    kill -s TERM "$pid" 2>/dev/null || true
    if ! _e2e_wait_gone "$pid" 5000; then
        log "JACK server $server hangs again; its place stays taken"
        kill -s KILL "$pid" 2>/dev/null || true
    fi
    wait "$pid" 2>/dev/null || true
    # The semaphores of the clients it had when it was killed; the names are this server's alone.
    rm -f "/dev/shm/jack_sem.$(id -u)_${server}_"*
}

# JACK's command-line clients can hang while connecting (seen with jack_connect started in quick
# succession: "can't connect named futex"), so each call gets a deadline of its own.
# While a client connects, the server calls it back on the socket /dev/shm/jack_CLIENT_UID_0: the
# name is the client's alone, not the server's, so two clients of one name connecting at the same
# moment, even to two different servers, can take each other's call and fail or hear the wrong
# server. jack_lsp always calls itself "lsp", so tests running at once take turns, locking /dev/shm.
# PipeWire's libjack calls no client back through /dev/shm.
_e2e_jack() {
    if [ ${#e2e_jack_lib[@]} -gt 0 ]; then
        timeout 5 "${e2e_jack_lib[@]}" "$@"
    else
        flock -w 10 /dev/shm timeout 5 "$@"
    fi
}
_e2e_jack_running() { [ "$(_e2e_jack jack_wait -c 2>/dev/null)" = running ]; }
# jack_port_exists PORT: the JACK server lists a port of that full name ("client:port").
jack_port_exists() { _e2e_jack jack_lsp 2>/dev/null | grep -xF "$1" >/dev/null; }

# As root, jack_midi_dump's mlockall() pins about 115 MB (180 MB locked) per capture; without
# CAP_IPC_LOCK the lock fails at once, the client prints a warning and runs in 6 MB.
e2e_no_memlock=()
if [ "$(id -u)" = 0 ] && command -v setpriv >/dev/null; then
    e2e_no_memlock=(setpriv --inh-caps=-ipc_lock --bounding-set=-ipc_lock)
fi

# start_midi_capture [CLIENT]: a JACK client with one MIDI input, CLIENT:input (client "capture-PID"
# by default, PID the shell's: client names must differ across all servers, see _e2e_jack), recording
# what arrives. Exports E2E_MIDI_PORT and E2E_MIDI_FILE. Needs start_jack.
# jack_midi_dump writes one line per event and flushes after each batch:
#   "  14016: 90 3c 40 note on  (channel  0): pitch  60, velocity  64"
# (-a: the number is a frame count; then the bytes; then a description, for note and controller
# messages only). It asserts that note and controller messages are three bytes long, so a
# malformed one makes it abort.
start_midi_capture() {
    [ -n "${E2E_JACK_PID:-}" ] || fail "start_midi_capture needs start_jack first"
    local client=${1:-capture-$$}
    # A client's own socket is /dev/shm/jack_CLIENT_UID_0, the server's /dev/shm/jack_SERVER_UID_0:
    # a client named like its server takes the server's socket away, and no later client connects.
    [ "$client" != "${JACK_DEFAULT_SERVER:-}" ] || fail "the capture client may not be named like its JACK server ($client)"
    export E2E_MIDI_PORT=$client:input
    export E2E_MIDI_FILE=$E2E_TMP/midi-$client.txt
    : >"$E2E_MIDI_FILE"
    # stdout goes to the capture file, stderr (the warning about locking memory) to the log.
    _e2e_spawn jack_midi_dump "$E2E_TMP/midi-$client.log" \
        "${e2e_no_memlock[@]}" "${e2e_jack_lib[@]}" sh -c 'exec jack_midi_dump -a "$1" >"$2"' sh "$client" "$E2E_MIDI_FILE"
    E2E_MIDI_PID=$E2E_PID
    if ! _e2e_poll "$E2E_TIMEOUT" "$E2E_MIDI_PID" jack_port_exists "$E2E_MIDI_PORT"; then
        _e2e_tail "$E2E_TMP/midi-$client.log"
        fail "MIDI capture $client $(_e2e_why "$E2E_MIDI_PID")"
    fi
    _e2e_wait_active "$client"
}

# The port is listed before the client is activated, and JACK refuses to connect a port of an
# inactive client: a program connecting to the capture at that moment would fail. Connecting a
# silent probe shows when the capture accepts connections. (The probe's one note starts at frame
# 100 of a 64-frame loop, so it never plays.)
_e2e_wait_active() {
    local client=$1 probe=$1-probe
    command -v jack_midiseq >/dev/null || return 0
    _e2e_spawn jack_midiseq "$E2E_TMP/midi-$probe.log" \
        "${e2e_no_memlock[@]}" "${e2e_jack_lib[@]}" jack_midiseq "$probe" 64 100 60 1
    local probe_pid=$E2E_PID
    _e2e_poll "$E2E_TIMEOUT" "$probe_pid" jack_port_exists "$probe:out" \
        || fail "the probe port $probe:out did not appear within ${E2E_TIMEOUT} s"
    connect_ports "$probe:out" "$E2E_MIDI_PORT"
    stop_process "$probe_pid"
}

# connect_ports SOURCE DESTINATION: connects two JACK ports, retrying while either client is not
# yet active (its ports are listed before it is, and JACK refuses to connect them until then).
connect_ports() {
    _e2e_poll "$E2E_TIMEOUT" "" _e2e_jack jack_connect "$1" "$2" \
        || fail "could not connect $1 to $2 within ${E2E_TIMEOUT} s"
}

# midi_wait COUNT [TIMEOUT_S]: waits until COUNT messages have been captured.
midi_wait() {
    local count=$1 timeout=${2:-$E2E_TIMEOUT}
    if ! _e2e_poll "$timeout" "$E2E_MIDI_PID" _e2e_midi_has "$count"; then
        log "captured so far:"
        _e2e_tail "$E2E_MIDI_FILE"
        fail "expected $count MIDI messages on $E2E_MIDI_PORT within ${timeout} s, got $(_e2e_midi_count)"
    fi
}
_e2e_midi_count() { wc -l <"$E2E_MIDI_FILE"; }
_e2e_midi_has() { [ "$(_e2e_midi_count)" -ge "$1" ]; }

# midi_messages: the captured messages, one per line, as lower-case hex bytes ("90 3c 40").
# The bytes are the two-digit hex fields before the description ("note on ...").
midi_messages() {
    awk '{ m = ""; for (i = 2; i <= NF && $i ~ /^[0-9a-f][0-9a-f]$/; i++) m = m (m == "" ? "" : " ") $i; print m }' \
        "$E2E_MIDI_FILE"
}

# midi_frames: the frame of each captured message (48000 per second, counted from the capture's start).
midi_frames() { awk '{ sub(":", "", $1); print $1 }' "$E2E_MIDI_FILE"; }

# start_xvfb: an X server on a free display, 1024 x 768 at 24 bits and 96 dpi. Exports DISPLAY.
# Display numbers are tried from a random start; Xvfb takes a display with an atomic lock file and
# refuses one that is taken, so a lost race only costs a retry. (Xvfb -displayfd would choose for
# itself but creates no lock file, and xvfb-run -a in another test would then pick the same number.)
# -noreset: by default the server resets when its last client leaves, and a client connecting
# during the reset is refused ("unable to open display"): here about one run in eight failed so.
start_xvfb() {
    command -v Xvfb >/dev/null || skip "Xvfb is not installed"
    command -v xdpyinfo >/dev/null || skip "xdpyinfo is not installed"
    local attempt n
    for attempt in 1 2 3 4 5 6 7 8; do
        n=$((200 + RANDOM % 600))
        [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
        _e2e_spawn Xvfb "$E2E_TMP/xvfb.log" \
            Xvfb ":$n" -screen 0 1024x768x24 -dpi 96 -nolisten tcp -noreset
        E2E_XVFB_PID=$E2E_PID
        if _e2e_poll "$E2E_TIMEOUT" "$E2E_XVFB_PID" xdpyinfo -display ":$n"; then
            export DISPLAY=:$n
            return 0
        fi
        _e2e_alive "$E2E_XVFB_PID" && break
        grep -q "already active" "$E2E_TMP/xvfb.log" || break
    done
    _e2e_tail "$E2E_TMP/xvfb.log"
    skip "Xvfb did not start (last display tried: :$n)"
}

# wait_for_window TITLE [TIMEOUT_S]: prints the id of the first mapped window whose title is
# exactly TITLE.
wait_for_window() {
    local title=$1 timeout=${2:-$E2E_TIMEOUT} pattern
    # xdotool matches an extended regular expression; make the title match only itself.
    pattern="^$(printf '%s' "$title" | sed 's/[][\\.*^$+?(){}|]/\\&/g')\$"
    if ! _e2e_poll "$timeout" "" xdotool search --onlyvisible --name "$pattern"; then
        fail "no window titled '$title' appeared within ${timeout} s"
    fi
    xdotool search --onlyvisible --name "$pattern" | sed -n 1p
}

# other_windows WINDOW: the titles, quoted, one a line, of the visible top-level windows other than
# WINDOW: a program's message boxes and open drop-down lists are windows of their own. They are
# found by class: xdotool's --name misses Qt's drop-down lists, though they have a title.
other_windows() {
    local w
    for w in $(xdotool search --onlyvisible --maxdepth 1 --class . 2>/dev/null); do
        [ "$w" = "$1" ] || printf "'%s'\n" "$(xdotool getwindowname "$w")"
    done
}

# screenshot WINDOW FILE: saves the window's contents as an image (format from FILE's suffix).
screenshot() {
    import -window "$1" "$2" 2>"$E2E_TMP/import.log" || {
        _e2e_tail "$E2E_TMP/import.log"
        fail "could not take a screenshot of window $1"
    }
}

# kill_server PID: ends a server started here at once with SIGKILL, as a crash would, and
# waits until nothing of it runs. A killed JACK server's place is given back by cleanup.
kill_server() {
    local pid=$1
    # Disowned first: bash would print a note of its own about the killed job. It still reaps it.
    disown "$pid" 2>/dev/null || true
    _e2e_signal KILL "$pid"
    _e2e_wait_gone "$pid" 5000 || fail "server $pid still runs 5 s after SIGKILL: $(_e2e_describe "$pid")"
    _e2e_unrecord "$pid"
}

# windows_titled TITLE: the ids of the visible top-level windows titled exactly TITLE, one a line.
windows_titled() {
    local w
    for w in $(xdotool search --onlyvisible --maxdepth 1 --class . 2>/dev/null); do
        [ "$(xdotool getwindowname "$w" 2>/dev/null)" = "$1" ] && echo "$w"
    done
    return 0
}

# expect_windows TITLE COUNT WHAT: exactly COUNT visible top-level windows are titled TITLE; the
# failure says WHAT was going on and which windows show.
expect_windows() {
    local n
    n=$(windows_titled "$1" | grep -c . || true)
    [ "$n" -eq "$2" ] || fail "$3: $n windows titled '$1', expected $2 (showing: $(other_windows none | paste -sd' '))"
}

# answer_box ID: presses Return in a message box and waits until it has gone.
answer_box() {
    local box=$1
    xdotool windowfocus --sync "$box" key Return
    box_gone() { ! xdotool search --onlyvisible --maxdepth 1 --class . 2>/dev/null | grep -xF "$box" >/dev/null; }
    wait_until "box $box goes after Return" box_gone
}

# record_sink FILE: records the null sink's monitor into FILE as raw 16-bit mono samples at
# 48 kHz until the test ends. Needs start_sound_server, and keep_sink_in_step at least 2.2 s before.
record_sink() {
    spawn parec sh -c 'exec parec --raw --format=s16le --channels=1 --rate=48000 --latency-msec=10 \
        --device=null.monitor >"$1"' sh "$1"
}

# keep_sink_in_step: a fresh null sink renders about 2 s ahead of the clock, and a recording of
# its monitor started in that time comes out silent; a silent low-latency stream keeps it in step.
keep_sink_in_step() {
    spawn keep-in-step sh -c 'exec pacat --playback --latency-msec=5 --raw </dev/zero'
}

# sink_peak FILE: the largest absolute sample of a raw recording, 0..32768.
sink_peak() {
    od -An -v -t d2 -w2 "$1" | awk '{ v = $1 < 0 ? -$1 : $1; if (v > m) m = v } END { print m + 0 }'
}

# record_sink_in_step FILE: record_sink, and waits until the recording grows with the clock (96
# bytes a ms): a null sink that renders ahead hands its monitor sound before it is due, and a
# mark taken then would lie after the sounds that follow it.
record_sink_in_step() {
    local file=$1
    record_sink "$file"
    in_step() {
        local before after
        before=$(stat -c %s "$file" 2>/dev/null || echo 0)
        sleep 0.2
        after=$(stat -c %s "$file" 2>/dev/null || echo 0)
        [ $((after - before)) -ge 16000 ] && [ $((after - before)) -le 22400 ]
    }
    wait_until "the recording of the sink keeps pace with the clock" in_step
}

# sink_mark FILE: where a recording (record_sink) has got to now, in bytes, for sink_onsets.
sink_mark() { local size; size=$(stat -c %s "$1"); echo $((size / 2 * 2)); }

# sink_onsets FILE [FROM]: when new sounds start in a raw recording from byte FROM on, one a line,
# in ms from FROM: the 10 ms stretches louder than -40 dBFS (328 of 32768) whose largest step from one
# sample to the next is at least twice any in the 50 ms before, 100 ms or more after the last
# one. A key's attack is a burst of high frequencies; a note that rings on only takes smaller steps.
sink_onsets() {
    local from=${2:-0} context
    context=$((from < 4800 ? from / 960 : 5))  # the 50 ms before FROM, in 10 ms blocks of 960 bytes
    tail -c +$((from - context * 960 + 1)) "$1" | od -An -v -t d2 -w2 | awk -v context="$context" '
        { v = $1 < 0 ? -$1 : $1; d = $1 - prev; if (d < 0) d = -d; prev = $1
          if (v > peak) peak = v; if (NR > 1 && d > step) step = d }
        NR % 480 == 0 { peaks[n] = peak; steps[n++] = step; peak = step = 0 }
        END {
            last = -10
            for (i = context; i < n; i++) {
                before = 0
                for (k = (i < 5 ? 0 : i - 5); k < i; k++) if (steps[k] > before) before = steps[k]
                if (peaks[i] > 328 && steps[i] >= 2 * before && i - last >= 10) { print (i - context) * 10; last = i }
            }
        }'
}
