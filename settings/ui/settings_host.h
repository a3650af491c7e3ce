// What the settings dialog needs from the program around it. The dialog writes the settings file and
// the file-type table itself; everything else it reaches through this interface, which the main
// window implements, and it hears back through its slots (AdapterChosen, TrialStartFailed).
#pragma once
#include <QString>

#include <optional>
#include <string>
#include <vector>

#include "capture/pcap_net.h"

namespace qv {

class SettingsStore;
class FileTypeState;
struct AdapterTestState;

class SettingsHost {
 public:
  virtual ~SettingsHost() = default;

  // The settings file; null when the program has none.
  virtual SettingsStore* Store() = 0;
  // The live file-type table that classification reads.
  virtual FileTypeState& Types() = 0;
  // The frame counting of the adapter test, shared with the capture thread.
  virtual AdapterTestState& TestState() = 0;

  // The adapter sessions capture on. Setting it writes nothing; choosing it is a choice in the
  // adapter menu: the entry is checked, the settings file written, AdapterChosen reported.
  virtual std::string AdapterName() const = 0;
  virtual void SetAdapterName(std::string name) = 0;
  virtual void ChooseAdapter(int index) = 0;
  // The adapter menu's entries, in device order.
  virtual void ShowAdapters(const std::vector<CaptureDevice>& devices) = 0;

  // Sniffing as the tool bar's buttons start and stop it.
  virtual bool SessionRunning() const = 0;
  virtual void StartSniffing() = 0;
  virtual void StopSniffing() = 0;

  virtual std::optional<std::string> ResolveHost(const std::string& host) = 0;
  virtual void ShowTitle(const QString& title) = 0;
  // No capture library: the program offers its installer and ends.
  virtual void CaptureLibraryMissing() = 0;
  // The chosen adapter is unknown: every adapter is tested a second later.
  virtual void AdapterUnknown() = 0;
};

}  // namespace qv
