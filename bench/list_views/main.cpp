// bench_list_views: what sorting and the quick filter cost on a large list, as the window runs them.
//
//   bench_list_views [--rows N] [--packets [--spill]]
//   bench_list_views --growth N [--tree]     (which view the packet list should use: see Growth)
//
// --spill keeps the packet rows' payloads in a spill file, as the window does, so that every filter
// pass and sort reads them back from it.
//
// Fills the URL list with N rows (default 200000): distinct addresses, or with --packets packet rows
// of 1,400-byte payloads. A table view shows the list through the same model as the window, which
// sorts and filters itself (offscreen). Reported, each in milliseconds: one quick-filter pass (typing a word), emptying it,
// sorting by the address column and back to the list's order, a batch of 100 arriving rows while
// sorted and filtered, and removing a row (the duplicate rule's removal) sorted and filtered, and in list order.
#include <QApplication>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QTableView>
#include <QTreeView>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/session/list_models.h"
#include "common/texts.h"
#include "urls/url_list.h"

namespace {

using namespace qv;

double Ms(QElapsedTimer& t) { return static_cast<double>(t.nsecsElapsed()) / 1e6; }

std::string Address(std::size_t i) {
  return "http://host" + std::to_string(i % 997) + ".example/media/" + std::to_string(i) + "/clip" +
         std::to_string(i) + ".mp3";
}

std::string Payload(std::size_t i) {
  std::string p = "GET /media/" + std::to_string(i) + " HTTP/1.1\r\nHost: host" + std::to_string(i % 997) +
                  ".example\r\nUser-Agent: bench\r\n";
  while (p.size() < 1400) p += "Accept-Encoding: gzip, deflate\r\n";
  p.resize(1400);
  return p;
}

void Add(UrlList& list, std::size_t i, bool packets, SpillStore* spill) {
  if (packets && spill) {
    const std::string payload = Payload(i), remote = "10.0.0.1:80";
    const auto ref = spill->Append(remote, payload);
    if (!ref) std::abort();
    SpilledRecord r;
    r.offset = ref->offset;
    r.remoteSize = static_cast<std::uint16_t>(remote.size());
    r.packetSize = static_cast<std::uint32_t>(payload.size());
    list.AppendSpilledPacketRow("TCP", Direction::Outbound, "1400", r, UrlList::AddressKey(payload));
    return;
  }
  auto record = std::make_shared<const LVDATA>(LVDATA{"10.0.0.1:80", packets ? std::string() : "GET"});
  if (packets) list.AppendPacketRow("TCP", Direction::Outbound, Payload(i), "1400", record);
  else list.InsertRequestLine(texts::kCatAudio, Direction::Outbound, Address(i), record, true);
}

void Settle() { QCoreApplication::processEvents(); }

long RssBytes() {
  long pages = 0, resident = 0;
  if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return resident * 4096;
}

// --growth N: the two views that could show the packet list, each over the list model, while N rows
// arrive in batches of 2,000 (the pump's pace in a flood), shown offscreen and painted after every
// batch. Reported per view: the time of each batch's insertion and paint (median, 99th percentile,
// largest, and where the largest fell) and the memory per row. Run once per view, each in a process
// of its own, so that neither inherits the other's heap.
int Growth(std::size_t rows, bool tree) {
  UrlList list;
  Lv1Model model(list);
  Lv2Model lv2(list);
  ListModelHub hub(model, lv2, nullptr);
  list.SetObserver(&hub);
  std::unique_ptr<QAbstractItemView> view;
  if (tree) {
    auto* t = new QTreeView;
    t->setUniformRowHeights(true);
    t->setRootIsDecorated(false);
    t->setItemsExpandable(false);
    view.reset(t);
  } else {
    auto* t = new QTableView;
    t->verticalHeader()->hide();
    t->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    t->verticalHeader()->setDefaultSectionSize(t->fontMetrics().height() + 6);
    view.reset(t);
  }
  view->setModel(&model);
  view->resize(900, 600);
  view->show();
  Settle();
  auto record = std::make_shared<const LVDATA>(LVDATA{"10.0.0.1:80", std::string()});
  std::vector<double> ms;
  std::size_t worstAt = 0;
  double worst = 0;
  const long rssBefore = RssBytes();
  QElapsedTimer t;
  for (std::size_t done = 0; done < rows;) {
    for (int k = 0; k < 2000 && done < rows; ++k, ++done)
      list.AppendPacketRow("TCP", Direction::Outbound, "GET /", "5", record);
    t.start();
    hub.Flush();
    view->scrollToBottom();
    view->viewport()->repaint();
    Settle();
    ms.push_back(Ms(t));
    if (ms.back() > worst) {
      worst = ms.back();
      worstAt = done;
    }
  }
  const long rssAfter = RssBytes();
  std::sort(ms.begin(), ms.end());
  std::printf("%s view, %zu rows in batches of 2000: batch median %.2f ms, 99th percentile %.2f ms, largest %.1f ms "
              "(at %zu rows); RSS %+.0f bytes a row (the list's rows included)\n",
              tree ? "QTreeView (uniform row heights)" : "QTableView (hidden vertical header)", rows,
              ms[ms.size() / 2], ms[std::min(ms.size() - 1, ms.size() * 99 / 100)], worst, worstAt,
              static_cast<double>(rssAfter - rssBefore) / static_cast<double>(rows));
  list.SetObserver(nullptr);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t rows = 200000;
  bool packets = false;
  bool spill = false;
  std::size_t growth = 0;
  bool tree = false;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--rows") && i + 1 < argc) rows = std::strtoull(argv[++i], nullptr, 10);
    else if (!std::strcmp(argv[i], "--growth") && i + 1 < argc) growth = std::strtoull(argv[++i], nullptr, 10);
    else if (!std::strcmp(argv[i], "--tree")) tree = true;
    else if (!std::strcmp(argv[i], "--packets")) packets = true;
    else if (!std::strcmp(argv[i], "--spill")) spill = true;
    else {
      std::fprintf(stderr, "usage: bench_list_views [--rows N] [--packets [--spill]] | --growth N [--tree]\n");
      return 2;
    }
  }
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  if (growth > 0) return Growth(growth, tree);

  UrlList list;
  std::shared_ptr<SpillStore> store;
  if (spill) {
    store = SpillStore::Open(SpillStore::DefaultDir());
    if (!store) return 1;
    list.SetSpillStore(store);
  }
  auto lv1 = std::make_unique<Lv1Model>(list);
  Lv2Model lv2(list);
  ListModelHub hub(*lv1, lv2, nullptr);
  list.SetObserver(&hub);
  for (std::size_t i = 0; i < rows; ++i) Add(list, i, packets, store.get());
  hub.Flush();

  LaggingListModel& proxy = *lv1;  // sorts and filters itself
  QTableView view;
  view.setModel(&proxy);
  view.resize(900, 600);
  view.show();
  Settle();

  std::printf("rows                       %zu %s\n", rows, packets ? (spill ? "packet rows (1,400-byte payloads, in a spill file)" : "packet rows (1,400-byte payloads)") : "URL rows");
  QElapsedTimer t;
  // A word that few rows hold: the whole list is searched.
  const QString word = packets ? QStringLiteral("/media/12345 ") : QStringLiteral("clip12345.");
  t.start();
  proxy.SetQuickFilter(word);
  Settle();
  std::printf("filter pass                %8.1f ms  (%d rows shown)\n", Ms(t), proxy.rowCount());
  t.start();
  proxy.SetQuickFilter(QString());
  Settle();
  std::printf("filter emptied             %8.1f ms\n", Ms(t));
  // A Chinese word that no row holds, plain or percent-escaped: every row is searched for both.
  t.start();
  proxy.SetQuickFilter(QStringLiteral("稻香"));
  Settle();
  std::printf("filter pass, Chinese word  %8.1f ms  (%d rows shown)\n", Ms(t), proxy.rowCount());
  proxy.SetQuickFilter(QString());
  Settle();
  t.start();
  view.sortByColumn(2, Qt::AscendingOrder);
  Settle();
  std::printf("sort by address            %8.1f ms\n", Ms(t));
  t.start();
  view.sortByColumn(-1, Qt::AscendingOrder);
  Settle();
  std::printf("back to the list's order   %8.1f ms\n", Ms(t));

  view.sortByColumn(2, Qt::DescendingOrder);
  proxy.SetQuickFilter(QStringLiteral("host1"));
  Settle();
  double worst = 0, total = 0;
  const int batches = 20;
  for (int b = 0; b < batches; ++b) {
    t.start();
    for (int k = 0; k < 100; ++k) Add(list, rows + static_cast<std::size_t>(b * 100 + k), packets, store.get());
    hub.Flush();
    Settle();
    const double ms = Ms(t);
    worst = std::max(worst, ms);
    total += ms;
  }
  std::printf("100 rows, sorted+filtered  %8.1f ms mean, %.1f ms worst\n", total / batches, worst);

  auto removals = [&](const char* what) {
    t.start();
    for (int k = 0; k < 50; ++k) {
      list.Remove(ListId::LV1, 0);
      Settle();
    }
    std::printf("%-26s %8.2f ms a row\n", what, Ms(t) / 50);
  };
  removals("remove, sorted+filtered");
  proxy.SetQuickFilter(QString());
  view.sortByColumn(-1, Qt::AscendingOrder);
  Settle();
  removals("remove, list order");
  list.SetObserver(nullptr);
  return 0;
}
