// Builds frames for tests: Ethernet or PPPoE framing, an IPv4 header of 20 bytes, ports and payload.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qv::test {

enum class Framing { Ethernet, PPPoE };

inline std::uint32_t IP(int a, int b, int c, int d) {
  return std::uint32_t(a) << 24 | std::uint32_t(b) << 16 | std::uint32_t(c) << 8 | std::uint32_t(d);
}

struct FrameSpec {
  Framing framing = Framing::Ethernet;
  int protocol = 6;
  std::uint32_t src = 0, dst = 0;
  std::uint16_t sport = 0, dport = 0;
  std::string payload;  // placed after 20 bytes of TCP header (8 of UDP when udp)
};

inline std::vector<std::uint8_t> BuildFrame(const FrameSpec& s) {
  const std::size_t ip = s.framing == Framing::Ethernet ? 14 : 22;
  const std::size_t transport = s.protocol == 17 ? 8 : 20;
  std::vector<std::uint8_t> f(ip + 20 + transport, 0);
  if (s.framing == Framing::Ethernet) {
    f[12] = 0x08;
  } else {
    f[12] = 0x88, f[13] = 0x64, f[14] = 0x11, f[20] = 0x00, f[21] = 0x21;
  }
  auto put32 = [&](std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) f[at + i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
  };
  f[ip] = 0x45;
  f[ip + 9] = static_cast<std::uint8_t>(s.protocol);
  put32(ip + 12, s.src);
  put32(ip + 16, s.dst);
  f[ip + 20] = static_cast<std::uint8_t>(s.sport >> 8), f[ip + 21] = static_cast<std::uint8_t>(s.sport);
  f[ip + 22] = static_cast<std::uint8_t>(s.dport >> 8), f[ip + 23] = static_cast<std::uint8_t>(s.dport);
  f.insert(f.end(), s.payload.begin(), s.payload.end());
  return f;
}

}  // namespace qv::test
