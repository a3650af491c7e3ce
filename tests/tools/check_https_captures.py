#!/usr/bin/env python3
"""Runs each HTTPS capture of tests/tools/captures through quelvar-scan with its key log and checks the
list against the server's access log: every request is listed with its whole address and the server's
address and port as its remote, once per request, and nothing else is listed; the request made without SSLKEYLOGFILE (its query holds "nokey") gives no
path; the closing counts add up, and count that connection as without keys. With every client secret altered no
request is listed and each keyed connection counts as failed. Without --keylog the same
capture lists no request path at all.

usage: check_https_captures.py QUELVAR_SCAN CAPTURES_DIR SETTINGS_INI WORK_DIR"""
import collections
import os
import re
import subprocess
import sys

scan, captures, settings, work = sys.argv[1:5]
os.makedirs(work, exist_ok=True)
# Every file type listed (the shipped table leaves pages out): the check is about addresses, not the table.
table = open(settings, "rb").read()
table = re.sub(rb"([=|])0\.", rb"\g<1>1.", table)
all_types = os.path.join(work, "setting.ini")
with open(all_types, "wb") as f:
    f.write(table)

COUNTS = re.compile(r"^(\d+) TLS connections, (\d+) decrypted, (\d+) without keys, (\d+) failed$", re.M)
failures = []
names = sorted(n[:-5] for n in os.listdir(captures) if n.startswith("https_") and n.endswith(".keys"))
if not names:
    sys.exit("no HTTPS captures in " + captures)
for name in names:
    pcap = os.path.join(captures, name + ".pcap")
    keys = os.path.join(captures, name + ".keys")
    expected = collections.Counter()
    nokey = []
    for line in open(os.path.join(captures, name + ".access.log"), encoding="utf-8"):
        url, server = line.split()
        addr, port = server.rsplit(":", 1)
        remote = ("[%s]" % addr if ":" in addr else addr) + ":" + port
        if port != "443":
            scheme, rest = url.split("://", 1)
            host, path = rest.split("/", 1)
            url = "%s://%s:%s/%s" % (scheme, host, port, path)
        if "nokey" in url:
            nokey.append(url)
        else:
            expected[(url, remote)] += 1
    run = subprocess.run([scan, "--read", pcap, "--keylog", keys, "--settings", all_types, "--duplicates",
                          "--no-https-hosts"], capture_output=True, text=True)
    if run.returncode != 0:
        failures.append("%s: exit %d: %s" % (name, run.returncode, run.stderr))
        continue
    listed = collections.Counter()
    for row in run.stdout.splitlines():
        fields = row.split("\t")
        listed[(fields[2], fields[3])] += 1
    missing = expected - listed
    if missing:
        failures.append("%s: not listed: %s" % (name, sorted(missing)))
    extra = listed - expected
    if extra:
        failures.append("%s: listed but not in the access log: %s" % (name, sorted(extra)))
    for url in nokey:
        path = url.split("://", 1)[1].split("/", 1)[1]
        if any(path in a for a, _ in listed):
            failures.append("%s: a path from a connection without keys was listed: %s" % (name, url))
    m = COUNTS.search(run.stderr)
    if not m:
        failures.append("%s: no counts line in %r" % (name, run.stderr))
        continue
    n, dec, without, failed = map(int, m.groups())
    if n != dec + without + failed or failed != 0 or (nokey and without < 1) or (not nokey and without != 0) or dec < 1:
        failures.append("%s: counts %s" % (name, m.group(0)))
    print("%s: %d listed of %d in the access log (%d without keys); %s" % (
        name, sum((expected & listed).values()), sum(expected.values()), len(nokey), m.group(0)))
    # Without the key log: no request path, no counts line.
    plain = subprocess.run([scan, "--read", pcap, "--settings", all_types, "--duplicates", "--no-https-hosts"],
                           capture_output=True, text=True)
    if plain.stdout.strip() or COUNTS.search(plain.stderr):
        failures.append("%s: without --keylog: %r %r" % (name, plain.stdout, plain.stderr))
    # Every client secret altered: each record's tag (or MAC) fails; no row comes from such a connection and
    # each is counted as failed.
    bad = os.path.join(work, name + ".bad.keys")
    with open(bad, "w") as out:
        for line in open(keys):
            parts = line.split()
            if len(parts) == 3 and parts[0] in ("CLIENT_RANDOM", "CLIENT_HANDSHAKE_TRAFFIC_SECRET", "CLIENT_TRAFFIC_SECRET_0"):
                parts[2] = ("0" if parts[2][0] != "0" else "1") + parts[2][1:]
            out.write(" ".join(parts) + "\n")
    os.chmod(bad, 0o600)
    tampered = subprocess.run([scan, "--read", pcap, "--keylog", bad, "--settings", all_types, "--duplicates",
                               "--no-https-hosts"], capture_output=True, text=True)
    m = COUNTS.search(tampered.stderr)
    if tampered.stdout.strip() or not m or int(m.group(4)) != dec or int(m.group(2)) != 0:
        failures.append("%s: with altered keys: %r %r" % (name, tampered.stdout, tampered.stderr))
# A key log that is not there: said once on standard error, the capture still read; --keylog needs a value.
pcap = os.path.join(captures, names[0] + ".pcap")
run = subprocess.run([scan, "--read", pcap, "--keylog", os.path.join(work, "missing.keys")], capture_output=True, text=True)
if run.returncode != 0 or run.stderr.count("missing.keys") != 1 or not COUNTS.search(run.stderr):
    failures.append("missing key log: exit %d, %r" % (run.returncode, run.stderr))
run = subprocess.run([scan, "--read", pcap, "--keylog"], capture_output=True, text=True)
if run.returncode != 2:
    failures.append("--keylog without a file: exit %d" % run.returncode)
for f in failures:
    print("FAIL", f)
sys.exit(1 if failures else 0)
