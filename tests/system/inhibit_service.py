#!/usr/bin/python3
"""A stand-in for the desktop's inhibition service on the session bus: the
portal's Inhibit (MODE portal) or the screen saver's (MODE screensaver).
Each call is a JSON line in LOG, followed by {"held": N}, the inhibitions
then in force. DELAY seconds pass before each Inhibit reply.
Usage: inhibit_service.py MODE LOG [DELAY]"""
import json
import sys

from gi.repository import Gio, GLib

XML = {"portal": """<node><interface name="org.freedesktop.portal.Inhibit"><method name="Inhibit">
<arg type="s"/><arg type="u"/><arg type="a{sv}"/><arg type="o" direction="out"/></method></interface></node>""",
       "screensaver": """<node><interface name="org.freedesktop.ScreenSaver"><method name="Inhibit">
<arg type="s"/><arg type="s"/><arg type="u" direction="out"/></method>
<method name="UnInhibit"><arg type="u"/></method></interface></node>""",
       "request": """<node><interface name="org.freedesktop.portal.Request"><method name="Close"/></interface></node>"""}
mode, log_path = sys.argv[1], sys.argv[2]
delay_ms = int(float(sys.argv[3]) * 1000) if len(sys.argv) > 3 else 0
held = {}  # request path or cookie -> the request object's registration
cookies = []


def record(entry):
    with open(log_path, "a", encoding="utf-8") as f:
        f.write(json.dumps(entry, ensure_ascii=False) + "\n" + json.dumps({"held": len(held)}) + "\n")


def release(conn, key, how, invocation):
    if key in held:
        registration = held.pop(key)
        if registration:
            conn.unregister_object(registration)
        record({"call": how, "key": str(key)})
    invocation.return_value(None)


def grant(conn, key, registration, entry, invocation, reply):
    def later():
        held[key] = registration() if registration else None
        record(dict(entry, key=str(key)))
        invocation.return_value(reply)
    GLib.timeout_add(delay_ms, lambda: later() and False)


def on_call(conn, sender, path, iface, method, params, invocation):
    if method == "Close":
        release(conn, path, "Close", invocation)
    elif method == "UnInhibit":
        release(conn, params.unpack()[0], "UnInhibit", invocation)
    elif mode == "portal":
        window, flags, options = params.unpack()
        handle = "/org/freedesktop/portal/desktop/request/%s/%s" % (sender[1:].replace(".", "_"),
                                                                    options.get("handle_token", "t"))
        request = Gio.DBusNodeInfo.new_for_xml(XML["request"]).interfaces[0]
        grant(conn, handle, lambda: conn.register_object(handle, request, on_call, None, None),
              {"call": "Inhibit", "flags": flags, "reason": options.get("reason"), "window": window},
              invocation, GLib.Variant("(o)", (handle,)))
    else:
        app, reason = params.unpack()
        cookie = len(cookies) + 1
        cookies.append(cookie)
        grant(conn, cookie, None, {"call": "Inhibit", "app": app, "reason": reason}, invocation,
              GLib.Variant("(u)", (cookie,)))


def on_bus(conn, name):
    path = "/org/freedesktop/portal/desktop" if mode == "portal" else "/org/freedesktop/ScreenSaver"
    conn.register_object(path, Gio.DBusNodeInfo.new_for_xml(XML[mode]).interfaces[0], on_call, None, None)
    record({"service": mode})  # a new service holds nothing, whatever the one before it left


name = "org.freedesktop.portal.Desktop" if mode == "portal" else "org.freedesktop.ScreenSaver"
Gio.bus_own_name(Gio.BusType.SESSION, name, Gio.BusNameOwnerFlags.NONE, on_bus,
                 lambda c, n: print("ready", flush=True), lambda c, n: sys.exit("name lost"))
GLib.MainLoop().run()
