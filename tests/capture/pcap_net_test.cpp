#include <dlfcn.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "capture/capture_session.h"
#include "capture/frame_handler.h"
#include "capture/pcap_net.h"

namespace qv {
namespace {

bool StillLoaded(const char* path) {
  void* h = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
  if (h) dlclose(h);
  return h != nullptr;
}

TEST(PcapNet, BindingIsAllOrNothing) {
  {
    PcapNet net;
    EXPECT_FALSE(net.Bind({FAKE_PCAP4}));
    EXPECT_FALSE(net.Available());
    EXPECT_EQ(net.pcap_loop, nullptr);
  }
  EXPECT_FALSE(StillLoaded(FAKE_PCAP4)) << "a library lacking an entry point must be unloaded";

  PcapNet net;
  EXPECT_TRUE(net.Bind({"/nonexistent/libpcap.so", FAKE_PCAP5}));
  EXPECT_TRUE(net.Available());
  EXPECT_FALSE(net.CanReadFiles()) << "the stand-in has no pcap_open_offline";
  net.Release();
  EXPECT_FALSE(net.Available());
  EXPECT_FALSE(StillLoaded(FAKE_PCAP5));
}

TEST(PcapNet, RealLibraryBindsWithFileReading) {
  PcapNet net;
  ASSERT_TRUE(net.Bind());
  EXPECT_TRUE(net.CanReadFiles());
}

TEST(PcapNet, DeviceListIsFreedOnceAndNamesKept) {
  PcapNet net;
  ASSERT_TRUE(net.Bind({FAKE_PCAP5}));
  auto* freed = static_cast<int*>(dlsym(dlopen(FAKE_PCAP5, RTLD_NOW | RTLD_NOLOAD), "fake_freed"));
  ASSERT_NE(freed, nullptr);
  const int before = *freed;
  std::vector<CaptureDevice> devices;
  ASSERT_TRUE(net.ListDevices(devices));
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_EQ(devices[0].name, "lo-test");
  EXPECT_EQ(devices[1].description, "Test Ethernet");
  EXPECT_EQ(*freed, before + 1);
  dlclose(dlopen(FAKE_PCAP5, RTLD_NOW | RTLD_NOLOAD));  // the look-up's own reference
}

// Collects what the capture thread reports.
class RecordingSink : public FrameSink {
 public:
  void UrlFound(UrlInsertion&& insertion) override {
    std::lock_guard lock(m_);
    urls_.push_back(insertion.address);
    cv_.notify_all();
  }
  void PacketFound(PacketRowData&&) override {}
  bool WaitForUrls(std::size_t n) {
    std::unique_lock lock(m_);
    return cv_.wait_for(lock, std::chrono::seconds(5), [&] { return urls_.size() >= n; });
  }
  std::size_t Count() {
    std::lock_guard lock(m_);
    return urls_.size();
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  std::vector<std::string> urls_;
};

struct SessionFixture : ::testing::Test {
  SessionFixture() {
    types.Replace(FileTypeSnapshot().WithUndefinedTypes(true));
    net.Bind({FAKE_PCAP5});
    events.listCleared = [this] { ++cleared; };
    events.adapterNotFound = [this] { ++notFound; };
    events.startFailed = [this](const std::string& why) { failures.push_back(why); };
    events.runningChanged = [this](bool on) { running = on; };
  }
  FileTypeState types;
  RecordingSink sink;
  PcapNet net;
  FrameHandler handler{types, sink, [] { return std::vector<std::string>{"192.168.1.5"}; }};
  SessionEvents events;
  int cleared = 0, notFound = 0;
  bool running = false;
  std::vector<std::string> failures;
};

TEST_F(SessionFixture, UnknownAdapterIsReportedAndNothingRuns) {
  CaptureSession session(net, handler, events);
  session.Star("LO-TEST");  // differs only in letter case
  EXPECT_EQ(cleared, 1) << "the list is emptied even when the start fails";
  EXPECT_EQ(notFound, 1);
  EXPECT_FALSE(running);
  EXPECT_FALSE(session.Running());
}

TEST_F(SessionFixture, EnumerationFailureStartsNothingSilently) {
  setenv("FAKE_PCAP_ENUM_FAILS", "1", 1);
  CaptureSession session(net, handler, events);
  session.Star("lo-test");
  unsetenv("FAKE_PCAP_ENUM_FAILS");
  EXPECT_EQ(cleared, 1);
  EXPECT_EQ(notFound, 0);
  EXPECT_TRUE(failures.empty());
  EXPECT_FALSE(session.Running());
}

TEST_F(SessionFixture, OpenFailureNamesAdapterAndReasonAndRunsNoThread) {
  CaptureSession session(net, handler, events);
  session.SetCaptureHelper("/nonexistent/quelvar-capture", true);
  session.Star("eth-test");
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_NE(failures[0].find("网络适配器 eth-test "), std::string::npos) << failures[0];
  EXPECT_EQ(failures[0].find("eth-test", failures[0].find("eth-test") + 1), std::string::npos)
      << "the adapter is named once: " << failures[0];
  EXPECT_NE(failures[0].find("没有抓包权限"), std::string::npos) << failures[0];
  EXPECT_NE(failures[0].find("\nsudo usermod -a -G quelvar $USER"), std::string::npos) << "the remedy is told: " << failures[0];
  EXPECT_FALSE(session.Running());
  EXPECT_FALSE(running);
}

TEST_F(SessionFixture, FramesReachHandlerUntilStopAndRestartJoinsFirst) {
  auto* closed = static_cast<int*>(dlsym(dlopen(FAKE_PCAP5, RTLD_NOW | RTLD_NOLOAD), "fake_closed"));
  dlclose(dlopen(FAKE_PCAP5, RTLD_NOW | RTLD_NOLOAD));
  ASSERT_NE(closed, nullptr);
  const int closedBefore = *closed;

  PacketFilter f;
  f.siteText = "h.example";
  f.siteAddress = "10.0.0.1";
  f.protocol = 6;
  handler.SetFilter(f);

  CaptureSession session(net, handler, events);
  session.Star("lo-test");
  EXPECT_TRUE(running);
  ASSERT_TRUE(sink.WaitForUrls(1));
  EXPECT_TRUE(session.Running());

  // A second start while the first loop runs: the first thread ends before the next begins.
  session.Star("lo-test");
  ASSERT_TRUE(sink.WaitForUrls(2));
  EXPECT_EQ(*closed, closedBefore + 1) << "the first handle is closed once its loop has returned";

  session.Stop();
  EXPECT_FALSE(running);
  session.Join();
  EXPECT_FALSE(session.Running());
  EXPECT_EQ(*closed, closedBefore + 2);
  const auto after = handler.Filter();
  EXPECT_EQ(after->siteText, "h.example") << "the site text survives a stop";
  EXPECT_EQ(after->siteAddress, "");
  EXPECT_EQ(after->protocol, 0);
}

TEST_F(SessionFixture, StopEndsALoopWhoseReadTheBreakCannotWake) {
  setenv("FAKE_PCAP_DEAF", "1", 1);
  {
    CaptureSession session(net, handler, events);
    session.Star("lo-test");
    ASSERT_TRUE(sink.WaitForUrls(1));
    session.Stop();
    session.Join();  // returns: the sleeping read is interrupted and the loop sees the break
    EXPECT_FALSE(session.Running());
    // A new start after it works as usual.
    session.Star("lo-test");
    ASSERT_TRUE(sink.WaitForUrls(2));
  }  // the destructor breaks and joins the second loop the same way
  unsetenv("FAKE_PCAP_DEAF");
}

TEST_F(SessionFixture, StopBeforeAnyStartOnlyResets) {
  CaptureSession session(net, handler, events);
  running = true;
  session.Stop();
  EXPECT_FALSE(running);
  EXPECT_EQ(cleared, 0);
}

}  // namespace
}  // namespace qv
