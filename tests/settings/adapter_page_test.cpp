#include "settings/adapter_page.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <cstdint>
#include <filesystem>

#include "tests/settings/temp_dir.h"

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
  bool OfferAsDefault(int index) override {
    offered.push_back(index);
    return accept;
  }
  void Choose(int index) override { chosen.push_back(index); }
  void Ticking(bool on) override { ticking = on; }
  void Finished() override { ++finished; }
  void NothingUsable() override { ++nothing; }
  std::vector<std::string> started;
  std::vector<int> offered;
  std::vector<int> chosen;
  bool accept = false;
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
  EXPECT_EQ(page.BeginTest("  http://site.example:8080/page  "), AdapterPage::Start::Unreachable);
  EXPECT_EQ(program.looked, std::vector<std::string>{"site.example"});
  EXPECT_TRUE(program.running);  // nothing stopped, nothing started
  EXPECT_FALSE(page.Testing());
  EXPECT_TRUE(trials.started.empty());

  program.resolves = true;
  EXPECT_EQ(page.BeginTest("site.example"), AdapterPage::Start::Started);
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
  EXPECT_EQ(empty.BeginTest("site.example"), AdapterPage::Start::Started);
  EXPECT_FALSE(empty.Testing());
  EXPECT_EQ(trials.nothing, 1);
}

// Requests of the program (a retry after start-up, say) never loop: a site already found unreachable
// gives no second message until the person asks or the site changes, and a running test goes on.
TEST_F(AdapterPageTest, RepeatedRequestsNeitherRepeatTheMessageNorRestartTheTest) {
  page.List("???");
  program.resolves = false;
  using S = AdapterPage::Start;
  const struct {
    const char* site;
    bool asked;
    S result;
  } steps[] = {
      {"down.example", false, S::Unreachable},       // the first time, whoever asks
      {"down.example", false, S::StillUnreachable},  // again by the program: nothing new to say
      {"http://down.example/x", false, S::StillUnreachable},  // the same host
      {"down.example", true, S::Unreachable},        // the person pressed the button
      {"other.example", false, S::Unreachable},      // another site
      {"down.example", false, S::Unreachable},
  };
  for (const auto& step : steps)
    EXPECT_EQ(page.BeginTest(step.site, {}, step.asked), step.result) << step.site << " asked " << step.asked;
  EXPECT_TRUE(trials.started.empty());

  program.resolves = true;
  ASSERT_EQ(page.BeginTest("down.example", {}, false), S::Started);
  ASSERT_EQ(trials.started.size(), 1u);
  EXPECT_EQ(page.BeginTest("down.example", {}, false), S::Started);  // the running test goes on
  EXPECT_EQ(trials.started.size(), 1u);
  EXPECT_EQ(page.TestIndex(), 0);
  // Reachable once, the site's next failure is news again.
  page.Cancel();
  program.resolves = false;
  EXPECT_EQ(page.BeginTest("down.example", {}, false), S::Unreachable);
}

// Every usable adapter declined, the test chooses the one the person ticked when it proved usable,
// else the first usable one; a default taken at its question is the one asked about.
TEST_F(AdapterPageTest, TheTickedAdapterIsChosenWhenItProvedUsable) {
  page.List("???");
  auto run = [&](const std::string& ticked, bool secondUsable) {
    trials.offered.clear();
    trials.chosen.clear();
    ASSERT_EQ(page.BeginTest("site.example", ticked), AdapterPage::Start::Started);
    state.TestTrafficSeen.store(true);
    page.Tick();  // lo-test usable
    if (secondUsable) {
      state.TestTrafficSeen.store(true);
      page.Tick();
    } else {
      state.TestTrafficSeen.store(false);
      for (int t = 0; t <= AdapterTest::kQuietTicks; ++t) page.Tick();
    }
    EXPECT_FALSE(page.Testing());
  };
  run("eth-test", true);
  EXPECT_EQ(trials.offered, (std::vector<int>{0, 1}));
  EXPECT_EQ(trials.chosen, std::vector<int>{1});
  EXPECT_EQ(page.ChosenByTest(), 1);
  run("", true);
  EXPECT_EQ(trials.chosen, std::vector<int>{0});
  run("eth-test", false);  // ticked but unusable
  EXPECT_EQ(trials.chosen, std::vector<int>{0});
  run("no-such-adapter", true);
  EXPECT_EQ(trials.chosen, std::vector<int>{0});

  trials.accept = true;
  trials.chosen.clear();
  ASSERT_EQ(page.BeginTest("site.example", "eth-test"), AdapterPage::Start::Started);
  state.TestTrafficSeen.store(true);
  page.Tick();
  EXPECT_EQ(trials.chosen, std::vector<int>{0});  // the person said yes to lo-test by name
  EXPECT_FALSE(page.Testing());

  trials.accept = false;
  ASSERT_EQ(page.BeginTest("site.example", "eth-test"), AdapterPage::Start::Started);
  page.Cancel();
  EXPECT_EQ(page.ChosenByTest(), -1);  // cancelled: nothing chosen
}

// The advice names the one command that gives the rights: the group for an installed program, the
// helper's capabilities in a build folder, with the helper's path as one shell word.
TEST(CaptureRightsAdviceTest, NamesTheCommandForWhereTheProgramRuns) {
  const struct {
    CaptureHelperPlace helper;
    const char* command;
  } cases[] = {
      {{"/usr/lib/quelvar/quelvar-capture", true}, "sudo usermod -a -G quelvar $USER"},
      {{"/home/a/quelvar/build/bin/quelvar-capture", false},
       "sudo setcap cap_net_raw,cap_net_admin=eip /home/a/quelvar/build/bin/quelvar-capture"},
      {{"/home/a/my build/quelvar-capture", false}, "sudo setcap cap_net_raw,cap_net_admin=eip '/home/a/my build/quelvar-capture'"},
      {{"/tmp/it's; rm -rf ~/quelvar-capture", false},
       "sudo setcap cap_net_raw,cap_net_admin=eip '/tmp/it'\\''s; rm -rf ~/quelvar-capture'"},
  };
  for (const auto& c : cases) {
    const RightsAdvice advice = CaptureRightsAdvice(c.helper);
    EXPECT_EQ(advice.command, c.command) << c.helper.path;
    EXPECT_NE(advice.text.find("没有抓包权限"), std::string::npos);
    EXPECT_EQ(advice.text.find("ermission"), std::string::npos);  // the program's own words
  }
}

// The stand-in library refuses eth-test for want of permission and opens lo-test.
TEST_F(AdapterPageTest, MissingRightsAreFoundOnTheChosenAdapterUnlessTheHelperHasThem) {
  testing::TempDir dir;
  const CaptureHelperPlace absent{dir.File("quelvar-capture"), false};
  page.List("eth-test");
  const auto advice = page.MissingRights("eth-test", absent);
  ASSERT_TRUE(advice.has_value());
  EXPECT_EQ(advice->command, "sudo setcap cap_net_raw,cap_net_admin=eip " + absent.path);
  EXPECT_FALSE(page.MissingRights("lo-test", absent).has_value());     // it opens
  EXPECT_FALSE(page.MissingRights("not-listed", absent).has_value());  // the first listed, lo-test, opens

  // A helper that is there and may be run, but without the capabilities, does not help.
  testing::WriteBytes(absent.path, "#!/bin/sh\n");
  ::chmod(absent.path.c_str(), 0755);
  EXPECT_FALSE(HelperCanCapture(absent.path));
  EXPECT_TRUE(page.MissingRights("eth-test", absent).has_value());
  // With them (where this test may set them), it captures in the program's place.
  const std::uint32_t caps[5] = {0x02000001u, (1u << 12) | (1u << 13), 0, 0, 0};  // revision 2, effective
  if (::setxattr(absent.path.c_str(), "security.capability", caps, sizeof caps, 0) == 0) {
    EXPECT_TRUE(HelperCanCapture(absent.path));
    EXPECT_FALSE(page.MissingRights("eth-test", absent).has_value());
    ::chmod(absent.path.c_str(), 0644);  // not to be run: no help
    if (::geteuid() != 0) EXPECT_FALSE(HelperCanCapture(absent.path));
  }
  EXPECT_FALSE(HelperCanCapture(dir.File("nothing-here")));

  PcapNet none;
  AdapterPage without(none, program, state, trials);
  without.List("eth-test");
  EXPECT_FALSE(without.MissingRights("eth-test", absent).has_value());  // nothing listed, nothing to say
}

}  // namespace
}  // namespace qv
