// The adapter page of the settings dialog without its widgets: the capture devices there are, whether
// the chosen one is among them, and the adapter test over them.
#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "capture/adapter_test.h"
#include "capture/helper_capture.h"
#include "capture/pcap_net.h"

namespace qv {

// What a person without the capture rights is told on the adapter page (UTF-8), and the one command
// that gives them, to be copied.
struct RightsAdvice {
  std::string text;
  std::string command;
};

// Whether the capture helper at `path` can capture for this user: it may be run, and it carries the
// capture capabilities (or runs as root).
bool HelperCanCapture(const std::string& path);

// The adapter this user was refused for want of capture rights, which the capture `helper` cannot
// make up for either: opening `chosen` when it is among `devices`, else the loopback adapter, else the
// first. Nothing when the open succeeded, failed for another reason, or nothing is listed.
std::optional<std::string> AdapterWithoutRights(PcapNet& net, const std::vector<CaptureDevice>& devices,
                                                const std::string& chosen, const CaptureHelperPlace& helper);

// The advice for `helper`: in an installation, joining the group quelvar; in a build folder, giving the
// helper its capabilities (its path quoted for the shell where it needs it).
RightsAdvice CaptureRightsAdvice(const CaptureHelperPlace& helper);

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

  // Whether this user lacks the capture rights: opening a listed adapter (`chosen` when listed, else
  // the loopback adapter, else the first) is refused for want of permission, and the capture helper
  // cannot capture in its place either. The advice then, else nothing (also when the open failed for
  // another reason, or nothing is listed).
  std::optional<RightsAdvice> MissingRights(const std::string& chosen, const CaptureHelperPlace& helper) const;

  enum class Start {
    Started,
    Unreachable,       // the site's host cannot be resolved: the person is told, nothing started
    StillUnreachable,  // a request not from the person, for the site already found unreachable
  };
  // Starts the adapter test over the listed devices, with the test page at `site` (GBK, as typed:
  // "http://host:port/path" and a bare host both do). A session the person started ends first, since
  // trials capture on one adapter at a time. Nothing starts when the site's host cannot be resolved.
  // `ticked` is the adapter the person has ticked: when the test ends without a default taken and it
  // proved usable, it is the one chosen. `asked` is false when the program, not the person, starts the
  // test: such a request is ignored while a test runs, and for a site already found unreachable it
  // gives StillUnreachable, so that repeated requests never repeat the message.
  Start BeginTest(std::string_view site, std::string ticked = {}, bool asked = true);
  // One second of the running trial.
  void Tick() { test_.Tick(); }
  // Ends a running test; the row under trial no longer says "testing".
  void Cancel() { test_.Cancel(); }
  void TrialStartFailed(std::string why) { test_.TrialStartFailed(std::move(why)); }
  bool Testing() const { return testing_; }
  int TestIndex() const { return test_.Index(); }
  // The adapter made the default by the test last run, -1 when none was.
  int ChosenByTest() const { return chosen_; }

 private:
  void StartCapture(const std::string& device) override { view_.StartCapture(device); }
  void StopCapture() override { view_.StopCapture(); }
  void ShowStatus(int index, TrialStatus status, const std::string& why) override { view_.ShowStatus(index, status, why); }
  bool OfferAsDefault(int index) override { return view_.OfferAsDefault(index); }
  void Choose(int index) override;
  void Ticking(bool on) override { view_.Ticking(on); }
  void Finished() override;
  void NothingUsable() override { view_.NothingUsable(); }

  PcapNet& net_;
  Program& program_;
  AdapterTrials& view_;
  AdapterTest test_;
  std::vector<CaptureDevice> devices_;
  bool testing_ = false;
  std::string ticked_;       // the adapter ticked when the test began
  int chosen_ = -1;
  std::string unreachable_;  // the host last found unreachable; empty once a test started
};

}  // namespace qv
