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
gui_groups=()
gui_cleanups=()
status=0

gui_cleanup() {
    local i pid log
    if [ "$status" -ne 0 ]; then
        for log in $(find "$gui_tmp" -name '*.log' 2>/dev/null); do
            [ -s "$log" ] || continue
            echo "--- ${log#"$gui_tmp"/} (end)"
            tail -n 20 "$log"
        done
    fi
    # Newest first: programs before their display, bus and sound server.
    for ((i = ${#gui_groups[@]} - 1; i >= 0; i--)); do
        pid=${gui_groups[i]}
        kill -TERM -- "-$pid" 2>/dev/null || continue
        for _ in $(seq 50); do
            kill -0 -- "-$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL -- "-$pid" 2>/dev/null || true
    done
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
    local log=$1
    shift
    setsid "$@" >"$log" 2>&1 &
    bg_pid=$!
    gui_groups+=("$bg_pid")
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

# The runner's display, or a private Xvfb.
use_display() {
    if [ -n "${DISPLAY:-}" ] && timeout 10 xdpyinfo >/dev/null 2>&1; then
        return
    fi
    need Xvfb xdpyinfo
    start_bg "$gui_tmp/xvfb.log" Xvfb -displayfd 5 -screen 0 1024x768x24 -nolisten tcp 5>"$gui_tmp/display"
    wait_until 10 test -s "$gui_tmp/display" || { cat "$gui_tmp/xvfb.log"; skip "Xvfb did not start"; }
    export DISPLAY=":$(head -n 1 "$gui_tmp/display")"
    wait_until 10 timeout 5 xdpyinfo >/dev/null 2>&1 || skip "the private display does not answer"
}

# The runner's sound server, or a private one with the same virtual devices.
# Without one the program opens its window only after a modal device box.
use_sound() {
    if command -v pactl >/dev/null && timeout 10 pactl info >/dev/null 2>&1; then
        return
    fi
    need pulseaudio pactl
    export XDG_RUNTIME_DIR=$gui_tmp/xdg PULSE_RUNTIME_PATH=$gui_tmp/xdg/pulse
    mkdir -p "$PULSE_RUNTIME_PATH" && chmod 700 "$XDG_RUNTIME_DIR" "$PULSE_RUNTIME_PATH"
    cat >"$gui_tmp/test.pa" <<'EOF'
load-module module-native-protocol-unix auth-anonymous=1
load-module module-null-sink sink_name=speaker
load-module module-null-sink sink_name=micsink rate=8000 channels=1
load-module module-remap-source source_name=mic master=micsink.monitor
set-default-sink speaker
set-default-source mic
EOF
    start_bg "$gui_tmp/pa-out.log" env -u DISPLAY pulseaudio -n -F "$gui_tmp/test.pa" --daemonize=no \
        --exit-idle-time=-1 --disable-shm=yes --log-target=file:"$gui_tmp/pa.log"
    wait_until 10 timeout 5 pactl info >/dev/null 2>&1 || skip "no sound server could be started"
}

# A session bus of our own with the accessibility bus on it. Qt and the
# driver both find the accessibility bus through the session bus.
use_accessibility() {
    local line
    start_bg "$gui_tmp/dbus.log" dbus-daemon --session --nofork --print-address=1
    wait_until 10 grep -q '^unix:' "$gui_tmp/dbus.log" || { cat "$gui_tmp/dbus.log"; skip "no session bus"; }
    line=$(head -n 1 "$gui_tmp/dbus.log")
    export DBUS_SESSION_BUS_ADDRESS=$line
    mkdir -p "$gui_tmp/a11y" && chmod 700 "$gui_tmp/a11y"
    start_bg "$gui_tmp/a11y.log" env XDG_RUNTIME_DIR="$gui_tmp/a11y" \
        /usr/libexec/at-spi-bus-launcher --launch-immediately
    wait_until 10 timeout 5 dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus \
        org.a11y.Bus.GetAddress >/dev/null 2>&1 || { cat "$gui_tmp/a11y.log"; skip "no accessibility bus"; }
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
    start_bg "$dir/out.log" "$@" env QT_QPA_PLATFORM=xcb QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 "$dir/voxlet"
    app_pid=$bg_pid
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
raw_call() {
    "${in_ns[@]}" /usr/bin/python3 "$gui_here/raw_caller.py" "$listener" "$1" "$2" "$3" \
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
