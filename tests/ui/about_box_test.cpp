// The about box and the help command.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <QFile>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QUrl>

#include <fstream>
#include <string>

#include "app/ui/about_box.h"
#include "app/ui/help_viewer.h"
#include "settings/settings_store.h"
#include "tests/ui/commands_support.h"

namespace qv {
namespace {

void Write(const QString& path, const std::string& text) {
  std::ofstream f(path.toStdString(), std::ios::binary | std::ios::trunc);
  f << text;
}

QWidget* FindTopLevel(const char* name) {
  for (QWidget* w : QApplication::topLevelWidgets())
    if (w->objectName() == QLatin1String(name)) return w;
  return nullptr;
}

void DeleteClosed() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

TEST(AboutBoxTest, ShowsTheInstalledVersionReadWhenTheBoxIsMade) {
  QTemporaryDir dir;
  const QString ini = dir.path() + "/setting.ini";
  Write(ini, "[system]\r\nautoRun=0\r\n");
  SettingsStore settings(ini.toStdString());

  TAboutBox* box = TAboutBox::ShowAboutBox(&settings);
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box->windowTitle(), QStringLiteral("关于Quelvar"));
  EXPECT_EQ(box->VersionText(), QStringLiteral("版本： 未知"));
  EXPECT_TRUE(box->isVisible());

  // Opened again while open: the same box, unchanged, although the store now gives a version.
  Write(ini, "[system]\r\nversion=2.1\r\n");
  settings.Reload();
  EXPECT_EQ(TAboutBox::ShowAboutBox(&settings), box);
  EXPECT_EQ(box->VersionText(), QStringLiteral("版本： 未知"));

  // "关闭" closes and frees it; the next one reads the version again.
  QPushButton* close = box->findChild<QPushButton*>(QStringLiteral("bsSkinButton1"));
  ASSERT_NE(close, nullptr);
  EXPECT_EQ(close->text(), QStringLiteral("关闭"));
  close->click();
  DeleteClosed();
  EXPECT_EQ(TAboutBox::Instance(), nullptr);
  TAboutBox* again = TAboutBox::ShowAboutBox(&settings);
  EXPECT_EQ(again->VersionText(), QStringLiteral("版本： 2.1"));
  again->close();
  DeleteClosed();
  EXPECT_EQ(TAboutBox::Instance(), nullptr);
}

TEST(AboutBoxTest, WithoutSettingsTheVersionIsUnknown) {
  TAboutBox* box = TAboutBox::ShowAboutBox(nullptr);
  EXPECT_EQ(box->VersionText(), QStringLiteral("版本： 未知"));
  box->close();
  DeleteClosed();
}

// The help command shows the help file of the program folder in the program's own window, whatever
// the current directory is and whether or not a desktop opener exists; a missing file is said there.
TEST(HelpFileTest, ShowsTheHelpFileOfTheProgramFolderInItsOwnWindow) {
  const auto viewer = [] { return qobject_cast<QTextBrowser*>(FindTopLevel("HelpViewer")); };
  const QString helpFile = ShowHelpFile(QStringLiteral(QUELVAR_BIN_DIR));
  EXPECT_EQ(helpFile, QStringLiteral(QUELVAR_BIN_DIR "/readme.html"));
  ASSERT_NE(viewer(), nullptr);
  EXPECT_TRUE(viewer()->isVisible());
  EXPECT_EQ(viewer()->source(), QUrl::fromLocalFile(helpFile));
  EXPECT_TRUE(viewer()->toPlainText().contains(QStringLiteral("开始嗅探")));

  QTemporaryDir empty;
  ShowHelpFile(empty.path());
  ASSERT_NE(viewer(), nullptr);  // the same window, now saying what is missing
  EXPECT_TRUE(viewer()->toPlainText().contains(QStringLiteral("找不到帮助文件")));
  EXPECT_TRUE(viewer()->toPlainText().contains(empty.path()));
  viewer()->close();
}

// The shipped help file describes every command of the menus.
TEST(HelpFileTest, DescribesEveryMenuCommand) {
  QFile f(QStringLiteral(QUELVAR_BIN_DIR "/readme.html"));
  ASSERT_TRUE(f.open(QIODevice::ReadOnly)) << "the help file is copied beside the executables";
  const QString html = QString::fromUtf8(f.readAll());
  EXPECT_TRUE(html.contains(QStringLiteral("charset=utf-8")));
  for (const char* caption :
       {"开始嗅探", "停止嗅探", "获取URL", "列举数据包", "过滤设置", "退出", "复制地址", "复制数据包", "删除",
        "增加备注", "保存列表", "清空列表", "用影音传送带下载", "用网际快车下载", "用简易下载软件下载",
        "网络适配器", "网卡测试", "综合设置", "帮助文件", "访问作者主页", "升级查询", "关于Quelvar", "分类察看",
        "查看数据包", "地址汉化"}) {
    EXPECT_TRUE(html.contains(QString::fromUtf8(caption))) << caption;
  }
}

}  // namespace
}  // namespace qv
