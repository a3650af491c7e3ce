// A second start talks to the running copy through the channel beside the single-copy lock.
#include <gtest/gtest.h>

#include <QDir>
#include <QLocalSocket>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <future>

#include "app/ui/instance_channel.h"
#include "tests/ui/ui_support.h"

namespace qv::testing {
namespace {

TEST(InstanceChannelTest, ASecondStartRaisesTheRunningCopyAndHandsItsFileOver) {
  QTemporaryDir dir;
  const QString path = dir.path() + "/hkOneCopy.sock";
  InstanceChannel channel;
  ASSERT_TRUE(channel.Listen(path));
  QSignalSpy raised(&channel, &InstanceChannel::RaiseRequested);
  QSignalSpy opened(&channel, &InstanceChannel::OpenRequested);

  auto forward = [&](const QString& file) {
    auto done = std::async(std::launch::async, [&] { return InstanceChannel::Forward(path, file); });
    EXPECT_TRUE(WaitFor([&] { return done.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 10000));
    return done.get();
  };
  EXPECT_TRUE(forward(QString()));
  ASSERT_TRUE(WaitFor([&] { return raised.count() == 1; }, 5000));
  EXPECT_EQ(opened.count(), 0);

  // A relative name is made absolute by the second start, whose current directory it belongs to.
  EXPECT_TRUE(forward(QStringLiteral("some dir/capture 1.pcapng")));
  ASSERT_TRUE(WaitFor([&] { return opened.count() == 1; }, 5000));
  EXPECT_EQ(opened.at(0).at(0).toString(), QDir::current().absoluteFilePath(QStringLiteral("some dir/capture 1.pcapng")));

  // Nobody listening: the second start learns it at once.
  EXPECT_FALSE(InstanceChannel::Forward(dir.path() + "/nobody.sock", QString(), 500));
}

TEST(InstanceChannelTest, APeerThatSendsNoLineIsDroppedWithoutEffect) {
  QTemporaryDir dir;
  const QString path = dir.path() + "/hkOneCopy.sock";
  InstanceChannel channel;
  ASSERT_TRUE(channel.Listen(path));
  QSignalSpy raised(&channel, &InstanceChannel::RaiseRequested);
  QLocalSocket peer;
  peer.connectToServer(path);
  ASSERT_TRUE(WaitFor([&] { return peer.state() == QLocalSocket::ConnectedState; }, 5000));
  peer.write(QByteArray(InstanceChannel::kMaxMessage + 100, 'x'));  // no end of line, too long
  ASSERT_TRUE(WaitFor([&] { return peer.state() == QLocalSocket::UnconnectedState; }, 10000));
  peer.connectToServer(path);
  ASSERT_TRUE(WaitFor([&] { return peer.state() == QLocalSocket::ConnectedState; }, 5000));
  peer.write("dance\n");  // not a request
  ASSERT_TRUE(WaitFor([&] { return peer.state() == QLocalSocket::UnconnectedState; }, 10000));
  EXPECT_EQ(raised.count(), 0);
}

}  // namespace
}  // namespace qv::testing
