// Starting and stopping a capture session (live or from a capture file), with the effects the window
// shows reported through callbacks. All calls come from one thread (the user-interface thread).
#pragma once
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "capture/pcap_net.h"
#include "capture/sniff_thread.h"

namespace qv {

class FrameHandler;

struct SessionEvents {
  std::function<void()> listCleared;                      // LV1 is to be emptied
  std::function<void()> adapterNotFound;                  // the selected adapter is not among the devices
  std::function<void(const std::string&)> startFailed;    // a device or file could not be opened: why
  std::function<void(bool running)> runningChanged;       // start controls and status text
};

class CaptureSession {
 public:
  CaptureSession(PcapNet& net, FrameHandler& handler, SessionEvents events);
  ~CaptureSession();  // stops and joins

  void Star(const std::string& adapterName);   // live capture on the named device
  bool StartFile(const std::string& path);     // the same path for a capture file
  void Stop();                                 // breaks the loop; does not wait
  void Join();                                 // waits for the current capture thread
  bool Running() const;                        // a loop is running now
  // The frame counts of the current live session, or of the last one once it has ended: frames
  // received, dropped by the kernel, dropped by the interface. Nothing for a capture file, or when the
  // library keeps no counts. Cheap enough for a timer of a few hundred milliseconds.
  std::optional<CaptureStats> Stats();

 private:
  void Launch(pcap_t* handle);

  PcapNet& net_;
  FrameHandler& handler_;
  SessionEvents events_;
  std::unique_ptr<TSniffThread> current_;
};

}  // namespace qv
