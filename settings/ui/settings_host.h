// What the settings dialog needs from the program around it. The settings themselves it reads from and
// writes to the SettingsController; the adapters and sniffing it reaches through this interface, which
// the main window implements, and it hears back through its slots (AdapterChosen, TrialStartFailed).
#pragma once
#include <optional>
#include <string>
#include <vector>

#include "capture/pcap_net.h"
#include "settings/adapter_page.h"

namespace qv {

class SettingsController;
struct AdapterTestState;

class SettingsHost : public AdapterPage::Program {
 public:
  virtual SettingsController& Settings() = 0;
  // The frame counting of the adapter test, shared with the capture thread.
  virtual AdapterTestState& TestState() = 0;

  // The adapter sessions capture on. Setting it writes nothing (an adapter trial); choosing it is a
  // choice in the adapter menu: the entry is checked, the settings written, AdapterChosen reported.
  virtual std::string AdapterName() const = 0;
  virtual void SetAdapterName(std::string name) = 0;
  virtual void ChooseAdapter(int index) = 0;
  // The adapter menu's entries, in device order.
  virtual void ShowAdapters(const std::vector<CaptureDevice>& devices) = 0;

  // Sniffing as the tool bar's buttons start and stop it (SessionRunning and StopSniffing: Program).
  virtual void StartSniffing() = 0;

  // No capture library: the program offers its installer and ends.
  virtual void CaptureLibraryMissing() = 0;
  // The chosen adapter is unknown: every adapter is tested a second later.
  virtual void AdapterUnknown() = 0;
};

}  // namespace qv
