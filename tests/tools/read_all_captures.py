#!/usr/bin/env python3
"""Reads every capture file under a folder with quelvar-scan in both work modes. Each run must end by
itself with status 0 (read) or 1 (the file cannot be read, said on standard error): never a crash, a
sanitizer report or a hang.

usage: read_all_captures.py QUELVAR_SCAN FOLDER"""
import concurrent.futures
import os
import subprocess
import sys

SANITIZER_STATUS = 86


def run(scan, path, mode):
    env = dict(os.environ)
    env["ASAN_OPTIONS"] = f"exitcode={SANITIZER_STATUS}:detect_leaks=1"
    env["UBSAN_OPTIONS"] = f"halt_on_error=1:exitcode={SANITIZER_STATUS}:print_stacktrace=1"
    try:
        r = subprocess.run([scan, "--read", path, "--mode", mode, "--duplicates"], capture_output=True,
                           timeout=120, env=env)
    except subprocess.TimeoutExpired:
        return path, mode, "hang", b""
    ok = r.returncode == 0 or (r.returncode == 1 and r.stderr.strip() and r.stderr.count(b"\n") == 1)
    return path, mode, None if ok else f"status {r.returncode}", r.stderr


def main():
    scan, folder = sys.argv[1], sys.argv[2]
    paths = sorted(os.path.join(folder, n) for n in os.listdir(folder) if not n.startswith("README"))
    bad = 0
    with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
        jobs = [pool.submit(run, scan, p, m) for p in paths for m in ("url", "packets")]
        for job in jobs:
            path, mode, problem, err = job.result()
            if problem:
                bad += 1
                print(f"FAIL {os.path.basename(path)} ({mode}): {problem}")
                print(err.decode(errors="replace")[-2000:])
    print(f"{2 * len(paths) - bad} passed, {bad} failed")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
