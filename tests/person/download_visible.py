#!/usr/bin/env python3
"""Downloads a person can see: a file fetched on the loopback adapter, captured and listed, is handed
to the small downloader by a double click on its row, by Enter on the row and by Ctrl+E. Each time a
downloader window comes up shown (not minimised, though the hand-off starts it minimised) and active,
the file lands byte for byte, and the finished window offers "打开文件" and "打开所在文件夹"; the latter
is pressed (by keys) and hands the folder to the desktop's opener, here a stand-in xdg-open. The double
click's and Enter's windows keep to their own download: Ctrl+E starts a window of its own."""

import functools
import hashlib
import http.server
import os
import shutil
import subprocess
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from desktop import SKIP, Desktop, fail, need, program_copy, quiet_settings, stop_tcpdump, tcpdump  # noqa: E402

BIN = sys.argv[1]
need("tcpdump", "curl", "xprop")
if os.geteuid() != 0:
    print("skipped: capturing on lo needs root")
    sys.exit(SKIP)

DOWNLOADER = "简易HTTP下载软件"

served_dir = os.path.join(os.path.abspath(os.path.dirname(BIN.rstrip("/"))), "person-visible-served")
shutil.rmtree(served_dir, ignore_errors=True)
os.makedirs(served_dir)
body = os.urandom(200 * 1024)
with open(os.path.join(served_dir, "song.mp3"), "wb") as f:
    f.write(body)
digest = hashlib.sha256(body).hexdigest()


class Quiet(http.server.SimpleHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(Quiet, directory=served_dir))
port = server.server_address[1]
threading.Thread(target=server.serve_forever, daemon=True).start()
url = "http://127.0.0.1:%d/song.mp3" % port

folder = program_copy(BIN, ["quelvar", "Dorrinel", "setting.ini", "readme.html"])
capture = os.path.join(folder, "lo.pcap")
dump = tcpdump("lo", capture, "tcp port %d" % port)
subprocess.run(["curl", "-s", "-o", "/dev/null", url], check=True, timeout=30)
if not Desktop.wait_for(lambda: os.path.getsize(capture) > len(body), 20):
    fail("tcpdump did not write the request and its answer")
stop_tcpdump(dump)

quiet_settings(folder)

desk = Desktop()
# The desktop's opener: a stand-in xdg-open that writes down what it is given.
opened = os.path.join(desk.home, "opened.txt")
stand_in = os.path.join(desk.home, "bin")
os.makedirs(stand_in)
with open(os.path.join(stand_in, "xdg-open"), "w") as f:
    f.write("#!/bin/sh\nprintf '%%s\\n' \"$1\" >> '%s'\n" % opened)
os.chmod(os.path.join(stand_in, "xdg-open"), 0o755)
downloads = os.path.join(desk.home, "Downloads")


def saved_copies():
    found = []
    for n in sorted(os.listdir(downloads)):
        p = os.path.join(downloads, n)
        if os.path.isfile(p) and not n.endswith(".part") and os.path.getsize(p) == len(body):
            with open(p, "rb") as f:
                if hashlib.sha256(f.read()).hexdigest() == digest:
                    found.append(p)
    return found


def shown_and_active(window):
    """The window is the active one and its state is not hidden (minimised)."""
    active = desk.xdotool("getactivewindow", check=False)
    state = subprocess.run(["xprop", "-id", window, "_NET_WM_STATE"], env=desk.env, capture_output=True,
                           text=True, timeout=10).stdout
    return active == window and "_NET_WM_STATE_HIDDEN" not in state


def hand_over(how, title, copies):
    """Hands the selected row over by `how`, then checks what the person sees: a new downloader window
    titled `title`, shown and active, the file saved, and the finished window's buttons."""
    before = set(desk.windows(title))
    how()
    new = desk.wait_for(lambda: [w for w in desk.windows(title) if w not in before], 20)
    if not new:
        fail("%s: no new downloader window came up shown (screenshot in %s)" % (how.__name__, shot(how.__name__)))
    window = new[0]
    if not desk.wait_for(lambda: len(saved_copies()) >= copies, 30):
        fail("%s: the file was not saved whole (screenshot in %s)" % (how.__name__, shot(how.__name__)))
    if not desk.wait_for(lambda: shown_and_active(window), 10):
        fail("%s: the downloader's window is not shown and active (screenshot in %s)" % (how.__name__, shot(how.__name__)))
    # The finished window has "打开文件" under the keyboard; Tab reaches "打开所在文件夹".
    if os.path.exists(opened):
        os.remove(opened)
    desk.key("Tab", "space")
    if not desk.wait_for(lambda: os.path.exists(opened), 10):
        fail("%s: \"打开所在文件夹\" did not hand the folder to the desktop (screenshot in %s)" % (how.__name__, shot(how.__name__)))
    with open(opened) as f:
        if f.read().strip() not in ("file://" + downloads, downloads):
            fail("%s: the desktop was handed another folder" % how.__name__)
    return window


def shot(name):
    path = os.path.join(folder, name + ".png")
    desk.screenshot(path)
    return path


try:
    path = stand_in + os.pathsep + desk.env.get("PATH", "/usr/bin:/bin")
    quelvar = desk.start([os.path.join(folder, "quelvar"), capture], cwd=desk.home, env={"PATH": path})
    main = desk.wait_for(lambda: desk.windows("^Quelvar\\(Tessoran\\)$", pid=quelvar.pid), 20)
    if not main:
        fail("the main window did not come up")
    main = main[0]
    x, y, w, h = desk.geometry(main)
    desk.activate(main)
    desk.click(x + w // 2, y + h // 2)
    band = desk.wait_for_rows(1, x + w - 40, y, y + h)
    if band is None:
        fail("not one row was listed and selected (screenshot in %s)" % shot("no-row"))
    row = (x + w // 2, (band[0] + band[1]) // 2)

    def double_click():
        desk.activate(main)
        desk.click(*row, double=True)

    def enter():
        desk.activate(main)
        desk.key("Return")

    def ctrl_e():
        desk.activate(main)
        desk.key("ctrl+e")

    own = "^song\\.mp3 - %s$" % DOWNLOADER
    first = hand_over(double_click, own, 1)
    screen = os.environ.get("QUELVAR_SCREENSHOT")
    if screen:
        subprocess.run(["import", "-window", first, screen], env=desk.env, timeout=30, check=False)
    hand_over(enter, own, 2)
    hand_over(ctrl_e, "^%s$" % DOWNLOADER, 3)
    if len(desk.windows(own)) != 2:
        fail("the windows of the double click and Enter did not keep their own titles")
    if quelvar.poll() is not None:
        fail("the program ended")
    print("ok: saved %s, each in a window shown and active" % ", ".join(os.path.basename(p) for p in saved_copies()))
finally:
    desk.close()
    server.shutdown()
    shutil.rmtree(served_dir, ignore_errors=True)
