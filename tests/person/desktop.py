"""What every journey through the real programs needs, as a person at the screen meets them:

- Desktop: an X server (Xvfb) with a window manager (openbox);
- WaylandDesktop: a Wayland compositor (weston, on Xvfb) with Xwayland, the environment of a Wayland
  session;
- on either: the program started from a fresh folder and its main window waited for (start_program),
  windows found by title, keys and clicks through xdotool (XTEST), screenshots;
- program_copy, quiet_settings, Served (files fetched over loopback, and their saved copies found),
  tcpdump, need, fail.

Every wait is bounded. A journey that fails keeps its program folder, which holds its screenshots."""

import atexit
import functools
import hashlib
import http.server
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

SKIP = 77  # the test runner's code for a journey that cannot run here
MAIN = "^Quelvar\\(Tessoran\\)$"  # the main window's title


def need(*programs):
    missing = [p for p in programs if shutil.which(p) is None]
    if missing:
        print("skipped: not installed: " + ", ".join(missing))
        sys.exit(SKIP)


def need_root(why):
    if os.geteuid() != 0:
        print("skipped: %s needs root" % why)
        sys.exit(SKIP)


def wait_for(condition, seconds, step=0.2):
    """condition() until it gives a true value or `seconds` have passed; its last value."""
    deadline = time.monotonic() + seconds
    while True:
        value = condition()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(step)


def _start_xvfb(width, height):
    """An Xvfb of its own display number; (process, ":N")."""
    read_fd, write_fd = os.pipe()
    xvfb = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "%dx%dx24" % (width, height), "-nolisten", "tcp"],
        pass_fds=(write_fd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_fd)
    number = b""
    deadline = time.monotonic() + 20
    while not number.endswith(b"\n") and time.monotonic() < deadline:
        ready, _, _ = select.select([read_fd], [], [], max(0.0, deadline - time.monotonic()))
        chunk = os.read(read_fd, 16) if ready else b""
        if not chunk:
            break
        number += chunk
    os.close(read_fd)
    if not number.strip():
        xvfb.kill()
        xvfb.wait(timeout=10)
        raise RuntimeError("Xvfb did not start")
    return xvfb, ":" + number.decode().strip()


class _Session:
    """A fresh home with its XDG folders, the processes started in it, and xdotool on its display
    (self.env). Subclasses start the display and set self.env."""

    def __init__(self, prefix):
        self.procs = []
        self.servers = []  # display servers, ended after the programs
        self.home = tempfile.mkdtemp(prefix=prefix)
        self.shots = kept_folder("quelvar-shots-")  # screenshots, kept when the journey fails
        runtime = os.path.join(self.home, "runtime")
        os.makedirs(runtime, mode=0o700)
        os.makedirs(os.path.join(self.home, "Downloads"))
        self.base_env = dict(os.environ)
        for k in ("QT_QPA_PLATFORM", "WAYLAND_DISPLAY", "DISPLAY", "XDG_SESSION_TYPE", "XDG_CURRENT_DESKTOP"):
            self.base_env.pop(k, None)
        self.base_env.update({
            "HOME": self.home,
            "XDG_CONFIG_HOME": os.path.join(self.home, ".config"),
            "XDG_STATE_HOME": os.path.join(self.home, ".local/state"),
            "XDG_DATA_HOME": os.path.join(self.home, ".local/share"),
            "XDG_CACHE_HOME": os.path.join(self.home, ".cache"),
            "XDG_DOWNLOAD_DIR": os.path.join(self.home, "Downloads"),
            "XDG_RUNTIME_DIR": runtime,
        })
        self.env = dict(self.base_env)

    # --- processes ---

    def start(self, argv, cwd=None, quiet=False, env=None):
        e = dict(self.env)
        if env:
            e.update(env)
        out = subprocess.DEVNULL if quiet else None
        p = subprocess.Popen(argv, cwd=cwd, env=e, stdout=out, stderr=out, start_new_session=True)
        self.procs.append(p)
        return p

    unseen = "still running"  # what a running program whose window is not found may show instead

    def start_program(self, folder, args=(), env=None, title=MAIN, seconds=20):
        """The folder's quelvar started in the home folder, and its window of that title; (process,
        window). Fails the journey when the window does not come up."""
        p = self.start([os.path.join(folder, "quelvar"), *args], cwd=self.home, env=env)
        wins = self.wait_window(title, p, seconds)
        if not wins:
            fail("the main window did not come up (%s; screenshot in %s)"
                 % ("the program ended with status %s" % p.returncode if p.poll() is not None else self.unseen,
                    self.shot("no-window.png")))
        return p, wins[0]

    def wait_window(self, title, process, seconds=20):
        """The visible windows of the process with that title, once there are any (bounded): [] when
        none came."""
        return wait_for(lambda: self.windows(title, pid=process.pid), seconds) or []

    def close(self):
        for p in reversed(self.procs):
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
                p.wait(timeout=5)
        for p in self.servers:
            if p.poll() is not None:
                continue
            p.terminate()
            try:
                p.wait(timeout=10)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait(timeout=5)
        shutil.rmtree(self.home, ignore_errors=True)

    # --- windows ---

    def xdotool(self, *args, check=True, env=None):
        r = subprocess.run(["xdotool", *args], env=env or self.env, capture_output=True, text=True, timeout=20)
        if r.returncode != 0:
            if check:
                raise RuntimeError("xdotool %s: %s" % (" ".join(args), r.stderr.strip()))
            return None
        return r.stdout.strip()

    def windows(self, name, pid=None):
        """Visible windows whose title matches the regular expression `name`."""
        args = ["search", "--onlyvisible"]
        if pid is not None:
            args += ["--pid", str(pid)]
        out = self.xdotool(*args, "--name", name, check=False)
        # xdotool also matches the class ("Quelvar") here: the title decides.
        return [w for w in (out or "").split() if w and re.search(name, self.title(w))]

    def title(self, window):
        return self.xdotool("getwindowname", window, check=False) or ""

    def pid(self, window):
        out = self.xdotool("getwindowpid", window, check=False)
        return int(out) if out and out.isdigit() else None

    def geometry(self, window):
        """(x, y, width, height) of the window, x and y on its display's root."""
        out = self.xdotool("getwindowgeometry", "--shell", window)
        values = dict(line.split("=", 1) for line in out.splitlines() if "=" in line)
        return int(values["X"]), int(values["Y"]), int(values["WIDTH"]), int(values["HEIGHT"])

    # --- screenshots ---

    def screenshot(self, path):
        if shutil.which("import"):
            subprocess.run(["import", "-window", "root", path], env=self.env, timeout=30, check=False)

    def shot(self, name):
        """A screenshot in the folder kept when the journey fails; its path."""
        path = os.path.join(self.shots, name)
        self.screenshot(path)
        return path

    def screenshot_if_asked(self):
        """The screen into QUELVAR_SCREENSHOT, when that names a file."""
        if os.environ.get("QUELVAR_SCREENSHOT"):
            self.screenshot(os.environ["QUELVAR_SCREENSHOT"])

    wait_for = staticmethod(wait_for)


class Desktop(_Session):
    """Xvfb with openbox; keys, clicks and window queries through xdotool on that display."""

    def __init__(self, width=1280, height=1024):
        need("Xvfb", "openbox", "xdotool")
        super().__init__("quelvar-person-")
        try:
            xvfb, self.display = _start_xvfb(width, height)
        except RuntimeError:
            shutil.rmtree(self.home, ignore_errors=True)
            raise
        self.servers.append(xvfb)
        self.env["DISPLAY"] = self.display
        self.wm = self.start(["openbox", "--sm-disable"], quiet=True)
        time.sleep(0.8)  # openbox takes the screen

    def activate(self, window):
        self.xdotool("windowactivate", "--sync", window, check=False)
        self.xdotool("windowfocus", "--sync", window, check=False)
        time.sleep(0.2)

    def key(self, *keys, window=None):
        if window is not None:
            self.activate(window)
        for k in keys:
            self.xdotool("key", "--clearmodifiers", k)
            time.sleep(0.15)

    def type(self, text):
        self.xdotool("type", "--delay", "30", text)

    def click(self, x, y, button=1, double=False):
        self.xdotool("mousemove", "--sync", str(x), str(y))
        time.sleep(0.1)
        self.xdotool("click", "--repeat", "2" if double else "1", "--delay", "80", str(button))
        time.sleep(0.2)

    def click_in(self, window, x, y, button=1, double=False):
        """A click on the window's own point (x, y) (xdotool's window geometry is off by the title bar
        under openbox; the pointer placed relative to the window is not)."""
        self.xdotool("mousemove", "--window", window, "--sync", str(x), str(y))
        time.sleep(0.1)
        self.xdotool("click", "--repeat", "2" if double else "1", "--delay", "80", str(button))
        time.sleep(0.2)

    def size(self, window):
        """(width, height) of the window's inside."""
        return self.geometry(window)[2:]

    def box_text(self, window):
        """What a message box says, as a person copies it: the text selected with the mouse from the
        start of its first line (right of the icon) to the end, read back from the X selection
        (PRIMARY, through xclip). '' when nothing could be selected."""
        need("xclip")
        picture = Picture(self.env, window)
        width, height = picture.width, picture.height
        # The text: dark pixels right of the icon (48 pixels wide with its margin), above the buttons.
        dark = [(x, y) for y in range(0, max(0, height - 45)) for x in range(48, width - 8)
                if sum(picture.row(y)[x * 3:x * 3 + 3]) < 3 * 110]
        if not dark:
            return ""
        top = min(y for _, y in dark)
        left = min(x for x, y in dark if y < top + 14)
        subprocess.run(["xclip", "-selection", "primary", "-i", "/dev/null"], env=self.env, timeout=10,
                       check=False)
        self.xdotool("mousemove", "--window", window, "--sync", str(left), str(top + 6))
        self.xdotool("mousedown", "1")
        self.xdotool("mousemove", "--window", window, "--sync", str(width // 2), str(height // 2))
        self.xdotool("mousemove", "--window", window, "--sync", str(width - 3), str(height - 3))
        self.xdotool("mouseup", "1")
        time.sleep(0.2)
        r = subprocess.run(["xclip", "-o", "-selection", "primary"], env=self.env, capture_output=True, timeout=10)
        return r.stdout.decode(errors="replace") if r.returncode == 0 else ""

    def find_colour(self, window, rgb, tolerance=30, rows=None):
        """The middle (x, y) of the window's pixels within `tolerance` of the colour rgb (in its first
        `rows` rows when given), or None."""
        picture = Picture(self.env, window)
        xs, ys = [], []
        for y in range(min(picture.height, rows or picture.height)):
            line = picture.row(y)
            for x in range(picture.width):
                r, g, b = line[x * 3:x * 3 + 3]
                if abs(r - rgb[0]) <= tolerance and abs(g - rgb[1]) <= tolerance and abs(b - rgb[2]) <= tolerance:
                    xs.append(x)
                    ys.append(y)
        if len(xs) < 10:
            return None
        return (min(xs) + max(xs)) // 2, (min(ys) + max(ys)) // 2

    def column(self, x, y0, y1):
        """The colours (r, g, b) of the screen's pixels at column x from row y0 to y1."""
        r = subprocess.run(["import", "-window", "root", "-crop", "1x%d+%d+%d" % (y1 - y0, x, y0), "txt:-"],
                           env=self.env, capture_output=True, text=True, timeout=30)
        pixels = []
        for line in r.stdout.splitlines()[1:]:
            m = re.search(r":\s*\((\d+),(\d+),(\d+)", line)
            if m:
                pixels.append(tuple(int(v) for v in m.groups()))
        return pixels

    def selected_band(self, x, y0, y1):
        """The first and last screen row of the first band of selection colour (strong blue), at
        least 4 pixels high, in column x, or None. (The window manager's title bar is a paler blue.)"""
        blue = [b > 150 and b - r > 120 for r, g, b in self.column(x, y0, y1)]
        i = 0
        while i < len(blue):
            if blue[i]:
                last = i
                while last + 1 < len(blue) and blue[last + 1]:
                    last += 1
                if last - i >= 3:  # a row, not a line or a letter of blue text
                    return y0 + i, y0 + last
                i = last
            i += 1
        return None

    def selected_row_y(self, x, y0, y1):
        """The middle of the first band of selection colour (strong blue) in column x, or None."""
        band = self.selected_band(x, y0, y1)
        return None if band is None else (band[0] + band[1]) // 2

    def list_rows(self, x, y0, y1):
        """With the keyboard focus in a table: (rows listed, band of the first row), read from the
        selection the keys make; (0, None) while nothing can be selected. Ctrl+Home and Ctrl+End move
        to the first and last row without selecting; End and Home then move along the row and select
        it alone. The first row is left selected."""
        self.key("ctrl+End", "Home")
        last = self.selected_band(x, y0, y1)
        self.key("ctrl+Home", "End")
        first = self.selected_band(x, y0, y1)
        if first is None:
            return 0, None
        height = first[1] - first[0] + 1
        if last is None or height < 4:
            return 0, None
        return 1 + round((last[0] - first[0]) / height), first

    def wait_for_rows(self, count, x, y0, y1, seconds=30):
        """Waits (bounded) until a list with the keyboard focus holds `count` rows; the band of its
        first row, or None."""
        seen = wait_for(lambda: self.list_rows(x, y0, y1)[0] >= count and self.list_rows(x, y0, y1), seconds,
                        step=0.3)
        return seen[1] if seen and seen[0] == count else None


class WaylandDesktop(_Session):
    """A Wayland desktop with Xwayland: weston with its x11 backend on Xvfb (its window there gives it
    a keyboard and a pointer, a seat, so the clipboard works) and its Xwayland. self.env is the
    session as a desktop starts its programs (KDE starts Qt programs so): WAYLAND_DISPLAY and DISPLAY
    (Xwayland's) set, XDG_SESSION_TYPE=wayland, no QT_QPA_PLATFORM.

    Windows are found, named and pictured on Xwayland; keys and clicks go to weston's seat, through its
    window on Xvfb (self.outer_env), as a person's would. weston places X11 windows on its screen by
    itself: a window is found on the screen by its own picture (locate)."""

    unseen = "still running, with a Wayland window?"
    MARGIN = 40  # Xvfb's screen is this much larger than weston's window at (0, 0): room to leave it

    def __init__(self, width=1280, height=960):
        need("Xvfb", "weston", "Xwayland", "xdotool", "xwininfo", "import")
        super().__init__("quelvar-wayland-")
        self.width, self.height = width, height
        self.log = os.path.join(self.home, "weston.log")
        self.weston = None
        try:
            self._start()
        except BaseException:
            self.close()
            raise

    def _start(self):
        xvfb, outer = _start_xvfb(self.width + self.MARGIN, self.height + self.MARGIN)
        self.servers.append(xvfb)
        self.outer_env = dict(self.base_env, DISPLAY=outer)
        # The CPU renderer puts every window's pixels on the screen as they are, which finding a
        # window by its picture relies on (and it spares the machine a software GL). No panel: its
        # terminal launcher in the top-left corner would take a stray click and the focus.
        socket = "quelvar-wayland-%d" % os.getpid()
        config = os.path.join(self.home, "weston.ini")
        with open(config, "w") as f:
            f.write("[shell]\npanel-position=none\n")
        self.weston = subprocess.Popen(
            ["weston", "--backend=x11-backend.so", "--use-pixman", "--xwayland", "--config=" + config,
             "--idle-time=0", "--socket=" + socket, "--width=%d" % self.width, "--height=%d" % self.height,
             "--log=" + self.log],
            env=self.outer_env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        self.servers.insert(0, self.weston)
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
        self.env = dict(self.base_env, WAYLAND_DISPLAY=socket, DISPLAY=self.display, XDG_SESSION_TYPE="wayland",
                        XDG_CURRENT_DESKTOP="KDE")

    def log_text(self):
        try:
            with open(self.log, errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def close(self):
        m = re.search(r"Spawned Xwayland server, pid (\d+)", self.log_text())
        super().close()
        # weston ends its Xwayland; one that outlived it goes now.
        if m and _is_running(int(m.group(1)), "Xwayland"):
            os.kill(int(m.group(1)), signal.SIGKILL)

    # --- pictures: a window's own from Xwayland, the screen from Xvfb ---

    def picture(self, window):
        return Picture(self.env, window)

    def screen(self):
        return Picture(self.outer_env, "root")

    def screenshot(self, path):
        subprocess.run(["import", "-window", "root", path], env=self.outer_env, timeout=30, check=False)

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
            self.xdotool("key", "--clearmodifiers", k, env=self.outer_env)
            time.sleep(0.15)

    def pointer_at(self):
        """Where Xwayland has its pointer: (x, y, window under it), or None."""
        out = self.xdotool("getmouselocation", "--shell", check=False) or ""
        values = dict(line.split("=", 1) for line in out.splitlines() if "=" in line)
        try:
            return int(values["X"]), int(values["Y"]), values.get("WINDOW", "")
        except (KeyError, ValueError):
            return None

    def origin(self, window):
        """The window's top left corner on Xwayland's root, inside the frame weston puts around it
        (xwininfo's: xdotool's geometry is off by that frame here)."""
        out = subprocess.run(["xwininfo", "-id", window], env=self.env, capture_output=True, text=True,
                             timeout=20).stdout
        x = re.search(r"Absolute upper-left X:\s*(-?\d+)", out)
        y = re.search(r"Absolute upper-left Y:\s*(-?\d+)", out)
        if not x or not y:
            raise RuntimeError("xwininfo knows no window %s" % window)
        return int(x.group(1)), int(y.group(1))

    def point(self, window, place, x, y, tries=5):
        """The pointer onto the window's point (x, y), the window showing with its corner at `place`
        on the screen. weston's x11 backend takes the pointer's motions on its window as steps from
        where it saw the pointer last, so its pointer can drift from Xvfb's; entering its window from
        outside places it where the X server says. The pointer comes from outside weston's window each
        time, and counts as placed once Xwayland has it at that point of the window. The tries made
        (1 when the first one placed it), or fails the journey."""
        wx, wy = self.origin(window)
        target = (place[0] + x, place[1] + y)
        seen = None
        for attempt in range(1, tries + 1):
            self.xdotool("mousemove", "--sync", str(self.width + self.MARGIN // 2),
                         str(self.height + self.MARGIN // 2), env=self.outer_env)
            time.sleep(0.05)
            self.xdotool("mousemove", "--sync", str(target[0]), str(target[1]), env=self.outer_env)
            seen = wait_for(lambda: (lambda at: at if at and at[:2] == (wx + x, wy + y) else None)(self.pointer_at()),
                            2, step=0.05)
            if seen:
                return attempt
            seen = self.pointer_at()
        fail("the pointer did not reach point %d,%d of window %s (screen %d,%d) in %d tries; Xwayland has it at %s"
             " (screenshot in %s)" % (x, y, window, target[0], target[1], tries, seen, self.shot("pointer.png")))

    def click(self, window, place, x, y, double=False):
        """A click (or a double click) on the window's point (x, y) once the pointer is there; the
        tries the pointer took."""
        tries = self.point(window, place, x, y)
        time.sleep(0.1)
        self.xdotool("click", "--repeat", "2" if double else "1", "--delay", "80", "1", env=self.outer_env)
        time.sleep(0.2)
        return tries


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


def _is_running(pid, name):
    try:
        with open("/proc/%d/comm" % pid) as f:
            return f.read().strip() == name
    except OSError:
        return False


def end_downloaders(desk, title="^简易HTTP下载软件$"):
    """The simple downloaders the program started run in sessions of their own: each goes by its
    pid, before their display does."""
    for window in (desk.xdotool("search", "--name", title, check=False) or "").split():
        pid = desk.pid(window)
        if pid and _is_running(pid, "Dorrinel"):
            os.kill(pid, signal.SIGTERM)


# --- program folders, settings, served files, captures ---

_kept = []
_keep = False


@atexit.register
def _remove_kept():
    """The folders a journey made go with it, unless it failed (they hold its screenshots)."""
    for folder in _kept:
        if _keep and os.path.isdir(folder) and os.listdir(folder):
            print("kept: " + folder)
        else:
            shutil.rmtree(folder, ignore_errors=True)


def kept_folder(prefix):
    """A fresh folder, removed when the journey ends, kept when it failed."""
    folder = tempfile.mkdtemp(prefix=prefix)
    _kept.append(folder)
    return folder


def program_copy(bin_dir, names):
    """A fresh program folder: the named files of the build's bin folder, as a new user unpacks them:
    contents and modes, no extended attributes (so no file capabilities a build folder's capture
    helper may have been given). Removed when the journey ends, kept when it failed."""
    folder = kept_folder("quelvar-bin-")
    for n in names:
        target = os.path.join(folder, n)
        shutil.copyfile(os.path.join(bin_dir, n), target)
        shutil.copymode(os.path.join(bin_dir, n), target)
    return folder


class PlainUser:
    """A throwaway user without capture rights (no group of the program, no capabilities), made for
    the journey and removed after it; run() gives the command line that runs a program as that user,
    with every capability dropped. Needs root and useradd; skips the journey otherwise."""

    NAME = "qvjourney"

    def __init__(self):
        need_root("making a user without capture rights")
        need("useradd", "userdel", "setpriv")
        import pwd
        self.made = False
        try:
            entry = pwd.getpwnam(self.NAME)
        except KeyError:
            r = subprocess.run(["useradd", "--system", "--no-create-home", "--shell", "/usr/sbin/nologin",
                                "--user-group", self.NAME], capture_output=True, text=True, timeout=30)
            if r.returncode != 0:
                print("skipped: useradd failed: " + r.stderr.strip())
                sys.exit(SKIP)
            self.made = True
            entry = pwd.getpwnam(self.NAME)
        self.uid, self.gid = entry.pw_uid, entry.pw_gid
        r = subprocess.run(self.run(["grep", "^CapEff", "/proc/self/status"]), capture_output=True, text=True,
                           timeout=30)
        if r.returncode != 0:
            self.close()
            print("skipped: setpriv cannot drop to the user here: " + r.stderr.strip())
            sys.exit(SKIP)
        if r.stdout.split() != ["CapEff:", "0000000000000000"]:
            self.close()
            fail("the user still holds capabilities: " + r.stdout.strip())

    def own(self, *paths):
        """The folders (and all they hold) given to the user, as a home and an unpacked program are."""
        for top in paths:
            for folder, dirs, files in os.walk(top):
                for n in [folder] + [os.path.join(folder, f) for f in dirs + files]:
                    os.lchown(n, self.uid, self.gid)

    def run(self, argv):
        return ["setpriv", "--reuid=%d" % self.uid, "--regid=%d" % self.gid, "--clear-groups",
                "--inh-caps=-all", "--bounding-set=-all", "--", *argv]

    def close(self):
        if self.made:
            subprocess.run(["userdel", self.NAME], capture_output=True, timeout=30)


class BoxWatch:
    """Every top-level window that comes up on the desktop while it runs, as the window manager lists
    them (xprop -spy on the root's _NET_CLIENT_LIST): its title and process when it came, and whether
    it went. A journey marks the windows it answers; a box that went without an answer closed by
    itself."""

    def __init__(self, desk):
        need("xprop")
        self.desk = desk
        self.lock = threading.Lock()
        self.seen = {}  # window id (int) -> {"title", "pid", "came", "went", "answered"}
        self.spy = subprocess.Popen(["xprop", "-root", "-spy", "_NET_CLIENT_LIST"], env=desk.env,
                                    stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        current = set()
        for line in self.spy.stdout:
            ids = {int(v, 16) for v in re.findall(r"0x[0-9a-fA-F]+", line)}
            now = time.monotonic()
            for w in ids - current:
                title = self.desk.title(str(w))
                with self.lock:
                    self.seen[w] = {"title": title, "pid": self.desk.pid(str(w)), "came": now, "went": None,
                                    "answered": False}
            for w in current - ids:
                with self.lock:
                    if w in self.seen:
                        self.seen[w]["went"] = now
            current = ids

    def answered(self, window):
        with self.lock:
            if int(window) in self.seen:
                self.seen[int(window)]["answered"] = True

    def boxes(self, title, pid=None):
        """The windows of that title (a regular expression) seen so far, in the order they came."""
        with self.lock:
            found = [dict(v, id=k) for k, v in self.seen.items()
                     if re.search(title, v["title"]) and (pid is None or v["pid"] == pid)]
        return sorted(found, key=lambda v: v["came"])

    def closed_by_themselves(self, title, pid=None):
        return [b for b in self.boxes(title, pid) if b["went"] is not None and not b["answered"]]

    def close(self):
        self.spy.terminate()
        self.spy.wait(timeout=10)


def answer_boxes(desk, process, quiet_for, seconds, watch=None, box="^Quelvar$"):
    """Reads (Desktop.box_text) and answers with Return every message box of the process, until none
    has come for `quiet_for` seconds (bounded by `seconds`, else the journey fails): [(text, when it was
    answered, by time.monotonic())]. Answered boxes are marked on the BoxWatch `watch`."""
    answered = []
    quiet_since = time.monotonic()
    deadline = quiet_since + seconds
    while time.monotonic() < deadline:
        if process.poll() is not None:
            fail("the program ended (status %s) after %d boxes" % (process.returncode, len(answered)))
        boxes = desk.windows(box, pid=process.pid)
        if not boxes:
            if time.monotonic() - quiet_since > quiet_for:
                return answered
            time.sleep(0.2)
            continue
        time.sleep(0.5)  # a person reads it
        text = desk.box_text(boxes[0])
        if watch:
            watch.answered(boxes[0])
        desk.key("Return", window=boxes[0])
        if not wait_for(lambda: boxes[0] not in desk.windows(box, pid=process.pid), 10):
            fail("Return did not answer the box %r (screenshot in %s)" % (text, desk.shot("unanswered.png")))
        quiet_since = time.monotonic()
        answered.append((text, quiet_since))
    fail("boxes kept coming for %d s: %r" % (seconds, [t for t, _ in answered]))


def clipboard(desk):
    """The text on the display's clipboard (xclip), or None when there is none."""
    r = subprocess.run(["xclip", "-o", "-selection", "clipboard"], env=desk.env, capture_output=True, timeout=10)
    return r.stdout.decode(errors="replace") if r.returncode == 0 else None


def quiet_settings(folder):
    """The folder's settings start no capture by themselves and name an adapter every Linux machine
    has (lo): no message at start."""
    ini = os.path.join(folder, "setting.ini")
    with open(ini, "rb") as f:
        text = f.read()
    text = text.replace(b"autoRun=1", b"autoRun=0").replace(b"[system]\r\n", b"[system]\r\nAdaptorName=lo\r\n", 1)
    with open(ini, "wb") as f:
        f.write(text)
    return ini


class _Quiet(http.server.SimpleHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass


class _QuietServer(http.server.ThreadingHTTPServer):
    """A client that goes before its answer is whole (a player that has read enough) is no error."""

    def handle_error(self, request, client_address):
        if not isinstance(sys.exc_info()[1], (ConnectionResetError, BrokenPipeError)):
            super().handle_error(request, client_address)


class Served:
    """Files served over HTTP on 127.0.0.1: random bytes, {name: size}, and files made elsewhere,
    files={name: bytes}; close() ends the server."""

    def __init__(self, sizes, files=None):
        self.dir = tempfile.mkdtemp(prefix="quelvar-served-")
        self.bodies = dict(files or {})
        for name, size in sizes.items():
            self.bodies[name] = os.urandom(size)
        for name in self.bodies:
            with open(os.path.join(self.dir, name), "wb") as f:
                f.write(self.bodies[name])
        self._names = {hashlib.sha256(b).hexdigest(): n for n, b in self.bodies.items()}
        self.server = _QuietServer(("127.0.0.1", 0), functools.partial(_Quiet, directory=self.dir))
        self.port = self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def url(self, name):
        return "http://127.0.0.1:%d/%s" % (self.port, name)

    def fetch(self, name):
        """The file fetched by a real client (curl)."""
        subprocess.run(["curl", "-s", "-o", "/dev/null", self.url(name)], check=True, timeout=30)

    def copies(self, root):
        """The files under root equal byte for byte to a served one: sorted (path, name)."""
        sizes = {len(b) for b in self.bodies.values()}
        found = []
        for folder, _, files in os.walk(root):
            for n in files:
                p = os.path.join(folder, n)
                if os.path.islink(p) or not os.path.isfile(p) or n.endswith(".part") or os.path.getsize(p) not in sizes:
                    continue
                with open(p, "rb") as f:
                    name = self._names.get(hashlib.sha256(f.read()).hexdigest())
                if name:
                    found.append((p, name))
        return sorted(found)

    def close(self):
        self.server.shutdown()
        shutil.rmtree(self.dir, ignore_errors=True)


def tcpdump(interface, path, expression, seconds=20):
    """tcpdump writing `path`, started and waited for until it says it is listening (bounded)."""
    p = subprocess.Popen(["tcpdump", "-i", interface, "-U", "-s", "0", "-w", path, expression],
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    said = b""
    deadline = time.monotonic() + seconds
    while b"listening on" not in said and time.monotonic() < deadline:
        ready, _, _ = select.select([p.stderr], [], [], max(0.0, deadline - time.monotonic()))
        if not ready:
            break
        chunk = os.read(p.stderr.fileno(), 4096)
        if not chunk:
            break
        said += chunk
    if b"listening on" not in said:
        p.kill()
        p.wait(timeout=10)
        fail("tcpdump did not start listening: " + said.decode(errors="replace").strip())
    return p


def stop_tcpdump(p):
    p.terminate()
    p.wait(timeout=10)


def capture_fetches(served, names, path):
    """A capture on lo (tcpdump) of the named files fetched by curl, in that order; waits (bounded)
    until every request and the whole answers are in the file."""
    dump = tcpdump("lo", path, "tcp port %d" % served.port)
    for name in names:
        served.fetch(name)

    def captured():
        with open(path, "rb") as f:
            data = f.read()
        return (all(b"GET /%s " % n.encode() in data for n in names)
                and len(data) > sum(len(served.bodies[n]) for n in names))

    if not wait_for(captured, 20):
        fail("tcpdump did not write the requests and their answers")
    stop_tcpdump(dump)


def fail(message):
    global _keep
    _keep = True
    print("FAILED: " + message)
    sys.exit(1)
