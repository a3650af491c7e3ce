// Link types, VLAN tags, IPv6 and the framing's settling, through the frame handler.
#include <gtest/gtest.h>

#include "capture/frame_handler.h"
#include "capture/link_layer.h"
#include "tests/capture/frame_builder.h"
#include "tests/capture/recording_sink.h"

namespace qv {
namespace {

using test::BuildFrame;
using test::Doc6;
using test::Framing;
using test::FrameSpec;
using test::IP;

using Recorder = test::RecordingSink;

const std::string kGet = "GET /music/a.mp3 HTTP/1.1\r\nHost: h.example\r\n\r\n";

struct DecodingTest : ::testing::Test {
  DecodingTest() { types.Replace(FileTypeSnapshot().WithEntry(1, ".mp3", true).WithUndefinedTypes(true)); }
  void Start(Framing framing) { handler.StartSession(test::LinkTypeOf(framing)); }
  void Feed(const FrameSpec& s) { Feed(BuildFrame(s)); }
  void Feed(const std::vector<std::uint8_t>& f) {
    test::FeedWhole(handler, f);
  }
  FrameSpec Out(Framing framing, bool v6, std::string payload) const {
    FrameSpec s{framing, 6, IP(192, 168, 1, 5), IP(10, 0, 0, 1), 1234, 80, std::move(payload)};
    s.v6 = v6;
    s.src6 = Doc6(5);
    s.dst6 = Doc6(1);
    return s;
  }
  FileTypeState types;
  Recorder sink;
  std::vector<std::string> localList{"192.168.1.5", "2001:db8::5"};
  FrameHandler handler{types, sink, [this] { return localList; }};
};

TEST_F(DecodingTest, EveryLinkTypeFindsItsIPHeader) {
  struct Case { Framing framing; int index; };
  for (const Case c : {Case{Framing::Ethernet, 0}, Case{Framing::PPPoE, 1}, Case{Framing::Vlan, 0},
                       Case{Framing::QinQ, 0}, Case{Framing::Sll, 0}, Case{Framing::Sll2, 0}, Case{Framing::Raw, 0},
                       Case{Framing::Null, 0}}) {
    for (bool v6 : {false, true}) {
      SCOPED_TRACE(::testing::Message() << "framing " << static_cast<int>(c.framing) << (v6 ? " IPv6" : " IPv4"));
      const std::string remote = v6 ? "[2001:db8::1]:80" : "10.0.0.1:80";
      handler.workMode = WorkMode::Url;
      Start(c.framing);
      sink = {};
      Feed(Out(c.framing, v6, kGet));
      EXPECT_TRUE(handler.FramingSettled());
      EXPECT_EQ(handler.FramingIndex(), c.index);
      ASSERT_EQ(sink.urls.size(), 1u);
      EXPECT_EQ(sink.urls[0].address, "http://h.example/music/a.mp3");
      EXPECT_EQ(sink.urls[0].record->Remote, remote);
      EXPECT_TRUE(sink.urls[0].outbound);
      EXPECT_EQ(handler.LearnedOffset(), 0);

      handler.workMode = WorkMode::Packets;
      FrameSpec udp = Out(c.framing, v6, "datagram");
      udp.protocol = 17;
      std::swap(udp.src, udp.dst);
      std::swap(udp.src6, udp.dst6);
      std::swap(udp.sport, udp.dport);
      Feed(udp);
      ASSERT_EQ(sink.packets.size(), 1u);
      EXPECT_EQ(sink.packets[0].caption, "UDP");
      EXPECT_EQ(sink.packets[0].payload, "datagram");
      EXPECT_EQ(sink.packets[0].length, "8");
      EXPECT_EQ(sink.packets[0].direction, Direction::Inbound);
      EXPECT_EQ(sink.packets[0].record->Remote, remote);
    }
  }
}

// An ARP reply to the local host puts the local address where a PPPoE frame's IPv4 destination would
// be (22 + 16). It must not settle the framing: the next IPv4 frame does.
TEST_F(DecodingTest, ArpFrameNeverSettlesTheFraming) {
  std::vector<std::uint8_t> arp(60, 0);
  arp[12] = 0x08, arp[13] = 0x06;
  arp[14] = 0x00, arp[15] = 0x01, arp[16] = 0x08, arp[17] = 0x00, arp[18] = 6, arp[19] = 4, arp[21] = 2;
  const std::uint8_t local[4] = {192, 168, 1, 5};
  for (int i = 0; i < 4; ++i) arp[38 + i] = local[i];  // target protocol address
  Start(Framing::Ethernet);
  Feed(arp);
  EXPECT_FALSE(handler.FramingSettled());
  Feed(Out(Framing::Ethernet, false, kGet));
  EXPECT_EQ(handler.FramingIndex(), 0);
  ASSERT_EQ(sink.urls.size(), 1u);
  EXPECT_EQ(sink.urls[0].record->Remote, "10.0.0.1:80");
  EXPECT_TRUE(sink.urls[0].outbound);
}

TEST_F(DecodingTest, IPv6ExtensionHeadersAreSkipped) {
  handler.workMode = WorkMode::Packets;
  Start(Framing::Ethernet);
  FrameSpec s = Out(Framing::Ethernet, true, "payload!");
  s.extensions = {0, 43, 60, 44};  // hop-by-hop, routing, destination options, first fragment
  Feed(s);
  ASSERT_EQ(sink.packets.size(), 1u);
  EXPECT_EQ(sink.packets[0].caption, "TCP");
  EXPECT_EQ(sink.packets[0].payload, "payload!");
  EXPECT_EQ(sink.packets[0].record->Remote, "[2001:db8::1]:80");
  EXPECT_EQ(sink.packets[0].direction, Direction::Outbound);

  // A later fragment has no transport header: no ports, and its data is the payload.
  FrameSpec later = Out(Framing::Ethernet, true, "rest of the datagram");
  later.protocol = 17;
  later.laterFragment = true;
  Feed(later);
  ASSERT_EQ(sink.packets.size(), 2u);
  EXPECT_EQ(sink.packets[1].caption, "UDP");
  EXPECT_EQ(sink.packets[1].payload, "rest of the datagram");
  EXPECT_EQ(sink.packets[1].record->Remote, "[2001:db8::1]:0");
}

TEST_F(DecodingTest, SiteFilterTakesAnIPv6Address) {
  handler.workMode = WorkMode::Packets;
  Start(Framing::Ethernet);
  PacketFilter f;
  f.siteAddress = "2001:db8::1";
  handler.SetFilter(f);
  Feed(Out(Framing::Ethernet, true, "to the site"));
  FrameSpec other = Out(Framing::Ethernet, true, "elsewhere");
  other.dst6 = Doc6(0x11);  // 2001:db8::11 holds the site's text, but is another address
  Feed(other);
  Feed(Out(Framing::Ethernet, false, "IPv4"));
  ASSERT_EQ(sink.packets.size(), 1u);
  EXPECT_EQ(sink.packets[0].payload, "to the site");
}

TEST_F(DecodingTest, UnknownLinkTypeIsReadAsEthernet) {
  handler.StartSession(147);  // a user-defined link type
  Feed(Out(Framing::Ethernet, false, kGet));
  EXPECT_EQ(handler.FramingIndex(), 0);
  ASSERT_EQ(sink.urls.size(), 1u);
}

// A frame cut anywhere gives what its bytes show and nothing more: no address from an IP header that
// is not wholly there (so the frame is not taken for the local host's either), the right remote once
// it is, and the payload bytes present. A read past the cut would change these results.
TEST_F(DecodingTest, CutFramesOfEveryLinkTypeGiveOnlyWhatTheirBytesHold) {
  struct Case {
    Framing framing;
    std::size_t network;  // where the IP header starts
  };
  const Case cases[] = {{Framing::Ethernet, 14}, {Framing::PPPoE, 22}, {Framing::Vlan, 18}, {Framing::QinQ, 22},
                        {Framing::Sll, 16},      {Framing::Sll2, 20},  {Framing::Raw, 0},   {Framing::Null, 4}};
  for (const Case& c : cases) {
    for (bool v6 : {false, true}) {
      SCOPED_TRACE(::testing::Message() << "framing " << static_cast<int>(c.framing) << (v6 ? " IPv6" : " IPv4"));
      FrameSpec s = Out(c.framing, v6, kGet);
      if (v6) s.extensions = {0, 44};  // hop-by-hop and first fragment, 8 bytes each
      const auto full = BuildFrame(s);
      const std::size_t ipEnd = c.network + (v6 ? 40 : 20);
      const std::size_t payload = ipEnd + (v6 ? 16 : 0) + 20;
      ASSERT_EQ(full.size(), payload + kGet.size());
      const std::string remote = v6 ? "[2001:db8::1]:" : "10.0.0.1:";
      // Until the link header shows the family, a frame is read as IPv4.
      auto noAddress = [](const std::string& r) { return r.rfind("0.0.0.0:", 0) == 0 || r.rfind("[::]:", 0) == 0; };

      handler.workMode = WorkMode::Packets;
      Start(c.framing);
      Feed(full);  // settles the framing
      for (std::size_t n = 0; n < full.size(); ++n) {
        SCOPED_TRACE(::testing::Message() << n << " of " << full.size() << " bytes");
        sink = {};
        // A copy of exactly n bytes, so that a read past them is caught by the sanitizers too.
        std::vector<std::uint8_t> cut(full.begin(), full.begin() + static_cast<long>(n));
        handler.ProcessPacket(cut.data(), static_cast<std::uint32_t>(full.size()), static_cast<std::uint32_t>(n));
        ASSERT_EQ(sink.packets.size(), 1u);
        const PacketRowData& row = sink.packets[0];
        const std::string& r = row.record->Remote;
        if (n < ipEnd) {
          EXPECT_TRUE(noAddress(r)) << r;
          if (v6) {
            EXPECT_EQ(row.direction, Direction::Inbound);
          }
        } else {
          EXPECT_EQ(r.substr(0, remote.size()), remote);
          EXPECT_EQ(row.direction, Direction::Outbound);
        }
        // The upper-layer protocol once the IPv6 extension headers before it are all there.
        if (n >= payload - 20) {
          EXPECT_EQ(row.caption, "TCP");
        }
        if (n >= payload) {
          EXPECT_EQ(r, remote + "80");
          EXPECT_EQ(row.payload, kGet.substr(0, n - payload));
          EXPECT_EQ(row.length, std::to_string(n - payload));
        } else {
          EXPECT_EQ(row.payload, "");
          EXPECT_EQ(row.length, "0");
        }
      }

      // URL mode lists the address once the Host line has ended ("Host: h.example" then CR), from the
      // right remote; before that, nothing.
      const std::size_t hostEnd = payload + kGet.find("h.example\r") + 10;
      handler.workMode = WorkMode::Url;
      Start(c.framing);
      Feed(full);
      ASSERT_EQ(sink.urls.size(), 1u);
      for (std::size_t n = 0; n < full.size(); ++n) {
        SCOPED_TRACE(::testing::Message() << n << " of " << full.size() << " bytes");
        sink = {};
        std::vector<std::uint8_t> cut(full.begin(), full.begin() + static_cast<long>(n));
        handler.ProcessPacket(cut.data(), static_cast<std::uint32_t>(full.size()), static_cast<std::uint32_t>(n));
        ASSERT_EQ(sink.urls.size(), n >= hostEnd ? 1u : 0u);
        if (n >= hostEnd) {
          EXPECT_EQ(sink.urls[0].address, "http://h.example/music/a.mp3");
          EXPECT_EQ(sink.urls[0].record->Remote, remote + "80");
          EXPECT_TRUE(sink.urls[0].outbound);
        }
      }
    }
  }
}

}  // namespace
}  // namespace qv
