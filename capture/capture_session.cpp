#include "capture/capture_session.h"

#include "capture/frame_handler.h"
#include "capture/capture_messages.h"

namespace qv {

CaptureSession::CaptureSession(PcapNet& net, FrameHandler& handler, SessionEvents events)
    : net_(net), handler_(handler), events_(std::move(events)) {
  const CaptureHelperPlace helper = FindCaptureHelper();
  SetCaptureHelper(helper.path, helper.installed);
}

void CaptureSession::SetCaptureHelper(std::string path, bool installed) {
  helperPath_ = std::move(path);
  helperInstalled_ = installed;
}

CaptureSession::~CaptureSession() {
  Stop();
  Join();
}

bool CaptureSession::Running() const {
  if (current_ && !current_->Finished()) return true;
  EndHelper();
  return false;
}

// Once the loop over the helper's stream has returned: the helper is stopped if it still runs, and
// reported if it ended by itself.
void CaptureSession::EndHelper() const {
  if (!helper_) return;
  if (!helper_->Ended()) helper_->Stop();
  const std::string why = helper_->Finish();
  helperCounts_ = helper_->Counts();
  helper_.reset();
  if (!why.empty() && events_.captureEnded) events_.captureEnded(why);
}

pcap_t* CaptureSession::OpenThroughHelper(const std::string& adapterName, std::unique_ptr<HelperCapture>& helper,
                                          std::string& error) {
  helper = std::make_unique<HelperCapture>();
  bool rightsMissing = false;
  pcap_t* handle = qv::OpenThroughHelper(net_, *helper, helperPath_, adapterName, error, rightsMissing);
  if (!handle) {
    helper.reset();
    error = rightsMissing ? CaptureRightsMessage(adapterName, helperPath_, helperInstalled_)
                          : CaptureDeviceMessage(adapterName, error);
  }
  return handle;
}

void CaptureSession::Star(const std::string& adapterName) {
  if (events_.listCleared) events_.listCleared();
  std::vector<CaptureDevice> devices;
  if (!net_.ListDevices(devices)) return;  // enumeration failed: nothing is shown
  bool found = false;
  for (const auto& d : devices) {
    if (d.name == adapterName) {  // whole bytes, case-sensitive
      found = true;
      break;
    }
  }
  if (!found) {
    if (events_.adapterNotFound) events_.adapterNotFound();
    return;
  }
  std::string error;
  pcap_t* handle = net_.OpenLive(adapterName, error);
  std::unique_ptr<HelperCapture> helper;
  if (!handle && IsPermissionError(error)) {
    handle = OpenThroughHelper(adapterName, helper, error);
  } else if (!handle) {
    error = CaptureDeviceMessage(adapterName, error);
  }
  if (!handle) {
    if (events_.startFailed) events_.startFailed(error);
    return;
  }
  Launch(handle, std::move(helper));
}

bool CaptureSession::StartFile(const std::string& path) {
  std::string why;
  pcap_t* handle = OpenFile(path, why);
  if (!handle) {
    if (events_.startFailed) events_.startFailed(why);
    return false;
  }
  StartFile(handle);
  return true;
}

pcap_t* CaptureSession::OpenFile(const std::string& path, std::string& why) const {
  std::string error;
  pcap_t* handle = net_.OpenOffline(path, error);
  if (!handle) why = CaptureFileMessage(path, error);
  return handle;
}

void CaptureSession::StartFile(pcap_t* handle) {
  // Only a file that opened empties the list: a failed open leaves everything as it was.
  if (events_.listCleared) events_.listCleared();
  Launch(handle);
}

void CaptureSession::Launch(pcap_t* handle, std::unique_ptr<HelperCapture> helper) {
  // The handler must never run on two threads: the previous loop ends before the next begins.
  if (current_) {
    current_->BreakLoop();
    if (helper_) helper_->Stop();
    current_->Join();
  }
  EndHelper();
  helperCounts_.reset();
  helper_ = std::move(helper);
  handler_.StartSession(net_.LinkType(handle));
  current_ = std::make_unique<TSniffThread>(net_, handler_);
  current_->SetPcapHandle(handle);
  current_->Resume();
  if (events_.runningChanged) events_.runningChanged(true);
}

void CaptureSession::Stop() {
  if (current_) current_->BreakLoop();
  if (helper_) helper_->Stop();  // its stream ends, and with it a read the break cannot wake
  if (auto f = handler_.Filter()) handler_.SetFilter(f->AfterStop());
  if (events_.runningChanged) events_.runningChanged(false);
}

std::optional<CaptureStats> CaptureSession::Stats() {
  if (!current_) return std::nullopt;
  if (auto own = current_->Stats()) return own;
  return helperCounts_;  // a capture through the helper: its counts once it has ended
}

void CaptureSession::Join() {
  if (current_) current_->Join();
  EndHelper();
}

}  // namespace qv
