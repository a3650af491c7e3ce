#!/usr/bin/env python3
"""Times commands for run_scan_bench.sh and prints the report.

    bench/time_commands.py --runs N --frames F --big BIG --small SMALL --scan QUELVAR_SCAN
                           --baseline PCAP_LOOP_BASELINE --local ADDR

Every command runs once to warm the page cache, then N times; its output goes to /dev/null. The runs
take turns (one run of each command per round), so that a machine whose speed drifts during the
benchmark slows every command alike and the ratios stay fair. For each run the wall time and the CPU
time (user + system, from wait4) are taken; the report gives their medians. CPU time is shown beside
wall time because it is less disturbed by other load on the machine.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time


def run_once(cmd):
    t0 = time.perf_counter()
    p = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, ru = os.wait4(p.pid, 0)
    wall = time.perf_counter() - t0
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit("failed (%s): %s" % (os.waitstatus_to_exitcode(status), " ".join(cmd)))
    return wall, ru.ru_utime + ru.ru_stime


def timed(cases, runs):
    """Medians (wall, CPU) per case name; the runs of the commands alternate."""
    for _, cmd in cases:
        run_once(cmd)
    walls = {name: [] for name, _ in cases}
    cpus = {name: [] for name, _ in cases}
    for _ in range(runs):
        for name, cmd in cases:
            w, c = run_once(cmd)
            walls[name].append(w)
            cpus[name].append(c)
    return {name: (statistics.median(walls[name]), statistics.median(cpus[name])) for name, _ in cases}


def rows_and_peak(cmd):
    """Rows printed (lines of output) and peak resident memory in KiB of one run. Measured through
    /usr/bin/time: the rusage of a child of this script would count the script's own pages, which the
    child holds between fork and exec."""
    with tempfile.NamedTemporaryFile(mode="r") as rss:
        p = subprocess.Popen(["/usr/bin/time", "-f", "%M", "-o", rss.name] + cmd, stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL)
        rows = sum(chunk.count(b"\n") for chunk in iter(lambda: p.stdout.read(1 << 20), b""))
        if p.wait() != 0:
            sys.exit("failed: " + " ".join(cmd))
        return rows, int(rss.read().split()[-1])


def main():
    ap = argparse.ArgumentParser()
    for a in ("--big", "--small", "--scan", "--baseline", "--local"):
        ap.add_argument(a, required=True)
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--frames", type=int, required=True)
    a = ap.parse_args()

    scan_url = [a.scan, "--read", a.big, "--local", a.local]
    cases = [
        ("bare libpcap loop (floor)", [a.baseline, a.big]),
        ("quelvar-scan, URL mode", scan_url),
        ("quelvar-scan, packet-list mode", scan_url + ["--mode", "packets"]),
    ]
    if shutil.which("tshark"):
        cases.append(("tshark -Y http.request", ["tshark", "-r", a.big, "-Y", "http.request"]))
    if shutil.which("httpry"):
        cases.append(("httpry", ["httpry", "-r", a.big]))

    print("timing %d runs of each command on %d frames ..." % (a.runs, a.frames), file=sys.stderr)
    for name, cmd in cases:
        print("  " + " ".join(os.path.basename(cmd[0]) if i == 0 else c for i, c in enumerate(cmd)), file=sys.stderr)
    res = timed(cases, a.runs)

    base_w, base_c = res["bare libpcap loop (floor)"]
    url_w, url_c = res["quelvar-scan, URL mode"]
    print("\nmedians of %d runs on %d frames       wall            CPU (user+sys)" % (a.runs, a.frames))
    for name, _ in cases:
        w, c = res[name]
        line = "  %-32s %8.1f ms %5.0f ns/frame %8.1f ms" % (name, w * 1e3, w / a.frames * 1e9, c * 1e3)
        if name.startswith("quelvar-scan"):
            line += "   scan/baseline %.2fx wall, %.2fx CPU" % (w / base_w, c / base_c)
        elif name.startswith("tshark"):
            line += "   tshark/scan %.1fx wall, %.1fx CPU" % (w / url_w, c / url_c)
        elif name == "httpry":
            line += "   httpry/scan %.2fx wall, %.2fx CPU" % (w / url_w, c / url_c)
        print(line)
    for tool in ("tshark", "httpry"):
        if not shutil.which(tool):
            print("  %s not installed (scripts/install-deps.sh --bench)" % tool)

    print("\ntargets (wall medians)")
    print("  URL mode within 2x of the bare loop:  %-6s %.2fx" % ("met" if url_w <= 2 * base_w else "MISSED", url_w / base_w))
    if "tshark -Y http.request" in res:
        t = res["tshark -Y http.request"][0]
        print("  at least 20x faster than tshark:      %-6s %.1fx" % ("met" if t >= 20 * url_w else "MISSED", t / url_w))

    if not os.access("/usr/bin/time", os.X_OK):
        print("\npeak memory not measured: /usr/bin/time is missing (Debian package time)")
        return
    print("\npeak resident memory of quelvar-scan: rows listed / peak RSS")
    small_frames = a.frames // 10
    print("  %-22s %22s %22s" % ("", "%d frames" % small_frames, "%d frames" % a.frames))
    for label, extra in (("URL mode", []), ("URL mode, duplicates", ["--duplicates"]),
                         ("packet-list mode", ["--mode", "packets"])):
        cells = []
        for f in (a.small, a.big):
            rows, kib = rows_and_peak([a.scan, "--read", f, "--local", a.local] + extra)
            cells.append("%8d / %7.1f MiB" % (rows, kib / 1024))
        print("  %-22s %22s %22s" % (label, cells[0], cells[1]))
    rows, kib = rows_and_peak([a.baseline, a.big])
    print("  %-22s %22s %22s" % ("bare libpcap loop", "", "       - / %7.1f MiB" % (kib / 1024)))


if __name__ == "__main__":
    main()
