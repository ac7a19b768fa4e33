#!/usr/bin/python3
"""voxlet-directory under attack, on loopback: prints what an attacker gets
and whether real users are still served. Asserts nothing; stops by itself
(about a minute).

    bench/directory_attack.py [--server PATH] [--seconds S]

PATH defaults to a release build made by bench/directory.sh
(build/bench/server/voxlet-directory). Give an older build to
see its figures beside these. Attackers use their own loopback source
addresses (127.x.y.z); the real users come from 127.0.0.2 to 127.0.0.9.

  1. PASS guessing against one name, from one address and from a hundred:
     guesses answered per second; every hundredth guess is the right PASS,
     so the share of those accepted says how many guesses the server really
     weighs; from it, guesses per hour.
  2. A list flood from a dozen addresses: is a user registering now listed?
  3. The log stuck: stderr is a one-page pipe nobody reads; exchanges answered.
  4. 70 addresses holding 16 idle connections each: is a real client answered
     within 3 s?
  5. SIGHUP (the log rotated), and SIGTERM with exchanges in flight (a Redis
     that stalls for 0.3 s): answered, exit status, time to exit.
  6. Connect-back probes of one address asked of two processes on one port
     that share Redis: how many are dialled.
"""

import argparse
import fcntl
import os
import resource
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
HELLO = "SERVEROK|END".encode("utf-16-le")
F_SETPIPE_SZ = 1031


def wire(text):
    return text.encode("utf-16-le")


def read_hello(s):
    """The hello reply ("SERVEROK|dialback|END" from a directory that dials
    back, "SERVEROK|END" from one that does not); b"" if the server closed."""
    got = b""
    while not got.endswith(wire("END")):
        chunk = s.recv(64)
        if not chunk:
            return b""
        got += chunk
    return got


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def connect(port, source, timeout=5.0):
    s = socket.socket()
    s.settimeout(timeout)
    s.bind((source, 0))
    s.connect(("127.0.0.1", port))
    return s


def read_to_close(s):
    data = b""
    while True:
        chunk = s.recv(65536)
        if not chunk:
            return data
        data += chunk


def exchange(port, source, request, timeout=5.0):
    """The phone's exchange; the reply text, "refused" or "timeout"."""
    try:
        with connect(port, source, timeout) as s:
            s.sendall(HELLO)
            if not read_hello(s):
                return "refused"
            s.sendall(wire(request))
            return read_to_close(s).decode("utf-16-le", "replace")
    except socket.timeout:
        return "timeout"
    except OSError:
        return "refused"


def register(port, source, name, password="", timeout=5.0):
    return exchange(port, source, "MYDATA|%s|M|30|hi|%s||END" % (name, password), timeout)


class Server:
    def __init__(self, program, args=(), stderr=None, env=None, port=None):
        self.port = port or free_port()
        self.process = subprocess.Popen(
            [program, "--listen", "127.0.0.1", "--port", str(self.port), *args],
            stderr=stderr if stderr is not None else subprocess.DEVNULL,
            env=env,
        )
        for _ in range(200):
            try:
                socket.create_connection(("127.0.0.1", self.port), 0.2).close()
                return
            except OSError:
                if self.process.poll() is not None:
                    break
                time.sleep(0.02)
        raise RuntimeError("voxlet-directory did not start: %s %s" % (program, " ".join(args)))

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


def supports(program, option):
    return option in subprocess.run([program, "--help"], capture_output=True, text=True).stdout


def run_threads(count, work):
    threads = [threading.Thread(target=work, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


def pass_guessing(program, seconds, addresses):
    server = Server(program, ["--quiet"])
    try:
        owner = register(server.port, "127.0.0.2", "Victim", "4711")
        if not owner.startswith("ClientData|"):
            return "the owner could not register: " + owner
        sources = ["127.2.%d.%d" % (i // 250, 1 + i % 250) for i in range(addresses)]
        lock = threading.Lock()
        tally = {"guesses": 0, "probes": 0, "accepted": 0, "oddities": 0}
        deadline = time.monotonic() + seconds

        def attacker(worker):
            n = worker
            while time.monotonic() < deadline:
                n += 8
                probe = n % 100 == 0
                password = "4711" if probe else "%04d" % (n % 10000 if n % 10000 != 4711 else 0)
                reply = register(server.port, sources[n % len(sources)], "Victim", password, 3.0)
                with lock:
                    tally["guesses"] += 1
                    if probe:
                        tally["probes"] += 1
                        tally["accepted"] += reply.startswith("ClientData|")
                    elif reply != "DISCONNECT|END":
                        tally["oddities"] += 1
                if probe and reply.startswith("ClientData|"):
                    register(server.port, "127.0.0.2", "Victim", "4711")  # the owner takes it back

        start = time.monotonic()
        run_threads(8, attacker)
        elapsed = time.monotonic() - start
        rate = tally["guesses"] / elapsed
        share = tally["accepted"] / tally["probes"] if tally["probes"] else 0.0
        weighed = rate * share * 3600
        owner_after = register(server.port, "127.0.0.2", "Victim", "4711")
        line = ("%d guesses in %.1f s (%.0f/s); right PASS accepted %d of %d times => about %.0f guesses "
                "weighed per hour" % (tally["guesses"], elapsed, rate, tally["accepted"], tally["probes"], weighed))
        if weighed > 0:
            hours = 10000 / weighed
            line += ", a 4-digit PASS found within " + ("%.1f h" % hours if hours >= 1 else "%.1f s" % (hours * 3600))
        else:
            line += " (fewer than %.0f: no right guess got through)" % (rate * 3600 / max(tally["probes"], 1))
        line += "; owner refreshing afterwards: %s" % ("served" if owner_after.startswith("ClientData|")
                                                        else owner_after)
        if tally["oddities"]:
            line += "; %d wrong guesses not refused" % tally["oddities"]
        return line
    finally:
        server.stop()


def list_flood(program):
    server = Server(program, ["--quiet"])
    try:
        accepted = 0
        for a in range(12):
            for n in range(40):
                accepted += register(server.port, "127.3.0.%d" % (a + 1), "F%02d-%02d" % (a, n)).startswith("ClientData|")
        newcomer = register(server.port, "127.0.0.3", "Newcomer")
        looker = register(server.port, "127.0.0.4", "Looker")
        entries = looker.split("|")
        listed = "Newcomer" in entries
        flooders = sum(1 for e in entries if e.startswith("F") and "-" in e)
        return ("flood: %d fake names accepted from 12 addresses; a new user registering then: %s, listed to "
                "another user: %s; the list reply holds %d flood names, %d bytes"
                % (accepted, "served" if newcomer.startswith("ClientData|") else newcomer,
                   "yes" if listed else "NO", flooders, len(looker.encode("utf-16-le"))))
    finally:
        server.stop()


def stuck_log(program, total):
    reader, writer = os.pipe()
    fcntl.fcntl(reader, F_SETPIPE_SZ, 4096)
    server = Server(program, [], stderr=writer)
    os.close(writer)
    try:
        lock = threading.Lock()
        tally = {"answered": 0, "timeouts": 0, "started": 0}

        def client(worker):
            while True:
                with lock:
                    if tally["started"] >= total or tally["timeouts"] >= 8:
                        return
                    tally["started"] += 1
                reply = exchange(server.port, "127.0.0.%d" % (5 + worker % 4), "GETGLOVALIP|END", 3.0)
                with lock:
                    if reply.startswith("YOURGLOVALIP|"):
                        tally["answered"] += 1
                    else:
                        tally["timeouts"] += 1

        start = time.monotonic()
        run_threads(4, client)
        elapsed = time.monotonic() - start
        line = "%d of %d exchanges answered in %.1f s with the log unread" % (tally["answered"], tally["started"], elapsed)
        if tally["timeouts"] >= 8:
            line += " (stopped after %d exchanges failed)" % tally["timeouts"]
        return line
    finally:
        server.stop()
        os.close(reader)


def idle_holders(program):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, 4096)), hard))
    server = Server(program, ["--quiet", "--idle", "60"])
    held = []
    try:
        for a in range(70):
            for _ in range(16):
                try:
                    s = connect(server.port, "127.4.0.%d" % (a + 1))
                    s.sendall(HELLO)
                    held.append(s)
                except OSError:
                    pass
        served_hello = 0
        for s in held:
            try:
                served_hello += read_hello(s).startswith(wire("SERVEROK|"))
            except OSError:
                pass
        start = time.monotonic()
        reply = exchange(server.port, "127.0.0.6", "GETGLOVALIP|END", 3.0)
        elapsed = time.monotonic() - start
        return ("70 addresses x 16 idle connections (%d opened, %d greeted): a real client %s in %.2f s (target: "
                "answered within 3 s)" % (len(held), served_hello,
                                          "answered" if reply.startswith("YOURGLOVALIP|") else "NOT answered (%s)" % reply,
                                          elapsed))
    finally:
        for s in held:
            s.close()
        server.stop()


def describe_exit(code):
    return "killed by signal %d" % -code if code < 0 else "exit status %d" % code


def hang_up(program, folder):
    log = os.path.join(folder, "directory.log")
    use_file = supports(program, "--log-file")
    args = ["--log-file", log] if use_file else []
    with open(os.path.join(folder, "stderr.log"), "wb") as stderr:
        server = Server(program, args, stderr=stderr)
    try:
        if use_file:
            os.rename(log, log + ".1")
        server.process.send_signal(signal.SIGHUP)
        time.sleep(0.3)
        alive = server.process.poll() is None
        reply = exchange(server.port, "127.0.0.7", "GETGLOVALIP|END", 3.0) if alive else "-"
        line = "SIGHUP: %s, then %s" % ("still running" if alive else describe_exit(server.process.returncode),
                                          "answered" if reply.startswith("YOURGLOVALIP|") else "not answered")
        if use_file and alive:
            time.sleep(0.2)
            line += ", log file reopened: %s" % ("yes" if os.path.exists(log) else "no")
        return line
    finally:
        server.stop()


def start_redis(folder):
    """A private redis-server on folder/redis.sock: the process and the socket."""
    os.makedirs(folder, exist_ok=True)
    redis = subprocess.Popen(["bash", os.path.join(ROOT, "scripts/services.sh"), "redis-server", folder],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    sock = os.path.join(folder, "redis.sock")
    for _ in range(300):
        if os.path.exists(sock):
            break
        time.sleep(0.01)
    time.sleep(0.1)
    return redis, sock


def terminate_in_flight(program, folder):
    redis, sock = start_redis(folder)
    server = Server(program, ["--quiet", "--store", "unix:" + sock, "--store-timeout", "5000"])
    try:
        # Warm up: the script is loaded and Redis has answered once.
        register(server.port, "127.0.0.8", "Warm")
        between = [connect(server.port, "127.5.0.%d" % (i + 1)) for i in range(20)]
        waiting = [connect(server.port, "127.5.1.%d" % (i + 1)) for i in range(20)]
        for s in between + waiting:
            s.sendall(HELLO)
            read_hello(s)
        redis.send_signal(signal.SIGSTOP)
        for i, s in enumerate(waiting):
            s.sendall(wire("MYDATA|Flight%02d|M|30|hi|||END" % i))
        time.sleep(0.1)
        start = time.monotonic()
        server.process.send_signal(signal.SIGTERM)
        time.sleep(0.05)
        try:
            socket.create_connection(("127.0.0.1", server.port), 0.5).close()
            newcomers = "still accepted"
        except OSError:
            newcomers = "refused"
        answered = 0
        for s in between:
            try:
                s.sendall(wire("GETGLOVALIP|END"))
                answered += read_to_close(s).decode("utf-16-le", "replace").startswith("YOURGLOVALIP|")
            except OSError:
                pass
        time.sleep(0.3)
        redis.send_signal(signal.SIGCONT)
        listed = 0
        for s in waiting:
            try:
                listed += read_to_close(s).decode("utf-16-le", "replace").startswith("ClientData|")
            except OSError:
                pass
        try:
            code = server.process.wait(10)
        except subprocess.TimeoutExpired:
            code = None
        elapsed = time.monotonic() - start
        stored = subprocess.run(["redis-cli", "-s", sock, "zcard", "voxlet-directory:order"],
                                capture_output=True, text=True).stdout.strip()
        return ("SIGTERM with 40 exchanges in flight: new connections %s; %d of 20 between hello and request "
                "answered, %d of 20 waiting for a stalled Redis answered with the list (users in Redis: %s of 21); "
                "%s after %.2f s (target: exit 0 within 2 s, none dropped)"
                % (newcomers, answered, listed, stored, "still running" if code is None else describe_exit(code),
                   elapsed))
    finally:
        server.stop()
        redis.send_signal(signal.SIGCONT)
        redis.terminate()
        redis.wait()


def probes_through_two_processes(program, folder):
    redis, sock = start_redis(os.path.join(folder, "probes"))
    port = free_port()
    args = ["--quiet", "--reuse-port", "--store", "unix:" + sock]
    servers = [Server(program, args, port=port), Server(program, args, port=port)]
    try:
        # The kernel spreads the connections over both processes.
        words = [exchange(port, "127.6.0.1", "CONNECTBACK|END").split("|")[1:2] for _ in range(20)]
        dialled = sum(1 for w in words if w and w[0] in ("OK", "REFUSED", "TIMEOUT"))
        limited = sum(1 for w in words if w == ["LIMIT"])
        return ("connect-back from one address, 20 requests to two processes on one port sharing Redis: %d "
                "dialled, %d refused as over the limit (target: 4 dialled, the limit of the whole directory)"
                % (dialled, limited))
    finally:
        for server in servers:
            server.stop()
        redis.terminate()
        redis.wait()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--server", default=os.path.join(ROOT, "build/bench/server/voxlet-directory"))
    parser.add_argument("--seconds", type=float, default=5, help="length of each PASS-guessing run")
    options = parser.parse_args()
    if not os.access(options.server, os.X_OK):
        sys.exit("%s is not built (bench/directory.sh builds it)" % options.server)
    for tool in ("redis-server", "redis-cli"):
        if not shutil.which(tool):
            sys.exit(tool + " is missing (see scripts/packages.d/)")
    print("voxlet-directory under attack: %s" % options.server)
    print("machine: %d cores, load average %s" % (os.cpu_count(), " ".join(open("/proc/loadavg").read().split()[:3])))
    folder = tempfile.mkdtemp(prefix="voxlet-directory-attack.")
    try:
        print("1. PASS guessing, 1 address:    " + pass_guessing(options.server, options.seconds, 1))
        print("   PASS guessing, 100 addresses: " + pass_guessing(options.server, options.seconds, 100))
        print("2. " + list_flood(options.server))
        print("3. " + stuck_log(options.server, 3000))
        print("4. " + idle_holders(options.server))
        print("5. " + hang_up(options.server, folder))
        print("   " + terminate_in_flight(options.server, folder))
        print("6. " + probes_through_two_processes(options.server, folder))
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
