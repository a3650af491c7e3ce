// quelvar-capture: the only program of Quelvar that holds the capture rights. It opens one network
// adapter with libpcap ("any" or the name of an existing interface, nothing else the library can open),
// applies nothing else (no filter, no decoding), and writes the frames to its standard output as a pcap
// stream, flushed after every frame. The window and quelvar-scan start it when they lack the rights
// themselves and read the stream with the code that reads capture files.
//
// It gives up every capability once the adapter is open, never reads a file, and takes no settings from
// the environment. Its standard output must be a pipe, a socket or a regular file: a terminal or any
// other device is refused before the adapter is opened. It ends when it is sent SIGTERM, SIGINT or
// SIGHUP, when its reader goes away (a write fails with EPIPE, or the parent process ends), or after
// --count frames.
//
// Exit status: 0 ended as asked or the reader went away, 1 the adapter is refused or cannot be opened,
// or the stream cannot be written (one line on standard error says why), 2 a usage error. When the
// capture ends it first writes the library's frame counts on standard error ("N frames received, M
// dropped by the kernel, K by the interface"), which its reader reports as its own. The kernel buffer is
// 32 MB unless --buffer says otherwise.
#include <linux/capability.h>
#include <pcap/pcap.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "tools/quelvar-capture/capture_source.h"

namespace {

using qv::capture_helper::PrintableName;
using qv::capture_helper::RefuseCaptureSource;

constexpr const char* kUsage =
    "usage: quelvar-capture --interface NAME [--count N] [--buffer MB]\n"
    "Opens the network adapter NAME (an interface of this machine, or any; snapshot 65536 bytes, not\n"
    "promiscuous) and writes its frames to standard output (a pipe, a socket or a file) as a pcap stream\n"
    "until SIGTERM, SIGINT or SIGHUP, the reader's end, or N frames (1 to 2147483647).\n"
    "  --buffer MB   kernel buffer, 1 to 1024 MB; default 32\n"
    "  --help, --version\n";

constexpr long long kDefaultBufferMB = 32;
constexpr long long kMaxBufferMB = 1024;

pcap_t* volatile g_handle = nullptr;
volatile sig_atomic_t g_stopping = 0;

extern "C" void OnSignal(int) {
  g_stopping = 1;
  if (g_handle) pcap_breakloop(g_handle);
}

struct Output {
  pcap_dumper_t* dumper = nullptr;
  bool failed = false;
  int error = 0;  // errno of the write that failed
};

extern "C" void OnFrame(u_char* user, const pcap_pkthdr* header, const u_char* bytes) {
  auto* out = reinterpret_cast<Output*>(user);
  errno = 0;
  pcap_dump(reinterpret_cast<u_char*>(out->dumper), header, bytes);
  // Every frame reaches the reader at once; a write that fails ends the capture. A write that failed
  // inside pcap_dump may leave nothing for the flush to fail on: the stream's error flag tells.
  if (pcap_dump_flush(out->dumper) != 0 || std::ferror(pcap_dump_file(out->dumper))) {
    out->error = errno;
    out->failed = true;
    pcap_breakloop(g_handle);
  }
}

int Fail(const std::string& what) {
  std::fprintf(stderr, "quelvar-capture: %s\n", what.c_str());
  return 1;
}

int FailWrite(int error) {
  return Fail(std::string("cannot write the stream") + (error != 0 ? std::string(": ") + std::strerror(error) : ""));
}

// A whole number from 1 to `max`, digits only; nothing when the text is anything else.
bool ParseCount(std::string_view text, long long max, long long& value) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size() && value >= 1 && value <= max;
}

// What the stream is written to: a pipe or a socket (a reader), or a regular file. A terminal would
// show binary bytes, and a device such as /dev/null is no reader: capturing into it only holds the
// adapter and its buffer. Empty when the output is acceptable, else why not.
std::string RefuseOutput(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return std::string("no standard output: ") + std::strerror(errno);
  if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) || S_ISREG(st.st_mode)) return {};
  if (isatty(fd)) return "the stream is binary: send it to a pipe or a file, not a terminal";
  return "the stream goes to a pipe, a socket or a file, not to a device";
}

// Gives up every capability of this process: once the adapter is open none is needed.
bool DropCapabilities() {
  __user_cap_header_struct header{};
  header.version = _LINUX_CAPABILITY_VERSION_3;
  header.pid = 0;
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  return syscall(SYS_capset, &header, data) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string device;
  long long count = 0;
  long long bufferMB = kDefaultBufferMB;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (a == "--version") {
      std::printf("quelvar-capture %s\n", QUELVAR_VERSION);
      return 0;
    }
    if ((a == "--interface" || a == "-i") && i + 1 < argc) {
      device = argv[++i];
    } else if (a == "--count" && i + 1 < argc) {
      // pcap_loop counts in an int: a larger number would wrap.
      if (!ParseCount(argv[++i], INT_MAX, count)) {
        std::fprintf(stderr, "quelvar-capture: --count takes a number from 1 to %d\n%s", INT_MAX, kUsage);
        return 2;
      }
    } else if (a == "--buffer" && i + 1 < argc) {
      if (!ParseCount(argv[++i], kMaxBufferMB, bufferMB)) {
        std::fprintf(stderr, "quelvar-capture: --buffer takes a number of MB from 1 to %lld\n%s", kMaxBufferMB,
                     kUsage);
        return 2;
      }
    } else {
      std::fprintf(stderr, "quelvar-capture: unknown option %s\n%s", a.c_str(), kUsage);
      return 2;
    }
  }
  if (device.empty() || device.size() > 255 || device[0] == '-') {
    std::fprintf(stderr, "quelvar-capture: give the adapter with --interface NAME\n%s", kUsage);
    return 2;
  }
  // Only network adapters: libpcap would also open netfilter queues, USB and Bluetooth monitors and
  // D-Bus connections by name, with this program's rights.
  if (const std::string why = RefuseCaptureSource(device); !why.empty())
    return Fail("cannot capture on " + PrintableName(device) + ": " + why +
                " (give the name of a network interface, or any)");
  if (const std::string why = RefuseOutput(STDOUT_FILENO); !why.empty()) return Fail(why);

  // The reader's end ends the capture: the parent's death, a closed pipe (the write fails; SIGPIPE would
  // kill the process before the stream is closed properly).
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() == 1) return Fail("started without a reader");
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);  // a file at its size limit: the write fails and says so

  // Again right before the open: the interface may have gone or been renamed meanwhile.
  if (const std::string why = RefuseCaptureSource(device); !why.empty())
    return Fail("cannot capture on " + PrintableName(device) + ": " + why);
  char errbuf[PCAP_ERRBUF_SIZE + 1] = {};
  pcap_t* handle = pcap_create(device.c_str(), errbuf);
  if (!handle) return Fail("cannot capture on " + device + ": " + errbuf);
  pcap_set_snaplen(handle, 65536);
  pcap_set_promisc(handle, 0);
  pcap_set_timeout(handle, 1000);
  pcap_set_immediate_mode(handle, 1);  // a frame is handed on when it arrives, not when a buffer fills
  pcap_set_buffer_size(handle, static_cast<int>(bufferMB << 20));  // room for a burst while the reader is busy
  const int activated = pcap_activate(handle);
  if (activated < 0) {
    std::string why = pcap_geterr(handle);
    if (activated == PCAP_ERROR_PERM_DENIED)
      why = "no permission to capture (this program needs the capabilities cap_net_raw,cap_net_admin)";
    else if (activated == PCAP_ERROR_NO_SUCH_DEVICE)
      why = "no such adapter";
    pcap_close(handle);
    return Fail("cannot capture on " + device + ": " + why);
  }
  if (!DropCapabilities()) {
    pcap_close(handle);
    return Fail(std::string("cannot give up the capture rights: ") + std::strerror(errno));
  }

  Output out;
  errno = 0;
  out.dumper = pcap_dump_fopen(handle, stdout);
  if (!out.dumper || pcap_dump_flush(out.dumper) != 0 || std::ferror(stdout)) {
    const int e = errno;
    pcap_close(handle);
    if (out.dumper && e == EPIPE) return 0;  // the reader went away before the stream began
    return FailWrite(e);
  }

  g_handle = handle;
  struct sigaction sa {};
  sa.sa_handler = OnSignal;  // no SA_RESTART: a blocked read returns and the loop sees the break
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);

  const int rc = pcap_loop(handle, count > 0 ? static_cast<int>(count) : -1, OnFrame, reinterpret_cast<u_char*>(&out));
  std::string error = rc == PCAP_ERROR ? pcap_geterr(handle) : "";
  g_handle = nullptr;
  // The library's frame counts, for the reader to report: one line in the form quelvar-scan prints.
  pcap_stat counts{};
  if (pcap_stats(handle, &counts) == 0)
    std::fprintf(stderr, "%u frames received, %u dropped by the kernel, %u by the interface\n", counts.ps_recv,
                 counts.ps_drop, counts.ps_ifdrop);
  pcap_dump_close(out.dumper);  // closes standard output: the reader sees the end of the stream
  pcap_close(handle);
  // A reader that went away ends the capture as asked, as does a stop signal that cut a write to a full
  // pipe short (EINTR); any other failed write leaves a stream cut short, which is a failure.
  if (out.failed && (out.error == EPIPE || (out.error == EINTR && g_stopping))) return 0;
  if (out.failed) return FailWrite(out.error);
  if (rc == PCAP_ERROR) return Fail("capture on " + device + " ended: " + error);
  return 0;
}
