#!/bin/bash
# The real program under a headless Wayland compositor (weston): in a Wayland
# session it is a Wayland client (its window is a Wayland surface, not an X
# window), and an incoming call rings and is answered through the desktop
# notice, since a Wayland program may not raise its own window.
set -u
source "$(dirname "$0")/gui_session.bash"

need timeout setsid ss weston
need_accessibility
need_program
/usr/bin/python3 -c 'from gi.repository import Gio' 2>/dev/null || skip "python3-gi is missing"
ls /usr/lib/x86_64-linux-gnu/qt6/plugins/platforms/libqwayland-generic.so >/dev/null 2>&1 ||
    skip "Qt's Wayland platform plugin is missing (qt6-wayland)"


use_sound
use_accessibility
use_own_namespace wayland

# The compositor, headless, on a socket of its own; no X display at all.
export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$gui_tmp/xdg}
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
socket=voxlet-wayland-$$
start_bg "$gui_tmp/weston.log" weston --backend=headless-backend.so --socket="$socket" --idle-time=0
wait_until 15 test -S "$XDG_RUNTIME_DIR/$socket" || { cat "$gui_tmp/weston.log"; skip "weston's headless back end did not start"; }
unset DISPLAY
export WAYLAND_DISPLAY=$socket XDG_SESSION_TYPE=wayland

start_notification_service

app=$gui_tmp/app
copy_program "$app" Alice
# Started as a desktop starts it: the platform is the program's own choice.
# The client's own protocol log tells what it asked the compositor for.
start_bg "$app/out.log" "${in_ns[@]}" env -u QT_QPA_PLATFORM QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 \
    WAYLAND_DEBUG=client "$app/voxlet"
app_pid=$bg_pid
if ! drive wait-app --pid "$app_pid" --timeout 30; then
    tail -n 40 "$app/out.log"
    fail "the main window did not appear on the accessibility bus"
    exit $status
fi
wait_until 15 grep -q 'xdg_toplevel@[0-9]*\.set_title("Voxlet ")' "$app/out.log" ||
    fail "the main window is not a Wayland toplevel surface"

choose_server
raw_call Carol 0 0

drive wait-text --pid "$app_pid" --name "状態" --text "Carolさんからの電話です。" || fail "the call did not ring"
notice_id() {
    /usr/bin/python3 - "$notices" <<'PY'
import json, sys
for line in open(sys.argv[1], encoding="utf-8"):
    e = json.loads(line)
    if e["call"] == "Notify" and e["body"] == "Carolさんからの電話です。" and "answer" in e["actions"]:
        print(e["id"])
        break
PY
}
has_notice() { test -n "$(notice_id)"; }
wait_until 15 has_notice || { fail "no notice for the ringing call"; exit $status; }
echo "$(notice_id) answer" >>"$control"
wait_until 20 grep -q answered "$gui_tmp/caller-Carol.out" || fail "\"応答\" on the notice did not answer the call"

[ $status -eq 0 ] && echo "PASS: a Wayland client whose calls are answered from the notice"
exit $status
