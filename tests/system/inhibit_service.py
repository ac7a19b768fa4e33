#!/usr/bin/python3
"""A stand-in for the desktop's inhibition service on the session bus: the
portal's Inhibit (MODE portal) or the screen saver's (MODE screensaver).
Each call is a JSON line in LOG, followed by {"held": N}, the inhibitions
then in force. As the real services do, a client that leaves the bus loses
what it held ("vanished"). DELAY seconds pass before each Inhibit reply.
Usage: inhibit_service.py MODE LOG [DELAY]"""
import json
import sys

from gi.repository import Gio, GLib

PORTAL_XML = """<node><interface name="org.freedesktop.portal.Inhibit">
<method name="Inhibit"><arg type="s"/><arg type="u"/><arg type="a{sv}"/><arg type="o" direction="out"/></method>
</interface></node>"""
REQUEST_XML = """<node><interface name="org.freedesktop.portal.Request">
<method name="Close"/></interface></node>"""
SAVER_XML = """<node><interface name="org.freedesktop.ScreenSaver">
<method name="Inhibit"><arg type="s"/><arg type="s"/><arg type="u" direction="out"/></method>
<method name="UnInhibit"><arg type="u"/></method>
</interface></node>"""

mode, log_path = sys.argv[1], sys.argv[2]
delay_ms = int(float(sys.argv[3]) * 1000) if len(sys.argv) > 3 else 0
held = {}  # key (request path or cookie) -> (sender, registration id or None)
state = {"conn": None, "cookie": 0, "watched": set()}


def record(entry):
    with open(log_path, "a", encoding="utf-8") as f:
        f.write(json.dumps(entry, ensure_ascii=False) + "\n")
        f.write(json.dumps({"held": len(held)}) + "\n")


def release(key, how):
    sender, registration = held.pop(key)
    if registration is not None:
        state["conn"].unregister_object(registration)
    record({"call": how, "key": str(key), "sender": sender})


def on_owner_changed(conn, sender, path, iface, signal, params):
    name, old, new = params.unpack()
    if new:
        return
    for key in [k for k, (s, _) in held.items() if s == name]:
        release(key, "vanished")


def watch(sender):
    if sender in state["watched"]:
        return
    state["watched"].add(sender)
    state["conn"].signal_subscribe("org.freedesktop.DBus", "org.freedesktop.DBus", "NameOwnerChanged",
                                   "/org/freedesktop/DBus", sender, Gio.DBusSignalFlags.NONE, on_owner_changed)


def later(action):
    if delay_ms:
        GLib.timeout_add(delay_ms, lambda: action() and False)
    else:
        action()


def on_request(conn, sender, path, iface, method, params, invocation):
    if path in held:
        release(path, "Close")
    invocation.return_value(None)


def on_portal(conn, sender, path, iface, method, params, invocation):
    window, flags, options = params.unpack()
    token = options.get("handle_token", "t%d" % len(held))
    handle = "/org/freedesktop/portal/desktop/request/%s/%s" % (sender[1:].replace(".", "_"), token)

    def reply():
        registration = conn.register_object(handle, Gio.DBusNodeInfo.new_for_xml(REQUEST_XML).interfaces[0],
                                            on_request, None, None)
        watch(sender)
        held[handle] = (sender, registration)
        record({"call": "Inhibit", "flags": flags, "reason": options.get("reason"), "window": window,
                "key": handle, "sender": sender})
        invocation.return_value(GLib.Variant("(o)", (handle,)))

    later(reply)


def on_saver(conn, sender, path, iface, method, params, invocation):
    if method == "Inhibit":
        app, reason = params.unpack()

        def reply():
            state["cookie"] += 1
            watch(sender)
            held[state["cookie"]] = (sender, None)
            record({"call": "Inhibit", "app": app, "reason": reason, "key": str(state["cookie"]),
                    "sender": sender})
            invocation.return_value(GLib.Variant("(u)", (state["cookie"],)))

        later(reply)
    elif method == "UnInhibit":
        (cookie,) = params.unpack()
        if cookie in held:
            release(cookie, "UnInhibit")
        invocation.return_value(None)


def on_bus(conn, name):
    state["conn"] = conn
    # A new service holds nothing, whatever the one before it left.
    with open(log_path, "a", encoding="utf-8") as f:
        f.write(json.dumps({"held": 0}) + "\n")
    if mode == "portal":
        conn.register_object("/org/freedesktop/portal/desktop",
                             Gio.DBusNodeInfo.new_for_xml(PORTAL_XML).interfaces[0], on_portal, None, None)
    else:
        conn.register_object("/org/freedesktop/ScreenSaver", Gio.DBusNodeInfo.new_for_xml(SAVER_XML).interfaces[0],
                             on_saver, None, None)


name = "org.freedesktop.portal.Desktop" if mode == "portal" else "org.freedesktop.ScreenSaver"
Gio.bus_own_name(Gio.BusType.SESSION, name, Gio.BusNameOwnerFlags.NONE, on_bus,
                 lambda c, n: print("ready", flush=True), lambda c, n: sys.exit("name lost"))
GLib.MainLoop().run()
