// The capture thread: one pcap_loop over an open handle, every frame to the frame handler.
#pragma once
#include <pcap/pcap.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>

#include "capture/capture_stats.h"

namespace qv {

class FrameHandler;
class PcapNet;

// The frame callback given to pcap_loop; its user argument is the FrameHandler.
extern "C" void PacketCallback(u_char* user, const pcap_pkthdr* header, const u_char* bytes);

class TSniffThread {
 public:
  TSniffThread(const PcapNet& net, FrameHandler& handler) : net_(net), handler_(handler) {}
  ~TSniffThread();  // breaks the loop and waits for it
  TSniffThread(const TSniffThread&) = delete;
  TSniffThread& operator=(const TSniffThread&) = delete;

  void SetPcapHandle(pcap_t* handle) { FPcapHandle = handle; }
  void Resume();     // runs Execute on a thread of its own
  void BreakLoop();  // from any thread; does not wait
  void Join();       // waits for the loop to return; the handle is closed then
  bool Finished() const { return finished_.load(); }
  // The library's frame counts for this handle, from any thread; after Join, the last ones read before
  // the handle was closed. Nothing when the library keeps none for it (a capture file, a stream).
  std::optional<CaptureStats> Stats();

 private:
  void Execute();

  const PcapNet& net_;
  FrameHandler& handler_;
  pcap_t* FPcapHandle = nullptr;
  std::thread thread_;
  std::atomic<bool> finished_{false};
  std::atomic<bool> breakRequested_{false};
  std::mutex statsMutex_;  // the handle is closed only under it
  CaptureCounter counter_;
  bool statsSeen_ = false;
};

}  // namespace qv
