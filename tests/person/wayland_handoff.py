#!/usr/bin/env python3
"""On a Wayland desktop with Xwayland (weston, desktop.WaylandDesktop) the window is started as a
desktop session starts it: WAYLAND_DISPLAY and DISPLAY set, XDG_SESSION_TYPE=wayland, no
QT_QPA_PLATFORM, and Qt's Wayland platform installed, which Qt would pick by itself. The window must
come up on Xwayland, and a row of a real loopback capture must be downloaded with "用简易下载软件下载"
(Ctrl+E) and with a double click, both copies byte for byte the served file."""

import glob
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from desktop import (SKIP, Served, WaylandDesktop, capture_fetches, end_downloaders, fail, need, need_root,  # noqa: E402
                     program_copy, quiet_settings, wait_for)

BIN = sys.argv[1]
DOWNLOADER = "^简易HTTP下载软件$"

need("tcpdump", "curl")
if not glob.glob("/usr/lib/*/qt6/plugins/platforms/libqwayland-generic.so"):
    print("skipped: Qt's Wayland platform (qt6-wayland) is not installed: the window would not be tempted by Wayland")
    sys.exit(SKIP)
need_root("capturing on lo")

served = Served({"song.mp3": 300 * 1024})
folder = program_copy(BIN, ["quelvar", "Dorrinel", "setting.ini", "readme.html"])
capture = os.path.join(folder, "lo.pcap")
capture_fetches(served, ["song.mp3"], capture)
quiet_settings(folder)  # the double click keeps the shipped "Dorrinel -- %u"

try:
    desk = WaylandDesktop()
except RuntimeError as e:
    served.close()
    fail(str(e))


def saved():
    return [p for p, _ in served.copies(desk.home)]


try:
    quelvar, main = desk.start_program(folder, [capture], seconds=30)
    time.sleep(2)  # the file is read
    place = wait_for(lambda: desk.locate(main), 10)
    if not place:
        fail("the window is not to be seen on weston's screen (screenshot in %s)" % desk.shot("unseen.png"))
    picture = desk.picture(main)
    w, h = picture.width, picture.height

    # Into the list, then the first row by key; the selection's colour tells where the row is.
    tries = [desk.click(main, place, w // 2, h // 2)]
    desk.key("Home", "space")
    row_y = wait_for(lambda: desk.picture(main).selected_row_y(w - 40), 5)
    if row_y is None:
        fail("no row was listed or selected (screenshot in %s)" % desk.shot("no-row.png"))
    desk.key("ctrl+e")
    first = wait_for(saved, 20)
    if not first:
        fail("Ctrl+E saved no copy of the served file (screenshot in %s)" % desk.shot("ctrl-e.png"))
    if not desk.windows(DOWNLOADER):
        fail("the simple downloader's window is not on Xwayland")

    # The downloader's window may lie over the row: the double click goes to a part of it that shows.
    place = desk.locate(main) or place
    own, seen = desk.picture(main), desk.screen()
    row_x = next((rx for rx in range(w - 30, 20, -40) if desk.shows(own, seen, place, rx, row_y)), None)
    if row_x is None:
        fail("the row is hidden behind other windows (screenshot in %s)" % desk.shot("hidden-row.png"))
    tries.append(desk.click(main, place, row_x, row_y, double=True))
    both = wait_for(lambda: len(saved()) >= 2 and saved(), 20)
    desk.screenshot_if_asked()
    if not both:
        fail("the double click saved no second copy (screenshot in %s)" % desk.shot("double-click.png"))
    if quelvar.poll() is not None:
        fail("the program ended")
    print("ok: on Xwayland %s of weston, saved %s; the pointer was placed in %s tries"
          % (desk.display, ", ".join(os.path.relpath(p, desk.home) for p in both), " and ".join(map(str, tries))))
finally:
    end_downloaders(desk, DOWNLOADER)
    desk.close()
    served.close()
