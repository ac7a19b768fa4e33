#!/bin/bash
# The real program at home, behind a router of network namespaces:
#   wan (directory, callers) - isp - router (nftables NAT, Debian's miniupnpd) - home (the phone)
# The router masquerades and drops inbound traffic unless mapped. For each
# router — NAT-PMP and UPnP, only NAT-PMP, only UPnP, neither, and one behind
# a carrier-grade NAT (its outside address shared) — the phone listens, tells
# in a notice whether callers reach it (or why not), shows nothing of the
# directory's dial-back, rings and answers a caller dialling the router's
# outside address where it can be reached, and leaves no mapping behind once
# it has ended (by "終了", or by SIGTERM), even ended at once after
# "SERVER" (ten times, at growing delays). IPv6 is routed to the home, and
# the router's firewall drops it too: with UPnP-IGD v2 the phone opens a
# pinhole, and an IPv6 caller outside reaches it.
set -u
source "$(dirname "$0")/gui_session.bash"

[ "$(id -u)" -eq 0 ] || skip "network namespaces need root"
need ip nft miniupnpd stund timeout setsid ss
need_accessibility
need_program
directory=$VOXLET_BINARY_DIR/server/voxlet-directory
[ -x "$directory" ] || skip "voxlet-directory is not built"
/usr/bin/python3 -c 'from gi.repository import Gio' 2>/dev/null || skip "python3-gi is missing"

n=vr$$
wan=$n-wan isp=$n-isp rtr=$n-rtr home=$n-home
wan_addr=198.51.100.2 caller_addr=198.51.100.4 isp_wan=198.51.100.1
home_addr=192.168.77.10 rtr_in=192.168.77.1
home6=fd00:77::10 caller6=fd00:51::4
home6_raw=0xfd000077000000000000000000000010 # as miniupnpd's rules match it
ns_cleanup() {
    local ns
    for ns in "$home" "$rtr" "$isp" "$wan"; do timeout 10 ip netns del "$ns" 2>/dev/null; done
    true
}
timeout 10 ip netns add "$wan" 2>"$gui_tmp/netns.err" || { cat "$gui_tmp/netns.err"; skip "ip netns add is not possible here"; }
gui_cleanups+=(ns_cleanup)
# Commands for one namespace, one a line (ip -batch), after the links named are up.
in_ns() {
    local ns=$1 link
    shift
    { for link; do echo "link set $link up"; done; cat; } | timeout 10 ip -n "$ns" -batch -
}
set_up_network() {
    local ns
    for ns in "$isp" "$rtr" "$home"; do timeout 10 ip netns add "$ns" || return 1; done
    ip link add "${n}w" netns "$wan" type veth peer name "${n}i" netns "$isp" &&
        ip link add "${n}j" netns "$isp" type veth peer name "${n}o" netns "$rtr" &&
        ip link add "${n}r" netns "$rtr" type veth peer name "${n}h" netns "$home" || return 1
    # IPv4 is translated at the router; IPv6 (fd00::/16 here) is routed all the way home.
    in_ns "$wan" lo "${n}w" <<IP &&
addr add $wan_addr/24 dev ${n}w
addr add $caller_addr/24 dev ${n}w
addr add fd00:51::2/64 dev ${n}w nodad
addr add $caller6/64 dev ${n}w nodad
route add default via fd00:51::1
IP
        in_ns "$isp" lo "${n}i" "${n}j" <<IP &&
addr add $isp_wan/24 dev ${n}i
addr add fd00:51::1/64 dev ${n}i nodad
addr add fd00:18::1/64 dev ${n}j nodad
route add fd00:77::/64 via fd00:18::2
IP
        in_ns "$rtr" lo "${n}o" "${n}r" <<IP &&
addr add $rtr_in/24 dev ${n}r
addr add fd00:77::1/64 dev ${n}r nodad
addr add fd00:18::2/64 dev ${n}o nodad
route add default via fd00:18::1
IP
        in_ns "$home" lo "${n}h" <<IP || return 1
addr add $home_addr/24 dev ${n}h
addr add $home6/64 dev ${n}h nodad
route add default via $rtr_in
route add default via fd00:77::1
IP
    for ns in "$isp" "$rtr"; do
        ip netns exec "$ns" sysctl -qw net.ipv4.ip_forward=1 net.ipv6.conf.all.forwarding=1 >/dev/null || return 1
    done
    # The tables miniupnpd fills (by their default names), and a home router's rules around them.
    ip netns exec "$rtr" nft -f - <<NFT
table inet filter {
  chain miniupnpd { }
  chain prerouting_miniupnpd { }
  chain postrouting_miniupnpd { }
  chain forward { type filter hook forward priority 0; policy drop; ct state established,related accept; iifname "${n}r" accept; jump miniupnpd; }
  chain prerouting { type nat hook prerouting priority -100; jump prerouting_miniupnpd; }
  chain postrouting { type nat hook postrouting priority 100; jump postrouting_miniupnpd; oifname "${n}o" masquerade; }
}
NFT
}
set_up_network 2>"$gui_tmp/net.err" || { cat "$gui_tmp/net.err"; skip "could not build the namespaces"; }

# The router's outside link: a routed address of its own, or a shared one
# behind the provider's NAT. STUN on that link lets miniupnpd, which
# refuses reserved outside addresses, learn its address as a router would.
stun_pid=
outside_link() {
    [ -n "$stun_pid" ] && kill -TERM -- "-$stun_pid" 2>/dev/null
    ip -n "$rtr" -4 addr flush dev "${n}o"
    ip -n "$isp" -4 addr flush dev "${n}j"
    ip netns exec "$isp" nft flush ruleset
    if [ "$1" = shared ]; then
        isp_in=100.64.0.1 isp_in2=100.64.0.3 outside=100.64.0.2
        ip netns exec "$isp" nft add table ip cgn
        ip netns exec "$isp" nft add chain ip cgn post '{ type nat hook postrouting priority 100; }'
        ip netns exec "$isp" nft add rule ip cgn post oifname "${n}i" masquerade
        ip -n "$wan" route del 198.18.0.0/24 2>/dev/null
    else
        isp_in=198.18.0.1 isp_in2=198.18.0.3 outside=198.18.0.2
        ip -n "$wan" route replace 198.18.0.0/24 via "$isp_wan"
    fi
    in_ns "$isp" <<IP
addr add $isp_in/24 dev ${n}j
addr add $isp_in2/24 dev ${n}j
IP
    ip -n "$rtr" addr add "$outside/24" dev "${n}o"
    ip -n "$rtr" route replace default via "$isp_in"
    start_bg "$gui_tmp/stund-$1.log" ip netns exec "$isp" stund -h "$isp_in" -a "$isp_in2"
    stun_pid=$bg_pid
}

# Only the accessibility bus drives it: a display of its own, beside the others.
gui_own_display=1
use_window_session

start_notification_service

start_bg "$gui_tmp/directory.log" ip netns exec "$wan" "$directory" --listen "$wan_addr" --port 8003
wait_until 10 eval 'ip netns exec "$wan" ss -Hltn "sport = :8003" | grep -q 8003' || { fail "the directory did not start"; exit $status; }

mappings() { ip netns exec "$rtr" nft list chain inet filter prerouting_miniupnpd | grep -c dnat; }
# The body of the phone's own notice that says $1.
reach_notice() { grep -F '"summary": "Voxlet"' "$notices" | grep -F "$1" | sed 's/.*"body": "\([^"]*\)".*/\1/'; }

pinholes() { ip netns exec "$rtr" nft list chain inet filter miniupnpd | grep -c "$home6_raw"; }
# A call from outside that rings and is answered: caller NAME ADDRESS FROM
call_in() {
    local name=$1 address=$2 from=$3 caller
    RAW_CALLER_FROM=$from ip netns exec "$wan" /usr/bin/python3 "$gui_here/raw_caller.py" \
        "$address:8002" "$name" 0 1 >"$dir/caller-$name.out" 2>&1 &
    caller=$!
    drive wait-text --pid "$pid" --name 状態 --text "${name}さんからの電話です。" || fail "$variant: the call from $address did not ring"
    grep -qxF "${from}が接続してきました。" "$texts" || fail "$variant: the caller's address $from was not shown"
    drive press --pid "$pid" --role "push button" --name "応答" || fail "$variant: 応答"
    wait_until 20 grep -q answered "$dir/caller-$name.out" || fail "$variant: $name was not answered"
    wait "$caller" 2>/dev/null
    drive wait-text --pid "$pid" --name 状態 --text "次の接続を待機します。" || fail "$variant: the phone did not wait again"
}

# Ten quits at once after "SERVER", each 0.15 s later than the one before
# (while the router is looked for, asked, or the pinhole opened).
quits_right_after_server() {
    local try left=0
    for try in 0 1 2 3 4 5 6 7 8 9; do
        start_program "$dir/app" ip netns exec "$home"
        drive wait-app --pid "$app_pid" --timeout 30 && drive press --pid "$app_pid" --role "menu item" --name SERVER || fail "$variant: try $try: SERVER"
        sleep "$(printf '%d.%02d' $((try * 15 / 100)) $((try * 15 % 100)))" && kill -TERM "$app_pid"
        wait_exit "$app_pid" 15 && unset 'svc_groups[-1]' # reaped: its number may soon be another's
        sleep 2 # what the router was asked has been carried out
        [ "$(mappings)" -eq 0 ] && [ "$(pinholes)" -eq 0 ] || left=$((left + 1))
    done
    echo "   quit right after SERVER: $left of 10 tries left a mapping or pinhole on the router"
    [ "$left" -eq 0 ] || fail "$variant: a quit right after SERVER left a mapping or pinhole behind"
}

# variant NAME natpmp upnp link EXPECTED-TEXT callable exit [ipv6 [quits]]
variant() {
    local name=$1 natpmp=$2 upnp=$3 link=$4 expected=$5 callable=$6 how=$7 ipv6=no
    [ "${8:-}" = ipv6 ] && ipv6=yes
    variant=$name
    echo "-- router: $name"
    dir=$gui_tmp/$name mu_pid=
    mkdir -p "$dir"
    : >"$notices"
    if [ "$natpmp" = yes ] || [ "$upnp" = yes ]; then
        cat >"$dir/miniupnpd.conf" <<CONF
ext_ifname=${n}o
listening_ip=${n}r
enable_natpmp=$natpmp
enable_upnp=$upnp
ext_perform_stun=yes
ext_stun_host=$isp_in
lease_file=$dir/leases
ipv6_disable=$([ "$ipv6" = yes ] && echo no || echo yes)
CONF
        start_bg "$dir/miniupnpd.log" ip netns exec "$rtr" miniupnpd -f "$dir/miniupnpd.conf" -d -P "$dir/miniupnpd.pid"
        mu_pid=$bg_pid
        wait_until 15 grep -q "Listening for NAT-PMP\|HTTP listening" "$dir/miniupnpd.log" || { fail "$name: miniupnpd did not start"; return; }
        grep -q "Port forwarding is now enabled" "$dir/miniupnpd.log" || { fail "$name: miniupnpd does not forward"; return; }
    fi

    copy_program "$dir/app" Alice
    printf 'Alice,M,30,pw,hello\r\n%s\r\n' "$wan_addr" >"$dir/app/name.txt"
    # As a log-on of an earlier run left it: this directory dials back.
    mkdir -p "$dir/app/state/voxlet"
    printf 'dialback %s\n' "$wan_addr" >"$dir/app/state/voxlet/directories"
    start_program "$dir/app" ip netns exec "$home"
    pid=$app_pid
    drive wait-app --pid "$pid" --timeout 30 || { fail "$name: the window did not appear"; return; }
    texts=$dir/texts.txt
    start_bg "$dir/watch.log" /usr/bin/timeout 60 /usr/bin/python3 "$gui_here/atspi_driver.py" \
        watch --pid "$pid" --name 状態 --out "$texts" --poke 相手先 --timeout 55
    wait_until 30 test -e "$texts.ready" || fail "$name: the watcher did not start"
    drive press --pid "$pid" --role "menu item" --name SERVER || fail "$name: SERVER"
    drive wait-text --pid "$pid" --name 状態 --text "待機します。" || fail "$name: no \"待機します。\""
    wait_until 20 eval '[ -n "$(reach_notice "$expected")" ]' || { fail "$name: no notice saying \"$expected\""; cat "$notices"; }
    echo "   notice: $(reach_notice "$expected")"
    if [ "$callable" = yes ]; then
        ip netns exec "$rtr" nft list chain inet filter prerouting_miniupnpd | grep -q "dport 8002 dnat ip to $home_addr:8002" ||
            fail "$name: the router does not map port 8002 to the phone while it listens"
        call_in Carol "$outside" "$caller_addr"
        if [ "$ipv6" = yes ]; then
            [ "$(pinholes)" -ge 1 ] || fail "$name: no IPv6 pinhole to the phone while it listens"
            call_in Dave "$home6" "$caller6"
        fi
    else
        ip netns exec "$wan" timeout 3 bash -c "exec 3<>/dev/tcp/$outside/8002" 2>/dev/null &&
            fail "$name: a caller from outside got through"
    fi
    # The directory's dial-back was never shown as a caller.
    grep -q "^${wan_addr}" "$texts" && { fail "$name: the status line showed the dial-back:"; cat "$texts"; }
    grep -q '"summary": "不在着信"' "$notices" && fail "$name: a missed-call notice appeared"

    local asked=$(date +%s%N)
    if [ "$how" = sigterm ]; then
        kill -TERM "$pid"
    else
        drive press --pid "$pid" --role "push button" --name "終了" || fail "$name: 終了"
    fi
    if wait_exit "$pid" 15; then
        [ "$app_status" -eq 0 ] || fail "$name: the program ended with status $app_status"
        echo "   ended $((($(date +%s%N) - asked) / 1000000)) ms after $how (mapping removed before it ends; budget 1900 ms)"
    else
        fail "$name: the program did not end"
    fi
    [ "$ipv6" = yes ] && [ "$(pinholes)" -ne 0 ] && fail "$name: the router still holds the IPv6 pinhole after the end"
    [ "$(mappings)" -eq 0 ] || fail "$name: the router still holds a mapping after the end"
    [ "${9:-}" = quits ] && quits_right_after_server
    [ -n "$mu_pid" ] && kill -TERM -- "-$mu_pid" 2>/dev/null
    wait_until 10 eval '! ip netns exec "$rtr" ss -Hlun "sport = :5351" | grep -q 5351'
}

outside_link public
variant both yes yes public "外部から着信できます (198.18.0.2:8002)" yes button ipv6 quits
variant natpmp yes no public "外部から着信できます (198.18.0.2:8002)" yes sigterm
variant upnp no yes public "外部から着信できます (198.18.0.2:8002)" yes button
variant neither no no public "外部から着信できません: ルーターがポートの割り当て (UPnP, NAT-PMP) に応じません。" no button
outside_link shared
variant shared yes yes shared "外部から着信できません: ルーターの外側のアドレス 100.64.0.2 は共有アドレスです" no sigterm

[ $status -eq 0 ] && echo "PASS: reachable from home through the router's mapping, and told why not"
exit $status
