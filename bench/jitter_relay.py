#!/usr/bin/env python3
"""A TCP relay that makes a network rough, for the benchmark.

Forwards every connection made to --listen on to --to, both ways. Each piece
read is delivered DELAY ms after it came (DELAY uniform in jitter +- spread,
40 +- 20 ms by default), never before the piece ahead of it: the order stays,
so a slow piece holds back the ones behind it, as on a real path. Every
--stall-every seconds, counted from the relay's start, nothing is delivered
for --stall-ms; what falls due meanwhile goes out at the stall's end.

    bench/jitter_relay.py --listen 127.0.0.1:9002 --to 127.0.0.3:8002

Prints "listening HOST:PORT" on stdout once it accepts, then one line per
connection on stderr when it ends. Only the standard library.
"""
import argparse
import queue
import random
import socket
import sys
import threading
import time


def endpoint(text):
    host, _, port = text.rpartition(":")
    return host, int(port)


class Relay:
    def __init__(self, args):
        self.args = args
        self.start = time.monotonic()
        self.rng = random.Random(args.seed)
        self.rng_lock = threading.Lock()

    def delay(self):
        with self.rng_lock:
            ms = self.rng.uniform(self.args.jitter_ms - self.args.spread_ms,
                                  self.args.jitter_ms + self.args.spread_ms)
        return max(0.0, ms) / 1000.0

    def after_stalls(self, due):
        """The time a piece due at `due` really goes: held to the end of a stall."""
        every, stall = self.args.stall_every, self.args.stall_ms / 1000.0
        if every <= 0 or stall <= 0:
            return due
        since = due - self.start
        k = int(since // every)
        begin = self.start + k * every
        if k >= 1 and begin <= due < begin + stall:
            return begin + stall
        return due

    def pipe(self, src, dst, name, stats):
        pieces = queue.Queue()

        def read():
            last = 0.0
            try:
                while True:
                    data = src.recv(65536)
                    if not data:
                        break
                    last = max(time.monotonic() + self.delay(), last)
                    pieces.put((last, data))
            except OSError:
                pass
            pieces.put((None, None))

        def write():
            try:
                while True:
                    due, data = pieces.get()
                    if data is None:
                        break
                    due = self.after_stalls(due)
                    wait = due - time.monotonic()
                    if wait > 0:
                        time.sleep(wait)
                    dst.sendall(data)
                    stats[name] += len(data)
                dst.shutdown(socket.SHUT_WR)
            except OSError:
                for s in (src, dst):
                    try:
                        s.shutdown(socket.SHUT_RDWR)
                    except OSError:
                        pass

        threads = [threading.Thread(target=read, daemon=True), threading.Thread(target=write, daemon=True)]
        for t in threads:
            t.start()
        return threads

    def serve(self, client):
        try:
            server = socket.create_connection(endpoint(self.args.to), timeout=10)
        except OSError as e:
            print("relay: cannot reach %s: %s" % (self.args.to, e), file=sys.stderr)
            client.close()
            return
        server.settimeout(None)
        for s in (client, server):
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        stats = {"forward": 0, "back": 0}
        threads = self.pipe(client, server, "forward", stats) + self.pipe(server, client, "back", stats)
        for t in threads:
            t.join()
        client.close()
        server.close()
        print("relay: connection done, %d bytes forward, %d back" % (stats["forward"], stats["back"]),
              file=sys.stderr, flush=True)

    def run(self):
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind(endpoint(self.args.listen))
        listener.listen(8)
        host, port = listener.getsockname()
        print("listening %s:%d" % (host, port), flush=True)
        while True:
            client, _ = listener.accept()
            threading.Thread(target=self.serve, args=(client,), daemon=True).start()


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--listen", required=True, help="HOST:PORT to accept on (port 0: any)")
    p.add_argument("--to", required=True, help="HOST:PORT to forward to")
    p.add_argument("--jitter-ms", type=float, default=40)
    p.add_argument("--spread-ms", type=float, default=20)
    p.add_argument("--stall-ms", type=float, default=300)
    p.add_argument("--stall-every", type=float, default=10, help="seconds between stalls (0: none)")
    p.add_argument("--seed", type=int, default=1)
    try:
        Relay(p.parse_args()).run()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
