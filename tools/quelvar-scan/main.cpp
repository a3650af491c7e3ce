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
#include "settings/file_type_table.h"
#include "settings/settings_location.h"
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

// The file-type table and the listing switches from the settings file, read once. An explicit
// --settings that names a file which is there but cannot be read is an error; a missing one, or a
// default file that is missing or cannot be read, gives the defaults (the latter with a warning): an
// empty table, undefined types listed, duplicates not allowed.
std::optional<FileTypeSnapshot> LoadTable(const std::string& explicitPath) {
  const FileTypeSnapshot defaults = FileTypeSnapshot().WithUndefinedTypes(true).WithDuplicates(false);
  const std::string path = explicitPath.empty()
                               ? LocateSettings(FindProgramFiles(ExecutableFolder()), UserSettingsFolder(), false).path
                               : explicitPath;
  std::string why;
  bool missing = false;
  const auto snapshot = ReadSettingsFile(path, why, missing);
  if (snapshot) return LoadFileTypes(*snapshot);
  if (missing && !explicitPath.empty()) return defaults;
  if (!explicitPath.empty()) {
    Fail("cannot read the settings file " + path + ": " + why);
    return std::nullopt;
  }
  std::fprintf(stderr, "quelvar-scan: warning: settings file %s: %s; using the default file types\n", path.c_str(),
               why.c_str());
  return defaults;
}

int Run(const scan::Options& o) {
  FileTypeState types;
  {
    auto loaded = LoadTable(o.settings);
    if (!loaded) return 1;
    FileTypeSnapshot table = std::move(*loaded);
    if (o.duplicates) table = table.WithDuplicates(*o.duplicates);
    if (o.undefinedTypes) table = table.WithUndefinedTypes(*o.undefinedTypes);
    if (o.httpsHosts) table = table.WithHttpsHosts(*o.httpsHosts);
    types.Replace(std::move(table));
  }

  UrlList list;
  scan::OutputKind kind = o.packetMode ? scan::OutputKind::PacketList : scan::OutputKind::UrlList;
  if (!o.view.empty()) {
    const auto gbk = Utf8ToGbk(o.view);
    int entry = -1;
    for (int e = 1; e < kViewEntryCount && gbk; ++e)
      if (!ViewEntryCaption(e).empty() && ViewEntryCaption(e) == *gbk) entry = e;
    if (entry < 0) {
      std::fprintf(stderr, "quelvar-scan: unknown view %s\n%s", o.view.c_str(), scan::kUsage);
      return 2;
    }
    if (o.packetMode) {
      std::fprintf(stderr, "quelvar-scan: --view applies to URL mode only\n%s", scan::kUsage);
      return 2;
    }
    list.ViewByCategory(entry);
    kind = scan::OutputKind::CategoryView;
  }

  PacketFilter filter;
  filter.protocol = o.protocol;
  filter.direction = o.direction;
  filter.contained = o.contains;
  filter.minLength = o.minLength;
  filter.siteText = CutSiteToHost(o.site);
  if (!filter.siteText.empty()) {
    const auto resolved = ResolveHost(filter.siteText);
    if (!resolved) return Fail("the site " + filter.siteText + " cannot be resolved");
    filter.siteAddress = *resolved;
  }

  for (const auto& a : o.local) {
    std::uint32_t v4;
    IPv6Bytes v6;
    if (!ParseIPv4(a, v4) && !ParseIPv6(a, v6)) {
      std::fprintf(stderr, "quelvar-scan: --local takes an IPv4 or IPv6 address, not %s\n%s", a.c_str(),
                   scan::kUsage);
      return 2;
    }
  }

  PcapNet net;
  if (!net.Bind()) return Fail("the capture library libpcap cannot be loaded (install the package libpcap0.8)");

  std::vector<std::string> local = o.local;
  if (local.empty()) local = o.readFile.empty() ? LocalAddresses() : InferLocalAddresses(net, o.readFile);

  // Standard output in large blocks; in packet-list mode the rows go out while the capture runs.
  static char outBuffer[1 << 16];
  std::setvbuf(stdout, outBuffer, _IOFBF, sizeof outBuffer);
  scan::PacketRowWriter packetWriter(stdout, o.raw);
  ListSink sink(list, kind == scan::OutputKind::PacketList ? &packetWriter : nullptr);
  FrameHandler handler(types, sink, [local] { return local; });
  handler.SetLocalAddresses(local);
  handler.SetFilter(filter);
  handler.SetAdPage(kAdPage);
  handler.workMode = o.packetMode ? WorkMode::Packets : WorkMode::Url;
  tls::HttpsSession https;
  if (!o.keyLogs.empty()) {
    https.SetMessageSink([](const std::string& m) { std::fprintf(stderr, "quelvar-scan: %s\n", m.c_str()); });
    https.SetKeyLogFiles(o.keyLogs);
    handler.SetHttps(&https);
  }

  std::string error;
  pcap_t* handle;
  HelperCapture helper;
  if (!o.readFile.empty()) {
    handle = net.OpenOffline(o.readFile, error);
    if (!handle) return Fail("cannot read " + o.readFile + ": " + error);
  } else {
    handle = net.OpenLive(o.interface, error, o.bufferMB ? *o.bufferMB << 20 : kDefaultCaptureBufferBytes);
    if (!handle && IsPermissionError(error)) {
      // No capture rights here: the capture helper holds them.
      const ProgramFiles files = FindProgramFiles(ExecutableFolder());
      const std::string helperPath = files.helperDir + "/" + kCaptureHelperName;
      std::string helperError;
      if (o.bufferMB) {  // the helper asks for the kernel buffer itself, within its own limit
        if (*o.bufferMB > kCaptureHelperMaxBufferMB)
          std::fprintf(stderr, "quelvar-scan: the capture helper takes a buffer of at most %d MB: asking for %d MB\n",
                       kCaptureHelperMaxBufferMB, kCaptureHelperMaxBufferMB);
        helper.SetBufferMB(std::min(*o.bufferMB, kCaptureHelperMaxBufferMB));
      }
      if (::access(helperPath.c_str(), X_OK) != 0) {
        helperError = helperPath + " is missing";
      } else if (helper.Start(helperPath, o.interface, helperError)) {
        handle = net.OpenOffline(helper.StreamPath(), helperError);
        if (!handle) helper.Stop(), helper.Finish();
      }
      if (!handle) {
        if (!IsPermissionError(helperError) && !helperError.empty() && ::access(helperPath.c_str(), X_OK) == 0)
          return Fail("cannot capture on " + o.interface + " through " + helperPath + ": " + helperError);
        return Fail("cannot capture on " + o.interface + ": no permission to capture; " +
                    CaptureRightsRemedy(helperPath, files.installed));
      }
      g_helper = &helper;
    }
    if (!handle) return Fail("cannot capture on " + o.interface + ": " + error);
  }

  handler.StartSession(net.LinkType(handle));

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
  // the capture helper, started above, keeps the default.
  std::signal(SIGPIPE, SIG_IGN);
  if (o.seconds > 0) alarm(static_cast<unsigned>(o.seconds));

  std::optional<scan::OutputFlusher> flusher;
  if (kind == scan::OutputKind::PacketList) {
    // Rows reach a pipe at least every quarter of a second however slowly frames come; when the output
    // fails, the flusher stops the capture as a signal would, through this thread's handler.
    flusher.emplace(stdout, std::chrono::milliseconds(250),
                    [self = pthread_self()] { pthread_kill(self, SIGALRM); });
  }
  const int rc = net.pcap_loop(handle, static_cast<int>(o.count), PacketCallback, reinterpret_cast<u_char*>(&handler));
  // Why the output ended, if it did: the first failure seen, by the rows or by the flusher.
  scan::OutputState output = packetWriter.State();
  int outputError = packetWriter.Error();
  if (flusher) {
    flusher->Finish();  // what it saw is final once its thread has ended
    if (output == scan::OutputState::Fine) output = flusher->State(), outputError = flusher->Error();
  }
  alarm(0);
  g_handle = nullptr;
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
  // Or by this last flush.
  if (std::fflush(stdout) != 0 && output == scan::OutputState::Fine) {
    outputError = errno;
    output = scan::StateOf(stdout, outputError);
    if (output == scan::OutputState::Fine) output = scan::OutputState::Failed;
  }
  if (!counts.empty()) std::fprintf(stderr, "%s\n", counts.c_str());
  if (!o.keyLogs.empty()) {
    https.EndSession();
    const tls::HttpsCounts c = https.Counts();
    std::fprintf(stderr, "%llu TLS connections, %llu decrypted, %llu without keys, %llu failed\n",
                 static_cast<unsigned long long>(c.connections), static_cast<unsigned long long>(c.decrypted),
                 static_cast<unsigned long long>(c.withoutKeys), static_cast<unsigned long long>(c.failed));
  }
  if (!helperEnd.empty()) return Fail("capture on " + o.interface + " ended: " + helperEnd);
  // A reader that went away wanted no more rows: that is how `| head` ends a capture, not an error.
  if (output == scan::OutputState::ReaderGone) return 0;
  if (output == scan::OutputState::Failed)
    return Fail(std::string("cannot write the list: ") + (outputError ? std::strerror(outputError) : "write error"));
  if (rc == PCAP_ERROR) {
    return Fail((o.readFile.empty() ? "capture on " + o.interface : "reading " + o.readFile) +
                " ended early: the rest of the input cannot be read");
  }
  return 0;
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
