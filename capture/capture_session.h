// Starting and stopping a capture session (live or from a capture file), with the effects the window
// shows reported through callbacks. All calls come from one thread (the user-interface thread).
#pragma once
#include <functional>
#include <memory>
#include <string>

#include "capture/helper_capture.h"
#include "capture/pcap_net.h"
#include "capture/sniff_thread.h"

namespace qv {

class FrameHandler;

struct SessionEvents {
  std::function<void()> listCleared;                      // LV1 is to be emptied
  std::function<void()> adapterNotFound;                  // the selected adapter is not among the devices
  std::function<void(const std::string&)> startFailed;    // a device or file could not be opened: why
  std::function<void(bool running)> runningChanged;       // start controls and status text
  std::function<void(const std::string&)> captureEnded;   // the capture helper ended by itself: why
};

class CaptureSession {
 public:
  CaptureSession(PcapNet& net, FrameHandler& handler, SessionEvents events);
  ~CaptureSession();  // stops and joins

  void Star(const std::string& adapterName);   // live capture on the named device
  bool StartFile(const std::string& path);     // the same path for a capture file
  void Stop();                                 // breaks the loop; does not wait
  void Join();                                 // waits for the current capture thread
  bool Running() const;                        // a loop is running now; reports a helper that died

  // The capture helper used when this program lacks the capture rights (quelvar-capture, found in the
  // helper folder of the running program by default).
  void SetCaptureHelper(std::string path, bool installed);

 private:
  void Launch(pcap_t* handle, std::unique_ptr<HelperCapture> helper = nullptr);
  pcap_t* OpenThroughHelper(const std::string& adapterName, std::unique_ptr<HelperCapture>& helper,
                            std::string& error);
  void EndHelper() const;

  PcapNet& net_;
  FrameHandler& handler_;
  SessionEvents events_;
  std::unique_ptr<TSniffThread> current_;
  // The helper whose stream the current loop reads, if any; ended once that loop has returned.
  mutable std::unique_ptr<HelperCapture> helper_;
  std::string helperPath_;
  bool helperInstalled_ = false;
};

}  // namespace qv
