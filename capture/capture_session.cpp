#include "capture/capture_session.h"

#include "capture/frame_handler.h"

namespace qv {

CaptureSession::CaptureSession(PcapNet& net, FrameHandler& handler, SessionEvents events)
    : net_(net), handler_(handler), events_(std::move(events)) {}

CaptureSession::~CaptureSession() {
  Stop();
  Join();
}

bool CaptureSession::Running() const { return current_ && !current_->Finished(); }

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
  if (!handle) {
    if (events_.startFailed) events_.startFailed(adapterName + ": " + error);
    return;
  }
  Launch(handle);
}

bool CaptureSession::StartFile(const std::string& path) {
  if (events_.listCleared) events_.listCleared();
  std::string error;
  pcap_t* handle = net_.OpenOffline(path, error);
  if (!handle) {
    if (events_.startFailed) events_.startFailed(path + ": " + error);
    return false;
  }
  Launch(handle);
  return true;
}

void CaptureSession::Launch(pcap_t* handle) {
  // The handler must never run on two threads: the previous loop ends before the next begins.
  if (current_) {
    current_->BreakLoop();
    current_->Join();
  }
  handler_.StartSession();
  current_ = std::make_unique<TSniffThread>(net_, handler_);
  current_->SetPcapHandle(handle);
  current_->Resume();
  if (events_.runningChanged) events_.runningChanged(true);
}

void CaptureSession::Stop() {
  if (current_) current_->BreakLoop();
  if (auto f = handler_.Filter()) handler_.SetFilter(f->AfterStop());
  if (events_.runningChanged) events_.runningChanged(false);
}

std::optional<CaptureStats> CaptureSession::Stats() {
  if (!current_) return std::nullopt;
  return current_->Stats();
}

void CaptureSession::Join() {
  if (current_) current_->Join();
}

}  // namespace qv
