#!/usr/bin/env python3
"""Voice after stalls and sender-side gaps, through the real receive path.

A raw peer of our own calls one phone (bench/phone/voxlet_bench_phone on the
private sound server that bench/gaps.sh starts) and, once answered, sends it
voice as a peer of each kind does, with the gaps real senders leave:

  pieces-delivered  20 ms pieces; at 10 s and 20 s nothing goes out for 1 s,
                    then the backlog goes out at once (a network stall)
  pieces-catching-up  the same, but the backlog goes out a piece every 5 ms
                    (a path catching up at four times the speech rate)
  pieces-dropped    the same, but only the newest 100 ms of the backlog is
                    sent, as our own sender does
  blocks-paused     8000-byte blocks every 0.5 s; at 10 s a pause of 0.5 s,
                    at 20 s one of 1.5 s, after which it goes on from where
                    it is (its microphone paused: that audio never comes)
  pieces-short-then-long  20 ms pieces; at 4 s a stall of 0.3 s, at 8.3 s
                    one of 1 s, each backlog going out at once

The phone's speaker is recorded. Each sample sent carries its own index
(3000 + index mod 29000, loud everywhere), so each sample heard tells when
it was sent. For each run it prints, beside the targets: the share of 10 ms
windows heard outside the 1.5 s after each stall, the silences heard per
stall (an underrun is heard as one), the share heard in the 2 s from 1.5 s
after each stall, and the delay 3 s after each stall against the delay
before it. Asserts nothing.

    bench/gaps.py --phone BIN [--net N] [--runs NAME,...]   (through gaps.sh)
"""
import argparse
import array
import socket
import statistics
import subprocess
import sys
import threading
import time

RATE = 8000
PERIOD = 29000
RUNS = {
    # name: (samples a piece, [(at s, length s)], what happens to what a stall holds)
    "pieces-delivered": (160, [(10, 1.0), (20, 1.0)], "deliver"),
    "pieces-catching-up": (160, [(10, 1.0), (20, 1.0)], "catch-up"),
    "pieces-dropped": (160, [(10, 1.0), (20, 1.0)], "drop"),
    "blocks-paused": (4000, [(10, 0.5), (20, 1.5)], "skip"),
    "pieces-short-then-long": (160, [(4, 0.3), (8.3, 1.0)], "deliver"),
}
TALK = 30  # seconds of voice sent


def log(*a):
    print(*a, file=sys.stderr, flush=True)


def stamped(first, count):
    return array.array("h", (3000 + (i % PERIOD) for i in range(first, first + count))).tobytes()


class Recorder:
    """parec on the phone's speaker; t0 is the monotonic time of sample 0."""

    def __init__(self, source):
        self.proc = subprocess.Popen(["parec", "--latency-msec=20", "-d", source, "--rate=%d" % RATE,
                                      "--channels=1", "--format=s16le", "--raw"], stdout=subprocess.PIPE)
        self.data = bytearray()
        self.t0 = None
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        while True:
            chunk = self.proc.stdout.read1(4096)
            if not chunk:
                return
            if self.t0 is None:
                self.t0 = time.monotonic() - len(chunk) / 2 / RATE
            self.data += chunk

    def stop(self):
        self.proc.terminate()
        self.proc.wait()
        return array.array("h", bytes(self.data[: len(self.data) // 2 * 2]))


def call(address, bind, piece, stalls, backlog):
    """Dials, waits for the answer, sends TALK s of voice; returns its t0."""
    s = socket.socket()
    s.bind((bind, 0))
    s.settimeout(30)
    s.connect((address, 8002))
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    s.sendall("VOICEMSG:OK|Gaps|END".encode("utf-16-le"))
    answer, seen = "CallAnswer|END".encode("utf-16-le"), b""
    while answer not in seen:
        more = s.recv(4096)
        if not more:
            raise OSError("the phone hung up before answering")
        seen += more

    def drain():  # the phone's own voice
        try:
            while s.recv(65536):
                pass
        except OSError:
            pass

    threading.Thread(target=drain, daemon=True).start()
    t0 = time.monotonic()
    held, k = b"", 0
    while (k + 1) * piece <= TALK * RATE:
        due = t0 + (k + 1) * piece / RATE
        time.sleep(max(0.0, due - time.monotonic()))
        at = k * piece / RATE
        data = stamped(k * piece, piece)
        k += 1
        if any(a <= at < a + n for a, n in stalls):
            if backlog != "skip":
                held += data
            continue
        if backlog == "drop":
            held = held[-2 * RATE // 10:]
        elif backlog == "catch-up":
            for at in range(0, len(held), 2 * piece):
                s.sendall(held[at:at + 2 * piece])
                time.sleep(0.005)
            held = b""
        s.sendall(held + data)
        held = b""
    s.close()
    return t0


def analyse(name, samples, rec_t0, t0, stalls, stats, debug=False):
    win = RATE // 100
    windows = len(samples) // win

    def when(w):  # listener time of window w, on the peer's clock
        return rec_t0 + w * win / RATE - t0

    def heard(w):
        return sum(1 for v in samples[w * win:(w + 1) * win] if v != 0) >= win * 9 // 10

    def delay(w):  # median send-to-speaker delay of window w, s
        d = []
        for p in range(w * win, (w + 1) * win):
            v = samples[p]
            if v < 3000:
                continue
            now = (rec_t0 - t0) * RATE + p  # samples on the peer's clock
            idx = v - 3000 + (now - (v - 3000)) // PERIOD * PERIOD
            d.append((now - idx) / RATE)
        return statistics.median(d) if len(d) >= win // 2 else None

    def delay_near(t):
        ds = [delay(w) for w in range(windows) if abs(when(w) - t) <= 0.1]
        ds = [d for d in ds if d is not None]
        return statistics.median(ds) if ds else None

    before = delay_near(stalls[0][0] - 1)
    if before is None:
        print("%s: nothing heard before the first stall" % name)
        return
    counted = audible = 0
    drops = [0] * len(stalls)
    after_stall = [[0, 0] for _ in stalls]  # heard, windows in the 2 s from 1.5 s after each
    was = False
    for w in range(windows):
        t = when(w) - before  # the sending time of what plays now
        if t < 3 or t > TALK - 1:  # the last block may still be on its way
            continue
        h = heard(w)
        k = max((i for i, (a, _) in enumerate(stalls) if t >= a - 0.2), default=None)
        if k is not None and was and not h:
            drops[k] += 1
        was = h
        for (a, n), tally in zip(stalls, after_stall):
            if a + n + 1.5 <= t < a + n + 3.5:
                tally[0] += h
                tally[1] += 1
        if not any(a <= t < a + n + 1.5 for a, n in stalls):
            counted += 1
            audible += h
            if not h and debug:
                log("  not heard at %.2f s" % t)
    share = 100.0 * audible / max(1, counted)
    print("%s:" % name)
    print("  heard outside the 1.5 s after each stall: %.1f %% of %d windows (target >= 95 %%)"
          % (share, counted))
    for (a, n), dropped, (h, w) in zip(stalls, drops, after_stall):
        after = delay_near(a + n + 3 + before)
        extra = "-" if after is None else "%+.0f ms" % (1000 * (after - before))
        print("  stall at %.1f s (%.1f s): silences heard %d (target <= 1); heard %.0f %% of the 2 s from 1.5 s "
              "after (target >= 95 %%); delay 3 s after %s against %.0f ms before (target <= +20 ms)"
              % (a, n, dropped, 100.0 * h / max(1, w), extra, 1000 * before))
    if stats:
        print("  phone: %s" % stats)


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--phone", required=True, help="voxlet_bench_phone")
    p.add_argument("--net", default="249", help="loopback 127.N.0.x to use")
    p.add_argument("--runs", default=",".join(RUNS))
    p.add_argument("--verbose", action="store_true", help="list the windows not heard")
    args = p.parse_args()
    address, bind = "127.%s.0.3" % args.net, "127.%s.0.9" % args.net
    for name in args.runs.split(","):
        piece, stalls, backlog = RUNS[name]
        phone = subprocess.Popen([args.phone, "--address", address, "--mic", "micB", "--speaker", "speakerB",
                                  "--answer", "--seconds", str(TALK + 3), "--quit-after", str(TALK + 60)],
                                 stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        if phone.stdout.readline().strip() != "LISTENING":
            sys.exit("the phone did not start listening")
        rec = Recorder("speakerB.monitor")
        time.sleep(1)
        log("%s: calling ..." % name)
        try:
            t0 = call(address, bind, piece, stalls, backlog)
        except OSError as e:
            print("%s: the call did not come up: %s" % (name, e))
            phone.kill()
            rec.stop()
            continue
        time.sleep(2)
        samples = rec.stop()
        out, _ = phone.communicate(timeout=60)
        stats = " ".join(l for l in out.splitlines() if l.startswith("STATS"))
        analyse(name, samples, rec.t0, t0, stalls, stats, args.verbose)


if __name__ == "__main__":
    main()
