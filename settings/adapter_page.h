// The adapter page of the settings dialog without its widgets: the capture devices there are, whether
// the chosen one is among them, and the adapter test over them.
#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "capture/adapter_test.h"
#include "capture/pcap_net.h"

namespace qv {

class AdapterPage : private AdapterTrials {
 public:
  // What the page needs from the program around it.
  class Program {
   public:
    virtual ~Program() = default;
    virtual bool SessionRunning() const = 0;
    virtual void StopSniffing() = 0;
    virtual std::optional<std::string> ResolveHost(const std::string& host) = 0;
  };

  // `trials` shows the test (rows, questions, the capture of each trial).
  AdapterPage(PcapNet& net, Program& program, AdapterTestState& state, AdapterTrials& trials);

  enum class Listing {
    NoCaptureLibrary,  // nothing can be listed: the program cannot capture at all
    ChosenUnknown,     // the chosen adapter is not among the devices (or they cannot be listed)
    ChosenListed,
  };
  // Lists the devices anew.
  Listing List(const std::string& chosen);
  const std::vector<CaptureDevice>& Devices() const { return devices_; }

  // Starts the adapter test over the listed devices, with the test page at `site` (GBK, as typed:
  // "http://host:port/path" and a bare host both do). A session the person started ends first, since
  // trials capture on one adapter at a time. False, and nothing started, when the site's host cannot
  // be resolved.
  bool BeginTest(std::string_view site);
  // One second of the running trial.
  void Tick() { test_.Tick(); }
  // Ends a running test; the row under trial no longer says "testing".
  void Cancel() { test_.Cancel(); }
  void TrialStartFailed(std::string why) { test_.TrialStartFailed(std::move(why)); }
  bool Testing() const { return testing_; }
  int TestIndex() const { return test_.Index(); }

 private:
  void StartCapture(const std::string& device) override { view_.StartCapture(device); }
  void StopCapture() override { view_.StopCapture(); }
  void ShowStatus(int index, TrialStatus status, const std::string& why) override { view_.ShowStatus(index, status, why); }
  bool OfferAsDefault(int index) override { return view_.OfferAsDefault(index); }
  void Choose(int index) override { view_.Choose(index); }
  void Ticking(bool on) override { view_.Ticking(on); }
  void Finished() override;
  void NothingUsable() override { view_.NothingUsable(); }

  PcapNet& net_;
  Program& program_;
  AdapterTrials& view_;
  AdapterTest test_;
  std::vector<CaptureDevice> devices_;
  bool testing_ = false;
};

}  // namespace qv
