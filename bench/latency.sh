#!/usr/bin/env bash
# Prints the delay from phone A's microphone to phone B's speaker: two phones
# on loopback, each on virtual devices of a private PulseAudio, short clicks
# fed into A's microphone and timed to their arrival at B's speaker. Three
# runs, each beside its targets, and a reference:
#   tools   no phones: parec from A's microphone into pacat to B's speaker,
#           at the phones' buffer sizes: what the sound server's own path
#           costs;
#   direct  A calls B: two Voxlets, an HD call (encrypted);
#   clear   the same HD call in the clear (not among the defaults: what the
#           encryption costs, beside direct);
#   pcm     the same as an old-style call (VOXLET_OFFER=off): raw PCM;
#   blocks  A sends as a peer of the half-second design: 8000-byte blocks
#           every half second;
#   relay   A calls B through bench/jitter_relay.py (40 +- 20 ms per piece,
#           a 300 ms stall every 10 s).
#
# Both ends are channels of one virtual sink ("probe"): A's microphone
# listens to its left channel, B's speaker plays into its right one, and one
# recording of its monitor holds both, on one clock.
#
#   bench/latency.sh [clicks] [modes]   (default 24 clicks per run, modes
#                                        "tools direct pcm blocks relay"; needs
#                                        pulseaudio or, with
#                                        VOXLET_SOUND_SERVER=pipewire,
#                                        PipeWire; python3)
# The phones run as the program does, with their echo cancellers on
# (VOXLET_ECHO_CANCEL=off turns them off).
# VOXLET_BUILD_DIR selects the build folder to use (default build/bench);
# VOXLET_BENCH_KEEP=<dir> keeps the phones' own output there (a line a
# second), vmstat's record of each second, and on PipeWire pw-profiler's
# record of the graph's cycles.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
clicks=${1:-24}
modes=${2:-tools direct pcm blocks relay}
spacing=2.1 # seconds between clicks: longer than any delay we expect
build=${VOXLET_BUILD_DIR:-$root/build/bench}

for tool in pactl paplay parec python3 cmake ninja; do
    command -v "$tool" >/dev/null || { echo "$tool is missing" >&2; exit 1; }
done

echo "building the bench helper in $build ..." >&2
[ -f "$build/build.ninja" ] ||
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVOXLET_TESTS=OFF >/dev/null
cmake "$build" -DVOXLET_BENCH=ON >/dev/null
ninja -C "$build" voxlet_pair >/dev/null
pair=$build/bench/voxlet_pair

tmp=$(mktemp -d)
svc_dir=$tmp/services
source "$root/scripts/services.sh"
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
    svc_stop
    [ -z "${VOXLET_BENCH_KEEP:-}" ] || cp "$tmp"/pair-* "$VOXLET_BENCH_KEEP"/ 2>/dev/null || true
    rm -rf "$tmp"
}
trap cleanup EXIT
[ -z "${VOXLET_BENCH_KEEP:-}" ] || mkdir -p "$VOXLET_BENCH_KEEP"

svc_sound probe speakerA:8k micB || exit 1

# Low-latency readers on every other sink and source for the whole run, as
# a sound card would run; an idle null sink otherwise renders in two-second
# steps. The probe's own recording is made per run.
svc_keep_reading speakerA.monitor micA micB

# Kept output also holds the machine's second-by-second CPU (vmstat: the
# "st" column is time a virtual machine's host took), to tell the host's
# pauses from the phones' and the server's.
if [ -n "${VOXLET_BENCH_KEEP:-}" ] && command -v vmstat >/dev/null; then
    vmstat -n -t 1 >"$VOXLET_BENCH_KEEP/vmstat.log" 2>/dev/null &
    pids+=($!)
fi

# Kept output on PipeWire also holds the graph's own timing of every cycle,
# to tell which node held the sound back when a speaker ran dry.
if [ -n "${VOXLET_BENCH_KEEP:-}" ] && [ "$(svc_sound_kind)" = pipewire ] && command -v pw-profiler >/dev/null; then
    # (it writes its plot scripts where it runs)
    (cd "$VOXLET_BENCH_KEEP" && exec pw-profiler -o profiler.log) >/dev/null 2>&1 &
    pids+=($!)
fi

# Clicks: 16 ms bursts of 1 kHz on the left channel only (an HD call's
# codec codes speech: a shorter burst comes out of it at a third of its level).
python3 - "$tmp/clicks.wav" "$clicks" "$spacing" <<'PY'
import math, struct, sys, wave
path, n, spacing = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
rate = 8000
frames = bytearray()
for k in range(n):
    for i in range(int(spacing * rate)):
        left = int(20000 * math.sin(2 * math.pi * 1000 * i / rate)) if i < 128 else 0
        frames += struct.pack('<hh', left, 0)
frames += bytes(4 * rate)
with wave.open(path, 'wb') as w:
    w.setnchannels(2); w.setsampwidth(2); w.setframerate(rate); w.writeframes(bytes(frames))
PY

talk=$(python3 -c "print(int($clicks * $spacing + 8))")
net=250
measure() {
    local mode=$1 opts=() relay_pid=
    case $mode in
    blocks) opts+=(--blocks) ;;
    clear) opts+=(--unencrypted) ;;
    relay)
        python3 "$root/bench/jitter_relay.py" --listen 127.$net.0.9:8002 --to 127.$net.0.3:8002 \
            >"$tmp/relay.out" 2>&1 &
        relay_pid=$!
        pids+=("$relay_pid")
        for _ in $(seq 50); do grep -q listening "$tmp/relay.out" && break; sleep 0.1; done
        opts+=(--via 127.$net.0.9)
        ;;
    esac
    parec --latency-msec=20 -d probe.monitor --rate=8000 --channels=2 --format=s16le --raw \
        >"$tmp/probe-$mode.raw" 2>/dev/null &
    local rec=$!
    pids+=("$rec")
    sleep 2.5
    if [ "$mode" = tools ]; then
        tools "$mode" || return 1
    else
        call "$mode" "${opts[@]}" || return 1
    fi
    kill "$rec" 2>/dev/null || true
    wait "$rec" 2>/dev/null || true
    if [ -n "$relay_pid" ]; then
        kill "$relay_pid" 2>/dev/null || true
        wait "$relay_pid" 2>/dev/null || true
    fi
    analyse "$mode"
}

# The same path without the phones: the server's own tools, asking for the
# phones' buffer sizes (20 ms capture fragments, a 40 ms playback target).
tools() {
    local mode=$1
    : >"$tmp/pair-$mode.out"
    # A new reader of a remapped source gets nothing for a second or two
    # (longer on a busy machine; a fixed wait lost the first click): the
    # clicks start once half a second of the microphone has come through.
    parec --latency-msec=20 -d micA --rate=8000 --channels=1 --format=s16le --raw 2>/dev/null |
        tee "$tmp/tools-flow.raw" |
        pacat --latency-msec=40 -d speakerB --rate=8000 --channels=1 --format=s16le --raw 2>/dev/null &
    local loop=$!
    pids+=("$loop")
    for _ in $(seq 300); do
        [ "$(stat -c %s "$tmp/tools-flow.raw" 2>/dev/null || echo 0)" -ge 8000 ] && break
        sleep 0.1
    done
    [ "$(stat -c %s "$tmp/tools-flow.raw" 2>/dev/null || echo 0)" -ge 8000 ] ||
        { echo "$mode: nothing came from micA in 30 s" >&2; return 1; }
    echo "$mode: feeding $clicks clicks, ${spacing} s apart ..." >&2
    paplay --latency-msec=20 -d probe "$tmp/clicks.wav"
    kill "$loop" 2>/dev/null || true
    wait "$loop" 2>/dev/null || true
}

call() {
    local mode=$1 offer=${VOXLET_OFFER:-}
    shift
    [ "$mode" != pcm ] || offer=off
    VOXLET_OFFER=$offer QT_QPA_PLATFORM=offscreen "$pair" --net $net --seconds "$talk" --mic-a micA --speaker-a speakerA \
        --mic-b micB --speaker-b speakerB "$@" >"$tmp/pair-$mode.out" 2>"$tmp/pair-$mode.err" &
    local pair_pid=$!
    pids+=("$pair_pid")
    for _ in $(seq 300); do
        grep -q CONNECTED "$tmp/pair-$mode.out" && break
        kill -0 "$pair_pid" 2>/dev/null || break
        sleep 0.1
    done
    grep -q CONNECTED "$tmp/pair-$mode.out" || { echo "$mode: the call did not come up" >&2; cat "$tmp/pair-$mode.err" >&2; return 1; }
    sleep 2
    echo "$mode: feeding $clicks clicks, ${spacing} s apart ..." >&2
    paplay --latency-msec=20 -d probe "$tmp/clicks.wav"
    wait "$pair_pid" || true
    grep DONE "$tmp/pair-$mode.out" >&2 || true
    grep -E "box|sound backend" "$tmp/pair-$mode.err" >&2 || true
}

analyse() {
    local mode=$1
    python3 - "$tmp/probe-$mode.raw" "$spacing" "$tmp/pair-$mode.out" "$mode" "$tmp/tools.median" <<'PY'
import os, re, statistics, struct, sys
path, spacing, out, mode, reference = sys.argv[1], float(sys.argv[2]), sys.argv[3], sys.argv[4], sys.argv[5]
rate = 8000
data = open(path, 'rb').read()
n = len(data) // 4
samples = struct.unpack('<%dh' % (2 * n), data[:4 * n])
left, right = samples[0::2], samples[1::2]

def onsets(ch, start=0, level=8000):
    found, i = [], start
    while i < len(ch):
        if abs(ch[i]) > level:
            found.append(i)
            i += int(0.3 * rate)
        else:
            i += 1
    return found

sent = onsets(left)
if not sent:
    sys.exit("no clicks found in the recording")
# Through an HD call a click comes out at 5000-20000 (the canceller at
# 16 kHz lowers the first ones): its arrival is where it passes 3000.
heard = onsets(right, sent[0], 3000)
delays, lost = [], 0
for s in sent:
    later = [h for h in heard if s < h < s + spacing * rate]
    if later:
        delays.append((later[0] - s) * 1000.0 / rate)
    else:
        lost += 1
if not delays:
    sys.exit("no click arrived at B's speaker")
ordered = sorted(delays)
p95 = ordered[min(len(ordered) - 1, int(round(0.95 * (len(ordered) - 1))))]
median = statistics.median(delays)
text = open(out).read()
ticks = [(int(t), int(u)) for t, u in re.findall(r"t=(\d+)s .*?underruns=(\d+)", text)]
tick_delays = [(int(t), int(d)) for t, d in re.findall(r"t=(\d+)s delay=(\d+)ms", text)]
recovered = [int(x) for x in re.findall(r"RECOVERED (\d+)", text)]
secs = ticks[-1][0] if ticks else 0
underruns = ticks[-1][1] if ticks else 0
# Steady state: from 10 s into the call (the buffer has learnt the pattern).
steady = [u for t, u in ticks if t >= 10]
steady_underruns = steady[-1] - steady[0] if len(steady) > 1 else 0
print("%s: %d clicks (%d lost): median %.0f ms, 95th percentile %.0f ms, min %.0f ms, max %.0f ms"
      % (mode, len(delays), lost, median, p95, ordered[0], ordered[-1]))
codec = ("HD, encrypted" if "CONNECTED hd encrypted" in text else "HD") if "CONNECTED hd" in text else "raw PCM"
if mode in ("direct", "clear", "pcm"):
    print("  mouth-to-ear between two Voxlets (%s): median %.0f ms (target <= 100), 95th percentile %.0f ms "
          "(target <= 150)" % (codec, median, p95))
    wire = re.search(r"WIRE bytes a second: A to B (\d+), B to A (\d+)", text)
    if wire:
        print("  on the wire, bytes a second: A to B %s, B to A %s (target <= 8000 each way)" % wire.groups())
    if os.path.exists(reference):
        tools = float(open(reference).read())
        print("  of which the sound server's own path (parec | pacat) %.0f ms, the phones' %.0f ms" % (tools, median - tools))
    at10 = [d for t, d in tick_delays if t >= 10]
    if len(at10) > 1:
        print("  speaker B's delay: %d ms at 10 s, %d ms at the end (%+d ms; target within 20)"
              % (at10[0], at10[-1], at10[-1] - at10[0]))
elif mode == "blocks":
    print("  a peer sending 8000-byte blocks every 0.5 s: median %.0f ms, max %.0f ms (target <= 600)"
          % (median, ordered[-1]))
    print("  underruns in steady state (from 10 s on): %d (target 0); in all %d in %d s"
          % (steady_underruns, underruns, secs))
elif mode == "tools":
    print("  the same path through parec | pacat alone (reference): median %.0f ms" % median)
    open(reference, "w").write("%.1f" % median)
else:
    print("  through the jitter relay: median %.0f ms (target <= 250)" % median)
    print("  underruns %d in %d s: %.1f per minute" % (underruns, secs, underruns * 60.0 / max(1, secs)))
    print("  back at the target after each underrun: %s ms (target <= 3000 each)"
          % (" ".join(map(str, recovered)) or "none"))
print("  each: " + " ".join("%.0f" % d for d in delays))
print("  speaker B: underruns=%d in %d s; recovered=%s; steady_underruns=%d" % (underruns, secs,
      ",".join(map(str, recovered)) or "-", steady_underruns))
PY
}

for mode in $modes; do
    measure "$mode"
done
