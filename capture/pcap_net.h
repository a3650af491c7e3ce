// libpcap bound at run time. Capture is possible only when all five entry points of a live session
// are found (all or nothing); reading capture files, closing handles, asking a handle's link type, the
// capture statistics and the open-in-steps calls that set the kernel buffer are optional extras that
// never change that.
#pragma once
#include <pcap/pcap.h>  // types only; nothing of the library is linked

#include <cstdint>
#include <string>
#include <vector>

namespace qv {

struct CaptureDevice {
  std::string name;         // the device name: what is stored, matched and opened
  std::string description;  // shown to the user
};

// The library's error-buffer size plus one, zeroed before every call that takes one.
inline constexpr std::size_t kPcapErrorBufferSize = PCAP_ERRBUF_SIZE + 1;

// The kernel buffer a live capture asks for: room for about a quarter of a second of a gigabit link, so
// that a burst or a slow moment of the capture thread costs no frame.
inline constexpr int kDefaultCaptureBufferBytes = 32 << 20;

class PcapNet {
 public:
  // libpcap.so.1, then libpcap.so.0.8, then libpcap.so.
  static std::vector<std::string> DefaultLibraryNames();

  PcapNet() = default;
  ~PcapNet() { Release(); }
  PcapNet(const PcapNet&) = delete;
  PcapNet& operator=(const PcapNet&) = delete;

  // Loads the first library that can be loaded and binds its entry points. Returns Available().
  bool Bind(const std::vector<std::string>& libraryNames = DefaultLibraryNames());
  // Unloads the library. Every capture thread must have left the library before.
  void Release();
  bool Available() const { return library_ != nullptr; }
  bool CanReadFiles() const { return Available() && pcap_open_offline != nullptr; }
  // pcap_create ... pcap_activate are there: a live capture can be given its kernel buffer size.
  bool CanSetBuffer() const;
  bool HasStats() const { return Available() && pcap_stats != nullptr; }

  // The five entry points of a live session.
  int (*pcap_findalldevs)(pcap_if_t**, char*) = nullptr;
  void (*pcap_freealldevs)(pcap_if_t*) = nullptr;
  pcap_t* (*pcap_open_live)(const char*, int, int, int, char*) = nullptr;
  int (*pcap_loop)(pcap_t*, int, pcap_handler, u_char*) = nullptr;
  void (*pcap_breakloop)(pcap_t*) = nullptr;
  // Optional.
  pcap_t* (*pcap_open_offline)(const char*, char*) = nullptr;
  void (*pcap_close)(pcap_t*) = nullptr;
  int (*pcap_stats)(pcap_t*, pcap_stat*) = nullptr;
  pcap_t* (*pcap_create)(const char*, char*) = nullptr;
  int (*pcap_set_snaplen)(pcap_t*, int) = nullptr;
  int (*pcap_set_promisc)(pcap_t*, int) = nullptr;
  int (*pcap_set_timeout)(pcap_t*, int) = nullptr;
  int (*pcap_set_buffer_size)(pcap_t*, int) = nullptr;
  int (*pcap_activate)(pcap_t*) = nullptr;
  char* (*pcap_geterr)(pcap_t*) = nullptr;
  const char* (*pcap_statustostr)(int) = nullptr;
  int (*pcap_datalink)(pcap_t*) = nullptr;

  // Device enumeration; false when the library reports a failure. The list is freed on every path.
  bool ListDevices(std::vector<CaptureDevice>& out) const;
  // Opens a device (snapshot 65536, not promiscuous, 1000 ms timeout) with a kernel buffer of
  // `bufferBytes` where the library lets it be set (0: the library's own size), through pcap_open_live
  // otherwise. On failure returns null and sets `error` to the library's reason, which starts with the
  // device name.
  pcap_t* OpenLive(const std::string& device, std::string& error,
                   int bufferBytes = kDefaultCaptureBufferBytes) const;
  // Opens a capture file (pcap or pcapng); null with the reason on failure.
  pcap_t* OpenOffline(const std::string& path, std::string& error) const;
  void Close(pcap_t* handle) const;
  // The library's counters of a live handle; false when it has no pcap_stats or cannot give them (a
  // capture file or a stream has none).
  bool Stats(pcap_t* handle, pcap_stat& out) const;
  // The handle's link type (DLT_EN10MB, DLT_LINUX_SLL, ...); Ethernet when the library cannot tell.
  int LinkType(pcap_t* handle) const;

 private:
  void* library_ = nullptr;
};

}  // namespace qv
