// The hand-off on an X11 display (xvfb-run) with the stand-in download managers, which write down
// how they were started and every key or click that reaches them together with the clipboard text.
#include <gtest/gtest.h>
#include <signal.h>

#include <QClipboard>
#include <QFile>
#include <QGuiApplication>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>

#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "app/ui/hand_off.h"
#include "platform/registry.h"
#include "platform/x11_windows.h"
#include "tests/platform/env_var.h"
#include "tests/ui/commands_support.h"

namespace qv {
namespace {

using testing::Await;
using testing::EnvVar;
using testing::ScriptedPrompter;

const std::string kMenuExt = "\\Software\\Microsoft\\Internet Explorer\\MenuExt\\";
const std::string kNtKeyOld = kMenuExt + "\xCA\xB9\xD3\xC3\xCD\xF8\xC2\xE7\xB4\xAB\xCB\xCD\xB4\xF8\xCF\xC2\xD4\xD8";  // 使用网络传送带下载
const std::string kNtKeyNew = kMenuExt + "\xCA\xB9\xD3\xC3\xD3\xB0\xD2\xF4\xB4\xAB\xCB\xCD\xB4\xF8\xCF\xC2\xD4\xD8";  // 使用影音传送带下载
const std::string kFgKey = kMenuExt + "\xCA\xB9\xD3\xC3\xCD\xF8\xBC\xCA\xBF\xEC\xB3\xB5\xCF\xC2\xD4\xD8";  // 使用网际快车下载
const std::string kFgKeyAmp = kMenuExt + "&\xCA\xB9\xD3\xC3\xBF\xEC\xB3\xB5(FlashGet)\xCF\xC2\xD4\xD8";  // &使用快车(FlashGet)下载
const std::string kNtTitle = "\xD3\xB0\xD2\xF4\xB4\xAB\xCB\xCD\xB4\xF8";  // 影音传送带

const QString kNtError = QStringLiteral("未在注册表中找到影音传送带安装信息！可能未安装！");
const QString kFgError = QStringLiteral("未在注册表中找到Flashget安装信息！可能未安装！");
const QString kDownloaderMissing = QStringLiteral("未找到简易下载软件窗口！软件未安装或者未正常运行，请检查！");

// http://例子.example/歌曲.mp3
const std::string kAddressGbk = "http://\xC0\xFD\xD7\xD3.example/\xB8\xE8\xC7\xFA.mp3";
const QString kAddress = QStringLiteral("http://例子.example/歌曲.mp3");

std::string ReadAll(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll().toStdString() : std::string();
}

std::vector<std::string> Lines(const QString& path, const std::string& prefix) {
  std::vector<std::string> out;
  for (const QString& line : QString::fromStdString(ReadAll(path)).split('\n', Qt::SkipEmptyParts)) {
    if (line.toStdString().rfind(prefix, 0) == 0) out.push_back(line.toStdString());
  }
  return out;
}

SelectionCopy Row(std::string address, std::string packet = "") {
  return SelectionCopy{std::move(address), std::make_shared<const LVDATA>(LVDATA{"10.0.0.1:80", std::move(packet)})};
}

class HandOffX11Test : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(desk.Ok()) << "these tests run on an X11 display (xvfb-run)";
    ASSERT_TRUE(dir.isValid());
    QGuiApplication::clipboard()->setText(QStringLiteral("before"));
  }
  void TearDown() override {
    // Every stand-in writes its pid when it starts.
    for (const QString& log : {ntLog, fgLog}) {
      for (const std::string& line : Lines(log, "start ")) {
        const auto m = QRegularExpression(QStringLiteral("pid=(\\d+)")).match(QString::fromStdString(line));
        if (m.hasMatch()) ::kill(m.captured(1).toInt(), SIGTERM);
      }
    }
    Await([&] { return desk.FindTopLevel(kNtTitle) == 0 && desk.FindTopLevelContaining("FlashGet") == 0; }, 5000);
  }

  HandOffOptions Options(QString programDir = QString()) const {
    HandOffOptions o;
    o.programDir = programDir;
    o.registryPath = registryPath;
    return o;
  }
  void Register(const std::string& key, const std::string& value) {
    UserRegistry registry(registryPath);
    ASSERT_TRUE(registry.WriteDefault(key, value));
  }
  QString Clipboard() const { return QGuiApplication::clipboard()->text(); }

  x11::Desktop desk;
  QTemporaryDir dir;
  std::string registryPath = (dir.path() + "/registry.ini").toStdString();
  QString ntLog = dir.path() + "/nettransport.log";
  QString fgLog = dir.path() + "/flashget.log";
  ScriptedPrompter prompter;
};

TEST_F(HandOffX11Test, NetTransportIsStartedFromItsRegisteredFolderAndSentInsertOnceItsWindowAppears) {
  EnvVar log("QUELVAR_STANDIN_LOG", ntLog.toStdString());
  Register(kNtKeyNew, std::string(STANDIN_DIR) + "/NetTransport.exe");  // only the second key is there
  HandOff handOff(prompter, nullptr, Options());
  handOff.DownloadWithNetTransport(Row(kAddressGbk));
  EXPECT_EQ(Clipboard(), kAddress);
  EXPECT_TRUE(handOff.NetTransportWaitTimer()->isActive());
  EXPECT_EQ(handOff.NetTransportWaitTimer()->interval(), 500);

  ASSERT_TRUE(Await([&] { return !Lines(ntLog, "key ").empty(); })) << ReadAll(ntLog);
  EXPECT_FALSE(handOff.NetTransportWaitTimer()->isActive());
  EXPECT_EQ(Lines(ntLog, "key "), std::vector<std::string>{"key Insert clipboard=http://例子.example/歌曲.mp3"});
  ASSERT_EQ(Lines(ntLog, "start ").size(), 1u);
  EXPECT_NE(Lines(ntLog, "start ")[0].find("show=minimized"), std::string::npos);
  EXPECT_TRUE(prompter.boxes.empty());
}

TEST_F(HandOffX11Test, RunningNetTransportOnlyGetsTheClipboard) {
  EnvVar log("QUELVAR_STANDIN_LOG", ntLog.toStdString());
  Register(kNtKeyOld, std::string(STANDIN_DIR) + "/");
  HandOff handOff(prompter, nullptr, Options());
  handOff.DownloadWithNetTransport(Row("http://a.example/1.mp3"));
  ASSERT_TRUE(Await([&] { return !Lines(ntLog, "key ").empty(); })) << ReadAll(ntLog);

  handOff.DownloadWithNetTransport(Row(kAddressGbk));
  EXPECT_EQ(Clipboard(), kAddress);
  EXPECT_FALSE(handOff.NetTransportWaitTimer()->isActive());
  Await([] { return false; }, 1500);  // a key would arrive meanwhile
  EXPECT_EQ(Lines(ntLog, "key ").size(), 1u);
  EXPECT_EQ(Lines(ntLog, "start ").size(), 1u);
}

TEST_F(HandOffX11Test, FlashGetIsStartedEachTimeAndSentF4) {
  EnvVar log("QUELVAR_STANDIN_LOG", fgLog.toStdString());
  Register(kFgKeyAmp, std::string(STANDIN_DIR) + "/");  // a folder as the settings dialog writes it
  HandOff handOff(prompter, nullptr, Options());
  handOff.DownloadWithFlashGet(Row("http://a.example/1.zip"));
  EXPECT_TRUE(handOff.FlashGetWaitTimer()->isActive());
  ASSERT_TRUE(Await([&] { return Lines(fgLog, "key ").size() == 1; })) << ReadAll(fgLog);
  EXPECT_FALSE(handOff.FlashGetWaitTimer()->isActive());
  EXPECT_EQ(Lines(fgLog, "key ")[0], "key F4 clipboard=http://a.example/1.zip");

  // Already running: started once more all the same, and the window gets F4 again.
  handOff.DownloadWithFlashGet(Row(kAddressGbk));
  EXPECT_TRUE(handOff.FlashGetWaitTimer()->isActive());
  ASSERT_TRUE(Await([&] { return Lines(fgLog, "start ").size() == 2 && !handOff.FlashGetWaitTimer()->isActive(); }))
      << ReadAll(fgLog);
  ASSERT_TRUE(Await([&] { return Lines(fgLog, "key ").size() >= 2; })) << ReadAll(fgLog);
  EXPECT_EQ(Lines(fgLog, "key ")[1], "key F4 clipboard=http://例子.example/歌曲.mp3");
}

TEST_F(HandOffX11Test, MissingOrUnusableRegistryEntriesAreReportedAndStartNothing) {
  struct Case {
    const char* what;
    std::string key, value;
  };
  const std::vector<Case> cases = {
      {"no key", "", ""},
      {"a bare file name", kNtKeyOld, "NetTransport.exe"},
      {"no value", kNtKeyNew, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    QFile::remove(QString::fromStdString(registryPath));
    if (!c.key.empty()) Register(c.key, c.value);
    if (!c.key.empty()) Register(kFgKey, c.value);
    prompter.boxes.clear();
    HandOff handOff(prompter, nullptr, Options());
    handOff.DownloadWithNetTransport(Row(kAddressGbk));
    handOff.DownloadWithFlashGet(Row(kAddressGbk));
    handOff.DoubleClick(Row(kAddressGbk), 1, "");
    ASSERT_EQ(prompter.boxes.size(), 3u);
    EXPECT_EQ(prompter.boxes[0].text, kNtError);
    EXPECT_EQ(prompter.boxes[1].text, kFgError);
    EXPECT_EQ(prompter.boxes[2].text, kNtError);
    for (const auto& box : prompter.boxes) {
      EXPECT_EQ(box.kind, BoxKind::Error);
      EXPECT_EQ(box.buttons, BoxButtons::Ok);
    }
    EXPECT_EQ(Clipboard(), QStringLiteral("before"));
    EXPECT_FALSE(handOff.NetTransportWaitTimer()->isActive());
    EXPECT_FALSE(handOff.FlashGetWaitTimer()->isActive());
  }
}

TEST_F(HandOffX11Test, NoSelectedRowDoesNothing) {
  Register(kNtKeyOld, std::string(STANDIN_DIR) + "/");
  HandOff handOff(prompter, nullptr, Options(dir.path()));
  handOff.DownloadWithNetTransport(std::nullopt);
  handOff.DownloadWithFlashGet(std::nullopt);
  handOff.DownloadWithSimpleDownloader(std::nullopt);
  handOff.DoubleClick(std::nullopt, 1, "");
  handOff.DoubleClick(std::nullopt, 3, "");
  EXPECT_TRUE(prompter.boxes.empty());
  EXPECT_EQ(Clipboard(), QStringLiteral("before"));
  EXPECT_FALSE(handOff.NetTransportWaitTimer()->isActive());
}

TEST_F(HandOffX11Test, DoubleClickFollowsTheDefaultDownloadProgram) {
  EnvVar log("QUELVAR_STANDIN_LOG", ntLog.toStdString());
  Register(kNtKeyOld, std::string(STANDIN_DIR) + "/");
  Register(kFgKey, std::string(STANDIN_DIR) + "/");
  HandOff handOff(prompter, nullptr, Options());

  handOff.DoubleClick(Row("http://a.example/2.zip"), 2, "");  // FlashGet
  EXPECT_TRUE(handOff.FlashGetWaitTimer()->isActive());
  EXPECT_FALSE(handOff.NetTransportWaitTimer()->isActive());
  ASSERT_TRUE(Await([&] { return !handOff.FlashGetWaitTimer()->isActive(); }));

  handOff.DoubleClick(Row("http://a.example/1.mp3"), 1, "");  // NetTransport
  EXPECT_TRUE(handOff.NetTransportWaitTimer()->isActive());
  ASSERT_TRUE(Await([&] { return Lines(ntLog, "key Insert").size() == 1; })) << ReadAll(ntLog);
  EXPECT_EQ(Lines(ntLog, "key Insert")[0], "key Insert clipboard=http://a.example/1.mp3");

  // Another program: the address on the clipboard and the command line started minimized.
  const std::string otherLog = (dir.path() + "/other.log").toStdString();
  handOff.DoubleClick(Row(kAddressGbk), 3, std::string(STANDIN_DIR) + "/NetTransport Other " + otherLog);
  EXPECT_EQ(Clipboard(), kAddress);
  ASSERT_TRUE(Await([&] { return !Lines(QString::fromStdString(otherLog), "start ").empty(); }));
  EXPECT_EQ(Lines(QString::fromStdString(otherLog), "start ")[0].rfind("start title=Other show=minimized ", 0), 0u);
  for (const std::string& line : Lines(QString::fromStdString(otherLog), "start ")) {
    ::kill(std::stoi(line.substr(line.find("pid=") + 4)), SIGTERM);
  }

  // An empty command line only replaces the clipboard.
  handOff.DoubleClick(Row("http://a.example/3.avi"), 3, "");
  EXPECT_EQ(Clipboard(), QStringLiteral("http://a.example/3.avi"));
  EXPECT_TRUE(prompter.boxes.empty());
}

TEST_F(HandOffX11Test, SimpleDownloaderMissingIsReportedAfterItsWait) {
  HandOff handOff(prompter, nullptr, Options(dir.path()));  // no Dorrinel in this folder
  handOff.DownloadWithSimpleDownloader(Row(kAddressGbk, "GET / HTTP/1.1\r\n\r\n"));
  EXPECT_EQ(Clipboard(), QStringLiteral("GET / HTTP/1.1\r\n\r\n"));
  ASSERT_EQ(prompter.boxes.size(), 1u);
  EXPECT_EQ(prompter.boxes[0].kind, BoxKind::Error);
  EXPECT_EQ(prompter.boxes[0].text, kDownloaderMissing);
}

// The simple downloader gets the captured request, and the click on its trigger makes it send that
// request to the server named in it. The window's environment names Wayland (a user's or a desktop's
// setting; there is no compositor here): the downloader still runs on the X display, where it is
// looked for.
TEST_F(HandOffX11Test, SimpleDownloaderIsStartedFromTheProgramFolderAndItsTriggerClicked) {
  EnvVar wayland("QT_QPA_PLATFORM", "wayland");
  // The program folder holds a Dorrinel that notes its pid and becomes the real one.
  const QString pidFile = dir.path() + "/dorrinel.pid";
  {
    std::ofstream f((dir.path() + "/Dorrinel").toStdString());
    f << "#!/bin/sh\necho $$ > '" << pidFile.toStdString() << "'\nexec '" << DORRINEL_PATH << "' \"$@\"\n";
  }
  QFile::setPermissions(dir.path() + "/Dorrinel", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  EnvVar downloads("QUELVAR_DOWNLOAD_DIR", (dir.path() + "/downloads").toStdString());

  QProcess server;
  const QString requests = dir.path() + "/requests.log";
  QDir().mkpath(dir.path() + "/www");
  server.start(QStringLiteral(PYTHON3), {QStringLiteral(RECORDING_SERVER), dir.path() + "/www", requests});
  ASSERT_TRUE(server.waitForStarted());
  int port = 0;
  QString out;
  ASSERT_TRUE(Await([&] {
    out += QString::fromUtf8(server.readAllStandardOutput());
    const auto m = QRegularExpression(QStringLiteral("port (\\d+)")).match(out);
    if (m.hasMatch()) port = m.captured(1).toInt();
    return port > 0;
  }));

  const std::string request = "GET /song.mp3 HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n";
  HandOff handOff(prompter, nullptr, Options(dir.path()));
  handOff.DownloadWithSimpleDownloader(Row("http://127.0.0.1/song.mp3", request));
  EXPECT_TRUE(prompter.boxes.empty());
  const bool requested = Await([&] { return ReadAll(requests).find("GET /song.mp3") != std::string::npos; });
  const std::string pid = ReadAll(pidFile);
  if (!pid.empty()) ::kill(std::stoi(pid), SIGTERM);
  server.kill();
  server.waitForFinished();
  EXPECT_TRUE(requested) << "the downloader was not clicked";
}

TEST_F(HandOffX11Test, WithoutADisplayTheUserIsToldSo) {
  Register(kFgKey, std::string(STANDIN_DIR) + "/");
  EnvVar noDisplay("DISPLAY", "");
  HandOff handOff(prompter, nullptr, Options(dir.path()));
  handOff.DownloadWithFlashGet(Row(kAddressGbk));
  ASSERT_EQ(prompter.boxes.size(), 1u);
  EXPECT_EQ(prompter.boxes[0].kind, BoxKind::Error);
  EXPECT_FALSE(prompter.boxes[0].text.isEmpty());
  EXPECT_FALSE(handOff.FlashGetWaitTimer()->isActive());
}

}  // namespace
}  // namespace qv
