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

bool AdapterPage::BeginTest(std::string_view site) {
  const std::string host = TestSiteHost(Trim(site));
  const auto address = program_.ResolveHost(host);
  if (!address || address->empty()) return false;
  if (program_.SessionRunning()) program_.StopSniffing();
  testing_ = true;
  std::vector<std::string> names;
  for (const CaptureDevice& d : devices_) names.push_back(d.name);
  test_.Begin(std::move(names));
  return true;
}

void AdapterPage::Finished() {
  testing_ = false;
  view_.Finished();
}

}  // namespace qv
