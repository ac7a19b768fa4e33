#!/usr/bin/python3
"""Stand-ins for the desktop's services on the session bus, each call a JSON
line in LOG. notifications: for each line "ID ACTION" appended to ARG, sends
ActionInvoked as a user's click would. portal: the inhibition portal, each
line with "held", the inhibitions then in force.
Usage: desktop_service.py notifications|portal LOG [ARG]"""
import json
import sys

from gi.repository import Gio, GLib

M = '<method name="%s">%s</method>'
A = '<arg type="%s"/>'
O = '<arg type="%s" direction="out"/>'
XML = {
    "notifications": M % ("GetCapabilities", O % "as") + M % ("Notify", A * 5 % tuple("susss") + A * 3 %
                                                             ("as", "a{sv}", "i") + O % "u")
    + M % ("CloseNotification", A % "u") + M % ("GetServerInformation", O * 4 % tuple("ssss"))
    + '<signal name="ActionInvoked"><arg type="u"/><arg type="s"/></signal>'
    + '<signal name="NotificationClosed"><arg type="u"/><arg type="u"/></signal>',
    "portal": M % ("Inhibit", A * 3 % ("s", "u", "a{sv}") + O % "o"),
    "request": M % ("Close", ""),
}
NAMES = {"notifications": ("org.freedesktop.Notifications", "/org/freedesktop/Notifications"),
         "portal": ("org.freedesktop.portal.Inhibit", "/org/freedesktop/portal/desktop"),
         "request": ("org.freedesktop.portal.Request", None)}
BUS_NAME = {"portal": "org.freedesktop.portal.Desktop"}
mode, log_path = sys.argv[1], sys.argv[2]
arg = sys.argv[3] if len(sys.argv) > 3 else ""
state = {"next": 1, "read": 0, "conn": None}
held = {}  # request path -> the request object's registration


def interface(name):
    xml = '<node><interface name="%s">%s</interface></node>' % (NAMES[name][0], XML[name])
    return Gio.DBusNodeInfo.new_for_xml(xml).interfaces[0]


def record(entry):
    if mode != "notifications":
        entry = dict(entry, held=len(held))
    with open(log_path, "a", encoding="utf-8") as f:
        f.write(json.dumps(entry, ensure_ascii=False) + "\n")


def notify(conn, method, params, invocation):
    iface, path = NAMES["notifications"]
    if method == "GetCapabilities":
        invocation.return_value(GLib.Variant("(as)", (["actions", "body", "body-markup", "persistence"],)))
    elif method == "GetServerInformation":
        invocation.return_value(GLib.Variant("(ssss)", ("test", "voxlet", "1", "1.2")))
    elif method == "Notify":
        app, replaces, icon, summary, body, actions, hints, timeout = params.unpack()
        nid = replaces or state["next"]
        state["next"] += 0 if replaces else 1
        record({"call": "Notify", "id": nid, "app": app, "icon": icon, "summary": summary, "body": body,
                "actions": actions, "hints": dict(hints), "timeout": timeout})
        invocation.return_value(GLib.Variant("(u)", (nid,)))
    else:
        (nid,) = params.unpack()
        record({"call": "CloseNotification", "id": nid})
        conn.emit_signal(None, path, iface, "NotificationClosed", GLib.Variant("(uu)", (nid, 3)))
        invocation.return_value(None)


def poll_control():
    try:
        with open(arg, encoding="utf-8") as f:
            lines = f.read().splitlines()
    except FileNotFoundError:
        lines = []
    iface, path = NAMES["notifications"]
    for line in lines[state["read"]:]:
        nid, action = line.split(" ", 1)
        state["conn"].emit_signal(None, path, iface, "ActionInvoked", GLib.Variant("(us)", (int(nid), action)))
        record({"call": "ActionInvoked", "id": int(nid), "action": action})
    state["read"] = len(lines)
    return True


def on_call(conn, sender, path, iface, method, params, invocation):
    if mode == "notifications":
        notify(conn, method, params, invocation)
    elif method == "Close":
        if path in held:
            conn.unregister_object(held.pop(path))
            record({"call": method, "key": path})
        invocation.return_value(None)
    else:
        window, flags, options = params.unpack()
        handle = "/org/freedesktop/portal/desktop/request/%s/%s" % (sender[1:].replace(".", "_"),
                                                                    options.get("handle_token", "t"))
        held[handle] = conn.register_object(handle, interface("request"), on_call, None, None)
        record({"call": "Inhibit", "flags": flags, "reason": options.get("reason"), "window": window})
        invocation.return_value(GLib.Variant("(o)", (handle,)))


def on_bus(conn, name):
    state["conn"] = conn
    conn.register_object(NAMES[mode][1], interface(mode), on_call, None, None)
    if mode != "notifications":
        record({"service": mode})  # nothing held yet


Gio.bus_own_name(Gio.BusType.SESSION, BUS_NAME.get(mode, NAMES[mode][0]), Gio.BusNameOwnerFlags.NONE, on_bus,
                 lambda c, n: print("ready", flush=True), lambda c, n: sys.exit("name lost"))
if mode == "notifications":
    GLib.timeout_add(100, poll_control)
GLib.MainLoop().run()
