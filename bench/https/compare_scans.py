#!/usr/bin/env python3
"""Runs two quelvar-scan builds over every capture found under the given folders, with and without
--keylog, with repeated addresses listed again (--duplicates) and moved (--no-duplicates), and reports
every capture whose output (rows and the closing line on standard error) differs.
A change made for speed must leave both outputs byte-identical.

    bench/https/compare_scans.py OLD_SCAN NEW_SCAN DIR [DIR...] [--settings FILE]

A capture is read with the key log of the same name beside it (NAME.keys) when there is one, else with
every key log found, so that captures without their own keys are read with --keylog as well."""
import argparse
import os
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor


def captures(dirs):
    found = []
    for d in dirs:
        for root, _, files in os.walk(d):
            for f in files:
                if f.endswith((".pcap", ".pcapng", ".cap")) or ".pcap" in f:
                    found.append(os.path.join(root, f))
    return sorted(found)


def keylogs(dirs):
    return sorted(os.path.join(root, f) for d in dirs for root, _, files in os.walk(d) for f in files
                  if f.endswith(".keys"))


def run(scan, args):
    r = subprocess.run([scan] + args, capture_output=True, timeout=300)
    return r.returncode, r.stdout, r.stderr


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("old")
    ap.add_argument("new")
    ap.add_argument("dirs", nargs="+")
    ap.add_argument("--settings")
    a = ap.parse_args()
    all_keys = keylogs(a.dirs)
    jobs = []
    for pcap in captures(a.dirs):
        base = os.path.splitext(pcap)[0]
        own = base + ".keys"
        keys = [own] if os.path.exists(own) else all_keys
        for repeat in ("--duplicates", "--no-duplicates"):
            common = ["--read", pcap, repeat, "--https-hosts"]
            if a.settings:
                common += ["--settings", a.settings]
            jobs.append((pcap, "without --keylog, " + repeat, common))
            jobs.append((pcap, "with --keylog, " + repeat, common + [x for k in keys for x in ("--keylog", k)]))

    def compare(job):
        pcap, label, args = job
        old, new = run(a.old, args), run(a.new, args)
        return (pcap, label, old == new, old[1].count(b"\n"))

    differ = []
    rows = 0
    with ThreadPoolExecutor(max_workers=2) as pool:
        for pcap, label, same, n in pool.map(compare, jobs):
            rows += n
            if not same:
                differ.append("%s (%s)" % (pcap, label))
    print("%d scans of %d captures compared (%d rows); %d differ" % (len(jobs), len(jobs) // 4, rows, len(differ)))
    for d in differ:
        print("  differs:", d)
    sys.exit(1 if differ else 0)


if __name__ == "__main__":
    main()
