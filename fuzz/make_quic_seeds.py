#!/usr/bin/env python3
"""Seeds of fuzz_quic from the QUIC test captures: each capture whole, and each connection alone
(QUIC mode records: flags, client port, length, payload); the key log answers from the start, or only
after the first half of the datagrams."""
import os
import struct
import sys

here = os.path.dirname(os.path.abspath(__file__))
captures = os.path.join(here, '..', 'tests', 'tls', 'captures')
out_dir = os.path.join(here, 'corpus', 'fuzz_quic')


def datagrams(path):
    data = open(path, 'rb').read()
    pos = 24
    while pos + 16 <= len(data):
        caplen = struct.unpack_from('<I', data, pos + 8)[0]
        frame = data[pos + 16:pos + 16 + caplen]
        pos += 16 + caplen
        if len(frame) < 42 or frame[12:14] != b'\x08\x00' or frame[23] != 17:
            continue
        udp = 14 + (frame[14] & 0x0F) * 4
        sport, dport = struct.unpack_from('>HH', frame, udp)
        yield sport, dport, frame[udp + 8:]


def seed(records, keys_from=0):
    out = bytearray(b'\x00')
    for i, (sport, dport, payload) in enumerate(records):
        from_server = sport == 4433
        flags = (1 if from_server else 0) | (2 if i >= keys_from else 0)
        port = dport if from_server else sport
        out += struct.pack('>BHH', flags, port, len(payload)) + payload
    return bytes(out)


os.makedirs(out_dir, exist_ok=True)
for name in ('quic_h3', 'quic_chromium', 'quic_retry'):
    records = list(datagrams(os.path.join(captures, name + '.pcap')))
    seeds = {name: seed(records), name + '-late-keys': seed(records, len(records) // 2)}
    for port in sorted({d if s == 4433 else s for s, d, _ in records}):
        seeds['%s-%d' % (name, port)] = seed([r for r in records if port in (r[0], r[1])])
    for label, data in seeds.items():
        with open(os.path.join(out_dir, label), 'wb') as f:
            f.write(data)
# H3 mode: the client's encoder stream (capacity 4096, one insertion) and a request with static and
# dynamic references, its bytes in two pieces.
def h3(stream, offset, data, fin=False):
    return struct.pack('>BHBH', stream, offset, 1 if fin else 0, len(data)) + data

authority = b'video.example'
encoder = b'\x02' + b'\x3f\xe1\x1f' + bytes([0xc0 | 0x40 | 0]) + bytes([len(authority)]) + authority
block = b'\x02\x00' + b'\xd1\xd7\x80' + b'\x51' + bytes([len(b'/v/seg-1.m4s')]) + b'/v/seg-1.m4s'
frame = b'\x01' + bytes([len(block)]) + block
with open(os.path.join(out_dir, 'h3-static-and-dynamic'), 'wb') as f:
    f.write(b'\x01' + h3(0, 0, frame[:5]) + h3(2, 0, encoder) + h3(0, 5, frame[5:], True))
print('seeds written to', out_dir, file=sys.stderr)
