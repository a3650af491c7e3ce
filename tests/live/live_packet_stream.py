#!/usr/bin/env python3
"""Live packet list on the loopback adapter: rows reach a pipe while the capture runs, and a reader that
goes away ends the capture at once, with status 0 and nothing on standard error but the frame counts.

1. quelvar-scan --interface lo --mode packets, its output a pipe: one UDP datagram is sent and its row
   must come through the pipe while the capture still runs (long before --seconds ends it).
2. The reader of that pipe goes away, no frame follows: the capture ends by itself.
3. The same as a shell pipeline, `quelvar-scan ... | head -1`, while datagrams keep coming.

Only rows holding a token of this run are listed (--contains), so other traffic on lo does not matter.

usage: live_packet_stream.py QUELVAR_SCAN      (exit 77: skipped, with the reason)"""
import os
import re
import select
import signal
import socket
import subprocess
import sys
import time
import uuid

SKIP = 77
COUNTS = re.compile(r"^\d+ frames received, \d+ dropped by the kernel, \d+ by the interface$")


def capture_permitted(scan):
    probe = subprocess.run([scan, "--interface", "lo", "--count", "1", "--seconds", "1"], capture_output=True)
    return probe.returncode == 0, probe.stderr.decode(errors="replace").strip()


def send(token, port):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.2", 0))
        s.sendto(token.encode(), ("127.0.0.1", port))


def noise(err):
    """The lines of standard error other than the frame counts."""
    return [l for l in err.decode(errors="replace").splitlines() if not COUNTS.match(l)]


def wait_exit(proc, seconds):
    try:
        proc.wait(timeout=seconds)
        return True
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
        return False


def main():
    scan = sys.argv[1]
    ok, why = capture_permitted(scan)
    if not ok:
        print("SKIPPED: live capture is not permitted here:", why)
        return SKIP
    failures = []
    token = "qvstream-" + uuid.uuid4().hex
    port = 9  # discard: nothing needs to listen, the datagram is captured on its way
    args = [scan, "--interface", "lo", "--mode", "packets", "--local", "127.0.0.2", "--protocol", "udp",
            "--contains", token, "--seconds", "60"]

    # 1 and 2: a pipe read here.
    err_path = "/tmp/live_packet_stream.%d.err" % os.getpid()
    with open(err_path, "wb") as err_file:
        proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=err_file)
    try:
        time.sleep(1.5)  # the capture is open
        line = b""
        deadline = time.monotonic() + 15
        while not line.endswith(b"\n") and time.monotonic() < deadline:
            send(token, port)
            ready, _, _ = select.select([proc.stdout], [], [], 1.0)
            if ready:
                chunk = os.read(proc.stdout.fileno(), 4096)
                if not chunk:
                    break
                line += chunk
        fields = line.decode(errors="replace").split("\n")[0].split("\t")
        if len(fields) != 5 or fields[0] != "UDP" or fields[1] != "本机→→网络" or token not in fields[2]:
            failures.append("no row while the capture ran: %r" % line[:300])
        if proc.poll() is not None:
            failures.append("the capture ended before its reader went away (status %s)" % proc.returncode)
        proc.stdout.close()  # the reader goes away; no frame follows
        t0 = time.monotonic()
        if not wait_exit(proc, 20):
            failures.append("the capture went on after its reader had gone")
        else:
            print("ended %.2f s after its reader went away, status %d" % (time.monotonic() - t0, proc.returncode))
            if proc.returncode != 0:
                failures.append("status %d after the reader went away" % proc.returncode)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    with open(err_path, "rb") as f:
        extra = noise(f.read())
    os.remove(err_path)
    if extra:
        failures.append("standard error: %r" % extra)

    # 3: quelvar-scan ... | head -1 in a shell.
    quoted = " ".join("'%s'" % a for a in args)
    shell = subprocess.Popen(["bash", "-c", "set -o pipefail; %s 2>%s | head -1" % (quoted, err_path)],
                             stdout=subprocess.PIPE, start_new_session=True)
    deadline = time.monotonic() + 20
    while shell.poll() is None and time.monotonic() < deadline:
        send(token, port)
        time.sleep(0.1)
    if shell.poll() is None:
        failures.append("`| head -1` did not end the capture")
        os.killpg(shell.pid, signal.SIGKILL)  # the shell and the capture
    out = shell.stdout.read()
    shell.wait()
    with open(err_path, "rb") as f:
        extra = noise(f.read())
    os.remove(err_path)
    print("| head -1:", out[:200])
    if shell.returncode != 0:
        failures.append("`| head -1`: pipeline status %s" % shell.returncode)
    if out.count(b"\n") != 1 or token.encode() not in out:
        failures.append("`| head -1` printed %r" % out[:300])
    if extra:
        failures.append("`| head -1`: standard error %r" % extra)

    for f in failures:
        print("FAILED:", f)
    print("%d failed" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
