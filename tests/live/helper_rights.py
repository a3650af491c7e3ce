#!/usr/bin/env python3
"""The capture helper as an installed system runs it: a copy with the capabilities cap_net_raw and
cap_net_admin, mode 0750 for root and a group, started by a user of that group who holds no rights
of their own. Traffic goes to the loopback adapter only.

- it captures on lo and writes a pcap stream, and holds no capability once the adapter is open;
- it opens nothing but network adapters (netfilter queues and logs, D-Bus, USB and Bluetooth
  monitors are refused with one line and status 1, rights or not);
- a reader that goes away ends it with status 0; any other failed write (a file at its size limit)
  with status 1 and the reason;
- quelvar-scan of that user captures through it, its --buffer passed on.

Needs root to make the user (useradd, when absent) and to set the capabilities (setcap).

usage: helper_rights.py QUELVAR_CAPTURE QUELVAR_SCAN SETTINGS_FILE      (exit 77: skipped, with the reason)"""
import grp
import os
import pwd
import select
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

SKIP = 77
USER = "qvcaptest"
GROUP = "qvcaptest-rights"
REFUSED = ["nfqueue:7", "nflog:5", "dbus-system", "dbus://unix:path=/x", "dbus://unixexec:path=/x", "usbmon0",
           "bluetooth0", "lo/../lo"]


def ensure_user():
    """The user and the group of the helper; an explanation when they cannot be had."""
    for cmd in (["groupadd", "--system", GROUP], ["useradd", "--system", "--no-create-home", "--shell",
                                                    "/usr/sbin/nologin", "-G", GROUP, USER]):
        if not shutil.which(cmd[0]):
            return f"{cmd[0]} is missing"
    try:
        grp.getgrnam(GROUP)
    except KeyError:
        r = subprocess.run(["groupadd", "--system", GROUP], capture_output=True, text=True)
        if r.returncode != 0:
            return "groupadd failed: " + r.stderr.strip()
    try:
        pwd.getpwnam(USER)
    except KeyError:
        r = subprocess.run(["useradd", "--system", "--no-create-home", "--shell", "/usr/sbin/nologin", "-G", GROUP,
                            USER], capture_output=True, text=True)
        if r.returncode != 0:
            return "useradd failed: " + r.stderr.strip()
    if USER not in grp.getgrnam(GROUP).gr_mem:
        r = subprocess.run(["usermod", "-a", "-G", GROUP, USER], capture_output=True, text=True)
        if r.returncode != 0:
            return "usermod failed: " + r.stderr.strip()
    return None


class Traffic:
    """UDP datagrams to a closed port of 127.0.0.1, every 10 ms, while it runs."""

    def __enter__(self):
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()
        return self

    def run(self):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            while not self.stop.is_set():
                s.sendto(b"quelvar helper test", ("127.0.0.1", 9))
                self.stop.wait(0.01)

    def __exit__(self, *exc):
        self.stop.set()
        self.thread.join()


def read_exactly(f, n, deadline):
    data = b""
    while len(data) < n:
        if not select.select([f], [], [], max(0.0, deadline - time.monotonic()))[0]:
            break
        chunk = os.read(f.fileno(), n - len(data))
        if not chunk:
            break
        data += chunk
    return data


def finish(p):
    """Its standard error once it has ended; killed after 20 s, so that a helper that never ends fails
    the check instead of hanging the test."""
    try:
        _, err = p.communicate(timeout=20)
    except subprocess.TimeoutExpired:
        p.kill()
        _, err = p.communicate()
    return err.decode(errors="replace")


def caps(pid):
    with open(f"/proc/{pid}/status") as f:
        return {k: v.strip() for k, v in (line.split(":", 1) for line in f if line.startswith("Cap"))}


def main():
    source, scan, settings = sys.argv[1:4]
    if os.geteuid() != 0:
        print("SKIPPED: needs root, to make the test user and to set the helper's capabilities")
        return SKIP
    if not shutil.which("setcap") or not shutil.which("setpriv") or not shutil.which("prlimit"):
        print("SKIPPED: setcap (libcap2-bin), setpriv or prlimit (util-linux) is missing")
        return SKIP
    why = ensure_user()
    if why:
        print("SKIPPED: the test user cannot be had:", why)
        return SKIP

    folder = tempfile.mkdtemp(prefix="qv_helper_rights_")
    failures = []

    def check(what, ok, detail=""):
        print(("ok    " if ok else "FAIL  ") + what)
        if not ok:
            print("      " + str(detail).replace("\n", "\n      "))
            failures.append(what)

    try:
        os.chmod(folder, 0o755)
        helper = os.path.join(folder, "quelvar-capture")
        shutil.copy(source, helper)
        os.chown(helper, 0, grp.getgrnam(GROUP).gr_gid)
        os.chmod(helper, 0o750)
        r = subprocess.run(["setcap", "cap_net_raw,cap_net_admin=eip", helper], capture_output=True, text=True)
        if r.returncode != 0:
            print("SKIPPED: setcap failed here:", r.stderr.strip())
            return SKIP
        as_user = ["setpriv", f"--reuid={USER}", f"--regid={GROUP}", "--init-groups", "--inh-caps=-all"]

        def start(args, **kw):
            return subprocess.Popen(as_user + [helper] + args, stderr=subprocess.PIPE, **kw)

        # The user's own rights: none (so what the helper does, it does with its file capabilities).
        own = subprocess.run(as_user + ["grep", "^CapEff", "/proc/self/status"], capture_output=True, text=True)
        check("the test user holds no capability", own.stdout.split() == ["CapEff:", "0000000000000000"], own.stdout)

        # A capture on lo: the stream, and no capability left once the adapter is open.
        with Traffic():
            p = start(["--interface", "lo"], stdout=subprocess.PIPE)
            deadline = time.monotonic() + 20
            header = read_exactly(p.stdout, 24, deadline)
            if len(header) < 24 and p.poll() is not None:
                err = p.stderr.read().decode(errors="replace").strip()
                if "no permission" in err:
                    print("SKIPPED: file capabilities do not take effect here:", err)
                    return SKIP
            check("a group member captures on lo: the stream begins with a pcap header",
                  header[:4] in (b"\xd4\xc3\xb2\xa1", b"\xa1\xb2\xc3\xd4"), header)
            held = caps(p.pid) if p.poll() is None else {}
            check("the helper holds no capability while it captures",
                  held.get("CapEff") == "0000000000000000" and held.get("CapPrm") == "0000000000000000", held)
            frames = 0
            while frames < 3:
                record = read_exactly(p.stdout, 16, deadline)
                if len(record) < 16:
                    break
                caplen = struct.unpack("<IIII" if header[:4] == b"\xd4\xc3\xb2\xa1" else ">IIII", record)[2]
                if len(read_exactly(p.stdout, caplen, deadline)) < caplen:
                    break
                frames += 1
            check("frames of lo come through the stream", frames == 3, f"{frames} frames")
            p.terminate()
            _, err = p.communicate(timeout=20)
            err = err.decode(errors="replace")
            check("SIGTERM ends it with status 0 and its frame counts",
                  p.returncode == 0 and "frames received" in err, f"status {p.returncode}: {err}")

        # Every other source libpcap knows is refused, even with the rights in hand.
        for name in REFUSED:
            r = subprocess.run(as_user + [helper, "--interface", name], capture_output=True, timeout=20)
            err = r.stderr.decode(errors="replace")
            check(f"{name} is refused with one line and status 1",
                  r.returncode == 1 and err.startswith(f"quelvar-capture: cannot capture on {name}: ")
                  and err.count("\n") == 1, f"status {r.returncode}: {err}")

        # The reader goes away: status 0, no message but the counts.
        with Traffic():
            p = start(["--interface", "lo"], stdout=subprocess.PIPE)
            read_exactly(p.stdout, 24, time.monotonic() + 20)
            p.stdout.close()
            err = finish(p)
            lines = [line for line in err.splitlines() if "frames received" not in line]
            check("a reader that goes away (EPIPE) ends it with status 0", p.returncode == 0 and not lines,
                  f"status {p.returncode}: {err}")

        # A file at its size limit (EFBIG): the stream is cut short, which is a failure.
        out_file = os.path.join(folder, "stream.pcap")
        with Traffic(), open(out_file, "wb") as out:
            os.chown(out_file, pwd.getpwnam(USER).pw_uid, -1)
            p = subprocess.Popen(["prlimit", "--fsize=4096"] + as_user + [helper, "--interface", "lo"], stdout=out,
                                 stderr=subprocess.PIPE)
            err = finish(p)
            check("a write that fails otherwise (EFBIG) ends it with status 1 and the reason",
                  p.returncode == 1 and "quelvar-capture: cannot write the stream: File too large" in err,
                  f"status {p.returncode}: {err}")

        # quelvar-scan of the user, beside the helper as in a build folder: it captures through the helper.
        shutil.copy(scan, os.path.join(folder, "quelvar-scan"))
        shutil.copy(settings, os.path.join(folder, "setting.ini"))
        with Traffic():
            p = subprocess.Popen(as_user + [os.path.join(folder, "quelvar-scan"), "--interface", "lo", "--seconds", "3",
                                            "--buffer", "64"], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            helper_args = ""
            for _ in range(200):  # the helper, while it runs: the scan's child
                try:
                    with open(f"/proc/{p.pid}/task/{p.pid}/children") as f:
                        children = f.read().split()
                    if children:
                        # Between fork and exec the child still shows the scan's own command line.
                        with open(f"/proc/{children[0]}/cmdline", "rb") as f:
                            helper_args = f.read().replace(b"\0", b" ").decode().strip()
                        if helper_args.startswith(helper):
                            break
                except OSError:
                    pass
                time.sleep(0.02)
            _, err = p.communicate(timeout=60)
            err = err.decode(errors="replace")
        check("quelvar-scan of a group member captures through the helper",
              p.returncode == 0 and "frames received" in err, f"status {p.returncode}: {err}")
        check("its --buffer reaches the helper", helper_args == f"{helper} --interface lo --buffer 64", helper_args)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    print(f"{len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
