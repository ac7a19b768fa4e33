#!/usr/bin/env python3
"""Synthesizes the phone's ring and ring-back sounds.

Writes Ring.wav, Anybody.wav and Ans.wav (16-bit mono, 16000 Hz) into
resources/sounds/ beside this script's repository, or into the folder given
as the first argument. Uses the standard library only, so the sounds can be
rebuilt anywhere; the output is deterministic.
"""

import math
import os
import struct
import sys
import wave

RATE = 16000
PEAK = 0.55  # of full scale: loud enough to hear, far from clipping


def silence(seconds):
    return [0.0] * int(round(seconds * RATE))


def envelope(n, attack, release):
    """Raised-cosine fade in and out, so no segment starts or ends with a click."""
    a = max(1, int(attack * RATE))
    r = max(1, int(release * RATE))
    env = []
    for i in range(n):
        g = 1.0
        if i < a:
            g = 0.5 - 0.5 * math.cos(math.pi * i / a)
        tail = n - 1 - i
        if tail < r:
            g = min(g, 0.5 - 0.5 * math.cos(math.pi * tail / r))
        env.append(g)
    return env


def trill(seconds, carrier, partial, rate_hz):
    """A telephone-bell trill: two soft partials, amplitude-warbled."""
    n = int(round(seconds * RATE))
    env = envelope(n, 0.012, 0.030)
    out = []
    for i in range(n):
        t = i / RATE
        warble = 0.65 + 0.35 * math.cos(2 * math.pi * rate_hz * t)
        s = math.sin(2 * math.pi * carrier * t) + 0.35 * math.sin(2 * math.pi * partial * t)
        out.append(env[i] * warble * s / 1.35)
    return out


def chime(seconds, freq):
    """A struck-bell note: quick attack, exponential decay, a little shimmer."""
    n = int(round(seconds * RATE))
    env = envelope(n, 0.006, 0.060)
    out = []
    for i in range(n):
        t = i / RATE
        decay = math.exp(-3.2 * t)
        s = (math.sin(2 * math.pi * freq * t)
             + 0.30 * math.sin(2 * math.pi * 2.0 * freq * t) * math.exp(-4.0 * t)
             + 0.12 * math.sin(2 * math.pi * 3.01 * freq * t) * math.exp(-6.0 * t))
        out.append(env[i] * decay * s / 1.42)
    return out


def mix_into(dest, start_seconds, samples):
    start = int(round(start_seconds * RATE))
    for i, s in enumerate(samples):
        if start + i < len(dest):
            dest[start + i] += s


def ring():
    # Two short trills, then a pause: about two seconds per cycle.
    out = []
    out += trill(0.40, 1100.0, 1650.0, 16.0)
    out += silence(0.20)
    out += trill(0.40, 1100.0, 1650.0, 16.0)
    out += silence(1.00)
    return out


def anybody():
    # A rising three-note chime played twice: clearly not the normal ring.
    out = silence(2.0)
    notes = [(0.00, 1046.5), (0.18, 1318.5), (0.36, 1568.0),
             (0.90, 1046.5), (1.08, 1318.5), (1.26, 1568.0)]
    for start, freq in notes:
        mix_into(out, start, chime(0.70, freq))
    # Overlapping notes may sum above one; scale the whole sound once.
    peak = max(abs(s) for s in out) or 1.0
    return [s / peak for s in out]


def ringback():
    # 400 Hz warbled at 16 Hz, one second on, half a second off.
    out = []
    n = int(round(1.0 * RATE))
    env = envelope(n, 0.015, 0.030)
    for i in range(n):
        t = i / RATE
        warble = 0.6 + 0.4 * math.cos(2 * math.pi * 16.0 * t)
        out.append(env[i] * warble * math.sin(2 * math.pi * 400.0 * t))
    out += silence(0.5)
    return out


def write_wav(path, samples):
    frames = bytearray()
    for s in samples:
        v = int(round(max(-1.0, min(1.0, s)) * PEAK * 32767))
        frames += struct.pack("<h", v)
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(bytes(frames))


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "resources", "sounds")
    os.makedirs(out_dir, exist_ok=True)
    for name, samples in (("Ring.wav", ring()), ("Anybody.wav", anybody()), ("Ans.wav", ringback())):
        path = os.path.join(out_dir, name)
        write_wav(path, samples)
        print("%s: %.2f s" % (os.path.normpath(path), len(samples) / RATE))


if __name__ == "__main__":
    main()
