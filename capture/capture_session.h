// Starting and stopping a capture session (live or from a capture file), with the effects the window
// shows reported through callbacks. All calls come from one thread (the user-interface thread).
#pragma once
#include <functional>
#include <memory>
#include <optional>
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
  // The two steps of StartFile, for a caller that must know the file opens before it changes anything:
  // the handle, or null with the message for the person; then the session on that handle (which it owns).
  pcap_t* OpenFile(const std::string& path, std::string& why) const;
  void StartFile(pcap_t* handle);
  void Stop();                                 // breaks the loop; does not wait
  void Join();                                 // waits for the current capture thread
  bool Running() const;                        // a loop is running now; reports a helper that died
  // The frame counts of the current live session, or of the last one once it has ended: frames
  // received, dropped by the kernel, dropped by the interface. Nothing for a capture file, or when the
  // library keeps no counts; through the capture helper, only once the session has ended (the helper
  // reports them when it ends). Cheap enough for a timer of a few hundred milliseconds.
  std::optional<CaptureStats> Stats();

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
  mutable std::optional<CaptureStats> helperCounts_;  // what the last helper reported when it ended
  std::string helperPath_;
  bool helperInstalled_ = false;
};

}  // namespace qv
