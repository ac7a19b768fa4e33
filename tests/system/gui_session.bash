# Sourced by the system tests that drive the real program's window: a
# display, a sound server and an accessibility bus of their own where the
# runner gives none, copies of the program with their own data files, and
# cleanup of everything they started.
#
# Every helper process is started in a process group of its own, so that
# the cleanup ends it together with what it spawned (the accessibility bus
# launcher starts a bus daemon and a registry daemon).

: "${VOXLET_SOURCE_DIR:?}" "${VOXLET_BINARY_DIR:?}"
gui_here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
gui_tmp=$(mktemp -d /tmp/voxlet-gui.XXXXXX)
svc_dir=$gui_tmp/services
source "$VOXLET_SOURCE_DIR/scripts/services.sh"
gui_cleanups=()
status=0

gui_cleanup() {
    local i log
    if [ "$status" -ne 0 ]; then
        for log in $(find "$gui_tmp" -name '*.log' 2>/dev/null); do
            [ -s "$log" ] || continue
            echo "--- ${log#"$gui_tmp"/} (end)"
            tail -n 20 "$log"
        done
    fi
    # Newest first: programs before their display, bus and sound server.
    svc_stop
    # Then what the processes lived in (network namespaces).
    for ((i = ${#gui_cleanups[@]} - 1; i >= 0; i--)); do
        eval "${gui_cleanups[i]}" || true
    done
    rm -rf "$gui_tmp"
}
trap gui_cleanup EXIT
trap 'exit 130' INT TERM

fail() {
    echo "FAIL: $*"
    status=1
}

skip() {
    echo "SKIP: $*"
    exit 77
}

# Skips the test unless every tool is there.
need() {
    local t
    for t in "$@"; do
        command -v "$t" >/dev/null 2>&1 || skip "$t is missing (see scripts/packages.d/base.txt)"
    done
}

need_accessibility() {
    need dbus-daemon dbus-send
    [ -x /usr/libexec/at-spi-bus-launcher ] || skip "at-spi-bus-launcher is missing (at-spi2-core)"
    /usr/bin/python3 -c 'import pyatspi' 2>/dev/null || skip "python3-pyatspi is missing"
}

need_program() {
    [ -x "$VOXLET_BINARY_DIR/src/voxlet" ] || skip "$VOXLET_BINARY_DIR/src/voxlet is not built"
    local wav
    for wav in Ring.wav Anybody.wav Ans.wav; do
        [ -f "$VOXLET_BINARY_DIR/src/$wav" ] || skip "$wav is not beside the program"
    done
}

# Starts "$@" in a process group of its own; its pid is in $bg_pid.
start_bg() {
    svc_start "$@"
    bg_pid=$svc_pid
}

# Starts a stand-in desktop service: desktop_service.py MODE LOG [ARG]; its
# pid in $bg_pid.
start_desktop_service() {
    start_bg "$gui_tmp/$1.log" /usr/bin/python3 "$gui_here/desktop_service.py" "$@"
    wait_until 10 grep -q ready "$gui_tmp/$1.log" || { cat "$gui_tmp/$1.log"; fail "the test $1 service did not start"; exit 1; }
}

# The stand-in notification service on the session bus: each call a JSON
# line in $notices; each "ID ACTION" line appended to $control clicks that
# action. Its pid is in $service_pid.
start_notification_service() {
    notices=$gui_tmp/notices.jsonl
    control=$gui_tmp/notices.control
    : >"$notices"
    : >"$control"
    start_desktop_service notifications "$notices" "$control"
    service_pid=$bg_pid
}

# Waits up to $1 seconds for the command "${@:2}" to succeed.
wait_until() {
    local seconds=$1
    shift
    local end=$((SECONDS + seconds))
    until "$@"; do
        ((SECONDS >= end)) && return 1
        sleep 0.1
    done
}

# The runner's display, or a private Xvfb. A test that only talks to the
# program through the accessibility bus (no keys, no focus, no tray) sets
# gui_own_display=1 first: it takes a display of its own and runs beside
# the others (tests/CMakeLists.txt).
use_display() {
    local reuse=(--reuse)
    [ "${gui_own_display:-0}" = 1 ] && reuse=()
    svc_display "${reuse[@]}" 2>"$gui_tmp/display-why.txt" || skip "$(cat "$gui_tmp/display-why.txt")"
}

# The runner's sound server, or a private one with the same virtual devices.
# Without one the program opens its window only after a modal device box.
use_sound() {
    svc_sound --reuse 2>"$gui_tmp/sound-why.txt" || skip "$(cat "$gui_tmp/sound-why.txt")"
}

# A session bus of our own with the accessibility bus on it.
use_accessibility() {
    svc_session_bus 2>"$gui_tmp/bus-why.txt" && svc_accessibility 2>>"$gui_tmp/bus-why.txt" ||
        skip "$(cat "$gui_tmp/bus-why.txt")"
}

# A copy of the program in folder $1 with the own name $2: the program keeps
# its data files beside its executable.
copy_program() {
    local dir=$1 name=$2
    mkdir -p "$dir"
    cp "$VOXLET_BINARY_DIR/src/voxlet" "$VOXLET_BINARY_DIR/src/Ring.wav" \
        "$VOXLET_BINARY_DIR/src/Anybody.wav" "$VOXLET_BINARY_DIR/src/Ans.wav" "$dir/"
    # Profile: name, sex, age, password, comment; then the server's address.
    printf '%s,M,30,pw,hello\r\n\r\n' "$name" >"$dir/name.txt"
    : >"$dir/Tel.txt"
}

# Starts a copy with accessibility on; "$@" may put a wrapper (ip netns exec
# NAME) before the program. Sets $app_pid (the program's own pid).
start_program() {
    local dir=$1
    shift
    # What the program learns and keeps stays with this copy.
    start_bg "$dir/out.log" "$@" env QT_QPA_PLATFORM=xcb QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 \
        XDG_DATA_HOME="$dir/state" "$dir/voxlet"
    app_pid=$bg_pid
}

# The program, and a display, a sound server and an accessibility bus of
# the test's own.
use_window_session() {
    need_accessibility
    need_program
    use_display
    use_sound
    use_accessibility
}

# Starts the copy in $1 as start_program does and waits until its window is
# on the accessibility bus; the test ends when it does not come.
start_and_show() {
    start_program "$@"
    drive wait-app --pid "$app_pid" --timeout 30 && return 0
    cat "$1/out.log"
    fail "the main window did not appear on the accessibility bus"
    exit $status
}

# "SERVER", and the program listens (in $listener).
choose_server() {
    drive press --pid "$app_pid" --role "menu item" --name SERVER || fail "\"SERVER\" could not be chosen"
    drive wait-text --pid "$app_pid" --name "状態" --text "待機します。" || { fail "no \"待機します。\""; exit $status; }
    find_listener || { fail "nothing listens on port 8002"; exit $status; }
}

# Puts the program into a network namespace of its own (as root), so that
# its port 8002 is free whatever else runs: the wrapper is in ${in_ns[@]}.
use_own_namespace() {
    local ns=voxlet-$1-$$
    in_ns=()
    if [ "$(id -u)" -eq 0 ] && timeout 10 ip netns add "$ns" 2>/dev/null; then
        gui_cleanups+=("timeout 10 ip netns del $ns")
        timeout 10 ip -n "$ns" link set lo up || skip "no loopback in the namespace"
        in_ns=(ip netns exec "$ns")
    fi
}

# The address the program listens on (ADDRESS:PORT), in $listener.
find_listener() {
    listener=$("${in_ns[@]}" ss -Hltn 'sport = :8002' | awk '{ print $4; exit }')
    [ -n "$listener" ]
}

# A raw caller named $1 (see raw_caller.py for $2 and $3), in the program's
# namespace; it writes what it heard to $gui_tmp/caller-$1.out.
# Each from an address of its own on loopback: the phone lets only a few
# callers from one address ring in a minute.
raw_calls=0
raw_call() {
    local from=
    raw_calls=$((raw_calls + 1))
    case $listener in 127.* | 0.0.0.0:* | \*:*) from=127.0.$((raw_calls / 250 + 1)).$((raw_calls % 250 + 2)) ;; esac
    RAW_CALLER_FROM=$from "${in_ns[@]}" /usr/bin/python3 "$gui_here/raw_caller.py" "$listener" "$1" "$2" "$3" \
        >"$gui_tmp/caller-$1.out" 2>&1 &
    caller_pid=$!
}

drive() {
    timeout 60 /usr/bin/python3 "$gui_here/atspi_driver.py" "$@"
}

# Waits up to $2 seconds for process $1 to end; its exit status in $app_status.
wait_exit() {
    local pid=$1 seconds=$2
    wait_until "$seconds" eval "! kill -0 $pid 2>/dev/null" || return 1
    wait "$pid"
    app_status=$?
    return 0
}
