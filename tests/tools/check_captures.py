#!/usr/bin/env python3
"""Runs every capture of the shared folder through quelvar-scan and checks that the URL list names every
GET and POST request whose request line and Host header stand in one packet.

usage: check_captures.py QUELVAR_SCAN CAPTURES_DIR"""
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(__file__))
import pcapread  # noqa: E402

# The local host of each capture, as the folder's README names it.
LOCAL = {
    "http_google.pcapng": "172.16.16.128",
    "http_post.pcapng": "172.16.16.128",
    "http_dvwa_clearlogin.pcapng": "10.2.2.101",
    "http_dvwa_sqlinjection.pcapng": "10.2.2.101",
    "http_espn_fail.pcapng": "172.16.16.154",
}


def requests(path):
    """(source address, address) of each request whose line and Host header are in one TCP payload."""
    found = []
    for link, f in pcapread.frames(path):
        if link != 1 or len(f) < 54 or f[12:14] != b"\x08\x00" or f[23] != 6:
            continue
        ihl = (f[14] & 15) * 4
        tcp = 14 + ihl
        doff = (f[tcp + 12] >> 4) * 4
        payload = f[tcp + doff:]
        if not (payload.startswith(b"GET ") or payload.startswith(b"POST ")):
            continue
        head = payload.split(b"\r\n\r\n", 1)[0].split(b"\r\n")
        if len(head) < 2:
            continue
        parts = head[0].split(b" ")
        if len(parts) < 3:
            continue
        target = b" ".join(parts[1:-1]).strip()
        hosts = [h[5:].strip() for h in head[1:] if h.startswith(b"Host:")]
        if not hosts:
            continue
        addr = target if b"://" in head[0] else b"http://" + hosts[0] + target
        found.append((".".join(str(b) for b in f[26:30]), addr.decode("latin-1")))
    return found


def check(scan, path, name, expected, local):
    cmd = [scan, "--read", path, "--settings", "/nonexistent/setting.ini", "--raw"]
    if local:
        cmd += ["--local", local]
    run = subprocess.run(cmd, capture_output=True)
    listed = set()
    for line in run.stdout.split(b"\n"):
        if line:
            listed.add(line.split(b"\t")[2].decode("latin-1").replace("\\\\", "\\"))
    missing = sorted({a for _, a in expected} - listed)
    ok = run.returncode == 0 and not missing
    print(f"{'ok  ' if ok else 'FAIL'} {name} (local {local or 'inferred'}): exit {run.returncode}, "
          f"{len(expected)} requests, {len(listed)} rows, {len(missing)} missing")
    for m in missing[:10]:
        print("     missing:", m)
    if run.stderr:
        print("     stderr:", run.stderr.decode(errors="replace").strip())
    return ok


def main():
    scan, folder = sys.argv[1], sys.argv[2]
    failures = 0
    files = sorted(n for n in os.listdir(folder) if n.endswith((".pcap", ".pcapng")))
    for name in files:
        path = os.path.join(folder, name)
        expected = requests(path)
        local = LOCAL.get(name)
        if local is None and expected:
            local = expected[0][0]  # no handshake captured: the requesting host is the local one
        # Once with the local host named above, once with the one inferred from the handshakes.
        for given in (local, None):
            failures += not check(scan, path, name, expected, given)
    print(f"{2 * len(files) - failures} passed, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
