// quelvar-capture: the only program of Quelvar that holds the capture rights. It opens one adapter with
// libpcap, applies nothing else (no filter, no decoding), and writes the frames to its standard output
// as a pcap stream, flushed after every frame. The window and quelvar-scan start it when they lack the
// rights themselves and read the stream with the code that reads capture files.
//
// It gives up every capability once the adapter is open, never reads a file, and takes no settings from
// the environment. It ends when it is sent SIGTERM, SIGINT or SIGHUP, when its reader goes away (the
// write fails, or the parent process ends), or after --count frames.
//
// Exit status: 0 ended as asked, 1 the adapter cannot be opened or the stream cannot be written (one
// line on standard error says why), 2 a usage error. When the capture ends it first writes the library's
// frame counts on standard error ("N frames received, M dropped by the kernel, K by the interface"),
// which its reader reports as its own. The kernel buffer is 32 MB.
#include <linux/capability.h>
#include <pcap/pcap.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr const char* kUsage =
    "usage: quelvar-capture --interface NAME [--count N]\n"
    "Opens the adapter NAME (snapshot 65536 bytes, not promiscuous) and writes its frames to standard\n"
    "output as a pcap stream until SIGTERM, SIGINT or SIGHUP, the reader's end, or N frames.\n"
    "  --help, --version\n";

pcap_t* volatile g_handle = nullptr;

extern "C" void OnSignal(int) {
  if (g_handle) pcap_breakloop(g_handle);
}

struct Output {
  pcap_dumper_t* dumper = nullptr;
  bool failed = false;
};

extern "C" void OnFrame(u_char* user, const pcap_pkthdr* header, const u_char* bytes) {
  auto* out = reinterpret_cast<Output*>(user);
  pcap_dump(reinterpret_cast<u_char*>(out->dumper), header, bytes);
  // Every frame reaches the reader at once; a reader that went away ends the capture.
  if (pcap_dump_flush(out->dumper) != 0) {
    out->failed = true;
    pcap_breakloop(g_handle);
  }
}

int Fail(const std::string& what) {
  std::fprintf(stderr, "quelvar-capture: %s\n", what.c_str());
  return 1;
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
  long count = 0;
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
      char* end = nullptr;
      count = std::strtol(argv[++i], &end, 10);
      if (*end != '\0' || count <= 0 || count > (1L << 40)) {
        std::fprintf(stderr, "quelvar-capture: --count takes a positive number\n%s", kUsage);
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
  if (isatty(STDOUT_FILENO)) return Fail("the stream is binary: send it to a pipe or a file, not a terminal");

  // The reader's end ends the capture: the parent's death, a closed pipe (the write fails; SIGPIPE would
  // kill the process before the stream is closed properly).
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() == 1) return Fail("started without a reader");
  signal(SIGPIPE, SIG_IGN);

  char errbuf[PCAP_ERRBUF_SIZE + 1] = {};
  pcap_t* handle = pcap_create(device.c_str(), errbuf);
  if (!handle) return Fail("cannot capture on " + device + ": " + errbuf);
  pcap_set_snaplen(handle, 65536);
  pcap_set_promisc(handle, 0);
  pcap_set_timeout(handle, 1000);
  pcap_set_immediate_mode(handle, 1);  // a frame is handed on when it arrives, not when a buffer fills
  pcap_set_buffer_size(handle, 32 << 20);  // room for a burst while the reader is busy
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
  out.dumper = pcap_dump_fopen(handle, stdout);
  if (!out.dumper || pcap_dump_flush(out.dumper) != 0) {
    pcap_close(handle);
    return Fail("cannot write the stream");
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
  if (out.failed) return 0;  // the reader went away: nothing more to do
  if (rc == PCAP_ERROR) return Fail("capture on " + device + " ended: " + error);
  return 0;
}
