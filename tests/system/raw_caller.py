#!/usr/bin/python3
"""A caller on a raw socket: greeting in, call request out, then it waits
for the answer. Prints "answered" once it hears it, or "gave up" after
PATIENCE seconds without one (0: a minute). Answered, it hangs up after HOLD
seconds, or with HOLD 0 waits for the phone to end the call and prints
"closed" (an orderly close) or "reset".
Usage: raw_caller.py HOST:PORT NAME PATIENCE HOLD
(from the address in RAW_CALLER_FROM, when set). With RAW_CALLER_RUNG=N as
well, it listens on that address, port 8002, and once it gave up waits to be
rung N times, greeting each caller as a phone does: "rung by NAME"."""
import os
import socket
import sys
import time

address, name, patience, hold = sys.argv[1], sys.argv[2], float(sys.argv[3]), float(sys.argv[4])
host, port = address.rsplit(":", 1)
source = (os.environ["RAW_CALLER_FROM"], 0) if os.environ.get("RAW_CALLER_FROM") else None
rung = int(os.environ.get("RAW_CALLER_RUNG", "0"))
if rung:
    phone = socket.socket(socket.AF_INET6 if ":" in source[0] else socket.AF_INET)
    phone.bind((source[0], 8002))
    phone.listen()
s = socket.create_connection((host, int(port)), timeout=60, source_address=source)


def wait_to_be_rung():
    for _ in range(rung):
        phone.settimeout(60)
        c, _ = phone.accept()
        c.settimeout(30)
        c.sendall("VOICEMSG:OK".encode("utf-16-le"))
        got = b""
        while "|END".encode("utf-16-le") not in got:
            chunk = c.recv(65536)
            if not chunk:
                break
            got += chunk
        print("rung by " + (got.decode("utf-16-le", "replace").split("|") + [""])[1], flush=True)
        c.close()


def expect(text, seconds):
    want = text.encode("utf-16-le")
    got = b""
    s.settimeout(seconds or 60)
    while want not in got:
        chunk = s.recv(65536)
        if not chunk:
            sys.exit("closed before " + text)
        got += chunk


expect("VOICEMSG:OK", 30)
s.sendall(("VOICEMSG:OK|" + name + "|END").encode("utf-16-le"))
try:
    expect("CallAnswer|END", patience)
except socket.timeout:
    print("gave up", flush=True)
    s.close()
    wait_to_be_rung()
    sys.exit(0)
print("answered", flush=True)
if hold > 0:
    time.sleep(hold)
    s.close()
    sys.exit(0)
s.settimeout(None)
try:
    while s.recv(65536):
        pass
    print("closed", flush=True)
except ConnectionResetError:
    print("reset", flush=True)
