// Live capture through the capture helper quelvar-capture, for a program that lacks the capture rights
// itself. The helper opens the adapter and writes its frames as a pcap stream to a pipe; the stream is
// read through the code that reads capture files (PcapNet::OpenOffline on /dev/fd/N), so every frame
// takes the same path as a frame of a file or of a live handle.
//
// Stop ends the helper (SIGTERM), which closes the stream: a loop reading it returns. A helper that
// ends by itself is reported by Finish with the line it wrote on standard error.
#pragma once
#include <sys/types.h>

#include <atomic>
#include <optional>
#include <string>

#include "capture/capture_stats.h"

namespace qv {

inline constexpr const char* kCaptureHelperName = "quelvar-capture";

class HelperCapture {
 public:
  HelperCapture() = default;
  ~HelperCapture();  // stops the helper and waits for it
  HelperCapture(const HelperCapture&) = delete;
  HelperCapture& operator=(const HelperCapture&) = delete;

  // Starts `helper` on `device` and waits (at most `waitMs`) for the start of its stream. False when
  // the helper cannot be started, ends before its stream starts, or does not start it in time; `error`
  // then says why (the helper's own message when it gave one).
  bool Start(const std::string& helper, const std::string& device, std::string& error, int waitMs = 5000);
  // The stream as a file name for the capture-file reader ("/dev/fd/N"); valid after a successful Start.
  std::string StreamPath() const;
  // Ends the helper; async-signal-safe, callable from any thread. Does not wait.
  void Stop();
  // Waits for the helper to end (after Stop, or after the stream ended) and closes the stream. Empty
  // when it ended as asked (stopped, or its reader went away); else why it ended, for the user.
  std::string Finish();
  // Whether the helper has ended (it is then reaped; Finish reports how). Never waits.
  bool Ended();
  pid_t Pid() const { return pid_; }
  // The frame counts the helper reported when it ended (received, dropped by the kernel, by the
  // interface); nothing before Finish, or when it reported none.
  std::optional<CaptureStats> Counts() const { return counts_; }

 private:
  bool reaped_ = false;
  int status_ = 0;
  pid_t pid_ = -1;
  int stream_ = -1;  // read end of the helper's standard output
  int errors_ = -1;  // read end of its standard error
  std::atomic<bool> stopped_{false};  // lock-free: set from signal handlers and other threads
  std::optional<CaptureStats> counts_;
};

// A capture failure that the capture rights would cure (libpcap's words for it).
bool IsPermissionError(const std::string& error);

// What a user without capture rights can do, in one sentence: in an installation, be let into the
// group quelvar (the package asks whether its members may capture); in a build folder, give the helper
// the capabilities.
std::string CaptureRightsRemedy(const std::string& helper, bool installed);

}  // namespace qv
