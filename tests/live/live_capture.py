#!/usr/bin/env python3
"""Live capture on the loopback adapter: a real HTTP server and a real client. The client fetches an .mp3
and an HTML page that links a .jpg; quelvar-scan, capturing on "lo", must list both with the right
category, direction and remote text.

The server listens on 127.0.0.1; the client sends from 127.0.0.2, which is the one address given as
local, so requests are outbound and the page comes in.

usage: live_capture.py QUELVAR_SCAN SETTINGS_FILE      (exit 77: skipped, with the reason)"""
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time

SKIP = 77


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def capture_permitted(scan):
    probe = subprocess.run([scan, "--interface", "lo", "--count", "1", "--seconds", "1"], capture_output=True)
    return probe.returncode == 0, probe.stderr.decode(errors="replace").strip()


def main():
    scan, settings = sys.argv[1], sys.argv[2]
    if not shutil.which("curl"):
        print("SKIPPED: curl is not installed")
        return SKIP
    ok, why = capture_permitted(scan)
    if not ok:
        print("SKIPPED: live capture is not permitted here:", why)
        return SKIP

    port = free_port()
    base = f"http://127.0.0.1:{port}"
    site = tempfile.mkdtemp()
    os.makedirs(os.path.join(site, "img"))
    with open(os.path.join(site, "song.mp3"), "wb") as f:
        f.write(b"ID3" + bytes(2000))
    with open(os.path.join(site, "img", "pic.jpg"), "wb") as f:
        f.write(b"\xff\xd8\xff" + bytes(100))
    with open(os.path.join(site, "index.html"), "w") as f:
        f.write(f'<html><body><img src="{base}/img/pic.jpg"> a picture</body></html>\n')

    server = subprocess.Popen([sys.executable, "-m", "http.server", str(port), "--bind", "127.0.0.1",
                               "--directory", site], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    capture = None
    try:
        for _ in range(100):  # wait for the server to listen
            try:
                socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
                break
            except OSError:
                time.sleep(0.05)
        capture = subprocess.Popen([scan, "--interface", "lo", "--local", "127.0.0.2", "--seconds", "30",
                                    "--settings", settings], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        time.sleep(1.5)  # the capture is open before the client starts
        for path in ("/song.mp3", "/index.html"):
            subprocess.run(["curl", "-s", "-o", os.devnull, "--interface", "127.0.0.2", base + path], check=True)
        time.sleep(3.0)  # the last frames are handled, also on a loaded machine
        capture.send_signal(2)  # SIGINT ends the capture and prints the list
        out, err = capture.communicate(timeout=20)
    finally:
        server.terminate()
        server.wait()
        if capture and capture.poll() is None:
            capture.kill()
        shutil.rmtree(site, ignore_errors=True)

    rows = [line.split("\t") for line in out.decode().splitlines()]
    print("\n".join("\t".join(r) for r in rows))
    if capture.returncode != 0:
        print("quelvar-scan failed:", err.decode(errors="replace"))
        return 1
    remote = f"127.0.0.1:{port}"
    expected = [
        ["音频文件", "本机→→网络", f"{base}/song.mp3", remote],
        ["图片文件", "网络→→本机", f"{base}/img/pic.jpg", remote],
    ]
    missing = [e for e in expected if e not in rows]
    # When the capture ends the library's frame counts are reported on standard error.
    counts = re.search(r"^(\d+) frames received, (\d+) dropped by the kernel, (\d+) by the interface$",
                       err.decode(errors="replace"), re.M)
    if not counts or int(counts.group(1)) < 10:
        print("no frame counts on standard error:", err.decode(errors="replace"))
        return 1
    # The page itself is a known type that is not listed.
    unexpected = [r for r in rows if len(r) > 2 and r[2].endswith("index.html")]
    for m in missing:
        print("missing row:", "\t".join(m))
    for u in unexpected:
        print("unexpected row:", "\t".join(u))
    print(f"{len(expected) - len(missing)} passed, {len(missing) + len(unexpected)} failed")
    return 1 if missing or unexpected else 0


if __name__ == "__main__":
    sys.exit(main())
