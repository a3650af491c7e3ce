#!/usr/bin/env python3
"""Live capture under load: two network namespaces joined by a veth pair, tcpreplay sending a capture
(rewritten to the pair's addresses) at a fixed rate for a bounded time from one side, quelvar-scan
capturing on the other in URL mode and in packet-list mode. Needs root (namespaces, raw sockets).

    sudo bench/load/load_bench.py --scan build/bin/quelvar-scan [--rate 150000] [--seconds 10] [--runs 3]

For every mode and run it prints one line, then the medians per mode:
  sent       frames tcpreplay sent (its own count)
  delivered  frames the receiving end of the pair counted (ip -s link): what was there to capture
  received   frames the capture library handed to the capture, dropped ones included (pcap_stats)
  kdrop      frames dropped by the kernel for want of room in the capture buffer
  ifdrop     frames dropped by the interface (Linux counts them only in promiscuous mode)
  listed     rows quelvar-scan printed; "expected" is what a capture of every frame lists
  lost       URL mode: delivered - (received - kdrop), the frames the program never saw;
             packet mode and URL mode with duplicates (urldup): expected - listed
  rss        peak resident memory of quelvar-scan (MB)
A program without the frame counts (an older build) shows "-" for received and drops.

The namespaces are named qvload-tx and qvload-rx and are removed at the end (also after a failure or
Ctrl-C). The capture's own host (the client that sends the requests) becomes the receiving side's
address and every other host the sending side's, so the capturing side is the local host of every
request. The destination MAC is one the receiving side does not own, so its IP stack drops the
frames unseen (no resets go back) while the capture sees every one.
"""
import argparse
import os
import re
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

TX, RX = "qvload-tx", "qvload-rx"
TX_IF, RX_IF = "qvtx", "qvrx"
TX_ADDR, RX_ADDR = "10.77.0.1", "10.77.0.2"
OTHER_MAC = "02:00:00:00:00:99"

COUNTS = re.compile(r"^(\d+) frames received, (\d+) dropped by the kernel, (\d+) by the interface$", re.M)


def run(*args, **kw):
    return subprocess.run(list(args), check=True, capture_output=True, text=True, **kw)


def netns(ns, *args, **kw):
    return run("ip", "netns", "exec", ns, *args, **kw)


def teardown():
    for ns in (TX, RX):
        subprocess.run(["ip", "netns", "del", ns], capture_output=True)


def setup():
    teardown()
    run("ip", "netns", "add", TX)
    run("ip", "netns", "add", RX)
    run("ip", "link", "add", TX_IF, "netns", TX, "type", "veth", "peer", "name", RX_IF, "netns", RX)
    for ns, dev, addr in ((TX, TX_IF, TX_ADDR), (RX, RX_IF, RX_ADDR)):
        # No IPv6: no router solicitations or other frames of the namespaces' own between the replayed ones.
        netns(ns, "sysctl", "-q", "-w", "net.ipv6.conf.all.disable_ipv6=1")
        netns(ns, "ip", "addr", "add", addr + "/24", "dev", dev)
        netns(ns, "ip", "link", "set", dev, "up")
        netns(ns, "ip", "link", "set", "lo", "up")
    mac = netns(TX, "cat", f"/sys/class/net/{TX_IF}/address").stdout.strip()
    return mac


def rx_packets():
    return int(netns(RX, "cat", f"/sys/class/net/{RX_IF}/statistics/rx_packets").stdout)


def rewrite(source, local, tx_mac, out):
    run("tcprewrite", f"--infile={source}", f"--outfile={out}",
        f"--pnat={local}/32:{RX_ADDR}/32,0.0.0.0/0:{TX_ADDR}/32",
        f"--enet-smac={tx_mac}", f"--enet-dmac={OTHER_MAC}", "--fixcsum")


def frames_in(path):
    return int(run("capinfos", "-c", "-M", path).stdout.split()[-1]) if have("capinfos") else \
        len(run("tcpdump", "-nr", path).stdout.splitlines())


def have(program):
    return subprocess.run(["which", program], capture_output=True).returncode == 0


# Modes: url, packets, urldup (URL mode with duplicates listed: every request seen makes a row, so lost
# requests show as missing rows whether or not the program reports its frame counts), tcpdump.
def scan_args(mode):
    return ["--mode", "url", "--duplicates"] if mode == "urldup" else ["--mode", mode]


def expected_rows(scan, path, mode):
    out = subprocess.run([scan, "--read", path, "--local", RX_ADDR] + scan_args(mode), check=True,
                         capture_output=True).stdout
    return out.count(b"\n")


def capture(scan, mode, rate, loops, replay_file, buffer_mb, tcpdump=False):
    before = rx_packets()
    with tempfile.TemporaryFile() as err:
        if tcpdump:
            cmd = ["tcpdump", "-p", "-n", "-i", RX_IF, "-w", "/dev/null"]
            if buffer_mb:
                cmd += ["-B", str(buffer_mb * 1024)]
        else:
            cmd = [scan, "--interface", RX_IF, "--local", RX_ADDR] + scan_args(mode)
            if buffer_mb:
                cmd += ["--buffer", str(buffer_mb)]
        proc = subprocess.Popen(["ip", "netns", "exec", RX, "/usr/bin/time", "-f", "maxrss %M"] + cmd,
                                stdout=subprocess.PIPE, stderr=err)
        listed = [0]

        def count_lines():  # the rows are counted as they come, never stored
            for chunk in iter(lambda: proc.stdout.read(1 << 20), b""):
                listed[0] += chunk.count(b"\n")

        counter = threading.Thread(target=count_lines)
        counter.start()
        time.sleep(1.5)  # the adapter is open before the first frame is sent
        t0 = time.monotonic()
        replay = netns(TX, "tcpreplay", "-i", TX_IF, f"--pps={rate}", f"--loop={loops}", "--preload-pcap",
                       replay_file)
        elapsed = time.monotonic() - t0
        # Frames still waiting in the capture buffer when the capture ends would count as received but
        # never be listed: wait until the capture has taken them (its CPU time stops growing).
        wait_until_idle(proc.pid)
        # time(1) ignores SIGINT while it waits: the capture itself is told to end, and then prints its list.
        with open(f"/proc/{proc.pid}/task/{proc.pid}/children") as f:
            for child in f.read().split():
                os.kill(int(child), signal.SIGINT)
        proc.wait(timeout=600)
        counter.join()
        listed = listed[0]
        err.seek(0)
        err_text = err.read().decode(errors="replace")
    delivered = rx_packets() - before
    m = re.search(r"Successful packets:\s+(\d+)", replay.stdout) or re.search(r"Actual: (\d+) packets", replay.stdout)
    sent = int(m.group(1)) if m else -1
    rss = re.search(r"maxrss (\d+)", err_text)
    r = {"sent": sent, "rate": sent / elapsed if elapsed > 0 else 0, "delivered": delivered, "listed": listed,
         "rss": int(rss.group(1)) / 1024 if rss else None, "received": None, "kdrop": None, "ifdrop": None}
    if tcpdump:
        rcv = re.search(r"(\d+) packets received by filter", err_text)
        drp = re.search(r"(\d+) packets dropped by kernel", err_text)
        cap = re.search(r"(\d+) packets captured", err_text)
        if rcv and drp:
            r["received"], r["kdrop"], r["ifdrop"] = int(rcv.group(1)), int(drp.group(1)), 0
        r["listed"] = int(cap.group(1)) if cap else 0
    else:
        c = COUNTS.search(err_text)
        if c:
            r["received"], r["kdrop"], r["ifdrop"] = (int(x) for x in c.groups())
    return r


def cpu_ticks(pid):
    """User and system time of pid and its children that are still running, in clock ticks."""
    total = 0
    pids = [pid]
    while pids:
        p = pids.pop()
        try:
            with open(f"/proc/{p}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            total += int(fields[11]) + int(fields[12])
            with open(f"/proc/{p}/task/{p}/children") as f:
                pids += [int(c) for c in f.read().split()]
        except (OSError, ValueError, IndexError):
            pass
    return total


def wait_until_idle(pid, limit=120.0):
    time.sleep(1.0)
    end = time.monotonic() + limit
    last = cpu_ticks(pid)
    while time.monotonic() < end:
        time.sleep(1.0)
        now = cpu_ticks(pid)
        if now - last <= 2:  # at most 20 ms of CPU in the last second
            return
        last = now


def fmt(v, width, code="d"):
    return ("-" if v is None else format(v, code)).rjust(width)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--scan", required=True)
    ap.add_argument("--source", default=os.path.join(os.path.dirname(__file__), "../../../shared/captures/http_espn_fail.pcapng"))
    ap.add_argument("--local", default="172.16.16.154", help="the source capture's local host")
    ap.add_argument("--rate", type=int, default=150000, help="frames per second")
    ap.add_argument("--seconds", type=float, default=10.0, help="length of the flood")
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--modes", default="url,urldup,packets", help="url, urldup, packets, tcpdump (comma-separated)")
    ap.add_argument("--buffer", type=int, default=0, help="--buffer MB for quelvar-scan (0: its default)")
    ap.add_argument("--data", default=tempfile.gettempdir())
    a = ap.parse_args()
    if os.geteuid() != 0:
        sys.exit("load_bench: run as root (network namespaces and capture)")
    for p in ("tcpreplay", "tcprewrite", "ip"):
        if not have(p):
            sys.exit(f"load_bench: {p} is missing (scripts/install-deps.sh --bench)")
    scan = os.path.abspath(a.scan)
    try:
        tx_mac = setup()
        replay_file = os.path.join(a.data, "qvload-replay.pcap")
        rewrite(os.path.abspath(a.source), a.local, tx_mac, replay_file)
        per_pass = frames_in(replay_file)
        loops = max(1, round(a.rate * a.seconds / per_pass))
        expected = {m: expected_rows(scan, replay_file, m) for m in ("url", "packets", "urldup")}
        load = open("/proc/loadavg").read().split()[:3]
        print(f"# {per_pass} frames x {loops} loops at {a.rate}/s; load average {' '.join(load)}; "
              f"scan {scan}{'; buffer ' + str(a.buffer) + ' MB' if a.buffer else ''}")
        print(f"# expected rows: URL mode {expected['url']}, with duplicates {expected['urldup']} per pass, "
              f"packet mode {expected['packets']} per pass")
        header = f"{'mode':8} {'sent':>9} {'rate/s':>8} {'delivered':>9} {'received':>9} {'kdrop':>8} " \
                 f"{'ifdrop':>6} {'listed':>9} {'expected':>9} {'lost':>8} {'lost%':>6} {'rss MB':>7}"
        print(header)
        results = {}
        for run_no in range(a.runs):
            for mode in a.modes.split(","):
                r = capture(scan, mode, a.rate, loops, replay_file, a.buffer, tcpdump=(mode == "tcpdump"))
                if mode in ("packets", "urldup"):
                    r["expected"] = expected[mode] * loops
                    r["lost"] = r["expected"] - r["listed"]
                elif mode == "url":
                    r["expected"] = expected["url"]
                    r["lost"] = None if r["received"] is None else r["delivered"] - (r["received"] - r["kdrop"])
                else:
                    r["expected"] = r["delivered"]
                    r["lost"] = r["delivered"] - r["listed"]
                # Per cent of what there was to list: rows for packets and urldup, frames otherwise.
                whole = r["expected"] if mode in ("packets", "urldup") else r["delivered"]
                r["lostpct"] = None if r["lost"] is None else 100.0 * r["lost"] / max(1, whole)
                results.setdefault(mode, []).append(r)
                print(f"{mode:8} {fmt(r['sent'], 9)} {fmt(round(r['rate']), 8)} {fmt(r['delivered'], 9)} "
                      f"{fmt(r['received'], 9)} {fmt(r['kdrop'], 8)} {fmt(r['ifdrop'], 6)} {fmt(r['listed'], 9)} "
                      f"{fmt(r['expected'], 9)} {fmt(r['lost'], 8)} {fmt(r['lostpct'], 6, '.1f')} "
                      f"{fmt(r['rss'], 7, '.0f')}", flush=True)
        print("# medians")
        print(header)
        for mode, rs in results.items():
            def med(k):
                vals = [r[k] for r in rs if r[k] is not None]
                return statistics.median(vals) if vals else None
            print(f"{mode:8} {fmt(med('sent'), 9, '.0f')} {fmt(med('rate'), 8, '.0f')} {fmt(med('delivered'), 9, '.0f')} "
                  f"{fmt(med('received'), 9, '.0f')} {fmt(med('kdrop'), 8, '.0f')} {fmt(med('ifdrop'), 6, '.0f')} "
                  f"{fmt(med('listed'), 9, '.0f')} {fmt(med('expected'), 9, '.0f')} {fmt(med('lost'), 8, '.0f')} "
                  f"{fmt(med('lostpct'), 6, '.1f')} {fmt(med('rss'), 7, '.0f')}")
        load = open("/proc/loadavg").read().split()[:3]
        print(f"# load average at the end {' '.join(load)}")
    finally:
        teardown()


if __name__ == "__main__":
    main()
