#!/bin/bash
# SIGTERM during a call (as when the session ends): the real program ends as
# its tray menu's "終了" ends it. The caller sees the connection closed in
# order, not reset or left hanging, and the program exits with status 0.
set -u
source "$(dirname "$0")/gui_session.bash"

need timeout setsid ss

use_window_session
use_own_namespace term

app=$gui_tmp/app
copy_program "$app" Alice
start_and_show "$app" "${in_ns[@]}"
choose_server
echo "the program listens on $listener"

# The caller waits for the answer, then for the end of the connection.
raw_call Raw 0 0

drive wait-text --pid "$app_pid" --name "状態" --text "Rawさんからの電話です。" || fail "the call did not ring"
drive press --pid "$app_pid" --role "push button" --name "応答" || fail "\"応答\" could not be pressed"
wait_until 20 grep -q answered "$gui_tmp/caller-Raw.out" || { fail "the caller heard no answer"; exit $status; }

kill -TERM "$app_pid"
if wait_exit "$app_pid" 30; then
    [ "$app_status" -eq 0 ] || fail "the program ended with status $app_status after SIGTERM"
else
    fail "the program did not end after SIGTERM"
fi
wait_until 15 eval '! kill -0 $caller_pid 2>/dev/null' || fail "the caller still waits on the connection"
grep -qx closed "$gui_tmp/caller-Raw.out" || fail "the caller did not see the connection closed: $(cat "$gui_tmp/caller-Raw.out")"
grep -q "終了ボタンから" "$app/out.log" && fail "the program refused to end"

[ $status -eq 0 ] && echo "PASS: SIGTERM during a call ends the call and the program cleanly"
exit $status
