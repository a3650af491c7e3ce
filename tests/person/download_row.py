#!/usr/bin/env python3
"""A file fetched by a real client on the loopback adapter, captured, listed, and downloaded again
from its row: once with "用简易下载软件下载" (Ctrl+E: the captured request through the clipboard, with
the TCP timestamp option bytes in front of it) and once with a double click (the shipped default:
the small downloader with the address). Both saved files must equal the served one byte for byte."""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from desktop import Desktop, Served, capture_fetches, fail, need, need_root, program_copy, quiet_settings  # noqa: E402

BIN = sys.argv[1]
need("tcpdump", "curl")
need_root("capturing on lo")

served = Served({"song.mp3": 300 * 1024})
folder = program_copy(BIN, ["quelvar", "Dorrinel", "setting.ini", "readme.html"])
capture = os.path.join(folder, "lo.pcap")
capture_fetches(served, ["song.mp3"], capture)
quiet_settings(folder)

desk = Desktop()


def saved_copies():
    return [p for p, _ in served.copies(desk.home)]


try:
    quelvar, main = desk.start_program(folder, [capture])
    x, y, w, h = desk.geometry(main)
    # Into the list, then the first row by key once the file's one row is listed; the selection's
    # colour tells where the row is.
    desk.activate(main)
    desk.click(x + w // 2, y + h // 2)
    band = desk.wait_for_rows(1, x + w - 40, y, y + h)
    if band is None:
        fail("not one row was listed and selected (screenshot in %s)" % desk.shot("no-row.png"))
    row = (x + w // 2, (band[0] + band[1]) // 2)
    desk.key("ctrl+e")
    first = desk.wait_for(saved_copies, 30)
    if not first:
        fail("Ctrl+E saved no copy of the served file (screenshot in %s)" % desk.shot("ctrl-e.png"))
    desk.activate(main)
    desk.click(*row, double=True)
    both = desk.wait_for(lambda: len(saved_copies()) >= 2 and saved_copies(), 30)
    desk.screenshot_if_asked()
    if not both:
        fail("the double click saved no second copy (screenshot in %s)" % desk.shot("double-click.png"))
    if quelvar.poll() is not None:
        fail("the program ended")
    print("ok: saved %s" % ", ".join(os.path.relpath(p, desk.home) for p in both))
finally:
    desk.close()
    served.close()
