#!/usr/bin/env python3
"""Runs each HTTP/3 capture of tests/tls/captures through quelvar-scan with its key log and checks the list
against the requests the client made (the .requests file beside it): every request is listed with its
whole address and the server's address and port as its remote, and the closing counts add up. Without
--keylog no request path is listed.

usage: check_quic_captures.py QUELVAR_SCAN CAPTURES_DIR SETTINGS_INI WORK_DIR"""
import collections
import os
import re
import subprocess
import sys

scan, captures, settings, work = sys.argv[1:5]
os.makedirs(work, exist_ok=True)
# Every file type listed: the check is about addresses, not the table.
table = re.sub(rb"([=|])0\.", rb"\g<1>1.", open(settings, "rb").read())
all_types = os.path.join(work, "setting.ini")
with open(all_types, "wb") as f:
    f.write(table)

COUNTS = re.compile(r"^(\d+) TLS connections, (\d+) decrypted, (\d+) without keys, (\d+) failed$", re.M)
failures = []
names = sorted(n[:-5] for n in os.listdir(captures) if n.startswith("quic_") and n.endswith(".keys"))
if not names:
    sys.exit("no QUIC captures in " + captures)
for name in names:
    pcap = os.path.join(captures, name + ".pcap")
    expected = collections.Counter()
    for line in open(os.path.join(captures, name + ".requests"), encoding="utf-8"):
        if line.startswith("#") or not line.strip():
            continue
        method, authority, path = line.split()
        expected["https://%s%s" % (authority, path)] += 1
    run = subprocess.run([scan, "--read", pcap, "--keylog", os.path.join(captures, name + ".keys"), "--settings",
                          all_types, "--duplicates", "--no-https-hosts"], capture_output=True, text=True)
    if run.returncode != 0:
        failures.append("%s: exit %d: %s" % (name, run.returncode, run.stderr))
        continue
    listed = collections.Counter()
    for row in run.stdout.splitlines():
        fields = row.split("\t")
        if fields[3] != "127.0.0.1:4433":
            failures.append("%s: remote %s for %s" % (name, fields[3], fields[2]))
        listed[fields[2]] += 1
    missing = expected - listed
    if missing:
        failures.append("%s: not listed: %s" % (name, sorted(missing)))
    extra = listed - expected
    if extra:
        failures.append("%s: listed but never requested: %s" % (name, sorted(extra)))
    m = COUNTS.search(run.stderr)
    if not m:
        failures.append("%s: no counts line in %r" % (name, run.stderr))
        continue
    n, dec, without, failed = map(int, m.groups())
    if n != dec + without + failed or failed != 0 or dec < 1:
        failures.append("%s: counts %s" % (name, m.group(0)))
    print("%s: %d listed of %d requested; %s" % (name, sum((expected & listed).values()), sum(expected.values()),
                                                 m.group(0)))
    plain = subprocess.run([scan, "--read", pcap, "--settings", all_types, "--duplicates", "--no-https-hosts"],
                           capture_output=True, text=True)
    if plain.stdout.strip():
        failures.append("%s: without --keylog: %r" % (name, plain.stdout))
for f in failures:
    print("FAIL", f)
sys.exit(1 if failures else 0)
