#!/usr/bin/env bash
# Prints the delay from phone A's microphone to phone B's speaker: two phones
# on loopback, each on virtual devices of a private PulseAudio, short clicks
# fed into A's microphone and timed to their arrival at B's speaker.
#
# Both ends are channels of one virtual sink ("probe"): A's microphone
# listens to its left channel, B's speaker plays into its right one, and one
# recording of its monitor holds both, on one clock.
#
#   bench/latency.sh [clicks]        (default 24; needs pulseaudio, python3)
# VOXLET_BUILD_DIR selects the build folder to use (default build/bench).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
clicks=${1:-24}
spacing=2.1 # seconds between clicks: longer than any delay we expect
build=${VOXLET_BUILD_DIR:-$root/build/bench}

for tool in pulseaudio pactl paplay parec python3 cmake ninja; do
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
    rm -rf "$tmp"
}
trap cleanup EXIT

svc_sound probe speakerA:8k micB || exit 1

# Low-latency readers on every sink and source for the whole run, as a sound
# card would run; an idle null sink otherwise renders in two-second steps.
parec --latency-msec=20 -d probe.monitor --rate=8000 --channels=2 --format=s16le --raw >"$tmp/probe.raw" 2>/dev/null &
pids+=($!)
svc_keep_reading speakerA.monitor micA micB
sleep 2.5

talk=$(python3 -c "print(int($clicks * $spacing + 6))")
QT_QPA_PLATFORM=offscreen "$pair" --seconds "$talk" --mic-a micA --speaker-a speakerA \
    --mic-b micB --speaker-b speakerB >"$tmp/pair.out" 2>"$tmp/pair.err" &
pair_pid=$!
pids+=("$pair_pid")
for _ in $(seq 300); do
    grep -q CONNECTED "$tmp/pair.out" && break
    kill -0 "$pair_pid" 2>/dev/null || break
    sleep 0.1
done
grep -q CONNECTED "$tmp/pair.out" || { echo "the call did not come up" >&2; cat "$tmp/pair.err" >&2; exit 1; }
sleep 1

# Clicks: 4 ms bursts on the left channel only.
python3 - "$tmp/clicks.wav" "$clicks" "$spacing" <<'PY'
import math, struct, sys, wave
path, n, spacing = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
rate = 8000
frames = bytearray()
for k in range(n):
    for i in range(int(spacing * rate)):
        left = int(20000 * math.sin(2 * math.pi * 2000 * i / rate)) if i < 32 else 0
        frames += struct.pack('<hh', left, 0)
frames += bytes(4 * rate)
with wave.open(path, 'wb') as w:
    w.setnchannels(2); w.setsampwidth(2); w.setframerate(rate); w.writeframes(bytes(frames))
PY
echo "feeding $clicks clicks, ${spacing} s apart ..." >&2
paplay --latency-msec=20 -d probe "$tmp/clicks.wav"
wait "$pair_pid" || true
cat "$tmp/pair.out" | grep DONE >&2 || true
grep box "$tmp/pair.err" >&2 || true

python3 - "$tmp/probe.raw" "$spacing" <<'PY'
import statistics, struct, sys
path, spacing = sys.argv[1], float(sys.argv[2])
rate = 8000
data = open(path, 'rb').read()
n = len(data) // 4
samples = struct.unpack('<%dh' % (2 * n), data[:4 * n])
left, right = samples[0::2], samples[1::2]

def onsets(ch, start=0):
    out, i, quiet = [], start, int(0.3 * rate)
    while i < len(ch):
        if abs(ch[i]) > 8000:
            out.append(i)
            i += quiet
        else:
            i += 1
    return out

sent = onsets(left)
if not sent:
    sys.exit("no clicks found in the recording")
heard = onsets(right, sent[0])
delays, missing = [], 0
for s in sent:
    later = [h for h in heard if s < h < s + spacing * rate]
    if later:
        delays.append((later[0] - s) * 1000.0 / rate)
    else:
        missing += 1
if not delays:
    sys.exit("no click arrived at B's speaker")
print("capture-to-playback delay, A's microphone to B's speaker, %d clicks (%d lost):" % (len(delays), missing))
print("  median %.0f ms, min %.0f ms, max %.0f ms" % (statistics.median(delays), min(delays), max(delays)))
print("  each: " + " ".join("%.0f" % d for d in delays))
PY
