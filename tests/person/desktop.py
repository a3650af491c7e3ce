"""A desktop for journeys through the real programs: an X server (Xvfb), a window manager (openbox),
and keys, clicks and window queries through xdotool (XTEST), as a person at the screen would give
them. Every wait is bounded."""

import atexit
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SKIP = 77  # the test runner's code for a journey that cannot run here


def need(*programs):
    missing = [p for p in programs if shutil.which(p) is None]
    if missing:
        print("skipped: not installed: " + ", ".join(missing))
        sys.exit(SKIP)


class Desktop:
    def __init__(self, width=1280, height=1024):
        need("Xvfb", "openbox", "xdotool")
        self.procs = []
        self.home = tempfile.mkdtemp(prefix="quelvar-person-")
        read_fd, write_fd = os.pipe()
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "%dx%dx24" % (width, height), "-nolisten", "tcp"],
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
        self.display = ":" + number.decode().strip()
        self.env = dict(os.environ)
        for k in ("QT_QPA_PLATFORM", "WAYLAND_DISPLAY", "XDG_SESSION_TYPE"):
            self.env.pop(k, None)
        self.env.update({
            "DISPLAY": self.display,
            "HOME": self.home,
            "XDG_CONFIG_HOME": os.path.join(self.home, ".config"),
            "XDG_STATE_HOME": os.path.join(self.home, ".local/state"),
            "XDG_DATA_HOME": os.path.join(self.home, ".local/share"),
            "XDG_CACHE_HOME": os.path.join(self.home, ".cache"),
            "XDG_DOWNLOAD_DIR": os.path.join(self.home, "Downloads"),
            "XDG_RUNTIME_DIR": os.path.join(self.home, "runtime"),
        })
        os.makedirs(self.env["XDG_RUNTIME_DIR"], mode=0o700)
        os.makedirs(self.env["XDG_DOWNLOAD_DIR"])
        self.wm = self.start(["openbox", "--sm-disable"], quiet=True)
        time.sleep(0.8)  # openbox takes the screen

    # --- processes ---

    def start(self, argv, cwd=None, quiet=False, env=None):
        e = dict(self.env)
        if env:
            e.update(env)
        out = subprocess.DEVNULL if quiet else None
        p = subprocess.Popen(argv, cwd=cwd, env=e, stdout=out, stderr=out, start_new_session=True)
        self.procs.append(p)
        return p

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
        self.xvfb.terminate()
        try:
            self.xvfb.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self.xvfb.kill()
        shutil.rmtree(self.home, ignore_errors=True)

    # --- xdotool ---

    def xdotool(self, *args, check=True):
        r = subprocess.run(["xdotool", *args], env=self.env, capture_output=True, text=True, timeout=20)
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

    def geometry(self, window):
        out = self.xdotool("getwindowgeometry", "--shell", window)
        values = dict(line.split("=", 1) for line in out.splitlines() if "=" in line)
        return int(values["X"]), int(values["Y"]), int(values["WIDTH"]), int(values["HEIGHT"])

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

    def screenshot(self, path):
        if shutil.which("import"):
            subprocess.run(["import", "-window", "root", path], env=self.env, timeout=30, check=False)

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
        seen = self.wait_for(lambda: self.list_rows(x, y0, y1)[0] >= count and self.list_rows(x, y0, y1), seconds,
                             step=0.3)
        return seen[1] if seen and seen[0] == count else None

    @staticmethod
    def wait_for(condition, seconds, step=0.2):
        deadline = time.monotonic() + seconds
        while True:
            value = condition()
            if value:
                return value
            if time.monotonic() >= deadline:
                return value
            time.sleep(step)


_copies = []
_keep_copies = False


@atexit.register
def _remove_copies():
    """The program folders a journey made go with it, unless it failed (they hold its screenshots)."""
    for folder in _copies:
        if _keep_copies:
            print("kept: " + folder)
        else:
            shutil.rmtree(folder, ignore_errors=True)


def program_copy(bin_dir, names):
    """A fresh program folder: the named files of the build's bin folder, as a new user unpacks them.
    Removed when the journey ends, kept when it failed."""
    folder = tempfile.mkdtemp(prefix="quelvar-bin-")
    _copies.append(folder)
    for n in names:
        shutil.copy2(os.path.join(bin_dir, n), os.path.join(folder, n))
    return folder


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


def fail(message):
    global _keep_copies
    _keep_copies = True
    print("FAILED: " + message)
    sys.exit(1)
