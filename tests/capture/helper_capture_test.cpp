// The capture helper's stream read through the capture-file reader, with stand-in helpers (shell
// scripts) that stream a real capture, fail before streaming, never stream, or die half-way.
#include "capture/helper_capture.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "capture/pcap_net.h"

namespace qv {
namespace {

const std::string kCapture = CAPTURES_DIR "/ipv4_tcp_http_xml.pcap";

class HelperCaptureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/qv_helper_XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    ASSERT_TRUE(net_.Bind());
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

  // A stand-in helper: a shell script with this body.
  std::string Helper(const std::string& body) {
    const std::string path = dir_ + "/helper" + std::to_string(++helpers_);
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    ::chmod(path.c_str(), 0755);
    return path;
  }

  static void Count(u_char* user, const pcap_pkthdr*, const u_char*) { ++*reinterpret_cast<int*>(user); }

  std::string dir_;
  int helpers_ = 0;
  PcapNet net_;
};

TEST_F(HelperCaptureTest, FramesOfTheStreamAreReadUntilTheHelperIsStopped) {
  HelperCapture helper;
  std::string error;
  ASSERT_TRUE(helper.Start(Helper("cat '" + kCapture + "'; exec sleep 30"), "lo", error)) << error;
  pcap_t* handle = net_.OpenOffline(helper.StreamPath(), error);
  ASSERT_NE(handle, nullptr) << error;
  int frames = 0;
  // The stream stays open after the frames: the loop waits for more until the helper is stopped.
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    helper.Stop();
  });
  EXPECT_EQ(net_.pcap_loop(handle, 0, Count, reinterpret_cast<u_char*>(&frames)), 0);
  stopper.join();
  EXPECT_GT(frames, 0);
  EXPECT_EQ(helper.Finish(), "");  // stopped as asked: nothing to report
  net_.Close(handle);
}

TEST_F(HelperCaptureTest, HelperThatFailsBeforeItsStreamGivesItsOwnReason) {
  HelperCapture helper;
  std::string error;
  EXPECT_FALSE(helper.Start(
      Helper("echo 'quelvar-capture: cannot capture on lo: no permission to capture' >&2; exit 1"), "lo", error));
  EXPECT_EQ(error, "cannot capture on lo: no permission to capture");
  EXPECT_TRUE(IsPermissionError(error));
  EXPECT_EQ(helper.Pid(), -1);

  EXPECT_FALSE(helper.Start(dir_ + "/missing", "lo", error));
  EXPECT_NE(error.find("cannot start"), std::string::npos) << error;
}

TEST_F(HelperCaptureTest, HelperThatNeverStreamsIsEndedAfterTheWait) {
  HelperCapture helper;
  std::string error;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(helper.Start(Helper("exec sleep 30"), "lo", error, 300));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_NE(error.find("did not start its stream in time"), std::string::npos) << error;
  EXPECT_EQ(helper.Pid(), -1);
}

TEST_F(HelperCaptureTest, HelperThatDiesHalfWayIsReported) {
  HelperCapture helper;
  std::string error;
  ASSERT_TRUE(helper.Start(Helper("cat '" + kCapture + "'; echo 'quelvar-capture: adapter gone' >&2; exit 1"), "lo",
                           error))
      << error;
  pcap_t* handle = net_.OpenOffline(helper.StreamPath(), error);
  ASSERT_NE(handle, nullptr) << error;
  int frames = 0;
  net_.pcap_loop(handle, 0, Count, reinterpret_cast<u_char*>(&frames));  // returns at the end of the stream
  EXPECT_GT(frames, 0);
  for (int i = 0; i < 500 && !helper.Ended(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(helper.Finish(), "adapter gone");
  net_.Close(handle);

  HelperCapture killed;
  ASSERT_TRUE(killed.Start(Helper("cat '" + kCapture + "'; kill -9 $$"), "lo", error)) << error;
  for (int i = 0; i < 500 && !killed.Ended(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(killed.Finish(), "quelvar-capture was ended by signal 9");
  EXPECT_FALSE(killed.Counts());
}

TEST_F(HelperCaptureTest, FrameCountsTheHelperReportsAreKeptApartFromItsMessage) {
  const std::string counts = "echo '1500 frames received, 40 dropped by the kernel, 0 by the interface' >&2; ";
  struct Case {
    std::string tail;     // what the helper does after streaming the capture
    std::string message;  // what Finish reports
    bool hasCounts;
  };
  const Case cases[] = {
      {counts + "exit 0", "", true},
      {counts + "echo 'quelvar-capture: capture on lo ended: gone' >&2; exit 1", "capture on lo ended: gone", true},
      {"echo '1500 frames received' >&2; exit 1", "1500 frames received", false},  // not the counts line
  };
  for (const auto& c : cases) {
    HelperCapture helper;
    std::string error;
    ASSERT_TRUE(helper.Start(Helper("cat '" + kCapture + "'; " + c.tail), "lo", error)) << error;
    for (int i = 0; i < 500 && !helper.Ended(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(helper.Finish(), c.message) << c.tail;
    EXPECT_EQ(helper.Counts(), c.hasCounts ? std::optional<CaptureStats>(CaptureStats{1500, 40, 0}) : std::nullopt)
        << c.tail;
  }
}

}  // namespace
}  // namespace qv
