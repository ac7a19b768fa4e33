#!/bin/bash
# Incoming calls reach the user through a desktop notice: the real program,
# a stand-in notification service on its session bus and raw callers. The
# notice carries the caller's text; its "応答" answers (the caller hears
# "CallAnswer|END") and it is withdrawn; a caller who hangs up leaves a
# missed-call notice; with no service the call still rings and is answered.
set -u
source "$(dirname "$0")/gui_session.bash"

need timeout setsid ss
need_accessibility
need_program
/usr/bin/python3 -c 'from gi.repository import Gio' 2>/dev/null || skip "python3-gi is missing"


use_display
use_sound
use_accessibility
use_own_namespace notify

notices=$gui_tmp/notices.jsonl
control=$gui_tmp/notices.control
: >"$notices"
: >"$control"
start_bg "$gui_tmp/service.log" /usr/bin/python3 "$gui_here/notification_service.py" "$notices" "$control"
service_pid=$bg_pid
wait_until 10 grep -q ready "$gui_tmp/service.log" || { cat "$gui_tmp/service.log"; skip "the test notification service did not start"; }

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
find_listener || { fail "nothing listens on port 8002"; exit $status; }

# The newest Notify whose body is $1, as "ID" (empty when none).
notice_id() {
    /usr/bin/python3 - "$notices" "$1" <<'PY'
import json, sys
found = ""
for line in open(sys.argv[1], encoding="utf-8"):
    e = json.loads(line)
    if e["call"] == "Notify" and e["body"] == sys.argv[2]:
        found = e
if found:
    h = found["hints"]
    ok = (found["app"] == "Voxlet" and found["icon"] and h.get("urgency") == 2
          and h.get("category") == "call.incoming" and h.get("resident") is True
          and found["timeout"] == 0 and "answer" in found["actions"] and "応答" in found["actions"]
          and "表示" in found["actions"])
    print(found["id"] if ok else "bad:" + json.dumps(found, ensure_ascii=False))
PY
}
has_notice() { test -n "$(notice_id "$1")"; }
closed() { grep -q "\"call\": \"CloseNotification\", \"id\": $1}" "$notices"; }

echo "-- a call answered from its notice"
raw_call Carol 0 1
drive wait-text --pid "$app_pid" --name "状態" --text "Carolさんからの電話です。" || fail "the call did not ring"
wait_until 15 has_notice 'Carolさんからの電話です。' || fail "no notice for the ringing call"
id=$(notice_id 'Carolさんからの電話です。')
case $id in
"" | bad:*) fail "the notice is not as it should be: $id"; exit $status ;;
esac
echo "$id answer" >>"$control"
wait_until 20 grep -q answered "$gui_tmp/caller-Carol.out" || fail "\"応答\" on the notice did not answer the call"
wait_until 10 closed "$id" || fail "the notice was not withdrawn after the answer"
drive wait-text --pid "$app_pid" --name "状態" --text "次の接続を待機します。" || fail "the phone did not wait again"

echo "-- a caller who gives up"
raw_call Dave 3 0
wait_until 15 has_notice 'Daveさんからの電話です。' || fail "no notice for Dave's call"
wait_until 20 grep -q "gave up" "$gui_tmp/caller-Dave.out" || fail "Dave did not give up"
wait_until 10 grep -q '"summary": "不在着信", "body": "Daveさんからの電話' "$notices" || fail "no missed-call notice naming Dave"
id=$(notice_id 'Daveさんからの電話です。')
wait_until 10 closed "${id#bad:}" || fail "the notice of Dave's call was not withdrawn"

echo "-- no notification service"
kill "$service_pid"
wait_until 10 eval '! kill -0 $service_pid 2>/dev/null'
drive wait-text --pid "$app_pid" --name "状態" --text "次の接続を待機します。" || fail "the phone did not wait again"
raw_call Erin 0 1
drive wait-text --pid "$app_pid" --name "状態" --text "Erinさんからの電話です。" || fail "without a service the call did not ring"
drive press --pid "$app_pid" --role "push button" --name "応答" || fail "\"応答\" could not be pressed"
wait_until 20 grep -q answered "$gui_tmp/caller-Erin.out" || fail "without a service the call could not be answered"

[ $status -eq 0 ] && echo "PASS: incoming calls reach the user through the notice, and without it"
exit $status
