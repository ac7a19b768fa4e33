#!/usr/bin/env bash
# Takes the screenshots of the README under a virtual display (a private Xvfb
# when DISPLAY is unset) and a private PulseAudio, into docs/images/:
#   main-window.png     the program's main window just after start
#   received-trace.png  the main window during a call, with the trace of the
#                       received voice (a tone fed into the other phone)
#   no-sound-server.png the message shown when no sound server answers
# VOXLET_BUILD_DIR selects the build folder to use (default build/bench).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VOXLET_BUILD_DIR:-$root/build/bench}
out=$root/docs/images

for tool in Xvfb xdotool import pulseaudio pactl paplay parec python3 cmake ninja; do
    command -v "$tool" >/dev/null || { echo "$tool is missing" >&2; exit 1; }
done

echo "building the program and the two-phone helper in $build ..." >&2
[ -f "$build/build.ninja" ] ||
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVOXLET_TESTS=OFF >/dev/null
cmake "$build" -DVOXLET_BENCH=ON >/dev/null
ninja -C "$build" voxlet voxlet_pair >/dev/null

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
mkdir -p "$out"

svc_display --reuse || exit 1
unset QT_QPA_PLATFORM

# The program's own devices, and a speaker and a microphone per phone for the call.
svc_sound speaker mic speakerA:8k speakerB:8k micA micB || exit 1
svc_keep_reading mic micA micB speaker.monitor speakerA.monitor speakerB.monitor

# The visible window of process $1 whose title matches $2 (bounded wait).
window_of() {
    local w owner
    for _ in $(seq 60); do
        for w in $(timeout 10 xdotool search --onlyvisible --name "$2" 2>/dev/null); do
            owner=$(timeout 10 xdotool getwindowpid "$w" 2>/dev/null || true)
            [ "$owner" = "$1" ] && { echo "$w"; return 0; }
        done
        sleep 0.5
    done
    echo "no window \"$2\" of process $1" >&2
    return 1
}

# --- the program as a user starts it ---------------------------------------
mkdir -p "$tmp/app"
cp "$build/src/voxlet" "$root"/resources/sounds/{Ring,Anybody,Ans}.wav "$tmp/app/"
printf '1 Hanako 192.168.0.12 Ring.wav 12:30:00\r\n2 Taro 192.168.0.20 Ring.wav 09:15:00\r\n' >"$tmp/app/Tel.txt"
(cd "$tmp/app" && exec ./voxlet >"$tmp/voxlet.log" 2>&1) &
app=$!
pids+=("$app")
win=$(window_of "$app" '^Voxlet $')
sleep 1
import -window "$win" "$out/main-window.png"
kill "$app"
echo "wrote $out/main-window.png" >&2

# --- the same without a sound server: the device message --------------------
(cd "$tmp/app" && exec env PULSE_SERVER="unix:$tmp/no-such-socket" ./voxlet >"$tmp/voxlet2.log" 2>&1) &
app=$!
pids+=("$app")
win=$(window_of "$app" '^Error$')
sleep 0.5
import -window "$win" "$out/no-sound-server.png"
kill "$app"
echo "wrote $out/no-sound-server.png" >&2

# --- a call: B's microphone hears a tone, A's window draws what it receives --
python3 - "$tmp/tone.wav" <<'PY'
import math, struct, sys, wave
rate, seconds = 8000, 20
frames = bytearray()
for i in range(rate * seconds):
    t = i / rate
    envelope = 0.55 + 0.45 * math.sin(2 * math.pi * 1.3 * t)  # so the trace shows its shape
    frames += struct.pack('<h', int(3000 * envelope * math.sin(2 * math.pi * 440 * t)))
with wave.open(sys.argv[1], 'wb') as w:
    w.setnchannels(1); w.setsampwidth(2); w.setframerate(rate); w.writeframes(bytes(frames))
PY
"$build/bench/voxlet_pair" --show --seconds 8 --mic-a micA --speaker-a speakerA \
    --mic-b micB --speaker-b speakerB >"$tmp/pair.out" 2>"$tmp/pair.err" &
pair=$!
pids+=("$pair")
for _ in $(seq 300); do
    grep -q CONNECTED "$tmp/pair.out" && break
    sleep 0.1
done
grep -q CONNECTED "$tmp/pair.out" || { echo "the call did not come up" >&2; cat "$tmp/pair.err" >&2; exit 1; }
paplay --latency-msec=20 -d micsinkB "$tmp/tone.wav" 2>/dev/null &
pids+=($!)
win=$(window_of "$pair" '^Voxlet $')
sleep 3
import -window "$win" "$out/received-trace.png"
echo "wrote $out/received-trace.png" >&2
wait "$pair" || true
grep DONE "$tmp/pair.out" >&2 || true
