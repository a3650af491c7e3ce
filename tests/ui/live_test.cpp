// Live sniffing on the loopback adapter, started and stopped from the window. Needs capture rights;
// without them the test says so and is skipped.
#include <gtest/gtest.h>

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QTcpServer>
#include <QTcpSocket>

#include "common/ui/gbk_text.h"
#include "settings/adapter_page.h"
#include "tests/ui/ui_support.h"

namespace qv::testing {
namespace {

TEST_F(WindowTest, AnUnknownAdapterIsReportedAndTheListEmptied) {
  std::vector<CaptureDevice> devices;
  if (!Net().Available() || !Net().ListDevices(devices)) GTEST_SKIP() << "the capture devices cannot be listed here";
  TForm1& form = Form();
  ASSERT_EQ(form.AdapterName(), "???");
  form.List().AppendPacketRow("TCP", Direction::Inbound, "x", "1", nullptr);
  form.BeginSniffing();
  ASSERT_FALSE(prompter_.boxes.empty());
  if (AdapterWithoutRights(Net(), devices, "???", FindCaptureHelper())) {
    // A user who may capture nowhere is told why and how to mend it; no adapter test follows.
    EXPECT_TRUE(prompter_.boxes.back().text.contains(QStringLiteral("没有抓包权限"))) << prompter_.boxes.back().text.toStdString();
    EXPECT_TRUE(prompter_.boxes.back().text.contains(QStringLiteral("sudo "))) << prompter_.boxes.back().text.toStdString();
    EXPECT_EQ(prompter_.boxes.back().kind, BoxKind::Error);
    EXPECT_FALSE(form.adapterRetryTimer_->isActive());
  } else {
    EXPECT_EQ(prompter_.boxes.back().text, "网络适配器设置错误，程序将会测试所有网络适配器！");
    EXPECT_EQ(prompter_.boxes.back().kind, BoxKind::Information);
    EXPECT_TRUE(form.adapterRetryTimer_->isActive());
    EXPECT_EQ(form.adapterRetryTimer_->interval(), 1000);
  }
  EXPECT_TRUE(form.List().Lv1().empty());
  EXPECT_TRUE(form.findChild<QAction*>("btn3")->isEnabled());
  EXPECT_FALSE(form.SessionRunning());
}

TEST_F(WindowTest, LiveSessionOnLoopbackListsARequestAndStops) {
  std::vector<CaptureDevice> devices;
  if (!Net().Available() || !Net().ListDevices(devices)) GTEST_SKIP() << "the capture devices cannot be listed here";
  TForm1& form = Form();
  QAction* lo = nullptr;
  for (QAction* a : form.findChild<QMenu*>("N1")->actions())
    if (a->data().toByteArray() == "lo") lo = a;
  if (lo == nullptr) GTEST_SKIP() << "no loopback adapter";

  // Choosing the adapter checks it alone and keeps the choice in the settings file.
  lo->trigger();
  EXPECT_TRUE(lo->isChecked());
  EXPECT_EQ(form.AdapterName(), "lo");
  EXPECT_EQ(SettingsStore(IniPath().toStdString()).ReadString("system", "AdaptorName", ""), "lo");

  QTcpServer server;
  ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
  form.BeginSniffing();
  if (!form.SessionRunning()) GTEST_SKIP() << "no capture rights on the loopback adapter";
  EXPECT_EQ(form.findChild<QLabel*>("bsSkinStatusPanel5")->text(), "开始嗅探");
  EXPECT_FALSE(form.findChild<QAction*>("btn3")->isEnabled());
  EXPECT_FALSE(form.findChild<QAction*>("N12")->isEnabled());

  const QString host = QStringLiteral("127.0.0.1:%1").arg(server.serverPort());
  const QString address = QStringLiteral("http://%1/live/song.mp3").arg(host);
  QTcpSocket client;
  client.connectToHost(QHostAddress::LocalHost, server.serverPort());
  ASSERT_TRUE(client.waitForConnected(5000));
  client.write(QStringLiteral("GET /live/song.mp3 HTTP/1.1\r\nHost: %1\r\nUser-Agent: quelvar-test\r\n\r\n").arg(host).toLatin1());
  client.flush();
  auto listed = [&] {
    for (const ListRow& row : form.List().Lv1())
      if (FromGbk(row.cells[1]) == address) return true;
    return false;
  };
  EXPECT_TRUE(WaitFor(listed, 20000)) << "the request did not reach the list";

  // While capturing, the status bar counts the rows, the frames seen and, where the library counts
  // them, the frames dropped.
  auto* counts = form.findChild<QLabel*>("StatusCounts");
  EXPECT_TRUE(WaitFor([&] { return counts->text().contains(QStringLiteral("捕获")); }, 5000)) << counts->text().toStdString();
  EXPECT_TRUE(counts->text().startsWith(QStringLiteral("%1 行").arg(form.List().Lv1().size())));
  const bool dropsCounted = form.Session().SessionDropped().has_value();
  EXPECT_TRUE(WaitFor([&] { return counts->text().contains(QStringLiteral("丢弃")) == dropsCounted; }, 5000))
      << counts->text().toStdString();

  form.EndSniffing();
  EXPECT_EQ(form.findChild<QLabel*>("bsSkinStatusPanel5")->text(), "停止嗅探");
  EXPECT_TRUE(form.findChild<QAction*>("btn3")->isEnabled());
  client.write("x");  // a frame, so that a loop waiting for one returns
  client.flush();
  EXPECT_TRUE(WaitFor([&] { return !form.SessionRunning(); }, 20000));
}

}  // namespace
}  // namespace qv::testing
