#!/usr/bin/env python3
"""Builds the seeds of fuzz_flows, and fuzz_frame's seeds with the httpsHosts switch on, from the
captures of tests/tools/captures (real clients: curl's TLS ClientHello, ngtcp2's QUIC Initials, a
request over three segments, cooked and raw-IP links).

    fuzz/make_flow_seeds.py

The input layouts are described at the top of fuzz/fuzz_flows.cpp and fuzz/fuzz_frame.cpp.
"""
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
CAPS = os.path.join(HERE, "..", "tests", "tools", "captures")
sys.path.insert(0, os.path.join(HERE, "..", "tests", "tools"))
import pcapread  # noqa: E402

TLS, DATAGRAM, QUIC, LINKS, TCP = 0, 1, 2, 3, 4


def network_offset(link, frame):
    if link == 1:
        off, ethertype = 14, frame[12:14]
        while ethertype in (b"\x81\x00", b"\x88\xa8"):
            ethertype, off = frame[off + 2:off + 4], off + 4
        return off
    return {113: 16, 276: 20, 101: 0, 12: 0, 0: 4}[link]


def transport(link, frame):
    """(protocol, source port, destination port, TCP sequence, payload) of an IP frame, or None."""
    off = network_offset(link, frame)
    if off >= len(frame):
        return None
    version = frame[off] >> 4
    if version == 4:
        proto, ihl = frame[off + 9], (frame[off] & 15) * 4
        end = off + struct.unpack(">H", frame[off + 2:off + 4])[0]
        t = off + ihl
    elif version == 6:
        proto, t = frame[off + 6], off + 40
        end = t + struct.unpack(">H", frame[off + 4:off + 6])[0]
    else:
        return None
    if proto == 6:
        sport, dport, seq = struct.unpack(">HHI", frame[t:t + 8])
        return proto, sport, dport, seq, frame[t + (frame[t + 12] >> 4) * 4:end]
    if proto == 17:
        sport, dport = struct.unpack(">HH", frame[t:t + 4])
        return proto, sport, dport, 0, frame[t + 8:end]
    return None


def capture(name):
    return list(pcapread.frames(os.path.join(CAPS, name)))


def client_payloads(name, proto, dport):
    out = []
    for link, frame in capture(name):
        t = transport(link, frame)
        if t and t[0] == proto and t[2] == dport and t[4]:
            out.append((t[3], t[4]))
    return out


def varint(v):
    if v < 64:
        return bytes([v])
    if v < 16384:
        return struct.pack(">H", 0x4000 | v)
    return struct.pack(">I", 0x80000000 | v)


def crypto_frame(offset, data):
    return b"\x06" + varint(offset) + varint(len(data)) + data


def quic_seed(dcid, pn_length, packets):
    """fuzz_flows' QUIC input: packets are (plaintext, same datagram as the one before)."""
    out = bytearray([QUIC, len(dcid)]) + dcid + bytes([pn_length - 1])
    for plain, coalesced in packets:
        out += struct.pack(">H", len(plain) | (0x8000 if coalesced else 0)) + plain
    return bytes(out)


def tcp_seed(segments):
    """fuzz_flows' TCP input: segments are (flow and switches, payload) sent back to back."""
    out = bytearray([TCP])
    for sw, payload in segments:
        for k in range(0, len(payload), 254):
            part = payload[k:k + 254]
            out += bytes([sw, 0, 0, len(part)]) + part
    return bytes(out)


def frame_seed(frames, link_index=None):
    """fuzz_frame's input: URL mode, a local address, httpsHosts on; Ethernet unless a link is picked."""
    b10 = 0x80 if link_index is not None else 0
    b11 = 0x10 | (link_index or 0)
    out = bytearray([4 | 16, 0]) + bytes([198, 51, 100, 1]) + bytes(4) + bytes([b10, b11])
    for fr in frames:
        out += struct.pack(">H", len(fr[:0x7FFF])) + fr[:0x7FFF]
    return bytes(out)


def main():
    flows, frames = os.path.join(HERE, "corpus", "fuzz_flows"), os.path.join(HERE, "corpus", "fuzz_frame")
    os.makedirs(flows, exist_ok=True)
    seeds, frame_seeds = {}, {}

    hello = client_payloads("tls_sni.pcap", 6, 443)[0][1]
    parts = [p for _, p in client_payloads("tls_sni_two_segments.pcap", 6, 443)]
    seeds["tls_record.bin"] = bytes([TLS]) + hello
    seeds["tls_message.bin"] = bytes([TLS]) + hello[5:]
    seeds["tls_two_segments_cut.bin"] = bytes([TLS]) + b"".join(parts)[:300]

    datagrams = [p for _, p in client_payloads("quic_initial.pcap", 17, 4433)]
    initials = [d for d in datagrams if d[0] & 0xF0 == 0xC0 and d[1:5] == b"\x00\x00\x00\x01"]
    for i, d in enumerate(initials[:3]):
        seeds[f"quic_datagram_{i}.bin"] = bytes([DATAGRAM]) + d

    message = hello[5:]  # the ClientHello handshake message without its record header
    cut = len(message) // 3
    dcid = bytes.fromhex("8394c8f03e515708")
    seeds["quic_hello_one_packet.bin"] = quic_seed(dcid, 2, [(crypto_frame(0, message) + bytes(20), False)])
    seeds["quic_hello_out_of_order.bin"] = quic_seed(dcid, 4, [
        (b"\x01" + crypto_frame(cut, message[cut:2 * cut]), False),      # PING, then the middle
        (crypto_frame(2 * cut, message[2 * cut:]) + bytes(8), True),     # coalesced: the end
        (crypto_frame(0, message[:cut + 10]), False),                     # the start, overlapping
    ])
    seeds["quic_hello_long_dcid.bin"] = quic_seed(bytes(range(20)), 1, [(crypto_frame(0, message[:40]), False),
                                                                        (crypto_frame(40, message[40:]), False)])

    for name in ("tls_sni.pcap", "any_sll.pcap", "any_sll2.pcap", "tun_raw_ip.pcap", "ipv6_http.pcap",
                 "arp_first_http.pcap"):
        first = capture(name)[:2]
        for i, (link, frame) in enumerate(first):
            seeds[f"links_{name[:-5]}_{i}.bin"] = bytes([LINKS]) + frame

    seeds["tcp_hello_segments.bin"] = tcp_seed([(8, p) for p in parts])
    request = [p for _, p in client_payloads("split_request.pcap", 6, 80)]
    seeds["tcp_split_request.bin"] = tcp_seed([(4, request[0]), (1 | 4, request[0]), (4, request[0][:10])] +
                                              [(4, p) for p in request[1:]])
    seeds["tcp_hello_and_request.bin"] = tcp_seed([(8, parts[0]), (1 | 4, request[0]), (8, parts[1])] +
                                                  [(1 | 4, p) for p in request[1:]] + [(8, p) for p in parts[2:]])

    def ethernet(name):
        return [f for _, f in capture(name)]

    frame_seeds["https_tls_sni.bin"] = frame_seed(ethernet("tls_sni.pcap")[:8])
    frame_seeds["https_tls_two_segments.bin"] = frame_seed(ethernet("tls_sni_two_segments.pcap")[:10])
    frame_seeds["https_quic.bin"] = frame_seed(ethernet("quic_initial.pcap")[:4])
    frame_seeds["https_split_request.bin"] = frame_seed(ethernet("split_request.pcap")[:8])
    frame_seeds["https_sll.bin"] = frame_seed(ethernet("any_sll.pcap")[:6], link_index=0)
    frame_seeds["https_raw_ip.bin"] = frame_seed(ethernet("tun_raw_ip.pcap")[:8], link_index=3)

    for folder, table in ((flows, seeds), (frames, frame_seeds)):
        for name, data in table.items():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)
    print(f"{len(seeds)} seeds in {flows}, {len(frame_seeds)} in {frames}")


if __name__ == "__main__":
    main()
