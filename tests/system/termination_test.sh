#!/bin/bash
# SIGTERM during a call (as when the session ends): the real program ends as
# its tray menu's "終了" ends it. The caller sees the connection closed in
# order, not reset or left hanging, and the program exits with status 0.
set -u
source "$(dirname "$0")/gui_session.bash"

need timeout setsid ss
need_accessibility
need_program

# A network namespace of its own keeps port 8002 free of other tests.
ns=voxlet-term-$$
in_ns=()
if [ "$(id -u)" -eq 0 ] && timeout 10 ip netns add "$ns" 2>/dev/null; then
    gui_cleanups+=("timeout 10 ip netns del $ns")
    timeout 10 ip -n "$ns" link set lo up || skip "no loopback in the namespace"
    in_ns=(ip netns exec "$ns")
fi

use_display
use_sound
use_accessibility

app=$gui_tmp/app
copy_program "$app" Alice
start_program "$app" "${in_ns[@]}"
if ! drive wait-app --pid "$app_pid" --timeout 30; then
    cat "$app/out.log"
    fail "the main window did not appear on the accessibility bus"
    exit $status
fi
drive press --pid "$app_pid" --role "menu item" --name SERVER || fail "\"SERVER\" could not be chosen"
drive wait-text --pid "$app_pid" --name "状態" --text "待機します。" || { fail "no \"待機します。\""; exit $status; }
listener=$("${in_ns[@]}" ss -Hltn 'sport = :8002' | awk '{ print $4; exit }')
[ -n "$listener" ] || { fail "nothing listens on port 8002"; exit $status; }
echo "the program listens on $listener"

# The caller: greeting in, call request out, then it waits for the answer
# and for the end of the connection, reading the voice as it comes.
cat >"$gui_tmp/caller.py" <<'PY'
import socket, sys
host, port = sys.argv[1].rsplit(":", 1)
s = socket.create_connection((host, int(port)), timeout=60)
def expect(text):
    want = text.encode("utf-16-le")
    got = b""
    while want not in got:
        chunk = s.recv(65536)
        if not chunk:
            sys.exit("closed before " + text)
        got += chunk
expect("VOICEMSG:OK")
s.sendall("VOICEMSG:OK|Raw|END".encode("utf-16-le"))
expect("CallAnswer|END")
print("answered", flush=True)
try:
    while s.recv(65536):
        pass
    print("closed", flush=True)
except ConnectionResetError:
    print("reset", flush=True)
PY
"${in_ns[@]}" /usr/bin/python3 "$gui_tmp/caller.py" "$listener" >"$gui_tmp/caller.out" 2>&1 &
caller_pid=$!

drive wait-text --pid "$app_pid" --name "状態" --text "Rawさんからの電話です。" || fail "the call did not ring"
drive press --pid "$app_pid" --role "push button" --name "応答" || fail "\"応答\" could not be pressed"
wait_until 20 grep -q answered "$gui_tmp/caller.out" || { fail "the caller heard no answer"; exit $status; }

kill -TERM "$app_pid"
if wait_exit "$app_pid" 30; then
    [ "$app_status" -eq 0 ] || fail "the program ended with status $app_status after SIGTERM"
else
    fail "the program did not end after SIGTERM"
fi
wait_until 15 eval '! kill -0 $caller_pid 2>/dev/null' || fail "the caller still waits on the connection"
grep -qx closed "$gui_tmp/caller.out" || fail "the caller did not see the connection closed: $(cat "$gui_tmp/caller.out")"
grep -q "終了ボタンから" "$app/out.log" && fail "the program refused to end"

[ $status -eq 0 ] && echo "PASS: SIGTERM during a call ends the call and the program cleanly"
exit $status
