// Live capture through the capture helper quelvar-capture, for a program that lacks the capture rights
// itself. The helper opens the adapter and writes its frames as a pcap stream to a pipe; the stream is
// read through the code that reads capture files (PcapNet::OpenOffline on /dev/fd/N), so every frame
// takes the same path as a frame of a file or of a live handle.
//
// Stop ends the helper (SIGTERM), which closes the stream: a loop reading it returns. A helper that
// has not ended 2 s after SIGTERM is killed (SIGKILL), so that the stream ends even then; Finish says
// so. A helper that ends by itself is reported by Finish with the line it wrote on standard error.
#pragma once
#include <sys/types.h>

#include <atomic>
#include <optional>
#include <string>
#include <thread>

#include "capture/capture_stats.h"
#include "capture/pcap_net.h"

namespace qv {

inline constexpr const char* kCaptureHelperName = "quelvar-capture";
// The largest kernel buffer the helper asks for (its --buffer), in MB.
inline constexpr int kCaptureHelperMaxBufferMB = 1024;
// How long a helper has to end after SIGTERM before it is killed.
inline constexpr int kCaptureHelperExitWaitMs = 2000;

class HelperCapture {
 public:
  HelperCapture() = default;
  ~HelperCapture();  // stops the helper and waits for it
  HelperCapture(const HelperCapture&) = delete;
  HelperCapture& operator=(const HelperCapture&) = delete;

  // The kernel buffer the next Start asks the helper for, 1 to kCaptureHelperMaxBufferMB; 0 (the
  // default): the helper's own default (32 MB).
  void SetBufferMB(int mb) { bufferMB_ = mb; }
  // Starts `helper` on `device` and waits (at most `waitMs`) for the start of its stream. False when
  // the helper cannot be started, ends before its stream starts, or does not start it in time; `error`
  // then says why (the helper's own message when it gave one).
  bool Start(const std::string& helper, const std::string& device, std::string& error, int waitMs = 5000);
  // The stream as a file name for the capture-file reader ("/dev/fd/N"); valid after a successful Start.
  std::string StreamPath() const;
  // Ends the helper (SIGTERM; SIGKILL kCaptureHelperExitWaitMs later if it is still there, even while
  // nobody waits for it); async-signal-safe, callable from any thread. Does not wait.
  void Stop();
  // Waits for the helper to end and closes the stream. After Stop: at most kCaptureHelperExitWaitMs,
  // then it is killed. Without Stop (its stream ended): as long again for it to end by itself before it
  // is stopped. Empty when it ended as asked (stopped, or its reader went away); else why it ended,
  // for the user, also when it had to be killed.
  std::string Finish();
  // Whether the helper has ended (Finish reports how). Never waits.
  bool Ended();
  pid_t Pid() const { return pid_; }
  // The frame counts the helper reported when it ended (received, dropped by the kernel, by the
  // interface); nothing before Finish, or when it reported none.
  std::optional<CaptureStats> Counts() const { return counts_; }

 private:
  bool Terminated() const;                 // the helper has ended (not yet reaped); never waits
  bool WaitForEnd(long long deadlineMs);  // until it has ended or the deadline (monotonic ms) passed
  void Watch();                           // the watchdog thread: the kill that follows an unheeded Stop
  void EndWatchdog();

  pid_t pid_ = -1;
  int stream_ = -1;  // read end of the helper's standard output
  int errors_ = -1;  // read end of its standard error
  int wake_ = -1;    // eventfd that wakes the watchdog
  int bufferMB_ = 0;
  // Lock-free: set from signal handlers and other threads.
  std::atomic<bool> stopped_{false};
  std::atomic<long long> stoppedAtMs_{0};
  std::atomic<bool> killed_{false};
  std::atomic<bool> quit_{false};  // the watchdog is to end
  std::thread watchdog_;
  std::optional<CaptureStats> counts_;
};

// A capture failure that the capture rights would cure (libpcap's words for it).
bool IsPermissionError(const std::string& error);

// What a user without capture rights can do, in one sentence: in an installation, be let into the
// group quelvar (the package asks whether its members may capture); in a build folder, give the helper
// the capabilities.
std::string CaptureRightsRemedy(const std::string& helper, bool installed);

// The capture helper of the running program: in its helper folder.
struct CaptureHelperPlace {
  std::string path;
  bool installed = false;  // the program runs from an installation
};
CaptureHelperPlace FindCaptureHelper();

// Where a live capture goes when the program itself may not capture: `device` through the helper at
// `helperPath`, its stream opened by `net`. The open stream, or null with `rightsMissing` set when
// the rights are what is missing (no runnable helper, or the helper lacks them too), else with `error`
// saying why the helper failed. A helper that started is ended again when its stream cannot be read.
pcap_t* OpenThroughHelper(PcapNet& net, HelperCapture& helper, const std::string& helperPath, const std::string& device,
                          std::string& error, bool& rightsMissing);

}  // namespace qv
