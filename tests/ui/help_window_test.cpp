// The help window as a person meets it: inside the screen, closed by Escape, and telling what a new
// user needs first.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFile>
#include <QKeyEvent>
#include <QPointer>
#include <QScreen>
#include <QTextBrowser>

#include "app/ui/help_viewer.h"

namespace qv {
namespace {

QTextBrowser* Viewer() {
  for (QWidget* w : QApplication::topLevelWidgets())
    if (w->objectName() == QLatin1String("HelpViewer") && w->isVisible()) return qobject_cast<QTextBrowser*>(w);
  return nullptr;
}

TEST(HelpWindowTest, FitsTheScreenAndEscapeClosesIt) {
  ShowHelpFile(QStringLiteral(QUELVAR_BIN_DIR));
  QPointer<QTextBrowser> viewer = Viewer();
  ASSERT_NE(viewer, nullptr);
  QApplication::processEvents();
  const QRect room = viewer->screen()->availableGeometry();
  EXPECT_TRUE(room.contains(viewer->frameGeometry())) << "window " << viewer->frameGeometry().width() << "x"
                                                      << viewer->frameGeometry().height() << " on a screen of "
                                                      << room.width() << "x" << room.height();
  EXPECT_GE(viewer->height(), 150);

  // Another key leaves it open; Escape closes it (and the window goes, to be made afresh next time).
  QKeyEvent down(QEvent::KeyPress, Qt::Key_PageDown, Qt::NoModifier);
  QApplication::sendEvent(viewer, &down);
  EXPECT_TRUE(viewer->isVisible());
  QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
  QApplication::sendEvent(viewer, &escape);
  EXPECT_FALSE(viewer->isVisible());
  QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_TRUE(viewer.isNull());
  EXPECT_EQ(Viewer(), nullptr);

  // It never holds the program open once the main window has gone.
  ShowHelpFile(QStringLiteral(QUELVAR_BIN_DIR));
  ASSERT_NE(Viewer(), nullptr);
  EXPECT_FALSE(Viewer()->testAttribute(Qt::WA_QuitOnClose));
  Viewer()->close();
}

// What a new user asks first: capture rights and the helper, capture files, the quick filter, sorting
// and why HTTPS rows show only a server name. Nothing there belongs to another system's registry.
TEST(HelpWindowTest, TellsWhatANewUserNeeds) {
  QFile f(QStringLiteral(QUELVAR_BIN_DIR "/readme.html"));
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  const QString html = QString::fromUtf8(f.readAll());
  for (const char* topic :
       {"捕获权限", "quelvar-capture", "usermod -a -G quelvar", "setcap cap_net_raw,cap_net_admin=eip",
        "打开抓包文件", "Ctrl+O", "pcapng", "快速筛选", "Ctrl+F", "排序", "https://服务器名称/", "只能看到服务器名称",
        "Esc"}) {
    EXPECT_TRUE(html.contains(QString::fromUtf8(topic))) << topic;
  }
  EXPECT_FALSE(html.contains(QStringLiteral("注册"))) << "the help speaks of a registry";
}

// The key log: what it is, that it gives away the browser's traffic, the window's command as the menu
// names it, and how to start a browser with one by hand.
TEST(HelpWindowTest, TellsWhatAKeyLogIsAndHowToMakeOne) {
  QFile f(QStringLiteral(QUELVAR_BIN_DIR "/readme.html"));
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  const QString html = QString::fromUtf8(f.readAll());
  for (const char* topic : {"密钥日志", "能读出那个浏览器的全部通信", "用浏览器记录HTTPS…", "退出时保留HTTPS密钥文件",
                            "SSLKEYLOGFILE=$XDG_RUNTIME_DIR/keys.log chromium",
                            "SSLKEYLOGFILE=$XDG_RUNTIME_DIR/keys.log firefox"}) {
    EXPECT_TRUE(html.contains(QString::fromUtf8(topic))) << topic;
  }
}

}  // namespace
}  // namespace qv
