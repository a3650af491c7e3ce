#!/usr/bin/env python3
"""Seeds of fuzz_https from the HTTPS captures of tests/tools/captures: for each TLS connection, its key
log lines, the server's stream up to a few KB and the client's stream (segments taken in sequence order,
each byte once), in the layout fuzz_https reads.

usage: make_https_seeds.py CAPTURES_DIR OUT_DIR"""
import os
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "tools"))
import pcapread  # noqa: E402

captures, out = sys.argv[1:3]
os.makedirs(out, exist_ok=True)
for name in sorted(os.listdir(captures)):
    if not (name.startswith("https_") and name.endswith(".pcap")):
        continue
    keys = open(os.path.join(captures, name[:-5] + ".keys"), "rb").read()
    flows = {}
    for link, f in pcapread.frames(os.path.join(captures, name)):
        if link == 1 and f[12:14] == b"\x08\x00":
            ip = 14
        elif link in (12, 101) and f and f[0] >> 4 == 4:
            ip = 0
        else:
            continue  # IPv4 only here
        if f[ip + 9] != 6:
            continue
        ihl = (f[ip] & 15) * 4
        total = struct.unpack(">H", f[ip + 2:ip + 4])[0]
        tcp = ip + ihl
        sport, dport, seq = struct.unpack(">HHI", f[tcp:tcp + 8])
        payload = f[tcp + (f[tcp + 12] >> 4) * 4:ip + total]
        if payload:
            flows.setdefault((f[ip + 12:ip + 16], sport, f[ip + 16:ip + 20], dport), {})[seq] = payload
    for key, segments in flows.items():
        if key[3] not in (443, 8443, 9443):
            continue
        back = flows.get((key[2], key[3], key[0], key[1]), {})
        def stream(segs, limit):
            data, nxt = b"", None
            for seq in sorted(segs):
                if nxt is None:
                    nxt = seq
                if seq <= nxt < seq + len(segs[seq]):
                    data += segs[seq][nxt - seq:]
                    nxt = seq + len(segs[seq])
            return data[:limit]
        client, server = stream(segments, 60000), stream(back, 4000)
        random = client[11:43].hex().encode()
        lines = b"".join(l + b"\n" for l in keys.splitlines() if random in l)
        seed = struct.pack(">H", len(lines)) + lines + struct.pack(">H", len(server)) + server + client
        with open(os.path.join(out, "%s_%d.bin" % (name[:-5], key[1])), "wb") as f:
            f.write(seed)
