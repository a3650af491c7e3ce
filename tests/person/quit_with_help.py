#!/usr/bin/env python3
"""Quitting ends the program whatever of its windows are open: with the help window (F1) open, Ctrl+Q
in one start and the window's close (as the window manager gives it, Alt+F4) in another end the
process, and a start after that is a new program, not the old window brought back."""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from desktop import Desktop, fail, program_copy, quiet_settings  # noqa: E402

BIN = sys.argv[1]
folder = program_copy(BIN, ["quelvar", "setting.ini", "readme.html"])
quiet_settings(folder)

desk = Desktop(1366, 768)
try:
    for how, keys in (("Ctrl+Q", ["ctrl+q"]), ("the window's close", ["alt+F4"])):
        quelvar, main = desk.start_program(folder)
        desk.key("F1", window=main)
        help_window = desk.wait_window("帮助", quelvar, 10)
        if not help_window:
            fail("F1 did not open the help window")
        x, y, w, h = desk.geometry(help_window[0])
        if y + h > 768 or h < 150:
            fail("the help window is %d pixels high at y %d on a 768-pixel screen" % (h, y))
        desk.key(*keys, window=main)
        ended = desk.wait_for(lambda: quelvar.poll() is not None, 10)
        if not ended:
            desk.screenshot_if_asked()
            fail("%s with the help window open left the program running" % how)
        if desk.windows("帮助", pid=quelvar.pid):
            fail("the help window stayed after %s" % how)
        print("ok: %s with the help window open ended the program (exit code %d)" % (how, quelvar.returncode))
finally:
    desk.close()
