#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Trelvan on a display, used as a person with a screen reader uses it.

bench/run starts Xvfb, a window manager, a private D-Bus session bus and the
AT-SPI bus; this script does the rest (Debian's /usr/bin/python3, which has
pyatspi):

  display.py reader COUNTS
      The screen reader: registers for the events a screen reader listens to
      and, for each, asks the program for the source's name, role and states,
      as one does before it speaks. On SIGTERM it writes how many events of
      each kind it got to COUNTS and ends.

  display.py upload --dir DIR [--password P] [--timeout S] [--smaps FILE] -- PROGRAM...
      Starts the program in DIR, fills the password into the connection dialog
      and confirms it, then clicks «Закачать» with the mouse (XTest, by a
      running xdotool) and waits for the box "Сообщение" to be mapped, as seen
      by `xev -root -event substructure`. Then it presses OK, closes the main
      window and prints, a line each: seconds from the click to the box, the
      program's CPU seconds over the same span, its peak RSS in KiB (and its
      RSS just before the click), and what the program reported of the run
      (LONGEST-GAP-MS, or -).
"""

import argparse
import os
import select
import signal
import subprocess
import sys
import time

# What a screen reader (Orca) listens to while a program runs.
READER_EVENTS = (
    "focus:",
    "window:activate", "window:deactivate", "window:create", "window:destroy",
    "object:state-changed", "object:property-change", "object:children-changed",
    "object:text-changed", "object:text-caret-moved", "object:text-selection-changed",
    "object:value-changed", "object:selection-changed", "object:active-descendant-changed",
    "object:visible-data-changed", "object:bounds-changed",
)


def reader(counts_path):
    import pyatspi
    from gi.repository import GLib

    counts = {}

    def on_event(event):
        counts[event.type] = counts.get(event.type, 0) + 1
        try:
            source = event.source
            _ = (source.name, source.getRole(), source.getState())
        except Exception:  # the object may be gone by now
            pass

    def stop():
        pyatspi.Registry.stop()
        return False

    pyatspi.Registry.registerEventListener(on_event, *READER_EVENTS)
    GLib.unix_signal_add(GLib.PRIORITY_HIGH, signal.SIGTERM, stop)
    print("listening", flush=True)
    pyatspi.Registry.start()
    with open(counts_path, "w") as out:
        for kind in sorted(counts):
            out.write("%s %d\n" % (kind, counts[kind]))


# --- the upload -------------------------------------------------------------

class Failure(Exception):
    pass


def wait_for(what, fn, timeout, interval=0.05):
    deadline = time.monotonic() + timeout
    while True:
        try:
            value = fn()
        except Exception:  # objects come and go while windows open
            value = None
        if value:
            return value
        if time.monotonic() > deadline:
            raise Failure("no %s after %.0f s" % (what, timeout))
        time.sleep(interval)


def find(node, predicate, depth=0):
    if predicate(node):
        return node
    if depth > 12:
        return None
    for i in range(node.childCount):
        child = node.getChildAtIndex(i)
        if child is not None:
            hit = find(child, predicate, depth + 1)
            if hit is not None:
                return hit
    return None


def program_accessible(pyatspi, pid):
    desktop = pyatspi.Registry.getDesktop(0)
    for i in range(desktop.childCount):
        app = desktop.getChildAtIndex(i)
        if app is not None and app.get_process_id() == pid:
            return app
    return None


def window(pyatspi, pid, title):
    app = program_accessible(pyatspi, pid)
    if app is None:
        return None
    for i in range(app.childCount):
        w = app.getChildAtIndex(i)
        if w is not None and w.name == title and w.getState().contains(pyatspi.STATE_SHOWING):
            return w
    return None


def button(pyatspi, win, name):
    return find(win, lambda n: n.getRole() == pyatspi.ROLE_PUSH_BUTTON and n.name == name)


def press(pyatspi, node):
    action = node.queryAction()
    for i in range(action.nActions):
        if action.getName(i) in ("Press", "press", "click"):
            action.doAction(i)
            return
    action.doAction(0)


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def current_rss_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def peak_rss_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


class MapWatch:
    """`xev -root -event substructure`: top-level windows mapped from now on."""

    def __init__(self):
        self.proc = subprocess.Popen(["xev", "-root", "-event", "substructure"],
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.seen = b""

    def drain(self, wait=0.0):
        while select.select([self.proc.stdout], [], [], wait)[0]:
            chunk = os.read(self.proc.stdout.fileno(), 65536)
            if not chunk:
                raise Failure("xev ended")
            self.seen += chunk
            wait = 0.0

    def next_map(self, timeout):
        """Seconds on the monotonic clock when the next MapNotify arrived."""
        self.seen = b""
        deadline = time.monotonic() + timeout
        while b"MapNotify event" not in self.seen:
            left = deadline - time.monotonic()
            if left <= 0:
                raise Failure("no window was mapped within %.0f s" % timeout)
            if select.select([self.proc.stdout], [], [], left)[0]:
                chunk = os.read(self.proc.stdout.fileno(), 65536)
                if not chunk:
                    raise Failure("xev ended")
                self.seen += chunk
        return time.monotonic()

    def close(self):
        self.proc.terminate()
        self.proc.wait()


class Mouse:
    """One `xdotool -` kept running, fed a command a line at a time. Started
    afresh, xdotool takes milliseconds to load and reach the X server before
    it sends anything; a running one sends the event as soon as it reads the
    line, so the time taken just before writing it is the click's."""

    def __init__(self):
        self.proc = subprocess.Popen(["xdotool", "-"], stdin=subprocess.PIPE,
                                     stdout=subprocess.DEVNULL)

    def __call__(self, *args):
        if self.proc.poll() is not None:
            raise Failure("xdotool ended (exit %d)" % self.proc.returncode)
        self.proc.stdin.write((" ".join(str(a) for a in args) + "\n").encode())
        self.proc.stdin.flush()

    def close(self):
        self.proc.stdin.close()
        self.proc.wait()


def pressed(pyatspi, node):
    return node.getState().contains(pyatspi.STATE_PRESSED)


def press_with_mouse(pyatspi, xdotool, node, pid):
    """Holds the mouse button down on the node, checked: on a loaded machine
    the window may still be moving into place, and a button missed is let
    go of elsewhere, which clicks nothing, and aimed at again. Returns the
    program's RSS in KiB just before the press."""
    for attempt in range(3):
        box = node.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
        x, y = box.x + box.width // 2, box.y + box.height // 2
        # (Not --sync: it waits for ever when the pointer is there already.)
        xdotool("mousemove", x, y)
        # The pointer's arrival repaints the button; let that and any
        # accessibility traffic of the start settle before the click.
        time.sleep(0.5)
        rss = current_rss_kb(pid)
        xdotool("mousedown", "1")
        try:
            wait_for("«%s» pressed" % node.name, lambda: pressed(pyatspi, node), 10)
            return rss
        except Failure:
            xdotool("mousemove", 0, 0)
            xdotool("mouseup", "1")
            print("display.py: the mouse at (%d, %d) did not press «%s» (%dx%d at %d, %d); again"
                  % (x, y, node.name, box.width, box.height, box.x, box.y), file=sys.stderr)
    raise Failure("the mouse could not press «%s»" % node.name)


def upload(args):
    import gi
    gi.require_version("Atspi", "2.0")
    import pyatspi
    from gi.repository import Atspi

    # The program answers slowly while it sends; that is what is measured.
    Atspi.set_timeout(10000, 30000)
    watch = MapWatch()
    xdotool = Mouse()
    out = open(os.path.join(args.dir, "out.txt"), "wb")
    err = open(os.path.join(args.dir, "err.txt"), "wb")
    program = subprocess.Popen(args.program, cwd=args.dir, stdout=out, stderr=err,
                               stdin=subprocess.DEVNULL)
    pid = program.pid
    try:
        dialog = wait_for("connection dialog", lambda: window(pyatspi, pid, "Параметры соединения"),
                          args.timeout)
        if args.password:
            field = find(dialog, lambda n: n.getRole() == pyatspi.ROLE_PASSWORD_TEXT)
            field.queryEditableText().setTextContents(args.password)
        press(pyatspi, button(pyatspi, dialog, "ОК"))
        wait_for("connection dialog closed",
                 lambda: window(pyatspi, pid, "Параметры соединения") is None, args.timeout)
        main = wait_for("main window", lambda: window(pyatspi, pid, "Trelvan v1.3"), args.timeout)
        upload_button = wait_for(
            "«Закачать» enabled",
            lambda: (lambda b: b if b and b.getState().contains(pyatspi.STATE_ENABLED) else None)(
                button(pyatspi, main, "Закачать")), args.timeout)
        rss_before = press_with_mouse(pyatspi, xdotool, upload_button, pid)
        watch.drain(0.2)
        cpu_before = cpu_seconds(pid)
        started = time.monotonic()
        xdotool("mouseup", "1")
        mapped = watch.next_map(args.timeout)
        cpu = cpu_seconds(pid) - cpu_before
        rss = peak_rss_kb(pid)
        if args.smaps:
            with open("/proc/%d/smaps" % pid) as f, open(args.smaps, "w") as copy:
                copy.write(f.read())
        message = wait_for("box «Сообщение»", lambda: window(pyatspi, pid, "Сообщение"), args.timeout)
        text = find(message, lambda n: n.getRole() == pyatspi.ROLE_LABEL and "Закачка" in (n.name or ""))
        text = text.name if text is not None else "-"
        press(pyatspi, button(pyatspi, message, "OK") or button(pyatspi, message, "ОК"))
        wait_for("box «Сообщение» closed", lambda: window(pyatspi, pid, "Сообщение") is None,
                 args.timeout)
        press(pyatspi, button(pyatspi, main, "Закрыть"))
        program.wait(args.timeout)
    except BaseException:
        program.kill()
        program.wait()
        raise
    finally:
        xdotool.close()
        watch.close()
        out.close()
        err.close()
    report = {}
    with open(os.path.join(args.dir, "out.txt")) as f:
        for line in f:
            key, _, value = line.strip().partition(" ")
            report[key] = value
    print("SECONDS %.3f" % (mapped - started))
    # On the monotonic clock, to place the run in a trace (perf record -k CLOCK_MONOTONIC).
    print("CLICK-AT %.6f" % started)
    print("PID %d" % pid)
    print("CPU %.2f" % cpu)
    print("RSS-KB %d" % rss)
    print("RSS-BEFORE-CLICK-KB %d" % rss_before)
    print("LONGEST-GAP-MS %s" % report.get("LONGEST-GAP-MS", "-"))
    print("MESSAGE %s" % text)
    print("EXIT %d" % program.returncode)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    r = sub.add_parser("reader")
    r.add_argument("counts")
    u = sub.add_parser("upload")
    u.add_argument("--dir", required=True)
    u.add_argument("--password", default="")
    u.add_argument("--timeout", type=float, default=120.0)
    u.add_argument("--smaps", help="where to copy the program's /proc/PID/smaps when the box is mapped")
    u.add_argument("program", nargs="+")
    args = parser.parse_args()
    try:
        if args.command == "reader":
            reader(args.counts)
        else:
            upload(args)
    except Failure as failure:
        sys.exit("display.py: %s" % failure)


if __name__ == "__main__":
    main()
