#include "tls/quic_connections.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "tests/tls/quic_test_support.h"

namespace qv::tls {
namespace {

using quictest::Datagram;
using quictest::KeyLogSecrets;
using quictest::Line;

const std::string kCaptures = std::string(QUELVAR_SOURCE_DIR) + "/tests/tls/captures/";

// The client's own list of requests, in the order it made them.
std::vector<std::string> Expected(const std::string& name) {
  std::ifstream in(kCaptures + name);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);)
    if (!line.empty() && line[0] != '#') lines.push_back(line);
  return lines;
}

std::vector<std::string> Replay(QuicConnections& quic, const std::vector<Datagram>& datagrams, std::size_t from = 0,
                             std::size_t to = SIZE_MAX, double shift = 0) {
  std::vector<std::string> lines;
  for (std::size_t i = from; i < std::min(to, datagrams.size()); ++i) {
    const Datagram& d = datagrams[i];
    std::vector<HttpsRequest> out;
    quic.Datagram(d.e, d.payload.data(), d.payload.size(), d.seconds + shift, out);
    for (const HttpsRequest& r : out) lines.push_back(Line(r));
  }
  return lines;
}

class QuicCapture : public ::testing::Test {
 protected:
  std::vector<Datagram> datagrams_ = quictest::ReadUdp(kCaptures + "quic_h3.pcap");
  KeyLogSecrets keys_{kCaptures + "quic_h3.keys"};
  std::vector<std::string> expected_ = Expected("quic_h3.requests");
};

TEST_F(QuicCapture, EveryRequestIsListedWithItsWholeAddress) {
  ASSERT_GT(datagrams_.size(), 20u);
  ASSERT_EQ(keys_.size(), 3u);
  ASSERT_EQ(expected_.size(), 6u);
  QuicConnections quic(keys_);
  EXPECT_EQ(Replay(quic, datagrams_), expected_);
  const HttpsCounts c = quic.Counts();
  EXPECT_EQ(c.connections, 4u);
  EXPECT_EQ(c.decrypted, 3u);
  EXPECT_EQ(c.withoutKeys, 1u);
  EXPECT_EQ(c.failed, 0u);
}

}  // namespace
}  // namespace qv::tls
