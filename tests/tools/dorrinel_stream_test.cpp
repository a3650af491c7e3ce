// Stream recording against HLS playlists made here by ffmpeg and served on loopback by the test's own
// server: H.264 + AAC in MPEG-TS segments recorded whole (checked with ffprobe), and what the person
// reads when ffmpeg fails, its lines whole. Also how ffmpeg's own lines are kept.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>
#include <chrono>
#include <filesystem>
#include <functional>

#include "tests/tools/dorrinel_server.h"
#include "tests/tools/transfer_outcome.h"
#include "tests/settings/temp_dir.h"
#include "tools/Dorrinel/ffmpeg_progress.h"
#include "tools/Dorrinel/stream_recording.h"

namespace dorrinel {
namespace {

using qv::testing::ReadBytes;
using qv::testing::TempDir;
using qv::testing::WaitUntil;
using qv::testing::WriteBytes;
using testing::Answer;
using testing::Outcome;
using testing::RunToEnd;
using testing::SeenRequest;
using testing::TestServer;
namespace fs = std::filesystem;

// Runs `program` with `args` in `dir` to its end (bounded); its standard output, or nothing on failure.
std::optional<std::string> RunTool(const QString& program, const QStringList& args, const std::string& dir = ".") {
  QProcess p;
  p.setWorkingDirectory(QString::fromStdString(dir));
  p.start(program, args);
  if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
    ADD_FAILURE() << program.toStdString() << " failed: " << p.readAllStandardError().toStdString();
    if (p.state() != QProcess::NotRunning) p.kill(), p.waitForFinished(5000);
    return std::nullopt;
  }
  return p.readAllStandardOutput().toStdString();
}

class StreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ffmpeg = QStandardPaths::findExecutable(QStringLiteral("ffmpeg"));
    ffprobe = QStandardPaths::findExecutable(QStringLiteral("ffprobe"));
    if (ffmpeg.isEmpty() || ffprobe.isEmpty()) GTEST_SKIP() << "ffmpeg is not installed (Debian package ffmpeg)";
    std::string error;
    folder = DownloadFolder::Open(dir.File("dl"), error);
    ASSERT_TRUE(folder) << error;
    limits.idleSeconds = 20;
    fs::create_directories(www);
  }

  // Files of `www` by the last part of the request's path; 404 for anything else.
  TestServer::Handler ServeWww() {
    return [this](const SeenRequest& r, QTcpSocket* socket) {
      const std::string target = r.Target();
      const std::string name = target.substr(target.rfind('/') + 1);
      if (name.empty() || name.size() > 255 || !fs::is_regular_file(www + "/" + name)) {
        return Answer(socket, "404 Not Found", "Content-Length: 0\r\n", "");
      }
      const std::string body = ReadBytes(www + "/" + name);
      Answer(socket, "200 OK", "Content-Length: " + std::to_string(body.size()) + "\r\n", body);
    };
  }

  Outcome Record(const std::string& url) {
    const DownloadRequest request = ParseHandedText(url);
    EXPECT_TRUE(request.stream) << url;
    StreamRecording recording(folder.get(), request, limits);
    return RunToEnd(recording, 90000);
  }

  std::vector<std::string> Files() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir.File("dl"))) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  TempDir dir;
  const std::string www = dir.File("www");
  std::unique_ptr<DownloadFolder> folder;
  Limits limits;
  QString ffmpeg;
  QString ffprobe;
};

TEST_F(StreamTest, HlsWithAacInMpegTsIsRecordedWithBothStreams) {
  // 3 s of H.264 + AAC, in 1 s .ts segments, as ffmpeg's HLS muxer makes them.
  ASSERT_TRUE(RunTool(ffmpeg, {"-loglevel", "error", "-f", "lavfi", "-i", "testsrc=size=160x120:rate=10:duration=3",
                               "-f", "lavfi", "-i", "sine=frequency=440:duration=3", "-c:v", "libx264", "-preset",
                               "ultrafast", "-g", "10", "-c:a", "aac", "-f", "hls", "-hls_time", "1",
                               "-hls_list_size", "0", "show.m3u8"},
                      www));
  ASSERT_TRUE(fs::exists(www + "/show2.ts"));
  TestServer server(ServeWww());

  const Outcome o = Record(server.Url("/tv/show.m3u8"));
  ASSERT_TRUE(o.ok) << o.Text();
  EXPECT_EQ(Files(), std::vector<std::string>{"show.ts"});
  EXPECT_EQ(o.path.toStdString(), dir.File("dl/show.ts"));

  const std::optional<std::string> probe =
      RunTool(ffprobe, {"-v", "error", "-show_entries", "stream=codec_type,codec_name:format=duration", "-of",
                        "default=noprint_wrappers=1", QString::fromStdString(dir.File("dl/show.ts"))});
  ASSERT_TRUE(probe);
  EXPECT_NE(probe->find("codec_name=h264\ncodec_type=video"), std::string::npos) << *probe;
  EXPECT_NE(probe->find("codec_name=aac\ncodec_type=audio"), std::string::npos) << *probe;
  const std::size_t at = probe->find("duration=");
  ASSERT_NE(at, std::string::npos) << *probe;
  const double seconds = std::stod(probe->substr(at + 9));
  EXPECT_GT(seconds, 2.5) << *probe;
  EXPECT_LT(seconds, 3.6) << *probe;
}

TEST_F(StreamTest, FailingRecordingShowsFfmpegsLastLinesWhole) {
  ASSERT_TRUE(RunTool(ffmpeg, {"-loglevel", "error", "-f", "lavfi", "-i", "testsrc=size=160x120:rate=10:duration=1",
                               "-c:v", "mpeg2video", "-f", "mpegts", "local.ts"},
                      www));
  // A hostile playlist whose segment is a file of this machine: ffmpeg may not read it.
  WriteBytes(www + "/evil.m3u8", "#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:1.0,\nfile://" + www +
                                     "/local.ts\n#EXT-X-ENDLIST\n");
  TestServer server(ServeWww());
  const std::string longPath = "/" + std::string(3000, 'a') + "/gone.m3u8";

  struct Case {
    std::string url;
    std::vector<std::string> lines;  // each whole in the message, the last one last
  };
  const std::vector<Case> cases = {
      {server.Url(longPath), {server.Url(longPath) + ": Server returned 404 Not Found"}},
      {server.Url("/evil.m3u8"),
       {"Protocol 'file' not on whitelist", server.Url("/evil.m3u8") + ": Invalid data found when processing input"}},
  };
  for (const Case& c : cases) {
    const Outcome o = Record(c.url);
    EXPECT_FALSE(o.ok) << o.Text();
    const std::string message = o.message.toStdString();
    EXPECT_EQ(message.rfind("ffmpeg 录制失败（退出码 1）：", 0), 0u) << message;
    for (const std::string& line : c.lines) EXPECT_NE(message.find(line), std::string::npos) << line << "\n" << message;
    EXPECT_TRUE(o.message.endsWith(QString::fromStdString(c.lines.back()))) << message;
    EXPECT_EQ(message.find(" @ 0x"), std::string::npos) << message;
    EXPECT_EQ(Files(), std::vector<std::string>{});
  }
}

TEST(FfmpegLinesTest, LastLinesKeptWholeLongOnesKeepBothEnds) {
  FfmpegProgress p;
  p.Feed("[matroska @ 0x55cf42e4b100] Error parsing AAC extradata, unable to determine samplerate.\n"
         "frame=1\nprogress=continue\n"
         "Could not write header for output file #0 (incorrect codec parameters ?): Invalid argument\n"
         "Could not write header for output file #0 (incorrect codec parameters ?): Invalid argument\n"
         "Error initializing output stream 0:1 -- \n");
  EXPECT_TRUE(p.reported());
  EXPECT_EQ(p.messages(), (std::deque<std::string>{
                              "[matroska] Error parsing AAC extradata, unable to determine samplerate.",
                              "Could not write header for output file #0 (incorrect codec parameters ?): Invalid argument",
                              "Error initializing output stream 0:1 --"}));

  // Past the bound a line keeps its start and its end, never cutting a UTF-8 character.
  const std::string start = "http://x/" + std::string(FfmpegProgress::kLongLine, 'a');
  const std::string middle = std::string(100000, 'b');
  std::string end;
  for (int i = 0; i < 700; ++i) end += "稻香";  // 4200 bytes of 3-byte characters
  end += ": Server returned 404 Not Found";
  for (std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{100000}}) {
    FfmpegProgress q;
    const std::string all = start + middle + end + "\n";
    for (std::size_t i = 0; i < all.size(); i += piece) q.Feed(std::string_view(all).substr(i, piece));
    ASSERT_EQ(q.messages().size(), 1u);
    const std::string& kept = q.messages().back();
    EXPECT_FALSE(q.reported());
    EXPECT_LE(kept.size(), FfmpegProgress::kLongLine + 8);
    EXPECT_EQ(kept.rfind("http://x/aaa", 0), 0u);
    EXPECT_NE(kept.find(" … "), std::string::npos);
    EXPECT_TRUE(kept.ends_with(end.substr(end.size() - FfmpegProgress::kLongLine / 2 + 3)));
    EXPECT_TRUE(QString::fromUtf8(kept.data(), static_cast<qsizetype>(kept.size())).toUtf8().toStdString() == kept);
    EXPECT_EQ(q.lastMessage().size(), FfmpegProgress::kMaxLine);
  }
}

}  // namespace
}  // namespace dorrinel

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  QCoreApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
