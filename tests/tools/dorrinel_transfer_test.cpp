// The simple downloader against servers of the test's own on loopback: whole downloads, breaks that
// are continued, servers that never end or drip, redirects, interim-answer floods, hostile names, the
// window fed through the clipboard, stream recording with ffmpeg, and the program itself.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QPushButton>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QStandardPaths>
#include <QStringDecoder>
#include <QThread>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <random>
#include <set>
#include <thread>

#include "tests/tools/dorrinel_server.h"
#include "tests/tools/transfer_outcome.h"
#include "tests/platform/env_var.h"
#include "tests/settings/temp_dir.h"
#include "tools/Dorrinel/downloader_window.h"
#include "tools/Dorrinel/http_download.h"
#include "tools/Dorrinel/names.h"
#include "tools/Dorrinel/stream_recording.h"

namespace dorrinel {
namespace {

using namespace std::string_literals;
using qv::testing::EnvVar;
using qv::testing::ReadBytes;
using qv::testing::TempDir;
using qv::testing::WaitUntil;
using qv::testing::WriteBytes;
using testing::Answer;
using testing::Outcome;
using testing::RunToEnd;
using testing::KeepSending;
using testing::SeenRequest;
using testing::TestServer;
namespace fs = std::filesystem;

std::string RandomBytes(std::size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen());
  return s;
}

// The file server most tests use: `content` for every path, with a length, in pieces.
TestServer::Handler Serve(const std::string& content) {
  return [content](const SeenRequest&, QTcpSocket* socket) {
    Answer(socket, "200 OK", "Content-Length: " + std::to_string(content.size()) + "\r\n", content);
  };
}

class TransferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    folder = DownloadFolder::Open(dir.File("dl"), error);
    ASSERT_TRUE(folder) << error;
    limits.retryDelayMs = 50;
    limits.idleSeconds = 10;
  }

  // A download of the handed text, run to its end.
  Outcome Download(const std::string& handed, int ms = 30000, const std::function<void(Transfer&)>& meanwhile = {}) {
    const DownloadRequest request = ParseHandedText(handed);
    EXPECT_EQ(request.error, ParseError::kNone) << handed;
    HttpDownload download(&network, folder.get(), request, limits);
    return Run(download, ms, meanwhile);
  }

  Outcome Run(Transfer& t, int ms, const std::function<void(Transfer&)>& meanwhile = {}) {
    return RunToEnd(t, ms, meanwhile);
  }

  // A server configuration with a certificate for 127.0.0.1, made here.
  void MakeCertificate(QSslConfiguration& config) {
    ASSERT_TRUE(QSslSocket::supportsSsl()) << "Qt has no TLS backend";
    QProcess openssl;
    openssl.start(QStringLiteral("openssl"),
                  {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=127.0.0.1", "-addext",
                   "subjectAltName=IP:127.0.0.1", "-keyout", QString::fromStdString(dir.File("key.pem")), "-out",
                   QString::fromStdString(dir.File("cert.pem"))});
    ASSERT_TRUE(openssl.waitForFinished(60000));
    ASSERT_EQ(openssl.exitCode(), 0) << openssl.readAllStandardError().toStdString();
    const QSslCertificate cert(QByteArray::fromStdString(ReadBytes(dir.File("cert.pem"))));
    const QSslKey key(QByteArray::fromStdString(ReadBytes(dir.File("key.pem"))), QSsl::Rsa);
    ASSERT_FALSE(cert.isNull());
    config = QSslConfiguration::defaultConfiguration();
    config.setLocalCertificate(cert);
    config.setPrivateKey(key);
  }

  std::vector<std::string> Files() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir.File("dl"))) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  std::string Saved(const std::string& name) const { return ReadBytes(dir.File("dl/" + name)); }

  TempDir dir;
  std::unique_ptr<DownloadFolder> folder;
  QNetworkAccessManager network;
  Limits limits;
};

TEST_F(TransferTest, CapturedRequestIsSentAgainAndTheFileSavedWhole) {
  const std::string content = RandomBytes(3 << 20, 1);
  TestServer server(Serve(content));
  // As Ctrl+E hands it over on Linux: TCP timestamp option bytes before the request line.
  const std::string captured = "\x01\x01\x08\x0A\x12\xA5\xFE\x34\x56\x00\x00\x00\x81"s + "GET /v/clip.mp4?x=1 HTTP/1.1\r\nHost: 127.0.0.1:" +
                               std::to_string(server.port()) +
                               "\r\nUser-Agent: Test\xB2\xE2\r\nCookie: a=b\r\nReferer: http://page/\r\n"
                               "Range: bytes=500-\r\nAccept-Encoding: gzip\r\nIf-None-Match: \"x\"\r\n"
                               "Connection: keep-alive\r\n\r\n";
  const Outcome o = Download(captured);
  ASSERT_TRUE(o.ok) << o.Text();
  EXPECT_EQ(Files(), std::vector<std::string>{"clip.mp4"});
  EXPECT_TRUE(Saved("clip.mp4") == content);
  EXPECT_EQ(o.path.toStdString(), dir.File("dl/clip.mp4"));

  ASSERT_EQ(server.requests.size(), 1u);
  const SeenRequest& r = server.requests[0];
  EXPECT_EQ(r.Line(), "GET /v/clip.mp4?x=1 HTTP/1.1");
  EXPECT_EQ(r.Header("User-Agent"), "Test\xB2\xE2");
  EXPECT_EQ(r.Header("Cookie"), "a=b");
  EXPECT_EQ(r.Header("Referer"), "http://page/");
  EXPECT_EQ(r.Header("Range"), "-");
  EXPECT_EQ(r.Header("If-None-Match"), "-");
  EXPECT_EQ(r.Header("Accept-Encoding"), "identity");
  EXPECT_EQ(r.Header("Content-Length"), "-");  // a GET has no body, not an empty one

  // A POST goes again with its body; a second download of the same file gets a number.
  const Outcome post = Download("POST /get.php HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server.port()) +
                                "\r\nContent-Length: 9\r\n\r\nid=7&k=\xA5\xFE" "z");
  ASSERT_TRUE(post.ok) << post.Text();
  ASSERT_EQ(server.requests.size(), 2u);
  EXPECT_EQ(server.requests[1].Line(), "POST /get.php HTTP/1.1");
  EXPECT_EQ(server.requests[1].body, "id=7&k=\0z"s);
  EXPECT_EQ(server.requests[1].Header("Content-Length"), "9");
  ASSERT_TRUE(Download(server.Url("/v/clip.mp4")).ok);
  EXPECT_EQ(Files(), (std::vector<std::string>{"clip(1).mp4", "clip.mp4", "get.php"}));
}

// A server that breaks the first answer off in the middle, and answers the next request in one of
// the ways servers do.
TEST_F(TransferTest, ABreakIsContinuedWithARangeOrStartedOver) {
  const std::string content = RandomBytes(2 << 20, 2);
  const std::string changed = RandomBytes(1 << 20, 12);  // what the server holds after kChanged
  enum class Mode { kRanges, kNoRanges, kWrongRange, kIgnoresIfRange, kChanged };
  for (Mode mode : {Mode::kRanges, Mode::kNoRanges, Mode::kWrongRange, Mode::kIgnoresIfRange, Mode::kChanged}) {
    SCOPED_TRACE(static_cast<int>(mode));
    TestServer server([&](const SeenRequest& r, QTcpSocket* socket) {
      const std::string range = r.Header("Range");
      const std::string whole = "Content-Length: " + std::to_string(content.size()) + "\r\nETag: \"v1\"\r\n";
      if (range == "-" && (mode != Mode::kWrongRange || r.Header("X-Second") == "-")) {
        if (server.requests.size() == 1) {  // the first answer stops after 700000 bytes
          const std::string head = "HTTP/1.1 200 OK\r\n" + whole + "\r\n";
          socket->write((head + content.substr(0, 700000)).data(), static_cast<qint64>(head.size() + 700000));
          socket->disconnectFromHost();  // once written: short of the length it announced
          return;
        }
        return Answer(socket, "200 OK", whole, content);
      }
      const std::size_t from = std::stoul(range.substr(6));
      switch (mode) {
        case Mode::kRanges:
        case Mode::kIgnoresIfRange:
          return Answer(socket, "206 Partial Content",
                        "Content-Range: bytes " + std::to_string(from) + "-" + std::to_string(content.size() - 1) + "/" +
                            std::to_string(content.size()) + "\r\nContent-Length: " +
                            std::to_string(content.size() - from) + "\r\n",
                        content.substr(from));
        case Mode::kNoRanges:
          return Answer(socket, "200 OK", whole, content);
        case Mode::kChanged:  // the If-Range no longer matches: the new file, whole
          return Answer(socket, "200 OK",
                        "Accept-Ranges: bytes\r\nContent-Length: " + std::to_string(changed.size()) + "\r\nETag: \"v2\"\r\n",
                        changed);
        case Mode::kWrongRange:  // a part from somewhere else
          return Answer(socket, "206 Partial Content",
                        "Content-Range: bytes 0-99/" + std::to_string(content.size()) + "\r\nContent-Length: 100\r\n",
                        content.substr(0, 100));
      }
    });
    const Outcome o = Download(server.Url("/big" + std::to_string(static_cast<int>(mode)) + ".bin"));
    ASSERT_TRUE(o.ok) << o.Text();
    const std::string name = "big" + std::to_string(static_cast<int>(mode)) + ".bin";
    EXPECT_TRUE(Saved(name) == (mode == Mode::kChanged ? changed : content));
    const QString restart = o.notes.filter(QStringLiteral("从头下载")).join(' ');
    if (mode == Mode::kChanged) {
      EXPECT_TRUE(restart.contains(QStringLiteral("服务器上的文件已经改变"))) << o.Text();
    } else if (mode == Mode::kNoRanges) {
      EXPECT_TRUE(restart.contains(QStringLiteral("服务器不支持续传"))) << o.Text();
    }
    EXPECT_FALSE(fs::exists(dir.File("dl/" + name + ".part")));
    ASSERT_GE(server.requests.size(), 2u) << o.Text();
    const SeenRequest& second = server.requests[1];
    ASSERT_EQ(second.Header("Range").rfind("bytes=", 0), 0u) << second.head << "\n" << o.Text();
    EXPECT_EQ(second.Header("Range"), "bytes=700000-");
    EXPECT_EQ(second.Header("If-Range"), "\"v1\"");
    if (mode == Mode::kWrongRange) {
      ASSERT_EQ(server.requests.size(), 3u);
      EXPECT_EQ(server.requests[2].Header("Range"), "-");
    }
  }
}

// A server on a thread of its own that sends an endless body without length as fast as loopback
// takes it, and counts what the connection took from it.
class FloodServer {
 public:
  FloodServer() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(listener_, 1) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      return;
    }
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] {
      const int c = ::accept(listener_, nullptr, nullptr);
      if (c < 0) return;
      char head[4096];
      [[maybe_unused]] const ssize_t n = ::recv(c, head, sizeof head, 0);
      const std::string answer = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n";
      const std::string block(1 << 20, 'f');
      bool ok = ::send(c, answer.data(), answer.size(), MSG_NOSIGNAL) > 0;
      while (ok && !stop_) {
        const ssize_t w = ::send(c, block.data(), block.size(), MSG_NOSIGNAL);
        ok = w > 0;
        if (ok) sent += static_cast<std::uint64_t>(w);
      }
      ::close(c);
    });
  }
  ~FloodServer() {
    stop_ = true;
    ::shutdown(listener_, SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
    ::close(listener_);
  }
  std::string Url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }

  std::atomic<std::uint64_t> sent{0};

 private:
  int listener_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// The same flood over TLS: Python's ssl module in a process of its own, which writes a line for every
// MiB that went out.
class TlsFloodServer {
 public:
  TlsFloodServer(const std::string& cert, const std::string& key) {
    const std::string script =
        "import socket, ssl, sys\n"
        "ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)\n"
        "ctx.load_cert_chain(sys.argv[1], sys.argv[2])\n"
        "srv = socket.socket()\n"
        "srv.bind(('127.0.0.1', 0))\n"
        "srv.listen(1)\n"
        "print(srv.getsockname()[1], flush=True)\n"
        "s = ctx.wrap_socket(srv.accept()[0], server_side=True)\n"
        "head = b''\n"
        "while b'\\r\\n\\r\\n' not in head:\n"
        "    head += s.recv(65536)\n"
        "s.sendall(b'HTTP/1.1 200 OK\\r\\nContent-Type: application/octet-stream\\r\\n\\r\\n')\n"
        "block = b'f' * (1 << 20)\n"
        "while True:\n"
        "    s.sendall(block)\n"
        "    print('+', flush=True)\n";
    process_.start(QStringLiteral("python3"), {"-c", QString::fromStdString(script), QString::fromStdString(cert),
                                               QString::fromStdString(key)});
    if (process_.waitForReadyRead(20000)) port_ = process_.readLine().trimmed().toStdString();
  }
  ~TlsFloodServer() {
    process_.kill();
    process_.waitForFinished(10000);
  }
  std::string Url(const std::string& path) const { return "https://127.0.0.1:" + port_ + path; }
  // The MiB that went out so far (the one on its way not counted).
  std::uint64_t Sent() {
    sent_ += static_cast<std::uint64_t>(process_.readAllStandardOutput().count('+')) << 20;
    return sent_;
  }

 private:
  QProcess process_;
  std::string port_;
  std::uint64_t sent_ = 0;
};

// A network faster than the disk: the download takes from the connection only as much as the file
// has taken plus a bounded buffer, and TCP holds the server back; nothing piles up in memory.
TEST_F(TransferTest, ANetworkFasterThanTheDiskIsHeldBackByWhatTheFileTakes) {
  QSslConfiguration serverConfig;
  ASSERT_NO_FATAL_FAILURE(MakeCertificate(serverConfig));
  const QSslConfiguration saved = QSslConfiguration::defaultConfiguration();
  QSslConfiguration trusting = saved;
  trusting.addCaCertificate(serverConfig.localCertificate());
  QSslConfiguration::setDefaultConfiguration(trusting);
  network.clearConnectionCache();
  EnvVar slowDisk("DORRINEL_BENCH_DISK_BYTES_PER_SECOND", std::to_string(8 << 20));

  FloodServer plain;
  TlsFloodServer tls(dir.File("cert.pem"), dir.File("key.pem"));
  const std::pair<std::string, std::function<std::uint64_t()>> servers[] = {
      {plain.Url("/endless.bin"), [&] { return plain.sent.load(); }},
      {tls.Url("/endless.bin"), [&] { return tls.Sent(); }},
  };
  for (const auto& [url, sentSoFar] : servers) {
    SCOPED_TRACE(url);
    std::uint64_t written = 0, sent = 0;
    const Outcome o = Download(url, 60000, [&](Transfer& t) {
      EXPECT_TRUE(WaitUntil([&] {
        const std::string part = dir.File("dl/endless.bin.part");
        return fs::exists(part) && fs::file_size(part) >= (16u << 20);
      }));
      std::error_code missing;
      written = fs::file_size(dir.File("dl/endless.bin.part"), missing);
      sent = sentSoFar();
      t.Cancel();
    });
    EXPECT_TRUE(o.message.contains(QStringLiteral("取消"))) << o.Text();
    // Qt's read buffer (4 MiB) and the sockets' buffers on both sides: some MB. Without the bound Qt
    // takes what loopback gives (here some 100 MB a second).
    EXPECT_GE(sent + (1u << 20), written);
    EXPECT_LT(sent, written + (32u << 20)) << "sent " << sent << ", written " << written;
  }
  QSslConfiguration::setDefaultConfiguration(saved);
}

TEST_F(TransferTest, AServerThatNeverEndsIsStoppedByTheCapOrByCancel) {
  TestServer server([](const SeenRequest&, QTcpSocket* socket) {
    KeepSending(socket, "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n", std::string(64 << 10, 'x'), 2);
  });
  limits.maxBytes = 3 << 20;
  const Outcome capped = Download(server.Url("/endless.bin"));
  EXPECT_FALSE(capped.ok);
  EXPECT_TRUE(capped.message.contains(QStringLiteral("超过上限"))) << capped.Text();
  EXPECT_EQ(Files(), std::vector<std::string>{});

  // A length over the cap is refused before anything is written.
  TestServer big([](const SeenRequest&, QTcpSocket* socket) {
    KeepSending(socket, "HTTP/1.1 200 OK\r\nContent-Length: 999999999999\r\n\r\n", "y", 10);
  });
  const Outcome refused = Download(big.Url("/huge.iso"));
  EXPECT_FALSE(refused.ok);
  EXPECT_TRUE(refused.message.contains(QStringLiteral("999999999999"))) << refused.Text();

  limits.maxBytes = 0;
  const Outcome cancelled = Download(server.Url("/endless.bin"), 30000, [&](Transfer& t) {
    WaitUntil([&] { return fs::exists(dir.File("dl/endless.bin.part")) && fs::file_size(dir.File("dl/endless.bin.part")) > (1 << 20); });
    t.Cancel();
  });
  EXPECT_FALSE(cancelled.ok);
  EXPECT_TRUE(cancelled.message.contains(QStringLiteral("取消"))) << cancelled.Text();
  EXPECT_EQ(Files(), std::vector<std::string>{});
}

TEST_F(TransferTest, ADrippingOrSilentServerIsGivenUpAndThePartKept) {
  TestServer drip([](const SeenRequest&, QTcpSocket* socket) {
    KeepSending(socket, "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n", "d", 300);
  });
  limits.lowSpeedBytes = 100;
  limits.lowSpeedSeconds = 2;
  const Outcome slow = Download(drip.Url("/slow.bin"));
  EXPECT_FALSE(slow.ok);
  EXPECT_TRUE(slow.message.contains(QStringLiteral("太慢"))) << slow.Text();
  EXPECT_EQ(Files(), std::vector<std::string>{"slow.bin.part"});

  TestServer silent([](const SeenRequest&, QTcpSocket* socket) {
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc";
    socket->write(head.data(), static_cast<qint64>(head.size()));
  });
  limits.lowSpeedSeconds = 600;
  limits.idleSeconds = 1;
  const Outcome idle = Download(silent.Url("/silent.bin"));
  EXPECT_FALSE(idle.ok);
  EXPECT_TRUE(idle.message.contains(QStringLiteral("没有发送数据"))) << idle.Text();
  EXPECT_TRUE(idle.message.contains(QStringLiteral("silent.bin.part"))) << idle.Text();
  EXPECT_EQ(Saved("silent.bin.part"), "abc");
}

TEST_F(TransferTest, HostileNamesAndLinksStayInsideTheFolder) {
  TestServer server([](const SeenRequest& r, QTcpSocket* socket) {
    Answer(socket, "200 OK", "Content-Length: " + std::to_string(r.Target().size()) + "\r\n", r.Target());
  });
  fs::create_symlink(dir.File("outside.mp3"), dir.File("dl/song.mp3"));  // dangling, named like the download
  const std::string long1000(1000, 'L');
  const std::string long253(253, 'M');
  const std::pair<std::string, std::string> cases[] = {
      {"/song.mp3", "song(1).mp3"},
      {"/../../outside2.mp3", "outside2.mp3"},
      {"/a/%2e%2e%2f%2e%2e%2fetc%2fpasswd", "passwd"},
      {"/x%2F..%2F..%2Fboot.ini", "boot.ini"},
      {"/%2Ftmp%2Fabs.txt", "abs.txt"},
      {"/dir\\..\\..\\win.ini", "win.ini"},
      {"/a%00b%01c.txt", "a_b_c.txt"},
      {"/evil%E2%80%AEgpj.exe", "evil_gpj.exe"},
      {"/%2e%2e", "download.bin"},
      {"/" + long1000 + ".mp3", std::string(236, 'L') + ".mp3"},
      {"/" + long253, std::string(240, 'M')},
  };
  for (const auto& [target, name] : cases) {
    SCOPED_TRACE(target.substr(0, 40));
    const Outcome o = Download("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server.port()) + "\r\n\r\n");
    ASSERT_TRUE(o.ok) << o.Text();
    EXPECT_EQ(o.path.toStdString(), dir.File("dl/" + name));
    EXPECT_EQ(Saved(name), server.requests.back().Target());
  }
  // Nothing beside the folder, nothing through the link.
  std::vector<std::string> outside;
  for (const auto& e : fs::directory_iterator(dir.Path())) outside.push_back(e.path().filename().string());
  EXPECT_EQ(outside, std::vector<std::string>{"dl"});
  EXPECT_TRUE(fs::is_symlink(dir.File("dl/song.mp3")));
  EXPECT_EQ(Files().size(), std::size(cases) + 1);
}

TEST_F(TransferTest, RedirectsAreFollowedShownAndKeepCredentialsAtHome) {
  const std::string content = RandomBytes(100000, 3);
  TestServer other(Serve(content));
  TestServer server([&](const SeenRequest& r, QTcpSocket* socket) {
    if (r.Target() == "/old") return Answer(socket, "302 Found", "Location: /mid?x=1\r\nContent-Length: 0\r\n", "");
    if (r.Target() == "/mid?x=1") {
      return Answer(socket, "307 Temporary Redirect", "Location: " + other.Url("/files/song.bin") + "\r\nContent-Length: 0\r\n", "");
    }
    if (r.Target() == "/loop") return Answer(socket, "301 Moved", "Location: /loop\r\nContent-Length: 0\r\n", "");
    if (r.Target() == "/away") return Answer(socket, "302 Found", "Location: file:///etc/passwd\r\nContent-Length: 0\r\n", "");
    Answer(socket, "404 Not Found", "Content-Length: 0\r\n", "");
  });
  const Outcome o = Download("GET /old HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server.port()) +
                             "\r\nCookie: secret=1\r\nAuthorization: Basic eDp5\r\nUser-Agent: UA\r\n\r\n");
  ASSERT_TRUE(o.ok) << o.Text();
  EXPECT_EQ(Files(), std::vector<std::string>{"old"});  // named after the address that was asked for
  EXPECT_TRUE(Saved("old") == content);
  ASSERT_EQ(server.requests.size(), 2u);
  EXPECT_EQ(server.requests[1].Header("Cookie"), "secret=1");
  ASSERT_EQ(other.requests.size(), 1u);
  EXPECT_EQ(other.requests[0].Target(), "/files/song.bin");
  EXPECT_EQ(other.requests[0].Header("Cookie"), "-");
  EXPECT_EQ(other.requests[0].Header("Authorization"), "-");
  EXPECT_EQ(other.requests[0].Header("User-Agent"), "UA");
  EXPECT_TRUE(o.notes.filter(QStringLiteral("重定向")).size() == 2) << o.Text();
  EXPECT_TRUE(o.notes.join(' ').contains(QString::fromStdString(other.Url("/files/song.bin")))) << o.Text();

  const Outcome loop = Download(server.Url("/loop"));
  EXPECT_FALSE(loop.ok);
  EXPECT_TRUE(loop.message.contains(QStringLiteral("重定向次数过多"))) << loop.Text();
  const Outcome away = Download(server.Url("/away"));
  EXPECT_FALSE(away.ok);
  EXPECT_TRUE(away.message.contains(QStringLiteral("file:///etc/passwd"))) << away.Text();
  EXPECT_EQ(Files(), std::vector<std::string>{"old"});
}

// Two loopback ports are two origins. A captured login (secrets in its headers and a password in its
// body) sent to another site by a 307 is refused; a GET sent there by a 302 takes only the
// harmless headers along. Within one origin everything goes on as captured.
TEST_F(TransferTest, AnotherSiteGetsNeitherTheSecretsNorTheBody) {
  const std::string content = RandomBytes(50000, 10);
  TestServer other(Serve(content));
  TestServer home([&](const SeenRequest& r, QTcpSocket* socket) {
    if (r.Target() == "/login") {
      return Answer(socket, "307 Temporary Redirect", "Location: " + other.Url("/collect") + "\r\nContent-Length: 0\r\n", "");
    }
    if (r.Target() == "/file") {
      return Answer(socket, "302 Found", "Location: " + other.Url("/files/f.bin") + "\r\nContent-Length: 0\r\n", "");
    }
    if (r.Target() == "/save") return Answer(socket, "307 Temporary Redirect", "Location: /saved\r\nContent-Length: 0\r\n", "");
    Answer(socket, "200 OK", "Content-Length: " + std::to_string(content.size()) + "\r\n", content);
  });
  const std::string secrets = "\r\nHost: 127.0.0.1:" + std::to_string(home.port()) +
                              "\r\nCookie: sid=cookie-secret\r\nAuthorization: Bearer auth-secret\r\nX-Api-Key: key-secret"
                              "\r\nX-CSRF-Token: csrf-secret\r\nUser-Agent: UA/1\r\nAccept: */*\r\nAccept-Language: zh-CN"
                              "\r\nReferer: http://127.0.0.1:" + std::to_string(home.port()) + "/form?u=1\r\n";
  const std::string body = "user=a&password=body-secret";
  const std::string post = secrets + "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                           std::to_string(body.size()) + "\r\n\r\n" + body;

  const Outcome login = Download("POST /login HTTP/1.1" + post);
  EXPECT_FALSE(login.ok);
  EXPECT_TRUE(login.message.contains(QStringLiteral("另一个网站")) &&
              login.message.contains(QString::fromStdString(other.Url("/collect"))))
      << login.Text();
  EXPECT_TRUE(other.requests.empty());
  EXPECT_EQ(Files(), std::vector<std::string>{});

  const Outcome file = Download("GET /file HTTP/1.1" + secrets + "\r\n");
  ASSERT_TRUE(file.ok) << file.Text();
  EXPECT_TRUE(Saved("file") == content);
  ASSERT_EQ(other.requests.size(), 1u);
  const SeenRequest& there = other.requests[0];
  EXPECT_EQ(there.Line(), "GET /files/f.bin HTTP/1.1");
  // Header by header: the allow-list, what HTTP itself needs, and Qt's own "no cache" pair.
  const std::set<std::string> allowed = {"host",   "connection",      "accept-encoding", "cache-control", "pragma",
                                         "accept", "accept-language", "user-agent",      "referer"};
  for (std::size_t at = there.head.find("\r\n"); at != std::string::npos; at = there.head.find("\r\n", at + 2)) {
    std::string name = there.head.substr(at + 2, there.head.find(':', at) - at - 2);
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_TRUE(allowed.count(name)) << name << " reached the other site:\n" << there.head;
  }
  EXPECT_EQ(there.head.find("secret"), std::string::npos) << there.head;
  EXPECT_EQ(there.Header("User-Agent"), "UA/1");
  EXPECT_EQ(there.Header("Accept"), "*/*");
  EXPECT_EQ(there.Header("Accept-Language"), "zh-CN");
  EXPECT_EQ(there.Header("Referer"), "http://127.0.0.1:" + std::to_string(home.port()) + "/");  // the page's origin only
  EXPECT_EQ(there.Header("Content-Length"), "-");
  EXPECT_TRUE(there.body.empty());

  // The same origin: the body and every captured header go on.
  const Outcome save = Download("POST /save HTTP/1.1" + post);
  ASSERT_TRUE(save.ok) << save.Text();
  const SeenRequest& again = home.requests.back();
  EXPECT_EQ(again.Line(), "POST /saved HTTP/1.1");
  EXPECT_EQ(again.body, body);
  EXPECT_EQ(again.Header("X-Api-Key"), "key-secret");
  EXPECT_EQ(again.Header("Cookie"), "sid=cookie-secret");
  EXPECT_EQ(other.requests.size(), 1u);
}

// An answer whose length cannot be trusted is not saved as a file, whole or partial.
TEST_F(TransferTest, AnAnswerWithoutOneTrustworthyLengthIsRefused) {
  const std::string body = "0123456789";
  TestServer server([&](const SeenRequest& r, QTcpSocket* socket) {
    const std::string name = r.Target().substr(1);
    const std::string lengths = name == "two"        ? "Content-Length: 3\r\nContent-Length: 10\r\n"
                                : name == "joined"   ? "Content-Length: 3, 10\r\n"
                                : name == "negative" ? "Content-Length: -5\r\n"
                                : name == "overflow" ? "Content-Length: 99999999999999999999\r\n"
                                : name == "wraps"    ? "Content-Length: 18446744073709551619\r\n"
                                : name == "same"     ? "Content-Length: 10\r\nContent-Length: 10\r\n"
                                                     : "Content-Length: 10\r\n";
    Answer(socket, "200 OK", lengths, body);
  });
  for (const char* name : {"two", "joined", "negative", "overflow", "wraps"}) {
    SCOPED_TRACE(name);
    const Outcome o = Download(server.Url(std::string("/") + name));
    EXPECT_FALSE(o.ok);
    EXPECT_TRUE(o.message.contains(QStringLiteral("Content-Length"))) << o.Text();
    EXPECT_EQ(Files(), std::vector<std::string>{});
  }
  const Outcome same = Download(server.Url("/same"));
  ASSERT_TRUE(same.ok) << same.Text();
  EXPECT_EQ(Saved("same"), body);
}

// The characters a saved name loses are exactly the invisible ones: every format character, C1
// control and line or paragraph separator that Qt's Unicode tables know, and nothing else.
TEST(SavedNameTest, InvisibleCharactersAreReplacedAndNoOthers) {
  for (char32_t c = 0x80; c <= 0x10FFFF; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    const QChar::Category category = QChar::category(c);
    if (category == QChar::Other_NotAssigned) continue;  // newer Unicode than Qt's: no verdict
    const bool hidden = category == QChar::Other_Format || category == QChar::Other_Control ||
                        category == QChar::Separator_Line || category == QChar::Separator_Paragraph;
    std::string utf8;  // by hand: Qt's UTF-32 decoder would take U+FEFF for a byte order mark
    if (c < 0x800) {
      utf8 = {static_cast<char>(0xC0 | (c >> 6)), static_cast<char>(0x80 | (c & 0x3F))};
    } else if (c < 0x10000) {
      utf8 = {static_cast<char>(0xE0 | (c >> 12)), static_cast<char>(0x80 | ((c >> 6) & 0x3F)), static_cast<char>(0x80 | (c & 0x3F))};
    } else {
      utf8 = {static_cast<char>(0xF0 | (c >> 18)), static_cast<char>(0x80 | ((c >> 12) & 0x3F)),
              static_cast<char>(0x80 | ((c >> 6) & 0x3F)), static_cast<char>(0x80 | (c & 0x3F))};
    }
    const std::string encoded = QByteArray::fromStdString("/a" + utf8 + "b.txt").toPercentEncoding("/").toStdString();
    const std::string name = FileNameFromTarget(encoded);
    EXPECT_EQ(name, hidden ? "a_b.txt" : "a" + utf8 + "b.txt") << "U+" << std::hex << static_cast<unsigned>(c);
    if (HasFailure()) break;
  }
}

TEST_F(TransferTest, HttpsIsFetchedFromATrustedServerAndRefusedFromAnUntrustedOne) {
  QSslConfiguration serverConfig;
  ASSERT_NO_FATAL_FAILURE(MakeCertificate(serverConfig));
  const QSslCertificate cert = serverConfig.localCertificate();

  const std::string content = RandomBytes(500000, 7);
  auto tls = std::make_unique<QSslServer>();
  tls->setSslConfiguration(serverConfig);
  TestServer server(Serve(content), std::move(tls), "https");

  const Outcome untrusted = Download(server.Url("/secure.bin"));
  EXPECT_FALSE(untrusted.ok);
  EXPECT_TRUE(untrusted.message.contains(QStringLiteral("安全连接失败"))) << untrusted.Text();
  EXPECT_EQ(Files(), std::vector<std::string>{});

  const QSslConfiguration saved = QSslConfiguration::defaultConfiguration();
  QSslConfiguration trusting = saved;
  trusting.addCaCertificate(cert);
  QSslConfiguration::setDefaultConfiguration(trusting);
  network.clearConnectionCache();
  const Outcome trusted = Download(server.Url("/secure.bin"));
  QSslConfiguration::setDefaultConfiguration(saved);
  ASSERT_TRUE(trusted.ok) << trusted.Text();
  EXPECT_TRUE(Saved("secure.bin") == content);
}

TEST_F(TransferTest, AFloodOfInterimAnswersEndsCleanly) {
  const std::string content = RandomBytes(50000, 4);
  std::string flood;
  for (int i = 0; i < 20000; ++i) flood += "HTTP/1.1 100 Continue\r\n\r\n";
  TestServer server([&](const SeenRequest&, QTcpSocket* socket) {
    socket->write(flood.data(), static_cast<qint64>(flood.size()));
    Answer(socket, "200 OK", "Content-Length: " + std::to_string(content.size()) + "\r\n", content);
  });
  const Outcome o = Download(server.Url("/after-flood.bin"));
  ASSERT_TRUE(o.finished);
  if (o.ok) {
    EXPECT_TRUE(Saved("after-flood.bin") == content);
  } else {
    EXPECT_EQ(Files(), std::vector<std::string>{}) << o.Text();
  }
}

TEST_F(TransferTest, FailuresAreToldAndLeaveNothing) {
  TestServer server([](const SeenRequest& r, QTcpSocket* socket) {
    if (r.Target() == "/garbage") {
      socket->write("SSH-2.0-OpenSSH_9.2\r\n\r\n");
      return socket->disconnectFromHost();
    }
    Answer(socket, "404 Not Found", "Content-Length: 9\r\n", "not found");
  });
  QTcpServer closed;
  closed.listen(QHostAddress::LocalHost, 0);
  const quint16 closedPort = closed.serverPort();
  closed.close();
  const std::pair<std::string, QString> cases[] = {
      {server.Url("/missing.bin"), QStringLiteral("HTTP 404")},
      {"http://127.0.0.1:" + std::to_string(closedPort) + "/a.bin", QStringLiteral("连接被拒绝")},
      {server.Url("/garbage"), QStringLiteral("无法读取")},
      {"http://no-such-host.invalid/a.bin", QStringLiteral("找不到服务器")},
  };
  for (const auto& [url, text] : cases) {
    SCOPED_TRACE(url);
    const Outcome o = Download(url);
    EXPECT_FALSE(o.ok);
    EXPECT_TRUE(o.message.contains(text)) << o.Text();
  }
  EXPECT_EQ(Files(), std::vector<std::string>{});
}

// ---- The window ----------------------------------------------------------------------------------

struct WindowOutcome {
  bool finished = false;
  bool ok = false;
  QString message;
};

WindowOutcome RunWindow(DownloaderWindow& window, const std::function<bool()>& start) {
  WindowOutcome o;
  QObject::connect(&window, &DownloaderWindow::Finished, [&](bool ok, const QString& message, const QString&) {
    o.finished = true;
    o.ok = ok;
    o.message = message;
  });
  start();
  EXPECT_TRUE(WaitUntil([&] { return o.finished; }));
  return o;
}

TEST_F(TransferTest, TheWindowTakesTheClipboardAsCtrlEAndTheDoubleClickHandIt) {
  const std::string content = RandomBytes(200000, 5);
  TestServer server(Serve(content));
  DownloaderWindow window(QString::fromStdString(dir.File("dl")), limits);

  // The payload text as Quelvar puts it on the clipboard: GBK turned into Unicode, option bytes and all
  // (the last one pairs with the 'G' into one character).
  const std::string payload = "\x01\x01\x08\x0A\xA5\xFE\x11\x22\x33\x44\x55\x66\xB7"s +
                              "GET /%D6%D0%CE%C4.bin HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server.port()) +
                              "\r\nUser-Agent: \xB2\xE2\xCA\xD4\r\n\r\n";
  QStringDecoder fromGbk("GBK");
  QGuiApplication::clipboard()->setText(fromGbk.decode(QByteArray(payload.data(), static_cast<qsizetype>(payload.size()))));
  const WindowOutcome clip = RunWindow(window, [&] {
    window.StartFromClipboard();
    return true;
  });
  ASSERT_TRUE(clip.ok) << clip.message.toStdString();
  EXPECT_TRUE(Saved("中文.bin") == content);
  EXPECT_EQ(server.requests.back().Header("User-Agent"), "\xB2\xE2\xCA\xD4");

  // A plain address, as the double click hands it (clipboard or first argument).
  const WindowOutcome address = RunWindow(window, [&] { return window.StartText(QString::fromStdString(server.Url("/plain.bin"))); });
  ASSERT_TRUE(address.ok) << address.message.toStdString();
  EXPECT_TRUE(Saved("plain.bin") == content);
  EXPECT_TRUE(window.ProgressText().isEmpty() || window.ProgressText().contains(QStringLiteral("已下载")));
  EXPECT_EQ(window.AddressText().toStdString(), server.Url("/plain.bin"));

  // An address whose escapes hide a right-to-left override is shown escaped, and saved without it.
  const WindowOutcome evil = RunWindow(window, [&] { return window.StartText(QString::fromStdString(server.Url("/evil%E2%80%AEgpj.exe"))); });
  ASSERT_TRUE(evil.ok) << evil.message.toStdString();
  EXPECT_EQ(window.AddressText().toStdString(), server.Url("/evil%E2%80%AEgpj.exe"));
  EXPECT_TRUE(Saved("evil_gpj.exe") == content);

  const std::pair<QString, QString> refused[] = {
      {QStringLiteral("HTTP/1.1 200 OK\r\n\r\n"), QStringLiteral("既不是HTTP请求")},
      {QStringLiteral("ftp://h.example/a.zip"), QStringLiteral("不支持")},
      {QStringLiteral("GET /a HTTP/1.1\r\n\r\n"), QStringLiteral("没有Host头")},
      {QString(), QStringLiteral("没有数据包")},
  };
  for (const auto& [text, why] : refused) {
    const WindowOutcome o = RunWindow(window, [&] { return window.StartText(text); });
    EXPECT_FALSE(o.ok);
    EXPECT_TRUE(o.message.contains(why)) << o.message.toStdString();
    EXPECT_EQ(window.MessageText(), o.message);
  }
  EXPECT_EQ(Files(), (std::vector<std::string>{"evil_gpj.exe", "plain.bin", "中文.bin"}));
}

// Rows handed over one after the other (Ctrl+E on several rows) wait their turn instead of being lost.
TEST_F(TransferTest, RequestsHandedOverWhileOneRunsWaitTheirTurn) {
  const std::string content = RandomBytes(300000, 9);
  TestServer server([&](const SeenRequest& r, QTcpSocket* socket) {
    if (r.Target() != "/first.bin") {
      return Answer(socket, "200 OK", "Content-Length: " + std::to_string(content.size()) + "\r\n", content);
    }
    // The first one takes a while: its second half comes half a second later.
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(content.size()) + "\r\n\r\n";
    socket->write((head + content.substr(0, 1000)).data(), static_cast<qint64>(head.size() + 1000));
    QTimer::singleShot(500, socket, [socket, &content] {
      socket->write(content.data() + 1000, static_cast<qint64>(content.size() - 1000));
      socket->disconnectFromHost();
    });
  });
  DownloaderWindow window(QString::fromStdString(dir.File("dl")), limits);
  std::vector<std::string> done;
  QObject::connect(&window, &DownloaderWindow::Finished, [&](bool ok, const QString&, const QString& path) {
    done.push_back(ok ? fs::path(path.toStdString()).filename().string() : "failed");
  });
  for (const char* name : {"/first.bin", "/second.bin", "/third.bin", "/first.bin"}) {
    EXPECT_TRUE(window.StartText(QString::fromStdString(server.Url(name))));
  }
  EXPECT_TRUE(window.MessageText().contains(QStringLiteral("队列"))) << window.MessageText().toStdString();
  ASSERT_TRUE(WaitUntil([&] { return done.size() == 4; }));
  EXPECT_EQ(done, (std::vector<std::string>{"first.bin", "second.bin", "third.bin", "first(1).bin"}));
  for (const char* name : {"first.bin", "second.bin", "third.bin", "first(1).bin"}) EXPECT_TRUE(Saved(name) == content) << name;
}

// A window that takes a download comes forward, even from minimised; after the end it offers the file
// and its folder, after a failure another try (which continues what it has); a chosen folder is used
// from the next download on and remembered by the downloader's own settings.
TEST_F(TransferTest, TheWindowComesForwardOffersWhatFollowsAndRemembersItsFolder) {
  EnvVar config("XDG_CONFIG_HOME", dir.File("config"));
  EnvVar noOverride(kDownloadDirVariable, nullptr);
  const std::string content = RandomBytes(150000, 11);
  int calls = 0;
  TestServer server([&](const SeenRequest&, QTcpSocket* socket) {
    if (++calls == 1) return Answer(socket, "503 Service Unavailable", "Content-Length: 0\r\n", "");
    Answer(socket, "200 OK", "Content-Length: " + std::to_string(content.size()) + "\r\n", content);
  });
  DownloaderWindow window(QString::fromStdString(dir.File("dl")), limits);
  std::vector<QUrl> opened;
  window.SetOpener([&](const QUrl& url) {
    opened.push_back(url);
    return true;
  });
  auto button = [&](const char* name) {
    auto* b = window.findChild<QPushButton*>(QString::fromLatin1(name));
    EXPECT_NE(b, nullptr) << name;
    return b;
  };
  auto shown = [&](const char* name) { return button(name)->isVisibleTo(&window); };

  window.showMinimized();
  ASSERT_TRUE(WaitUntil([&] { return window.isMinimized(); }, 5000));
  const QString url = QString::fromStdString(server.Url("/dir/song.ogg"));
  const WindowOutcome failed = RunWindow(window, [&] {
    const bool taken = window.StartText(url);
    EXPECT_FALSE(window.isMinimized());
    EXPECT_TRUE(window.isVisible());
    return taken;
  });
  ASSERT_FALSE(failed.ok);
  EXPECT_TRUE(shown("retry"));
  EXPECT_FALSE(shown("openFile"));
  EXPECT_FALSE(shown("openFolder"));

  const WindowOutcome retried = RunWindow(window, [&] {
    button("retry")->click();
    return true;
  });
  ASSERT_TRUE(retried.ok) << retried.message.toStdString();
  EXPECT_TRUE(Saved("song.ogg") == content);
  EXPECT_FALSE(shown("retry"));
  ASSERT_TRUE(shown("openFile") && shown("openFolder"));
  button("openFile")->click();
  button("openFolder")->click();
  EXPECT_EQ(opened, (std::vector<QUrl>{QUrl::fromLocalFile(QString::fromStdString(dir.File("dl/song.ogg"))),
                                       QUrl::fromLocalFile(QString::fromStdString(dir.File("dl")))}));

  // The folder chosen: the next download goes there, and a window started without a folder takes it.
  const QString chosen = QString::fromStdString(dir.File("chosen"));
  window.SetFolder(chosen);
  const WindowOutcome there = RunWindow(window, [&] { return window.StartText(url); });
  ASSERT_TRUE(there.ok) << there.message.toStdString();
  EXPECT_TRUE(ReadBytes(dir.File("chosen/song.ogg")) == content);
  EXPECT_EQ(DownloaderWindow(QString(), limits).Folder(), chosen);
  EnvVar overridden(kDownloadDirVariable, dir.File("env"));
  EXPECT_EQ(DownloaderWindow(QString(), limits).Folder().toStdString(), dir.File("env"));
}

// Without a folder of its own choosing the window takes the desktop's download folder.
TEST_F(TransferTest, WithoutAChosenFolderTheDesktopsDownloadFolderIsTaken) {
  EnvVar config("XDG_CONFIG_HOME", dir.File("config"));
  EnvVar home("HOME", dir.File("home"));
  EnvVar noOverride(kDownloadDirVariable, nullptr);
  EnvVar noVariable("XDG_DOWNLOAD_DIR", nullptr);
  fs::create_directories(dir.File("home/Downloads"));
  EXPECT_EQ(DownloaderWindow::DefaultFolder().toStdString(), dir.File("home/Downloads"));
  fs::create_directories(dir.File("config"));
  WriteBytes(dir.File("config/user-dirs.dirs"), "XDG_DOWNLOAD_DIR=\"$HOME/下载\"\n");
  EXPECT_EQ(DownloaderWindow::DefaultFolder().toStdString(), dir.File("home/下载"));
}

TEST_F(TransferTest, StreamsAreRecordedWithFfmpegOrThePackageIsNamed) {
  {
    EnvVar path("PATH", dir.File("empty-bin"));
    DownloaderWindow window(QString::fromStdString(dir.File("dl")), limits);
    const WindowOutcome o = RunWindow(window, [&] { return window.StartText(QStringLiteral("rtsp://127.0.0.1:1/live/ch1")); });
    EXPECT_FALSE(o.ok);
    EXPECT_TRUE(o.message.contains(QStringLiteral("apt install ffmpeg"))) << o.message.toStdString();
    EXPECT_EQ(Files(), std::vector<std::string>{});
  }
  const QString ffmpeg = QStandardPaths::findExecutable(QStringLiteral("ffmpeg"));
  if (ffmpeg.isEmpty()) GTEST_SKIP() << "ffmpeg is not installed (Debian package ffmpeg)";

  // A short HLS stream made here, served by the test's server.
  const std::string www = dir.File("www");
  fs::create_directories(www);
  QProcess make;
  make.setWorkingDirectory(QString::fromStdString(www));
  make.start(ffmpeg, {"-loglevel", "error", "-f", "lavfi", "-i", "testsrc=size=160x120:rate=10:duration=3", "-c:v",
                      "mpeg2video", "-f", "hls", "-hls_time", "1", "-hls_list_size", "0", "live.m3u8"});
  ASSERT_TRUE(make.waitForFinished(60000));
  ASSERT_EQ(make.exitCode(), 0) << make.readAllStandardError().toStdString();
  TestServer server([&](const SeenRequest& r, QTcpSocket* socket) {
    const std::string name = r.Target().substr(r.Target().rfind('/') + 1);
    if (!fs::exists(www + "/" + name)) return Answer(socket, "404 Not Found", "Content-Length: 0\r\n", "");
    const std::string body = ReadBytes(www + "/" + name);
    Answer(socket, "200 OK", "Content-Length: " + std::to_string(body.size()) + "\r\n", body);
  });

  const DownloadRequest request = ParseHandedText(server.Url("/tv/live.m3u8"));
  ASSERT_TRUE(request.stream);
  StreamRecording recording(folder.get(), request, limits);
  const Outcome o = Run(recording, 60000);
  ASSERT_TRUE(o.ok) << o.Text();
  EXPECT_EQ(Files(), std::vector<std::string>{"live.mkv"});
  const std::string saved = Saved("live.mkv");
  EXPECT_GT(saved.size(), 1000u);
  EXPECT_EQ(saved.substr(0, 4), "\x1A\x45\xDF\xA3");  // a Matroska file
  EXPECT_GE(server.requests.size(), 4u);              // the playlist and its three segments

  // A live stream (its playlist never ends): the person's stop keeps what was recorded.
  std::string live = ReadBytes(www + "/live.m3u8");
  live.erase(live.find("#EXT-X-ENDLIST"));
  WriteBytes(www + "/onair.m3u8", live);
  StreamRecording onAir(folder.get(), ParseHandedText(server.Url("/tv/onair.m3u8")), limits);
  const Outcome stopped = Run(onAir, 60000, [&](Transfer& t) {
    WaitUntil([&] { return fs::exists(dir.File("dl/onair.mkv.part")) && fs::file_size(dir.File("dl/onair.mkv.part")) > 1000; });
    t.Cancel();
  });
  ASSERT_TRUE(stopped.ok) << stopped.Text();
  EXPECT_TRUE(stopped.message.contains(QStringLiteral("录制已停止"))) << stopped.Text();
  EXPECT_EQ(Saved("onair.mkv").substr(0, 4), "\x1A\x45\xDF\xA3");
  EXPECT_EQ(Files(), (std::vector<std::string>{"live.mkv", "onair.mkv"}));

  // A stream that is not there: ffmpeg's own reason is told.
  StreamRecording missing(folder.get(), ParseHandedText(server.Url("/tv/none.m3u8")), limits);
  const Outcome gone = Run(missing, 60000);
  EXPECT_FALSE(gone.ok);
  EXPECT_TRUE(gone.message.contains(QStringLiteral("ffmpeg"))) << gone.Text();
  EXPECT_EQ(Files(), (std::vector<std::string>{"live.mkv", "onair.mkv"}));
}

// ---- The program ---------------------------------------------------------------------------------

class ProgramTest : public TransferTest {
 protected:
  // Starts Dorrinel with `args`; its messages go to `log`.
  void Start(QProcess& p, const QStringList& args) {
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(QStringLiteral(DORRINEL_PATH), args);
    ASSERT_TRUE(p.waitForStarted(10000));
  }
  static bool Finished(QProcess& p) { return WaitUntil([&] { return p.state() == QProcess::NotRunning; }, 20000); }
  QString Dir() const { return QString::fromStdString(dir.File("dl")); }
};

TEST_F(ProgramTest, HelpAndVersionNeedNoDisplay) {
  EnvVar noDisplay("DISPLAY", nullptr);
  EnvVar noPlatform("QT_QPA_PLATFORM", nullptr);
  for (const char* option : {"--help", "--version"}) {
    QProcess p;
    Start(p, {QString::fromLatin1(option)});
    ASSERT_TRUE(Finished(p));
    EXPECT_EQ(p.exitCode(), 0);
    const QString out = QString::fromUtf8(p.readAll());
    EXPECT_TRUE(out.contains(std::string_view(option) == "--help" ? QStringLiteral("--dir") : QStringLiteral("Dorrinel 1."))) << out.toStdString();
  }
  QProcess bad;
  Start(bad, {QStringLiteral("--no-such-option")});
  ASSERT_TRUE(Finished(bad));
  EXPECT_EQ(bad.exitCode(), 2);
}

TEST_F(ProgramTest, AnAddressArgumentDownloadsAtOnceAndSigtermKeepsThePartForNextTime) {
  const std::string content = RandomBytes(1 << 20, 6);
  bool slow = true;  // the first run gets a slow server, the second a quick one with ranges
  TestServer server([&](const SeenRequest& r, QTcpSocket* socket) {
    const std::string range = r.Header("Range");
    if (range != "-") {
      const std::size_t from = std::stoul(range.substr(6));
      return Answer(socket, "206 Partial Content",
                    "Content-Range: bytes " + std::to_string(from) + "-" + std::to_string(content.size() - 1) + "/" +
                        std::to_string(content.size()) + "\r\nContent-Length: " + std::to_string(content.size() - from) +
                        "\r\n",
                    content.substr(from));
    }
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(content.size()) + "\r\n\r\n";
    if (!slow) return Answer(socket, "200 OK", "Content-Length: " + std::to_string(content.size()) + "\r\n", content);
    socket->write(head.data(), static_cast<qint64>(head.size()));
    auto* sent = new std::size_t(0);
    auto* timer = new QTimer(socket);
    QObject::connect(socket, &QObject::destroyed, [sent] { delete sent; });
    QObject::connect(timer, &QTimer::timeout, socket, [socket, sent, &content] {
      if (*sent >= content.size() / 2) return;
      socket->write(content.data() + *sent, 16384);
      *sent += 16384;
    });
    timer->start(20);
  });

  QProcess first;
  Start(first, {QStringLiteral("--dir"), Dir(), QString::fromStdString(server.Url("/album/track.flac"))});
  const std::string part = dir.File("dl/track.flac.part");
  ASSERT_TRUE(WaitUntil([&] { return fs::exists(part) && fs::file_size(part) >= 100000; })) << first.readAll().toStdString();
  ::kill(static_cast<pid_t>(first.processId()), SIGTERM);
  ASSERT_TRUE(Finished(first));
  EXPECT_EQ(first.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(Files(), std::vector<std::string>{"track.flac.part"});
  const std::size_t kept = fs::file_size(part);

  slow = false;
  QProcess second;
  Start(second, {QStringLiteral("--quit"), QStringLiteral("--dir"), Dir(), QString::fromStdString(server.Url("/album/track.flac"))});
  ASSERT_TRUE(Finished(second));
  EXPECT_EQ(second.exitCode(), 0);
  EXPECT_TRUE(Saved("track.flac") == content);
  EXPECT_EQ(Files(), std::vector<std::string>{"track.flac"});
  EXPECT_EQ(server.requests.back().Header("Range"), "bytes=" + std::to_string(kept) + "-");
  const QString out = QString::fromUtf8(second.readAll());
  EXPECT_TRUE(out.contains(QStringLiteral("Dorrinel: saved ") + Dir() + QStringLiteral("/track.flac (1048576 bytes)")))
      << out.toStdString();

  // A failure ends a --quit run with status 1.
  QProcess third;
  Start(third, {QStringLiteral("--quit"), QStringLiteral("--dir"), Dir(), QStringLiteral("ftp://h.example/x")});
  ASSERT_TRUE(Finished(third));
  EXPECT_EQ(third.exitCode(), 1);
}

}  // namespace
}  // namespace dorrinel

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
