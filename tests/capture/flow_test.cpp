// What no single segment shows: requests over two segments, ClientHellos over one or two segments,
// QUIC Initials; through the frame handler, and the flow table's bounds.
#include <gtest/gtest.h>

#include "capture/flow_watcher.h"
#include "capture/frame_handler.h"
#include "tests/capture/frame_builder.h"
#include "tests/capture/recording_sink.h"
#include "tests/urls/quic_sample.h"

namespace qv {
namespace {

using test::BuildFrame;
using test::ClientHelloRecord;
using test::Doc6;
using test::Framing;
using test::FrameSpec;
using test::IP;

using Recorder = test::RecordingSink;

struct FlowTest : ::testing::Test {
  explicit FlowTest(bool https = true) {
    types.Replace(FileTypeSnapshot().WithEntry(0, ".m4s", true).WithUndefinedTypes(true).WithHttpsHosts(https));
    handler.StartSession();
  }
  // An outbound TCP segment with sequence number `seq`.
  void Send(const std::string& payload, std::uint32_t seq, std::uint16_t dport = 80, bool v6 = false) {
    FrameSpec s{Framing::Ethernet, 6, IP(192, 168, 1, 5), IP(10, 0, 0, 1), 40000, dport, payload};
    s.seq = seq;
    s.v6 = v6;
    s.src6 = Doc6(5);
    s.dst6 = Doc6(1);
    Feed(BuildFrame(s));
  }
  void Feed(const std::vector<std::uint8_t>& f) {
    test::FeedWhole(handler, f);
  }
  std::vector<std::string> Addresses() const {
    std::vector<std::string> a;
    for (const auto& u : sink.urls) a.push_back(u.address);
    return a;
  }
  FileTypeState types;
  Recorder sink;
  std::vector<std::string> localList{"192.168.1.5", "2001:db8::5"};
  FrameHandler handler{types, sink, [this] { return localList; }};
};

const std::string kLine = "GET /seg/v1-" + std::string(300, 't') + ".m4s HTTP/1.1\r\n";
const std::string kHeaders = "User-Agent: test\r\nHost: cdn.example\r\nAccept: */*\r\n\r\n";
const std::string kAddress = "http://cdn.example/seg/v1-" + std::string(300, 't') + ".m4s";

TEST_F(FlowTest, RequestLineAndHostInTwoSegments) {
  struct Case { std::string first, second; };
  const std::size_t cut = kLine.size() - 20;  // inside the request line
  for (const Case& c : {Case{kLine, kHeaders}, Case{kLine.substr(0, cut), kLine.substr(cut) + kHeaders},
                        Case{kLine + "User-Agent: test\r\nHo", "st: cdn.example\r\n\r\n"}}) {
    sink.urls.clear();
    handler.StartSession();
    Send(c.first, 1000);
    EXPECT_TRUE(sink.urls.empty());
    Send(c.second, 1000 + static_cast<std::uint32_t>(c.first.size()));
    ASSERT_EQ(Addresses(), std::vector<std::string>{kAddress}) << c.first.size();
    EXPECT_EQ(sink.urls[0].kind, InsertionKind::RequestLine);
    EXPECT_EQ(sink.urls[0].record->Remote, "10.0.0.1:80");
    EXPECT_EQ(sink.urls[0].record->Packet, c.first + c.second);
    EXPECT_EQ(handler.LearnedOffset(), -1) << "a joined head teaches no offset";
    EXPECT_EQ(handler.Flows().FlowCount(), 0u);
  }
}

TEST_F(FlowTest, SingleSegmentRowsStayAsTheyAre) {
  // A request whole in one segment is listed once, by the per-segment rules.
  Send(kLine + kHeaders, 1000);
  EXPECT_EQ(Addresses(), std::vector<std::string>{kAddress});
  EXPECT_EQ(handler.LearnedOffset(), 0);
  EXPECT_EQ(handler.Flows().FlowCount(), 0u);
}

TEST_F(FlowTest, RetransmissionsGapsAndHeadsWithoutHost) {
  Send(kLine, 1000);
  Send(kLine, 1000);  // sent again: nothing new
  Send("Accept: */*\r\n", 5000);  // a gap: the head is given up
  Send(kHeaders, 1000 + static_cast<std::uint32_t>(kLine.size()));
  EXPECT_TRUE(sink.urls.empty());

  handler.StartSession();
  Send(kLine, 1000);
  Send("Accept: */*\r\n\r\n", 1000 + static_cast<std::uint32_t>(kLine.size()));  // ended, no Host
  EXPECT_EQ(handler.Flows().FlowCount(), 0u);
  EXPECT_TRUE(sink.urls.empty());

  // A head that grows past its bound is dropped.
  handler.StartSession();
  std::uint32_t seq = 1000;
  Send(kLine, seq);
  seq += static_cast<std::uint32_t>(kLine.size());
  const std::string filler = "X-Filler: " + std::string(1000, 'f') + "\r\n";
  for (int i = 0; i < 17; ++i, seq += static_cast<std::uint32_t>(filler.size())) Send(filler, seq);
  EXPECT_EQ(handler.Flows().FlowCount(), 0u);
  Send(kHeaders, seq);
  EXPECT_TRUE(sink.urls.empty());
}

TEST_F(FlowTest, ClientHelloInOneAndInTwoSegments) {
  const std::string small = ClientHelloRecord("www.example.com");
  Send(small, 1, 443);
  const std::string big = ClientHelloRecord("video.example.net", 1800);  // the name lies in its second part
  Send(big.substr(0, 1400), 7, 8443);
  EXPECT_EQ(sink.urls.size(), 1u);
  Send(big.substr(1400), 7 + 1400, 8443);
  ASSERT_EQ(Addresses(), (std::vector<std::string>{"https://www.example.com/", "https://video.example.net:8443/"}));
  for (const auto& u : sink.urls) {
    EXPECT_EQ(u.kind, InsertionKind::RequestLine);
    EXPECT_EQ(u.category, texts::kCatUndefined);
    EXPECT_EQ(u.direction, Direction::Outbound);
  }
  EXPECT_EQ(sink.urls[1].record->Remote, "10.0.0.1:8443");

  // Over IPv6 too.
  Send(small, 1, 443, true);
  ASSERT_EQ(sink.urls.size(), 3u);
  EXPECT_EQ(sink.urls[2].record->Remote, "[2001:db8::1]:443");
}

TEST_F(FlowTest, QuicInitialOfTheRfc) {
  const auto quic = test::RfcClientInitial();
  FrameSpec s{Framing::Ethernet, 17, IP(192, 168, 1, 5), IP(10, 0, 0, 1), 40001, 443,
              std::string(quic.begin(), quic.end())};
  Feed(BuildFrame(s));
  Feed(BuildFrame(s));  // the same connection again: listed once
  ASSERT_EQ(Addresses(), std::vector<std::string>{"https://example.com/"});
  EXPECT_EQ(sink.urls[0].record->Remote, "10.0.0.1:443");
}

// A ClientHello too large for one Initial (as Chromium's with its post-quantum key share): its CRYPTO
// data comes in two packets, here the later part first.
TEST_F(FlowTest, QuicClientHelloOverTwoInitials) {
  const auto crypto = test::FromHex(test::kRfcCrypto);
  const std::vector<std::uint8_t> hello(crypto.begin() + 4, crypto.end());  // without the frame's header
  ASSERT_EQ(hello.size(), 241u);
  auto frame = [&](std::size_t from, std::size_t to) {
    std::vector<std::uint8_t> f = {0x06, static_cast<std::uint8_t>(0x40 | from >> 8), static_cast<std::uint8_t>(from),
                                   static_cast<std::uint8_t>(0x40 | (to - from) >> 8),
                                   static_cast<std::uint8_t>(to - from)};
    f.insert(f.end(), hello.begin() + static_cast<long>(from), hello.begin() + static_cast<long>(to));
    return f;
  };
  auto datagram = [&](std::vector<std::uint8_t> plain, int pn) {
    auto header = test::FromHex(test::kRfcHeader);
    header.back() = static_cast<std::uint8_t>(pn);
    const auto packet = test::ProtectInitial(header, std::move(plain), test::FromHex(test::kRfcKey),
                                             test::FromHex(test::kRfcIv), test::FromHex(test::kRfcHp), 4,
                                             static_cast<std::uint64_t>(pn));
    return BuildFrame(FrameSpec{Framing::Ethernet, 17, IP(192, 168, 1, 5), IP(10, 0, 0, 1), 40002, 443,
                                std::string(packet.begin(), packet.end())});
  };
  Feed(datagram(frame(100, 241), 1));
  EXPECT_TRUE(sink.urls.empty());
  Feed(datagram(frame(0, 100), 2));
  EXPECT_EQ(Addresses(), std::vector<std::string>{"https://example.com/"});
}

struct FlowTestOff : FlowTest {
  FlowTestOff() : FlowTest(false) {}
};

TEST_F(FlowTestOff, ServerNamesOnlyWithTheSwitch) {
  Send(ClientHelloRecord("www.example.com"), 1, 443);
  const auto quic = test::RfcClientInitial();
  Feed(BuildFrame(FrameSpec{Framing::Ethernet, 17, IP(192, 168, 1, 5), IP(10, 0, 0, 1), 40001, 443,
                            std::string(quic.begin(), quic.end())}));
  EXPECT_TRUE(sink.urls.empty());
  // Split requests are not tied to the switch.
  Send(kLine, 1000);
  Send(kHeaders, 1000 + static_cast<std::uint32_t>(kLine.size()));
  EXPECT_EQ(Addresses(), std::vector<std::string>{kAddress});
}

TEST(FlowWatcher, TableStaysWithinItsBounds) {
  FlowWatcher w;
  std::vector<FlowFind> found;
  const std::string head = "GET /" + std::string(15000, 'p');
  std::uint8_t src[16] = {192, 0, 2, 1}, dst[16] = {198, 51, 100, 1};
  for (std::uint32_t i = 0; i < FlowWatcher::kMaxFlows + 500; ++i) {
    const FlowKey key = FlowKey::Make(6, false, src, dst, static_cast<std::uint16_t>(i), 80);
    w.TcpSegment(key, 1, reinterpret_cast<const std::uint8_t*>(head.data()), head.size(), true, false, found);
    ASSERT_LE(w.FlowCount(), FlowWatcher::kMaxFlows);
    ASSERT_LE(w.BytesHeld(), FlowWatcher::kMaxTotalBytes);
  }
  EXPECT_GT(w.FlowCount(), 0u);
  // The oldest went first: the newest is still held, and completes.
  const FlowKey last =
      FlowKey::Make(6, false, src, dst, static_cast<std::uint16_t>(FlowWatcher::kMaxFlows + 499), 80);
  const std::string rest = " HTTP/1.1\r\nHost: h\r\n\r\n";
  w.TcpSegment(last, 1 + static_cast<std::uint32_t>(head.size()), reinterpret_cast<const std::uint8_t*>(rest.data()),
               rest.size(), true, false, found);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].text, head + rest);
}

}  // namespace
}  // namespace qv
