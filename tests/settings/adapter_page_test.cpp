#include "settings/adapter_page.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qv {
namespace {

struct StandInProgram : AdapterPage::Program {
  bool SessionRunning() const override { return running; }
  void StopSniffing() override {
    running = false;
    ++stops;
  }
  std::optional<std::string> ResolveHost(const std::string& host) override {
    looked.push_back(host);
    return resolves ? std::optional<std::string>("127.0.0.1") : std::nullopt;
  }
  bool running = false;
  bool resolves = true;
  int stops = 0;
  std::vector<std::string> looked;
};

struct RecordingTrials : AdapterTrials {
  void StartCapture(const std::string& device) override { started.push_back(device); }
  void StopCapture() override { ++stopped; }
  void ShowStatus(int, TrialStatus, const std::string&) override {}
  bool OfferAsDefault(int) override { return false; }
  void Choose(int) override {}
  void Ticking(bool on) override { ticking = on; }
  void Finished() override { ++finished; }
  void NothingUsable() override { ++nothing; }
  std::vector<std::string> started;
  int stopped = 0;
  bool ticking = false;
  int finished = 0;
  int nothing = 0;
};

struct AdapterPageTest : ::testing::Test {
  void SetUp() override { ASSERT_TRUE(net.Bind({FAKE_PCAP5})); }
  PcapNet net;
  StandInProgram program;
  AdapterTestState state;
  RecordingTrials trials;
  AdapterPage page{net, program, state, trials};
};

TEST_F(AdapterPageTest, ListingTellsWhetherTheChosenAdapterIsThere) {
  EXPECT_EQ(page.List("eth-test"), AdapterPage::Listing::ChosenListed);
  ASSERT_EQ(page.Devices().size(), 2u);
  EXPECT_EQ(page.Devices()[0].name, "lo-test");
  // Device names are matched whole and with their case.
  EXPECT_EQ(page.List("ETH-test"), AdapterPage::Listing::ChosenUnknown);
  EXPECT_EQ(page.List("eth"), AdapterPage::Listing::ChosenUnknown);
  EXPECT_EQ(page.Devices().size(), 2u);

  PcapNet none;  // no capture library
  AdapterPage without(none, program, state, trials);
  EXPECT_EQ(without.List("eth-test"), AdapterPage::Listing::NoCaptureLibrary);
  EXPECT_TRUE(without.Devices().empty());
}

TEST_F(AdapterPageTest, ATestStartsOnlyWhenItsSiteResolves) {
  page.List("???");
  program.running = true;
  program.resolves = false;
  EXPECT_FALSE(page.BeginTest("  http://site.example:8080/page  "));
  EXPECT_EQ(program.looked, std::vector<std::string>{"site.example"});
  EXPECT_TRUE(program.running);  // nothing stopped, nothing started
  EXPECT_FALSE(page.Testing());
  EXPECT_TRUE(trials.started.empty());

  program.resolves = true;
  EXPECT_TRUE(page.BeginTest("site.example"));
  EXPECT_EQ(program.stops, 1);  // the person's session ended first
  EXPECT_TRUE(page.Testing());
  EXPECT_EQ(trials.started, std::vector<std::string>{"lo-test"});
  EXPECT_EQ(page.TestIndex(), 0);

  page.Cancel();
  EXPECT_FALSE(page.Testing());
  EXPECT_EQ(trials.finished, 1);
  EXPECT_FALSE(state.TestActive.load());
}

TEST_F(AdapterPageTest, ATestOverNoAdaptersEndsAtOnce) {
  PcapNet none;
  AdapterPage empty(none, program, state, trials);
  empty.List("???");
  EXPECT_TRUE(empty.BeginTest("site.example"));
  EXPECT_FALSE(empty.Testing());
  EXPECT_EQ(trials.nothing, 1);
}

}  // namespace
}  // namespace qv
