// quelvar-scan: the headless front. Runs a capture file or a live capture through the same core as the
// window and prints the list.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <pthread.h>
#include <unistd.h>

#include "capture/capture_file.h"
#include "capture/capture_stats.h"
#include "capture/frame_handler.h"
#include "capture/helper_capture.h"
#include "capture/host2ip.h"
#include "capture/pcap_net.h"
#include "capture/protohdr.h"
#include "capture/sniff_thread.h"
#include "common/codepage.h"
#include "packets/packet_filter.h"
#include "platform/settings_location.h"
#include "settings/app_settings.h"
#include "settings/settings_store.h"
#include "tools/quelvar-scan/scan_options.h"
#include "tools/quelvar-scan/scan_output.h"
#include "urls/url_list.h"

namespace {

using namespace qv;

// The loop to break from a signal handler; pcap_breakloop may be called there.
PcapNet* g_net = nullptr;
pcap_t* volatile g_handle = nullptr;

// A capture through the helper: its stream ends when the helper does.
HelperCapture* volatile g_helper = nullptr;

// Ends the capture: the loop returns after the frame in hand.
void StopCapture() {
  if (g_net && g_handle) g_net->pcap_breakloop(g_handle);
  if (g_helper) g_helper->Stop();
}

extern "C" void OnSignal(int) { StopCapture(); }

// Rows go straight into the URL list (the loop runs on this thread); packet rows, with `packets`,
// are written at once and not kept: the packet list has no rule that needs the rows before them.
class ListSink : public FrameSink {
 public:
  ListSink(UrlList& list, scan::PacketRowWriter* packets) : list_(list), packets_(packets) {}
  void UrlFound(UrlInsertion&& insertion) override { list_.Insert(std::move(insertion)); }
  void PacketFound(PacketRowData&& row) override {
    if (!packets_) {
      list_.AppendPacketRow(std::move(row.caption), row.direction, std::move(row.payload), std::move(row.length),
                            std::move(row.record));
    } else if (!packets_->Write(row.caption, row.direction, row.payload, row.length,
                                row.record ? std::string_view(row.record->Remote) : std::string_view())) {
      StopCapture();  // the output takes no more rows
    }
  }

 private:
  UrlList& list_;
  scan::PacketRowWriter* packets_;
};

int Fail(const std::string& what) {
  std::fprintf(stderr, "quelvar-scan: %s\n", what.c_str());
  return 1;
}

// The library's frame counts of a live capture, as one line; empty when it keeps none.
std::string LiveCounts(const PcapNet& net, pcap_t* handle) {
  pcap_stat reading{};
  if (!net.Stats(handle, reading)) return {};
  CaptureCounter counter;
  counter.Update(reading);
  return DescribeCaptureStats(counter.Totals());
}

// The settings from the settings file, read once. An explicit --settings that names a file which is
// there but cannot be read is an error; a missing one, or a default file that is missing or cannot be
// read, gives the defaults (the latter with a warning): an empty table, undefined types listed,
// duplicates not allowed.
std::optional<AppSettings> LoadSettings(const std::string& explicitPath) {
  const std::string path = explicitPath.empty()
                               ? LocateSettings(FindProgramFiles(ExecutableFolder()), UserSettingsFolder(), false).path
                               : explicitPath;
  std::string why;
  bool missing = false;
  AppSettings settings;
  const auto snapshot = ReadSettingsFile(path, why, missing);
  if (snapshot) {
    settings.Load(*snapshot);
    return settings;
  }
  if (missing && !explicitPath.empty()) return settings;
  if (!explicitPath.empty()) {
    Fail("cannot read the settings file " + path + ": " + why);
    return std::nullopt;
  }
  std::fprintf(stderr, "quelvar-scan: warning: settings file %s: %s; using the default file types\n", path.c_str(),
               why.c_str());
  return settings;
}

// The file-type table of the settings, with the switches the command line sets.
FileTypeSnapshot TableFor(const AppSettings& settings, const scan::Options& o) {
  FileTypeSnapshot table = settings.FileTypes();
  if (o.duplicates) table = table.WithDuplicates(*o.duplicates);
  if (o.undefinedTypes) table = table.WithUndefinedTypes(*o.undefinedTypes);
  if (o.httpsHosts) table = table.WithHttpsHosts(*o.httpsHosts);
  return table;
}

// The kind of output, and the category view of --view chosen in `list`. Nothing (after the usage) when
// the view is unknown or does not apply.
std::optional<scan::OutputKind> ChooseOutput(const scan::Options& o, UrlList& list) {
  if (o.view.empty()) return o.packetMode ? scan::OutputKind::PacketList : scan::OutputKind::UrlList;
  const auto gbk = Utf8ToGbk(o.view);
  int entry = -1;
  for (int e = 1; e < kViewEntryCount && gbk; ++e)
    if (!ViewEntryCaption(e).empty() && ViewEntryCaption(e) == *gbk) entry = e;
  if (entry < 0) {
    std::fprintf(stderr, "quelvar-scan: unknown view %s\n%s", o.view.c_str(), scan::kUsage);
    return std::nullopt;
  }
  if (o.packetMode) {
    std::fprintf(stderr, "quelvar-scan: --view applies to URL mode only\n%s", scan::kUsage);
    return std::nullopt;
  }
  list.ViewByCategory(entry);
  return scan::OutputKind::CategoryView;
}

// The packet filter of the command line; its site is resolved here. Nothing when it cannot be.
std::optional<PacketFilter> FilterOf(const scan::Options& o) {
  PacketFilter filter;
  filter.protocol = o.protocol;
  filter.direction = o.direction;
  filter.contained = o.contains;
  filter.minLength = o.minLength;
  filter.siteText = CutSiteToHost(o.site);
  if (!filter.siteText.empty()) {
    const auto resolved = ResolveHost(filter.siteText);
    if (!resolved) {
      Fail("the site " + filter.siteText + " cannot be resolved");
      return std::nullopt;
    }
    filter.siteAddress = *resolved;
  }
  return filter;
}

bool LocalAddressesValid(const scan::Options& o) {
  for (const auto& a : o.local) {
    std::uint32_t v4;
    IPv6Bytes v6;
    if (!ParseIPv4(a, v4) && !ParseIPv6(a, v6)) {
      std::fprintf(stderr, "quelvar-scan: --local takes an IPv4 or IPv6 address, not %s\n%s", a.c_str(),
                   scan::kUsage);
      return false;
    }
  }
  return true;
}

// Opens the capture file, or the interface (through the capture helper when this program may not
// capture). Null after the failure was told.
pcap_t* OpenInput(PcapNet& net, const scan::Options& o, HelperCapture& helper) {
  std::string error;
  if (!o.readFile.empty()) {
    pcap_t* handle = net.OpenOffline(o.readFile, error);
    if (!handle) Fail("cannot read " + o.readFile + ": " + error);
    return handle;
  }
  pcap_t* handle = net.OpenLive(o.interface, error, o.bufferMB ? *o.bufferMB << 20 : kDefaultCaptureBufferBytes);
  if (handle) return handle;
  if (!IsPermissionError(error)) {
    Fail("cannot capture on " + o.interface + ": " + error);
    return nullptr;
  }
  // No capture rights here: the capture helper holds them.
  const CaptureHelperPlace place = FindCaptureHelper();
  if (o.bufferMB) {  // the helper asks for the kernel buffer itself, within its own limit
    if (*o.bufferMB > kCaptureHelperMaxBufferMB)
      std::fprintf(stderr, "quelvar-scan: the capture helper takes a buffer of at most %d MB: asking for %d MB\n",
                   kCaptureHelperMaxBufferMB, kCaptureHelperMaxBufferMB);
    helper.SetBufferMB(std::min(*o.bufferMB, kCaptureHelperMaxBufferMB));
  }
  bool rightsMissing = false;
  handle = OpenThroughHelper(net, helper, place.path, o.interface, error, rightsMissing);
  if (handle) {
    g_helper = &helper;
  } else if (rightsMissing) {
    Fail("cannot capture on " + o.interface + ": no permission to capture; " +
         CaptureRightsRemedy(place.path, place.installed));
  } else {
    Fail("cannot capture on " + o.interface + " through " + place.path + ": " + error);
  }
  return handle;
}

// Runs the capture loop with the signals that end it; the output state it ended with.
struct LoopEnd {
  int rc = 0;
  scan::OutputState output = scan::OutputState::Fine;
  int outputError = 0;
};

LoopEnd RunLoop(PcapNet& net, pcap_t* handle, FrameHandler& handler, const scan::Options& o, scan::OutputKind kind,
                scan::PacketRowWriter& packetWriter) {
  g_net = &net;
  g_handle = handle;
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  // A live handle: no SA_RESTART, so that a blocked read returns and the loop sees the break. The
  // helper's stream: the read goes on until the stopped helper closes the stream.
  sa.sa_flags = g_helper ? SA_RESTART : 0;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGALRM, &sa, nullptr);
  // A reader that goes away (`| head`) is seen as EPIPE on a write, not as a signal. Set only now, so that
  // the capture helper, started before, keeps the default.
  std::signal(SIGPIPE, SIG_IGN);
  if (o.seconds > 0) alarm(static_cast<unsigned>(o.seconds));

  std::optional<scan::OutputFlusher> flusher;
  if (kind == scan::OutputKind::PacketList) {
    // Rows reach a pipe at least every quarter of a second however slowly frames come; when the output
    // fails, the flusher stops the capture as a signal would, through this thread's handler.
    flusher.emplace(stdout, std::chrono::milliseconds(250),
                    [self = pthread_self()] { pthread_kill(self, SIGALRM); });
  }
  LoopEnd end;
  end.rc = net.pcap_loop(handle, static_cast<int>(o.count), PacketCallback, reinterpret_cast<u_char*>(&handler));
  // Why the output ended, if it did: the first failure seen, by the rows or by the flusher.
  end.output = packetWriter.State();
  end.outputError = packetWriter.Error();
  if (flusher) {
    flusher->Finish();  // what it saw is final once its thread has ended
    if (end.output == scan::OutputState::Fine) end.output = flusher->State(), end.outputError = flusher->Error();
  }
  alarm(0);
  g_handle = nullptr;
  return end;
}

void PrintHttpsCounts(const tls::HttpsSession& https) {
  const tls::HttpsCounts c = https.Counts();
  std::fprintf(stderr, "%llu TLS connections, %llu decrypted, %llu without keys, %llu failed\n",
               static_cast<unsigned long long>(c.connections), static_cast<unsigned long long>(c.decrypted),
               static_cast<unsigned long long>(c.withoutKeys), static_cast<unsigned long long>(c.failed));
}

// After the loop: the helper ended, the capture closed, the list printed, the counts told; the exit
// status.
int Finish(PcapNet& net, pcap_t* handle, HelperCapture& helper, const scan::Options& o, scan::OutputKind kind,
           const UrlList& list, tls::HttpsSession* https, LoopEnd end) {
  std::string counts = o.readFile.empty() ? LiveCounts(net, handle) : std::string();
  // The helper's stream ends when the helper does: stop it first (a loop that ended by --count leaves it
  // running), and learn whether it ended by itself.
  std::string helperEnd;
  if (g_helper) {
    if (!helper.Ended()) helper.Stop();
    helperEnd = helper.Finish();
    if (const auto c = helper.Counts()) counts = DescribeCaptureStats(*c);  // the helper's own counts
    g_helper = nullptr;
  }
  net.Close(handle);

  if (kind != scan::OutputKind::PacketList) scan::PrintList(stdout, list, kind, o.raw);
  // The output may also fail at this last flush.
  if (std::fflush(stdout) != 0 && end.output == scan::OutputState::Fine) {
    end.outputError = errno;
    end.output = scan::StateOf(stdout, end.outputError);
    if (end.output == scan::OutputState::Fine) end.output = scan::OutputState::Failed;
  }
  if (!counts.empty()) std::fprintf(stderr, "%s\n", counts.c_str());
  if (https) {
    https->EndSession();
    PrintHttpsCounts(*https);
  }
  if (!helperEnd.empty()) return Fail("capture on " + o.interface + " ended: " + helperEnd);
  // A reader that went away wanted no more rows: that is how `| head` ends a capture, not an error.
  if (end.output == scan::OutputState::ReaderGone) return 0;
  if (end.output == scan::OutputState::Failed)
    return Fail(std::string("cannot write the list: ") + (end.outputError ? std::strerror(end.outputError) : "write error"));
  if (end.rc == PCAP_ERROR) {
    return Fail((o.readFile.empty() ? "capture on " + o.interface : "reading " + o.readFile) +
                " ended early: the rest of the input cannot be read");
  }
  return 0;
}

int Run(const scan::Options& o) {
  FileTypeState types;
  {
    const auto settings = LoadSettings(o.settings);
    if (!settings) return 1;
    types.Replace(TableFor(*settings, o));
  }

  UrlList list;
  const auto kind = ChooseOutput(o, list);
  if (!kind) return 2;
  const auto filter = FilterOf(o);
  if (!filter) return 1;
  if (!LocalAddressesValid(o)) return 2;

  PcapNet net;
  if (!net.Bind()) return Fail("the capture library libpcap cannot be loaded (install the package libpcap0.8)");

  std::vector<std::string> local = o.local;
  if (local.empty()) local = o.readFile.empty() ? LocalAddresses() : InferLocalAddresses(net, o.readFile);

  // Standard output in large blocks; in packet-list mode the rows go out while the capture runs.
  static char outBuffer[1 << 16];
  std::setvbuf(stdout, outBuffer, _IOFBF, sizeof outBuffer);
  scan::PacketRowWriter packetWriter(stdout, o.raw);
  ListSink sink(list, *kind == scan::OutputKind::PacketList ? &packetWriter : nullptr);
  FrameHandler handler(types, sink, [local] { return local; });
  handler.SetLocalAddresses(local);
  handler.SetFilter(*filter);
  handler.SetAdPage(kAdPage);
  handler.workMode = o.packetMode ? WorkMode::Packets : WorkMode::Url;
  tls::HttpsSession https;
  if (!o.keyLogs.empty()) {
    https.SetMessageSink([](const std::string& m) { std::fprintf(stderr, "quelvar-scan: %s\n", m.c_str()); });
    https.SetKeyLogFiles(o.keyLogs);
    handler.SetHttps(&https);
  }

  HelperCapture helper;
  pcap_t* handle = OpenInput(net, o, helper);
  if (!handle) return 1;
  handler.StartSession(net.LinkType(handle));
  LoopEnd end = RunLoop(net, handle, handler, o, *kind, packetWriter);

  return Finish(net, handle, helper, o, *kind, list, o.keyLogs.empty() ? nullptr : &https, end);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string error;
  const auto options = scan::ParseOptions(args, error);
  if (!options) {
    std::fprintf(stderr, "quelvar-scan: %s\n%s", error.c_str(), scan::kUsage);
    return 2;
  }
  if (options->help) {
    std::fputs(scan::kUsage, stdout);
    return 0;
  }
  if (options->version) {
    std::printf("quelvar-scan %s\n", QUELVAR_VERSION);
    return 0;
  }
  try {
    return Run(*options);
  } catch (const std::exception& e) {
    return Fail(e.what());
  }
}
