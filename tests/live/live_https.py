#!/usr/bin/env python3
"""Live HTTPS on the loopback adapter: quelvar-scan captures on "lo" with a key log that is empty when
the capture starts, while curl (SSLKEYLOGFILE set to that file) fetches over HTTPS from a local server
(Python's ssl over http.server, a throwaway self-signed certificate). The keys are written as curl
connects, so the capture must follow the file and read the records it held. A second fetch, without
SSLKEYLOGFILE, must give no path and be counted as without keys.

usage: live_https.py QUELVAR_SCAN SETTINGS_FILE      (exit 77: skipped, with the reason)"""
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time

SKIP = 77


def packet_socket_inodes():
    with open("/proc/net/packet") as f:
        next(f)
        return {line.split()[-1] for line in f if line.split()}


def wait_capturing(pid, timeout=20.0):
    """Waits until the process `pid` or one of its children holds a packet socket, that is until the
    capture has opened the adapter (a fixed pause is too short on a loaded machine)."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        pids = [str(pid)]
        try:
            with open(f"/proc/{pid}/task/{pid}/children") as f:
                pids += f.read().split()
        except OSError:
            pass
        held = set()
        for p in pids:
            try:
                for fd in os.listdir(f"/proc/{p}/fd"):
                    link = os.readlink(f"/proc/{p}/fd/{fd}")
                    if link.startswith("socket:["):
                        held.add(link[8:-1])
            except OSError:
                pass
        if held & packet_socket_inodes():
            time.sleep(0.3)  # the filter is attached just after the socket opens
            return True
        time.sleep(0.05)
    return False

SERVER = r'''
import http.server, ssl, sys
port, cert, key, root = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
handler = lambda *a, **k: http.server.SimpleHTTPRequestHandler(*a, directory=root, **k)
httpd = http.server.ThreadingHTTPServer(("127.0.0.1", port), handler)
ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
ctx.load_cert_chain(cert, key)
httpd.socket = ctx.wrap_socket(httpd.socket, server_side=True)
httpd.serve_forever()
'''


def main():
    scan, settings = sys.argv[1], sys.argv[2]
    for tool in ("curl", "openssl"):
        if not shutil.which(tool):
            print(f"SKIPPED: {tool} is not installed")
            return SKIP
    probe = subprocess.run([scan, "--interface", "lo", "--count", "1", "--seconds", "1"], capture_output=True)
    if probe.returncode != 0:
        print("SKIPPED: live capture is not permitted here:", probe.stderr.decode(errors="replace").strip())
        return SKIP

    work = tempfile.mkdtemp()
    os.chmod(work, 0o700)
    cert, key, keylog = (os.path.join(work, n) for n in ("cert.pem", "key.pem", "keys"))
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                    "-subj", "/CN=localhost", "-keyout", key, "-out", cert, "-days", "1"],
                   check=True, capture_output=True)
    os.makedirs(os.path.join(work, "www", "v"))
    with open(os.path.join(work, "www", "v", "clip.mp4"), "wb") as f:
        f.write(bytes(5000))
    fd = os.open(keylog, os.O_CREAT | os.O_WRONLY, 0o600)
    os.close(fd)
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    server = subprocess.Popen([sys.executable, "-c", SERVER, str(port), cert, key, os.path.join(work, "www")],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    capture = None
    try:
        for _ in range(100):
            try:
                socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
                break
            except OSError:
                time.sleep(0.05)
        capture = subprocess.Popen([scan, "--interface", "lo", "--local", "127.0.0.2", "--seconds", "30",
                                    "--settings", settings, "--keylog", keylog],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        if not wait_capturing(capture.pid):
            print("FAIL the capture did not open lo within 20 s")
            return 1
        base = f"https://localhost:{port}"
        env = dict(os.environ, SSLKEYLOGFILE=keylog)
        subprocess.run(["curl", "-sk", "-o", os.devnull, "--interface", "127.0.0.2", "--resolve",
                        f"localhost:{port}:127.0.0.1", base + "/v/clip.mp4?live=1"], check=True, env=env)
        env.pop("SSLKEYLOGFILE")
        subprocess.run(["curl", "-sk", "-o", os.devnull, "--interface", "127.0.0.2", "--resolve",
                        f"localhost:{port}:127.0.0.1", base + "/v/clip.mp4?nokey=1"], check=True, env=env)
        time.sleep(3.0)
        capture.send_signal(2)
        out, err = capture.communicate(timeout=20)
    finally:
        server.terminate()
        server.wait()
        if capture and capture.poll() is None:
            capture.kill()
        shutil.rmtree(work, ignore_errors=True)

    out, err = out.decode(), err.decode(errors="replace")
    print(out, end="")
    rows = [line.split("\t") for line in out.splitlines()]
    failures = []
    if capture.returncode != 0:
        failures.append("quelvar-scan failed: " + err)
    want = ["视频文件", "本机→→网络", f"https://localhost:{port}/v/clip.mp4?live=1", f"127.0.0.1:{port}"]
    if want not in rows:
        failures.append("missing row: " + "\t".join(want))
    if any("nokey" in r[2] for r in rows if len(r) > 2):
        failures.append("a path from the connection without keys was listed")
    m = re.search(r"^(\d+) TLS connections, (\d+) decrypted, (\d+) without keys, (\d+) failed$", err, re.M)
    if not m or [int(x) for x in m.groups()] != [2, 1, 1, 0]:
        failures.append("counts: " + (m.group(0) if m else err))
    for f in failures:
        print("FAIL", f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
