#!/bin/bash
# The real program with no sound server to talk to: it shows the capture
# device message (title "Error"), and once that is dismissed its main window
# "Voxlet " comes up and the program keeps running. SIGTERM while that
# message is shown ends it at once with status 0. Without any display it
# says so in one line and fails, without a core dump.
set -u

: "${VOXLET_SOURCE_DIR:?}" "${VOXLET_BINARY_DIR:?}"
program=$VOXLET_BINARY_DIR/src/voxlet
if [ ! -x "$program" ]; then
    echo "SKIP: $program is not built"
    exit 77
fi
if ! command -v xdotool >/dev/null; then
    echo "SKIP: xdotool is missing"
    exit 77
fi

tmp=$(mktemp -d)
svc_dir=$tmp/services
source "$VOXLET_SOURCE_DIR/scripts/services.sh"
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
    for p in "${pids[@]}"; do wait "$p" 2>/dev/null; done
    svc_stop
    rm -rf "$tmp"
}
trap cleanup EXIT

status=0
fail() {
    echo "FAIL: $*"
    status=1
}

# A display of our own when there is none.
if ! svc_display --reuse 2>"$tmp/display-why.txt"; then
    svc_need Xvfb xdpyinfo || { echo "SKIP: no display and no Xvfb"; exit 77; }
    cat "$tmp/display-why.txt"
    echo "FAIL: no display"
    exit 1
fi

# The program keeps its data beside itself: a copy in a folder of its own.
mkdir -p "$tmp/app" "$tmp/xdg"
chmod 700 "$tmp/xdg"
cp "$program" "$tmp/app/voxlet"
cp "$VOXLET_SOURCE_DIR"/resources/sounds/{Ring,Anybody,Ans}.wav "$tmp/app/"
: >"$tmp/app/Tel.txt"
printf 'autospawn = no\n' >"$tmp/client.conf"

# A server socket that does not exist, and no starting of one.
start_app() {
    (cd "$tmp/app" && exec env -u QT_QPA_PLATFORM PULSE_SERVER="unix:$tmp/no-such-socket" \
        PULSE_CLIENTCONFIG="$tmp/client.conf" XDG_RUNTIME_DIR="$tmp/xdg" \
        ./voxlet >"$tmp/voxlet.log" 2>&1) &
    app=$!
    pids+=("$app")
}
start_app

# Waits (bounded) for a visible window of the program with this title pattern.
wait_window() {
    local pattern=$1 w owner
    for _ in $(seq 60); do
        if ! kill -0 "$app" 2>/dev/null; then
            echo "the program ended" >&2
            return 1
        fi
        for w in $(timeout 10 xdotool search --onlyvisible --name "$pattern" 2>/dev/null); do
            owner=$(timeout 10 xdotool getwindowpid "$w" 2>/dev/null)
            if [ -z "$owner" ] || [ "$owner" = "$app" ]; then
                echo "$w"
                return 0
            fi
        done
        sleep 0.5
    done
    return 1
}

box=$(wait_window '^Error$')
if [ -z "$box" ]; then
    fail "no message box titled \"Error\" appeared"
    timeout 10 xwininfo -root -tree 2>/dev/null | grep '"' | head -n 20
    cat "$tmp/voxlet.log"
    exit $status
fi
# The box is modal and comes before the window.
[ -z "$(timeout 10 xdotool search --onlyvisible --name '^Voxlet $' 2>/dev/null)" ] ||
    fail "the main window was shown before the device message"

# OK on the box (it has the focus: there is no window manager to move it).
# Not "key --window": the box closes on the press, xdotool then sends the
# release to the gone window instead of the display, and Return stays held
# down for every later test on this display.
timeout 10 xdotool windowfocus "$box" 2>/dev/null
timeout 10 xdotool key Return 2>/dev/null
main=$(wait_window '^Voxlet $')
if [ -z "$main" ]; then
    # A second try in case the key went nowhere.
    timeout 10 xdotool windowfocus "$box" 2>/dev/null
    timeout 10 xdotool key Return
    main=$(wait_window '^Voxlet $')
fi
if [ -z "$main" ]; then
    fail "no window \"Voxlet \" after the device message was dismissed"
    timeout 10 xwininfo -root -tree 2>/dev/null | grep '"' | head -n 20
    cat "$tmp/voxlet.log"
else
    # Still running and answering: its window stays mapped for a while.
    sleep 1
    kill -0 "$app" 2>/dev/null || fail "the program ended after showing its window"
    timeout 10 xdotool search --onlyvisible --name '^Voxlet $' >/dev/null 2>&1 ||
        fail "the main window went away"
    [ -z "$(timeout 10 xdotool search --onlyvisible --name '^Error$' 2>/dev/null)" ] ||
        fail "a second device message was shown (the playback device must not be tried)"
fi

# A logout while the message is shown: SIGTERM ends the program as "終了" does.
kill "$app" 2>/dev/null && wait "$app" 2>/dev/null
start_app
[ -n "$(wait_window '^Error$')" ] || { fail "no device message on the second start"; cat "$tmp/voxlet.log"; }
kill -TERM "$app"
for _ in $(seq 10); do kill -0 "$app" 2>/dev/null && sleep 0.1; done
if kill -0 "$app" 2>/dev/null; then
    fail "the program still runs 1 s after SIGTERM during the device message"
else
    wait "$app"
    rc=$?
    [ $rc -eq 0 ] || fail "status $rc after SIGTERM during the device message"
fi

# No display, or one that cannot be reached: status 1 and the way to run it
# (in one line when there is none), no core dump.
for display in "" ":5999"; do
    out=$(cd "$tmp/app" && env -u QT_QPA_PLATFORM -u WAYLAND_DISPLAY DISPLAY="$display" ./voxlet 2>&1 >/dev/null)
    rc=$?
    [ $rc -eq 1 ] && [[ $(tail -n 1 <<<"$out") == *xvfb-run* ]] && { [ -n "$display" ] || [ "$(wc -l <<<"$out")" -eq 1 ]; } ||
        fail "DISPLAY=\"$display\": status $rc, said: $out"
done

[ $status -eq 0 ] && echo "PASS"
exit $status
