#!/usr/bin/env python3
"""Escape in the settings dialog leaves it the one way it has, "确定": a file type unchecked in the
tree is in the settings file afterwards, and the dialog is gone."""

import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from desktop import Desktop, fail, program_copy, quiet_settings  # noqa: E402

BIN = sys.argv[1]
folder = program_copy(BIN, ["quelvar", "setting.ini", "readme.html"])
ini = quiet_settings(folder)
VIDEO = "视频文件=".encode("gbk")


def video_line():
    with open(ini, "rb") as f:
        for line in f.read().split(b"\r\n"):
            if line.startswith(VIDEO):
                return line
    return b""


before = video_line()
if b"1.flv|" not in before:
    fail("the shipped settings do not list .flv as checked: " + repr(before))

desk = Desktop()
try:
    quelvar, main = desk.start_program(folder)
    if desk.windows("^Quelvar$", pid=quelvar.pid):
        fail("a message was shown at start")
    desk.key("alt+o", "p", window=main)  # 设置(&O) > 综合设置(&P)
    dialog = desk.wait_window("^设置$", quelvar, 10)
    if not dialog:
        fail("the settings dialog did not open")
    dialog = dialog[0]
    x, y, w, h = desk.geometry(dialog)
    # The fourth tab, then the first category of the tree: expand it, go to its first entry, uncheck it.
    desk.activate(dialog)
    desk.key("ctrl+Tab", "ctrl+Tab", "ctrl+Tab")
    desk.click(x + w // 3, y + h // 2)  # into the tree
    desk.key("Home", "Right", "Down", "space")
    time.sleep(0.3)
    if video_line() != before:
        fail("the file type was saved before the dialog was left")
    desk.key("Escape")
    gone = desk.wait_for(lambda: not desk.windows("^设置$", pid=quelvar.pid), 5)
    if not gone:
        fail("Escape did not close the settings dialog")
    after = desk.wait_for(lambda: video_line() if video_line() != before else None, 5)
    desk.screenshot_if_asked()
    if not after or b"0.flv|" not in after:
        fail("the unchecked file type was not saved on Escape: " + repr(video_line()))
    if quelvar.poll() is not None:
        fail("the program ended")
    print("ok: Escape saved the file types and closed the dialog")
finally:
    desk.close()
