#!/usr/bin/env bash
# The benchmark: builds a release build, starts a private sound server with
# virtual devices and a virtual display, and prints start-up time, memory,
# CPU idle, ringing and in a call (beside baresip's), and the mouth-to-ear
# delay, each beside its target. Prints figures; asserts nothing.
#
#   bench/run.sh [--quick] [--server pulseaudio|pipewire] [--one-server] [--markdown FILE]
#                [other bench.py options]
#
# --server (or VOXLET_SOUND_SERVER) chooses the sound server: PulseAudio, or
# PipeWire with WirePlumber and pipewire-pulse. The call is also measured on
# the other one, in turns with the first one's calls (--one-server: not).
#
# Installs what is missing (scripts/packages.d/*.txt and bench/packages.txt,
# which only the benchmark needs). Takes about 20 minutes on 2 cores (plus the
# build); --quick takes about 2.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VOXLET_BENCH_BUILD:-$root/build/bench}

bash "$root/scripts/deps.sh" "$root/bench/packages.txt"

extra=()
other=yes
while [ $# -gt 0 ]; do
    case $1 in
    --one-server) other=no ;;
    --quick) extra+=(--runs 1 --startup-runs 3 --call-seconds 10 --window-seconds 5 --clicks 8) ;;
    --server)
        export VOXLET_SOUND_SERVER=$2
        shift
        ;;
    *) extra+=("$1") ;;
    esac
    shift
done

for tool in cmake ninja pactl paplay parec Xvfb xev xdotool stdbuf python3; do
    command -v "$tool" >/dev/null || { echo "$tool is missing (see scripts/packages.d/ and bench/packages.txt)" >&2; exit 1; }
done

echo "building the release build in $build ..." >&2
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVOXLET_TESTS=OFF -DVOXLET_BENCH=ON >/dev/null
ninja -C "$build" voxlet voxlet_bench_phone voxlet_bench_empty_window echo_alone opus_alone >/dev/null

tmp=$(mktemp -d /tmp/voxlet-bench.XXXXXX)
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

# Sound server: a microphone and a speaker per phone.
devices=(speakerA:8k speakerB:8k micA micB)
svc_sound "${devices[@]}" || exit 1
# The other server, with the same devices, for the call's turns on it.
if [ "$other" = yes ]; then
    case $(svc_sound_kind) in
    pipewire) other=pulseaudio ;;
    *) other=pipewire ;;
    esac
    mkdir -p "$svc_dir/other"
    svc_start "$svc_dir/other.log" env VOXLET_SOUND_SERVER=$other bash "$svc_script" sound-server \
        "$svc_dir/other" "${devices[@]}"
    VOXLET_SOUND_SERVER=$other svc_wait 15 svc_sound_ready "$svc_dir/other" || {
        echo "the other sound server ($other) did not start" >&2
        exit 1
    }
    VOXLET_SOUND_SERVER=$other bash "$svc_script" sound-env "$svc_dir/other" >"$tmp/other.env"
    extra+=(--other-server "$other" --other-env "$tmp/other.env")
fi
# No reader keeps the microphones running, as with a sound card that only
# the phone uses: a reader that holds a source at a long latency makes every
# new recording stream wait about that long to start, and one at a short
# latency makes every stream of the device tick in 5 ms steps. Set
# VOXLET_BENCH_MIC_LATENCY_MS to add such a reader anyway.
if [ -n "${VOXLET_BENCH_MIC_LATENCY_MS:-}" ]; then
    for source in micA micB; do
        parec --latency-msec="$VOXLET_BENCH_MIC_LATENCY_MS" -d "$source" --raw >/dev/null &
        pids+=($!)
    done
fi

# Display: a bare Xvfb (no window manager, no compositor).
svc_display || exit 1
unset DBUS_SESSION_BUS_ADDRESS QT_QPA_PLATFORM

echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //'), load $(cut -d' ' -f1-3 /proc/loadavg)" >&2
timeout 2400 python3 "$root/bench/bench.py" --root "$root" --build "$build" --voxlet "$build/src/voxlet" \
    --phone "$build/bench/phone/voxlet_bench_phone" "${extra[@]}"
