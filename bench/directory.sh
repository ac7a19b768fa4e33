#!/usr/bin/env bash
# voxlet-directory under load: builds a release voxlet-directory and the load
# generator (bench/directory/), then measures
#   1. the in-memory store, one process: 100 000 registrations held, then
#      mixed registrations from all of them;
#   2. the Redis store (a private redis-server on a Unix socket), one process;
#   3. two processes on one port (SO_REUSEPORT) sharing that Redis: no
#      exchange and no registration may be lost.
# Prints figures beside their targets; asserts nothing. About 2 minutes.
#
#   bench/directory.sh [--seconds S] [--server PATH]
#       S: length of each timed run, default 10; PATH: measure that
#       voxlet-directory instead of the one built here (an older build, to
#       compare in the same session)
#
# The machine is shared: other work on it shows up in the figures.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VOXLET_BENCH_BUILD:-$root/build/bench}
port=${DIRECTORY_BENCH_PORT:-18003}
seconds=10
other_server=
while [ $# -gt 0 ]; do
    case $1 in
    --seconds) seconds=$2; shift 2 ;;
    --server) other_server=$2; shift 2 ;;
    *) echo "usage: bench/directory.sh [--seconds S] [--server PATH]" >&2; exit 2 ;;
    esac
done

for tool in cmake ninja redis-server redis-cli; do
    command -v "$tool" >/dev/null || { echo "$tool is missing (see scripts/packages.d/)" >&2; exit 1; }
done

echo "building voxlet-directory (release) in $build and the load generator ..." >&2
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVOXLET_TESTS=OFF -DVOXLET_BENCH=ON >/dev/null
ninja -C "$build" voxlet-directory directory_load >/dev/null
server=${other_server:-$build/server/voxlet-directory}
load=$build/bench/directory/directory_load

tmp=$(mktemp -d /tmp/voxlet-directory-bench.XXXXXX)
svc_dir=$tmp/services
source "$root/scripts/services.sh"
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
    svc_stop
    rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

wait_port() {
    for _ in $(seq 100); do
        (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && return 0
        sleep 0.05
    done
    echo "voxlet-directory did not start on port $port" >&2
    exit 1
}
stop_servers() {
    for p in "$@"; do kill "$p"; wait "$p" 2>/dev/null || true; done
}

echo "server: $server"
echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg) before the runs"
echo

# 1. In memory, one process.
"$server" --quiet --listen 127.0.0.1 --port "$port" --max-users 200000 &
mem=$!; pids+=("$mem"); wait_port
"$load" --server 127.0.0.1:$port --pid $mem --users 100000 --preload --concurrency 64 \
    --label "in memory, 1 process: registering 100 000 users" --target-rss-mb 100
"$load" --server 127.0.0.1:$port --pid $mem --users 100000 --seconds "$seconds" --concurrency 64 \
    --label "in memory, 1 process: refreshes of 100 000 users" --target-rate 15000 --target-p99-ms 10
stop_servers $mem
echo

# 2. Redis, one process.
svc_redis || exit 1
redis=$svc_pid
"$server" --quiet --listen 127.0.0.1 --port "$port" --max-users 200000 --store "unix:$svc_redis_socket" &
one=$!; pids+=("$one"); wait_port
"$load" --server 127.0.0.1:$port --pid $one --pid $redis --users 20000 --preload --concurrency 64 \
    --label "Redis, 1 process: registering 20 000 users (second pid: redis-server)"
"$load" --server 127.0.0.1:$port --pid $one --pid $redis --users 20000 --seconds "$seconds" --concurrency 64 \
    --label "Redis, 1 process: refreshes of 20 000 users (second pid: redis-server)" \
    --target-rate 5000 --target-p99-ms 20
stop_servers $one
echo

# 3. Two processes on one port, one Redis, starting empty.
redis-cli -s "$svc_redis_socket" flushall >/dev/null
"$server" --quiet --listen 127.0.0.1 --port "$port" --reuse-port --max-users 200000 --store "unix:$svc_redis_socket" &
p1=$!; pids+=("$p1"); wait_port
"$server" --quiet --listen 127.0.0.1 --port "$port" --reuse-port --max-users 200000 --store "unix:$svc_redis_socket" &
p2=$!; pids+=("$p2"); sleep 0.3
"$load" --server 127.0.0.1:$port --pid $p1 --pid $p2 --pid $redis --users 20000 --preload --concurrency 64 \
    --label "Redis, 2 processes on one port: registering 20 000 users" --target-lost
echo "  users in Redis: $(redis-cli -s "$svc_redis_socket" zcard voxlet-directory:order) (target 20000)"
"$load" --server 127.0.0.1:$port --pid $p1 --pid $p2 --pid $redis --users 20000 --seconds "$seconds" \
    --concurrency 64 --label "Redis, 2 processes on one port: refreshes of 20 000 users" \
    --target-p99-ms 20 --target-lost
stop_servers $p1 $p2
echo "machine: load average $(cut -d' ' -f1-3 /proc/loadavg) after the runs"
