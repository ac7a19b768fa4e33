#!/usr/bin/env bash
# Prints the echo canceller's figures beside their targets, on PulseAudio and
# on PipeWire (native, and through libpulse as VOXLET_SOUND_BACKEND=pulse
# has it): an echo path from the speaker's monitor into the microphone
# (module-loopback at 60 and 250 ms, -13 dB), a far end sending speech-like
# sound in 20 ms pieces, a near end that joins it. The near end talks with
# speech-like sound, with syllable-rate 1 kHz bursts (as a user tries it) and
# with speech from espeak-ng (60 ms path). The measuring is the echo test's
# own (tests/audio/echo_canceller_test.cpp), run several times; each figure
# is the median and the worst of those runs. Asserts nothing.
#
#   bench/echo.sh [runs] [servers]    (default 3 runs, "pulseaudio pipewire pipewire-pulse")
# VOXLET_TEST_BUILD_DIR selects the build with the tests (default build/normal).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-3}
servers=${2:-pulseaudio pipewire pipewire-pulse}
build=${VOXLET_TEST_BUILD_DIR:-$root/build/normal}

echo "building the echo test in $build ..." >&2
[ -f "$build/build.ninja" ] || cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target audio_echo_canceller_test >/dev/null

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
# The near end's other voices, 16-bit mono at 8000 samples/s.
python3 - "$tmp/bursts.wav" <<'PY'
import math, struct, sys, wave
rate, frames = 8000, bytearray()
for i in range(5 * rate):
    on = (i % 2000) < 1200  # 150 ms on, 100 ms off: four syllables a second
    frames += struct.pack('<h', int(8000 * math.sin(2 * math.pi * 1000 * i / rate)) if on else 0)
with wave.open(sys.argv[1], 'wb') as w:
    w.setnchannels(1); w.setsampwidth(2); w.setframerate(rate); w.writeframes(bytes(frames))
PY
espeak-ng -s 150 -w "$tmp/espeak-raw.wav" \
    "The quick brown fox jumps over the lazy dog, and then it runs back home again before the rain." 2>/dev/null
sox "$tmp/espeak-raw.wav" -r 8000 -c 1 -b 16 "$tmp/espeak.wav" norm -8

case_of() { [ "$1" = speechlike ] && echo cancelsAnEchoThroughTheSoundServer || echo "cancelsAnEchoThroughTheSoundServer:60 ms"; }
for server in $servers; do
    kind=${server%-pulse}
    backend=
    [ "$server" = pipewire-pulse ] && backend=pulse
    for near in speechlike bursts espeak; do
        wav=
        [ "$near" = speechlike ] || wav=$tmp/$near.wav
        for run in $(seq "$runs"); do
            echo "$server, near end $near: run $run of $runs ..." >&2
            out=$tmp/$server-$near-$run.txt
            VOXLET_SOUND_SERVER=$kind VOXLET_SOUND_BACKEND=$backend VOXLET_ECHO_NEAR_WAV=$wav \
                QT_QPA_PLATFORM=offscreen VOXLET_SOURCE_DIR=$root \
                "$build/tests/audio_echo_canceller_test" "$(case_of "$near")" >"$out" 2>&1 ||
                echo "$server: run $run failed (see below)" >&2
            sed -i "s/^/$server $near /" "$out"
            grep -q "SKIP" "$out" && { grep "SKIP" "$out" >&2; break 2; }
        done
    done
done

python3 - "$tmp" <<'PY'
import glob, os, re, statistics, sys
rx = re.compile(r"^(\S+) (\S+) .*?\w+, (\d+) ms path: ERLE after 2 s ([-\d.]+) dB .*?time to 20 dB ([-\d.]+) s .*?"
                r"double talk ([-\d.]+) dB .*?alone ([-\d.]+) dB; double talk against alone ([-\d.]+) dB; "
                r"echo at the microphone ([-\d.]+) dB under", re.M)
rows = {}
for path in sorted(glob.glob(os.path.join(sys.argv[1], "*.txt"))):
    text = open(path, errors="replace").read()
    for m in rx.finditer(text):
        key = (m.group(1), m.group(2), int(m.group(3)))
        rows.setdefault(key, []).append(tuple(float(x) for x in m.groups()[3:]))
    for line in text.splitlines():
        if "FAIL" in line:
            print("note: " + os.path.basename(path) + ": " + line)
if not rows:
    sys.exit("no figures: did the echo test run?")
print()
print("Echo canceller through a real sound server (median, worst of the runs)")
print("%-15s %-10s %5s %4s  %-27s  %-22s  %-24s  %-24s  %-22s  %s" % (
    "server", "near end", "path", "runs", "ERLE after 2 s (>= 30)", "time to 20 dB (<= 1.5)",
    "double talk, loss (<= 6)", "... against alone (<= 6)", "alone, loss (<= 3)", "echo at the mic"))
ok = lambda c: "ok" if c else "MISSED"
for (server, near, ms), figs in sorted(rows.items()):
    erle, t20 = [f[0] for f in figs], [f[1] if f[1] >= 0 else 99 for f in figs]
    dt, alone, against, echo = ([f[i] for f in figs] for i in (2, 3, 4, 5))
    print("%-15s %-10s %3d ms %4d  %5.1f, worst %5.1f %-6s  %4.2f, worst %4.2f %-6s  %4.1f, worst %4.1f %-6s  "
          "%4.1f, worst %4.1f %-6s  %4.1f, worst %4.1f %-6s  -%.1f dB"
          % (server, near, ms, len(figs), statistics.median(erle), min(erle),
             ok(statistics.median(erle) >= 30 and min(erle) >= 25), statistics.median(t20), max(t20),
             ok(max(t20) <= 1.5), statistics.median(dt), max(dt), ok(max(dt) <= 6),
             statistics.median(against), max(against), ok(max(against) <= 6),
             statistics.median(alone), max(alone), ok(max(abs(a) for a in alone) <= 3), statistics.median(echo)))
PY
