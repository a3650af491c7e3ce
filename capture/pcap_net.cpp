#include "capture/pcap_net.h"

#include <dlfcn.h>

#include <array>
#include <cstring>

namespace qv {
namespace {

template <typename Fn>
bool Look(void* library, const char* name, Fn& out) {
  out = reinterpret_cast<Fn>(dlsym(library, name));
  return out != nullptr;
}

}  // namespace

std::vector<std::string> PcapNet::DefaultLibraryNames() {
  return {"libpcap.so.1", "libpcap.so.0.8", "libpcap.so"};
}

bool PcapNet::Bind(const std::vector<std::string>& libraryNames) {
  if (library_) return true;
  for (const auto& name : libraryNames) {
    library_ = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library_) break;
  }
  if (!library_) return false;
  const bool all = Look(library_, "pcap_findalldevs", pcap_findalldevs) &&
                   Look(library_, "pcap_freealldevs", pcap_freealldevs) &&
                   Look(library_, "pcap_open_live", pcap_open_live) && Look(library_, "pcap_loop", pcap_loop) &&
                   Look(library_, "pcap_breakloop", pcap_breakloop);
  if (!all) {
    Release();
    return false;
  }
  Look(library_, "pcap_open_offline", pcap_open_offline);
  Look(library_, "pcap_close", pcap_close);
  Look(library_, "pcap_stats", pcap_stats);
  Look(library_, "pcap_create", pcap_create);
  Look(library_, "pcap_set_snaplen", pcap_set_snaplen);
  Look(library_, "pcap_set_promisc", pcap_set_promisc);
  Look(library_, "pcap_set_timeout", pcap_set_timeout);
  Look(library_, "pcap_set_buffer_size", pcap_set_buffer_size);
  Look(library_, "pcap_activate", pcap_activate);
  Look(library_, "pcap_geterr", pcap_geterr);
  Look(library_, "pcap_statustostr", pcap_statustostr);
  Look(library_, "pcap_datalink", pcap_datalink);
  return true;
}

void PcapNet::Release() {
  if (library_) dlclose(library_);
  library_ = nullptr;
  pcap_findalldevs = nullptr;
  pcap_freealldevs = nullptr;
  pcap_open_live = nullptr;
  pcap_loop = nullptr;
  pcap_breakloop = nullptr;
  pcap_open_offline = nullptr;
  pcap_close = nullptr;
  pcap_stats = nullptr;
  pcap_create = nullptr;
  pcap_set_snaplen = nullptr;
  pcap_set_promisc = nullptr;
  pcap_set_timeout = nullptr;
  pcap_set_buffer_size = nullptr;
  pcap_activate = nullptr;
  pcap_geterr = nullptr;
  pcap_statustostr = nullptr;
  pcap_datalink = nullptr;
}

bool PcapNet::CanSetBuffer() const {
  return Available() && pcap_create && pcap_set_snaplen && pcap_set_promisc && pcap_set_timeout &&
         pcap_set_buffer_size && pcap_activate && pcap_geterr && pcap_statustostr && pcap_close;
}

bool PcapNet::ListDevices(std::vector<CaptureDevice>& out) const {
  out.clear();
  if (!Available()) return false;
  std::array<char, kPcapErrorBufferSize> err{};
  pcap_if_t* head = nullptr;
  if (pcap_findalldevs(&head, err.data()) != 0) return false;
  for (pcap_if_t* d = head; d; d = d->next) {
    out.push_back({d->name ? d->name : "", d->description ? d->description : ""});
  }
  if (head) pcap_freealldevs(head);
  return true;
}

pcap_t* PcapNet::OpenLive(const std::string& device, std::string& error, int bufferBytes) const {
  error.clear();
  if (!Available()) {
    error = "the capture library is not available";
    return nullptr;
  }
  std::array<char, kPcapErrorBufferSize> err{};
  if (!CanSetBuffer()) {
    pcap_t* handle = pcap_open_live(device.c_str(), 65536, 0, 1000, err.data());
    if (!handle) error = err[0] ? std::string(err.data()) : std::string("unknown error");
    return handle;
  }
  pcap_t* handle = pcap_create(device.c_str(), err.data());
  if (!handle) {
    error = device + ": " + (err[0] ? std::string(err.data()) : std::string("unknown error"));
    return nullptr;
  }
  pcap_set_snaplen(handle, 65536);
  pcap_set_promisc(handle, 0);
  pcap_set_timeout(handle, 1000);
  if (bufferBytes > 0) pcap_set_buffer_size(handle, bufferBytes);
  const int status = pcap_activate(handle);  // above 0: a warning, the handle works
  if (status < 0) {
    // Worded as pcap_open_live words it, so that callers read one form of reason.
    const char* why = pcap_geterr(handle);
    const std::string detail = why && why[0] ? why : "";
    const char* kind = pcap_statustostr(status);
    if (status == PCAP_ERROR) {
      error = device + ": " + detail;
    } else if (status == PCAP_ERROR_NO_SUCH_DEVICE || status == PCAP_ERROR_PERM_DENIED ||
               status == PCAP_ERROR_PROMISC_PERM_DENIED) {
      error = device + ": " + (kind ? kind : "error") + (detail.empty() ? "" : " (" + detail + ")");
    } else {
      error = device + ": " + (kind ? kind : "error");
    }
    pcap_close(handle);
    return nullptr;
  }
  return handle;
}

pcap_t* PcapNet::OpenOffline(const std::string& path, std::string& error) const {
  error.clear();
  if (!CanReadFiles()) {
    error = "the capture library cannot read capture files";
    return nullptr;
  }
  std::array<char, kPcapErrorBufferSize> err{};
  pcap_t* handle = pcap_open_offline(path.c_str(), err.data());
  if (!handle) error = err[0] ? std::string(err.data()) : std::string("unknown error");
  return handle;
}

void PcapNet::Close(pcap_t* handle) const {
  if (handle && pcap_close) pcap_close(handle);
}

bool PcapNet::Stats(pcap_t* handle, pcap_stat& out) const {
  if (!handle || !HasStats()) return false;
  out = {};
  return pcap_stats(handle, &out) == 0;
}

int PcapNet::LinkType(pcap_t* handle) const {
  return handle && pcap_datalink ? pcap_datalink(handle) : DLT_EN10MB;
}

}  // namespace qv
