#!/usr/bin/env python3
"""Builds the seed corpus of the fuzzers from the shared real captures and a few frames made here.

    fuzz/make_seeds.py CAPTURES_DIR   (normally ../shared/captures)

Writes fuzz/corpus/fuzz_frame/*.bin and copies data/setting.ini into fuzz/corpus/fuzz_settings/.
The other INI seeds of fuzz_settings are kept in the repository as they are. The input layout of
fuzz_frame is described at the top of fuzz/fuzz_frame.cpp.
"""
import os
import socket
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def read_capture(path):
    """Frames (bytes) of a classic pcap or pcapng file; Ethernet captures only."""
    with open(path, "rb") as f:
        data = f.read()
    frames = []
    magic = data[:4]
    if magic in (b"\xd4\xc3\xb2\xa1", b"\x4d\x3c\xb2\xa1"):
        pos = 24
        while pos + 16 <= len(data):
            _, _, incl, _ = struct.unpack_from("<IIII", data, pos)
            frames.append(data[pos + 16:pos + 16 + incl])
            pos += 16 + incl
    elif magic == b"\x0a\x0d\x0d\x0a":
        pos = 0
        while pos + 12 <= len(data):
            btype, blen = struct.unpack_from("<II", data, pos)
            if btype == 6:  # enhanced packet block
                caplen = struct.unpack_from("<I", data, pos + 20)[0]
                frames.append(data[pos + 28:pos + 28 + caplen])
            pos += blen
    else:
        raise SystemExit(f"{path}: not a capture file")
    return frames


def to_pppoe(frame):
    """An Ethernet IPv4 frame as a PPPoE session frame: the IPv4 packet then starts at byte 22."""
    ip = frame[14:]
    return (frame[:12] + b"\x88\x64" + b"\x11\x00\x12\x34" + struct.pack(">H", len(ip) + 2) +
            b"\x00\x21" + ip)


def tcp_frame(src, dst, sport, dport, payload):
    ip = struct.pack(">BBHHHBBH4s4s", 0x45, 0, 40 + len(payload), 1, 0, 64, 6, 0,
                     socket.inet_aton(src), socket.inet_aton(dst))
    tcp = struct.pack(">HHIIBBHHH", sport, dport, 1, 1, 0x50, 0x18, 65535, 0, 0)
    return b"\x02\x00\x00\x00\x00\x01\x02\x00\x00\x00\x00\x02\x08\x00" + ip + tcp + payload


def udp_frame(src, dst, sport, dport, payload):
    ip = struct.pack(">BBHHHBBH4s4s", 0x45, 0, 28 + len(payload), 1, 0, 64, 17, 0,
                     socket.inet_aton(src), socket.inet_aton(dst))
    udp = struct.pack(">HHHH", sport, dport, 8 + len(payload), 0)
    return b"\x02\x00\x00\x00\x00\x01\x02\x00\x00\x00\x00\x02\x08\x00" + ip + udp + payload


def seed(switches, local, frames, filt=0, site="0.0.0.0", contained=b"", view=0, wire_extra=0):
    out = bytearray([switches, filt])
    out += socket.inet_aton(local) + socket.inet_aton(site)
    out += bytes([(len(contained) & 0x0F) | (view << 4), wire_extra]) + contained[:15]
    for fr in frames:
        fr = fr[:0x7FFF]
        out += struct.pack(">H", len(fr)) + fr
    return bytes(out)


def requests(frames, limit):
    """The first frames that carry an HTTP request, with the frame after each (its answer or ACK)."""
    picked = []
    for i, fr in enumerate(frames):
        if b"GET " in fr or b"POST " in fr:
            picked.append(fr)
            if i + 1 < len(frames):
                picked.append(frames[i + 1])
        if len(picked) >= limit:
            break
    return picked


def main():
    if len(sys.argv) != 2:
        raise SystemExit(__doc__)
    caps = sys.argv[1]
    out = os.path.join(HERE, "corpus", "fuzz_frame")
    os.makedirs(out, exist_ok=True)
    URL, PKT, DUP, UNDEF, FILTER, LOCAL, FLIP, RESTART, VIEW = 0, 1, 2, 4, 8, 16, 32, 64, 128

    espn = read_capture(os.path.join(caps, "http_espn_fail.pcapng"))
    google = read_capture(os.path.join(caps, "http_google.pcapng"))
    post = read_capture(os.path.join(caps, "http_post.pcapng"))
    xml = read_capture(os.path.join(caps, "ipv4_tcp_http_xml.pcap"))
    espn_req = requests(espn, 8)
    seeds = {
        "espn_url.bin": seed(URL | LOCAL | UNDEF, "172.16.16.154", espn[:3] + espn_req),
        "espn_url_view_dup.bin": seed(URL | LOCAL | DUP | UNDEF | VIEW, "172.16.16.154", espn_req + espn_req[:2], view=3),
        "espn_packets_filter.bin": seed(PKT | LOCAL | FILTER, "172.16.16.154", espn_req, filt=1 | (2 << 3) | (1 << 5),
                                        contained=b"Host"),
        "espn_pppoe.bin": seed(URL | LOCAL | UNDEF, "172.16.16.154", [to_pppoe(f) for f in espn_req]),
        "espn_pppoe_packets.bin": seed(PKT | LOCAL, "172.16.16.154", [to_pppoe(f) for f in espn_req[:4]]),
        "google_flip_restart.bin": seed(URL | LOCAL | FLIP | RESTART | UNDEF, "172.16.16.128", requests(google, 6)),
        "post_filter_site.bin": seed(URL | LOCAL | FILTER | UNDEF, "172.16.16.128", requests(post, 4), filt=1,
                                     site="0.0.0.0", contained=b"Host"),
        "xml_no_local.bin": seed(URL | UNDEF, "10.0.0.1", xml, wire_extra=40),
    }

    local = "192.168.1.5"
    made = [
        tcp_frame(local, "10.0.0.1", 40000, 554,
                  b"DESCRIBE rtsp://media.example/live/song.rm/streamid=0 RTSP/1.0\r\nCSeq: 2\r\n\r\n"),
        tcp_frame("10.0.0.2", local, 1755, 40001,
                  b"\x00\x01\x00\x00mms://stream.example/radio.asf?key=ABCDEFGHIJKLMNOPQR\x00\x00"
                  b"see http://cdn.example/a/b/clip.flv#top and 'ftp://files.example/pub/x.zip'"),
        tcp_frame(local, "10.0.0.3", 40002, 80,
                  b"GET http://www.example.com/music/track%E4%B8%AD.mp3 HTTP/1.1\r\nhost: www.example.com\r\n\r\n"),
        tcp_frame(local, "10.0.0.3", 40002, 80,
                  b"xxGET /video/a.mp4?x=1/y HTTP/1.1\r\nHost: v.example\r\n\r\n\x00\x00trailer"),
        tcp_frame(local, "10.0.0.4", 40003, 80,
                  b"POST /upload/form.php HTTP/1.1\r\nHost: up.example\r\nContent-Length: 3\r\n\r\nabc"),
        udp_frame("10.0.0.5", local, 5000, 6000, b"\x00" * 12 + b"rtsp://10.0.0.5/cam/video RTSP/1.0\r\n"),
    ]
    seeds["made_url.bin"] = seed(URL | LOCAL | UNDEF, local, made)
    seeds["made_url_dup_view.bin"] = seed(URL | LOCAL | DUP | UNDEF | VIEW, local, made + made, view=2)
    seeds["made_packets.bin"] = seed(PKT | LOCAL | FILTER, local, made, filt=0 | (1 << 5), contained=b"://")
    seeds["made_pppoe_flip.bin"] = seed(URL | LOCAL | FLIP | UNDEF, local, [to_pppoe(f) for f in made])

    for name, data in seeds.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)
    # The shipped settings file seeds the settings fuzzer.
    ini_dir = os.path.join(HERE, "corpus", "fuzz_settings")
    os.makedirs(ini_dir, exist_ok=True)
    with open(os.path.join(HERE, "..", "data", "setting.ini"), "rb") as f:
        shipped = f.read()
    with open(os.path.join(ini_dir, "shipped_setting.ini"), "wb") as f:
        f.write(shipped)
    print(f"{len(seeds)} frame seeds in {out}; shipped settings file in {ini_dir}")


if __name__ == "__main__":
    main()
