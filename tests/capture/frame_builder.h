// Builds frames for tests: a link header (Ethernet, PPPoE, VLAN tags, Linux cooked v1/v2, raw IP, BSD
// loopback), an IPv4 header of 20 bytes or an IPv6 header with extension headers, ports and payload.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qv::test {

enum class Framing { Ethernet, PPPoE, Vlan, QinQ, Sll, Sll2, Raw, Null };

// The pcap link type of a framing.
inline int LinkTypeOf(Framing f) {
  switch (f) {
    case Framing::Sll: return 113;
    case Framing::Sll2: return 276;
    case Framing::Raw: return 101;
    case Framing::Null: return 0;
    default: return 1;
  }
}

inline std::uint32_t IP(int a, int b, int c, int d) {
  return std::uint32_t(a) << 24 | std::uint32_t(b) << 16 | std::uint32_t(c) << 8 | std::uint32_t(d);
}

using V6 = std::array<std::uint8_t, 16>;
// 2001:db8::N
inline V6 Doc6(int n) {
  V6 a{0x20, 0x01, 0x0d, 0xb8};
  a[14] = static_cast<std::uint8_t>(n >> 8);
  a[15] = static_cast<std::uint8_t>(n);
  return a;
}

struct FrameSpec {
  FrameSpec() = default;
  FrameSpec(Framing framing_, int protocol_, std::uint32_t src_, std::uint32_t dst_, std::uint16_t sport_,
            std::uint16_t dport_, std::string payload_ = {})
      : framing(framing_), protocol(protocol_), src(src_), dst(dst_), sport(sport_), dport(dport_),
        payload(std::move(payload_)) {}
  Framing framing = Framing::Ethernet;
  int protocol = 6;
  std::uint32_t src = 0, dst = 0;
  std::uint16_t sport = 0, dport = 0;
  std::string payload;  // placed after 20 bytes of TCP header (8 of UDP when udp)
  // IPv6 instead of IPv4: addresses, and extension headers before the transport header (0 hop-by-hop,
  // 43 routing, 60 destination options, 44 a first fragment).
  bool v6 = false;
  V6 src6{}, dst6{};
  std::vector<int> extensions;
  bool laterFragment = false;  // an IPv6 fragment header with a non-zero offset: no transport header
  std::uint32_t seq = 1000;
};

inline std::vector<std::uint8_t> BuildFrame(const FrameSpec& s) {
  std::vector<std::uint8_t> f;
  auto put16 = [&](unsigned v) {
    f.push_back(static_cast<std::uint8_t>(v >> 8));
    f.push_back(static_cast<std::uint8_t>(v));
  };
  auto put32 = [&](std::uint32_t v) {
    for (int i = 0; i < 4; ++i) f.push_back(static_cast<std::uint8_t>(v >> (24 - 8 * i)));
  };
  const unsigned etherType = s.v6 ? 0x86DD : 0x0800;
  switch (s.framing) {
    case Framing::Ethernet: f.assign(12, 0), put16(etherType); break;
    case Framing::PPPoE: f.assign(12, 0), put16(0x8864), put32(0x11000001), put16(0), put16(s.v6 ? 0x0057 : 0x0021); break;
    case Framing::Vlan: f.assign(12, 0), put16(0x8100), put16(7), put16(etherType); break;
    case Framing::QinQ: f.assign(12, 0), put16(0x88A8), put16(7), put16(0x8100), put16(8), put16(etherType); break;
    case Framing::Sll: put16(4), put16(1), put16(6), f.resize(14, 0xEE), put16(etherType); break;
    case Framing::Sll2: put16(etherType), put16(0), put32(3), put16(1), f.push_back(4), f.push_back(6), f.resize(20, 0xEE); break;
    case Framing::Raw: break;
    case Framing::Null: f = {static_cast<std::uint8_t>(s.v6 ? 30 : 2), 0, 0, 0}; break;
  }
  const std::size_t ip = f.size();
  const std::size_t transport = s.protocol == 17 ? 8 : 20;
  if (!s.v6) {
    f.resize(ip + 20, 0);
    f[ip] = 0x45;
    f[ip + 9] = static_cast<std::uint8_t>(s.protocol);
    for (int i = 0; i < 4; ++i) {
      f[ip + 12 + i] = static_cast<std::uint8_t>(s.src >> (24 - 8 * i));
      f[ip + 16 + i] = static_cast<std::uint8_t>(s.dst >> (24 - 8 * i));
    }
  } else {
    f.resize(ip + 40, 0);
    f[ip] = 0x60;
    for (int i = 0; i < 16; ++i) f[ip + 8 + i] = s.src6[i], f[ip + 24 + i] = s.dst6[i];
    std::vector<int> chain = s.extensions;
    if (s.laterFragment) chain.push_back(-44);
    std::size_t nextField = ip + 6;
    for (int type : chain) {
      f[nextField] = static_cast<std::uint8_t>(type < 0 ? -type : type);
      const std::size_t at = f.size();
      f.resize(at + (type == 43 ? 16 : 8), 0);  // a routing header of 16 bytes, the others of 8
      if (type == 43) f[at + 1] = 1;
      if (type == -44) f[at + 2] = 0x01, f[at + 3] = 0x01;  // offset 32, more fragments
      nextField = at;
    }
    f[nextField] = static_cast<std::uint8_t>(s.protocol);
  }
  const bool ports = !(s.v6 && s.laterFragment);
  if (ports) {
    const std::size_t t = f.size();
    f.resize(t + transport, 0);
    f[t] = static_cast<std::uint8_t>(s.sport >> 8), f[t + 1] = static_cast<std::uint8_t>(s.sport);
    f[t + 2] = static_cast<std::uint8_t>(s.dport >> 8), f[t + 3] = static_cast<std::uint8_t>(s.dport);
    if (s.protocol == 6) {
      for (int i = 0; i < 4; ++i) f[t + 4 + i] = static_cast<std::uint8_t>(s.seq >> (24 - 8 * i));
      f[t + 12] = 0x50;  // data offset: 20 bytes
      f[t + 13] = 0x18;  // PSH, ACK
    }
  }
  f.insert(f.end(), s.payload.begin(), s.payload.end());
  const std::size_t ipLength = f.size() - ip;
  if (!s.v6) f[ip + 2] = static_cast<std::uint8_t>(ipLength >> 8), f[ip + 3] = static_cast<std::uint8_t>(ipLength);
  else f[ip + 4] = static_cast<std::uint8_t>((ipLength - 40) >> 8), f[ip + 5] = static_cast<std::uint8_t>(ipLength - 40);
  return f;
}

// A TLS record holding a ClientHello for `name` (no server_name extension when empty); `padding` adds
// an extension of that many bytes before the server name, as large key shares do.
inline std::string ClientHelloRecord(std::string_view name, std::size_t padding = 0) {
  std::string ext;
  auto put16 = [](std::string& s, std::size_t v) {
    s += static_cast<char>(v >> 8);
    s += static_cast<char>(v);
  };
  if (padding > 0) {
    put16(ext, 21);  // padding extension
    put16(ext, padding);
    ext.append(padding, '\0');
  }
  if (!name.empty()) {
    put16(ext, 0);
    put16(ext, name.size() + 5);
    put16(ext, name.size() + 3);
    ext += '\0';
    put16(ext, name.size());
    ext += name;
  }
  std::string body = "\x03\x03";
  body.append(32, 'R');
  body += '\0';                          // no session id
  body.append("\x00\x02\x13\x01", 4);    // one cipher suite
  body.append("\x01\x00", 2);            // null compression
  put16(body, ext.size());
  body += ext;
  std::string hs = "\x01";
  hs += static_cast<char>(body.size() >> 16);
  put16(hs, body.size());
  hs += body;
  std::string rec = "\x16\x03\x01";
  put16(rec, hs.size());
  return rec + hs;
}

}  // namespace qv::test
