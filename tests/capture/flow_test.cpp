// What no single segment shows: requests over two segments, ClientHellos over one or two segments,
// QUIC Initials; through the frame handler, and the flow table's bounds.
#include <gtest/gtest.h>

#include <map>

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

// Each bound at its edge: a request head is held while it is shorter than kMaxHeadBytes (a segment of
// that size is never held, and a head that grows to it is dropped); the table holds kMaxFlows flows
// and kMaxTotalBytes bytes, and one more flow or byte drops the oldest flow.
struct HeadSender {
  FlowWatcher w;
  std::vector<FlowFind> found;
  std::uint8_t src[16] = {192, 0, 2, 1}, dst[16] = {198, 51, 100, 1};
  std::map<std::uint16_t, std::uint32_t> next;  // the next sequence number of each flow
  FlowKey Key(std::uint16_t port) const { return FlowKey::Make(6, false, src, dst, port, 80); }
  void Send(std::uint16_t port, const std::string& bytes) {
    auto [at, fresh] = next.try_emplace(port, 1u);
    w.TcpSegment(Key(port), at->second, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), true,
                 false, found);
    at->second += static_cast<std::uint32_t>(bytes.size());
  }
  // A head without its Host line yet: "GET /ppp…" of `size` bytes in all.
  static std::string Head(std::size_t size) { return "GET /" + std::string(size - 5, 'p'); }
};
const std::string kHostAndEnd = " HTTP/1.1\r\nHost: h\r\n\r\n";

TEST(FlowWatcher, HeadIsHeldUpToItsLimit) {
  constexpr std::size_t kMax = FlowWatcher::kMaxHeadBytes;
  struct Case {
    std::vector<std::size_t> parts;  // the head's segments before the one with the Host line
    bool completes;
  };
  for (const Case& c : {Case{{kMax - 1}, true}, Case{{kMax}, false}, Case{{kMax - 101, 100}, true},
                        Case{{kMax - 100, 100}, false}}) {
    SCOPED_TRACE(::testing::Message() << c.parts[0] << (c.parts.size() > 1 ? " + 100" : ""));
    HeadSender h;
    std::string head = HeadSender::Head(c.parts[0]);
    h.Send(7, head);
    for (std::size_t i = 1; i < c.parts.size(); ++i) {
      head += std::string(c.parts[i], 'q');
      h.Send(7, std::string(c.parts[i], 'q'));
    }
    EXPECT_EQ(h.w.FlowCount(), c.completes ? 1u : 0u);
    EXPECT_EQ(h.w.BytesHeld(), c.completes ? head.size() : 0u);
    h.Send(7, kHostAndEnd);
    if (c.completes) {
      ASSERT_EQ(h.found.size(), 1u);
      EXPECT_EQ(h.found[0].text, head + kHostAndEnd);
    } else {
      EXPECT_TRUE(h.found.empty());
    }
    EXPECT_EQ(h.w.FlowCount(), 0u);
    EXPECT_EQ(h.w.BytesHeld(), 0u);
  }
}

TEST(FlowWatcher, TableHoldsItsLimitsAndDropsTheOldestBeyond) {
  // kMaxFlows flows of a small head each, then one more.
  for (const std::size_t flows : {FlowWatcher::kMaxFlows, FlowWatcher::kMaxFlows + 1}) {
    SCOPED_TRACE(flows);
    HeadSender h;
    for (std::size_t i = 0; i < flows; ++i) h.Send(static_cast<std::uint16_t>(i), HeadSender::Head(10));
    const bool over = flows > FlowWatcher::kMaxFlows;
    EXPECT_EQ(h.w.FlowCount(), FlowWatcher::kMaxFlows);
    EXPECT_EQ(h.w.BytesHeld(), FlowWatcher::kMaxFlows * 10);
    h.Send(0, kHostAndEnd);  // the oldest: gone only when one flow too many came
    h.Send(1, kHostAndEnd);
    EXPECT_EQ(h.found.size(), over ? 1u : 2u);
  }
  // Heads that add up to exactly kMaxTotalBytes, then to one byte more.
  constexpr std::size_t kBig = FlowWatcher::kMaxHeadBytes - 1;
  constexpr std::size_t kBigFlows = FlowWatcher::kMaxTotalBytes / kBig;
  static_assert(kBigFlows + 1 < FlowWatcher::kMaxFlows);
  constexpr std::size_t kRest = FlowWatcher::kMaxTotalBytes - kBigFlows * kBig;
  for (const std::size_t last : {kRest, kRest + 1}) {
    SCOPED_TRACE(last);
    HeadSender h;
    for (std::size_t i = 0; i < kBigFlows; ++i) h.Send(static_cast<std::uint16_t>(i), HeadSender::Head(kBig));
    h.Send(static_cast<std::uint16_t>(kBigFlows), HeadSender::Head(last));
    const bool over = last > kRest;
    EXPECT_EQ(h.w.FlowCount(), over ? kBigFlows : kBigFlows + 1);
    EXPECT_EQ(h.w.BytesHeld(), over ? FlowWatcher::kMaxTotalBytes + 1 - kBig : FlowWatcher::kMaxTotalBytes);
    h.Send(0, kHostAndEnd);
    h.Send(1, kHostAndEnd);
    h.Send(static_cast<std::uint16_t>(kBigFlows), kHostAndEnd);
    ASSERT_EQ(h.found.size(), over ? 2u : 3u);
    EXPECT_EQ(h.found.back().text, HeadSender::Head(last) + kHostAndEnd);
  }
}

}  // namespace
}  // namespace qv
