#!/usr/bin/env python3
"""The cost of reading HTTPS with a key log: quelvar-scan --keylog against the same scan without it, over
a large capture made by repeating a small Chromium HTTP/2 capture (each repetition another client port, so
every TLS connection is a new one; the key log serves them all, since a repetition keeps its
ClientHello randoms). Also the peak memory (max RSS) at two capture sizes: it must not grow with the
capture.

    bench/https/https_bench.py QUELVAR_SCAN [--frames N] [--runs R] [--capture PCAP --keys KEYS [--local ADDR]]
                               [--baseline OTHER_SCAN]

--capture times another capture (with its key log, --keys) in place of the Chromium HTTP/2 one: a
little-endian pcap of Ethernet frames whose first TCP frame is the client's, repeated as above (each
repetition another client port) until --frames is reached; a capture already larger than that is
read once as it is (--frames 0 does the same for any capture), and its first quarter for the memory
figure. The local address is the sender of the capture's first TCP frame unless --local gives it.

Each command runs once to warm the page cache, then R times, taking turns; the report gives the medians
of wall and CPU time and their ratio. With --baseline, another build (the one before a change) runs the
same commands in the same turns, so that the load of a shared machine falls on both alike."""
import argparse
import os
import statistics
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
CAPTURES = os.path.join(HERE, "..", "..", "tests", "tools", "captures")


def read_records(source):
    data = open(source, "rb").read()
    if data[:4] != b"\xd4\xc3\xb2\xa1":
        sys.exit("a little-endian pcap with microseconds is needed: " + source)
    if struct.unpack_from("<I", data, 20)[0] != 1:
        sys.exit("a capture of Ethernet frames is needed: " + source)
    header, records, pos = data[:24], [], 24
    while pos + 16 <= len(data):
        sec, usec, incl, orig = struct.unpack_from("<IIII", data, pos)
        records.append((sec + usec / 1e6, bytearray(data[pos + 16:pos + 16 + incl]), orig))
        pos += 16 + incl
    return header, records


def client_address(source):
    """The sender of the capture's first TCP frame over IPv4 (the client's SYN), dotted."""
    for _, frame, _ in read_records(source)[1]:
        if frame[12:14] == b"\x08\x00" and frame[23] == 6:
            return ".".join(str(b) for b in frame[26:30])
    sys.exit("no TCP over IPv4 in " + source)


def first_records(source, out, count):
    """The capture's first `count` frames as they are."""
    header, records = read_records(source)
    with open(out, "wb") as f:
        f.write(header)
        for t, frame, orig in records[:count]:
            f.write(struct.pack("<IIII", int(t), int(round((t % 1) * 1e6)) % 1000000, len(frame), orig))
            f.write(frame)
    return min(count, len(records))


def repeat(source, out, frames):
    header, records = read_records(source)
    if frames <= len(records):
        # Large enough already: read as it is.
        with open(out, "wb") as f:
            f.write(open(source, "rb").read())
        return len(records), 1
    start, span = records[0][0], records[-1][0] - records[0][0] + 0.001
    client = None
    written = 0
    with open(out, "wb") as f:
        f.write(header)
        k = 0
        while written < frames:
            for t, frame, orig in records:
                if frame[12:14] != b"\x08\x00" or frame[23] != 6:
                    continue
                fr = bytearray(frame)
                ihl = (fr[14] & 15) * 4
                src, dst = bytes(fr[26:30]), bytes(fr[30:34])
                if client is None:
                    client = src  # the capture's first TCP frame is the client's SYN
                # Another client port per repetition.
                port_at = 14 + ihl + (0 if src == client else 2)
                port = (struct.unpack_from(">H", fr, port_at)[0] + k * 7) % 30000 + 20000
                struct.pack_into(">H", fr, port_at, port)
                ts = t - start + k * span
                f.write(struct.pack("<IIII", int(ts), int((ts % 1) * 1e6), len(fr), orig))
                f.write(fr)
                written += 1
            k += 1
    return written, k


def run_once(cmd):
    t0 = time.perf_counter()
    p = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, ru = os.wait4(p.pid, 0)
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit("failed: " + " ".join(cmd))
    return time.perf_counter() - t0, ru.ru_utime + ru.ru_stime


def peak_memory(cmd):
    """Max RSS in MB, from GNU time (a forked Python's own pages would count in wait4's figure)."""
    r = subprocess.run(["/usr/bin/time", "-f", "%M"] + cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                       text=True)
    return int(r.stderr.strip().splitlines()[-1]) / 1024


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("scan")
    ap.add_argument("--frames", type=int, default=400000)
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--capture", "--source", dest="capture", default=os.path.join(CAPTURES, "https_chromium_h2.pcap"))
    ap.add_argument("--keys", default=os.path.join(CAPTURES, "https_chromium_h2.keys"))
    ap.add_argument("--local", help="the client's address (default: the sender of the capture's first TCP frame)")
    ap.add_argument("--baseline", help="another quelvar-scan, run in the same turns")
    a = ap.parse_args()
    work = tempfile.mkdtemp()
    big, small = os.path.join(work, "big.pcap"), os.path.join(work, "quarter.pcap")
    frames, reps = repeat(a.capture, big, a.frames)
    if reps > 1:
        repeat(a.capture, small, a.frames // 4)
    else:
        first_records(a.capture, small, frames // 4)
    local = a.local or client_address(a.capture)
    print("capture: %d frames, %d repetitions of %s (%.0f MB)" % (frames, reps, os.path.basename(a.capture),
                                                                  os.path.getsize(big) / 1e6))
    scans = [("", a.scan)] + ([("baseline ", a.baseline)] if a.baseline else [])
    cmds = {}
    for label, scan in scans:
        base = [scan, "--read", big, "--local", local, "--no-https-hosts"]
        cmds[label + "without --keylog"] = base
        cmds[label + "with --keylog"] = base + ["--keylog", a.keys]
        cmds[label + "with --keylog, a quarter of the capture"] = [scan, "--read", small, "--local", local,
                                                                     "--no-https-hosts", "--keylog", a.keys]
    counts = subprocess.run(cmds["with --keylog"], capture_output=True, text=True).stderr.strip().splitlines()[-1]
    print("with --keylog:", counts)
    results = {k: [] for k in cmds}
    for k, c in cmds.items():
        run_once(c)
    for _ in range(a.runs):
        for k, c in cmds.items():
            results[k].append(run_once(c))
    med = {k: (statistics.median(r[0] for r in v), statistics.median(r[1] for r in v), peak_memory(cmds[k]))
           for k, v in results.items()}
    for k, (w, c, rss) in med.items():
        print("%-51s wall %.3f s  cpu %.3f s  max RSS %.1f MB" % (k, w, c, rss))
    for label, _ in scans:
        w0, c0, _ = med[label + "without --keylog"]
        w1, c1, _ = med[label + "with --keylog"]
        print("%sratio with/without --keylog: wall %.2fx, cpu %.2fx (medians of %d runs)" % (label, w1 / w0, c1 / c0,
                                                                                              a.runs))
    print("load average at the end: %.1f %.1f %.1f" % os.getloadavg())
    for p in (big, small):
        os.remove(p)
    os.rmdir(work)


if __name__ == "__main__":
    main()
