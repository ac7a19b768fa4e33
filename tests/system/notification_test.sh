#!/bin/bash
# Incoming calls reach the user through a desktop notice: the real program,
# a stand-in notification service on its session bus and raw callers. The
# notice carries the caller's text; its "応答" answers (the caller hears
# "CallAnswer|END") and it is withdrawn; a caller who hangs up leaves a
# missed-call notice; a name in markup shows as text where the service
# renders markup; with no service the call still rings and is answered.
# Beside it a stand-in inhibition portal: the desktop is kept awake from the
# answer to the end of the call, and not after SIGTERM. A missed caller (from a namespace of its own)
# is rung by "かけ直す" on its missed-call notice, and by "履歴" → "電話する".
set -u
source "$(dirname "$0")/gui_session.bash"

need timeout setsid ss
/usr/bin/python3 -c 'from gi.repository import Gio' 2>/dev/null || skip "python3-gi is missing"

# Only the accessibility bus drives it: a display of its own, beside the others.
gui_own_display=1
use_window_session
use_own_namespace notify
# Where a missed caller listens to be called back: not beside the program,
# whose port 8002 takes every address of its namespace.
peer_ns=
if [ ${#in_ns[@]} -gt 0 ]; then
    peer_ns=voxlet-peer-$$ own_ns=${in_ns[3]} link=vxp$$
    gui_cleanups+=("timeout 10 ip netns del $peer_ns 2>/dev/null")
    on() { timeout 10 ip -n "$@"; }
    { timeout 10 ip netns add "$peer_ns" &&
        timeout 10 ip link add "$link" netns "$own_ns" type veth peer name "$link"b netns "$peer_ns" &&
        on "$own_ns" -6 addr add fd00:45::1/64 dev "$link" nodad && on "$own_ns" link set "$link" up &&
        on "$peer_ns" -6 addr add fd00:45::2/64 dev "$link"b nodad && on "$peer_ns" link set "$link"b up &&
        on "$peer_ns" link set lo up; } 2>"$gui_tmp/peer.err" || { cat "$gui_tmp/peer.err"; peer_ns=; }
fi

start_notification_service

inhibits=$gui_tmp/inhibits.jsonl
: >"$inhibits"
# Whether $1 inhibitions are in force now (fewer only by Close).
held_is() { [ "$(grep -o '"held": [0-9]*' "$inhibits" | tail -n 1)" = "\"held\": $1" ]; }
start_desktop_service portal "$inhibits"

app=$gui_tmp/app
copy_program "$app" Alice
start_and_show "$app" "${in_ns[@]}"
choose_server

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
raw_call Carol 0 4
drive wait-text --pid "$app_pid" --name "状態" --text "Carolさんからの電話です。" || fail "the call did not ring"
wait_until 15 has_notice 'Carolさんからの電話です。' || fail "no notice for the ringing call"
id=$(notice_id 'Carolさんからの電話です。')
case $id in
"" | bad:*) fail "the notice is not as it should be: $id"; exit $status ;;
esac
held_is 0 || fail "the desktop is kept awake while the call only rings"
echo "$id answer" >>"$control"
wait_until 20 grep -q answered "$gui_tmp/caller-Carol.out" || fail "\"応答\" on the notice did not answer the call"
wait_until 10 held_is 1 || fail "the desktop is not kept awake during the call"
grep -q '"call": "Inhibit", "flags": 12, "reason": "通話中"' "$inhibits" || fail "not suspend and idle for \"通話中\""
wait_until 10 closed "$id" || fail "the notice was not withdrawn after the answer"
drive wait-text --pid "$app_pid" --name "状態" --text "次の接続を待機します。" || fail "the phone did not wait again"
wait_until 10 held_is 0 || fail "the desktop is still kept awake after the call"

echo "-- a missed call called back from its notice, then from 履歴"
# The newest notice of Fay's missed call that offers "かけ直す", as its ID.
missed_id() {
    grep -F '"summary": "不在着信", "body": "Fayさんからの電話' "$notices" | grep -F '"actions": ["call-back", "かけ直す"]' |
        tail -n 1 | sed 's/.*"id": \([0-9]*\),.*/\1/'
}
rung() { [ "$(grep -c "rung by Alice" "$gui_tmp/caller-Fay.out")" -ge "$1" ]; }
if [ -z "$peer_ns" ]; then
    echo "SKIP (this part): no second network namespace (root and veth pairs are needed)"
else
    RAW_CALLER_FROM=fd00:45::2 RAW_CALLER_RUNG=2 ip netns exec "$peer_ns" /usr/bin/python3 "$gui_here/raw_caller.py" \
        "fd00:45::1:8002" Fay 3 0 >"$gui_tmp/caller-Fay.out" 2>&1 &
    wait_until 20 grep -q "gave up" "$gui_tmp/caller-Fay.out" || fail "Fay did not ring and give up"
    wait_until 10 eval 'test -n "$(missed_id)"' || fail "no missed-call notice for Fay that calls back"
    echo "$(missed_id) call-back" >>"$control"
    wait_until 20 rung 1 || fail "\"かけ直す\" did not ring Fay"
    drive wait-text --pid "$app_pid" --name "状態" --text "話し中等で接続できません。" || fail "the call back did not end"
    drive press --pid "$app_pid" --role "menu item" --name "履歴" || fail "\"履歴\" could not be chosen"
    # Newest first: the call back, then Fay's missed call, each read as its texts.
    drive tree --pid "$app_pid" --name "履歴" >"$gui_tmp/history.txt" || fail "no window 履歴"
    grep -q "list item | .* 不在着信 Fay fd00:45::2 応答なし 暗号化なし$" "$gui_tmp/history.txt" ||
        { cat "$gui_tmp/history.txt"; fail "Fay's missed call is not read as its texts"; }
    drive select --pid "$app_pid" --name "通話履歴" --index 1 || fail "Fay's missed call could not be chosen"
    drive press --pid "$app_pid" --role "menu item" --name "電話する" || fail "\"電話する\" could not be chosen"
    wait_until 20 rung 2 || fail "\"電話する\" in 履歴 did not ring Fay"
    drive wait-text --pid "$app_pid" --name "状態" --text "話し中等で接続できません。" || fail "the second call back did not end"
fi

echo "-- a caller who gives up, named in markup the service would render"
raw_call 'Dave<b>&' 3 0
wait_until 15 has_notice 'Dave&lt;b&gt;&amp;さんからの電話です。' || fail "no notice for Dave's call, or his name not escaped"
wait_until 20 grep -q "gave up" "$gui_tmp/caller-Dave<b>&.out" || fail "Dave did not give up"
wait_until 10 grep -q '"summary": "不在着信", "body": "Dave&lt;b&gt;&amp;さんからの電話' "$notices" || fail "no missed-call notice naming Dave as text"
id=$(notice_id 'Dave&lt;b&gt;&amp;さんからの電話です。')
wait_until 10 closed "${id#bad:}" || fail "the notice of Dave's call was not withdrawn"
[ "$(grep -c '"call": "Inhibit"' "$inhibits")" -eq 1 ] || fail "a call that only rang kept the desktop awake"

echo "-- no notification service, and SIGTERM during the call"
kill "$service_pid"
wait_until 10 eval '! kill -0 $service_pid 2>/dev/null'
drive wait-text --pid "$app_pid" --name "状態" --text "次の接続を待機します。" || fail "the phone did not wait again"
raw_call Erin 0 0
drive wait-text --pid "$app_pid" --name "状態" --text "Erinさんからの電話です。" || fail "without a service the call did not ring"
drive press --pid "$app_pid" --role "push button" --name "応答" || fail "\"応答\" could not be pressed"
wait_until 20 grep -q answered "$gui_tmp/caller-Erin.out" || fail "without a service the call could not be answered"
wait_until 10 held_is 1 || fail "the desktop is not kept awake during Erin's call"
kill -TERM "$app_pid"
wait_exit "$app_pid" 30 || fail "the program did not end after SIGTERM"
wait_until 10 held_is 0 || fail "the desktop is still kept awake after the program ended"

[ $status -eq 0 ] && echo "PASS: incoming calls reach the user through the notice, and without it; the desktop stays awake just for the call"
exit $status
