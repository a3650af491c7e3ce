#!/usr/bin/env python3
"""First start of a freshly unpacked program as root, on a machine whose test site cannot be
reached, every message read and answered with Return as it comes:

- the boxes come in the program's order: the first-run message, "当前网址经测试不能连接！" once, and
  "网络适配器设置错误，程序将会测试所有网络适配器！" from the automatic start that finds no adapter;
  that box starts no second adapter test (no second "不能连接", nothing after it), and no box opens
  and closes by itself;
- the person then ticks lo in the settings dialog's adapter table and presses 确定; 开始嗅探 starts a
  capture there: a file fetched on loopback is listed.

Prints the number of boxes and when the last was answered."""

import os
import re
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from desktop import (MAIN, BoxWatch, Desktop, Served, answer_boxes, fail, need, need_root,  # noqa: E402
                     program_copy)

BIN = sys.argv[1]
BOX = "^Quelvar$"
EXPECTED = ["首次运行程序", "当前网址经测试不能连接！", "网络适配器设置错误，程序将会测试所有网络适配器！"]

need("curl", "xclip")
need_root("capturing on lo")
folder = program_copy(BIN, ["quelvar", "quelvar-capture", "setting.ini", "readme.html"])
served = Served({"clip.mp4": 64 * 1024})
desk = Desktop()
watch = BoxWatch(desk)
try:
    begun = time.monotonic()
    quelvar = desk.start([os.path.join(folder, "quelvar")], cwd=desk.home)

    def shot(name):
        return desk.shot(name + ".png")

    # Quiet for 8 s: the adapter test the third box asks for begins a second after it is answered.
    answered = answer_boxes(desk, quelvar, quiet_for=8, seconds=90, watch=watch)
    texts = [t for t, _ in answered]
    if len(texts) != len(EXPECTED) or any(e not in t for e, t in zip(EXPECTED, texts)):
        fail("the boxes at the start were %r, not the first-run message, \"不能连接\" once and the adapter"
             " message (screenshot in %s)" % (texts, shot("boxes")))
    last = answered[-1][1] - begun

    # The adapter table: a click on its first row puts the keyboard there, "lo" goes to the loopback
    # adapter's row (selected), and a click on that row ticks it.
    dialogs = desk.windows("^设置$", pid=quelvar.pid)
    if not dialogs:
        fail("the settings dialog is not open (screenshot in %s)" % shot("no-dialog"))
    dialog = dialogs[0]
    desk.activate(dialog)
    desk.click_in(dialog, 110, 92)
    desk.type("lo")
    x, y, w, h = desk.geometry(dialog)
    band = desk.wait_for(lambda: desk.selected_band(x + 200, y, y + h // 2), 5)
    if band is None:
        fail("the adapter table shows no selected row after typing \"lo\" (screenshot in %s)" % shot("no-lo"))
    desk.click(x + 200, (band[0] + band[1]) // 2)
    desk.screenshot_if_asked()
    desk.key("Escape", window=dialog)  # 确定
    if not desk.wait_for(lambda: not desk.windows("^设置$", pid=quelvar.pid), 10):
        fail("the settings dialog did not close (screenshot in %s)" % shot("dialog-open"))
    with open(os.path.join(folder, "setting.ini"), "rb") as f:
        chosen = re.search(rb"^AdaptorName=(.*?)\r?$", f.read(), re.M)
    if not chosen or chosen.group(1) != b"lo":
        fail("the settings file names adapter %r, not the ticked lo (screenshot in %s)"
             % (chosen and chosen.group(1), shot("not-lo")))
    later = answer_boxes(desk, quelvar, quiet_for=3, seconds=30, watch=watch)
    if later:
        fail("boxes came after the settings dialog closed: %r" % [t for t, _ in later])

    # 开始嗅探 (F3) captures on lo: a fetched file is listed.
    main = desk.windows(MAIN, pid=quelvar.pid)
    if not main:
        fail("the main window is not shown (screenshot in %s)" % shot("no-main"))
    main = main[0]
    desk.key("F3", window=main)
    if desk.wait_for(lambda: desk.windows(BOX, pid=quelvar.pid), 2):
        fail("开始嗅探 on lo gave a message: %r (screenshot in %s)"
             % (desk.box_text(desk.windows(BOX, pid=quelvar.pid)[0]), shot("start-message")))
    mx, my, mw, mh = desk.geometry(main)

    def listed():
        served.fetch("clip.mp4")
        desk.activate(main)
        desk.click(mx + mw // 2, my + mh - 120)
        return desk.wait_for(lambda: desk.list_rows(mx + mw - 40, my, my + mh)[0] >= 1, 4, step=0.5)

    if not desk.wait_for(listed, 30, step=0):
        fail("after ticking lo and 确定, 开始嗅探 listed nothing fetched on loopback (screenshot in %s)" % shot("no-row"))

    by_themselves = watch.closed_by_themselves(BOX, pid=quelvar.pid) + watch.closed_by_themselves("^$")
    if by_themselves:
        fail("%d windows opened and closed by themselves: %r" % (len(by_themselves), by_themselves))
    if quelvar.poll() is not None:
        fail("the program ended (status %s)" % quelvar.returncode)
    print("ok: %d boxes at the start, the last answered %.1f s after the start; lo ticked, capture started and"
          " a fetched file listed; no box closed by itself" % (len(texts), last))
finally:
    watch.close()
    desk.close()
    served.close()
