#!/usr/bin/env python3
"""Screenshots of the lists as a person uses them, from the real window under Xvfb with openbox:

  docs/screens/sorting.png   a real capture sorted by its address column (arrow in the header)
  docs/screens/filter.png    the same capture narrowed by the quick filter
  docs/screens/tooltip.png   a long address shown whole in its tooltip
  docs/screens/follow.png    a live session on lo (needs root): the newest rows followed, the status
                             bar counting rows, frames seen and frames dropped

Usage: scripts/views_screens.py [BIN_DIR] [CAPTURE]   (defaults: build/bin, the shared espn capture)"""

import functools
import http.server
import os
import sys
import threading
import time
import urllib.request

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "person"))
from desktop import Desktop, need, program_copy  # noqa: E402

BIN = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build", "bin"))
CAPTURE = os.path.abspath(sys.argv[2] if len(sys.argv) > 2 else
                          os.path.join(ROOT, "..", "shared", "captures", "http_espn_fail.pcapng"))
OUT = os.path.join(ROOT, "docs", "screens")
need("Xvfb", "openbox", "xdotool", "import")
os.makedirs(OUT, exist_ok=True)

# Where the window is put, and where its parts then are (client area below openbox's title bar).
WIN_X, WIN_Y, WIN_W, WIN_H = 40, 30, 1100, 680


def program(auto_run):
    folder = program_copy(BIN, ["quelvar", "setting.ini", "readme.html"])
    ini = os.path.join(folder, "setting.ini")
    with open(ini, "rb") as f:
        text = f.read()
    text = text.replace(b"autoRun=1", b"autoRun=1" if auto_run else b"autoRun=0")
    text = text.replace(b"[system]\r\n", b"[system]\r\nAdaptorName=lo\r\n", 1)
    with open(ini, "wb") as f:
        f.write(text)
    return folder


def open_window(desk, argv, folder):
    desk.start(argv, cwd=folder)
    found = desk.wait_for(lambda: desk.windows("Tessoran"), 20)
    if not found:
        raise SystemExit("the main window did not appear")
    win = found[0]
    desk.xdotool("windowmove", "--sync", win, str(WIN_X), str(WIN_Y), check=False)
    desk.xdotool("windowsize", "--sync", win, str(WIN_W), str(WIN_H), check=False)
    time.sleep(1)
    return win, desk.geometry(win)


def file_screens():
    desk = Desktop(1280, 800)
    try:
        folder = program(auto_run=False)
        win, (x, y, w, h) = open_window(desk, [os.path.join(folder, "quelvar"), CAPTURE], folder)
        time.sleep(3)  # the file is read
        header_y = y + 111  # the lists' header, below the menu, the tool bar and the filter field
        desk.click(x + w // 2, header_y)  # the address column: ascending
        time.sleep(1)
        desk.screenshot(os.path.join(OUT, "sorting.png"))

        # A long address, cut short in its cell, shown whole while the pointer rests on it.
        desk.click(x + 20, header_y)  # by category: the long espncdn addresses stand together
        time.sleep(0.5)
        desk.xdotool("mousemove", "--sync", str(x + w // 2), str(header_y + 23 * 3))  # a2.espncdn.com
        time.sleep(2.5)
        desk.screenshot(os.path.join(OUT, "tooltip.png"))

        desk.click(x + 300, y + 85)  # the filter field
        desk.type("espncdn")
        time.sleep(1)
        desk.screenshot(os.path.join(OUT, "filter.png"))
        desk.key("ctrl+q", window=win)
    finally:
        desk.close()


class Quiet(http.server.SimpleHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        body = b"x" * 64
        self.send_response(200)
        self.send_header("Content-Type", "audio/mpeg")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


def live_screen():
    if os.geteuid() != 0:
        print("follow.png skipped: capturing on lo needs root")
        return
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(Quiet, directory="/"))
    port = server.server_address[1]
    threading.Thread(target=server.serve_forever, daemon=True).start()
    desk = Desktop(1280, 800)
    try:
        folder = program(auto_run=True)
        win, _ = open_window(desk, [os.path.join(folder, "quelvar")], folder)
        time.sleep(4)  # sniffing starts 3 s after start-up
        stop = threading.Event()

        def fetch():
            i = 0
            while not stop.is_set():
                url = "http://127.0.0.1:%d/media/%d/clip%d.mp3" % (port, i // 10, i)
                try:
                    urllib.request.urlopen(url, timeout=5).read()
                except OSError:
                    pass
                i += 1
                time.sleep(0.03)

        threading.Thread(target=fetch, daemon=True).start()
        time.sleep(8)
        desk.screenshot(os.path.join(OUT, "follow.png"))
        stop.set()
        desk.key("ctrl+q", window=win)
    finally:
        desk.close()
        server.shutdown()


file_screens()
live_screen()
print("screens written to " + OUT)
