// The session without a window: the list models checked by QAbstractItemModelTester while a capture
// thread hands rows over and the user-interface thread pumps them in, changes the view, deletes,
// edits and clears.
#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QCoreApplication>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "app/session/session_controller.h"
#include "urls/file_type_table.h"
#include "tests/ui/ui_support.h"

namespace qv::testing {
namespace {

// Collects what the model tester reports.
class TesterWarnings {
 public:
  TesterWarnings() {
    Instance() = this;
    previous_ = qInstallMessageHandler(&Handle);
  }
  ~TesterWarnings() {
    qInstallMessageHandler(previous_);
    Instance() = nullptr;
  }
  QStringList Taken() {
    std::lock_guard lock(mutex_);
    return std::exchange(texts_, {});
  }

 private:
  static TesterWarnings*& Instance() {
    static TesterWarnings* instance = nullptr;
    return instance;
  }
  static void Handle(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    TesterWarnings* self = Instance();
    if (self != nullptr && type >= QtWarningMsg && context.category != nullptr &&
        QByteArray(context.category).startsWith("qt.modeltest")) {
      std::lock_guard lock(self->mutex_);
      self->texts_ << text;
      return;
    }
    if (self != nullptr && self->previous_ != nullptr) self->previous_(type, context, text);
  }
  QtMessageHandler previous_ = nullptr;
  std::mutex mutex_;
  QStringList texts_;
};

TEST(SessionControllerTest, ListModelsStayConsistentWhileRowsArePumpedIn) {
  TesterWarnings warnings;
  PcapNet unbound;
  SessionController session(unbound);
  session.Types().Replace(FileTypeSnapshot().WithDuplicates(true));
  QAbstractItemModelTester lv1Tester(&session.Lv1Rows(), QAbstractItemModelTester::FailureReportingMode::Warning);
  QAbstractItemModelTester lv2Tester(&session.Lv2Rows(), QAbstractItemModelTester::FailureReportingMode::Warning);
  session.Pump().Start();

  // Rows of every category, as request parsing hands them over.
  FrameSink& sink = session.Sink();
  std::atomic<bool> stop{false};
  std::atomic<int> sent{0};
  std::thread feeder([&] {
    for (int i = 0; !stop.load(); ++i) {
      char address[64];
      std::snprintf(address, sizeof address, "http://h%d.example/f%08d.x", i % 7, i);
      UrlInsertion row;
      row.kind = i % 3 == 0 ? InsertionKind::Scan : InsertionKind::RequestLine;
      row.category = CategoryName(i % kCategoryCount);
      row.direction = i % 2 == 0 ? Direction::Outbound : Direction::Inbound;
      row.address = address;
      row.record = std::make_shared<LVDATA>(LVDATA{"10.0.0.1:80", address});
      row.outbound = i % 2 == 0;
      row.duplicates = true;
      sink.UrlFound(std::move(row));
      sent.store(i + 1);
      if (i % 32 == 0) std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
  });
  struct StopFeeder {
    std::atomic<bool>& stop;
    std::thread& feeder;
    ~StopFeeder() {
      stop.store(true);
      if (feeder.joinable()) feeder.join();
    }
  } stopFeeder{stop, feeder};

  // The user-interface thread works on the lists while the rows come in.
  UrlList& list = session.List();
  for (int step = 0; step < 40; ++step) {
    const std::uint64_t applied = session.Pump().Applied();
    ASSERT_TRUE(WaitFor([&] { return session.Pump().Applied() > applied + 50; }));
    switch (step % 5) {
      case 0:
        session.ShowView((step / 5) % kViewEntryCount);  // the separator's entry changes nothing
        break;
      case 1:
        if (!list.Lv1().empty()) list.Remove(ListId::LV1, list.Lv1().size() / 2);
        if (!list.Lv2().empty()) list.Remove(ListId::Lv2, 0);
        break;
      case 2:
        if (!list.Lv1().empty()) list.SetRemark(0, "remark");
        if (!list.Lv2().empty()) list.SetAddress(ListId::Lv2, list.Lv2().size() - 1, "http://x.example/y");
        break;
      case 3:
        if (step % 10 == 3) session.ClearLists();
        break;
      default:
        session.ShowView(kViewAllEntry);
        break;
    }
    const QStringList reported = warnings.Taken();
    ASSERT_TRUE(reported.isEmpty()) << "step " << step << ": " << reported.join('\n').toStdString();
  }
  stop.store(true);
  feeder.join();
  ASSERT_TRUE(WaitFor([&] { return session.Pump().Backlog() == 0; }));
  session.Pump().DrainAll();

  EXPECT_GT(sent.load(), 2000);
  EXPECT_EQ(session.Lv1Rows().rowCount(), static_cast<int>(list.Lv1().size()));
  EXPECT_EQ(session.Lv2Rows().rowCount(), static_cast<int>(list.Lv2().size()));
  const QStringList reported = warnings.Taken();
  EXPECT_TRUE(reported.isEmpty()) << reported.join('\n').toStdString();
}

}  // namespace
}  // namespace qv::testing
