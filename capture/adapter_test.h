// The adapter test: tries the adapters one after another, capturing on each while a test page is
// fetched, until one sees traffic. A trial ends when more than ten frames have been counted (the
// adapter is usable), when its adapter could not be opened, or on the eleventh tick (a second each)
// without traffic (unusable). A usable adapter is offered as the default; declined, the test goes on,
// and when every adapter has been tried the first usable one becomes the chosen adapter.
//
// The frame counting happens on the capture thread (AdapterTestState, in the frame handler); every
// call here comes from one thread, the one that ticks.
#pragma once
#include <string>
#include <vector>

#include "capture/frame_handler.h"

namespace qv {

enum class TrialStatus { None, Testing, Usable, Unusable };

// What the test drives: the capture, the rows that show the trials and the questions.
class AdapterTrials {
 public:
  virtual ~AdapterTrials() = default;
  // Captures on `device` and fetches the test page (the row already shows "testing").
  virtual void StartCapture(const std::string& device) = 0;
  virtual void StopCapture() = 0;
  // The row of adapter `index`; `why` tells why an adapter was unusable when its capture failed.
  virtual void ShowStatus(int index, TrialStatus status, const std::string& why) = 0;
  // Adapter `index` is usable: true makes it the default at once and ends the test.
  virtual bool OfferAsDefault(int index) = 0;
  // Adapter `index` becomes the chosen adapter.
  virtual void Choose(int index) = 0;
  // The ticks start or stop.
  virtual void Ticking(bool on) = 0;
  // The test is over: the last trial ended, a default was taken, or it was cancelled.
  virtual void Finished() = 0;
  // Every adapter was tried and none saw traffic.
  virtual void NothingUsable() = 0;
};

class AdapterTest {
 public:
  static constexpr int kQuietTicks = 10;  // a trial fails on the tick after these without traffic

  AdapterTest(AdapterTestState& state, AdapterTrials& trials) : state_(state), trials_(trials) {}

  // Starts with the first of `devices`.
  void Begin(std::vector<std::string> devices);
  // One second of the running trial.
  void Tick();
  // The adapter under trial could not be opened: the trial fails at the next tick.
  void TrialStartFailed(std::string why) { failure_ = std::move(why); }
  // Stops counting and capturing; the row under trial no longer says "testing".
  void Cancel();

  int Index() const { return index_; }  // the adapter under trial or last tried; -1 before the first
  int Ticks() const { return ticks_; }
  bool Found() const { return found_; }
  TrialStatus Status(int index) const;

 private:
  void Next();
  void EndTrial();
  void SetStatus(int index, TrialStatus status, const std::string& why = {});

  AdapterTestState& state_;
  AdapterTrials& trials_;
  std::vector<std::string> devices_;
  std::vector<TrialStatus> status_;
  int index_ = -1;
  int ticks_ = 0;
  bool found_ = false;
  std::string failure_;  // why the adapter under trial could not be opened; empty when it was
};

}  // namespace qv
