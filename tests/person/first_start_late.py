#!/usr/bin/env python3
"""First start of a freshly unpacked program, answered the way a slow person answers: every message
is left open for several seconds before it is answered. The program must live through it, and its
main window must be up at the end, with no message left open."""

import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from desktop import MAIN, Desktop, fail, program_copy  # noqa: E402

BIN = sys.argv[1]
LATE = float(os.environ.get("QUELVAR_ANSWER_AFTER", "4"))

folder = program_copy(BIN, ["quelvar", "setting.ini", "readme.html"])
desk = Desktop()
try:
    quelvar = desk.start([os.path.join(folder, "quelvar")], cwd=desk.home)
    answered = 0
    quiet_since = time.monotonic()
    deadline = time.monotonic() + 90
    # Answer every message box late, until none has come for a while.
    while time.monotonic() < deadline:
        if quelvar.poll() is not None:
            fail("the program ended (status %s) after %d answered messages" % (quelvar.returncode, answered))
        boxes = desk.windows("^Quelvar$", pid=quelvar.pid)
        if boxes:
            time.sleep(LATE)
            if quelvar.poll() is not None:
                fail("the program ended (status %s) while a message was open" % quelvar.returncode)
            desk.key("Return", window=boxes[0])
            answered += 1
            quiet_since = time.monotonic()
            time.sleep(0.5)
            continue
        if time.monotonic() - quiet_since > 8:
            break
        time.sleep(0.3)
    else:
        fail("messages kept coming for 90 s (%d answered)" % answered)

    if answered == 0:
        fail("no first-run message was shown")
    time.sleep(2)  # a crash of a late timer comes a second or two after the last answer
    if quelvar.poll() is not None:
        fail("the program ended (status %s) after the last answer" % quelvar.returncode)
    if not desk.windows(MAIN, pid=quelvar.pid):
        fail("the main window is not shown")
    desk.screenshot_if_asked()
    print("ok: %d messages answered %.0f s late each; main window up" % (answered, LATE))
finally:
    desk.close()
