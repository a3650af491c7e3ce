#include "capture/frame_handler.h"

#include <gtest/gtest.h>

#include "tests/capture/frame_builder.h"
#include "tests/capture/recording_sink.h"

namespace qv {
namespace {

using test::BuildFrame;
using test::Framing;
using test::FrameSpec;
using test::IP;

using Recorder = test::RecordingSink;

const std::uint32_t kLocal = IP(192, 168, 1, 5);
const std::uint32_t kRemote = IP(10, 0, 0, 1);
const std::string kGet = "GET /music/a.mp3 HTTP/1.1\r\nHost: h.example\r\n\r\n";

struct HandlerTest : ::testing::Test {
  HandlerTest() {
    types.Replace(FileTypeSnapshot().WithEntry(1, ".mp3", true).WithUndefinedTypes(true));
    handler.SetQueueObserver([this](std::string_view e) { entries.emplace_back(e); });
    handler.StartSession();
  }
  void Feed(const FrameSpec& s) {
    const auto f = BuildFrame(s);
    test::FeedWhole(handler, f);
  }
  FrameSpec Out(std::string payload, Framing fr = Framing::Ethernet) {
    return FrameSpec{fr, 6, kLocal, kRemote, 1234, 80, std::move(payload)};
  }
  FrameSpec In(std::string payload, Framing fr = Framing::Ethernet) {
    return FrameSpec{fr, 6, kRemote, kLocal, 80, 1234, std::move(payload)};
  }
  FileTypeState types;
  Recorder sink;
  std::vector<std::string> localList{"192.168.1.5"};
  FrameHandler handler{types, sink, [this] { return localList; }};
  std::vector<std::string> entries;
};

TEST_F(HandlerTest, OutboundRequestBecomesQueueEntryAndRow) {
  Feed(Out(kGet));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0], "110.0.0.1:80|" + kGet);
  EXPECT_EQ(handler.FramingIndex(), 0);
  ASSERT_EQ(sink.urls.size(), 1u);
  EXPECT_EQ(sink.urls[0].address, "http://h.example/music/a.mp3");
  EXPECT_EQ(sink.urls[0].record->Remote, "10.0.0.1:80");
  EXPECT_TRUE(sink.urls[0].outbound);
  EXPECT_EQ(handler.LearnedOffset(), 0);
}

TEST_F(HandlerTest, FramingTable) {
  struct Case {
    Framing framing;
    std::vector<std::string> local;
    int index;
    bool settled;
  } cases[] = {
      {Framing::Ethernet, {"192.168.1.5"}, 0, true},
      {Framing::PPPoE, {"192.168.1.5"}, 1, true},
      {Framing::Ethernet, {"172.16.0.9"}, 2, false},
      {Framing::Ethernet, {}, 2, false},
  };
  for (const auto& c : cases) {
    localList = c.local;
    handler.StartSession();
    Feed(Out(kGet, c.framing));
    EXPECT_EQ(handler.FramingIndex(), c.index);
    EXPECT_EQ(handler.FramingSettled(), c.settled);
  }
}

TEST_F(HandlerTest, PppoeSettlesAndPayloadLengthFollowsOffset) {
  handler.workMode = WorkMode::Packets;
  Feed(In("0123456789", Framing::PPPoE));
  EXPECT_EQ(handler.FramingIndex(), 1);
  ASSERT_EQ(sink.packets.size(), 1u);
  EXPECT_EQ(sink.packets[0].payload, "0123456789");
  EXPECT_EQ(sink.packets[0].length, "10");  // frame length - 62
  EXPECT_EQ(sink.packets[0].direction, Direction::Inbound);
  EXPECT_EQ(sink.packets[0].record->Remote, "10.0.0.1:80");

  FrameSpec udp = In("abcdefgh", Framing::PPPoE);
  udp.protocol = 17;
  Feed(udp);
  ASSERT_EQ(sink.packets.size(), 2u);
  EXPECT_EQ(sink.packets[1].payload, "abcdefgh");  // frame length - 50
  EXPECT_EQ(sink.packets[1].caption, "UDP");
}

TEST_F(HandlerTest, UnsettledUrlModeTakesOffset22WholeAndUnfiltered) {
  localList = {};
  PacketFilter f;
  f.protocol = 17;  // would drop every TCP frame once settled
  handler.SetFilter(f);
  // Read at offset 22, the payload begins 8 bytes into the Ethernet payload's text.
  Feed(Out("XXXXXXXX" + kGet));
  EXPECT_FALSE(handler.FramingSettled());
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0][0], '0') << "with no local address every frame is inbound";
  EXPECT_EQ(entries[0].substr(entries[0].find('|') + 1), kGet);
}

TEST_F(HandlerTest, LearnedOffsetCutsLaterPayloads) {
  Feed(Out(kGet));
  ASSERT_EQ(handler.LearnedOffset(), 0);
  // Offset 0: the payload up to its first zero byte.
  Feed(Out(kGet + std::string("\0tail-after-zero-byte", 21)));
  EXPECT_EQ(entries.back().substr(entries.back().find('|') + 1), kGet);
  // Port 1755 takes everything, zero bytes as NUL markers.
  FrameSpec mms = Out(std::string("0123456789abcdefghij\0z", 22));
  mms.dport = 1755;
  Feed(mms);
  EXPECT_EQ(entries.back(), "110.0.0.1:1755|0123456789abcdefghij\xA5\xFEz");
}

TEST_F(HandlerTest, LearnedOffsetFromAMethodInsideThePayload) {
  Feed(Out("xyzGET /a.mp3 HTTP/1.1\r\nHost: h.example\r\n"));
  EXPECT_EQ(handler.LearnedOffset(), 3);
  // f = 3: the first L - 3 + 3 bytes, i.e. all of them.
  Feed(Out(std::string("abcdefghijklmnopqrstu\0vw", 24)));
  EXPECT_EQ(entries.back().substr(entries.back().find('|') + 1), "abcdefghijklmnopqrstu\xA5\xFEvw");
}

TEST_F(HandlerTest, PayloadTextLengthLimitsAndNulMarkers) {
  Feed(Out(std::string(19, 'a')));  // frame of 73 bytes, text of 19: dropped
  EXPECT_TRUE(entries.empty());
  Feed(Out(std::string(20, 'a')));
  EXPECT_EQ(entries.size(), 1u);
  Feed(Out(std::string(10, '\0')));  // ten zero bytes make a 20-byte text
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[1].size(), std::string("110.0.0.1:80|").size() + 20);
  // Shorter than 64 bytes in all: dropped before anything is read.
  Feed(Out(std::string(9, 'a')));
  EXPECT_EQ(entries.size(), 2u);
}

TEST_F(HandlerTest, DirectionAndRemoteFromLocalAddresses) {
  Feed(In(std::string(30, 'x')));
  EXPECT_EQ(entries.back().substr(0, 13), "010.0.0.1:80|");
  // Neither end local: inbound, the source is the remote.
  Feed(FrameSpec{Framing::Ethernet, 6, IP(1, 2, 3, 4), IP(5, 6, 7, 8), 443, 999, std::string(30, 'x')});
  EXPECT_EQ(entries.back().substr(0, 13), "01.2.3.4:443|");
  // The same peer on another port, then the first peer again: each frame names its own remote.
  Feed(FrameSpec{Framing::Ethernet, 6, IP(1, 2, 3, 4), IP(5, 6, 7, 8), 444, 999, std::string(30, 'x')});
  EXPECT_EQ(entries.back().substr(0, 13), "01.2.3.4:444|");
  Feed(Out(std::string(30, 'x')));
  EXPECT_EQ(entries.back().substr(0, 13), "110.0.0.1:80|");
  EXPECT_EQ(sink.urls.size(), 0u);
}

TEST_F(HandlerTest, SettledUrlModeAppliesFilterButNotMinimumLength) {
  Feed(Out(kGet));  // settles
  PacketFilter f;
  f.direction = 1;  // inbound only
  f.minLength = 9999;
  handler.SetFilter(f);
  Feed(Out(std::string(30, 'o')));
  Feed(In(std::string(30, 'i')));
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries.back()[0], '0');
  f = {};
  f.contained = "NEEDLE";
  handler.SetFilter(f);
  Feed(In(std::string(30, 'i')));
  Feed(In("....needle......................"));
  EXPECT_EQ(entries.size(), 3u);
}

TEST_F(HandlerTest, AdapterTestOnlyCountsFrames) {
  handler.test.TestActive = true;
  for (int i = 1; i <= 11; ++i) {
    Feed(Out(kGet));
    EXPECT_EQ(handler.test.TestTrafficSeen.load(), i >= 11) << "frame " << i;
  }
  EXPECT_EQ(handler.test.TestFrameCount.load(), 11);
  EXPECT_TRUE(entries.empty());
  EXPECT_TRUE(sink.urls.empty());
}

TEST_F(HandlerTest, PacketModeFilterOrderAndRows) {
  handler.workMode = WorkMode::Packets;
  PacketFilter f;
  f.minLength = 6;
  handler.SetFilter(f);
  Feed(In(std::string(3, '\0')));  // text of 6 bytes passes 6
  f.minLength = 7;
  handler.SetFilter(f);
  Feed(In(std::string(3, '\0')));
  ASSERT_EQ(sink.packets.size(), 1u);
  EXPECT_EQ(sink.packets[0].payload, "\xA5\xFE\xA5\xFE\xA5\xFE");
  EXPECT_EQ(sink.packets[0].length, "3");
  FrameSpec gre = In("x");
  gre.protocol = 47;
  handler.SetFilter({});
  Feed(gre);
  ASSERT_EQ(sink.packets.size(), 2u);
  EXPECT_EQ(sink.packets[1].caption, "\xC6\xE4\xCB\xFB:   47");
}

TEST_F(HandlerTest, TruncatedFramesNeverReadPastTheirEnd) {
  // Every length from 0 to a full header, in both modes, with captured bytes shorter than the wire.
  const auto full = BuildFrame(Out(kGet));
  for (WorkMode mode : {WorkMode::Url, WorkMode::Packets}) {
    handler.workMode = mode;
    for (std::size_t n = 0; n <= 70; ++n) {
      std::vector<std::uint8_t> cut(full.begin(), full.begin() + static_cast<long>(n));
      handler.ProcessPacket(cut.data(), static_cast<std::uint32_t>(full.size()), static_cast<std::uint32_t>(n));
    }
  }
  for (const auto& p : sink.packets) EXPECT_LE(p.payload.size(), 16u);
}

// A payload with zero bytes and no "ET ", "OST " or "://" is passed over before it is converted to
// payload text; one with a marker is converted and parsed. A handler with a queue observer converts
// and queues every payload, so the two must list the same rows and learn the same offset.
TEST(HandlerFastPath, BinaryPayloadsListAsWhenEveryPayloadIsParsed) {
  const std::string z(1, '\0');
  const std::vector<FrameSpec> frames = {
      // Binary without markers, then binary with an address after zero bytes (inbound).
      {Framing::Ethernet, 6, kRemote, kLocal, 80, 1234, z + "\x89PNG\r\n\x1a\n" + z + z + "IHDR" + std::string(40, '\x7f')},
      {Framing::Ethernet, 6, kRemote, kLocal, 80, 1234, z + z + "<a href=\"http://h.example/p/b.mp3\">" + z + "tail"},
      // A request behind two bytes, with zero bytes after its head: teaches the offset 2.
      {Framing::Ethernet, 6, kLocal, kRemote, 1234, 80, "xyGET /c.mp3 HTTP/1.1\r\nHost: h.example\r\n\r\n" + z + z},
      // Binary with zero bytes whose markers are only in pieces ("E" "T", ":/" then a zero).
      {Framing::Ethernet, 6, kRemote, kLocal, 80, 1234, "E" + z + "T :/" + z + "/ OS" + z + "T " + std::string(30, 'q')},
      {Framing::Ethernet, 6, kLocal, kRemote, 1234, 80, "zzPOST /d.mp3 HTTP/1.1\r\nHost: h.example\r\n\r\n" + z},
  };
  struct Run {
    FileTypeState types;
    Recorder sink;
    FrameHandler handler{types, sink, [] { return std::vector<std::string>{"192.168.1.5"}; }};
  };
  Run fast, observed;
  std::size_t queued = 0;
  observed.handler.SetQueueObserver([&queued](std::string_view) { ++queued; });
  for (Run* r : {&fast, &observed}) {
    r->types.Replace(FileTypeSnapshot().WithEntry(1, ".mp3", true).WithUndefinedTypes(true));
    r->handler.StartSession();
    for (const FrameSpec& frame : frames) test::FeedWhole(r->handler, BuildFrame(frame));
  }
  EXPECT_EQ(queued, frames.size());
  ASSERT_EQ(fast.sink.urls.size(), 3u);
  ASSERT_EQ(observed.sink.urls.size(), fast.sink.urls.size());
  for (std::size_t i = 0; i < fast.sink.urls.size(); ++i) {
    EXPECT_EQ(fast.sink.urls[i].address, observed.sink.urls[i].address) << i;
    EXPECT_EQ(fast.sink.urls[i].record->Packet, observed.sink.urls[i].record->Packet) << i;
  }
  EXPECT_EQ(fast.sink.urls[0].address, "http://h.example/p/b.mp3");
  EXPECT_EQ(fast.sink.urls[0].record->Packet.substr(0, 4), "\xA5\xFE\xA5\xFE");
  EXPECT_EQ(fast.sink.urls[1].address, "http://h.example/c.mp3");
  EXPECT_EQ(fast.handler.LearnedOffset(), 2);
  EXPECT_EQ(observed.handler.LearnedOffset(), 2);
}

}  // namespace
}  // namespace qv
