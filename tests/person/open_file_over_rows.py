#!/usr/bin/env python3
"""Opening a capture file over listed rows loses nothing without a word. The window lists the rows of
a real capture; a second start hands it another file, as a file manager does. The person is asked
first: "No" leaves the window as it was; "Yes" with a file that cannot be read shows why and still
leaves the list, its counts and the file panel as they were; "Yes" with a good file replaces the rows.
The list is compared by screenshots of the window (the last step shows the comparison sees a change).

usage: open_file_over_rows.py BIN_DIR        (exit 77: skipped, with the reason)"""

import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time

SKIP = 77
BIN = os.path.abspath(sys.argv[1])
CAPTURE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "shared", "captures",
                       "http_espn_fail.pcapng")
for tool in ("Xvfb", "openbox", "xdotool", "import", "compare"):
    if not shutil.which(tool):
        print("skipped: %s is missing" % tool)
        sys.exit(SKIP)
if not os.path.isfile(CAPTURE):
    print("skipped: the shared capture is missing")
    sys.exit(SKIP)

work = tempfile.mkdtemp(prefix="qv-open-over-rows-")
home = os.path.join(work, "home")
os.makedirs(home, mode=0o700)
for name in ("quelvar", "setting.ini", "readme.html"):
    shutil.copy(os.path.join(BIN, name), work)
ini = os.path.join(work, "setting.ini")
os.chmod(ini, 0o644)
with open(ini, encoding="latin-1") as f:
    text = f.read().replace("autoRun=1", "autoRun=0").replace("[system]", "[system]\nAdaptorName=lo", 1)
with open(ini, "w", encoding="latin-1") as f:
    f.write(text)

empty = os.path.join(work, "empty.pcap")
open(empty, "wb").close()
good = os.path.join(work, "one.pcap")


def frame(flags, payload=b""):
    """Ethernet, IPv4 and TCP from 192.168.1.5:40000 to 10.0.0.1:80."""
    ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 40 + len(payload), 1, 0, 64, 6, 0, bytes([192, 168, 1, 5]),
                     bytes([10, 0, 0, 1]))
    tcp = struct.pack("!HHIIBBHHH", 40000, 80, 1, 0, 0x50, flags, 65535, 0, 0)
    return b"\x00\x11\x22\x33\x44\x55\x66\x77\x88\x99\xaa\xbb\x08\x00" + ip + tcp + payload


with open(good, "wb") as f:
    f.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1))
    for one in (frame(0x02), frame(0x18, b"GET /song.mp3 HTTP/1.1\r\nHost: m.example\r\n\r\n")):
        f.write(struct.pack("<IIII", 1, 0, len(one), len(one)) + one)

display = ":%d" % (70 + os.getpid() % 20)
env = dict(os.environ, DISPLAY=display, HOME=home, XDG_RUNTIME_DIR=home, QT_QPA_PLATFORM="xcb")
procs = [subprocess.Popen(["Xvfb", display, "-screen", "0", "1366x768x24", "-nolisten", "tcp"],
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)]
time.sleep(1)
procs.append(subprocess.Popen(["openbox"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
time.sleep(1)


def xdo(*args):
    r = subprocess.run(["xdotool"] + list(args), env=env, capture_output=True, text=True)
    return r.stdout.split()


def wait(what, check, seconds=15):
    end = time.time() + seconds
    while time.time() < end:
        value = check()
        if value:
            return value
        time.sleep(0.2)
    raise SystemExit("FAIL: " + what)


def boxes():
    """The program's message boxes: windows named exactly "Quelvar"."""
    return xdo("search", "--onlyvisible", "--name", "^Quelvar$")


def shot(window, name):
    """The window as the person sees it with the focus back on it (the focus frame of the list)."""
    xdo("windowactivate", "--sync", window)
    time.sleep(0.5)
    path = os.path.join(work, name + ".png")
    subprocess.run(["import", "-window", window, path], env=env, check=True)
    return path


def same(a, b):
    r = subprocess.run(["compare", "-metric", "AE", a, b, os.devnull], env=env, capture_output=True, text=True)
    return r.stderr.strip() == "0"


def hand_over(path):
    """A second start with a file: it goes to the running window."""
    subprocess.run([os.path.join(work, "quelvar"), path], env=env, timeout=20)


try:
    procs.append(subprocess.Popen([os.path.join(work, "quelvar"), CAPTURE], env=env,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
    main = wait("the window", lambda: xdo("search", "--onlyvisible", "--name", "Quelvar\\(")[:1])[0]
    time.sleep(2)  # the capture is read
    # The first row chosen, as a person looks at it: the list has the focus before and after each box.
    xdo("windowactivate", "--sync", main)
    xdo("mousemove", "--window", main, "40", "150", "click", "1")
    xdo("mousemove", "1300", "740")  # away: the row's hint and hover go
    time.sleep(1.5)
    before = shot(main, "before")

    hand_over(empty)
    box = wait("the question before the rows go", boxes)[0]
    xdo("windowactivate", "--sync", box)
    xdo("key", "Escape")  # No
    wait("the question closed", lambda: not boxes())
    time.sleep(0.5)
    if not same(before, shot(main, "after_no")):
        raise SystemExit("FAIL: answering No changed the window")

    hand_over(empty)
    box = wait("the question again", boxes)[0]
    xdo("windowactivate", "--sync", box)
    xdo("key", "alt+y")  # 是(Y)
    wait("the question answered", lambda: box not in boxes())
    error = wait("the reason the file cannot be read", boxes)[0]
    xdo("windowactivate", "--sync", error)
    xdo("key", "Return")
    wait("the reason closed", lambda: not boxes())
    time.sleep(0.5)
    if not same(before, shot(main, "after_failed_open")):
        raise SystemExit("FAIL: a file that could not be read changed the window")

    hand_over(good)
    box = wait("the question for the good file", boxes)[0]
    xdo("windowactivate", "--sync", box)
    xdo("key", "alt+y")
    wait("the question answered", lambda: not boxes())
    time.sleep(1.5)
    if same(before, shot(main, "after_good_open")):
        raise SystemExit("FAIL: the good file did not replace the rows")
    print("ok")
finally:
    for p in reversed(procs):
        p.terminate()
        try:
            p.wait(5)
        except subprocess.TimeoutExpired:
            p.kill()
    if os.environ.get("KEEP") is None:
        shutil.rmtree(work, ignore_errors=True)
