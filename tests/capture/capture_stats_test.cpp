// Frame counts of a live capture, the kernel buffer, and how both behave with a library that lacks the
// calls they need.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "capture/capture_session.h"
#include "capture/capture_stats.h"
#include "capture/frame_handler.h"
#include "capture/pcap_net.h"

namespace qv {
namespace {

TEST(CaptureCounter, WidensTheLibrarysCountersAcrossAWrap) {
  struct Step {
    u_int recv, drop, ifdrop;
    CaptureStats totals;
  };
  const Step steps[] = {
      {100, 0, 0, {100, 0, 0}},
      {100, 0, 0, {100, 0, 0}},                           // nothing new
      {4294967290u, 7, 1, {4294967290u, 7, 1}},
      {5, 9, 1, {4294967296ull + 5, 9, 1}},               // received wrapped past 2^32
      {1000, 4294967295u, 2, {4294967296ull + 1000, 4294967295u, 2}},
      {1001, 3, 2, {4294967296ull + 1001, 4294967296ull + 3, 2}},
  };
  CaptureCounter counter;
  for (const auto& s : steps) {
    pcap_stat reading{};
    reading.ps_recv = s.recv;
    reading.ps_drop = s.drop;
    reading.ps_ifdrop = s.ifdrop;
    counter.Update(reading);
    EXPECT_EQ(counter.Totals(), s.totals) << "after reading " << s.recv << "/" << s.drop;
  }
  EXPECT_EQ(DescribeCaptureStats({200288, 88588, 3}),
            "200288 frames received, 88588 dropped by the kernel, 3 by the interface");
}

TEST(CaptureCounter, CountsLineReadsBackAndNothingElseDoes) {
  const CaptureStats big{5000000000ull, 4294967296ull, 7};
  EXPECT_EQ(ParseCaptureStats(DescribeCaptureStats(big)), big);
  for (const char* other : {"", "1500 frames received", "1500 frames received, 4 dropped by the kernel, 0 by the interface.",
                            "x1500 frames received, 4 dropped by the kernel, 0 by the interface",
                            "-1 frames received, 4 dropped by the kernel, 0 by the interface",
                            "1500 frames received, 4 dropped by the kernel, 99999999999999999999999 by the interface"})
    EXPECT_FALSE(ParseCaptureStats(other)) << other;
}

template <typename T>
T* FakeVariable(const char* library, const char* name) {
  void* h = dlopen(library, RTLD_NOW | RTLD_NOLOAD);
  if (!h) return nullptr;
  auto* v = static_cast<T*>(dlsym(h, name));
  dlclose(h);  // the look-up's own reference; the PcapNet keeps the library loaded
  return v;
}

class NullSink : public FrameSink {
 public:
  void UrlFound(UrlInsertion&&) override {}
  void PacketFound(PacketRowData&&) override {}
};

struct StatsFixture : ::testing::Test {
  FileTypeState types;
  NullSink sink;
  PcapNet net;
  FrameHandler handler{types, sink, [] { return std::vector<std::string>{"192.168.1.5"}; }};
  std::vector<std::string> failures;
  SessionEvents Events() {
    SessionEvents e;
    e.startFailed = [this](const std::string& why) { failures.push_back(why); };
    return e;
  }
};

TEST_F(StatsFixture, LibraryWithoutTheExtrasCapturesAsBeforeAndHasNoCounts) {
  ASSERT_TRUE(net.Bind({FAKE_PCAP5}));
  EXPECT_TRUE(net.Available()) << "the optional calls never decide whether capture is possible";
  EXPECT_FALSE(net.HasStats());
  EXPECT_FALSE(net.CanSetBuffer());
  auto* openLive = FakeVariable<int>(FAKE_PCAP5, "fake_open_live_calls_total");
  ASSERT_NE(openLive, nullptr);
  const int before = *openLive;

  CaptureSession session(net, handler, Events());
  session.Star("lo-test");
  EXPECT_TRUE(session.Running());
  EXPECT_EQ(*openLive, before + 1) << "opened through pcap_open_live";
  EXPECT_FALSE(session.Stats()) << "no figure, and no failure either";
  session.Stop();
  session.Join();
  EXPECT_FALSE(session.Stats());
  EXPECT_TRUE(failures.empty());
}

TEST_F(StatsFixture, BufferIsSetAndCountsFollowTheSessionPastItsEnd) {
  ASSERT_TRUE(net.Bind({FAKE_PCAP_TUNABLE}));
  ASSERT_TRUE(net.HasStats());
  ASSERT_TRUE(net.CanSetBuffer());
  auto* bufferSize = FakeVariable<int>(FAKE_PCAP_TUNABLE, "fake_buffer_size");
  auto* openLive = FakeVariable<int>(FAKE_PCAP_TUNABLE, "fake_open_live_calls_total");
  auto* stats = FakeVariable<pcap_stat>(FAKE_PCAP_TUNABLE, "fake_stats");
  auto* closed = FakeVariable<int>(FAKE_PCAP_TUNABLE, "fake_closed");
  ASSERT_TRUE(bufferSize && openLive && stats && closed);
  const int openLiveBefore = *openLive;

  std::string error;
  pcap_t* h = net.OpenLive("lo-test", error, 8 << 20);
  ASSERT_NE(h, nullptr) << error;
  EXPECT_EQ(*bufferSize, 8 << 20);
  net.Close(h);

  CaptureSession session(net, handler, Events());
  *stats = pcap_stat{1000, 20, 1};
  session.Star("lo-test");
  ASSERT_TRUE(session.Running());
  EXPECT_EQ(*bufferSize, kDefaultCaptureBufferBytes) << "a live session asks for the default buffer";
  EXPECT_EQ(*openLive, openLiveBefore) << "pcap_open_live is not used when the buffer can be set";
  EXPECT_EQ(session.Stats(), (CaptureStats{1000, 20, 1}));
  *stats = pcap_stat{1500, 25, 1};
  EXPECT_EQ(session.Stats(), (CaptureStats{1500, 25, 1}));

  *stats = pcap_stat{1600, 30, 2};
  const int closedBefore = *closed;
  session.Stop();
  session.Join();
  EXPECT_EQ(*closed, closedBefore + 1);
  *stats = pcap_stat{9999, 9999, 9999};  // the closed handle is never asked again
  EXPECT_EQ(session.Stats(), (CaptureStats{1600, 30, 2})) << "the last counts stay readable after the end";
}

TEST_F(StatsFixture, RefusedActivationIsWordedLikePcapOpenLiveAndClosesTheHandle) {
  ASSERT_TRUE(net.Bind({FAKE_PCAP_TUNABLE}));
  auto* closed = FakeVariable<int>(FAKE_PCAP_TUNABLE, "fake_closed");
  ASSERT_NE(closed, nullptr);
  const int closedBefore = *closed;
  std::string error;
  EXPECT_EQ(net.OpenLive("eth-test", error), nullptr);
  EXPECT_EQ(error,
            "eth-test: You don't have permission to capture on that device (socket: Operation not permitted)");
  EXPECT_EQ(*closed, closedBefore + 1) << "the created handle is closed";
}

}  // namespace
}  // namespace qv
