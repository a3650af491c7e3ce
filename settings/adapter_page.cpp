#include "settings/adapter_page.h"

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "capture/capture_messages.h"
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

bool HelperCanCapture(const std::string& path) {
  if (path.empty() || ::access(path.c_str(), X_OK) != 0) return false;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if ((st.st_mode & S_ISUID) != 0 && st.st_uid == 0) return true;
  return ::getxattr(path.c_str(), "security.capability", nullptr, 0) > 0;
}

RightsAdvice CaptureRightsAdvice(const CaptureHelperPlace& helper) {
  if (helper.installed)
    return {"当前用户没有抓包权限，不能嗅探。请加入 quelvar 组，然后重新登录（若软件包尚未允许该组成员抓包，"
            "先运行 sudo dpkg-reconfigure quelvar）：",
            CaptureRightsCommand(helper.path, true)};
  return {"当前用户没有抓包权限，不能嗅探。请给抓包助手授予抓包权限：",
          CaptureRightsCommand(helper.path, false)};
}

std::optional<std::string> AdapterWithoutRights(PcapNet& net, const std::vector<CaptureDevice>& devices,
                                                const std::string& chosen, const CaptureHelperPlace& helper) {
  if (devices.empty()) return std::nullopt;
  std::string device = devices.front().name;
  for (const CaptureDevice& d : devices)
    if (d.name == "lo") device = d.name;
  for (const CaptureDevice& d : devices)
    if (d.name == chosen) device = d.name;
  std::string error;
  if (pcap_t* handle = net.OpenLive(device, error)) {
    net.Close(handle);
    return std::nullopt;
  }
  if (!IsPermissionError(error) || HelperCanCapture(helper.path)) return std::nullopt;
  return device;
}

std::optional<RightsAdvice> AdapterPage::MissingRights(const std::string& chosen, const CaptureHelperPlace& helper) const {
  if (!AdapterWithoutRights(net_, devices_, chosen, helper)) return std::nullopt;
  return CaptureRightsAdvice(helper);
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
