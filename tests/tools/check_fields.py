#!/usr/bin/env python3
"""Runs every capture file under a folder (sub-folders included) through quelvar-scan in both work modes,
with and without --raw, and checks that the output is safe for a terminal and for the programs that read
it: every line holds exactly the fields of its mode (URL list 4, packet list 5), and no byte below 0x20
other than the TAB between fields, nor 0x7F, is printed.

usage: check_fields.py QUELVAR_SCAN FOLDER"""
import concurrent.futures
import os
import subprocess
import sys

FIELDS = {"url": 4, "packets": 5}
CONTROL = set(range(0x20)) - {0x09} | {0x7F}


def problems_in(out, mode):
    """The first few faults of one run's output."""
    found = []
    if out and not out.endswith(b"\n"):
        found.append("output does not end with a line end")
    for n, line in enumerate(out.split(b"\n")[:-1] if out else [], 1):
        fields = line.count(b"\t") + 1
        if fields != FIELDS[mode]:
            found.append(f"line {n}: {fields} fields: {line[:120]!r}")
        bad = sorted({b for b in line if b in CONTROL})
        if bad:
            found.append(f"line {n}: control bytes {bad} printed raw: {line[:120]!r}")
        if len(found) >= 3:
            break
    return found


def run(scan, path, mode, raw):
    cmd = [scan, "--read", path, "--mode", mode, "--duplicates", "--settings", "/nonexistent/setting.ini"]
    if raw:
        cmd.append("--raw")
    try:
        r = subprocess.run(cmd, capture_output=True, timeout=120)
    except subprocess.TimeoutExpired:
        return ["hang"], 0
    found = problems_in(r.stdout, mode)
    if r.returncode not in (0, 1):
        found.append(f"status {r.returncode}: {r.stderr.decode(errors='replace')[-500:]}")
    return found, r.stdout.count(b"\n")


def main():
    scan, folder = sys.argv[1], sys.argv[2]
    paths = sorted(os.path.join(d, n) for d, _, names in os.walk(folder) for n in names
                   if not n.startswith("README"))
    combos = [(p, m, raw) for p in paths for m in FIELDS for raw in (False, True)]
    bad = lines = 0
    with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
        for (path, mode, raw), (found, count) in zip(combos, pool.map(lambda c: run(scan, *c), combos)):
            lines += count
            if found:
                bad += 1
                print(f"FAIL {os.path.relpath(path, folder)} ({mode}{', raw' if raw else ''}):")
                for f in found:
                    print("    ", f)
    print(f"{len(paths)} files, {lines} lines checked")
    print(f"{len(combos) - bad} passed, {bad} failed")
    return 1 if bad or not paths else 0


if __name__ == "__main__":
    sys.exit(main())
