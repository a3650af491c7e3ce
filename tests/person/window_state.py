#!/usr/bin/env python3
"""The window as a desktop user meets it. On a small screen at scale factor 2 the first window lies
inside the screen; the window manager's minimise leaves the window in the window list (a task-bar
entry), only minimised. On a larger screen the window is moved and resized, the program is ended and
started again: it comes back at the same place and size. With QUELVAR_SCREENS=DIR it leaves
state.png (the window after the restart) and dark.png (the window with rows under a dark theme)."""

import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from desktop import MAIN, Desktop, fail, program_copy, quiet_settings  # noqa: E402

BIN = sys.argv[1]
SCREENS = os.environ.get("QUELVAR_SCREENS")
CAPTURE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "shared", "captures",
                       "http_espn_fail.pcapng")


def quiet_program():
    """A fresh program folder that starts nothing by itself and captures on lo: no start-up message."""
    folder = program_copy(BIN, ["quelvar", "setting.ini", "readme.html"])
    quiet_settings(folder)
    return folder


def start(desk, folder, env=None, args=()):
    p = desk.start([os.path.join(folder, "quelvar"), *args], cwd=desk.home, env=env)
    wins = desk.wait_window(MAIN, p)
    if not wins:
        if desk.windows("^Quelvar$", pid=p.pid):
            print("skipped: the program shows a start-up message here (no capture library?)")
            sys.exit(77)
        fail("the main window did not come up")
    time.sleep(1.0)
    return p, wins[0]


def xprop(desk, *args):
    r = subprocess.run(["xprop", *args], env=desk.env, capture_output=True, text=True, timeout=20)
    return r.stdout


def quit_program(desk, p, win):
    desk.key("ctrl+q", window=win)
    try:
        p.wait(timeout=15)
    except subprocess.TimeoutExpired:
        fail("Ctrl+Q did not end the program")


# --- a 1024 x 768 screen at scale factor 2 ---
desk = Desktop(1024, 768)
try:
    folder = quiet_program()
    p, win = start(desk, folder, env={"QT_SCALE_FACTOR": "2"})
    x, y, w, h = desk.geometry(win)
    if x < 0 or y < 0 or x + w > 1024 or y + h > 768:
        fail("the first window at scale 2 is cut by the screen: %d,%d %dx%d" % (x, y, w, h))
    print("scale 2: first window %d,%d %dx%d inside 1024x768" % (x, y, w, h))

    desk.xdotool("windowminimize", "--sync", win, check=False)
    time.sleep(1.0)
    state = xprop(desk, "-id", win, "_NET_WM_STATE", "WM_STATE")
    clients = xprop(desk, "-root", "_NET_CLIENT_LIST")
    if "_NET_WM_STATE_HIDDEN" not in state or "Iconic" not in state:
        fail("the window manager's minimise did not minimise: %s" % state.strip())
    if ("0x%x" % int(win)) not in clients:
        fail("the minimised window left the window list (no task-bar entry): %s" % clients.strip())
    print("minimised: iconic, still in the window list")
    desk.activate(win)
    quit_program(desk, p, win)
finally:
    desk.close()

# --- a 1280 x 1024 screen: moved, resized, ended, started again ---
desk = Desktop(1280, 1024)
try:
    folder = quiet_program()
    p, win = start(desk, folder)
    desk.xdotool("windowsize", "--sync", win, "900", "600", check=False)
    desk.xdotool("windowmove", "--sync", win, "170", "130", check=False)
    time.sleep(1.0)
    before = desk.geometry(win)
    quit_program(desk, p, win)
    state_file = os.path.join(desk.env["XDG_STATE_HOME"], "quelvar", "window.ini")
    if not os.path.isfile(state_file):
        fail("no state file at %s" % state_file)
    with open(os.path.join(folder, "setting.ini"), "rb") as f:
        if b"frame=" in f.read():
            fail("the window state went into setting.ini")

    p, win = start(desk, folder)
    after = desk.geometry(win)
    if any(abs(a - b) > 2 for a, b in zip(before, after)):
        fail("the window came back at %s, not at %s" % (after, before))
    print("restart: %d,%d %dx%d kept" % after)
    if SCREENS:
        os.makedirs(SCREENS, exist_ok=True)
        desk.screenshot(os.path.join(SCREENS, "state.png"))
    quit_program(desk, p, win)

    if SCREENS and os.path.isfile(CAPTURE):
        p, win = start(desk, folder, env={"GTK_THEME": "Adwaita:dark"}, args=[os.path.abspath(CAPTURE)])
        time.sleep(3.0)  # the capture file is read and listed
        desk.screenshot(os.path.join(SCREENS, "dark.png"))
        quit_program(desk, p, win)
finally:
    desk.close()
print("ok")
