// The adapter test's rules, driven tick by tick: which trial ends when, what each row shows, which
// adapter is chosen; and the test site's host.
#include "capture/adapter_test.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>


namespace qv {
namespace {

// How one adapter behaves in its trial.
struct Adapter {
  std::string name;
  int trafficAtTick = -1;  // frames counted before this tick (1-based); -1: never
  bool opens = true;       // false: its capture cannot be opened
  bool accept = false;     // the answer when it is offered as the default
};

class Recorder : public AdapterTrials {
 public:
  Recorder(AdapterTestState& state, const std::vector<Adapter>& adapters) : state_(state), adapters_(adapters) {}
  AdapterTest* test = nullptr;
  std::vector<std::string> log;
  std::map<int, std::string> rows;  // index -> "status" or "status:why"
  std::vector<int> chosen;
  bool ticking = false;
  bool finished = false;
  bool nothing = false;
  int captures = 0;  // running captures: a start and its stop come in pairs

  void StartCapture(const std::string& device) override {
    log.push_back("start " + device);
    ++captures;
    // The row already says so, and counting is on before the capture starts.
    EXPECT_EQ(rows[test->Index()], "testing");
    EXPECT_TRUE(state_.TestActive.load());
    EXPECT_EQ(state_.TestFrameCount.load(), 0);
    if (!Current().opens) test->TrialStartFailed(device + ": cannot open");
  }
  void StopCapture() override {
    log.push_back("stop");
    --captures;
  }
  void ShowStatus(int index, TrialStatus status, const std::string& why) override {
    static const char* const kNames[] = {"", "testing", "usable", "unusable"};
    rows[index] = std::string(kNames[static_cast<int>(status)]) + (why.empty() ? "" : ":" + why);
  }
  bool OfferAsDefault(int index) override {
    log.push_back("offer " + adapters_[static_cast<std::size_t>(index)].name);
    return adapters_[static_cast<std::size_t>(index)].accept;
  }
  void Choose(int index) override { chosen.push_back(index); }
  void Ticking(bool on) override { ticking = on; }
  void Finished() override { finished = true; }
  void NothingUsable() override { nothing = true; }

  const Adapter& Current() const { return adapters_[static_cast<std::size_t>(test->Index())]; }

 private:
  AdapterTestState& state_;
  const std::vector<Adapter>& adapters_;
};

// Runs a whole test: frames arrive as the frame handler counts them, before the tick of each adapter.
struct Outcome {
  std::map<int, std::string> rows;
  std::vector<int> chosen;
  std::vector<std::string> log;
  bool nothing = false;
  int ticks = 0;
};

Outcome RunTest(const std::vector<Adapter>& adapters) {
  AdapterTestState state;
  Recorder rec(state, adapters);
  AdapterTest test(state, rec);
  rec.test = &test;
  std::vector<std::string> names;
  for (const Adapter& a : adapters) names.push_back(a.name);
  test.Begin(names);
  Outcome run;
  for (int guard = 0; !rec.finished && guard < 1000; ++guard) {
    EXPECT_TRUE(rec.ticking);
    const Adapter& a = rec.Current();
    if (a.trafficAtTick == test.Ticks() + 1)
      for (int frame = 0; frame < 11; ++frame)  // as FrameHandler counts: traffic once past ten frames
        if (state.TestActive.load() && state.TestFrameCount.fetch_add(1) + 1 > 10) state.TestTrafficSeen.store(true);
    test.Tick();
    ++run.ticks;
  }
  EXPECT_TRUE(rec.finished);
  EXPECT_FALSE(rec.ticking);
  EXPECT_EQ(rec.captures, 0) << "every capture started was stopped";
  EXPECT_FALSE(state.TestActive.load());
  EXPECT_FALSE(state.TestTrafficSeen.load());
  run.rows = rec.rows;
  run.chosen = rec.chosen;
  run.log = rec.log;
  run.nothing = rec.nothing;
  return run;
}

TEST(AdapterTest, TrialsEndOnTrafficOnAFailedOpenOrAfterTheQuietTicks) {
  using Rows = std::map<int, std::string>;
  struct Case {
    const char* what;
    std::vector<Adapter> adapters;
    Rows rows;
    std::vector<int> chosen;
    bool nothing;
    int ticks;
  };
  const Case cases[] = {
      {"all quiet: each fails on its eleventh tick",
       {{"a"}, {"b"}},
       {{0, "unusable"}, {1, "unusable"}},
       {},
       true,
       22},
      {"traffic on the tenth tick still counts",
       {{"a", 10, true, true}},
       {{0, "usable"}},
       {0},
       false,
       10},
      {"the second is usable and taken: the third is never tried",
       {{"a"}, {"b", 3, true, true}, {"c", 1}},
       {{0, "unusable"}, {1, "usable"}},
       {1},
       false,
       14},
      {"usable ones declined: the first usable is chosen at the end",
       {{"a"}, {"b", 2}, {"c"}, {"d", 1}},
       {{0, "unusable"}, {1, "usable"}, {2, "unusable"}, {3, "usable"}},
       {1},
       false,
       25},
      {"an adapter that cannot be opened fails at once, with the reason",
       {{"x", -1, false}, {"b", 1, true, true}},
       {{0, "unusable:x: cannot open"}, {1, "usable"}},
       {1},
       false,
       2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Outcome run = RunTest(c.adapters);
    EXPECT_EQ(run.rows, c.rows);
    EXPECT_EQ(run.chosen, c.chosen);
    EXPECT_EQ(run.nothing, c.nothing);
    EXPECT_EQ(run.ticks, c.ticks);
  }
}

TEST(AdapterTest, OnlyUsableAdaptersAreOfferedInOrder) {
  const Outcome run = RunTest({{"a", 1}, {"b"}, {"c", 4}});
  const std::vector<std::string> log = {"start a", "stop", "offer a", "start b", "stop", "start c", "stop", "offer c"};
  EXPECT_EQ(run.log, log);
  EXPECT_EQ(run.chosen, std::vector<int>{0});
}

TEST(AdapterTest, CancelStopsTheTrialAndClearsItsRowOnly) {
  AdapterTestState state;
  const std::vector<Adapter> adapters = {{"a"}, {"b"}};
  Recorder rec(state, adapters);
  AdapterTest test(state, rec);
  rec.test = &test;
  test.Begin({"a", "b"});
  for (int i = 0; i < 11; ++i) test.Tick();  // a fails, b is under trial
  ASSERT_EQ(test.Index(), 1);
  test.Cancel();
  EXPECT_EQ(rec.rows[0], "unusable");
  EXPECT_EQ(rec.rows[1], "");
  EXPECT_FALSE(state.TestActive.load());
  EXPECT_FALSE(rec.ticking);
  EXPECT_TRUE(rec.finished);
  EXPECT_FALSE(rec.nothing);
  EXPECT_EQ(rec.captures, 0);
  EXPECT_TRUE(rec.chosen.empty());

  // A new test starts over from the first adapter.
  rec.finished = false;
  test.Begin({"a", "b"});
  EXPECT_EQ(test.Index(), 0);
  EXPECT_EQ(test.Status(1), TrialStatus::None);
  EXPECT_TRUE(state.TestActive.load());
  test.Cancel();
}

TEST(AdapterTest, NoAdaptersEndsAtOnceWithNothingUsable) {
  const Outcome run = RunTest({});
  EXPECT_TRUE(run.nothing);
  EXPECT_TRUE(run.log.empty());
  EXPECT_EQ(run.ticks, 0);
}

}  // namespace
}  // namespace qv
