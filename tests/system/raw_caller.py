#!/usr/bin/python3
"""A caller on a raw socket: greeting in, call request out, then it waits
for the answer. Prints "answered" once it hears it, or "gave up" after
PATIENCE seconds without one (0: a minute). Answered, it hangs up after HOLD
seconds, or with HOLD 0 waits for the phone to end the call and prints
"closed" (an orderly close) or "reset".
Usage: raw_caller.py HOST:PORT NAME PATIENCE HOLD
(from the address in RAW_CALLER_FROM, when set). With RAW_CALLER_RUNG=N, it gave up
and then waits on that address, port 8002, to be rung N times: "rung by NAME"."""
import os
import socket
import sys
import time

address, name, patience, hold = sys.argv[1], sys.argv[2], float(sys.argv[3]), float(sys.argv[4])
host, port = address.rsplit(":", 1)
source = (os.environ["RAW_CALLER_FROM"], 0) if os.environ.get("RAW_CALLER_FROM") else None
rung = int(os.environ.get("RAW_CALLER_RUNG", "0"))
if rung:
    phone = socket.create_server((source[0], 8002), family=socket.AF_INET6 if ":" in source[0] else socket.AF_INET)
s = socket.create_connection((host, int(port)), timeout=60, source_address=source)


def expect(text, seconds, c=s):
    want = text.encode("utf-16-le")
    got = b""
    c.settimeout(seconds or 60)
    while want not in got:
        chunk = c.recv(65536)
        if not chunk:
            sys.exit("closed before " + text)
        got += chunk
    return got.decode("utf-16-le", "replace")


def wait_to_be_rung():
    phone.settimeout(60)
    for _ in range(rung):
        c = phone.accept()[0]
        c.sendall("VOICEMSG:OK".encode("utf-16-le"))
        print("rung by " + (expect("|END", 30, c).split("|") + [""])[1], flush=True)
        c.close()


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
