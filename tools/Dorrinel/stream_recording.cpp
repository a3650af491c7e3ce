#include "tools/Dorrinel/stream_recording.h"

#include <QStandardPaths>
#include <cerrno>
#include <cstring>
#include <string>

#include "tools/Dorrinel/names.h"

namespace dorrinel {

namespace {

constexpr qint64 kReadPiece = 64 * 1024;
constexpr int kTickMs = 1000;
constexpr int kStopGraceMs = 5000;  // ffmpeg closes its file on SIGTERM; after this it is killed

QString FromStd(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

// mms:// is no protocol name of ffmpeg: MMS over HTTP (mmsh) is what such servers speak most.
QString FfmpegUrl(const std::string& url) {
  QString u = QString::fromLatin1(url.data(), static_cast<qsizetype>(url.size()));
  if (u.startsWith(QLatin1String("mms://"), Qt::CaseInsensitive)) u.replace(0, 3, QStringLiteral("mmsh"));
  return u;
}

}  // namespace

QString StreamRecording::ProtocolWhitelist(const QString& url) {
  // Never "file", "pipe", "data", "subfile" or "concat": a playlist or manifest from the network must
  // not make ffmpeg read this machine's files. HLS and DASH reach their segments over HTTP only.
  const QString scheme = url.left(url.indexOf(QLatin1Char(':'))).toLower();
  if (scheme.startsWith(QLatin1String("rtsp"))) return QStringLiteral("rtsp,rtsps,rtp,srtp,udp,tcp,tls");
  if (scheme.startsWith(QLatin1String("rtmp"))) return QStringLiteral("rtmp,rtmps,rtmpt,rtmpts,ffrtmphttp,tcp,tls");
  if (scheme.startsWith(QLatin1String("mms"))) return QStringLiteral("mmsh,mmst,http,tcp");
  return QStringLiteral("http,https,tls,tcp,crypto,httpproxy");
}

QStringList StreamRecording::Arguments(const QString& url, Container container) {
  return {QStringLiteral("-nostdin"), QStringLiteral("-hide_banner"), QStringLiteral("-nostats"),
          QStringLiteral("-loglevel"), QStringLiteral("error"), QStringLiteral("-progress"), QStringLiteral("pipe:2"),
          QStringLiteral("-protocol_whitelist"), ProtocolWhitelist(url),
          QStringLiteral("-rw_timeout"), QStringLiteral("30000000"),
          // ffmpeg's own choice of streams: the best video and audio (of a playlist's best variant),
          // not its data streams, which Matroska cannot hold.
          QStringLiteral("-i"), url, QStringLiteral("-c"), QStringLiteral("copy"),
          QStringLiteral("-f"), container == Container::kMpegTs ? QStringLiteral("mpegts") : QStringLiteral("matroska"),
          QStringLiteral("pipe:1")};
}

StreamRecording::StreamRecording(DownloadFolder* folder, DownloadRequest request, Limits limits, QObject* parent)
    : Transfer(parent),
      folder_(folder),
      request_(std::move(request)),
      limits_(limits),
      meter_(std::max(limits.lowSpeedSeconds, 5) * 1000 + 2 * kTickMs) {
  tick_.setInterval(kTickMs);
  idle_.setSingleShot(true);
  connect(&tick_, &QTimer::timeout, this, &StreamRecording::OnTick);
  connect(&idle_, &QTimer::timeout, this, [this] {
    stopReason_ = QStringLiteral("流媒体 %1 秒没有数据，录制结束。").arg(limits_.idleSeconds);
    Cancel();
  });
  connect(&ffmpeg_, &QProcess::readyReadStandardOutput, this, &StreamRecording::OnOutput);
  connect(&ffmpeg_, &QProcess::readyReadStandardError, this, &StreamRecording::OnErrorOutput);
  connect(&ffmpeg_, &QProcess::finished, this, &StreamRecording::OnFinished);
  connect(&ffmpeg_, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
    if (error == QProcess::FailedToStart) End(false, QStringLiteral("无法启动 ffmpeg：%1").arg(ffmpeg_.errorString()));
  });
}

StreamRecording::~StreamRecording() {
  ffmpeg_.disconnect(this);
  if (ffmpeg_.state() != QProcess::NotRunning) {
    ffmpeg_.kill();
    ffmpeg_.waitForFinished(kStopGraceMs);
  }
}

void StreamRecording::Start() {
  program_ = QStandardPaths::findExecutable(QStringLiteral("ffmpeg"));
  if (program_.isEmpty()) {
    return End(false, QStringLiteral("录制流媒体需要 ffmpeg，但没有找到它。请安装 Debian 软件包 %1（sudo apt install %1）后再试。")
                          .arg(QLatin1String(kFfmpegPackage)));
  }
  if (!Begin(StreamFileName(request_.target))) return;
  clock_.start();
  tick_.start();
  emit Note(QStringLiteral("用 ffmpeg 录制 %1 ……").arg(FromStd(request_.DisplayUrl())));
}

// Creates the partial file for `wanted` and starts ffmpeg writing into it; false (and ended) when the
// file cannot be made.
bool StreamRecording::Begin(const std::string& wanted) {
  const DownloadFolder::Placement place = folder_->Place(wanted, request_.DisplayUrl());
  // A recording is never continued: a partial recording of the same address stays as it is.
  std::string name = place.name;
  for (unsigned n = 1; place.resume && n < 10000 && (folder_->Exists(name) || folder_->Exists(name + std::string(kPartSuffix))); ++n) {
    name = NumberedName(place.name, n);
  }
  if (name.empty()) {
    End(false, QStringLiteral("下载文件夹中找不到可用的文件名。"));
    return false;
  }
  std::string error;
  part_ = folder_->CreatePart(name, std::string(), error);
  if (!part_) {
    End(false, QStringLiteral("无法写入文件：%1").arg(FromStd(error)));
    return false;
  }
  reserve_ = std::min(limits_.reserveBytes, folder_->FreeBytes().value_or(0) / 2);
  meter_.Reset(clock_.isValid() ? clock_.elapsed() : 0, 0);
  idle_.start(limits_.idleSeconds * 1000);
  progress_ = FfmpegProgress();
  ffmpeg_.start(program_, Arguments(FfmpegUrl(request_.Url()), container_));
  return true;
}

void StreamRecording::OnOutput() {
  if (done_) return;
  idle_.start();
  while (ffmpeg_.bytesAvailable() > 0) {
    const QByteArray data = ffmpeg_.read(kReadPiece);
    if (data.isEmpty()) break;
    if (!part_->Write(data.constData(), static_cast<std::size_t>(data.size()))) {
      const int error = errno;
      writeFailed_ = true;
      stopReason_ = error == ENOSPC ? QStringLiteral("磁盘已满，录制结束。")
                                    : QStringLiteral("无法写入文件：%1").arg(QString::fromLocal8Bit(std::strerror(error)));
      return Cancel();
    }
    if (limits_.maxBytes > 0 && part_->size() >= limits_.maxBytes) {
      stopReason_ = QStringLiteral("录制的文件达到上限 %1 字节，录制结束。").arg(limits_.maxBytes);
      return Cancel();
    }
  }
}

void StreamRecording::OnErrorOutput() {
  // Read as it comes, so that nothing piles up; the parser keeps bounded lines only.
  const QByteArray data = ffmpeg_.readAllStandardError();
  progress_.Feed(std::string_view(data.constData(), static_cast<std::size_t>(data.size())));
}

void StreamRecording::OnTick() {
  if (done_) return;
  meter_.Sample(clock_.elapsed(), part_->size());
  ProgressInfo info;
  info.bytes = part_->size();
  info.bytesPerSecond = meter_.Speed(5000);
  info.mediaSeconds = progress_.seconds().value_or(-1);
  emit Progress(info);
  const std::optional<std::uint64_t> free = folder_->FreeBytes();
  if (free && *free < reserve_) {
    stopReason_ = QStringLiteral("磁盘空间不足（只剩 %1 字节），录制结束。").arg(*free);
    Cancel();
  }
}

void StreamRecording::OnFinished(int exitCode, QProcess::ExitStatus status) {
  if (done_) return;
  OnOutput();
  OnErrorOutput();
  if (done_) return;
  const bool complete = status == QProcess::NormalExit && exitCode == 0;
  if (part_->size() > 0 && !writeFailed_ && (complete || stopping_)) {
    return End(true, stopReason_.isEmpty() ? QString() : stopReason_);
  }
  // ffmpeg read the stream and began the file (so the address answered), but the muxer gave up before
  // one progress report: Matroska refused the streams as they come. Once more, as MPEG-TS.
  constexpr std::uint64_t kHeaderOnly = 64 * 1024;
  if (!complete && !stopping_ && !writeFailed_ && status == QProcess::NormalExit &&
      container_ == Container::kMatroska && !progress_.reported() && part_->size() > 0 &&
      part_->size() < kHeaderOnly) {
    folder_->Discard(*part_);
    part_.reset();
    container_ = Container::kMpegTs;
    std::string name = StreamFileName(request_.target);
    const std::size_t dot = name.rfind('.');
    name = (dot == std::string::npos ? name : name.substr(0, dot)) + ".ts";
    emit Note(QStringLiteral("Matroska 容纳不下这路流原样的音视频，改录为 MPEG-TS（%1）……").arg(FromStd(name)));
    Begin(name);
    return;
  }
  End(false, stopReason_.isEmpty() ? FailureText(exitCode) : stopReason_);
}

// "ffmpeg 录制失败（退出码 N）：" and ffmpeg's last lines, each whole, one a line.
QString StreamRecording::FailureText(int exitCode) const {
  QString why = QStringLiteral("ffmpeg 录制失败（退出码 %1）").arg(exitCode);
  QStringList lines;
  for (const std::string& line : progress_.messages()) lines << FromStd(line);
  if (!lines.isEmpty()) why += QStringLiteral("：") + lines.join(QLatin1Char('\n'));
  return why;
}

void StreamRecording::Cancel() {
  if (done_) return;
  if (ffmpeg_.state() == QProcess::NotRunning) return End(part_ && part_->size() > 0, QStringLiteral("录制已停止。"));
  if (stopReason_.isEmpty()) stopReason_ = QStringLiteral("录制已停止。");
  if (stopping_) return;
  stopping_ = true;
  ffmpeg_.terminate();  // ffmpeg ends its file properly on SIGTERM
  QTimer::singleShot(kStopGraceMs, this, [this] {
    if (ffmpeg_.state() != QProcess::NotRunning) ffmpeg_.kill();
  });
}

void StreamRecording::Stop() {
  // The program ends: what was recorded is kept, like a stop by the person.
  if (done_) return;
  ffmpeg_.disconnect(this);
  if (ffmpeg_.state() != QProcess::NotRunning) {
    ffmpeg_.terminate();
    if (!ffmpeg_.waitForFinished(kStopGraceMs)) {
      ffmpeg_.kill();
      ffmpeg_.waitForFinished(kStopGraceMs);
    }
  }
  stopping_ = true;
  OnOutput();
  End(part_ && part_->size() > 0 && !writeFailed_, QStringLiteral("程序结束，录制停止。"));
}

void StreamRecording::End(bool keep, const QString& message) {
  if (done_) return;
  done_ = true;
  tick_.stop();
  idle_.stop();
  if (!part_) {
    emit Finished(false, message, QString());
    return;
  }
  if (!keep) {
    folder_->Discard(*part_);
    part_.reset();
    emit Finished(false, message, QString());
    return;
  }
  const std::uint64_t size = part_->size();
  std::string error;
  const std::optional<std::string> saved = folder_->Finish(std::move(part_), error);
  if (!saved) {
    emit Finished(false, QStringLiteral("无法保存文件：%1").arg(FromStd(error)), QString());
    return;
  }
  const QString path = FromStd(*saved);
  QString text = QStringLiteral("录制完成：%1（%2 字节）").arg(path).arg(size);
  if (!message.isEmpty()) text = message + text;
  emit Finished(true, text, path);
}

}  // namespace dorrinel
