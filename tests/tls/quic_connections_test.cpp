#include "tls/quic_connections.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "tests/tls/quic_test_support.h"
#include "tls/https_session.h"

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

// A key log given after the session started (the window's browser command during a capture) is read
// by the QUIC path as well, with no TCP segment to bring it in.
TEST_F(QuicCapture, KeyLogGivenDuringTheSessionIsFollowedByQuicAlone) {
  HttpsSession session;
  session.SetKeyLogFiles({"/nonexistent/keys.log"});
  session.StartSession();
  session.SetKeyLogFiles({kCaptures + "quic_h3.keys"});
  std::vector<HttpsFind> finds;
  for (const Datagram& d : datagrams_) {
    const bool v6 = d.e.v6;
    session.Datagram(v6, d.e.src.data(), d.e.dst.data(), d.e.sport, d.e.dport, d.payload.data(), d.payload.size(),
                     d.seconds, finds);
  }
  session.EndSession();
  EXPECT_EQ(finds.size(), expected_.size());
  EXPECT_EQ(session.Counts().decrypted, 3u);
}

// The server asks for address validation: the client's second Initial carries the Retry's token and a
// new destination connection ID, from which the Initial keys of both sides then come.
TEST(QuicRetry, RequestsAfterARetryAreListed) {
  const std::vector<Datagram> datagrams = quictest::ReadUdp(kCaptures + "quic_retry.pcap");
  KeyLogSecrets keys(kCaptures + "quic_retry.keys");
  const std::vector<std::string> expected = Expected("quic_retry.requests");
  ASSERT_EQ(expected.size(), 2u);
  QuicConnections quic(keys);
  EXPECT_EQ(Replay(quic, datagrams), expected);
  const HttpsCounts c = quic.Counts();
  EXPECT_EQ(c.connections, 1u);
  EXPECT_EQ(c.decrypted, 1u);
}

// Headless Chromium: a page with its script, images (one from a second host, on a connection of its
// own), a video and the icon; the server's list is in the order it received them, which across two
// connections need not be the capture's.
TEST(QuicChromium, EveryRequestTheServerReceivedIsListed) {
  const std::vector<Datagram> datagrams = quictest::ReadUdp(kCaptures + "quic_chromium.pcap");
  KeyLogSecrets keys(kCaptures + "quic_chromium.keys");
  std::vector<std::string> expected = Expected("quic_chromium.requests");
  ASSERT_EQ(expected.size(), 6u);
  QuicConnections quic(keys);
  std::vector<std::string> listed = Replay(quic, datagrams);
  std::sort(listed.begin(), listed.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(listed, expected);
  const HttpsCounts c = quic.Counts();
  EXPECT_EQ(c.connections, 2u);
  EXPECT_EQ(c.decrypted, 2u);
}

}  // namespace
}  // namespace qv::tls

namespace qv::tls {
namespace {

using quictest::Datagram;

bool FromClient(const Datagram& d) { return d.e.dport == 4433; }
bool ShortHeader(const Datagram& d) { return !d.payload.empty() && !(d.payload[0] & 0x80); }

// Keys written after the first packets: every connection's datagrams but its last client one go by
// before the key log has them; the held packets are read once the key is there, unless they have
// waited too long.
TEST_F(QuicCapture, PacketsBeforeTheKeyAreHeldUntilItArrives) {
  std::map<std::uint16_t, std::size_t> last;  // client port -> its last datagram
  for (std::size_t i = 0; i < datagrams_.size(); ++i)
    if (FromClient(datagrams_[i])) last[datagrams_[i].e.sport] = i;
  std::vector<Datagram> early, late;
  for (std::size_t i = 0; i < datagrams_.size(); ++i) {
    const bool isLast = FromClient(datagrams_[i]) && last[datagrams_[i].e.sport] == i;
    (isLast ? late : early).push_back(datagrams_[i]);
  }
  for (double wait : {0.0, 6.0}) {
    SCOPED_TRACE(wait);
    keys_.open = false;
    QuicConnections quic(keys_);
    EXPECT_TRUE(Replay(quic, early).empty());
    EXPECT_EQ(quic.Counts().withoutKeys, 4u);
    keys_.open = true;
    const std::vector<std::string> listed = Replay(quic, late, 0, SIZE_MAX, wait);
    if (wait < QuicConnections::kMaxHeldSeconds) {
      EXPECT_EQ(listed, expected_);
      EXPECT_EQ(quic.DroppedHeldPackets(), 0u);
    } else {
      EXPECT_TRUE(listed.empty());
      EXPECT_GT(quic.DroppedHeldPackets(), 0u);
    }
    EXPECT_EQ(quic.Counts().decrypted, 3u);
  }
}

// Packets that do not verify give no row: a damaged copy of each request packet, junk on the
// connection's addresses, every packet cut short. A connection whose 1-RTT packets all fail is counted
// as failed.
TEST_F(QuicCapture, PacketsThatDoNotVerifyGiveNoRow) {
  std::vector<Datagram> mixed;
  for (const Datagram& d : datagrams_) {
    if (FromClient(d) && ShortHeader(d)) {
      for (std::size_t cut : {std::size_t{1}, std::size_t{9}, std::size_t{30}, d.payload.size() - 1}) {
        Datagram shortened = d;
        shortened.payload.resize(std::min(cut, d.payload.size()));
        mixed.push_back(shortened);
      }
      Datagram damaged = d;
      damaged.payload[damaged.payload.size() / 2] ^= 0x01;
      mixed.push_back(damaged);
      Datagram junk = d;
      for (std::size_t i = 1; i < junk.payload.size(); ++i) junk.payload[i] = static_cast<std::uint8_t>(i * 37);
      mixed.push_back(junk);
    }
    mixed.push_back(d);
  }
  QuicConnections quic(keys_);
  EXPECT_EQ(Replay(quic, mixed), expected_);
  EXPECT_EQ(quic.Counts().failed, 0u);

  // The AES-256 connection (the third) with every 1-RTT packet damaged.
  std::vector<std::uint16_t> ports;
  for (const Datagram& d : datagrams_)
    if (FromClient(d) && std::find(ports.begin(), ports.end(), d.e.sport) == ports.end()) ports.push_back(d.e.sport);
  ASSERT_EQ(ports.size(), 4u);
  std::vector<Datagram> damaged = datagrams_;
  // A 1-RTT packet ends its datagram, also when it follows Initial and Handshake packets; the first
  // datagram (the ClientHello) is left whole.
  bool first = true;
  for (Datagram& d : damaged)
    if (FromClient(d) && d.e.sport == ports[2]) {
      if (!first) d.payload.back() ^= 0x80;
      first = false;
    }
  QuicConnections broken(keys_);
  std::vector<std::string> want(expected_.begin(), expected_.end() - 1);
  EXPECT_EQ(Replay(broken, damaged), want);
  const HttpsCounts c = broken.Counts();
  EXPECT_EQ(c.decrypted, 2u);
  EXPECT_EQ(c.failed, 1u);
  EXPECT_EQ(c.withoutKeys, 1u);
}

// Without the server's datagrams (one direction captured) the cipher suite and the connection ID's
// length are found by the first packet that verifies.
TEST_F(QuicCapture, TheClientsDirectionAloneIsEnough) {
  std::vector<Datagram> client;
  for (const Datagram& d : datagrams_)
    if (FromClient(d)) client.push_back(d);
  QuicConnections quic(keys_);
  EXPECT_EQ(Replay(quic, client), expected_);
  const HttpsCounts c = quic.Counts();
  EXPECT_EQ(c.decrypted, 3u);
  EXPECT_EQ(c.withoutKeys, 1u);
  EXPECT_EQ(c.failed, 0u);
}

// A new connection on the endpoints of one that has ended (its port used again) is read with its own key.
TEST_F(QuicCapture, APortUsedAgainIsANewConnection) {
  std::vector<std::uint16_t> ports;
  for (const Datagram& d : datagrams_)
    if (FromClient(d) && std::find(ports.begin(), ports.end(), d.e.sport) == ports.end()) ports.push_back(d.e.sport);
  ASSERT_EQ(ports.size(), 4u);
  std::vector<Datagram> reused = datagrams_;
  for (Datagram& d : reused) {
    if (d.e.sport == ports[2]) d.e.sport = ports[1];
    if (d.e.dport == ports[2]) d.e.dport = ports[1];
  }
  QuicConnections quic(keys_);
  EXPECT_EQ(Replay(quic, reused), expected_);
  const HttpsCounts c = quic.Counts();
  EXPECT_EQ(c.connections, 4u);
  EXPECT_EQ(c.decrypted, 3u);
  EXPECT_EQ(c.failed, 0u);
}

// More connections than kept: the oldest go first and are still counted.
TEST_F(QuicCapture, OldestConnectionsAreDroppedAndCounted) {
  const Datagram* initial = nullptr;
  for (const Datagram& d : datagrams_)
    if (FromClient(d) && !ShortHeader(d)) {
      initial = &d;
      break;
    }
  ASSERT_NE(initial, nullptr);
  QuicConnections quic(keys_);
  const std::size_t n = QuicConnections::kMaxConnections + 100;
  for (std::size_t i = 0; i < n; ++i) {
    Datagram d = *initial;
    d.e.sport = static_cast<std::uint16_t>(10000 + i);
    std::vector<HttpsRequest> out;
    quic.Datagram(d.e, d.payload.data(), d.payload.size(), d.seconds, out);
  }
  EXPECT_EQ(quic.DroppedConnections(), 100u);
  EXPECT_EQ(quic.Counts().connections, n);
  quic.Clear();
  EXPECT_EQ(quic.Counts().connections, 0u);
  // After a Clear the capture reads as before.
  EXPECT_EQ(Replay(quic, datagrams_), expected_);
}

}  // namespace
}  // namespace qv::tls
