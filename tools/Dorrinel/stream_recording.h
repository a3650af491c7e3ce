// A stream (rtsp://, mms://, rtmp://, an .m3u8 playlist or .mpd manifest) recorded by ffmpeg:
//   ffmpeg -i URL -c copy -f matroska pipe:1
// Matroska holds nearly every codec as it comes, but written to a pipe it needs each stream's codec
// header at its start, which AAC in MPEG-TS (the audio of most HLS playlists) only brings with its
// first packet. When Matroska refuses the streams before anything was recorded, the recording starts
// once more as MPEG-TS ("NAME.ts"), which takes such streams as they are.
// ffmpeg writes the recording to its standard output and this side writes it into the partial file,
// so that the file is made exactly like a download's (exclusively, without following links, final
// only at the end) and its size is always known. ffmpeg may open network protocols only (no "file:"
// from a hostile playlist); its progress comes from "-progress pipe:2". Cancel stops the recording
// and keeps what was recorded. Without ffmpeg in PATH the person is told which package to install.
#pragma once
#include <QElapsedTimer>
#include <QProcess>
#include <QTimer>
#include <memory>

#include "tools/Dorrinel/ffmpeg_progress.h"
#include "tools/Dorrinel/folder.h"
#include "tools/Dorrinel/rate.h"
#include "tools/Dorrinel/request.h"
#include "tools/Dorrinel/transfer.h"

namespace dorrinel {

inline constexpr char kFfmpegPackage[] = "ffmpeg";

class StreamRecording : public Transfer {
  Q_OBJECT
 public:
  StreamRecording(DownloadFolder* folder, DownloadRequest request, Limits limits, QObject* parent = nullptr);
  ~StreamRecording() override;

  void Start() override;
  void Cancel() override;
  void Stop() override;
  bool IsStream() const override { return true; }

  enum class Container { kMatroska, kMpegTs };
  // The arguments ffmpeg is started with for `url`.
  static QStringList Arguments(const QString& url, Container container = Container::kMatroska);
  // The network protocols ffmpeg may open for `url`, nested ones (a playlist's segments) included.
  static QString ProtocolWhitelist(const QString& url);

 private:
  void OnOutput();
  void OnErrorOutput();
  void OnFinished(int exitCode, QProcess::ExitStatus status);
  void OnTick();
  void End(bool keep, const QString& message);
  bool Begin(const std::string& wanted);
  QString FailureText(int exitCode) const;

  DownloadFolder* folder_;
  DownloadRequest request_;
  Limits limits_;
  QProcess ffmpeg_;
  std::unique_ptr<PartFile> part_;
  FfmpegProgress progress_;
  QTimer tick_;
  QTimer idle_;
  QElapsedTimer clock_;
  RateMeter meter_;
  std::uint64_t reserve_ = 0;  // free space the recording leaves on the disk
  bool stopping_ = false;   // the person stopped it: what was recorded is kept
  QString stopReason_;
  bool writeFailed_ = false;
  bool done_ = false;
  Container container_ = Container::kMatroska;
  QString program_;
};

}  // namespace dorrinel
