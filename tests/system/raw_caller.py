#!/usr/bin/python3
"""A caller on a raw socket: greeting in, call request out, then it waits
for the answer. Prints "answered" once it hears it, or "gave up" after
PATIENCE seconds without one (0: a minute). Answered, it hangs up after HOLD
seconds, or with HOLD 0 waits for the phone to end the call and prints
"closed" (an orderly close) or "reset".
Usage: raw_caller.py HOST:PORT NAME PATIENCE HOLD
(from the address in RAW_CALLER_FROM, when set)"""
import os
import socket
import sys
import time

address, name, patience, hold = sys.argv[1], sys.argv[2], float(sys.argv[3]), float(sys.argv[4])
host, port = address.rsplit(":", 1)
source = (os.environ["RAW_CALLER_FROM"], 0) if os.environ.get("RAW_CALLER_FROM") else None
s = socket.create_connection((host, int(port)), timeout=60, source_address=source)


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
