#!/usr/bin/env python3
"""First start of a freshly unpacked program by a person without capture rights (a user of their
own, every capability dropped; the unpacked capture helper has no file capabilities), on the shipped
settings file. Every message is read (its text selected with the mouse, as a person copies it) and
answered with Return:

- no box opens and closes by itself (every window that comes up is watched);
- the first-run message comes first; the adapter test's "当前网址经测试不能连接！" comes at most once;
- the settings dialog's adapter page gives the rights advice, and its "复制命令" puts the command on
  the clipboard: the setcap command for the unpacked capture helper;
- after the dialog is closed, the FIRST click on 开始嗅探 shows the rights message, with that command
  on a line of its own.

Prints the number of boxes and the time until the window could be used (the dialog closed)."""

import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from desktop import (MAIN, BoxWatch, Desktop, PlainUser, answer_boxes, clipboard, fail, need,  # noqa: E402
                     program_copy)

BIN = sys.argv[1]
BOX = "^Quelvar$"
FIRST_RUN = "首次运行程序"
UNREACHABLE = "当前网址经测试不能连接！"
START_GREEN = (40, 160, 70)  # the 开始嗅探 button's image

need("xclip", "getcap")
user = PlainUser()
folder = program_copy(BIN, ["quelvar", "quelvar-capture", "setting.ini", "readme.html"])
helper = os.path.join(folder, "quelvar-capture")
held = subprocess.run(["getcap", helper], capture_output=True, text=True, timeout=10).stdout.strip()
if held:
    fail("the unpacked capture helper has file capabilities: " + held)
command = "sudo setcap cap_net_raw,cap_net_admin=eip " + helper

desk = Desktop()
watch = BoxWatch(desk)
try:
    user.own(desk.home, folder)
    begun = time.monotonic()
    quelvar = desk.start(user.run([os.path.join(folder, "quelvar")]), cwd=desk.home)

    def shot(name):
        return desk.shot(name + ".png")

    # The start: the first-run message, then what the adapter test has to say; the settings dialog.
    answered = answer_boxes(desk, quelvar, quiet_for=6, seconds=90, watch=watch)
    texts = [t for t, _ in answered]
    usable = (answered[-1][1] - begun) if answered else 0.0
    if not texts or FIRST_RUN not in texts[0]:
        fail("the first box was not the first-run message: %r" % texts[:1])
    if sum(UNREACHABLE in t for t in texts) > 1:
        fail("\"%s\" came more than once: %r" % (UNREACHABLE, texts))
    dialogs = desk.windows("^设置$", pid=quelvar.pid)
    if not dialogs:
        fail("the settings dialog is not open after the first-run message (screenshot in %s)" % shot("no-dialog"))
    dialog = dialogs[0]

    # The adapter page's advice: "复制命令" sits at the right end of the command's row, above the
    # test-site row and "确定" at the dialog's bottom.
    subprocess.run(["xclip", "-selection", "clipboard", "-i", "/dev/null"], env=desk.env, timeout=10, check=False)
    width, height = desk.size(dialog)
    desk.activate(dialog)
    desk.click_in(dialog, width - 60, height - 98)
    copied = desk.wait_for(lambda: clipboard(desk), 10)
    if (copied or "").strip() != command:
        fail("\"复制命令\" put %r on the clipboard, not %r (screenshot in %s)" % (copied, command, shot("copy")))

    # The dialog closed (Escape leaves it by "确定"): the window can be used.
    desk.key("Escape", window=dialog)
    if not desk.wait_for(lambda: not desk.windows("^设置$", pid=quelvar.pid), 10):
        fail("Escape did not close the settings dialog (screenshot in %s)" % shot("dialog-open"))
    later = [t for t, _ in answer_boxes(desk, quelvar, quiet_for=3, seconds=30, watch=watch)]
    if later:
        fail("boxes came after the settings dialog closed: %r" % later)

    # The first click on 开始嗅探: the rights message with the command on a line of its own.
    main = desk.windows(MAIN, pid=quelvar.pid)
    if not main:
        fail("the main window is not shown (screenshot in %s)" % shot("no-main"))
    desk.activate(main[0])
    button = desk.find_colour(main[0], START_GREEN, rows=160)
    if button is None:
        fail("the 开始嗅探 button is not to be seen (screenshot in %s)" % shot("no-button"))
    desk.click_in(main[0], *button)
    rights = desk.wait_for(lambda: desk.windows(BOX, pid=quelvar.pid), 15)
    if not rights:
        fail("the first click on 开始嗅探 showed no message (screenshot in %s)" % shot("first-click"))
    time.sleep(0.5)
    screen = os.environ.get("QUELVAR_SCREENSHOT")
    if screen:
        desk.screenshot(screen)
    said = desk.box_text(rights[0])
    watch.answered(rights[0])
    desk.key("Return", window=rights[0])
    if "没有抓包权限" not in said or command not in said.splitlines():
        fail("the first click's message does not give the rights and the command %r on a line of its own: %r"
             % (command, said))

    if not desk.wait_for(lambda: not desk.windows(BOX, pid=quelvar.pid), 10):
        fail("the rights message did not close on Return")
    by_themselves = watch.closed_by_themselves(BOX, pid=quelvar.pid) + watch.closed_by_themselves("^$")
    if by_themselves:
        fail("%d windows opened and closed by themselves: %r" % (len(by_themselves), by_themselves))
    if quelvar.poll() is not None:
        fail("the program ended (status %s)" % quelvar.returncode)
    boxes = watch.boxes(BOX, pid=quelvar.pid)
    print("ok: %d boxes at the start (%s), the last answered %.1f s after the start; the first 开始嗅探 gave the rights"
          " message; %d boxes in all, none closed by itself"
          % (len(texts), "; ".join(t.split("\n")[0][:24] for t in texts), usable, len(boxes)))
finally:
    watch.close()
    desk.close()
    user.close()
