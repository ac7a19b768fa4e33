#!/bin/bash
# Two copies of the real program, each in a network namespace of its own
# joined by a veth pair, complete a direct call through their windows:
# A listens; B listens and dials A's address; A sees the connection and the
# caller's name and answers; B is told the call is through; B exits and A
# goes back to waiting. Then over IPv6 (each listener takes both families on
# one socket): B again dials A's IPv6 literal and A sees the caller's IPv6
# address; then A dials a host name that has only an IPv6 (AAAA) address in
# A's hosts file, and B rings. Both copies share the display, the sound
# server and the buses through their path-named sockets.
set -u
source "$(dirname "$0")/gui_session.bash"

[ "$(id -u)" -eq 0 ] || skip "network namespaces need root"
need ip xdpyinfo timeout setsid
need_accessibility
need_program

ns_a=voxlet-a-$$
ns_b=voxlet-b-$$
if_a=vxa$$
if_b=vxb$$
addr_a=198.18.0.1
addr_b=198.18.0.2
v6_a=fd00:198:18::1
v6_b=fd00:198:18::2
ns_cleanup() {
    timeout 10 ip netns del "$ns_a" 2>/dev/null
    timeout 10 ip netns del "$ns_b" 2>/dev/null
    timeout 10 ip link del "$if_a" 2>/dev/null
    rm -rf "/etc/netns/$ns_a"
    true
}
timeout 10 ip netns add "$ns_a" 2>"$gui_tmp/netns.err" || { cat "$gui_tmp/netns.err"; skip "ip netns add is not possible here"; }
gui_cleanups+=(ns_cleanup)
set_up_link() {
    timeout 10 ip netns add "$ns_b" &&
        timeout 10 ip link add "$if_a" type veth peer name "$if_b" &&
        timeout 10 ip link set "$if_a" netns "$ns_a" &&
        timeout 10 ip link set "$if_b" netns "$ns_b" &&
        timeout 10 ip -n "$ns_a" addr add "$addr_a/24" dev "$if_a" &&
        timeout 10 ip -n "$ns_b" addr add "$addr_b/24" dev "$if_b" &&
        timeout 10 ip -n "$ns_a" link set lo up &&
        timeout 10 ip -n "$ns_b" link set lo up &&
        timeout 10 ip -n "$ns_a" link set "$if_a" up &&
        timeout 10 ip -n "$ns_b" link set "$if_b" up &&
        timeout 10 ip -n "$ns_a" -6 addr add "$v6_a/64" dev "$if_a" nodad &&
        timeout 10 ip -n "$ns_b" -6 addr add "$v6_b/64" dev "$if_b" nodad
}
set_up_link 2>"$gui_tmp/link.err" || { cat "$gui_tmp/link.err"; skip "no veth pair between namespaces"; }
# Seen only in A's namespace: a name with nothing but an IPv6 address.
mkdir -p "/etc/netns/$ns_a"
printf '127.0.0.1 localhost\n::1 localhost\n%s bob-v6.test\n' "$v6_b" >"/etc/netns/$ns_a/hosts"

use_window_session

copy_program "$gui_tmp/A" Alice
copy_program "$gui_tmp/B" Bob

# `ip netns exec` runs the program in place of itself: its pid is the program's.
start_program "$gui_tmp/A" ip netns exec "$ns_a"
pid_a=$app_pid
start_program "$gui_tmp/B" ip netns exec "$ns_b"
pid_b=$app_pid
for who in A B; do
    pid_var=pid_${who,,}
    if ! drive wait-app --pid "${!pid_var}" --timeout 30; then
        cat "$gui_tmp/$who/out.log"
        fail "the window of $who did not appear on the accessibility bus"
        exit $status
    fi
done

step() {
    echo "-- $*"
}
expect_text() {
    local who=$1 pid=$2 text=$3
    drive wait-text --pid "$pid" --name 状態 --text "$text" --timeout 30 || {
        fail "$who does not show \"$text\""
        exit $status
    }
}

step "A: SERVER"
drive press --pid "$pid_a" --role "menu item" --name SERVER || fail "A: SERVER"
expect_text A "$pid_a" "待機します。"

step "B: SERVER, dial $addr_a"
drive press --pid "$pid_b" --role "menu item" --name SERVER || fail "B: SERVER"
expect_text B "$pid_b" "待機します。"
drive set-text --pid "$pid_b" --name 相手先 --text "$addr_a" || fail "B: the dial box takes no text"

# A's status line changes twice within milliseconds: record every text it shows.
watch_out=$gui_tmp/a-texts.txt
start_bg "$gui_tmp/watch.log" /usr/bin/timeout 120 /usr/bin/python3 "$gui_here/atspi_driver.py" \
    watch --pid "$pid_a" --name 状態 --out "$watch_out" --poke 相手先 --timeout 110
wait_until 30 test -e "$watch_out.ready" || { cat "$gui_tmp/watch.log"; fail "the watcher did not start"; exit $status; }
sed 's/^/watcher: /' "$gui_tmp/watch.log"

drive press --pid "$pid_b" --role "push button" --name "電話する" || fail "B: 電話する"
announced="Bobさんからの電話です。"
wait_until 30 grep -qxF "$announced" "$watch_out" || fail "A never showed \"$announced\""
echo "A showed:"
sed 's/^/    /' "$watch_out"
grep -qxF "${addr_b}が接続してきました。" "$watch_out" || fail "A never showed \"${addr_b}が接続してきました。\""
awk -v a="${addr_b}が接続してきました。" -v b="$announced" \
    '$0 == a { seen = 1 } $0 == b && seen { ok = 1 } END { exit !ok }' "$watch_out" ||
    fail "A did not show the address before the caller's name"
[ $status -eq 0 ] || exit $status

step "A: 応答"
drive press --pid "$pid_a" --role "push button" --name "応答" || fail "A: 応答"
expect_text B "$pid_b" "つながりました。お話ください。"

step "B: 終了"
drive press --pid "$pid_b" --role "push button" --name "終了" || fail "B: 終了"
expect_text A "$pid_a" "次の接続を待機します。"
if wait_exit "$pid_b" 30; then
    [ "$app_status" -eq 0 ] || fail "B ended with status $app_status"
else
    fail "B did not end after 終了"
fi

start_b() {
    start_program "$gui_tmp/B" ip netns exec "$ns_b"
    pid_b=$app_pid
    drive wait-app --pid "$pid_b" --timeout 30 || { fail "B did not come back"; exit $status; }
    drive press --pid "$pid_b" --role "menu item" --name SERVER || fail "B: SERVER"
    expect_text B "$pid_b" "待機します。"
}
ip netns exec "$ns_a" ss -Hltn 'sport = :8002' | grep -qE ' (\*|\[::\]):8002 ' || fail "A does not listen on both families"

step "B again, dials A's IPv6 address $v6_a"
start_b
drive set-text --pid "$pid_b" --name 相手先 --text "$v6_a" || fail "B: the dial box takes no text"
drive press --pid "$pid_b" --role "push button" --name "電話する" || fail "B: 電話する"
expect_text A "$pid_a" "Bobさんからの電話です。"
# The watcher hears of a text a moment after the window shows it.
wait_until 10 grep -qxF "${v6_b}が接続してきました。" "$watch_out" ||
    { fail "A did not show the caller's IPv6 address"; cat "$watch_out"; }
drive press --pid "$pid_a" --role "push button" --name "応答" || fail "A: 応答"
expect_text B "$pid_b" "つながりました。お話ください。"
drive press --pid "$pid_b" --role "push button" --name "終了" || fail "B: 終了"
expect_text A "$pid_a" "次の接続を待機します。"
wait_exit "$pid_b" 30 || fail "B did not end"

step "B again; A dials bob-v6.test, a name with only an AAAA record"
start_b
drive set-text --pid "$pid_a" --name 相手先 --text "bob-v6.test" || fail "A: the dial box takes no text"
drive press --pid "$pid_a" --role "push button" --name "電話する" || fail "A: 電話する"
expect_text B "$pid_b" "Aliceさんからの電話です。"
drive press --pid "$pid_b" --role "push button" --name "応答" || fail "B: 応答"
expect_text A "$pid_a" "つながりました。お話ください。"

step "A: 終了"
drive press --pid "$pid_a" --role "push button" --name "終了" || fail "A: 終了"
if wait_exit "$pid_a" 30; then
    [ "$app_status" -eq 0 ] || fail "A ended with status $app_status"
else
    fail "A did not end after 終了"
fi
expect_text B "$pid_b" "次の接続を待機します。"
drive press --pid "$pid_b" --role "push button" --name "終了" || fail "B: 終了"
wait_exit "$pid_b" 30 || fail "B did not end after 終了"

[ $status -eq 0 ] && echo "PASS: direct calls between two namespaces, over IPv4 and IPv6"
exit $status
