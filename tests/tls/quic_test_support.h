// Reading the QUIC test captures: UDP datagrams of a classic pcap file (Ethernet, IPv4 or IPv6) and
// an NSS key log as a SecretLookup.
#pragma once
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tls/quic_connections.h"
#include "tls/secrets.h"

namespace qv::tls::quictest {

struct Datagram {
  UdpEndpoints e;
  double seconds = 0;
  std::vector<std::uint8_t> payload;
};

inline std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::vector<Datagram> ReadUdp(const std::string& path) {
  const std::string f = ReadFileBytes(path);
  std::vector<Datagram> out;
  auto u32 = [&](std::size_t at) {
    std::uint32_t v;
    std::memcpy(&v, f.data() + at, 4);
    return v;
  };
  if (f.size() < 24 || u32(0) != 0xA1B2C3D4u || u32(20) != 1) return out;  // little-endian, Ethernet
  std::size_t pos = 24;
  while (pos + 16 <= f.size()) {
    const std::uint32_t caplen = u32(pos + 8);
    const double seconds = u32(pos) + u32(pos + 4) / 1e6;
    pos += 16;
    if (caplen > f.size() - pos) break;
    const auto* p = reinterpret_cast<const std::uint8_t*>(f.data() + pos);
    pos += caplen;
    if (caplen < 14) continue;
    const unsigned ethertype = p[12] << 8 | p[13];
    Datagram d;
    d.seconds = seconds;
    std::size_t udp;
    if (ethertype == 0x0800 && caplen >= 34 && p[23] == 17) {
      udp = 14 + (p[14] & 0x0F) * 4;
      std::memcpy(d.e.src.data(), p + 26, 4);
      std::memcpy(d.e.dst.data(), p + 30, 4);
    } else if (ethertype == 0x86DD && caplen >= 54 && p[20] == 17) {
      udp = 54;
      d.e.v6 = true;
      std::memcpy(d.e.src.data(), p + 22, 16);
      std::memcpy(d.e.dst.data(), p + 38, 16);
    } else {
      continue;
    }
    if (udp + 8 > caplen) continue;
    d.e.sport = static_cast<std::uint16_t>(p[udp] << 8 | p[udp + 1]);
    d.e.dport = static_cast<std::uint16_t>(p[udp + 2] << 8 | p[udp + 3]);
    d.payload.assign(p + udp + 8, p + caplen);
    out.push_back(std::move(d));
  }
  return out;
}

// CLIENT_TRAFFIC_SECRET_0 lines of a key log; `open` says whether Find answers yet (a key written late).
class KeyLogSecrets : public SecretLookup {
 public:
  explicit KeyLogSecrets(const std::string& path) {
    std::istringstream in(ReadFileBytes(path));
    std::string label, random, secret;
    while (in >> label >> random >> secret) {
      if (label != "CLIENT_TRAFFIC_SECRET_0" || random.size() != 64) continue;
      secrets_[Hex(random)] = Hex(secret);
    }
  }
  bool Find(SecretKind kind, const ClientRandom& random, std::string& secret) const override {
    if (!open || kind != SecretKind::ClientTraffic0) return false;
    auto it = secrets_.find(std::string(random.begin(), random.end()));
    if (it == secrets_.end()) return false;
    secret = it->second;
    return true;
  }
  std::size_t size() const { return secrets_.size(); }
  bool open = true;

 private:
  static std::string Hex(const std::string& h) {
    std::string out;
    for (std::size_t i = 0; i + 1 < h.size(); i += 2) out.push_back(static_cast<char>(std::stoi(h.substr(i, 2), nullptr, 16)));
    return out;
  }
  std::map<std::string, std::string> secrets_;
};

// "METHOD AUTHORITY PATH" of a request, from its fields.
inline std::string Line(const HttpsRequest& r) {
  std::string method, authority, path;
  for (const HeaderField& f : r.fields) {
    if (f.name == ":method") method = f.value;
    if (f.name == ":authority") authority = f.value;
    if (f.name == ":path") path = f.value;
  }
  return method + " " + authority + " " + path;
}

}  // namespace qv::tls::quictest
