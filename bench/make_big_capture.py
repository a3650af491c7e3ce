#!/usr/bin/env python3
"""Builds a large capture file by repeating a small pcapng capture.

    bench/make_big_capture.py SOURCE.pcapng OUT.pcapng --frames N

The section header and interface blocks are written once; the packet blocks are then repeated until at
least N frames are written, each repetition shifted in time by the source's span plus one millisecond,
so timestamps keep rising. Other blocks (statistics, name resolution) are kept from the first pass only.
"""
import argparse
import struct
import sys

SHB, IDB, EPB, SPB = 0x0A0D0D0A, 1, 6, 3


def blocks(data, endian):
    pos = 0
    while pos + 12 <= len(data):
        btype, blen = struct.unpack_from(endian + "II", data, pos)
        if blen < 12 or pos + blen > len(data):
            raise SystemExit("truncated block at byte %d" % pos)
        yield btype, data[pos:pos + blen]
        pos += blen


def if_tsresol(idb, endian):
    """Ticks per second of an interface (option 9), 10^6 when absent."""
    pos = 16
    while pos + 4 <= len(idb) - 4:
        code, length = struct.unpack_from(endian + "HH", idb, pos)
        if code == 0:
            break
        if code == 9 and length >= 1:
            v = idb[pos + 4]
            return 2 ** (v & 0x7F) if v & 0x80 else 10 ** v
        pos += 4 + ((length + 3) & ~3)
    return 10 ** 6


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("source")
    ap.add_argument("out")
    ap.add_argument("--frames", type=int, default=150000)
    a = ap.parse_args()

    with open(a.source, "rb") as f:
        data = f.read()
    if struct.unpack_from("<I", data, 0)[0] != SHB:
        raise SystemExit("%s: not a pcapng file" % a.source)
    endian = "<" if data[8:12] == b"\x4d\x3c\x2b\x1a" else ">"

    head, packets, others = bytearray(), [], bytearray()
    resol = 10 ** 6
    sections = 0
    for btype, block in blocks(data, endian):
        if btype == SHB:
            sections += 1
            if sections > 1:
                raise SystemExit("only single-section files are supported")
            head += block
        elif btype == IDB:
            head += block
            resol = if_tsresol(block, endian)
        elif btype in (EPB, SPB):
            packets.append((btype, block))
        else:
            others += block
    if not packets:
        raise SystemExit("%s holds no frames" % a.source)

    stamps = [struct.unpack_from(endian + "II", b, 12) for t, b in packets if t == EPB]
    ticks = [hi << 32 | lo for hi, lo in stamps]
    span = (max(ticks) - min(ticks)) if ticks else 0
    shift_step = span + resol // 1000

    written = 0
    with open(a.out, "wb") as out:
        out.write(head)
        out.write(others)
        rep = 0
        while written < a.frames:
            shift = rep * shift_step
            chunk = bytearray()
            for btype, block in packets:
                if btype == EPB and shift:
                    block = bytearray(block)
                    hi, lo = struct.unpack_from(endian + "II", block, 12)
                    t = (hi << 32 | lo) + shift
                    struct.pack_into(endian + "II", block, 12, t >> 32, t & 0xFFFFFFFF)
                chunk += block
                written += 1
                if written >= a.frames and rep > 0:
                    break
            out.write(chunk)
            rep += 1
    print("%s: %d frames (%d passes over %d)" % (a.out, written, rep, len(packets)), file=sys.stderr)


if __name__ == "__main__":
    main()
