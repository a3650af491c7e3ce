// What the running copy does with a second start's request: kept while its window is being made,
// and the window brought back from minimised in the state it had.
#include <gtest/gtest.h>

#include <QLocalSocket>
#include <QMainWindow>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <future>

#include "app/ui/instance_channel.h"
#include "tests/ui/ui_support.h"

namespace qv::testing {
namespace {

bool ForwardFrom(const QString& path, const QString& file) {
  auto done = std::async(std::launch::async, [&] { return InstanceChannel::Forward(path, file); });
  EXPECT_TRUE(WaitFor([&] { return done.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 10000));
  return done.get();
}

// A second start while the start-up messages are open finds the channel listening; its request waits
// for the window and is passed on once, with the last file asked for.
TEST(InstanceForwardTest, RequestsDuringStartUpAreKeptUntilTheWindowIsReady) {
  QTemporaryDir dir;
  const QString path = dir.path() + "/hkOneCopy.sock";
  InstanceChannel channel;
  channel.Hold();
  ASSERT_TRUE(channel.Listen(path));
  QSignalSpy raised(&channel, &InstanceChannel::RaiseRequested);
  QSignalSpy opened(&channel, &InstanceChannel::OpenRequested);

  EXPECT_TRUE(ForwardFrom(path, QString()));
  EXPECT_TRUE(ForwardFrom(path, QStringLiteral("/tmp/a.pcap")));
  EXPECT_TRUE(ForwardFrom(path, QStringLiteral("/tmp/b.pcap")));
  EXPECT_TRUE(ForwardFrom(path, QString()));
  QTest::qWait(100);
  EXPECT_EQ(raised.count(), 0);
  EXPECT_EQ(opened.count(), 0);

  channel.SetReady();
  EXPECT_EQ(raised.count(), 1);
  ASSERT_EQ(opened.count(), 1);
  EXPECT_EQ(opened.at(0).at(0).toString(), QStringLiteral("/tmp/b.pcap"));

  // Ready: each request is passed on as it comes.
  EXPECT_TRUE(ForwardFrom(path, QString()));
  EXPECT_TRUE(WaitFor([&] { return raised.count() == 2; }, 5000));
  EXPECT_EQ(opened.count(), 1);
}

// Minimised from normal or from maximised, the window comes back as it was; hidden (the tray), it shows.
TEST(InstanceForwardTest, BringForwardRestoresTheStateBeforeMinimising) {
  struct Case {
    const char* name;
    Qt::WindowStates before;
    bool hide;
  };
  for (const Case& c : {Case{"normal", Qt::WindowNoState, false}, Case{"maximised", Qt::WindowMaximized, false},
                        Case{"tray", Qt::WindowNoState, true}}) {
    SCOPED_TRACE(c.name);
    QMainWindow window;
    window.resize(300, 200);
    window.setWindowState(c.before);
    window.show();
    QTest::qWait(50);
    if (c.hide) window.hide();
    else window.setWindowState(window.windowState() | Qt::WindowMinimized);
    QTest::qWait(50);
    BringForward(window);
    QTest::qWait(50);
    EXPECT_TRUE(window.isVisible());
    EXPECT_FALSE(window.isMinimized());
    EXPECT_EQ(window.isMaximized(), c.before.testFlag(Qt::WindowMaximized));
  }
}

}  // namespace
}  // namespace qv::testing
