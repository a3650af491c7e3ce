#!/usr/bin/env python3
"""Dorrinel's peak memory when the network is faster than the disk.

A loopback server sends as fast as it can; Dorrinel writes its file through its slow-disk hook
(DORRINEL_BENCH_DISK_BYTES_PER_SECOND: each write takes as long as on a disk of that speed). Two
cases: an endless body without length or ranges, and a large file from a server that takes ranges.
Each run lasts SECONDS and is then ended with SIGTERM; its peak resident memory (VmHWM) is read just
before. Prints one line per run and the medians.

usage: run_dorrinel_memory_bench.py [--build DIR] [--runs N] [--seconds S] [--disk-mb-per-s R]
"""
import argparse
import os
import signal
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def status_kb(pid, key):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith(key + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def folder_bytes(path):
    try:
        return sum(os.path.getsize(os.path.join(path, n)) for n in os.listdir(path))
    except OSError:
        return 0


def run_once(dorrinel, url, work, seconds, rate):
    folder = tempfile.mkdtemp(dir=work)
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen", DORRINEL_BENCH_DISK_BYTES_PER_SECOND=str(rate))
    err = open(os.path.join(folder, "stderr"), "w+")
    p = subprocess.Popen([dorrinel, "--dir", os.path.join(folder, "dl"), url], env=env,
                         stdout=subprocess.DEVNULL, stderr=err)
    start = time.monotonic()
    rss_at = {}
    peak = 0
    while time.monotonic() - start < seconds and p.poll() is None:
        time.sleep(0.05)
        peak = max(peak, status_kb(p.pid, "VmHWM"))
        for mark in (1, seconds // 2, seconds - 1):
            if mark not in rss_at and time.monotonic() - start >= mark:
                rss_at[mark] = status_kb(p.pid, "VmRSS")
    peak = max(peak, status_kb(p.pid, "VmHWM"))
    ended_early = p.poll() is not None
    written = folder_bytes(os.path.join(folder, "dl"))  # what the disk took in the run's time
    p.send_signal(signal.SIGTERM)
    try:
        p.wait(timeout=30)
    except subprocess.TimeoutExpired:
        p.kill()
        p.wait()
    err.seek(0)
    log = err.read()
    err.close()
    subprocess.run(["rm", "-rf", folder], check=False)
    return {
        "peak_mb": peak / 1024,
        "rss_mb": {k: v / 1024 for k, v in sorted(rss_at.items())},
        "written_mb": written / 1e6,
        "pauses": log.count("暂停接收"),
        "ended_early": ended_early,
        "error": next((l for l in log.splitlines() if l.startswith("Dorrinel: error:")), ""),
    }


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default=os.path.join(HERE, "..", "..", "build"))
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--seconds", type=int, default=12)
    ap.add_argument("--disk-mb-per-s", type=float, default=23, help="the slow disk's speed, MB/s (default 23)")
    ap.add_argument("--cases", default="endless,ranges")
    args = ap.parse_args()
    dorrinel = os.path.join(args.build, "bin", "Dorrinel")
    if not os.access(dorrinel, os.X_OK):
        sys.exit(f"no {dorrinel}: build first")
    rate = int(args.disk_mb_per_s * 1e6)
    with tempfile.TemporaryDirectory(prefix="dorrinel-memory.") as work:
        port_file = os.path.join(work, "port")
        server = subprocess.Popen([sys.executable, os.path.join(HERE, "memory_server.py"), port_file])
        try:
            for _ in range(100):
                if os.path.exists(port_file) and os.path.getsize(port_file) > 0:
                    break
                time.sleep(0.05)
            port = int(open(port_file).read())
            urls = {"endless": f"http://127.0.0.1:{port}/endless",
                    "ranges": f"http://127.0.0.1:{port}/ranges/{16 << 30}"}
            print(f"disk {args.disk_mb_per_s:g} MB/s, {args.seconds} s a run, {args.runs} runs")
            print(f"{'case':<9} {'run':>3} {'peak RSS MB':>12} {'RSS MB at 1 s / mid / end':>28} {'on disk MB':>11} {'pauses':>7}")
            medians = {}
            for case in args.cases.split(","):
                peaks = []
                for run in range(1, args.runs + 1):
                    r = run_once(dorrinel, urls[case], work, args.seconds, rate)
                    peaks.append(r["peak_mb"])
                    marks = " / ".join(f"{v:.0f}" for v in r["rss_mb"].values())
                    note = "  (ended early: " + r["error"] + ")" if r["ended_early"] else ""
                    print(f"{case:<9} {run:>3} {r['peak_mb']:>12.1f} {marks:>28} {r['written_mb']:>11.0f} {r['pauses']:>7}{note}",
                          flush=True)
                medians[case] = statistics.median(peaks)
            for case, m in medians.items():
                print(f"median peak RSS, {case}: {m:.1f} MB")
        finally:
            server.kill()
            server.wait()


if __name__ == "__main__":
    main()
