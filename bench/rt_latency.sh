#!/usr/bin/env bash
# Times the real-time voice path on its own (not yet the phones' call path):
# A's microphone captured in 20 ms pieces on the sound server backend, sent
# as they come over TCP, played at B through the jitter buffer. Clicks fed
# into A's microphone are timed to their arrival at B's speaker on one
# recording, as bench/latency.sh does for two phones.
#
#   bench/rt_latency.sh [--relay] [--blocks] [clicks]
#     --relay   through bench/jitter_relay.py (40 +- 20 ms per piece, a 300 ms
#               stall every 10 s)
#     --blocks  A sends 8000-byte blocks every half second, as the old path
#     --cpu     no clicks: 40 s on plain virtual devices with no other reader,
#               prints the CPU of both ends together
# VOXLET_BUILD_DIR selects the build folder (default build/bench);
# VOXLET_RT_TRACE=<file> keeps the helper's per-second trace.
# Prints figures beside their targets; asserts nothing.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
relay=0 blocks=0 cpu=0 clicks=24
for a in "$@"; do
    case $a in
    --relay) relay=1 ;;
    --blocks) blocks=1 ;;
    --cpu) cpu=1 ;;
    *) clicks=$a ;;
    esac
done
spacing=2.1
build=${VOXLET_BUILD_DIR:-$root/build/bench}

for tool in pulseaudio pactl paplay parec python3 cmake ninja; do
    command -v "$tool" >/dev/null || { echo "$tool is missing" >&2; exit 1; }
done

echo "building in $build ..." >&2
[ -f "$build/build.ninja" ] ||
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVOXLET_TESTS=OFF >/dev/null
cmake "$build" -DVOXLET_BENCH=ON >/dev/null
ninja -C "$build" rt_voice_pair >/dev/null
pair=$build/bench/rt_voice_pair

tmp=$(mktemp -d)
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

if [ $cpu = 1 ]; then
    # As with a sound card only the phone uses: nothing else reads the devices.
    svc_sound speakerB:8k micA || exit 1
else
    svc_sound probe || exit 1
fi
if [ $cpu = 1 ]; then
    "$pair" --mic-a micA --speaker-b speakerB --seconds 40 --listen 127.253.0.3:9302 >"$tmp/pair.out" 2>"$tmp/pair.err" ||
        { cat "$tmp/pair.err" >&2; exit 1; }
    python3 - "$tmp/pair.out" <<'PY'
import re, sys
m = re.search(r"DONE seconds=(\d+) cpu=([\d.]+)% .*underruns=(\d+)", open(sys.argv[1]).read())
print("real-time voice path alone, %s s on plain virtual devices:" % m.group(1))
print("  CPU of both ends together %s %% of a core (target per phone <= 1); underruns %s" % (m.group(2), m.group(3)))
PY
    exit 0
fi
parec --latency-msec=20 -d probe.monitor --rate=8000 --channels=2 --format=s16le --raw >"$tmp/probe.raw" 2>/dev/null &
pids+=($!)
sleep 1

talk=$(python3 -c "print(int($clicks * $spacing + 6))")
opts=(--mic-a micA --speaker-b speakerB --seconds "$talk" --listen 127.253.0.3:9302)
[ $blocks = 1 ] && opts+=(--blocks)
if [ $relay = 1 ]; then
    python3 "$root/bench/jitter_relay.py" --listen 127.253.0.4:9303 --to 127.253.0.3:9302 >"$tmp/relay.out" 2>&1 &
    pids+=($!)
    for _ in $(seq 50); do grep -q listening "$tmp/relay.out" && break; sleep 0.1; done
    opts+=(--via 127.253.0.4:9303)
fi
"$pair" "${opts[@]}" >"$tmp/pair.out" 2>"$tmp/pair.err" &
pair_pid=$!
pids+=("$pair_pid")
for _ in $(seq 100); do
    grep -q CONNECTED "$tmp/pair.out" && break
    kill -0 "$pair_pid" 2>/dev/null || break
    sleep 0.1
done
grep -q CONNECTED "$tmp/pair.out" || { echo "no connection" >&2; cat "$tmp/pair.err" >&2; exit 1; }
sleep 2

python3 - "$tmp/clicks.wav" "$clicks" "$spacing" <<'PY'
import math, struct, sys, wave
path, n, spacing = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
rate = 8000
frames = bytearray()
for k in range(n):
    for i in range(int(spacing * rate)):
        left = int(20000 * math.sin(2 * math.pi * 2000 * i / rate)) if i < 32 else 0
        frames += struct.pack('<hh', left, 0)
with wave.open(path, 'wb') as w:
    w.setnchannels(2); w.setsampwidth(2); w.setframerate(rate); w.writeframes(bytes(frames))
PY
echo "feeding $clicks clicks, ${spacing} s apart ..." >&2
paplay --latency-msec=20 -d probe "$tmp/clicks.wav"
wait "$pair_pid" || true
[ -n "${VOXLET_RT_TRACE:-}" ] && cp "$tmp/pair.out" "$VOXLET_RT_TRACE"

python3 - "$tmp/probe.raw" "$spacing" "$tmp/pair.out" "$relay" "$blocks" <<'PY'
import re, statistics, struct, sys
path, spacing, out, relay, blocks = sys.argv[1], float(sys.argv[2]), sys.argv[3], sys.argv[4] == "1", sys.argv[5] == "1"
rate = 8000
data = open(path, 'rb').read()
n = len(data) // 4
samples = struct.unpack('<%dh' % (2 * n), data[:4 * n])
left, right = samples[0::2], samples[1::2]

def onsets(ch, start=0):
    found, i = [], start
    while i < len(ch):
        if abs(ch[i]) > 8000:
            found.append(i)
            i += int(0.3 * rate)
        else:
            i += 1
    return found

sent = onsets(left)
if not sent:
    sys.exit("no clicks found in the recording")
heard = onsets(right, sent[0])
delays, lost = [], 0
for s in sent:
    later = [h for h in heard if s < h < s + spacing * rate]
    if later:
        delays.append((later[0] - s) * 1000.0 / rate)
    else:
        lost += 1
if not delays:
    sys.exit("no click arrived at B's speaker")
delays.sort()
p95 = delays[min(len(delays) - 1, int(round(0.95 * (len(delays) - 1))))]
median = statistics.median(delays)
text = open(out).read()
done = re.search(r"DONE seconds=(\d+) cpu=([\d.]+)% .*underruns=(\d+) dropped=(\d+) inserted=(\d+) target=(\d+)ms", text)
recovered = [int(x) for x in re.findall(r"RECOVERED (\d+)", text)]
mode = "through the jitter relay" if relay else ("8000-byte blocks every 0.5 s" if blocks else "direct")
print("real-time voice path alone (%s), %d clicks (%d lost):" % (mode, len(delays), lost))
if relay:
    print("  mouth-to-ear median %.0f ms (target <= 250)" % median)
elif blocks:
    print("  mouth-to-ear median %.0f ms, max %.0f ms (target <= 600)" % (median, delays[-1]))
else:
    print("  mouth-to-ear median %.0f ms (target <= 100), 95th percentile %.0f ms (target <= 150)" % (median, p95))
print("  min %.0f ms, max %.0f ms; each: %s" % (delays[0], delays[-1], " ".join("%.0f" % d for d in delays)))
if done:
    secs, cpu, underruns = int(done.group(1)), float(done.group(2)), int(done.group(3))
    print("  underruns %d in %d s (%.1f per minute), dropped %s, inserted %s samples, final target %s ms"
          % (underruns, secs, underruns * 60.0 / max(1, secs), done.group(4), done.group(5), done.group(6)))
    print("  CPU of the helper (both ends: capture and send, receive and play) %.2f %% of a core" % cpu)
if recovered:
    print("  back at the target after each underrun: %s ms (target <= 3000)" % " ".join(map(str, recovered)))
PY
