// Writes classic pcap files (Ethernet link type) with plain file I/O, and builds the Ethernet/IPv4/TCP
// frames that the tests and the flood benchmark feed through the capture path.
#pragma once
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace qv::testing {

using Frame = std::vector<std::uint8_t>;

class PcapWriter {
 public:
  explicit PcapWriter(const std::string& path) : file_(std::fopen(path.c_str(), "wb")) {
    if (file_ == nullptr) throw std::runtime_error("cannot create " + path);
    // Magic, version 2.4, zone 0, sigfigs 0, snapshot 65535, link type 1 (Ethernet); little-endian.
    U32(0xA1B2C3D4);
    U16(2);
    U16(4);
    U32(0);
    U32(0);
    U32(65535);
    U32(1);
  }
  ~PcapWriter() {
    if (file_ != nullptr) std::fclose(file_);
  }
  PcapWriter(const PcapWriter&) = delete;
  PcapWriter& operator=(const PcapWriter&) = delete;

  void Write(const Frame& frame) { Write(frame.data(), frame.size()); }
  void Write(const std::uint8_t* bytes, std::size_t size) {
    U32(static_cast<std::uint32_t>(seconds_));
    U32(static_cast<std::uint32_t>(micros_));
    U32(static_cast<std::uint32_t>(size));
    U32(static_cast<std::uint32_t>(size));
    if (std::fwrite(bytes, 1, size, file_) != size) throw std::runtime_error("short write");
    if (++micros_ == 1000000) {
      micros_ = 0;
      ++seconds_;
    }
  }
  void Close() {
    if (file_ != nullptr && std::fclose(file_) != 0) throw std::runtime_error("cannot close");
    file_ = nullptr;
  }

 private:
  void U32(std::uint32_t v) {
    const std::uint8_t b[4] = {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                               static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
    if (std::fwrite(b, 1, 4, file_) != 4) throw std::runtime_error("short write");
  }
  void U16(std::uint16_t v) {
    const std::uint8_t b[2] = {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)};
    if (std::fwrite(b, 1, 2, file_) != 2) throw std::runtime_error("short write");
  }

  std::FILE* file_;
  std::uint64_t seconds_ = 1700000000;
  std::uint64_t micros_ = 0;
};

struct Ipv4 {
  std::uint8_t a, b, c, d;
};

// An Ethernet frame with an IPv4 header (20 bytes) and a TCP header (20 bytes) before `payload`.
inline Frame TcpFrame(Ipv4 src, std::uint16_t srcPort, Ipv4 dst, std::uint16_t dstPort, std::string_view payload,
                      std::uint8_t flags = 0x18) {
  Frame f(14 + 20 + 20 + payload.size(), 0);
  f[12] = 0x08;  // IPv4
  f[13] = 0x00;
  std::uint8_t* ip = f.data() + 14;
  const std::size_t total = 40 + payload.size();
  ip[0] = 0x45;
  ip[2] = static_cast<std::uint8_t>(total >> 8);
  ip[3] = static_cast<std::uint8_t>(total);
  ip[8] = 64;
  ip[9] = 6;  // TCP
  ip[12] = src.a, ip[13] = src.b, ip[14] = src.c, ip[15] = src.d;
  ip[16] = dst.a, ip[17] = dst.b, ip[18] = dst.c, ip[19] = dst.d;
  std::uint8_t* tcp = ip + 20;
  tcp[0] = static_cast<std::uint8_t>(srcPort >> 8), tcp[1] = static_cast<std::uint8_t>(srcPort);
  tcp[2] = static_cast<std::uint8_t>(dstPort >> 8), tcp[3] = static_cast<std::uint8_t>(dstPort);
  tcp[12] = 0x50;
  tcp[13] = flags;
  for (std::size_t i = 0; i < payload.size(); ++i) f[54 + i] = static_cast<std::uint8_t>(payload[i]);
  while (f.size() < 64) f.push_back(0);  // the shortest Ethernet frame
  return f;
}

}  // namespace qv::testing
