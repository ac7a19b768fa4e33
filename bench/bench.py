#!/usr/bin/env python3
"""Measures Voxlet as a caller feels it and prints the figures beside their
targets and beside baresip's. Asserts nothing.

Run through bench/run.sh, which builds the release build and starts the
private sound server and display this expects (PULSE_SERVER with sinks
speakerA/speakerB, micsinkA/micsinkB and sources micA/micB; DISPLAY).
"""

import argparse
import math
import os
import re
import shutil
import signal
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time
import wave

CLK_TCK = os.sysconf("SC_CLK_TCK")
NET = "127.251.0."        # Voxlet phones
SIP_NET = "127.252.0."    # baresip
RAW_PEER = NET + "9"

_children = []


def log(*a):
    print(*a, file=sys.stderr, flush=True)


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLK_TCK  # utime, stime


def memory_mb(pid):
    """(peak RSS, current RSS) in MB."""
    out = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(("VmHWM:", "VmRSS:")):
                key, value = line.split(":")
                out[key] = int(value.split()[0]) / 1024.0
    return out.get("VmHWM", float("nan")), out.get("VmRSS", float("nan"))


class Child:
    """A started process whose stdout lines are collected with their arrival time."""

    def __init__(self, cmd, env=None, stdout_file=None, **kw):
        self.lines = []
        self.cond = threading.Condition()
        out = open(stdout_file, "w") if stdout_file else subprocess.PIPE
        self.proc = subprocess.Popen(cmd, env=env, stdout=out, stderr=kw.pop("stderr", subprocess.DEVNULL),
                                     stdin=subprocess.DEVNULL, text=True, start_new_session=True, **kw)
        _children.append(self)
        self.pid = self.proc.pid
        if out is subprocess.PIPE:
            threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            with self.cond:
                self.lines.append((time.monotonic(), line.rstrip("\n")))
                self.cond.notify_all()
        with self.cond:
            self.cond.notify_all()

    def wait_line(self, pattern, timeout):
        """The (time, line) of the first line matching pattern, or None."""
        rx = re.compile(pattern)
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                for t, line in self.lines:
                    if rx.search(line):
                        return t, line
                left = deadline - time.monotonic()
                if left <= 0 or (self.proc.poll() is not None and self.proc.stdout.closed):
                    return None
                self.cond.wait(min(left, 0.2))

    def alive(self):
        return self.proc.poll() is None

    def stop(self, wait=5):
        if self.proc.poll() is None:
            try:
                os.killpg(self.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
            try:
                self.proc.wait(wait)
            except subprocess.TimeoutExpired:
                try:
                    os.killpg(self.pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
                self.proc.wait()
        if self in _children:
            _children.remove(self)


def stop_all():
    for c in list(_children):
        c.stop(2)


def wait_file_line(path, pattern, timeout):
    rx = re.compile(pattern)
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            with open(path, errors="replace") as f:
                if rx.search(f.read()):
                    return True
        except FileNotFoundError:
            pass
        time.sleep(0.05)
    return False


def write_tone(path, freq, seconds, rate=8000):
    frames = bytearray()
    for i in range(int(seconds * rate)):
        frames += struct.pack("<h", int(12000 * math.sin(2 * math.pi * freq * i / rate)))
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(bytes(frames))


def thread_cpu_seconds(pid, name):
    """CPU seconds of pid's threads called name."""
    total = 0
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/stat" % (pid, tid)) as f:
                head, fields = f.read().rsplit(")", 1)
        except OSError:
            continue  # the thread ended
        if head.split("(", 1)[1] == name:
            fields = fields.split()
            total += (int(fields[11]) + int(fields[12])) / CLK_TCK
    return total


def cpu_over(pids, seconds, thread=None):
    """CPU seconds used by each pid over a window of the given length (and by
    each pid's threads called thread)."""
    before = [cpu_seconds(p) for p in pids]
    before_t = [thread_cpu_seconds(p, thread) for p in pids] if thread else []
    t0 = time.monotonic()
    time.sleep(seconds)
    wall = time.monotonic() - t0
    after = [cpu_seconds(p) for p in pids]
    used = [(a - b) for a, b in zip(after, before)]
    if thread:
        return used, [thread_cpu_seconds(p, thread) - b for p, b in zip(pids, before_t)], wall
    return used, wall


# ---- measurements ----

def time_to_window(cmd, title, env, timeout=15):
    """(process, ms from start to a top-level window with this title being mapped), or (process, None)."""
    # xev reports each top-level window's MapNotify on the root window.
    xev = Child(["stdbuf", "-oL", "xev", "-root", "-event", "substructure"], env=env)
    time.sleep(0.3)
    t0 = time.monotonic()
    app = Child(cmd, env=env)
    deadline = t0 + timeout
    seen = 0
    shown = None
    while shown is None and time.monotonic() < deadline:
        if not xev.wait_line(r"MapNotify", max(0.0, deadline - time.monotonic())):
            break
        with xev.cond:
            maps = [(t, i) for i, (t, l) in enumerate(xev.lines) if "MapNotify" in l]
        for t, i in maps[seen:]:
            seen += 1
            until = time.monotonic() + 1
            while len(xev.lines) < i + 2 and time.monotonic() < until:
                time.sleep(0.005)
            m = re.search(r"window (0x[0-9a-f]+)", " ".join(l for _, l in xev.lines[i + 1:i + 2]))
            if not m:
                continue
            name = subprocess.run(["xdotool", "getwindowname", str(int(m.group(1), 16))],
                                  capture_output=True, text=True, env=env).stdout.rstrip("\n")
            if name == title:
                shown = t
                break
        if shown is None:
            time.sleep(0.05)
    xev.stop()
    return app, None if shown is None else (shown - t0) * 1000


def startup_runs(args, runs):
    """Process start to the main window mapped, for the real program; its RSS a few seconds later."""
    appdir = os.path.join(args.tmp, "app")
    os.makedirs(appdir, exist_ok=True)
    shutil.copy2(args.voxlet, appdir)
    subprocess.run([args.phone, "--write-data", appdir], check=True, env=dict(os.environ, QT_QPA_PLATFORM="offscreen"),
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)
    env = dict(os.environ)
    env.pop("QT_QPA_PLATFORM", None)
    empty = os.path.join(os.path.dirname(args.phone), "voxlet_bench_empty_window")
    times, floor, peaks, rss, cpu_idle = [], [], [], [], []
    for k in range(runs):
        # Alternate with an empty Qt window: the machine's load then weighs on both alike.
        app, ms = time_to_window([empty, "Empty window"], "Empty window", env)
        app.stop()
        if ms is not None:
            floor.append(ms)
        app, ms = time_to_window([os.path.join(appdir, "voxlet")], "Voxlet ", env)
        if ms is None:
            log("start-up run %d: no window titled 'Voxlet ' within 15 s" % (k + 1))
            app.stop()
            continue
        times.append(ms)
        time.sleep(1)
        c, wall = cpu_over([app.pid], 3)
        cpu_idle.append(100 * c[0] / wall)
        hwm, cur = memory_mb(app.pid)
        peaks.append(hwm)
        rss.append(cur)
        app.stop()
    return {"startup_ms": times, "startup_floor_ms": floor, "startup_rss_peak": peaks, "startup_rss": rss,
            "startup_cpu": cpu_idle}


def phone_cmd(args, n, mic, speaker, *more):
    return [args.phone, "--address", NET + str(n), "--mic", mic, "--speaker", speaker] + list(more)


def idle_runs(args, runs, seconds):
    cpu, peaks = [], []
    for k in range(runs):
        p = Child(phone_cmd(args, 3, "micB", "speakerB", "--show", "--quit-after", str(seconds + 30)))
        if not p.wait_line("LISTENING", 15):
            log("idle run %d: the phone did not start listening" % (k + 1))
            p.stop()
            continue
        time.sleep(2)
        c, wall = cpu_over([p.pid], seconds)
        cpu.append(100 * c[0] / wall)
        peaks.append(memory_mb(p.pid)[0])
        p.stop()
    return {"idle_cpu": cpu, "idle_rss_peak": peaks}


def playback_streams(pid):
    """How many playback streams the process has open on the sound server."""
    out = subprocess.run(["pactl", "list", "sink-inputs"], capture_output=True, text=True, timeout=10).stdout
    return len(re.findall(r'application\.process\.id = "%d"' % pid, out))


def wait_ringing(pid, timeout):
    # The ring sound is the phone's one playback stream: voice streams exist only in a call.
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if playback_streams(pid) >= 1:
            return True
        time.sleep(0.1)
    return False


def ringing_runs(args, runs, seconds):
    cpu, peaks = [], []
    message = "VOICEMSG:OK|Bench|END".encode("utf-16-le")
    for k in range(runs):
        p = Child(phone_cmd(args, 3, "micB", "speakerB", "--show", "--quit-after", str(seconds + 30),
                            *(["--ring-poll-ms", str(args.ring_poll_ms)] if args.ring_poll_ms else [])))
        if not p.wait_line("LISTENING", 15):
            log("ringing run %d: the phone did not start listening" % (k + 1))
            p.stop()
            continue
        s = socket.socket()
        try:
            s.bind((RAW_PEER, 0))
            s.settimeout(5)
            s.connect((NET + "3", 8002))
            s.sendall(message)
            if not wait_ringing(p.pid, 10):
                log("ringing run %d: the phone did not ring" % (k + 1))
                continue
            time.sleep(1)
            c, wall = cpu_over([p.pid], seconds)
            cpu.append(100 * c[0] / wall)
            peaks.append(memory_mb(p.pid)[0])
        except OSError as e:
            log("ringing run %d: %s" % (k + 1, e))
        finally:
            s.close()
            p.stop()
    return {"ring_cpu": cpu, "ring_rss_peak": peaks}


def start_tones(args, seconds, env=None):
    tones = []
    for sink, wav in (("micsinkA", args.toneA), ("micsinkB", args.toneB)):
        tones.append(Child(["paplay", "-d", sink, wav], env=env))
    return tones


def voxlet_call_runs(args, runs, seconds, echo_off=False, plain=False, server=None, unencrypted=False):
    """Calls between two bench phones (HD, encrypted, as two Voxlets talk); with
    echo_off, with VOXLET_ECHO_CANCEL=off; plain, as an old-style call
    (VOXLET_OFFER=off); with server, on the other sound server (its client
    variables); unencrypted, HD in the clear."""
    cpu, sound, peaks, blocks, after = [], [], [], [], []
    came_up = 0
    for k in range(runs):
        # A hangs up first; B then waits for the next call, and is measured doing so.
        # Their stderr, with every call-state change, is kept: a call that
        # does not come up is looked into from there.
        traced = dict(os.environ, QT_LOGGING_RULES="voxlet.call.debug=true", **(server or {}))
        if echo_off:
            traced["VOXLET_ECHO_CANCEL"] = "off"
        if plain:
            traced["VOXLET_OFFER"] = "off"
        tones = start_tones(args, seconds + 20, env=traced)
        logs = {side: os.path.join(args.build, "call-run-%d-%s.log" % (k + 1, side)) for side in "AB"}
        clear = ["--unencrypted"] if unencrypted else []
        b = Child(phone_cmd(args, 3, "micB", "speakerB", "--show", "--answer", "--seconds", str(seconds + 30),
                            "--linger", str(args.window_seconds + 10), "--quit-after", str(seconds + 80), *clear),
                  stderr=open(logs["B"], "w"), env=traced)
        if not b.wait_line("LISTENING", 15):
            log("call run %d: B did not start" % (k + 1))
            b.stop()
            for t in tones:
                t.stop()
            continue
        a = Child(phone_cmd(args, 2, "micA", "speakerA", "--show", "--dial", NET + "3",
                            "--seconds", str(seconds + 3), "--quit-after", str(seconds + 40), *clear),
                  stderr=open(logs["A"], "w"), env=traced)
        ok = a.wait_line("CONNECTED", 30) and b.wait_line("CONNECTED", 5)
        if ok:
            came_up += 1
            time.sleep(1)
            # The sound thread apart: the canceller runs there.
            c, t, wall = cpu_over([a.pid, b.pid], seconds, thread="voxlet-sound")
            for x in c:
                cpu.append(100 * x / wall)
            for x in t:
                sound.append(100 * x / wall)
            for p in (a, b):
                peaks.append(memory_mb(p.pid)[0])
            for p, name in ((a, "A"), (b, "B")):
                hit = p.wait_line(r"^STATS ", 15)
                if hit:
                    fields = dict(kv.split("=") for kv in hit[1].split()[1:])
                    blocks.append({key: int(v) for key, v in fields.items()})
                else:
                    log("call run %d: no counters from %s" % (k + 1, name))
            if b.wait_line("^ENDED", 10):
                time.sleep(4)  # the last block plays out and the speaker goes idle
                c, wall = cpu_over([b.pid], args.window_seconds)
                after.append(100 * c[0] / wall)
            else:
                log("call run %d: B did not stay after the call" % (k + 1))
        else:
            log("call run %d: the call did not come up; A said %s, B said %s; their stderr: %s, %s"
                % (k + 1, [l for _, l in a.lines], [l for _, l in b.lines], logs["A"], logs["B"]))
        for p in (a, b, *tones):
            p.stop()
    if echo_off:
        return {"call_cpu_echo_off": cpu, "call_sound_cpu_echo_off": sound, "calls_up": (came_up, runs)}
    if plain:
        return {"call_cpu_pcm": cpu, "call_sound_cpu_pcm": sound, "calls_up": (came_up, runs)}
    if unencrypted:
        return {"call_cpu_clear": cpu, "calls_up": (came_up, runs)}
    if server:
        return {"other_call_cpu": cpu, "other_call_sound_cpu": sound, "other_call_blocks": blocks,
                "other_calls_up": (came_up, runs)}
    return {"call_cpu": cpu, "call_sound_cpu": sound, "call_rss_peak": peaks, "call_blocks": blocks,
            "after_call_cpu": after, "calls_up": (came_up, runs)}


def call_runs_echo_on_and_off(args, runs, seconds):
    """The same calls in HD, as an old-style call, in HD with the echo
    canceller off and in HD in the clear, in turn, so that the machine's load
    weighs on all alike."""
    out = {"call_cpu": [], "call_sound_cpu": [], "call_rss_peak": [], "call_blocks": [], "after_call_cpu": [],
           "call_cpu_echo_off": [], "call_sound_cpu_echo_off": [], "call_cpu_pcm": [], "call_sound_cpu_pcm": [],
           "echo_alone_paced": [], "echo_alone_tight": [], "echo_alone_paced_8k": [], "codec_alone": [],
           "other_call_cpu": [], "other_call_sound_cpu": [], "other_call_blocks": [], "call_cpu_clear": []}
    up = tried = other_up = other_tried = 0
    # With a second sound server, its calls take turns with these too.
    turns = [{}, {"plain": True}, {"echo_off": True}, {"unencrypted": True}]
    if args.other_env:
        turns.append({"server": args.other_env})
    for _ in range(runs):
        for turn in turns:
            for key, values in voxlet_call_runs(args, 1, seconds, **turn).items():
                if key == "calls_up":
                    up, tried = up + values[0], tried + values[1]
                elif key == "other_calls_up":
                    other_up, other_tried = other_up + values[0], other_tried + values[1]
                else:
                    out[key].extend(values)
        # The references: the canceller alone, woken as the sound thread
        # wakes, at the HD call's rate and the old-style one's.
        for rate, paced, tight in ((16000, "echo_alone_paced", "echo_alone_tight"),
                                   (8000, "echo_alone_paced_8k", None)):
            r = subprocess.run([os.path.join(args.build, "bench", "echo_alone"), str(min(seconds, 20)), str(rate)],
                               capture_output=True, text=True, timeout=120)
            hit = re.search(r"ECHO_ALONE paced=([\d.]+) tight=([\d.]+)", r.stdout)
            if hit:
                out[paced].append(float(hit.group(1)))
                if tight:
                    out[tight].append(float(hit.group(2)))
            else:
                log("the canceller alone did not run: %s" % r.stderr.strip())
    # ... and the codec alone, at the phone's complexity: encoding and decoding.
    r = subprocess.run([os.path.join(args.build, "bench", "opus_alone"), "10"], capture_output=True, text=True,
                       timeout=300)
    for m in re.finditer(r"OPUS_ALONE mode=voip complexity=(\d+) encode=([\d.]+) decode=([\d.]+)", r.stdout):
        if int(m.group(1)) == OPUS_COMPLEXITY:
            out["codec_alone"].append(float(m.group(2)) + float(m.group(3)))
    out["calls_up"] = (up, tried)
    if args.other_env:
        out["other_calls_up"] = (other_up, other_tried)
    return out


# The phone's Opus complexity (src/audio/opus_voice.h), which baresip gets too.
OPUS_COMPLEXITY = 1
# baresip in an Opus call as the HD call is: wideband (16 kHz) mono, a
# constant 32 kbit/s, no DTX, no in-band FEC.
BARESIP_CONFIG = """\
poll_method		epoll
sip_listen		{ip}:5060
net_interface		{ip}
audio_player		alsa,pulse
audio_source		alsa,pulse
audio_alert		none
ausrc_srate		16000
auplay_srate		16000
ausrc_channels		1
auplay_channels		1
rtcp_mux		no
statmode_default	off
opus_bitrate		32000
opus_stereo		no
opus_sprop_stereo	no
opus_cbr		yes
opus_inbandfec		no
opus_dtx		no
opus_application	voip
opus_samplerate		16000
opus_complexity		{complexity}
module_path		/usr/lib/baresip/modules
module			opus.so
module			alsa.so
module_app		account.so
module_app		menu.so
"""


def baresip_call_runs(args, runs, seconds):
    """Two baresip instances in an Opus call over RTP on loopback, through the same sound server's devices."""
    if not shutil.which("baresip"):
        return {"baresip_error": "baresip is not installed"}
    cpu, peaks, errors, codecs = [], [], [], set()
    for k in range(runs):
        dirs = {}
        for side, n in (("A", 2), ("B", 3)):
            d = os.path.join(args.tmp, "baresip%s" % side)
            os.makedirs(d, exist_ok=True)
            ip = SIP_NET + str(n)
            with open(os.path.join(d, "config"), "w") as f:
                f.write(BARESIP_CONFIG.format(ip=ip, complexity=OPUS_COMPLEXITY))
            with open(os.path.join(d, "accounts"), "w") as f:
                f.write("<sip:bench%s@%s>;regint=0;answermode=auto;audio_codecs=opus/48000/2\n" % (side, ip))
            dirs[side] = d
        tones = start_tones(args, seconds + 20)
        procs = {}
        for side, mic, spk, extra in (("B", "micB", "speakerB", []),
                                      ("A", "micA", "speakerA", ["-e", "/dial sip:benchB@%s3" % SIP_NET])):
            env = dict(os.environ, PULSE_SOURCE=mic, PULSE_SINK=spk)
            logf = os.path.join(dirs[side], "out.log")
            procs[side] = (Child(["baresip", "-f", dirs[side], "-t", str(seconds + 30)] + extra, env=env,
                                 stdout_file=logf, stderr=subprocess.STDOUT), logf)
            if side == "B":
                wait_file_line(logf, "baresip is ready", 10)
        ok = all(wait_file_line(logf, "Call established", 20) for _, logf in procs.values())
        if ok:
            time.sleep(1)
            pids = [procs["A"][0].pid, procs["B"][0].pid]
            c, wall = cpu_over(pids, seconds)
            for x in c:
                cpu.append(100 * x / wall)
            for pid in pids:
                peaks.append(memory_mb(pid)[0])
            # What the two agreed on, as baresip says it.
            codecs.update(re.findall(r"Set audio encoder: (\S+ \d+Hz \d+ch)",
                                     open(procs["A"][1], errors="replace").read()))
        else:
            tail = open(procs["A"][1], errors="replace").read()[-400:]
            errors.append("baresip did not establish the call: " + tail.replace("\n", " | "))
            log("baresip run %d: the call did not come up" % (k + 1))
        for p, _ in procs.values():
            p.stop()
        for t in tones:
            t.stop()
    out = {"baresip_cpu": cpu, "baresip_rss_peak": peaks, "baresip_codec": ", ".join(sorted(codecs)) or "?"}
    if not cpu:
        out["baresip_error"] = errors[0] if errors else "no run completed"
    return out


def sound_floor_runs(args, runs, seconds):
    """The sound server's own tools doing one phone's audio alone, at the
    phone's buffer sizes: parec with 20 ms fragments from a microphone,
    paplay (pacat reading a file) with a 50 ms target fed 20 ms at a time to
    a speaker. No network, no window, one thread each: what any PulseAudio
    client with these buffers costs on this machine."""
    cpu = []
    for k in range(runs):
        tones = start_tones(args, seconds + 20)
        rec = Child(["parec", "--latency-msec=20", "-d", "micA", "--rate=8000", "--channels=1",
                     "--format=s16le", "--raw"], stdout_file=os.devnull)
        play = Child(["paplay", "--latency-msec=50", "--process-time-msec=20", "-d", "speakerA", args.toneA])
        time.sleep(2)
        if rec.alive() and play.alive():
            c, wall = cpu_over([rec.pid, play.pid], seconds)
            cpu.append(100 * sum(c) / wall)
        else:
            log("sound floor run %d: parec or pacat did not run" % (k + 1))
        for p in (rec, play, *tones):
            p.stop()
    return {"floor_cpu": cpu}


def latency(args):
    script = os.path.join(args.root, "bench", "latency.sh")
    if not os.path.exists(script):
        return {"latency_error": "bench/latency.sh is missing"}
    env = dict(os.environ, VOXLET_BUILD_DIR=args.build)
    # It starts its own sound server: keep it off ours.
    for key in ("PULSE_SERVER", "PULSE_SINK", "PULSE_SOURCE"):
        env.pop(key, None)
    try:
        r = subprocess.run(["bash", script, str(args.clicks)], env=env, capture_output=True, text=True,
                           timeout=3 * (args.clicks * 2.1 + 90))
    except subprocess.TimeoutExpired:
        return {"latency_error": "bench/latency.sh took too long"}
    out = {}
    for m in re.finditer(r"^(tools|direct|pcm|blocks|relay): (\d+) clicks \((\d+) lost\): median (\d+) ms, "
                         r"95th percentile (\d+) ms, min (\d+) ms, max (\d+) ms\n(?:.*\n)*?"
                         r"  speaker B: underruns=(\d+) in (\d+) s; recovered=([\d,-]+); steady_underruns=(\d+)",
                         r.stdout, re.M):
        mode = m.group(1)
        n, lost, med_, p95, lo, hi, under, secs = (int(x) for x in m.group(2, 3, 4, 5, 6, 7, 8, 9))
        recovered = [int(x) for x in m.group(10).split(",") if x != "-"]
        out["latency_" + mode] = {"clicks": n, "lost": lost, "median": med_, "p95": p95, "min": lo, "max": hi,
                                  "underruns": under, "seconds": secs, "recovered": recovered,
                                  "steady_underruns": int(m.group(11))}
    if r.returncode != 0 or not out:
        out["latency_error"] = "bench/latency.sh failed: " + (r.stderr.strip().splitlines() or ["?"])[-1]
    return out


# ---- report ----

def summary(values, fmt="%.1f"):
    if not values:
        return "n/a"
    med = statistics.median(values)
    if len(values) == 1:
        return fmt % med
    return (fmt + " (" + fmt + "–" + fmt + ")") % (med, min(values), max(values))


def med(values):
    return statistics.median(values) if values else None


def verdict(value, limit):
    if value is None or limit is None:
        return ""
    return "ok" if value <= limit else "MISSED"


def report(r, args, elapsed):
    rows = []  # (what, voxlet, baresip, ratio, target, verdict)
    bcpu = med(r.get("baresip_cpu"))
    brss = med(r.get("baresip_rss_peak"))

    def ratio(v, b):
        return "%.2f" % (v / b) if v is not None and b else "n/a"

    v = med(r.get("startup_ms"))
    rows.append(("start-up to window shown, ms", summary(r.get("startup_ms"), "%.0f"), "", "", "≤ 150",
                 verdict(v, 150)))
    rows.append(("start-up of an empty Qt Widgets window (reference), ms", summary(r.get("startup_floor_ms"), "%.0f"), "",
                 "", "", ""))
    v = med(r.get("startup_rss_peak"))
    rows.append(("peak RSS after start-up (not listening), MB", summary(r.get("startup_rss_peak")), "", "",
                 "≤ 45", verdict(v, 45)))
    v = med(r.get("startup_cpu"))
    rows.append(("CPU after start-up (not listening), % of a core", summary(r.get("startup_cpu"), "%.2f"), "", "",
                 "≈ 0", verdict(v, 0.1)))
    v = med(r.get("idle_cpu"))
    rows.append(("CPU idle, listening, window shown, % of a core", summary(r.get("idle_cpu"), "%.2f"), "", "",
                 "≈ 0", verdict(v, 0.1)))
    v = med(r.get("idle_rss_peak"))
    rows.append(("peak RSS idle, listening, MB", summary(r.get("idle_rss_peak")), "", "", "≤ 45", verdict(v, 45)))
    v = med(r.get("after_call_cpu"))
    rows.append(("CPU idle after a call (peer hung up), % of a core", summary(r.get("after_call_cpu"), "%.2f"),
                 "", "", "≈ 0", verdict(v, 0.1)))
    v = med(r.get("ring_cpu"))
    rows.append(("CPU while ringing, % of a core", summary(r.get("ring_cpu"), "%.2f"), "", "", "≤ 1",
                 verdict(v, 1.0)))
    v = med(r.get("ring_rss_peak"))
    rows.append(("peak RSS while ringing, MB", summary(r.get("ring_rss_peak")), "", "", "≤ 45", verdict(v, 45)))
    if "calls_up" in r:
        up, tried = r["calls_up"]
        rows.append(("calls that came up (the called phone answers 1 s after it rings)", "%d of %d" % (up, tried),
                     "", "", "all", "ok" if up == tried else "MISSED"))
    v = med(r.get("call_cpu"))
    pcm = med(r.get("call_cpu_pcm"))
    # Several targets: say which one is missed.
    parts = [("≤ 1", verdict(v, 1.0))] + ([("≤ ½ baresip", verdict(v, bcpu / 2))] if bcpu else []) \
        + ([("≤ PCM + 0.5", verdict(v, pcm + 0.5))] if pcm is not None else [])
    rows.append(("CPU in an HD call, window shown, %% of a core per phone (baresip: %s)" % r.get("baresip_codec", "-"),
                 summary(r.get("call_cpu"), "%.2f"), summary(r.get("baresip_cpu"), "%.2f"), ratio(v, bcpu),
                 " and ".join(t for t, _ in parts),
                 ", ".join("%s %s" % (t, ok) for t, ok in parts) if v is not None else ""))
    rows.append(("  the same as an old-style call (raw PCM, VOXLET_OFFER=off), % of a core per phone",
                 summary(r.get("call_cpu_pcm"), "%.2f"), "", ratio(pcm, bcpu), "", ""))
    rows.append(("  HD − PCM (medians), % of a core", "n/a" if v is None or pcm is None else "%.2f" % (v - pcm),
                 "", "", "≤ 0.5", verdict(None if v is None or pcm is None else v - pcm, 0.5)))
    rows.append(("  of the sound thread: HD / PCM, % of a core",
                 "%s / %s" % (summary(r.get("call_sound_cpu"), "%.2f"), summary(r.get("call_sound_cpu_pcm"), "%.2f")),
                 "", "", "", ""))
    rows.append(("  the codec alone, encoding and decoding 20 ms frames (reference), % of a core",
                 summary(r.get("codec_alone"), "%.2f"), "", "", "", ""))

    def without(key, what, cost, target):
        """The same call without one thing, and what that thing costs (medians)."""
        other = med(r.get(key))
        rows.append(("  the same " + what + ", % of a core per phone", summary(r.get(key), "%.2f"), "", "", "", ""))
        c = v - other if v is not None and other is not None else None
        rows.append(("  " + cost + ", medians), % of a core", "n/a" if c is None else "%.2f" % c,
                     "", "", "≤ %g" % target, verdict(c, target)))

    without("call_cpu_clear", "HD call in the clear (--unencrypted)", "the encryption's cost (encrypted − clear", 0.2)
    without("call_cpu_echo_off", "with the echo canceller off (VOXLET_ECHO_CANCEL=off)",
            "the echo canceller's cost (on − off", 0.5)
    rows.append(("  of that the sound thread's (where the canceller runs), with / without it, % of a core",
                 "%s / %s" % (summary(r.get("call_sound_cpu"), "%.2f"), summary(r.get("call_sound_cpu_echo_off"), "%.2f")),
                 "", "", "", ""))
    rows.append(("  the canceller alone at 16 kHz, woken every 10 ms as in a call / frames back to back (reference), % of a core",
                 "%s / %s" % (summary(r.get("echo_alone_paced"), "%.2f"), summary(r.get("echo_alone_tight"), "%.2f")),
                 "", "", "", ""))
    rows.append(("  the canceller alone at 8 kHz, woken as in a call (reference), % of a core",
                 summary(r.get("echo_alone_paced_8k"), "%.2f"), "", "", "", ""))
    rows.append(("  the same audio through PulseAudio's own parec + paplay alone (reference), % of a core",
                 summary(r.get("floor_cpu"), "%.2f"), "", "", "", ""))
    if "other_calls_up" in r:
        up, tried = r["other_calls_up"]
        o = med(r.get("other_call_cpu"))
        rows.append(("  the same call on %s (same run, turn about; %d of %d came up), %% of a core per phone"
                     % (args.other_server, up, tried), summary(r.get("other_call_cpu"), "%.2f"), "", "",
                     "≤ 1", verdict(o, 1.0)))
        rows.append(("    of that the sound threads', % of a core", summary(r.get("other_call_sound_cpu"), "%.2f"),
                     "", "", "", ""))
        ob = r.get("other_call_blocks", [])
        if ob:
            rows.append(("    bytes dropped by the sender / speaker underruns per phone and call",
                         "%s / %s" % (summary([b["send_dropped"] for b in ob], "%.0f"),
                                      summary([b["underruns"] for b in ob], "%.0f")), "", "", "0", ""))
    rows.append(("CPU seconds per minute of call per phone",
                 summary([x * 0.6 for x in r.get("call_cpu", [])], "%.2f"),
                 summary([x * 0.6 for x in r.get("baresip_cpu", [])], "%.2f"), ratio(v, bcpu), "", ""))
    v = med(r.get("call_rss_peak"))
    rows.append(("peak RSS in a call, MB", summary(r.get("call_rss_peak")), summary(r.get("baresip_rss_peak")),
                 ratio(v, brss), "≤ 45", verdict(v, 45)))
    blocks = r.get("call_blocks", [])
    if blocks:
        rows.append(("voice blocks per phone and call: sent / received",
                     "%s / %s" % (summary([b["sent"] for b in blocks], "%.0f"),
                                  summary([b["received"] for b in blocks], "%.0f")), "", "", "", ""))
        rows.append(("voice per phone and call: bytes dropped by the sender / speaker underruns",
                     "%s / %s" % (summary([b["send_dropped"] for b in blocks], "%.0f"),
                                  summary([b["underruns"] for b in blocks], "%.0f")), "", "", "0", ""))
    for key, what in (("latency_direct", "in HD"), ("latency_pcm", "in an old-style call")):
        d = r.get(key)
        if d:
            rows.append(("mouth-to-ear between two Voxlets %s, ms (%d clicks, %d lost): median / 95th percentile"
                         % (what, d["clicks"], d["lost"]), "%d / %d" % (d["median"], d["p95"]), "", "",
                         "≤ 100 / ≤ 150", "ok" if d["median"] <= 100 and d["p95"] <= 150 else "MISSED"))
        else:
            rows.append(("mouth-to-ear between two Voxlets %s, ms" % what, "n/a", "", "", "≤ 100 / ≤ 150", ""))
    t = r.get("latency_tools")
    if t:
        rows.append(("  the same path through parec | pacat alone at the phones' buffer sizes (reference), ms, median",
                     "%d" % t["median"], "", "", "", ""))
    b = r.get("latency_blocks")
    if b:
        rows.append(("mouth-to-ear, peer sending 8000-byte blocks every 0.5 s, ms (median, max)",
                     "%d (max %d)" % (b["median"], b["max"]), "", "", "≤ 600", verdict(b["max"], 600)))
        rows.append(("  underruns in steady state (from 10 s on)", "%d" % b["steady_underruns"], "", "", "0",
                     verdict(b["steady_underruns"], 0)))
    j = r.get("latency_relay")
    if j:
        rows.append(("mouth-to-ear through the jitter relay (40±20 ms, 300 ms stall / 10 s), ms, median",
                     "%d" % j["median"], "", "", "≤ 250", verdict(j["median"], 250)))
        rows.append(("  underruns per minute", "%.1f" % (j["underruns"] * 60.0 / max(1, j["seconds"])), "", "",
                     "", ""))
        worst = max(j["recovered"]) if j["recovered"] else None
        rows.append(("  back at the target after each stall, ms",
                     " ".join(map(str, j["recovered"])) or "none", "", "", "≤ 3000 each", verdict(worst, 3000)))

    header = ("", "Voxlet", "baresip", "Voxlet/baresip", "target", "")
    print()
    print("Voxlet benchmark — median (min–max) over %d runs each; call %d s; sound server %s; %s" % (
        args.runs, args.call_seconds, os.environ.get("VOXLET_SOUND_SERVER", "pulseaudio"),
        time.strftime("%Y-%m-%d %H:%M")))
    widths = [max(len(str(row[i])) for row in rows + [header]) for i in range(6)]
    for row in [header] + rows:
        print("  ".join(str(c).ljust(w) for c, w in zip(row, widths)).rstrip())
    for key in ("baresip_error", "latency_error"):
        if key in r:
            print("note: " + r[key])
    print("total time %.0f s" % elapsed)
    if args.markdown:
        with open(args.markdown, "w") as f:
            f.write("| " + " | ".join(h or " " for h in header[:5]) + " |\n")
            f.write("|" + "---|" * 5 + "\n")
            for row in rows:
                f.write("| " + " | ".join((c or " ") for c in row[:4]) + " | " +
                        ("%s %s" % (row[4], "(" + row[5] + ")" if row[5] else "")).strip() + " |\n")


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--root", required=True)
    ap.add_argument("--build", required=True)
    ap.add_argument("--voxlet", required=True)
    ap.add_argument("--phone", required=True)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--startup-runs", type=int, default=5)
    ap.add_argument("--call-seconds", type=int, default=30)
    ap.add_argument("--window-seconds", type=int, default=10)
    ap.add_argument("--clicks", type=int, default=24)
    ap.add_argument("--ring-poll-ms", type=int, help="try another ring-loop poll interval")
    ap.add_argument("--only", default="startup,idle,ringing,call,baresip,floor,latency")
    ap.add_argument("--markdown")
    ap.add_argument("--other-server", help="a second sound server's name, for its calls in the same run")
    ap.add_argument("--other-env", help="its client variables, KEY=VALUE lines")
    args = ap.parse_args()
    if args.other_env:
        with open(args.other_env) as f:
            args.other_env = dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)

    started = time.monotonic()
    args.tmp = tempfile.mkdtemp(prefix="voxlet-bench.")
    args.toneA = os.path.join(args.tmp, "toneA.wav")
    args.toneB = os.path.join(args.tmp, "toneB.wav")
    write_tone(args.toneA, 440, args.call_seconds + 60)
    write_tone(args.toneB, 660, args.call_seconds + 60)
    os.environ.setdefault("QT_QPA_PLATFORM", "xcb")
    only = set(args.only.split(","))
    results = {}
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    try:
        steps = [("startup", lambda: startup_runs(args, args.startup_runs)),
                 ("idle", lambda: idle_runs(args, args.runs, args.window_seconds)),
                 ("ringing", lambda: ringing_runs(args, args.runs, args.window_seconds)),
                 ("call", lambda: call_runs_echo_on_and_off(args, args.runs, args.call_seconds)),
                 ("baresip", lambda: baresip_call_runs(args, args.runs, args.call_seconds)),
                 ("floor", lambda: sound_floor_runs(args, args.runs, args.call_seconds)),
                 ("latency", lambda: latency(args))]
        for name, step in steps:
            if name in only:
                log("measuring %s ..." % name)
                results.update(step())
    finally:
        stop_all()
        shutil.rmtree(args.tmp, ignore_errors=True)
    report(results, args, time.monotonic() - started)


if __name__ == "__main__":
    main()
