// The other download program's command line as it is started for one address, and what
// "用简易下载软件下载" says where there is no X display to find the simple downloader on.
#include <gtest/gtest.h>

#include <QClipboard>
#include <QFile>
#include <QGuiApplication>
#include <QTemporaryDir>

#include <fstream>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "app/ui/hand_off.h"
#include "tests/platform/env_var.h"
#include "tests/ui/commands_support.h"

namespace qv {
namespace {

using Args = std::vector<std::string>;

TEST(OtherProgramCommandTest, PlaceholderBecomesTheAddressAsOneArgument) {
  const std::string address = "http://a.example/my song.mp3?x=1&y=%u2";
  struct Case {
    const char* line;
    Args expected;
  } cases[] = {
      {"aria2c -d /tmp/dl %u", {"aria2c", "-d", "/tmp/dl", address}},
      {"mpv %U", {"mpv", address}},
      {"vlc --url=%u", {"vlc", "--url=" + address}},
      {"\"/opt/my tool/get\" %u", {"/opt/my tool/get", address}},
      {"wget", {"wget"}},  // no placeholder: no argument, the address is on the clipboard
      {"   ", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(OtherProgramCommand(c.line, address, "/nonexistent"), c.expected) << c.line;
}

TEST(OtherProgramCommandTest, BareProgramNameIsLookedForBesideThisProgramFirst) {
  QTemporaryDir dir;
  const std::string folder = dir.path().toStdString();
  const std::string beside = folder + "/Dorrinel";
  std::ofstream(beside) << "#!/bin/sh\n";
  ::chmod(beside.c_str(), 0755);

  EXPECT_EQ(OtherProgramCommand("Dorrinel %u", "http://h/f", folder), (Args{beside, "http://h/f"}));
  // Not beside this program: left to PATH; a name with a folder is taken as it is.
  EXPECT_EQ(OtherProgramCommand("curl -O %u", "http://h/f", folder), (Args{"curl", "-O", "http://h/f"}));
  EXPECT_EQ(OtherProgramCommand("./Dorrinel %u", "http://h/f", folder), (Args{"./Dorrinel", "http://h/f"}));
}

// A Wayland desktop without Xwayland (no DISPLAY), or a DISPLAY that names no running server: the
// downloader's window could never be found, so nothing is started and no wait comes first; one box
// tells the user that the double click is the way there.
TEST(SimpleDownloaderTest, WithoutAnXDisplayTheDoubleClickIsPointedTo) {
  QTemporaryDir dir;
  const QString started = dir.path() + "/started";
  {
    std::ofstream f((dir.path() + "/Dorrinel").toStdString());
    f << "#!/bin/sh\ntouch '" << started.toStdString() << "'\n";
  }
  ::chmod((dir.path() + "/Dorrinel").toLocal8Bit().constData(), 0755);
  const QString expected = QStringLiteral(
      "没有X11显示，无法用此命令把数据包交给简易下载软件！请双击该行下载：下载软件选“其它下载软件”且"
      "DownloadPath带%u时（默认即“Dorrinel -- %u”），地址直接交给简易下载软件。");

  for (const char* display : {static_cast<const char*>(nullptr), "", ":4711"}) {
    SCOPED_TRACE(display ? display : "(unset)");
    testing::EnvVar env("DISPLAY", display);
    testing::ScriptedPrompter prompter;
    HandOffOptions options;
    options.programDir = dir.path();
    HandOff handOff(prompter, nullptr, options);
    handOff.DownloadWithSimpleDownloader(
        SelectionCopy{"http://a.example/x.mp3", std::make_shared<const LVDATA>(LVDATA{"10.0.0.1:80", "GET /x.mp3"})});
    ASSERT_EQ(prompter.boxes.size(), 1u);
    EXPECT_EQ(prompter.boxes[0].kind, BoxKind::Error);
    EXPECT_EQ(prompter.boxes[0].text, expected);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("GET /x.mp3"));
    EXPECT_FALSE(testing::Await([&] { return QFile::exists(started); }, 300)) << "the downloader was started";
  }
}

}  // namespace
}  // namespace qv
