#!/usr/bin/env python3
"""Peak resident memory and wall time of `quelvar-scan --read FILE --mode packets` on large captures.

    bench/scan_memory/scan_memory_bench.py [--runs N] [--passes 400,2000] [--data DIR] [SCAN ...]

SCAN: one or more quelvar-scan executables (default: build/bin/quelvar-scan of this checkout), e.g. a
build of the previous commit beside this one, so that both are measured in the same period on the same
files. For each number of passes the source capture (default ../shared/captures/http_espn_fail.pcapng,
569 frames) is repeated that many times with rising timestamps (bench/make_big_capture.py) into DIR
(default $TMPDIR/quelvar-scan-memory; nothing is written into the sources; the files are kept for the
next run). Each executable reads each file once with its output hashed (all must print the same rows),
then RUNS rounds in which every executable reads every file once with its output sent to /dev/null,
under /usr/bin/time (wall time, CPU time, peak RSS). The report gives the medians; on a machine shared with other work the
CPU time is the steadier of the two times.
"""
import argparse
import hashlib
import os
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.dirname(HERE))
import make_big_capture  # noqa: E402  (bench/make_big_capture.py)


def frames_of(path):
    with open(path, "rb") as f:
        data = f.read()
    endian = "<" if data[8:12] == b"\x4d\x3c\x2b\x1a" else ">"
    return sum(1 for t, _ in make_big_capture.blocks(data, endian) if t in (make_big_capture.EPB, make_big_capture.SPB))


def timed_run(cmd):
    """(wall seconds, CPU seconds (user + system), peak RSS in KiB) of one run, its output thrown away."""
    with tempfile.NamedTemporaryFile(mode="r") as out:
        p = subprocess.run(["/usr/bin/time", "-f", "%e %U %S %M", "-o", out.name] + cmd, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
        if p.returncode != 0:
            sys.exit("failed (%d): %s" % (p.returncode, " ".join(cmd)))
        wall, user, system, rss = out.read().split()[-4:]
        return float(wall), float(user) + float(system), int(rss)


def hashed_run(cmd):
    """(rows, sha256 of the output) of one run."""
    p = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    digest, rows = hashlib.sha256(), 0
    for chunk in iter(lambda: p.stdout.read(1 << 20), b""):
        digest.update(chunk)
        rows += chunk.count(b"\n")
    if p.wait() != 0:
        sys.exit("failed: " + " ".join(cmd))
    return rows, digest.hexdigest()


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("scan", nargs="*", default=[os.path.join(ROOT, "build/bin/quelvar-scan")])
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--passes", default="400,2000")
    ap.add_argument("--source", default=os.path.join(ROOT, "../shared/captures/http_espn_fail.pcapng"))
    ap.add_argument("--data", default=os.path.join(tempfile.gettempdir(), "quelvar-scan-memory"))
    a = ap.parse_args()

    per_pass = frames_of(a.source)
    os.makedirs(a.data, exist_ok=True)
    files = []
    for passes in (int(p) for p in a.passes.split(",")):
        frames = passes * per_pass
        path = os.path.join(a.data, "%s-x%d.pcapng" % (os.path.splitext(os.path.basename(a.source))[0], passes))
        if not os.path.exists(path) or frames_of(path) != frames:
            subprocess.run([sys.executable, os.path.join(ROOT, "bench/make_big_capture.py"), a.source, path,
                            "--frames", str(frames)], check=True)
        files.append((frames, path))

    print("== output check (one run each, output hashed)", file=sys.stderr)
    for frames, path in files:
        seen = {}
        for scan in a.scan:
            seen[scan] = hashed_run([scan, "--read", path, "--mode", "packets"])
            print("  %s, %d frames: %d rows, sha256 %s" % (scan, frames, seen[scan][0], seen[scan][1][:16]),
                  file=sys.stderr)
        if len(set(seen.values())) != 1:
            sys.exit("the executables print different rows for " + path)

    walls = {(s, p): [] for s in a.scan for _, p in files}
    cpus = {(s, p): [] for s in a.scan for _, p in files}
    peaks = {(s, p): [] for s in a.scan for _, p in files}
    for r in range(a.runs):
        print("== round %d of %d" % (r + 1, a.runs), file=sys.stderr)
        for _, path in files:
            for scan in a.scan:
                wall, cpu, rss = timed_run([scan, "--read", path, "--mode", "packets"])
                walls[(scan, path)].append(wall)
                cpus[(scan, path)].append(cpu)
                peaks[(scan, path)].append(rss)

    print("quelvar-scan --read FILE --mode packets > /dev/null: medians of %d runs (load average %s)"
          % (a.runs, " ".join("%.1f" % l for l in os.getloadavg())))
    print("| executable | frames | wall | CPU (user+sys) | peak RSS | runs (wall s) |")
    print("|---|---|---|---|---|---|")
    for frames, path in files:
        for scan in a.scan:
            w, c, p = walls[(scan, path)], cpus[(scan, path)], peaks[(scan, path)]
            print("| %s | %d | %.2f s | %.2f s | %.1f MB | %s |"
                  % (scan, frames, statistics.median(w), statistics.median(c), statistics.median(p) / 1024,
                     " ".join("%.2f" % x for x in w)))


if __name__ == "__main__":
    main()
