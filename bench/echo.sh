#!/usr/bin/env bash
# Prints the echo canceller's figures beside their targets, on PulseAudio and
# on PipeWire: an echo path from the speaker's monitor into the microphone
# (module-loopback at 60 and 250 ms, -13 dB), a far end sending speech-like
# sound in 20 ms pieces, a near end that joins it. The measuring is the echo
# test's own (tests/audio/echo_canceller_test.cpp), run several times; each
# figure is the median and the worst of those runs. Asserts nothing.
#
#   bench/echo.sh [runs] [servers]    (default 5 runs, "pulseaudio pipewire")
# VOXLET_TEST_BUILD_DIR selects the build with the tests (default build/normal).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-5}
servers=${2:-pulseaudio pipewire}
build=${VOXLET_TEST_BUILD_DIR:-$root/build/normal}

echo "building the echo test in $build ..." >&2
[ -f "$build/build.ninja" ] || cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target audio_echo_canceller_test >/dev/null

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
for server in $servers; do
    for run in $(seq "$runs"); do
        echo "$server: run $run of $runs ..." >&2
        VOXLET_SOUND_SERVER=$server QT_QPA_PLATFORM=offscreen VOXLET_SOURCE_DIR=$root \
            "$build/tests/audio_echo_canceller_test" cancelsAnEchoThroughTheSoundServer \
            >"$tmp/$server-$run.txt" 2>&1 || echo "$server: run $run failed (see below)" >&2
        grep -q "^SKIP" "$tmp/$server-$run.txt" && { grep "^SKIP" "$tmp/$server-$run.txt" >&2; break; }
    done
done

python3 - "$tmp" <<'PY'
import glob, os, re, statistics, sys
rx = re.compile(r"(\w+), (\d+) ms path: ERLE after 2 s ([-\d.]+) dB .*?time to 20 dB ([-\d.]+) s .*?"
                r"double talk ([-\d.]+) dB .*?alone ([-\d.]+) dB; echo at the microphone ([-\d.]+) dB under")
rows = {}
for path in sorted(glob.glob(os.path.join(sys.argv[1], "*.txt"))):
    text = open(path, errors="replace").read()
    for m in rx.finditer(text):
        key = (m.group(1), int(m.group(2)))
        rows.setdefault(key, []).append(tuple(float(x) for x in m.groups()[2:]))
    for line in text.splitlines():
        if line.startswith("FAIL"):
            print("note: " + os.path.basename(path) + ": " + line)
if not rows:
    sys.exit("no figures: did the echo test run?")
print()
print("Echo canceller through a real sound server (median, worst of the runs)")
print("%-11s %5s %4s  %-28s  %-24s  %-26s  %s" % ("server", "path", "runs", "ERLE after 2 s (>= 30, never < 25)",
      "time to 20 dB (<= 1.5 s)", "near-end loss, both talk (<= 6)", "echo at the mic"))
for (server, ms), figs in sorted(rows.items()):
    erle = [f[0] for f in figs]; t20 = [f[1] if f[1] >= 0 else 99 for f in figs]
    dt = [f[2] for f in figs]; echo = [f[4] for f in figs]
    ok = lambda c: "ok" if c else "MISSED"
    print("%-11s %3d ms %4d  %5.1f dB, worst %5.1f  %-6s  %4.2f s, worst %4.2f  %-6s  %4.1f dB, worst %4.1f  %-6s  -%.1f dB"
          % (server, ms, len(figs), statistics.median(erle), min(erle),
             ok(statistics.median(erle) >= 30 and min(erle) >= 25), statistics.median(t20), max(t20),
             ok(max(t20) <= 1.5), statistics.median(dt), max(dt), ok(max(dt) <= 6), statistics.median(echo)))
PY
