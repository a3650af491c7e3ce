#include "capture/helper_capture.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <system_error>
#include <vector>

#include "platform/settings_location.h"

extern char** environ;

namespace qv {

namespace {

// At most this much of the helper's standard error is kept: it writes one line.
constexpr std::size_t kMaxMessage = 1024;

std::string ReadMessage(int fd) {
  std::string text;
  if (fd < 0) return text;
  char buf[512];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0) break;  // the helper has ended: what it wrote is there, never wait
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) break;
    text.append(buf, static_cast<std::size_t>(std::min<std::size_t>(n, kMaxMessage - std::min(text.size(), kMaxMessage))));
    if (text.size() >= kMaxMessage) break;
  }
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  const std::string prefix = std::string(kCaptureHelperName) + ": ";
  if (text.rfind(prefix, 0) == 0) text.erase(0, prefix.size());
  return text;
}

long long NowMs() {  // async-signal-safe
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Waits until `fd` is readable or `ms` have passed, and empties it (an eventfd).
void WaitOn(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, ms) > 0) {
    std::uint64_t value;
    [[maybe_unused]] const ssize_t n = ::read(fd, &value, sizeof value);
  }
}

}  // namespace

bool IsPermissionError(const std::string& error) {
  return error.find("ermission") != std::string::npos || error.find("not permitted") != std::string::npos;
}

std::string CaptureRightsRemedy(const std::string& helper, bool installed) {
  if (installed)
    return "to capture without root, let the members of the group quelvar capture (sudo dpkg-reconfigure "
           "quelvar), join it (sudo usermod -a -G quelvar $USER) and log in again";
  return "to capture without root, give the capture helper its rights: sudo setcap cap_net_raw,cap_net_admin=eip " +
         helper;
}

HelperCapture::~HelperCapture() {
  Stop();
  Finish();
}

bool HelperCapture::Start(const std::string& helper, const std::string& device, std::string& error, int waitMs) {
  if (pid_ > 0) {  // one helper at a time
    Stop();
    Finish();
  }
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0) {
    error = std::strerror(errno);
    return false;
  }
  if (::pipe2(err, O_CLOEXEC) != 0) {
    error = std::strerror(errno);
    ::close(out[0]), ::close(out[1]);
    return false;
  }
  const int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake < 0) {
    error = std::strerror(errno);
    ::close(out[0]), ::close(out[1]), ::close(err[0]), ::close(err[1]);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // The helper starts with default signal handling and no blocked signals, whatever this thread has.
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  std::vector<std::string> args = {helper, "--interface", device};
  if (bufferMB_ > 0) args.insert(args.end(), {"--buffer", std::to_string(bufferMB_)});
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  // The helper holds capture rights and never reads TLS: it is not told where a key log lies.
  std::vector<char*> envp;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e)
    if (std::strncmp(*e, "SSLKEYLOGFILE=", 14) != 0) envp.push_back(*e);
  envp.push_back(nullptr);
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, helper.c_str(), &actions, &attr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  ::close(out[1]);
  ::close(err[1]);
  if (rc != 0) {
    ::close(out[0]), ::close(err[0]), ::close(wake);
    error = "cannot start " + helper + ": " + std::strerror(rc);
    return false;
  }
  pid_ = pid;
  stream_ = out[0];
  errors_ = err[0];
  wake_ = wake;
  stopped_ = false;
  killed_ = false;
  quit_ = false;
  try {
    watchdog_ = std::thread([this] { Watch(); });
  } catch (const std::system_error& e) {
    Stop();
    Finish();
    error = std::string("cannot start ") + kCaptureHelperName + ": " + e.what();
    return false;
  }

  // The stream starts with the pcap file header; until then the reader would block.
  const long long end = NowMs() + waitMs;
  for (;;) {
    const long long left = end - NowMs();
    pollfd p{stream_, POLLIN, 0};
    const int n = left > 0 ? ::poll(&p, 1, static_cast<int>(left)) : 0;
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int e = errno;
      Stop();
      Finish();
      error = n == 0 ? std::string(kCaptureHelperName) + " did not start its stream in time" : std::strerror(e);
      return false;
    }
    // Readable: the stream has begun, or it ended before it began because the helper failed.
    int available = 0;
    if (::ioctl(stream_, FIONREAD, &available) == 0 && available > 0) return true;
    const std::string why = Finish();
    error = why.empty() ? std::string(kCaptureHelperName) + " ended without a stream" : why;
    return false;
  }
}

std::string HelperCapture::StreamPath() const { return "/dev/fd/" + std::to_string(stream_); }

// The helper is reaped by Finish alone, after the watchdog has ended: until then its process id stays
// its own (a zombie at worst), so a late SIGKILL can never reach another process.
bool HelperCapture::Terminated() const {
  siginfo_t info{};
  if (::waitid(P_PID, pid_, &info, WEXITED | WNOHANG | WNOWAIT) != 0) return errno != EINTR;
  return info.si_pid == pid_;
}

bool HelperCapture::WaitForEnd(long long deadlineMs) {
  for (;;) {
    if (Terminated()) return true;
    const long long left = deadlineMs - NowMs();
    if (left <= 0) return false;
    const timespec pause{0, std::min<long long>(left, 10) * 1000000};
    ::nanosleep(&pause, nullptr);
  }
}

void HelperCapture::Watch() {
  while (!quit_ && !stopped_) WaitOn(wake_, -1);
  const long long deadline = stoppedAtMs_ + kCaptureHelperExitWaitMs;
  for (;;) {
    if (quit_ || Terminated()) return;
    const long long left = deadline - NowMs();
    if (left <= 0) break;
    WaitOn(wake_, static_cast<int>(std::min<long long>(left, 20)));
  }
  // Stopped, and still there: its stream would stay open and hold whoever reads it.
  killed_ = true;
  ::kill(pid_, SIGKILL);
}

void HelperCapture::EndWatchdog() {
  if (!watchdog_.joinable()) return;
  quit_ = true;
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(wake_, &one, sizeof one);
  watchdog_.join();
}

bool HelperCapture::Ended() {
  if (pid_ <= 0) return true;
  return Terminated();
}

void HelperCapture::Stop() {
  if (pid_ <= 0) return;
  const int saved = errno;  // called from signal handlers
  if (!stopped_) {  // the time first: the watchdog reads it once it sees the stop
    stoppedAtMs_ = NowMs();
    stopped_ = true;
  }
  ::kill(pid_, SIGTERM);
  if (wake_ >= 0) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake_, &one, sizeof one);
  }
  errno = saved;
}

std::string HelperCapture::Finish() {
  if (pid_ <= 0) return {};
  if (!Terminated()) {
    // Not asked to stop: its stream has ended, and it is ending by itself; it has as long again for
    // that before it is asked.
    if (!stopped_ && !WaitForEnd(NowMs() + kCaptureHelperExitWaitMs)) Stop();
    if (stopped_ && !WaitForEnd(stoppedAtMs_ + kCaptureHelperExitWaitMs)) {
      killed_ = true;
      ::kill(pid_, SIGKILL);
    }
  }
  EndWatchdog();
  const pid_t pid = pid_;
  pid_ = -1;  // from here on a Stop (from a signal handler) leaves the process id alone
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  std::string message = ReadMessage(errors_);
  // The line of frame counts the helper writes when its capture ends is kept apart from its message.
  counts_.reset();
  std::string rest;
  for (std::size_t at = 0; at <= message.size();) {
    std::size_t eol = message.find('\n', at);
    if (eol == std::string::npos) eol = message.size();
    const std::string_view line(message.data() + at, eol - at);
    if (const auto counts = ParseCaptureStats(line)) {
      counts_ = counts;
    } else if (!line.empty()) {
      if (!rest.empty()) rest += '\n';
      rest += line;
    }
    at = eol + 1;
  }
  const std::string prefix = std::string(kCaptureHelperName) + ": ";
  if (rest.rfind(prefix, 0) == 0) rest.erase(0, prefix.size());
  message = std::move(rest);
  if (stream_ >= 0) ::close(stream_);
  if (errors_ >= 0) ::close(errors_);
  if (wake_ >= 0) ::close(wake_);
  stream_ = errors_ = wake_ = -1;
  const bool asked = stopped_.load();
  if (killed_ && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
    return std::string(kCaptureHelperName) + " did not end within " +
           std::to_string(kCaptureHelperExitWaitMs / 1000) + " s of SIGTERM and was killed";
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return {};
  if (WIFSIGNALED(status) && asked && WTERMSIG(status) == SIGTERM) return {};
  if (!message.empty()) return message;
  if (WIFSIGNALED(status))
    return std::string(kCaptureHelperName) + " was ended by signal " + std::to_string(WTERMSIG(status));
  return std::string(kCaptureHelperName) + " ended with status " + std::to_string(WEXITSTATUS(status));
}

CaptureHelperPlace FindCaptureHelper() {
  const ProgramFiles files = FindProgramFiles(ExecutableFolder());
  return CaptureHelperPlace{files.helperDir + "/" + kCaptureHelperName, files.installed};
}

pcap_t* OpenThroughHelper(PcapNet& net, HelperCapture& helper, const std::string& helperPath, const std::string& device,
                          std::string& error, bool& rightsMissing) {
  error.clear();
  rightsMissing = false;
  if (::access(helperPath.c_str(), X_OK) != 0) {
    rightsMissing = true;
    return nullptr;
  }
  pcap_t* handle = nullptr;
  if (helper.Start(helperPath, device, error)) {
    handle = net.OpenOffline(helper.StreamPath(), error);
    if (!handle) {
      helper.Stop();
      helper.Finish();
    }
  }
  if (!handle) rightsMissing = error.empty() || IsPermissionError(error);
  return handle;
}

}  // namespace qv
