"""Minimal reader of pcap and pcapng files for the tests: yields (link type, frame bytes)."""
import struct


def frames(path):
    with open(path, "rb") as f:
        data = f.read()
    magic = data[:4]
    if magic in (b"\xd4\xc3\xb2\xa1", b"\x4d\x3c\xb2\xa1"):
        yield from _pcap(data, "<")
    elif magic in (b"\xa1\xb2\xc3\xd4", b"\xa1\xb2\x3c\x4d"):
        yield from _pcap(data, ">")
    elif magic == b"\x0a\x0d\x0d\x0a":
        yield from _pcapng(data)
    else:
        raise ValueError("not a capture file: " + path)


def _pcap(data, e):
    link = struct.unpack(e + "I", data[20:24])[0] & 0x0FFFFFFF
    pos = 24
    while pos + 16 <= len(data):
        _, _, incl, _ = struct.unpack(e + "IIII", data[pos:pos + 16])
        pos += 16
        yield link, data[pos:pos + incl]
        pos += incl


def _pcapng(data):
    pos, e, links = 0, "<", []
    while pos + 12 <= len(data):
        btype = struct.unpack(e + "I", data[pos:pos + 4])[0]
        if btype == 0x0A0D0D0A:
            e = "<" if data[pos + 8:pos + 12] == b"\x4d\x3c\x2b\x1a" else ">"
            links = []
        blen = struct.unpack(e + "I", data[pos + 4:pos + 8])[0]
        if blen < 12:
            break
        body = data[pos + 8:pos + blen - 4]
        if btype == 1:
            links.append(struct.unpack(e + "H", body[:2])[0])
        elif btype == 6:
            iface, _, _, caplen, _ = struct.unpack(e + "IIIII", body[:20])
            yield links[iface], body[20:20 + caplen]
        elif btype == 3:
            yield links[0], body[4:]
        pos += blen
