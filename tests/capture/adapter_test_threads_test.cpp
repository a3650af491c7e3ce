// The adapter test with a real frame handler counting on a capture thread of its own while the test
// ticks on this one, as in the program; run under ThreadSanitizer in CI.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "capture/adapter_test.h"
#include "capture/frame_handler.h"
#include "tests/capture/frame_builder.h"

namespace qv {
namespace {

class NoRows : public FrameSink {
 public:
  void UrlFound(UrlInsertion&&) override { ++rows; }
  void PacketFound(PacketRowData&&) override { ++rows; }
  int rows = 0;  // the capture thread's alone
};

// Adapters named "busy…" see a steady stream of frames while captured; the others see nothing.
class ThreadedTrials : public AdapterTrials {
 public:
  explicit ThreadedTrials(FrameHandler& handler) : handler_(handler) {}
  ~ThreadedTrials() override { StopCapture(); }

  void StartCapture(const std::string& device) override {
    StopCapture();
    handler_.StartSession();
    stop_.store(false);
    if (device.rfind("busy", 0) != 0) return;
    capture_ = std::thread([this] {
      const auto frame = test::BuildFrame(
          {test::Framing::Ethernet, 6, test::IP(10, 0, 0, 1), test::IP(192, 168, 1, 5), 80, 1234, "HTTP/1.1 200 OK\r\n"});
      while (!stop_.load()) {
        handler_.ProcessPacket(frame.data(), static_cast<std::uint32_t>(frame.size()),
                               static_cast<std::uint32_t>(frame.size()));
        received.fetch_add(1);
        std::this_thread::yield();
      }
    });
  }
  void StopCapture() override {
    stop_.store(true);
    if (capture_.joinable()) capture_.join();
  }
  void ShowStatus(int, TrialStatus, const std::string&) override {}
  bool OfferAsDefault(int) override { return false; }
  void Choose(int index) override { chosen.push_back(index); }
  void Ticking(bool) override {}
  void Finished() override { finished = true; }
  void NothingUsable() override { nothing = true; }

  std::vector<int> chosen;
  std::atomic<long> received{0};  // frames the capture thread delivered, counted or not
  bool finished = false;
  bool nothing = false;

 private:
  FrameHandler& handler_;
  std::atomic<bool> stop_{true};
  std::thread capture_;
};

TEST(AdapterTestThreads, CountingOnTheCaptureThreadDecidesTheTrials) {
  FileTypeState types;
  NoRows sink;
  FrameHandler handler(types, sink, [] { return std::vector<std::string>{"192.168.1.5"}; });
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    ThreadedTrials trials(handler);
    AdapterTest test(handler.test, trials);
    test.Begin({"quiet", "busy-1", "busy-2"});
    for (int guard = 0; !trials.finished && guard < 100; ++guard) {
      if (test.Index() > 0) {
        // A busy adapter: wait (bounded) until its capture thread has counted past ten frames.
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!handler.test.TestTrafficSeen.load() && std::chrono::steady_clock::now() < until)
          std::this_thread::sleep_for(std::chrono::microseconds(100));
      }
      test.Tick();
    }
    ASSERT_TRUE(trials.finished);
    EXPECT_EQ(test.Status(0), TrialStatus::Unusable);
    EXPECT_EQ(test.Status(1), TrialStatus::Usable);
    EXPECT_EQ(test.Status(2), TrialStatus::Usable);
    EXPECT_EQ(trials.chosen, std::vector<int>{1});
    EXPECT_FALSE(trials.nothing);
    EXPECT_FALSE(handler.test.TestActive.load());
  }
  // While the test counted, no frame became a row.
  EXPECT_EQ(sink.rows, 0);
}

// Cancelling while the capture thread counts stops the capture: no frame arrives afterwards, and
// counting is off.
TEST(AdapterTestThreads, CancelWhileCounting) {
  FileTypeState types;
  NoRows sink;
  FrameHandler handler(types, sink, [] { return std::vector<std::string>{"192.168.1.5"}; });
  ThreadedTrials trials(handler);
  AdapterTest test(handler.test, trials);
  test.Begin({"busy"});
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (trials.received.load() < 100 && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  ASSERT_GE(trials.received.load(), 100);
  EXPECT_GT(handler.test.TestFrameCount.load(), 0);
  test.Cancel();
  EXPECT_FALSE(handler.test.TestActive.load());
  EXPECT_TRUE(trials.finished);
  EXPECT_EQ(test.Status(0), TrialStatus::None);
  // The capture thread delivered a frame every few microseconds: a running one would add thousands.
  const long received = trials.received.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(trials.received.load(), received);
  EXPECT_EQ(sink.rows, 0);
}

}  // namespace
}  // namespace qv
