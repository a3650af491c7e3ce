// The update check against a web server on the loopback interface (python3 -m http.server).
#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>

#include <filesystem>
#include <fstream>
#include <string>

#include "app/ui/update_checker.h"
#include "settings/settings_store.h"
#include "tests/ui/commands_support.h"

namespace qv {
namespace {

using testing::Await;
using testing::ScriptedPrompter;

const QString kNotConnected = QStringLiteral("未连接到升级服务器！");
const QString kNewest = QStringLiteral("已经是最新版本！");
const QString kAsk = QStringLiteral("程序发现有了更新的版本，是否需要升级？");

void Write(const QString& path, const std::string& text) {
  std::ofstream f(path.toStdString(), std::ios::binary | std::ios::trunc);
  f << text;
}

class UpdateCheckerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(program.isValid() && www.isValid());
    QDir().mkpath(www.path() + "/updata");
    server.setProgram(QStringLiteral("python3"));
    server.setArguments({"-u", "-m", "http.server", "0", "--bind", "127.0.0.1", "--directory", www.path()});
    server.setProcessChannelMode(QProcess::MergedChannels);
    server.start();
    ASSERT_TRUE(server.waitForStarted());
    QString out;
    const QRegularExpression portRe(QStringLiteral("port (\\d+)"));
    ASSERT_TRUE(Await([&] {
      out += QString::fromUtf8(server.readAll());
      const auto m = portRe.match(out);
      if (m.hasMatch()) port = m.captured(1).toInt();
      return port > 0;
    })) << out.toStdString();
    // An updater beside the program that notes that it ran, and where.
    const QString updater = program.path() + "/updata";
    Write(updater, "#!/bin/sh\npwd > \"$(dirname \"$0\")/updater.ran\"\n");
    QFile::setPermissions(updater, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  }
  void TearDown() override {
    server.kill();
    server.waitForFinished();
  }

  // The settings file of a program started with this version installed.
  void Installed(const std::string& version) {
    Write(program.path() + "/setting.ini", "[system]\r\nversion=" + version + "\r\n[FileType]\r\n");
    settings.Reload();
  }
  void Offered(const std::string& iniText) { Write(www.path() + "/updata/updata.ini", iniText); }
  std::string Base() const { return "http://127.0.0.1:" + std::to_string(port) + "/"; }

  UpdateCheckerOptions Options(std::string base) const {
    UpdateCheckerOptions o;
    o.programDir = program.path();
    o.base = std::move(base);
    return o;
  }
  bool UpdaterRan() const { return QFile::exists(program.path() + "/updater.ran"); }
  bool InfoLeft() const { return QFile::exists(program.path() + "/updata.ini"); }

  QTemporaryDir program;
  QTemporaryDir www;
  QProcess server;
  int port = 0;
  SettingsStore settings{(program.path() + "/setting.ini").toStdString()};
  ScriptedPrompter prompter;
  QWidget window;
};

TEST_F(UpdateCheckerTest, MenuCommandAnswersAsTheVersionsCompareAsNumbers) {
  struct Case {
    std::string installed, offered;
    int result;
  };
  for (const Case& c : {Case{"1.0", "1.00", 1}, Case{"2.1", "2.1", 1}, Case{"1.0", "2.1", 2}, Case{"3", "2.1", 2}}) {
    SCOPED_TRACE(c.installed + " / " + c.offered);
    Installed(c.installed);
    Offered("[UPdata]\r\nver=" + c.offered + "\r\n");
    prompter.boxes.clear();
    window.show();
    UpdateChecker checker(settings, prompter, &window, Options(Base()));
    EXPECT_EQ(checker.UPdata(), c.result);
    checker.CheckForUpdate();
    ASSERT_EQ(prompter.boxes.size(), 1u);
    if (c.result == 1) {
      EXPECT_EQ(prompter.boxes[0].kind, BoxKind::Information);
      EXPECT_EQ(prompter.boxes[0].text, kNewest);
      EXPECT_EQ(prompter.boxes[0].buttons, BoxButtons::Ok);
    } else {
      EXPECT_EQ(prompter.boxes[0].text, kAsk);
      EXPECT_EQ(prompter.boxes[0].buttons, BoxButtons::YesNo);
    }
    EXPECT_FALSE(InfoLeft());
    EXPECT_TRUE(window.isVisible());  // No to the question changes nothing
    EXPECT_FALSE(UpdaterRan());
  }
}

TEST_F(UpdateCheckerTest, YesOnTheMenuStartsTheUpdaterFromTheProgramFolderAndClosesTheWindow) {
  Installed("1.0");
  Offered("[UPdata]\r\nver=1.1\r\n");
  window.show();
  prompter.answers = {BoxAnswer::Yes};
  UpdateChecker checker(settings, prompter, &window, Options(Base()));
  checker.CheckForUpdate();
  EXPECT_FALSE(window.isVisible());
  ASSERT_TRUE(Await([&] { return UpdaterRan(); }));
  EXPECT_EQ(settings.ReadString("FileType", "uppath", "none"), "none");  // only the timed check leaves them
}

TEST_F(UpdateCheckerTest, TimedCheckLeavesHandleAndServerForTheUpdaterAndKeepsTheWindowOpen) {
  Installed("1.0");
  Offered("[UPdata]\r\nver=1.5\r\n");
  window.show();
  prompter.answers = {BoxAnswer::Yes};
  UpdateChecker checker(settings, prompter, &window, Options(Base()));
  checker.UpdateCheckTimer()->start();
  EXPECT_EQ(checker.UpdateCheckTimer()->interval(), 59000);
  checker.OnUpdateCheckTimer();
  EXPECT_FALSE(checker.UpdateCheckTimer()->isActive());
  ASSERT_EQ(prompter.boxes.size(), 1u);
  EXPECT_EQ(prompter.boxes[0].text, kAsk);
  EXPECT_EQ(settings.ReadString("FileType", "hwnd", ""), std::to_string(window.winId()));
  EXPECT_EQ(settings.ReadString("fileType", "uppath", ""), Base());
  EXPECT_TRUE(window.isVisible());
  ASSERT_TRUE(Await([&] { return UpdaterRan(); }));
  EXPECT_FALSE(InfoLeft());
}

TEST_F(UpdateCheckerTest, TimedCheckIsSilentWhenCurrentOrUnreachable) {
  Installed("1.0");
  Offered("[UPdata]\r\nver=1.0\r\n");
  UpdateChecker current(settings, prompter, &window, Options(Base()));
  current.OnUpdateCheckTimer();
  UpdateChecker unreachable(settings, prompter, &window, Options("http://127.0.0.1:1/"));
  unreachable.OnUpdateCheckTimer();
  EXPECT_TRUE(prompter.boxes.empty());
  EXPECT_EQ(settings.ReadString("FileType", "hwnd", "none"), "none");
}

TEST_F(UpdateCheckerTest, NoServerOrNoFileIsReportedAsNotConnected) {
  Installed("1.0");
  // Nothing listens on port 1; the running server has no updata.ini.
  for (const std::string& base : {std::string("http://127.0.0.1:1/"), Base()}) {
    SCOPED_TRACE(base);
    prompter.boxes.clear();
    UpdateChecker checker(settings, prompter, &window, Options(base));
    EXPECT_EQ(checker.UPdata(), 0);
    checker.CheckForUpdate();
    ASSERT_EQ(prompter.boxes.size(), 1u);
    EXPECT_EQ(prompter.boxes[0].kind, BoxKind::Warning);
    EXPECT_EQ(prompter.boxes[0].text, kNotConnected);
    EXPECT_FALSE(InfoLeft());
  }
}

TEST_F(UpdateCheckerTest, ServerFileWithoutVersionGivesTheConversionErrorAndLeavesNoFile) {
  Installed("1.0");
  Offered("[UPdata]\r\nname=Quelvar\r\n");
  UpdateChecker checker(settings, prompter, &window, Options(Base()));
  EXPECT_THROW(checker.UPdata(), update::ConversionError);
  EXPECT_FALSE(InfoLeft());

  checker.CheckForUpdate();  // the general error handler's box, and no question
  ASSERT_EQ(prompter.boxes.size(), 1u);
  EXPECT_EQ(prompter.boxes[0].kind, BoxKind::Error);
  EXPECT_EQ(prompter.boxes[0].text, QStringLiteral("'' is not a valid floating point value"));
  EXPECT_FALSE(InfoLeft());
  EXPECT_FALSE(UpdaterRan());
}

// Answers that never end, are far too large, or announce a size far too large: each is no answer, well
// within the deadline, and leaves nothing behind; the event loop runs meanwhile.
TEST_F(UpdateCheckerTest, DownloadIsBoundedInTimeAndSize) {
  Installed("1.0");
  for (const char* mode : {"trickle", "huge", "liar"}) {
    SCOPED_TRACE(mode);
    QProcess bad;
    bad.setProgram(QStringLiteral("python3"));
    bad.setArguments({QStringLiteral(QUELVAR_SOURCE_DIR "/tests/ui/stalling_http_server.py"), QString::fromLatin1(mode)});
    bad.start();
    ASSERT_TRUE(bad.waitForStarted());
    int badPort = 0;
    ASSERT_TRUE(Await([&] {
      const auto m = QRegularExpression(QStringLiteral("port (\\d+)")).match(QString::fromUtf8(bad.peek(100)));
      if (m.hasMatch()) badPort = m.captured(1).toInt();
      return badPort > 0;
    }));
    UpdateCheckerOptions o = Options("http://127.0.0.1:" + std::to_string(badPort) + "/");
    o.deadlineMs = 1500;  // the trickle is never idle for the 30 s transfer timeout
    UpdateChecker checker(settings, prompter, &window, o);
    int ticks = 0;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] { ++ticks; });
    tick.start(50);
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(checker.UPdata(), 0);
    EXPECT_LT(clock.elapsed(), 10000);
    if (std::string_view(mode) == "trickle") {
      EXPECT_GT(ticks, 10);  // the loop ran while the check waited
    }
    EXPECT_FALSE(checker.Checking());
    EXPECT_FALSE(InfoLeft());
    bad.kill();
    bad.waitForFinished();
  }
  // The same checker with a proper server still answers.
  Offered("[UPdata]\r\nver=1.0\r\n");
  UpdateChecker good(settings, prompter, &window, Options(Base()));
  EXPECT_EQ(good.UPdata(), 1);
}

// The answer's size limit, at its edge: exactly the limit is read, one byte more is no answer.
TEST_F(UpdateCheckerTest, AnswerOfExactlyTheLimitIsReadAndOneByteMoreIsRefused) {
  Installed("1.0");
  const qint64 limit = UpdateCheckerOptions{}.maxInfoBytes;
  const std::string head = "[UPdata]\r\nver=1.0\r\n[pad]\r\np=";
  for (const qint64 size : {limit, limit + 1}) {
    SCOPED_TRACE(size);
    std::string text = head + std::string(static_cast<std::size_t>(size) - head.size() - 2, 'x') + "\r\n";
    ASSERT_EQ(static_cast<qint64>(text.size()), size);
    Offered(text);
    UpdateChecker checker(settings, prompter, &window, Options(Base()));
    EXPECT_EQ(checker.UPdata(), size == limit ? 1 : 0);
  }
}

// An installation's program folder cannot be written: the check does not need it.
TEST_F(UpdateCheckerTest, CheckNeedsNoWritableProgramFolder) {
  Installed("1.0");
  Offered("[UPdata]\r\nver=1.0\r\n");
  UpdateCheckerOptions o = Options(Base());
  o.programDir = program.path() + QStringLiteral("/no such folder");
  UpdateChecker checker(settings, prompter, &window, o);
  EXPECT_EQ(checker.UPdata(), 1);
}

}  // namespace
}  // namespace qv
