#include "settings/adapter_page.h"

#include "common/bytes.h"
#include "common/site_host.h"

namespace qv {

AdapterPage::AdapterPage(PcapNet& net, Program& program, AdapterTestState& state, AdapterTrials& trials)
    : net_(net), program_(program), view_(trials), test_(state, *this) {}

AdapterPage::Listing AdapterPage::List(const std::string& chosen) {
  devices_.clear();
  if (!net_.Available()) return Listing::NoCaptureLibrary;
  if (!net_.ListDevices(devices_)) devices_.clear();
  for (const CaptureDevice& d : devices_)
    if (d.name == chosen) return Listing::ChosenListed;  // whole bytes, case-sensitive
  return Listing::ChosenUnknown;
}

AdapterPage::Start AdapterPage::BeginTest(std::string_view site, std::string ticked, bool asked) {
  if (testing_ && !asked) return Start::Started;  // the running test goes on
  const std::string host = TestSiteHost(Trim(site));
  const auto address = program_.ResolveHost(host);
  if (!address || address->empty()) {
    const bool again = !asked && host == unreachable_;
    unreachable_ = host;
    return again ? Start::StillUnreachable : Start::Unreachable;
  }
  unreachable_.clear();
  if (program_.SessionRunning()) program_.StopSniffing();
  testing_ = true;
  ticked_ = std::move(ticked);
  chosen_ = -1;
  std::vector<std::string> names;
  for (const CaptureDevice& d : devices_) names.push_back(d.name);
  test_.Begin(std::move(names));
  return Start::Started;
}

// Every usable adapter declined, the test offers the first of them; the one the person ticked is
// taken instead when it proved usable too.
void AdapterPage::Choose(int index) {
  // A default taken at its question comes while the test runs; the offer after the last trial, after.
  if (!testing_ && !ticked_.empty()) {
    for (std::size_t i = 0; i < devices_.size(); ++i)
      if (devices_[i].name == ticked_ && test_.Status(static_cast<int>(i)) == TrialStatus::Usable) {
        index = static_cast<int>(i);
        break;
      }
  }
  chosen_ = index;
  view_.Choose(index);
}

void AdapterPage::Finished() {
  testing_ = false;
  view_.Finished();
}

}  // namespace qv
