// The hand-off's road end to end on an X11 display: the stand-in download managers and the simple
// downloader are started as the program starts them, found by their titles, and fed through the
// clipboard and a posted key or click.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QByteArray>
#include <QClipboard>
#include <QGuiApplication>
#include <QStringDecoder>
#include <filesystem>
#include <optional>
#include <random>
#include <sstream>

#include "platform/process.h"
#include "platform/x11_windows.h"
#include "tests/platform/env_var.h"
#include "tests/platform/x11_support.h"
#include "tests/settings/temp_dir.h"

namespace qv {
namespace {

using namespace std::string_literals;
using testing::EnvVar;
using testing::ReadBytes;
using testing::Redirect;
using testing::Running;
using testing::TempDir;
using testing::WaitUntil;
using testing::WriteBytes;
using x11::Desktop;
using x11::Key;
using x11::DesktopStatus;
using x11::WindowId;

// Titles and texts in GBK, as the program holds them.
const std::string kNetTransportTitle = "\xD3\xB0\xD2\xF4\xB4\xAB\xCB\xCD\xB4\xF8";  // 影音传送带
const std::string kNetTransportTitle2 = "\xCD\xF8\xC2\xE7\xB4\xAB\xCB\xCD\xB4\xF8";  // 网络传送带
const std::string kDorrinelTitle = "\xBC\xF2\xD2\xD7HTTP\xCF\xC2\xD4\xD8\xC8\xED\xBC\xFE";  // 简易HTTP下载软件
const std::string kTrigger = "morvandelquist";
const std::string kTestGbk = "\xB2\xE2\xCA\xD4";  // 测试
const std::string kNulMarker = "\xA5\xFE";

// The clipboard holds Unicode text: GBK bytes go on it converted, as the program puts them there.
void PutOnClipboard(const std::string& gbk) {
  QStringDecoder fromGbk("GBK");
  QGuiApplication::clipboard()->setText(fromGbk.decode(QByteArray(gbk.data(), static_cast<qsizetype>(gbk.size()))));
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// Lines of a log file that start with `prefix`.
std::vector<std::string> LinesStarting(const std::string& path, const std::string& prefix) {
  std::vector<std::string> out;
  for (const std::string& line : Lines(ReadBytes(path))) {
    if (line.rfind(prefix, 0) == 0) out.push_back(line);
  }
  return out;
}

std::string RandomBytes(std::size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen() % 7 == 0 ? 0 : gen());  // with plenty of zero bytes
  return s;
}

// A loopback port on which nothing listens.
int ClosedPort() {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(s);
  return ntohs(a.sin_port);
}

class HandOffTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(desk.Ok()) << "these tests run on an X11 display (xvfb-run)"; }

  // Starts a program minimized, as the hand-off does; its standard output and error go to `output`.
  int Start(const std::string& program, const std::vector<std::string>& args, const std::string& output) {
    Redirect out(1, output);
    Redirect err(2, output);
    const StartResult r = StartProgram(program, args, ShowState::kMinimized);
    EXPECT_TRUE(r.Started()) << program << ": " << r.error;
    return r.pid;
  }

  // Starts a server and returns the port it reports ("... port <n> ...").
  int StartServer(Running& server, const std::vector<std::string>& args) {
    const std::string out = dir.File("server.out");
    server.Set(Start(PYTHON3, args, out));
    int port = 0;
    WaitUntil([&] {
      const std::string text = ReadBytes(out);
      const std::size_t at = text.find("port ");
      if (at == std::string::npos) return false;
      port = std::atoi(text.c_str() + at + 5);
      return port > 0;
    });
    return port;
  }

  TempDir dir;
  Desktop desk;
};

TEST_F(HandOffTest, NetTransportStandInFoundByExactTitleGetsInsertWithTheAddressOnTheClipboard) {
  const std::string log = dir.File("nettransport.log");
  EnvVar logVar("QUELVAR_STANDIN_LOG", log);
  Running program(Start(STANDIN_DIR "/NetTransport", {}, dir.File("out")));

  WindowId w = 0;
  ASSERT_TRUE(WaitUntil([&] { return (w = desk.FindTopLevel(kNetTransportTitle)) != 0; }));
  EXPECT_EQ(desk.FindTopLevel(kNetTransportTitle2), 0u);
  EXPECT_EQ(desk.WindowText(w), kNetTransportTitle);

  // http://例子.example/歌曲.mp3
  PutOnClipboard("http://\xC0\xFD\xD7\xD3.example/\xB8\xE8\xC7\xFA.mp3");
  EXPECT_EQ(desk.ShowNormal(w), DesktopStatus::kOk);
  EXPECT_EQ(desk.BringToTop(w), DesktopStatus::kOk);
  ASSERT_EQ(desk.PostKeyDown(w, Key::kInsert), DesktopStatus::kOk);

  ASSERT_TRUE(WaitUntil([&] { return !LinesStarting(log, "key ").empty(); })) << ReadBytes(log);
  EXPECT_EQ(LinesStarting(log, "key "), std::vector<std::string>{"key Insert clipboard=http://例子.example/歌曲.mp3"});
  EXPECT_EQ(LinesStarting(log, "start ").at(0).rfind("start title=影音传送带 show=minimized ", 0), 0u);
}

TEST_F(HandOffTest, FlashGetStandInFoundByAPartOfItsTitleGetsF4) {
  const std::string log = dir.File("flashget.log");
  EnvVar logVar("QUELVAR_STANDIN_LOG", log);
  Running program(Start(STANDIN_DIR "/flashget", {}, dir.File("out")));

  WindowId w = 0;
  ASSERT_TRUE(WaitUntil([&] { return (w = desk.FindTopLevelContaining("FlashGet")) != 0; }));
  PutOnClipboard("http://h.example/a b.zip\r\nsecond line");
  EXPECT_EQ(desk.ShowNormal(w), DesktopStatus::kOk);
  EXPECT_EQ(desk.BringToTop(w), DesktopStatus::kOk);
  ASSERT_EQ(desk.PostKeyDown(w, Key::kF4), DesktopStatus::kOk);
  ASSERT_TRUE(WaitUntil([&] { return !LinesStarting(log, "key ").empty(); })) << ReadBytes(log);
  EXPECT_EQ(LinesStarting(log, "key "),
            std::vector<std::string>{"key F4 clipboard=http://h.example/a b.zip\\r\\nsecond line"});
}

class DorrinelTest : public HandOffTest {
 protected:
  void SetUp() override {
    HandOffTest::SetUp();
    std::filesystem::create_directories(www);
  }

  // Starts the downloader as the hand-off does and waits for its window.
  void StartDorrinel() {
    dorrinel.Set(Start(DORRINEL_PATH, {}, messages));
    ASSERT_TRUE(WaitUntil([&] { return (window = desk.FindTopLevel(kDorrinelTitle)) != 0; }, 20000));
    WaitUntil([] { return false; }, 500);  // the hand-off's pause
  }

  // The hand-off's last steps: show, bring to the top, click the trigger among the direct children.
  void ClickTrigger() {
    ASSERT_EQ(desk.ShowNormal(window), DesktopStatus::kOk);
    ASSERT_EQ(desk.BringToTop(window), DesktopStatus::kOk);
    const WindowId trigger = desk.FindChild(window, kTrigger);
    ASSERT_NE(trigger, 0u) << "children: " << desk.ChildWindows(window).size();
    ASSERT_EQ(desk.PostLeftButtonDown(trigger), DesktopStatus::kOk);
    ASSERT_EQ(desk.PostLeftButtonUp(trigger), DesktopStatus::kOk);
  }

  std::vector<std::string> Reports(const std::string& kind) { return LinesStarting(messages, "Dorrinel: " + kind); }

  std::vector<std::string> Downloads() const {
    std::vector<std::string> names;
    if (!std::filesystem::exists(downloads)) return names;
    for (const auto& e : std::filesystem::directory_iterator(downloads)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  std::string www = dir.File("www");
  std::string downloads = dir.File("downloads/sub");  // made by the downloader
  std::string messages = dir.File("dorrinel.out");
  EnvVar downloadVar{"QUELVAR_DOWNLOAD_DIR", downloads};
  Running dorrinel;
  WindowId window = 0;
};

TEST_F(DorrinelTest, DownloadsTheCapturedRequestFromALoopbackServer) {
  const std::string content = RandomBytes(300000, 1);
  WriteBytes(www + "/中文 song.bin", content);
  Running server;
  const int port = StartServer(server, {"-u", "-m", "http.server", "0", "--bind", "127.0.0.1", "--directory", www});
  ASSERT_GT(port, 0);

  PutOnClipboard("GET /%E4%B8%AD%E6%96%87%20song.bin?token=1 HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                 "\r\nConnection: keep-alive\r\nUser-Agent: " + kTestGbk + "\r\nAccept: */*\r\n\r\n");
  ASSERT_NO_FATAL_FAILURE(StartDorrinel());
  EXPECT_EQ(desk.ChildWindows(window).size(), 1u);  // only the trigger has a window of its own
  ASSERT_NO_FATAL_FAILURE(ClickTrigger());

  ASSERT_TRUE(WaitUntil([&] { return !Reports("saved").empty() || !Reports("error").empty(); }))
      << ReadBytes(messages);
  EXPECT_EQ(Reports("error"), std::vector<std::string>{});
  EXPECT_EQ(Downloads(), std::vector<std::string>{"中文 song.bin"});
  EXPECT_TRUE(ReadBytes(downloads + "/中文 song.bin") == content);
}

TEST_F(DorrinelTest, SendsTheCapturedRequestAgainAndReadsAChunkedAnswer) {
  const std::string content = RandomBytes(100000, 2);
  WriteBytes(www + "/clip.mp4", content);
  Running server;
  const std::string requests = dir.File("requests.log");
  const int port = StartServer(server, {RECORDING_SERVER, www, requests});
  ASSERT_GT(port, 0);
  const std::string host = "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";

  PutOnClipboard("GET /v/clip.mp4?x=1 HTTP/1.1\r\n" + host + "X-Capture: a" + kNulMarker + "b\r\nUser-Agent: " +
                 kTestGbk + "\r\nRange: bytes=500-\r\nAccept-Encoding: gzip\r\nConnection: keep-alive\r\n\r\n");
  ASSERT_NO_FATAL_FAILURE(StartDorrinel());
  ASSERT_NO_FATAL_FAILURE(ClickTrigger());
  ASSERT_TRUE(WaitUntil([&] { return Reports("saved").size() + Reports("error").size() == 1; })) << ReadBytes(messages);
  // A second click with the same request keeps the first file.
  ASSERT_NO_FATAL_FAILURE(ClickTrigger());
  ASSERT_TRUE(WaitUntil([&] { return Reports("saved").size() + Reports("error").size() == 2; })) << ReadBytes(messages);

  EXPECT_EQ(Reports("error"), std::vector<std::string>{});
  EXPECT_EQ(Downloads(), (std::vector<std::string>{"clip(1).mp4", "clip.mp4"}));
  EXPECT_TRUE(ReadBytes(downloads + "/clip.mp4") == content);
  EXPECT_TRUE(ReadBytes(downloads + "/clip(1).mp4") == content);
  // Each request went again with the captured line and headers, less the range, the encoding, the
  // connection's own headers and a header holding a zero byte.
  const std::string log = ReadBytes(requests);
  std::vector<std::string> heads;
  for (std::size_t pos = 0, end; (end = log.find("\r\n\r\n", pos)) != std::string::npos; pos = end + 4) {
    heads.push_back(log.substr(pos, end - pos));
  }
  ASSERT_EQ(heads.size(), 2u) << log;
  for (const std::string& head : heads) {
    EXPECT_EQ(head.rfind("GET /v/clip.mp4?x=1 HTTP/1.1\r\n", 0), 0u) << head;
    EXPECT_NE(head.find(host), std::string::npos) << head;
    EXPECT_NE(head.find("\r\nUser-Agent: " + kTestGbk + "\r\n"), std::string::npos) << head;
    EXPECT_NE(head.find("\r\nAccept-Encoding: identity"), std::string::npos) << head;
    EXPECT_EQ(head.find("Range:"), std::string::npos) << head;
    EXPECT_EQ(head.find("X-Capture"), std::string::npos) << head;
  }
}

TEST_F(DorrinelTest, FailuresAreReportedAndLeaveNoFile) {
  Running server;
  const int port = StartServer(server, {RECORDING_SERVER, www, dir.File("requests.log")});
  ASSERT_GT(port, 0);
  ASSERT_NO_FATAL_FAILURE(StartDorrinel());

  const std::vector<std::pair<std::string, std::string>> cases = {
      {"GET /missing.bin HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n", "HTTP 404"},
      {"GET /a.bin HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(ClosedPort()) + "\r\n\r\n", "连接被拒绝"},
      {"GET /a.bin HTTP/1.1\r\nAccept: */*\r\n\r\n", "没有Host头"},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].second);
    PutOnClipboard(cases[i].first);
    ASSERT_NO_FATAL_FAILURE(ClickTrigger());
    ASSERT_TRUE(WaitUntil([&] { return Reports("error").size() == i + 1; })) << ReadBytes(messages);
    EXPECT_NE(Reports("error").back().find(cases[i].second), std::string::npos) << Reports("error").back();
  }
  EXPECT_EQ(Reports("saved"), std::vector<std::string>{});
  EXPECT_EQ(Downloads(), std::vector<std::string>{});
}

}  // namespace
}  // namespace qv
