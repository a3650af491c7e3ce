// bench_ui_flood: floods the main window with packet rows and measures what the user would feel.
//
//   bench_ui_flood [--capture FILE] [--rows N] [--keep] [--no-spill] [--distinct]
//
// --distinct writes a number into the last 8 bytes of every frame longer than 80 bytes, so that the
// repeated payloads differ from each other as live traffic does (the repeats otherwise share their
// texts, and the list's address counts stay small).
//
// --no-spill keeps the packet rows' payloads in memory, as the window does when it cannot write its
// spill file.
//
// The capture (default: the shared http_espn_fail.pcapng) is repeated into a classic pcap file until
// it holds at least N frames (default 100000), written with plain file I/O. The window runs it in
// packet-list mode, where every frame becomes a row, while a 10 ms timer on the user-interface thread
// records the largest gap between its ticks (target: never over 100 ms) from the moment the file is
// open; opening it (which reads the whole file once for the local addresses, on the user-interface
// thread) is timed apart. The rows are checked against a reference pass that runs the same file
// through the frame handler synchronously: same rows, same order. Reported: rows, rows per second,
// the largest gap and the number of gaps over 100 ms, the machine's own pauses over the same time
// (a sleeping thread per core, waking late) and the gaps less those pauses (the window's own part),
// how long the packet list took to paint, memory per row (RSS growth / rows), the peak RSS of the
// process and the size of the spill file that holds the packet rows' payloads.
#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QFile>
#include <QTableView>
#include <QTemporaryDir>
#include <QTimer>

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/ui/application.h"
#include "app/ui/main_window.h"
#include "app/session/session_controller.h"
#include "capture/capture_file.h"
#include "capture/frame_handler.h"
#include "capture/pcap_net.h"
#include "capture/sniff_thread.h"
#include "common/ui/prompter.h"
#include "settings/settings_store.h"
#include "tests/ui/pcap_writer.h"

namespace {

using namespace qv;

// Times every paint of the packet list's viewport: painting long cell texts is the window's largest
// single piece of work in a flood.
class PaintClock : public QObject {
 public:
  std::vector<double> ms;
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() != QEvent::Paint || inside_) return false;
    inside_ = true;
    QElapsedTimer t;
    t.start();
    QCoreApplication::sendEvent(watched, event);
    ms.push_back(t.nsecsElapsed() / 1e6);
    inside_ = false;
    return true;
  }

 private:
  bool inside_ = false;
};

// One thread per core, bound to it, that sleeps 1 ms at a time and notes when it woke over 50 ms
// late. A sleeping thread that wakes is run within a few milliseconds even on a busy core, so such a
// late wake is a time the core itself did not run: a virtual machine whose cores are taken away now
// and then stops every thread on that core, the window's too. A UI gap minus the machine's pauses in
// it is the window's own part of it.
class StallProbes {
 public:
  using Clock = std::chrono::steady_clock;
  struct Pause {
    Clock::time_point from, to;
  };
  StallProbes() {
    const int cpus = std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
    for (int cpu = 0; cpu < cpus; ++cpu) threads_.emplace_back([this, cpu] { Run(cpu); });
  }
  ~StallProbes() { Stop(); }
  void Stop() {
    stop_ = true;
    for (auto& t : threads_)
      if (t.joinable()) t.join();
  }
  std::vector<Pause> Pauses() const {
    std::lock_guard lock(mutex_);
    return pauses_;
  }
  // How much of [from, to] any core was paused (overlapping pauses counted once). Any core: the
  // window's thread also waits for the capture thread, through the row queue's lock.
  double PausedMs(Clock::time_point from, Clock::time_point to) const {
    std::vector<std::pair<Clock::time_point, Clock::time_point>> spans;
    {
      std::lock_guard lock(mutex_);
      for (const Pause& p : pauses_) {
        const auto a = std::max(from, p.from), b = std::min(to, p.to);
        if (b > a) spans.emplace_back(a, b);
      }
    }
    std::sort(spans.begin(), spans.end());
    double ms = 0;
    Clock::time_point reached = from;
    for (const auto& [a, b] : spans) {
      const auto start = std::max(a, reached);
      if (b > start) ms += std::chrono::duration<double, std::milli>(b - start).count();
      reached = std::max(reached, b);
    }
    return ms;
  }

 private:
  void Run(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    if (pthread_setaffinity_np(pthread_self(), sizeof set, &set) != 0) return;
    auto last = Clock::now();
    while (!stop_.load()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      const auto now = Clock::now();
      if (now - last > std::chrono::milliseconds(50)) {
        std::lock_guard lock(mutex_);
        // The sleep itself and a wake-up's usual delay are not part of the pause.
        pauses_.push_back({last + std::chrono::milliseconds(2), now});
      }
      last = now;
    }
  }
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::vector<Pause> pauses_;
  std::vector<std::thread> threads_;
};

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

class SilentPrompter : public Prompter {
 public:
  BoxAnswer Message(QWidget*, BoxKind, const QString& text, BoxButtons) override {
    std::fprintf(stderr, "message: %s\n", text.toUtf8().constData());
    return BoxAnswer::Cancel;
  }
  QString InputBox(QWidget*, const QString&, const QString&, const QString&) override { return {}; }
  QString SaveFileName(QWidget*, const QString&, const QString&, const QString&) override { return {}; }
  QString OpenFileName(QWidget*, const QString&, const QString&) override { return {}; }
};

std::uint64_t RowHash(std::string_view caption, std::string_view payload, std::string_view length,
                      std::string_view remote) {
  std::uint64_t h = 1469598103934665603ull;  // FNV-1a over the row's texts, separated
  for (std::string_view part : {caption, payload, length, remote}) {
    for (unsigned char c : part) h = (h ^ c) * 1099511628211ull;
    h = (h ^ 0xFF) * 1099511628211ull;
  }
  return h;
}

// The reference: rows as the frame handler gives them when it runs on this thread.
class HashSink : public FrameSink {
 public:
  std::vector<std::uint64_t> rows;
  void UrlFound(UrlInsertion&&) override {}
  void PacketFound(PacketRowData&& row) override {
    rows.push_back(RowHash(row.caption, row.payload, row.length, row.record ? row.record->Remote : ""));
  }
};

struct Frames {
  std::vector<testing::Frame> frames;
};

extern "C" void Collect(u_char* user, const pcap_pkthdr* h, const u_char* bytes) {
  auto* f = reinterpret_cast<Frames*>(user);
  f->frames.emplace_back(bytes, bytes + std::min(h->caplen, h->len));
}

double ThreadCpuMs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec * 1000.0 + t.tv_nsec / 1e6;
}

// The process's peak resident size, from /proc/self/status (VmHWM), in bytes.
long PeakRssBytes() {
  long kb = 0;
  if (std::FILE* f = std::fopen("/proc/self/status", "r")) {
    char line[256];
    while (std::fgets(line, sizeof line, f))
      if (std::sscanf(line, "VmHWM: %ld kB", &kb) == 1) break;
    std::fclose(f);
  }
  return kb * 1024;
}

long RssBytes() {
  long pages = 0, resident = 0;
  if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return resident * 4096;
}

}  // namespace

int main(int argc, char** argv) {
  std::string capture = std::string(QUELVAR_SOURCE_DIR) + "/../shared/captures/http_espn_fail.pcapng";
  std::size_t wanted = 100000;
  bool keep = false;
  bool spill = true;
  bool distinct = false;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--capture") && i + 1 < argc) capture = argv[++i];
    else if (!std::strcmp(argv[i], "--rows") && i + 1 < argc) wanted = std::strtoull(argv[++i], nullptr, 10);
    else if (!std::strcmp(argv[i], "--keep")) keep = true;
    else if (!std::strcmp(argv[i], "--no-spill")) spill = false;
    else if (!std::strcmp(argv[i], "--distinct")) distinct = true;
    else {
      std::fprintf(stderr, "usage: bench_ui_flood [--capture FILE] [--rows N] [--keep] [--no-spill] [--distinct]\n");
      return 2;
    }
  }
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");

  PcapNet net;
  if (!net.Bind() || !net.CanReadFiles()) {
    std::fprintf(stderr, "libpcap cannot be loaded\n");
    return 1;
  }
  int rc = 0;
  {
    QApplication app(argc, argv);
    ApplyLook(app);
    QTemporaryDir dir;
    dir.setAutoRemove(!keep);

    // The big capture: the source's frames over and over.
    Frames source;
    {
      std::string error;
      pcap_t* h = net.OpenOffline(capture, error);
      if (!h) {
        std::fprintf(stderr, "%s: %s\n", capture.c_str(), error.c_str());
        return 1;
      }
      net.pcap_loop(h, 0, Collect, reinterpret_cast<u_char*>(&source));
      net.Close(h);
    }
    if (source.frames.empty()) return 1;
    const std::string big = (dir.path() + "/flood.pcap").toStdString();
    std::size_t written = 0;
    {
      testing::PcapWriter w(big);
      while (written < wanted)
        for (const auto& f : source.frames) {
          if (distinct && f.size() > 80) {
            testing::Frame copy = f;
            char tag[9];
            std::snprintf(tag, sizeof tag, "%08zx", written);
            std::memcpy(copy.data() + copy.size() - 8, tag, 8);
            w.Write(copy);
          } else {
            w.Write(f);
          }
          ++written;
        }
      w.Close();
    }
    const std::vector<std::string> local = InferLocalAddresses(net, big);

    // Reference pass.
    HashSink reference;
    {
      FileTypeState types;
      FrameHandler handler(types, reference, [&local] { return local; });
      handler.workMode.store(WorkMode::Packets);
      handler.SetLocalAddresses(local);
      handler.StartSession();
      std::string error;
      pcap_t* h = net.OpenOffline(big, error);
      net.pcap_loop(h, 0, PacketCallback, reinterpret_cast<u_char*>(&handler));
      net.Close(h);
    }

    // The window.
    const QString ini = dir.path() + "/setting.ini";
    QFile::copy(QStringLiteral(QUELVAR_SOURCE_DIR "/data/setting.ini"), ini);
    QFile::setPermissions(ini, QFile::ReadOwner | QFile::WriteOwner);
    SettingsStore(ini.toStdString()).WriteBool("system", "autoRun", false);
    SilentPrompter prompter;
    TForm1 form(net, prompter, TForm1Options::Offline(dir.path()));
    form.show();
    PaintClock paints;
    form.mainListView_->viewport()->installEventFilter(&paints);
    if (!spill) form.Session().UseSpillStore(nullptr);
    form.SwitchToPacketMode();

    QElapsedTimer clock, tick;
    qint64 largestGap = 0;
    int gapsOver100 = 0;
    struct Gap {
      StallProbes::Clock::time_point from, to;
      qint64 ms;
    };
    std::vector<Gap> longGaps;
    StallProbes::Clock::time_point lastTick;
    // The user-interface thread's own CPU time over the largest gap: a gap much longer than it was
    // spent waiting for a core (a loaded machine), not working.
    double largestGapBusyMs = 0, lastCpuMs = ThreadCpuMs();
    long lastVoluntary = 0, lastInvoluntary = 0;  // the thread's context switches (FLOOD_GAPS=1 prints them per gap)
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    probe.setInterval(10);
    QObject::connect(&probe, &QTimer::timeout, [&] {
      const qint64 gap = tick.restart();
      const auto now = StallProbes::Clock::now();
      if (gap > 20) longGaps.push_back({lastTick, now, gap});
      lastTick = now;
      const double cpu = ThreadCpuMs(), busy = cpu - lastCpuMs;
      lastCpuMs = cpu;
      rusage ru{};
      getrusage(RUSAGE_THREAD, &ru);
      const long vol = ru.ru_nvcsw - lastVoluntary, invol = ru.ru_nivcsw - lastInvoluntary;
      lastVoluntary = ru.ru_nvcsw;
      lastInvoluntary = ru.ru_nivcsw;
      if (gap > 50 && std::getenv("FLOOD_GAPS"))
        std::fprintf(stderr, "gap %lld ms (busy %.0f ms; %ld waits, %ld preemptions) at %lld ms, %zu rows\n",
                     static_cast<long long>(gap), busy, vol, invol, static_cast<long long>(clock.elapsed()),
                     form.List().Lv1().size());
      if (gap > 100) ++gapsOver100;
      if (gap > largestGap) {
        largestGap = gap;
        largestGapBusyMs = busy;
      }
    });

    const long rssBefore = RssBytes();
    const std::uint64_t spillBefore = form.Session().Spill() ? form.Session().Spill()->Committed() : 0;
    clock.start();
    if (!form.OpenCaptureFile(QString::fromStdString(big))) return 1;
    const qint64 openMs = clock.elapsed();
    StallProbes stalls;
    tick.start();
    lastTick = StallProbes::Clock::now();
    lastCpuMs = ThreadCpuMs();
    probe.start();
    const std::size_t expected = reference.rows.size();
    while (form.SessionRunning() || form.Pump().Backlog() > 0 || form.List().Lv1().size() < expected) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
      if (clock.elapsed() > 600000) break;
    }
    const qint64 elapsed = clock.elapsed();
    probe.stop();
    stalls.Stop();
    const long rssAfter = RssBytes();
    const long peak = PeakRssBytes();
    const std::uint64_t spilled = form.Session().Spill() ? form.Session().Spill()->Committed() - spillBefore : 0;

    const auto& rows = form.List().Lv1();
    std::size_t mismatch = rows.size() == expected ? expected : std::min(rows.size(), expected);
    for (std::size_t i = 0; i < std::min(rows.size(), expected); ++i) {
      const ListRow& r = rows[i];
      const LVDataPtr record = form.List().RecordOf(r);
      if (RowHash(r.caption, form.List().AddressOf(r), r.cells[2], record ? record->Remote : "") != reference.rows[i]) {
        mismatch = i;
        break;
      }
    }
    const bool inOrder = rows.size() == expected && mismatch == expected;
    std::printf("frames written        %zu (%zu-frame capture repeated)\n", written, source.frames.size());
    std::printf("rows listed           %zu of %zu\n", rows.size(), expected);
    std::printf("order                 %s\n", inOrder ? "same rows in the same order as the reference pass"
                                                      : ("DIFFERS at row " + std::to_string(mismatch)).c_str());
    std::printf("time                  %.2f s\n", elapsed / 1000.0);
    std::printf("rows per second       %.0f\n", rows.size() / (elapsed / 1000.0));
    std::printf("largest UI gap        %lld ms (target: at most 100 ms)%s; the UI thread ran %.0f ms of it\n",
                static_cast<long long>(largestGap), largestGap > 100 ? "  OVER TARGET" : "", largestGapBusyMs);
    std::printf("UI gaps over 100 ms   %d\n", gapsOver100);
    // The window's own part of each long gap: the gap less the machine's pauses in it.
    double ownLargest = 0;
    int ownOver100 = 0;
    for (const Gap& g : longGaps) {
      const double paused = stalls.PausedMs(g.from, g.to);
      const double own = static_cast<double>(g.ms) - paused;
      ownLargest = std::max(ownLargest, own);
      if (own > 100) ++ownOver100;
      if (std::getenv("FLOOD_GAPS") && g.ms > 100)
        std::fprintf(stderr, "long gap %lld ms: the machine paused %.0f ms of it\n", static_cast<long long>(g.ms),
                     paused);
    }
    const auto pauses = stalls.Pauses();
    double pausedTotal = 0;
    for (const auto& p : pauses) pausedTotal += std::chrono::duration<double, std::milli>(p.to - p.from).count();
    std::printf("machine pauses        %zu, %.0f ms in all (a core's probe woke over 50 ms late)\n", pauses.size(),
                pausedTotal);
    std::printf("window's own gaps     largest %.0f ms, %d over 100 ms (gaps less the machine's pauses)%s\n",
                ownLargest, ownOver100, ownLargest > 100 ? "  OVER TARGET" : "");
    std::printf("list paints           %zu: median %.1f ms, 90th percentile %.1f ms, largest %.1f ms\n",
                paints.ms.size(), Percentile(paints.ms, 0.5), Percentile(paints.ms, 0.9), Percentile(paints.ms, 1.0));
    std::printf("opening the file      %lld ms (reads it whole for its SYN sources; not in the gap above)\n",
                static_cast<long long>(openMs));
    std::printf("memory per row        %.0f bytes (RSS %+.1f MB)\n",
                rows.empty() ? 0.0 : static_cast<double>(rssAfter - rssBefore) / rows.size(),
                (rssAfter - rssBefore) / 1048576.0);
    std::printf("RSS at the end        %.1f MB (peak %.1f MB)\n", rssAfter / 1048576.0, peak / 1048576.0);
    std::printf("spill file            %.1f MB (%s)\n", spilled / 1048576.0,
                form.Session().Spill() ? "payload texts and remote texts of the rows" : "none: rows kept in memory");
    if (keep) std::printf("capture kept at       %s\n", big.c_str());
    rc = inOrder ? 0 : 1;
  }
  net.Release();
  return rc;
}
