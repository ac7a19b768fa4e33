#!/usr/bin/python3
"""Drives a running Voxlet through the accessibility bus (AT-SPI).

Each command names the program by its process id, so two copies on one
display can be told apart. Elements are found by role and accessible name,
the names a sighted user would give them: button and menu captions, the
label beside a box, "状態" for the status line, "相手先" for the dial box.

  wait-app  --pid P [--timeout S]
  find      --pid P --role ROLE --name NAME [--timeout S]   (waits for it)
  press     --pid P --role "push button"|"menu item" --name NAME [--timeout S]
  set-text  --pid P [--role text] --name 相手先 --text TEXT
  get-text  --pid P [--role R] --name 状態
  wait-text --pid P [--role R] --name 状態 --text TEXT [--timeout S]
  watch     --pid P --name 状態 --out FILE --poke 相手先 [--timeout S]
            (writes every text the element takes, one a line, until killed)
  select    --pid P --name LIST --index N    (selects line N of a list, from 0)
  tree      --pid P --name WINDOW            (prints role and name of every element)
  check-names --pid P --name WINDOW
            (fails when an element a user reaches has no name or an internal one)
  answer-box --pid P --text TEXT
            (waits for a message box whose text holds TEXT, presses its OK)

Exit status: 0 done, 1 failed (message on stderr), 2 usage.
"""

import argparse
import os
import re
import sys
import time

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi, GLib  # noqa: E402

import pyatspi  # noqa: E402

# A call whose action opens a modal window gets no answer until the window
# closes; do not wait the library's 25 s default for it.
Atspi.set_timeout(2000, 5000)


def fail(message):
    print("atspi_driver: " + message, file=sys.stderr)
    sys.exit(1)


def alive(pid):
    try:
        os.kill(pid, 0)
        return True
    except ProcessLookupError:
        return False
    except PermissionError:
        return True


def application(pid):
    desktop = pyatspi.Registry.getDesktop(0)
    for i in range(desktop.childCount):
        try:
            app = desktop.getChildAtIndex(i)
            if app is not None and app.get_process_id() == pid:
                return app
        except GLib.Error:
            continue
    return None


def find(node, role, name, depth=0):
    if node is None or depth > 20:
        return None
    try:
        # A tool tip is named by its first line: the phone puts its status
        # on the lines below.
        named = node.name == name or (role == "tool tip" and node.name.split("\n")[0] == name)
        if (role is None or node.getRoleName() == role) and named:
            return node
        children = [node.getChildAtIndex(i) for i in range(node.childCount)]
    except GLib.Error:
        return None
    for child in children:
        found = find(child, role, name, depth + 1)
        if found is not None:
            return found
    return None


def element(pid, role, name, timeout, enabled=False):
    """Waits for the element (and, if asked, for it to be enabled)."""
    deadline = time.monotonic() + timeout
    last = "no application with pid %d on the accessibility bus" % pid
    while True:
        if not alive(pid):
            fail("process %d has ended" % pid)
        app = application(pid)
        if app is not None:
            node = find(app, role, name)
            if node is None:
                last = "no %s named %r" % (role or "element", name)
            elif enabled and not node.getState().contains(pyatspi.STATE_ENABLED):
                last = "%s %r is disabled" % (role, name)
            else:
                return node
        if time.monotonic() > deadline:
            fail(last)
        time.sleep(0.1)


def text_of(node):
    try:
        t = node.queryText()
        return t.getText(0, t.characterCount)
    except (NotImplementedError, GLib.Error):
        return node.name


def editable_part(node):
    """A combo box edits through its line edit, a child with the text role."""
    try:
        node.queryEditableText()
        return node
    except NotImplementedError:
        pass
    for i in range(node.childCount):
        child = node.getChildAtIndex(i)
        if child is not None:
            found = editable_part(child)
            if found is not None:
                return found
    return None


def cmd_wait_app(a):
    element(a.pid, "frame", "Voxlet ", a.timeout)


def cmd_find(a):
    element(a.pid, a.role, a.name, a.timeout)


def cmd_press(a):
    node = element(a.pid, a.role, a.name, a.timeout, enabled=True)
    action = node.queryAction()
    try:
        action.doAction(0)
    except GLib.Error as e:
        # A modal window opened by the action holds the reply back; the
        # action has run all the same.
        if not any(t in str(e) for t in ("Timeout", "timed out", "Did not receive a reply")):
            fail("%s %r: %s" % (a.role, a.name, e))


def cmd_set_text(a):
    node = element(a.pid, a.role, a.name, a.timeout)
    edit = editable_part(node)
    if edit is None:
        fail("%r has no editable text" % a.name)
    if not edit.queryEditableText().setTextContents(a.text):
        fail("%r refused the text" % a.name)
    if text_of(edit) != a.text:
        fail("%r reads %r after setting %r" % (a.name, text_of(edit), a.text))


def cmd_get_text(a):
    print(text_of(element(a.pid, a.role, a.name, a.timeout)))


def cmd_wait_text(a):
    node = element(a.pid, a.role, a.name, a.timeout)
    deadline = time.monotonic() + a.timeout
    seen = text_of(node)
    while seen != a.text:
        if time.monotonic() > deadline or not alive(a.pid):
            fail("%r reads %r, expected %r" % (a.name, seen, a.text))
        time.sleep(0.05)
        seen = text_of(node)


def cmd_watch(a):
    # Status texts can follow each other within milliseconds; the inserted
    # text of each change event is the whole new text, so nothing is missed
    # even when polling would be too slow.
    node = element(a.pid, None, a.name, a.timeout)
    out = open(a.out, "a", encoding="utf-8")
    last = [None]
    # The program sends no events until it has heard of a listener, a moment
    # after the registry has (longer on a busy machine): --poke's text is
    # changed until its event arrives; then the watcher is ready.
    poke = editable_part(element(a.pid, None, a.poke, a.timeout))
    if poke is None:
        fail("%r has no editable text" % a.poke)
    kept = text_of(poke)
    ready = [False]
    pokes = [0]
    started = time.monotonic()

    def set_ready():
        ready[0] = True
        try:
            poke.queryEditableText().setTextContents(kept)
        except GLib.Error:
            pass
        open(a.out + ".ready", "w").close()
        print("ready after %.1f s, %d changes" % (time.monotonic() - started, pokes[0]), flush=True)

    def record(text):
        if text != last[0]:
            last[0] = text
            out.write(text + "\n")
            out.flush()

    def on_insert(event):
        try:
            if event.host_application.get_process_id() != a.pid:
                return
            if event.source.name == a.name:
                record(str(event.any_data))
            if not ready[0]:
                set_ready()
        except GLib.Error:
            pass

    def poke_again():
        if ready[0]:
            return False
        pokes[0] += 1
        try:
            poke.queryEditableText().setTextContents("%s%d" % (kept, pokes[0]))
        except GLib.Error:
            pass
        return True

    def poll():
        if not alive(a.pid):
            pyatspi.Registry.stop()
            return False
        try:
            record(text_of(node))
        except GLib.Error:
            pass
        return True

    record(text_of(node))
    pyatspi.Registry.registerEventListener(on_insert, "object:text-changed:insert")
    GLib.timeout_add(200, poll)
    GLib.timeout_add(int(a.timeout * 1000), pyatspi.Registry.stop)
    GLib.timeout_add(250, poke_again)
    pyatspi.Registry.start()


def walk(node, depth=0):
    if node is None or depth > 25:
        return
    yield depth, node
    try:
        children = [node.getChildAtIndex(i) for i in range(node.childCount)]
    except GLib.Error:
        return
    for child in children:
        yield from walk(child, depth + 1)


def window(a):
    for role in ("frame", "dialog"):
        app = application(a.pid)
        node = find(app, role, a.name) if app is not None else None
        if node is not None:
            return node
    return element(a.pid, "dialog", a.name, a.timeout)


def cmd_tree(a):
    for depth, node in walk(window(a)):
        print("%s%s | %s" % ("  " * depth, node.getRoleName(), node.name))


# Containers and decorations a screen reader passes over.
UNNAMED_ROLES = {"filler", "separator", "scroll bar", "list item", "table cell", "redundant object"}
INTERNAL_NAME = re.compile(r"^(Text|Label|Command|Combo|List|Frame|Line|mnu_|mun_|nmu_|CLIBTN|SEARCH|SetFORM|MainForm|Surface)")


def cmd_check_names(a):
    bad = []
    for _, node in walk(window(a)):
        role = node.getRoleName()
        if role in UNNAMED_ROLES:
            continue
        if not node.name or INTERNAL_NAME.match(node.name):
            bad.append("%s %r" % (role, node.name))
    if bad:
        fail("elements without a name a user could read: " + ", ".join(bad))
    print("every element of %r is named" % a.name)


def cmd_select(a):
    node = element(a.pid, None, a.name, a.timeout)
    item = node.getChildAtIndex(a.index)
    if item is None:
        fail("%r has no line %d" % (a.name, a.index))
    if not item.getState().contains(pyatspi.STATE_SELECTED):
        item.queryAction().doAction(0)  # "Toggle"
    deadline = time.monotonic() + a.timeout
    while not item.getState().contains(pyatspi.STATE_SELECTED):
        if time.monotonic() > deadline:
            fail("%r: line %d could not be selected" % (a.name, a.index))
        time.sleep(0.05)


def message_boxes(pid):
    app = application(pid)
    if app is None:
        return []
    boxes = []
    for i in range(app.childCount):
        top = app.getChildAtIndex(i)
        if top is not None and top.getRoleName() in ("alert", "dialog") and top.name == "Voxlet":
            boxes.append(top)
    return boxes


def cmd_answer_box(a):
    """Waits for a message box showing the text and presses its OK button."""
    deadline = time.monotonic() + a.timeout
    seen = []
    while True:
        for box in message_boxes(a.pid):
            texts = [n.name for _, n in walk(box) if n.getRoleName() == "label"]
            seen = texts
            if any(a.text in t for t in texts):
                ok = find(box, "push button", "OK")
                try:
                    ok.queryAction().doAction(0)
                except GLib.Error:
                    pass
                return
        if time.monotonic() > deadline or not alive(a.pid):
            fail("no message box %r (last seen: %r)" % (a.text, seen))
        time.sleep(0.1)


def main():
    p = argparse.ArgumentParser()
    p.add_argument(
        "command",
        choices=[
            "wait-app", "find", "press", "set-text", "get-text", "wait-text", "watch", "select", "tree",
            "check-names", "answer-box",
        ],
    )
    p.add_argument("--pid", type=int, required=True)
    p.add_argument("--role")
    p.add_argument("--name")
    p.add_argument("--text")
    p.add_argument("--out")
    p.add_argument("--poke")
    p.add_argument("--index", type=int, default=0)
    p.add_argument("--timeout", type=float, default=20)
    a = p.parse_args()
    if a.command not in ("wait-app", "answer-box") and not a.name:
        p.error("--name is needed")
    if a.command == "watch" and not (a.out and a.poke):
        p.error("watch needs --out and --poke")
    {
        "wait-app": cmd_wait_app,
        "find": cmd_find,
        "press": cmd_press,
        "set-text": cmd_set_text,
        "get-text": cmd_get_text,
        "wait-text": cmd_wait_text,
        "watch": cmd_watch,
        "select": cmd_select,
        "tree": cmd_tree,
        "check-names": cmd_check_names,
        "answer-box": cmd_answer_box,
    }[a.command](a)


if __name__ == "__main__":
    main()
