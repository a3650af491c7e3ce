#!/usr/bin/env python3
"""A Wayland desktop with Xwayland: weston with its x11 backend on Xvfb (its window there gives it a
keyboard and a pointer, a seat, so the clipboard works) and its Xwayland. The window is started as a
desktop session starts it: WAYLAND_DISPLAY and DISPLAY set, XDG_SESSION_TYPE=wayland, no
QT_QPA_PLATFORM, and Qt's Wayland platform installed, which Qt would pick by itself. The window must
come up on Xwayland, and a row of a real loopback capture must be downloaded with "用简易下载软件下载"
(Ctrl+E) and with a double click, both copies byte for byte the served file.

Keys and clicks are given as a person gives them: to weston's seat, through its window on Xvfb
(xdotool there). Windows are found, named and pictured on Xwayland. weston places X11 windows on its
screen by itself, and Xwayland's coordinates are not the screen's (it delivers pointer events to the
window under weston's pointer), so a window is found on the screen by its own picture, pixel for pixel."""

import functools
import glob
import hashlib
import http.server
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from desktop import SKIP, Desktop, fail, need, program_copy  # noqa: E402

BIN = sys.argv[1]
MAIN_TITLE = "^Quelvar\\(Tessoran\\)$"
DOWNLOADER_TITLE = "^简易HTTP下载软件$"


def wait_for(condition, seconds, step=0.2):
    return Desktop.wait_for(condition, seconds, step)


class WestonDesktop:
    """Xvfb, weston on it with --xwayland, and the environment of a Wayland session in which
    Xwayland's display is DISPLAY. Every wait is bounded; close() ends what was started."""

    def __init__(self, width=1280, height=960):
        self.procs = []
        self.home = tempfile.mkdtemp(prefix="quelvar-wayland-")
        self.xvfb = None
        self.weston = None
        self.log = os.path.join(self.home, "weston.log")
        try:
            self._start(width, height)
        except BaseException:
            self.close()
            raise

    def _start(self, width, height):
        runtime = os.path.join(self.home, "runtime")
        os.makedirs(runtime, mode=0o700)
        read_fd, write_fd = os.pipe()
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "%dx%dx24" % (width + 40, height + 40),
             "-nolisten", "tcp"],
            pass_fds=(write_fd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_fd)
        number = b""
        deadline = time.monotonic() + 20
        while not number.endswith(b"\n") and time.monotonic() < deadline:
            chunk = os.read(read_fd, 16)
            if not chunk:
                break
            number += chunk
        os.close(read_fd)
        if not number.strip():
            raise RuntimeError("Xvfb did not start")
        self.outer_display = ":" + number.decode().strip()

        base = dict(os.environ)
        for k in ("QT_QPA_PLATFORM", "WAYLAND_DISPLAY", "DISPLAY", "XDG_SESSION_TYPE", "XDG_CURRENT_DESKTOP"):
            base.pop(k, None)
        base.update({
            "HOME": self.home,
            "XDG_CONFIG_HOME": os.path.join(self.home, ".config"),
            "XDG_STATE_HOME": os.path.join(self.home, ".local/state"),
            "XDG_DATA_HOME": os.path.join(self.home, ".local/share"),
            "XDG_CACHE_HOME": os.path.join(self.home, ".cache"),
            "XDG_DOWNLOAD_DIR": os.path.join(self.home, "Downloads"),
            "XDG_RUNTIME_DIR": runtime,
        })
        os.makedirs(base["XDG_DOWNLOAD_DIR"])
        self.outer_env = dict(base, DISPLAY=self.outer_display)

        # The CPU renderer puts every window's pixels on the screen as they are, which finding a
        # window by its picture relies on (and it spares the machine a software GL).
        socket = "quelvar-wayland-%d" % os.getpid()
        # No panel: its terminal launcher in the top-left corner would take a stray click and the focus.
        config = os.path.join(self.home, "weston.ini")
        with open(config, "w") as f:
            f.write("[shell]\npanel-position=none\n")
        self.weston = subprocess.Popen(
            ["weston", "--backend=x11-backend.so", "--use-pixman", "--xwayland", "--config=" + config, "--idle-time=0",
             "--socket=" + socket, "--width=%d" % width, "--height=%d" % height, "--log=" + self.log],
            env=self.outer_env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        # weston names the display of its Xwayland in its log once it listens there; Xwayland itself
        # starts with the first X client.
        listening = wait_for(lambda: self.weston.poll() is not None
                             or re.search(r"xserver listening on display :(\d+)", self.log_text()), 30)
        if self.weston.poll() is not None or not listening:
            raise RuntimeError("weston did not come up with Xwayland; its log ends:\n" + self.log_text()[-2000:])
        self.display = ":" + listening.group(1)
        x_socket = "/tmp/.X11-unix/X" + listening.group(1)
        if not wait_for(lambda: os.path.exists(x_socket), 10):
            raise RuntimeError("weston named display %s but %s is missing" % (self.display, x_socket))

        # The session as the window sees it: a Wayland desktop (KDE starts Qt programs so) with Xwayland.
        self.env = dict(base, WAYLAND_DISPLAY=socket, DISPLAY=self.display, XDG_SESSION_TYPE="wayland",
                        XDG_CURRENT_DESKTOP="KDE")

    def log_text(self):
        try:
            with open(self.log, errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def start(self, argv, cwd=None):
        p = subprocess.Popen(argv, cwd=cwd, env=self.env, start_new_session=True)
        self.procs.append(p)
        return p

    def close(self):
        for p in self.procs:
            if p.poll() is None:
                try:
                    os.killpg(p.pid, signal.SIGTERM)
                except ProcessLookupError:
                    pass
        for p in self.procs:
            try:
                p.wait(timeout=5)
            except subprocess.TimeoutExpired:
                os.killpg(p.pid, signal.SIGKILL)
        m = re.search(r"Spawned Xwayland server, pid (\d+)", self.log_text())
        xwayland = int(m.group(1)) if m else None
        for proc in (self.weston, self.xvfb):
            if proc is None or proc.poll() is not None:
                continue
            proc.terminate()
            try:
                proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait(timeout=5)
        # weston ends its Xwayland; one that outlived it goes now.
        if xwayland and is_running(xwayland, "Xwayland"):
            os.kill(xwayland, signal.SIGKILL)
        shutil.rmtree(self.home, ignore_errors=True)

    # --- windows, on Xwayland ---

    def xdotool(self, *args, check=True, outer=False):
        r = subprocess.run(["xdotool", *args], env=self.outer_env if outer else self.env,
                           capture_output=True, text=True, timeout=20)
        if r.returncode != 0:
            if check:
                raise RuntimeError("xdotool %s: %s" % (" ".join(args), r.stderr.strip()))
            return None
        return r.stdout.strip()

    def windows(self, name, pid=None):
        """Visible X windows whose title matches the regular expression `name`."""
        args = ["search", "--onlyvisible"]
        if pid is not None:
            args += ["--pid", str(pid)]
        out = self.xdotool(*args, "--name", name, check=False)
        return [w for w in (out or "").split() if w and re.search(name, self.title(w))]

    def title(self, window):
        return self.xdotool("getwindowname", window, check=False) or ""

    def pid(self, window):
        out = self.xdotool("getwindowpid", window, check=False)
        return int(out) if out and out.isdigit() else None

    def picture(self, window):
        """The window's own picture from Xwayland (Xwayland keeps none of its root)."""
        return Picture(self.env, window)

    def screen(self):
        """weston's screen as the person sees it: its output window on Xvfb."""
        return Picture(self.outer_env, "root")

    def locate(self, window):
        """Where the window's top left corner shows on the screen, or None: rows of its picture with
        enough variety are looked for in the screen's rows; the place most of them agree on wins."""
        own = self.picture(window)
        seen = self.screen()
        votes = {}
        for y in range(0, own.height, 7):
            line = own.row(y)
            if len({line[i:i + 3] for i in range(0, len(line), 3)}) < 12:
                continue  # a plain row would match anywhere
            for sy in range(seen.height):
                at = seen.row(sy).find(line)
                while at >= 0 and at % 3:
                    at = seen.row(sy).find(line, at + 1)
                if at >= 0:
                    place = (at // 3, sy - y)
                    votes[place] = votes.get(place, 0) + 1
                    break
        if not votes:
            return None
        place, count = max(votes.items(), key=lambda kv: kv[1])
        return place if count >= 2 else None

    @staticmethod
    def shows(own, seen, place, x, y, radius=4):
        """Whether the pixels of a window's picture `own` around its point (x, y) are on the screen
        `seen` at `place`: nothing lies over that point."""
        sx, sy = place
        for dy in range(-radius, radius + 1):
            a = own.row(y + dy)[(x - radius) * 3:(x + radius + 1) * 3]
            b = seen.row(sy + y + dy)[(sx + x - radius) * 3:(sx + x + radius + 1) * 3]
            if not a or a != b:
                return False
        return True

    # --- keys and clicks, through weston's seat ---

    def key(self, *keys):
        for k in keys:
            self.xdotool("key", "--clearmodifiers", k, outer=True)
            time.sleep(0.15)

    def click(self, x, y, double=False):
        self.xdotool("mousemove", "--sync", str(x), str(y), outer=True)
        time.sleep(0.1)
        self.xdotool("click", "--repeat", "2" if double else "1", "--delay", "80", "1", outer=True)
        time.sleep(0.2)

    def screenshot(self, path):
        subprocess.run(["import", "-window", "root", path], env=self.outer_env, timeout=30, check=False)


class Picture:
    """A window's pixels (8-bit RGB rows), read once through ImageMagick's import."""

    def __init__(self, env, window):
        data = subprocess.run(["import", "-window", window, "-depth", "8", "ppm:-"], env=env,
                              capture_output=True, timeout=30).stdout
        m = re.match(rb"P6\s+(\d+)\s+(\d+)\s+255\s", data)
        if not m:
            raise RuntimeError("no picture of window %s" % window)
        self.width, self.height = int(m.group(1)), int(m.group(2))
        self.pixels = data[m.end():]

    def row(self, y):
        if not 0 <= y < self.height:
            return b""
        return self.pixels[y * self.width * 3:(y + 1) * self.width * 3]

    def selected_row_y(self, x):
        """The middle of the first band of selection colour (strong blue) in column x, or None."""
        band = []
        for y in range(self.height):
            red, _, blue = self.row(y)[x * 3:x * 3 + 3]
            if blue > 150 and blue - red > 80:
                band.append(y)
        if not band:
            return None
        last = band[0]
        while last + 1 in band:
            last += 1
        return (band[0] + last) // 2


def is_running(pid, name):
    try:
        with open("/proc/%d/comm" % pid) as f:
            return f.read().strip() == name
    except OSError:
        return False


# --- the setting: Qt's Wayland platform, weston, Xwayland, a capture on lo ---

# weston's x11 backend sometimes lands xdotool's pointer warps on the top edge of its output instead of
# where they were sent (seen in about one run in three on a loaded machine), so the clicks miss and the
# journey fails without a fault of the program's. Until the clicks reach the window another way, the
# journey runs when asked for.
if os.environ.get("QUELVAR_WAYLAND_JOURNEY") != "1":
    print("skipped: set QUELVAR_WAYLAND_JOURNEY=1 to run it (weston's pointer warps are not reliable yet)")
    sys.exit(SKIP)
need("Xvfb", "weston", "Xwayland", "xdotool", "import", "tcpdump", "curl")
if not glob.glob("/usr/lib/*/qt6/plugins/platforms/libqwayland-generic.so"):
    print("skipped: Qt's Wayland platform (qt6-wayland) is not installed: the window would not be tempted by Wayland")
    sys.exit(SKIP)
if os.geteuid() != 0:
    print("skipped: capturing on lo needs root")
    sys.exit(SKIP)

served_dir = tempfile.mkdtemp(prefix="quelvar-wayland-served-")
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
dump = subprocess.Popen(["tcpdump", "-i", "lo", "-U", "-s", "0", "-w", capture, "tcp port %d" % port],
                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
time.sleep(1.5)
subprocess.run(["curl", "-s", "-o", "/dev/null", url], check=True, timeout=30)
time.sleep(1)
dump.terminate()
dump.wait(timeout=10)

# The shipped settings, but no live start; the double click keeps the shipped "Dorrinel -- %u".
ini = os.path.join(folder, "setting.ini")
with open(ini, "rb") as f:
    text = f.read()
text = text.replace(b"autoRun=1", b"autoRun=0").replace(b"[system]\r\n", b"[system]\r\nAdaptorName=lo\r\n", 1)
with open(ini, "wb") as f:
    f.write(text)

try:
    desk = WestonDesktop()
except RuntimeError as e:
    server.shutdown()
    shutil.rmtree(served_dir, ignore_errors=True)
    fail("%s (program folder %s)" % (e, folder))


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


def shot(name):
    path = os.path.join(folder, name)
    desk.screenshot(path)
    return path


try:
    quelvar = desk.start([os.path.join(folder, "quelvar"), capture], cwd=desk.home)
    main = wait_for(lambda: desk.windows(MAIN_TITLE, pid=quelvar.pid), 30)
    if not main:
        fail("the main window did not come up on Xwayland (%s; weston's screen in %s)"
             % ("the program ended" if quelvar.poll() is not None else "a Wayland window?", shot("no-window.png")))
    main = main[0]
    time.sleep(2)  # the file is read
    place = wait_for(lambda: desk.locate(main), 10)
    if not place:
        fail("the window is not to be seen on weston's screen (%s)" % shot("unseen.png"))
    picture = desk.picture(main)
    w, h = picture.width, picture.height

    # Into the list, then the first row by key; the selection's colour tells where the row is. weston's
    # X11 window now and then puts a pointer warp at the screen's top edge instead of where it was sent:
    # a click that went astray is given again, as a person would (three tries).
    first = None
    for attempt in range(3):
        desk.click(place[0] + w // 2, place[1] + h // 2)
        desk.key("Home", "space")
        row_y = wait_for(lambda: desk.picture(main).selected_row_y(w - 40), 5)
        if row_y is None:
            continue
        desk.key("ctrl+e")
        first = wait_for(saved_copies, 20)
        if first:
            break
    if row_y is None:
        fail("no row was listed or selected (weston's screen in %s)" % shot("no-row.png"))
    if not first:
        fail("Ctrl+E saved no copy of the served file (weston's screen in %s)" % shot("ctrl-e.png"))
    if not desk.windows(DOWNLOADER_TITLE):
        fail("the simple downloader's window is not on Xwayland")

    # The downloader's window may lie over the row: the double click goes to a part of it that shows.
    place = desk.locate(main) or place
    own, seen = desk.picture(main), desk.screen()
    row_x = next((rx for rx in range(w - 30, 20, -40) if desk.shows(own, seen, place, rx, row_y)), None)
    if row_x is None:
        fail("the row is hidden behind other windows (weston's screen in %s)" % shot("hidden-row.png"))
    both = None
    for attempt in range(3):
        desk.click(place[0] + row_x, place[1] + row_y, double=True)
        both = wait_for(lambda: len(saved_copies()) >= 2 and saved_copies(), 20)
        if both:
            break
    if os.environ.get("QUELVAR_SCREENSHOT"):
        desk.screenshot(os.environ["QUELVAR_SCREENSHOT"])
    if not both:
        fail("the double click saved no second copy (weston's screen in %s)" % shot("double-click.png"))
    if quelvar.poll() is not None:
        fail("the program ended")
    print("ok: on Xwayland %s of weston, saved %s" % (desk.display, ", ".join(os.path.relpath(p, desk.home) for p in both)))
    shutil.rmtree(folder, ignore_errors=True)
finally:
    # The downloaders run in sessions of their own: each goes by its pid, before their display does.
    for window in (desk.xdotool("search", "--name", DOWNLOADER_TITLE, check=False) or "").split():
        pid = desk.pid(window)
        if pid and is_running(pid, "Dorrinel"):
            os.kill(pid, signal.SIGTERM)
    desk.close()
    server.shutdown()
    shutil.rmtree(served_dir, ignore_errors=True)
