#!/usr/bin/env python3
"""quelvar-scan without capture rights hands a live capture to the capture helper beside it. Stand-in
helpers (shell scripts that stream a real capture) show what reaches the helper and what the scan does
when the helper misbehaves; no capture rights are needed.

- --buffer reaches the helper as its own --buffer, within the helper's limit of 1024 MB (above it the
  scan says so on standard error and asks for 1024);
- a helper that ignores SIGTERM is killed 2 s after it was asked to stop: the scan ends, prints its
  list, and says on standard error that the helper was killed.

The scan runs from a copy of the build folder's layout (quelvar-scan and setting.ini, the stand-in as
quelvar-capture beside them). As root it runs without capabilities (setpriv), so that it has to use
the helper.

usage: scan_through_helper.py QUELVAR_SCAN SETTINGS_FILE CAPTURE      (exit 77: skipped, with the reason)"""
import os
import shutil
import subprocess
import sys
import tempfile

SKIP = 77
KILLED = "quelvar-scan: capture on lo ended: quelvar-capture did not end within 2 s of SIGTERM and was killed"
CLAMPED = "quelvar-scan: the capture helper takes a buffer of at most 1024 MB: asking for 1024 MB"
URL = "http://198.51.100.2/music/a.mp3"  # listed from CAPTURE


def main():
    scan, settings, capture = sys.argv[1:4]
    without_rights = []
    if os.geteuid() == 0:
        if not shutil.which("setpriv"):
            print("SKIPPED: running as root, and setpriv (util-linux) is missing to drop the capabilities")
            return SKIP
        without_rights = ["setpriv", "--inh-caps=-all", "--bounding-set=-all"]

    folder = tempfile.mkdtemp(prefix="qv_scan_helper_")
    failures = []
    try:
        shutil.copy(scan, os.path.join(folder, "quelvar-scan"))
        shutil.copy(settings, os.path.join(folder, "setting.ini"))
        args_file = os.path.join(folder, "args")
        helper = os.path.join(folder, "quelvar-capture")

        def run(helper_body, scan_args):
            with open(helper, "w") as f:
                f.write(f"#!/bin/sh\necho \"$@\" > '{args_file}'\n{helper_body}\n")
            os.chmod(helper, 0o755)
            if os.path.exists(args_file):
                os.remove(args_file)
            # The timeout only keeps a broken scan from hanging the test; it says nothing about speed.
            p = subprocess.run(without_rights + [os.path.join(folder, "quelvar-scan"), "--interface", "lo"] + scan_args,
                               capture_output=True, timeout=60)
            with open(args_file) as f:
                helper_args = f.read().strip()
            return p.returncode, p.stdout.decode(errors="replace"), p.stderr.decode(errors="replace"), helper_args

        def check(what, ok, detail):
            print(("ok    " if ok else "FAIL  ") + what)
            if not ok:
                print("      " + detail.replace("\n", "\n      "))
                failures.append(what)

        streams = f"cat '{capture}'; exec sleep 30"
        cases = [
            ([], "--interface lo", ""),
            (["--buffer", "64"], "--interface lo --buffer 64", ""),
            (["--buffer", "1024"], "--interface lo --buffer 1024", ""),
            (["--buffer", "2000"], "--interface lo --buffer 1024", CLAMPED),
        ]
        for scan_args, expected_args, notice in cases:
            status, out, err, helper_args = run(streams, scan_args + ["--seconds", "1"])
            label = " ".join(scan_args) or "no --buffer"
            check(f"{label}: the helper is started with {expected_args}", helper_args == expected_args, helper_args)
            check(f"{label}: status 0 and the list", status == 0 and URL in out, f"status {status}\n{out}{err}")
            notices = [line for line in err.splitlines() if "buffer" in line]
            check(f"{label}: notice on standard error: {notice or 'none'}", notices == ([notice] if notice else []),
                  err)

        status, out, err, _ = run("trap '' TERM; " + streams, ["--seconds", "1"])
        check("a helper that ignores SIGTERM: killed, and the scan says so", KILLED in err.splitlines(), err)
        check("a helper that ignores SIGTERM: the list is printed, status 1", status == 1 and URL in out,
              f"status {status}\n{out}")
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    print(f"{len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
