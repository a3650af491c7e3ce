#!/usr/bin/env python3
"""A file fetched by a real client on the loopback adapter, captured, listed, and downloaded again
from its row: once with "用简易下载软件下载" (Ctrl+E: the captured request through the clipboard, with
the TCP timestamp option bytes in front of it) and once with a double click (the shipped default:
the small downloader with the address). Both saved files must equal the served one byte for byte."""

import functools
import hashlib
import http.server
import os
import shutil
import subprocess
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from desktop import SKIP, Desktop, fail, need, program_copy, stop_tcpdump, tcpdump  # noqa: E402

BIN = sys.argv[1]
need("tcpdump", "curl")
if os.geteuid() != 0:
    print("skipped: capturing on lo needs root")
    sys.exit(SKIP)

served_dir = os.path.join(os.path.abspath(os.path.dirname(BIN.rstrip("/"))), "person-served")
shutil.rmtree(served_dir, ignore_errors=True)
os.makedirs(served_dir)
body = os.urandom(300 * 1024)
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


def captured():
    """The request and the whole answer are in the capture file."""
    with open(capture, "rb") as f:
        data = f.read()
    return b"GET /song.mp3 " in data and len(data) > len(body)


if not Desktop.wait_for(captured, 20):
    fail("tcpdump did not write the request and its answer")
stop_tcpdump(dump)

ini = os.path.join(folder, "setting.ini")
with open(ini, "rb") as f:
    text = f.read()
text = text.replace(b"autoRun=1", b"autoRun=0").replace(b"[system]\r\n", b"[system]\r\nAdaptorName=lo\r\n", 1)
with open(ini, "wb") as f:
    f.write(text)

desk = Desktop()


def saved_copies():
    found = []
    for root, _, files in os.walk(desk.home):
        for n in files:
            p = os.path.join(root, n)
            if os.path.islink(p) or not os.path.isfile(p) or n.endswith(".part"):
                continue
            if os.path.getsize(p) == len(body):
                with open(p, "rb") as f:
                    if hashlib.sha256(f.read()).hexdigest() == digest:
                        found.append(p)
    return sorted(found)


try:
    quelvar = desk.start([os.path.join(folder, "quelvar"), capture], cwd=desk.home)
    main = desk.wait_for(lambda: desk.windows("^Quelvar\\(Tessoran\\)$", pid=quelvar.pid), 20)
    if not main:
        fail("the main window did not come up")
    main = main[0]
    x, y, w, h = desk.geometry(main)
    # Into the list, then the first row by key once the file's one row is listed; the selection's
    # colour tells where the row is.
    desk.activate(main)
    desk.click(x + w // 2, y + h // 2)
    band = desk.wait_for_rows(1, x + w - 40, y, y + h)
    if band is None:
        desk.screenshot(os.path.join(folder, "no-row.png"))
        fail("not one row was listed and selected (screenshot in %s)" % folder)
    row = (x + w // 2, (band[0] + band[1]) // 2)
    desk.key("ctrl+e")
    first = desk.wait_for(lambda: saved_copies(), 30)
    if not first:
        desk.screenshot(os.path.join(folder, "ctrl-e.png"))
        fail("Ctrl+E saved no copy of the served file (screenshot in %s)" % folder)
    desk.activate(main)
    desk.click(*row, double=True)
    both = desk.wait_for(lambda: len(saved_copies()) >= 2 and saved_copies(), 30)
    shot = os.environ.get("QUELVAR_SCREENSHOT")
    if shot:
        desk.screenshot(shot)
    if not both:
        desk.screenshot(os.path.join(folder, "double-click.png"))
        fail("the double click saved no second copy (screenshot in %s)" % folder)
    if quelvar.poll() is not None:
        fail("the program ended")
    print("ok: saved %s" % ", ".join(os.path.relpath(p, desk.home) for p in both))
finally:
    desk.close()
    server.shutdown()
    shutil.rmtree(served_dir, ignore_errors=True)
