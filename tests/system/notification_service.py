#!/usr/bin/python3
"""A stand-in for the desktop's notification service on the session bus:
records every call as a JSON line in LOG and, for each line "ID ACTION"
appended to CONTROL, sends ActionInvoked as a user's click would.
Usage: notification_service.py LOG CONTROL"""
import json
import sys

from gi.repository import Gio, GLib

XML = """<node><interface name="org.freedesktop.Notifications">
<method name="GetCapabilities"><arg type="as" direction="out"/></method>
<method name="Notify"><arg type="s"/><arg type="u"/><arg type="s"/><arg type="s"/><arg type="s"/>
<arg type="as"/><arg type="a{sv}"/><arg type="i"/><arg type="u" direction="out"/></method>
<method name="CloseNotification"><arg type="u"/></method>
<method name="GetServerInformation"><arg type="s" direction="out"/><arg type="s" direction="out"/>
<arg type="s" direction="out"/><arg type="s" direction="out"/></method>
<signal name="ActionInvoked"><arg type="u"/><arg type="s"/></signal>
<signal name="NotificationClosed"><arg type="u"/><arg type="u"/></signal>
</interface></node>"""
PATH = "/org/freedesktop/Notifications"
IFACE = "org.freedesktop.Notifications"

log_path, control_path = sys.argv[1], sys.argv[2]
state = {"next": 1, "read": 0, "conn": None}


def record(entry):
    with open(log_path, "a", encoding="utf-8") as f:
        f.write(json.dumps(entry, ensure_ascii=False) + "\n")


def on_call(conn, sender, path, iface, method, params, invocation):
    if method == "GetCapabilities":
        invocation.return_value(GLib.Variant("(as)", (["actions", "body", "persistence"],)))
    elif method == "GetServerInformation":
        invocation.return_value(GLib.Variant("(ssss)", ("test", "voxlet", "1", "1.2")))
    elif method == "Notify":
        app, replaces, icon, summary, body, actions, hints, timeout = params.unpack()
        nid = replaces or state["next"]
        if not replaces:
            state["next"] += 1
        record({"call": "Notify", "id": nid, "app": app, "icon": icon, "summary": summary, "body": body,
                "actions": actions, "hints": {k: v for k, v in hints.items()}, "timeout": timeout})
        invocation.return_value(GLib.Variant("(u)", (nid,)))
    elif method == "CloseNotification":
        (nid,) = params.unpack()
        record({"call": "CloseNotification", "id": nid})
        conn.emit_signal(None, PATH, IFACE, "NotificationClosed", GLib.Variant("(uu)", (nid, 3)))
        invocation.return_value(None)


def poll_control():
    try:
        with open(control_path, encoding="utf-8") as f:
            lines = f.read().splitlines()
    except FileNotFoundError:
        lines = []
    for line in lines[state["read"]:]:
        nid, action = line.split(" ", 1)
        state["conn"].emit_signal(None, PATH, IFACE, "ActionInvoked", GLib.Variant("(us)", (int(nid), action)))
        record({"call": "ActionInvoked", "id": int(nid), "action": action})
    state["read"] = len(lines)
    return True


def on_bus(conn, name):
    state["conn"] = conn
    conn.register_object(PATH, Gio.DBusNodeInfo.new_for_xml(XML).interfaces[0], on_call, None, None)


Gio.bus_own_name(Gio.BusType.SESSION, IFACE, Gio.BusNameOwnerFlags.NONE, on_bus,
                 lambda c, n: print("ready", flush=True), lambda c, n: sys.exit("name lost"))
GLib.timeout_add(100, poll_control)
GLib.MainLoop().run()
