#!/usr/bin/env bash
# Voice after stalls and sender-side gaps: a raw peer (bench/gaps.py) calls
# one real phone (bench/phone/voxlet_bench_phone) on a private sound server
# and sends 20 ms pieces or 8000-byte blocks with stalls and pauses; the
# phone's speaker is recorded and each run's figures are printed beside their
# targets. Asserts nothing. About three minutes.
#
#   bench/gaps.sh [run,...]   (runs: pieces-delivered, pieces-catching-up,
#                             pieces-dropped, blocks-paused,
#                             pieces-short-then-long)
# VOXLET_BUILD_DIR selects the build folder to use (default build/bench).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VOXLET_BUILD_DIR:-$root/build/bench}

for tool in pulseaudio pactl parec python3 cmake ninja; do
    command -v "$tool" >/dev/null || { echo "$tool is missing" >&2; exit 1; }
done

echo "building the bench phone in $build ..." >&2
[ -f "$build/build.ninja" ] ||
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVOXLET_TESTS=OFF >/dev/null
cmake "$build" -DVOXLET_BENCH=ON >/dev/null
ninja -C "$build" voxlet_bench_phone >/dev/null

tmp=$(mktemp -d)
svc_dir=$tmp/services
source "$root/scripts/services.sh"
trap 'svc_stop; rm -rf "$tmp"' EXIT
svc_sound speakerB:8k micB || exit 1
svc_keep_reading micB

echo "machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)" >&2
QT_QPA_PLATFORM=offscreen python3 "$root/bench/gaps.py" --phone "$build/bench/phone/voxlet_bench_phone" \
    ${1:+--runs "$1"} ${VOXLET_GAPS_VERBOSE:+--verbose}
