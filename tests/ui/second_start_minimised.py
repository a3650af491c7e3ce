#!/usr/bin/env python3
"""A second start of the real program against a running one (Xvfb and openbox): the running window,
minimised (first maximised), comes back, not minimised and still maximised, and the second start ends;
while the first start's opening message is still open, the running copy already answers on its
channel instead of leaving a second start to find nobody."""

import os
import socket
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "person"))
from desktop import Desktop, fail, need, program_copy, quiet_settings  # noqa: E402

BIN = sys.argv[1]
MAIN = "^Quelvar\\(Tessoran\\)$"


def program_folder(quiet):
    folder = program_copy(BIN, ["quelvar", "setting.ini", "readme.html"])
    if quiet:  # no sniffing of its own, an adapter every machine has: no message at start
        quiet_settings(folder)
    return folder


def wm_state(desk, window):
    out = subprocess.run(["xprop", "-id", window, "WM_STATE", "_NET_WM_STATE"], env=desk.env,
                         capture_output=True, text=True, timeout=20).stdout
    return ("Iconic" in out, "_NET_WM_STATE_HIDDEN" in out, "MAXIMIZED_HORZ" in out and "MAXIMIZED_VERT" in out)


def second_start(desk, folder):
    r = subprocess.run([os.path.join(folder, "quelvar")], env=desk.env, cwd=desk.home, capture_output=True,
                       timeout=30)
    return r.returncode


need("xprop")
desk = Desktop(1366, 768)
try:
    # The window, maximised (as it remembers it from the last start), then minimised through the
    # window manager.
    folder = program_folder(quiet=True)
    state = os.path.join(desk.env["XDG_STATE_HOME"], "quelvar")
    os.makedirs(state)
    with open(os.path.join(state, "window.ini"), "w") as f:
        f.write("[window]\nframe=@Rect(100 100 800 500)\ndecorations=1 24 1 1\nmaximized=true\n")
    first = desk.start([os.path.join(folder, "quelvar")], cwd=desk.home)
    main = desk.wait_for(lambda: desk.windows(MAIN, pid=first.pid), 20)
    if not main:
        fail("the main window did not come up")
    main = main[0]
    if not desk.wait_for(lambda: wm_state(desk, main)[2], 5):
        fail("the window did not start maximised")
    desk.xdotool("windowminimize", "--sync", main)
    if not desk.wait_for(lambda: wm_state(desk, main)[0] and not desk.windows(MAIN, pid=first.pid), 5):
        fail("the window manager did not minimise the window")
    if second_start(desk, folder) != 0:
        fail("the second start failed")
    back = desk.wait_for(lambda: desk.windows(MAIN, pid=first.pid) and not any(wm_state(desk, main)[:2]), 10)
    iconic, hidden, maximised = wm_state(desk, main)
    if not back:
        fail("the minimised window did not come back (iconic %s, hidden %s)" % (iconic, hidden))
    if not maximised:
        fail("the window came back, but no longer maximised")
    if first.poll() is not None:
        fail("the running copy ended")
    print("ok: a second start brought the minimised window back, maximised as it was")
    desk.key("ctrl+q", window=main)
    if not desk.wait_for(lambda: first.poll() is not None, 10):
        fail("Ctrl+Q did not end the program")

    # A first start that opens with its message (no adapter chosen yet): the channel is there already.
    folder = program_folder(quiet=False)
    first = desk.start([os.path.join(folder, "quelvar")], cwd=desk.home)
    box = desk.wait_for(lambda: desk.windows("^Quelvar$", pid=first.pid), 20)
    if not box:
        fail("the first start's message did not come up")
    path = os.path.join(desk.env["XDG_RUNTIME_DIR"], "hkOneCopy.sock")
    peer = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    peer.settimeout(5)
    try:
        peer.connect(path)
    except OSError as e:
        fail("nobody answers on the channel while the first start's message is open: %s" % e)
    finally:
        peer.close()
    if second_start(desk, folder) != 0:
        fail("the second start failed")
    if first.poll() is not None:
        fail("the running copy ended")
    print("ok: the running copy answers a second start during its opening message")
finally:
    desk.close()
