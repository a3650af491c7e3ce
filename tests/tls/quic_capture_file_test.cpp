// A capture file with QUIC and no TCP implies its local addresses from the client Initials.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <unistd.h>

#include "capture/capture_file.h"
#include "capture/pcap_net.h"
#include "tests/tls/quic_test_support.h"

namespace qv {
namespace {

const std::string kCapture = std::string(QUELVAR_SOURCE_DIR) + "/tests/tls/captures/quic_h3.pcap";

// The capture with the client at 192.0.2.7 and the server at 198.51.100.1 (IPv4 over Ethernet, as
// recorded); with `serverOnly`, the server's datagrams alone.
std::string Rewritten(bool serverOnly) {
  const std::string in = tls::quictest::ReadFileBytes(kCapture);
  std::string out = in.substr(0, 24);
  const std::uint8_t client[4] = {192, 0, 2, 7}, server[4] = {198, 51, 100, 1};
  std::size_t pos = 24;
  while (pos + 16 <= in.size()) {
    std::uint32_t caplen;
    std::memcpy(&caplen, in.data() + pos + 8, 4);
    std::string record = in.substr(pos, 16 + caplen);
    pos += 16 + caplen;
    if (caplen < 14 + 28) continue;
    auto* ip = reinterpret_cast<std::uint8_t*>(record.data()) + 16 + 14;
    const bool fromClient = (ip[22] << 8 | ip[23]) == 4433;  // the destination port
    if (serverOnly && fromClient) continue;
    std::memcpy(ip + 12, fromClient ? client : server, 4);
    std::memcpy(ip + 16, fromClient ? server : client, 4);
    out += record;
  }
  return out;
}

// A frame with a TCP SYN from 203.0.113.9 (Ethernet, IPv4), as a pcap record.
std::string SynRecord() {
  std::string frame(14 + 20 + 20, '\0');
  frame[12] = 0x08;
  frame[14] = 0x45;
  frame[14 + 9] = 6;
  const char src[4] = {static_cast<char>(203), 0, 113, 9}, dst[4] = {static_cast<char>(198), 51, 100, 1};
  frame.replace(14 + 12, 4, src, 4);
  frame.replace(14 + 16, 4, dst, 4);
  frame[14 + 20 + 12] = 0x50;
  frame[14 + 20 + 13] = 0x02;  // SYN
  std::string record(16, '\0');
  const std::uint32_t length = static_cast<std::uint32_t>(frame.size());
  std::memcpy(&record[8], &length, 4);
  std::memcpy(&record[12], &length, 4);
  return record + frame;
}

TEST(QuicCaptureFile, LocalAddressesComeFromClientInitials) {
  PcapNet net;
  ASSERT_TRUE(net.Bind());
  struct Case {
    bool serverOnly, withSyn;
    std::vector<std::string> local;
  };
  const Case cases[] = {
      {false, false, {"192.0.2.7"}},
      {true, false, {}},               // the server's Initials do not make it local
      {false, true, {"203.0.113.9"}},  // a file with SYNs implies what it always did
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.serverOnly) + std::to_string(c.withSyn));
    const std::string path = ::testing::TempDir() + "quic_local_" + std::to_string(getpid()) + ".pcap";
    std::ofstream(path, std::ios::binary) << Rewritten(c.serverOnly) + (c.withSyn ? SynRecord() : "");
    const std::vector<std::string> local = InferLocalAddresses(net, path);
    std::remove(path.c_str());
    EXPECT_EQ(local, c.local);
  }
}

}  // namespace
}  // namespace qv
