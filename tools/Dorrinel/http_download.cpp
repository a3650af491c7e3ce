#include "tools/Dorrinel/http_download.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <thread>

#include "tools/Dorrinel/names.h"
#include "tools/Dorrinel/resume.h"

namespace dorrinel {

namespace {

constexpr qint64 kReadPiece = 256 * 1024;
// What Qt may hold of an answer that the file has not taken yet. Past it, Qt's network thread stops
// reading the connection, and TCP holds the server back: the download goes only as fast as the file
// is written, whatever the network's speed.
constexpr qint64 kReadBufferBytes = 4 << 20;
constexpr qint64 kPieceBytesPerTurn = 1 << 20;  // written in one turn of the event loop
constexpr int kTickMs = 1000;

QString FromStd(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }
QByteArray Bytes(const std::string& s) { return QByteArray(s.data(), static_cast<qsizetype>(s.size())); }

// The validator that If-Range may carry: a strong ETag, else Last-Modified.
std::string Validator(const QNetworkReply& reply) {
  const QByteArray etag = reply.rawHeader("ETag").trimmed();
  if (!etag.isEmpty() && !etag.startsWith("W/")) return etag.toStdString();
  return reply.rawHeader("Last-Modified").trimmed().toStdString();
}

bool SameOrigin(const QUrl& a, const QUrl& b) {
  return a.scheme() == b.scheme() && a.host() == b.host() &&
         a.port(a.scheme() == QLatin1String("https") ? 443 : 80) ==
             b.port(b.scheme() == QLatin1String("https") ? 443 : 80);
}

}  // namespace

// Benchmark and test hook, never set in normal use: DORRINEL_BENCH_DISK_BYTES_PER_SECOND=N makes
// every write of the file take as long as on a disk that writes N bytes a second (the writer sleeps
// after each piece), so that a loopback server outruns "the disk" as a fast network outruns a slow
// one. bench/dorrinel_memory measures the memory this costs.
HttpDownload::SlowDiskHook::SlowDiskHook() {
  if (const char* value = std::getenv("DORRINEL_BENCH_DISK_BYTES_PER_SECOND")) rate_ = std::strtoull(value, nullptr, 10);
}

void HttpDownload::SlowDiskHook::Wrote(std::size_t n) {
  if (rate_ == 0) return;
  const auto now = std::chrono::steady_clock::now();
  if (bytes_ == 0) start_ = now;
  bytes_ += n;
  const auto due = start_ + std::chrono::microseconds(bytes_ * 1000000 / rate_);
  if (due > now) std::this_thread::sleep_until(due);
}

HttpDownload::HttpDownload(QNetworkAccessManager* network, DownloadFolder* folder, DownloadRequest request,
                           Limits limits, QObject* parent)
    : Transfer(parent),
      network_(network),
      folder_(folder),
      request_(std::move(request)),
      limits_(limits),
      meter_(std::max(limits.lowSpeedSeconds, 5) * 1000 + 2 * kTickMs) {
  partUrl_ = request_.DisplayUrl();
  url_ = QUrl::fromEncoded(Bytes(request_.Url()));
  idle_.setSingleShot(true);
  retry_.setSingleShot(true);
  tick_.setInterval(kTickMs);
  connect(&idle_, &QTimer::timeout, this, [this] {
    Fail(QStringLiteral("服务器 %1 秒没有发送数据，下载中止。").arg(limits_.idleSeconds), true);
  });
  connect(&tick_, &QTimer::timeout, this, &HttpDownload::OnTick);
  connect(&retry_, &QTimer::timeout, this, &HttpDownload::Send);
}

HttpDownload::~HttpDownload() { DropReply(); }

QString HttpDownload::Where() const { return url_.host() + (url_.port() > 0 ? QStringLiteral(":%1").arg(url_.port()) : QString()); }

void HttpDownload::Start() {
  if (!url_.isValid() || url_.host().isEmpty()) return Fail(QStringLiteral("地址无效：%1").arg(FromStd(partUrl_)), false);
  const DownloadFolder::Placement place = folder_->Place(FileNameFromTarget(request_.target), partUrl_);
  if (place.name.empty()) return Fail(QStringLiteral("下载文件夹中找不到可用的文件名。"), false);
  std::string error;
  part_ = place.resume ? folder_->OpenPart(place.name, error) : folder_->CreatePart(place.name, partUrl_, error);
  if (!part_) return Fail(QStringLiteral("无法写入文件：%1").arg(FromStd(error)), false);
  if (place.resume) {
    emit Note(QStringLiteral("找到上次未完成的 %1（%2 字节），接着下载。")
                  .arg(FromStd(place.name + std::string(kPartSuffix)))
                  .arg(part_->size()));
  }
  // On a disk that is nearly full already, the reserve is half of what is left.
  reserve_ = std::min(limits_.reserveBytes, folder_->FreeBytes().value_or(0) / 2);
  clock_.start();
  meter_.Reset(0, 0);
  tick_.start();
  Send();
}

void HttpDownload::Send() {
  DropReply();
  decided_ = false;
  total_ = -1;
  sizeAtSend_ = part_->size();
  QNetworkRequest req(url_);
  req.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
  req.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
  req.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
  for (const Header& h : request_.headers) {
    const QByteArray name = Bytes(h.name);
    QByteArray value = Bytes(h.value);
    if (req.hasRawHeader(name)) {  // repeated headers are joined as HTTP joins them
      const bool cookie = name.compare("cookie", Qt::CaseInsensitive) == 0;
      value = req.rawHeader(name) + (cookie ? "; " : ", ") + value;
    }
    req.setRawHeader(name, value);
  }
  // The file as it is stored: with an encoding of our own choice Qt does not unpack, and a range of
  // an unpacked answer would not fit the partial file anyway.
  req.setRawHeader("Accept-Encoding", "identity");
  rangeFrom_ = part_->size();
  ifRange_.clear();
  if (rangeFrom_ > 0) {
    req.setRawHeader("Range", "bytes=" + QByteArray::number(static_cast<qulonglong>(rangeFrom_)) + "-");
    ifRange_ = part_->Validator();
    if (!ifRange_.empty()) req.setRawHeader("If-Range", Bytes(ifRange_));
  }
  // A GET goes out as a GET: sent with a body device (sendCustomRequest always makes one), Qt would
  // add "Content-Length: 0" to it.
  if (request_.method == "GET" && request_.body.empty()) {
    reply_ = network_->get(req);
  } else {
    reply_ = network_->sendCustomRequest(req, Bytes(request_.method), Bytes(request_.body));
  }
  reply_->setReadBufferSize(kReadBufferBytes);
  connect(reply_, &QNetworkReply::metaDataChanged, this, &HttpDownload::OnHeaders);
  connect(reply_, &QNetworkReply::readyRead, this, &HttpDownload::OnData);
  connect(reply_, &QNetworkReply::finished, this, &HttpDownload::OnFinished);
  connect(reply_, &QNetworkReply::uploadProgress, this, [this] { idle_.start(); });
  emit Note(QStringLiteral("正在连接 %1 ……").arg(Where()));
  idle_.start(limits_.idleSeconds * 1000);
}

void HttpDownload::OnHeaders() {
  if (decided_ || !reply_) return;
  const QVariant statusValue = reply_->attribute(QNetworkRequest::HttpStatusCodeAttribute);
  if (!statusValue.isValid()) return;
  const int status = statusValue.toInt();
  if (status >= 100 && status < 200) return;  // an interim answer; the real one follows
  decided_ = true;
  idle_.start();

  if (status >= 300 && status < 400 && FollowRedirect(status)) return;
  if (done_) return;

  // Where the body ends is only known from a length that can be trusted: two different values
  // ("3" and "10"), a negative or an oversized one make the answer unreadable (Qt would take the
  // first value and call 3 bytes a whole file). A chunked answer's own framing wins over it.
  std::optional<std::uint64_t> length;
  if (status >= 200 && status < 300 && reply_->hasRawHeader("Content-Length") && !reply_->hasRawHeader("Transfer-Encoding")) {
    const QByteArray value = reply_->rawHeader("Content-Length");
    length = ParseContentLength(std::string_view(value.constData(), static_cast<std::size_t>(value.size())));
    if (!length) {
      QByteArray shown = value.left(100);
      for (char& c : shown) {
        if (c < 0x20 || c > 0x7E) c = '?';  // the server's bytes, not for a terminal to act on
      }
      return Fail(QStringLiteral("服务器的回答中文件长度（Content-Length: %1）不正确，回答无法读取，下载中止。")
                      .arg(QString::fromLatin1(shown)),
                  true);
    }
  }

  const QByteArray range = reply_->rawHeader("Content-Range");
  const std::optional<std::string_view> rangeView =
      reply_->hasRawHeader("Content-Range") ? std::optional<std::string_view>(std::string_view(range.constData(), range.size()))
                                            : std::nullopt;
  const QString reason = reply_->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
  switch (DecideResume(rangeFrom_, status, rangeView)) {
    case ResumeAction::kAppend:
      total_ = static_cast<std::int64_t>(ParseContentRange(*rangeView)->total.value_or(0));
      if (total_ == 0) total_ = -1;
      emit Note(QStringLiteral("服务器同意续传：从第 %1 字节接着下载。").arg(rangeFrom_));
      break;
    case ResumeAction::kRestart: {
      if (part_->size() > 0) {
        if (!part_->Truncate()) return Fail(QStringLiteral("无法写入文件：%1").arg(QString::fromLocal8Bit(std::strerror(errno))), false);
        const bool acceptsRanges = reply_->rawHeader("Accept-Ranges").toLower().contains("bytes");
        emit Note(ChangedOnServer(ifRange_, Validator(*reply_), acceptsRanges)
                      ? QStringLiteral("服务器上的文件已经改变，已下载的部分作废，从头下载。")
                      : QStringLiteral("服务器不支持续传，从头下载。"));
      }
      total_ = length ? static_cast<std::int64_t>(*length) : -1;
      break;
    }
    case ResumeAction::kRetryWhole:
      if (!part_->Truncate()) return Fail(QStringLiteral("无法写入文件：%1").arg(QString::fromLocal8Bit(std::strerror(errno))), false);
      emit Note(QStringLiteral("服务器的续传回答与已下载部分不符，从头下载。"));
      return Send();
    case ResumeAction::kComplete:
      DropReply();
      return Complete();
    case ResumeAction::kFail: {
      QString message = QStringLiteral("服务器返回错误：HTTP %1 %2").arg(status).arg(reason);
      if (status >= 300 && status < 400 && reply_->hasRawHeader("Location")) {
        message += QStringLiteral("（文件在另一个地址：%1）").arg(QString::fromLatin1(reply_->rawHeader("Location")));
      }
      return Fail(message, false);
    }
  }
  if (status == 200 || status == 206) part_->SetValidator(Validator(*reply_));

  if (total_ >= 0) {
    const std::uint64_t total = static_cast<std::uint64_t>(total_);
    if (limits_.maxBytes > 0 && total > limits_.maxBytes) {
      return Fail(QStringLiteral("文件有 %1 字节，超过上限 %2 字节，不下载。").arg(total).arg(limits_.maxBytes), false);
    }
    const std::optional<std::uint64_t> free = folder_->FreeBytes();
    if (free && total > part_->size() && total - part_->size() > *free) {
      return Fail(QStringLiteral("磁盘空间不足：文件有 %1 字节，下载文件夹所在磁盘只剩 %2 字节。").arg(total).arg(*free), false);
    }
  }
  emit Note(QStringLiteral("正在下载 %1 ……").arg(FromStd(part_->name())));
}

bool HttpDownload::FollowRedirect(int status) {
  const QByteArray location = reply_->rawHeader("Location").trimmed();
  if (location.isEmpty()) return false;
  const QUrl next = url_.resolved(QUrl::fromEncoded(location));
  const QString scheme = next.scheme().toLower();
  if (!next.isValid() || next.host().isEmpty() || (scheme != QLatin1String("http") && scheme != QLatin1String("https"))) {
    Fail(QStringLiteral("服务器重定向到无法下载的地址：%1").arg(QString::fromLatin1(location)), false);
    return true;
  }
  const bool sameOrigin = SameOrigin(url_, next);
  const RedirectStep step = NextAfterRedirect(status, request_.method, sameOrigin, redirects_, !request_.body.empty());
  switch (step.outcome) {
    case RedirectStep::Outcome::kNotARedirect:
      return false;
    case RedirectStep::Outcome::kTooMany:
      Fail(QStringLiteral("重定向次数过多（超过 %1 次），下载中止。").arg(kMaxRedirects), false);
      return true;
    case RedirectStep::Outcome::kBodyToAnotherOrigin:
      Fail(QStringLiteral("服务器要把 %1 请求连同其中的数据（可能有密码等）转发到另一个网站 %2，为保护这些数据，不跟随这个重定向，下载中止。")
               .arg(FromStd(request_.method), next.toDisplayString()),
           false);
      return true;
    case RedirectStep::Outcome::kFollow:
      break;
  }
  ++redirects_;
  if (step.method != request_.method) request_.headers = WithoutBodyHeaders(request_.headers);
  request_.method = step.method;
  if (!step.keepBody) request_.body.clear();
  if (step.anotherOrigin) {
    // Another site gets nothing but the harmless headers, and never the body.
    request_.body.clear();
    request_.headers = HeadersForAnotherOrigin(request_.headers, OriginOf(next.toString(QUrl::FullyEncoded).toStdString()));
  }
  url_ = next;
  emit Note(QStringLiteral("HTTP %1 重定向到 %2").arg(status).arg(next.toDisplayString()));
  Send();
  return true;
}

void HttpDownload::OnData() {
  if (!reply_ || done_) return;
  if (!decided_) OnHeaders();
  if (!reply_ || done_ || !decided_) return;
  idle_.start();
  if (!WriteAvailable(kPieceBytesPerTurn)) return;
  // Qt holds at most kReadBufferBytes and reads the connection on only once they are taken: what is
  // left waits for the next turn of the event loop, so that a slow disk does not hold the window.
  if (reply_ && reply_->bytesAvailable() > 0) QMetaObject::invokeMethod(this, &HttpDownload::OnData, Qt::QueuedConnection);
}

bool HttpDownload::WriteAvailable(qint64 most) {
  // Straight from Qt's buffer into the file through one buffer of our own: no allocation per piece.
  buffer_.resize(kReadPiece);
  qint64 taken = 0;
  while (reply_ && reply_->bytesAvailable() > 0 && taken < most) {
    const qint64 n = reply_->read(buffer_.data(), kReadPiece);
    if (n <= 0) break;
    taken += n;
    if (!part_->Write(buffer_.data(), static_cast<std::size_t>(n))) {
      const int error = errno;
      Fail(error == ENOSPC ? QStringLiteral("磁盘已满，下载中止。")
                           : QStringLiteral("无法写入文件：%1").arg(QString::fromLocal8Bit(std::strerror(error))),
           false);
      return false;
    }
    slowDisk_.Wrote(static_cast<std::size_t>(n));
    received_ += static_cast<std::uint64_t>(n);
    if (limits_.maxBytes > 0 && part_->size() > limits_.maxBytes) {
      Fail(QStringLiteral("已下载 %1 字节，超过上限 %2 字节，下载中止。").arg(part_->size()).arg(limits_.maxBytes), false);
      return false;
    }
  }
  return true;
}

void HttpDownload::OnFinished() {
  if (!reply_ || done_) return;
  if (!decided_) OnHeaders();
  if (!reply_ || done_) return;
  if (decided_ && !WriteAvailable(std::numeric_limits<qint64>::max())) return;
  if (!reply_ || done_) return;
  const QNetworkReply::NetworkError error = reply_->error();
  const QString errorText = reply_->errorString();
  if (error == QNetworkReply::NoError && decided_) {
    if (total_ >= 0 && part_->size() != static_cast<std::uint64_t>(total_)) {
      return Retry(QStringLiteral("服务器的回答不完整（%1 / %2 字节）").arg(part_->size()).arg(total_));
    }
    DropReply();
    return Complete();
  }
  switch (error) {
    case QNetworkReply::ConnectionRefusedError:
      return Fail(QStringLiteral("无法连接到服务器 %1：连接被拒绝。").arg(Where()), part_->size() > 0);
    case QNetworkReply::HostNotFoundError:
      return Fail(QStringLiteral("找不到服务器 %1。").arg(url_.host()), part_->size() > 0);
    case QNetworkReply::SslHandshakeFailedError:
      return Fail(QStringLiteral("与 %1 的安全连接失败：%2").arg(Where(), errorText), false);
    case QNetworkReply::ProtocolFailure:
      if (!decided_) return Fail(QStringLiteral("服务器 %1 的回答无法读取：%2").arg(Where(), errorText), false);
      break;
    default:
      break;
  }
  if (!decided_) {
    // No answer at all (or none that reads as HTTP): trying again would only repeat it.
    return Fail(error == QNetworkReply::RemoteHostClosedError
                    ? QStringLiteral("服务器 %1 没有给出可以读取的HTTP回答就关闭了连接，回答无法读取。").arg(Where())
                    : QStringLiteral("下载出错：%1").arg(errorText),
                part_->size() > 0);
  }
  Retry(QStringLiteral("连接中断（%1）").arg(errorText));
}

void HttpDownload::Retry(const QString& why) {
  DropReply();
  if (part_->size() > sizeAtSend_) breaks_ = 0;  // it got on: count afresh
  if (++breaks_ > limits_.retries) {
    return Fail(QStringLiteral("%1，重试 %2 次仍未完成，下载中止。").arg(why).arg(limits_.retries), true);
  }
  emit Note(QStringLiteral("%1；%2 秒后从第 %3 字节接着下载（第 %4 次重试）。")
                .arg(why)
                .arg(limits_.retryDelayMs / 1000.0)
                .arg(part_->size())
                .arg(breaks_));
  idle_.stop();
  retry_.start(limits_.retryDelayMs);
}

void HttpDownload::OnTick() {
  if (done_) return;
  meter_.Sample(clock_.elapsed(), received_);
  ProgressInfo info;
  info.bytes = part_->size();
  info.total = total_;
  info.bytesPerSecond = meter_.Speed(5000);
  emit Progress(info);
  if (retry_.isActive()) return;
  if (meter_.TooSlow(limits_.lowSpeedBytes, limits_.lowSpeedSeconds * 1000LL)) {
    return Fail(QStringLiteral("下载太慢：最近 %1 秒平均每秒不到 %2 字节，下载中止。")
                    .arg(limits_.lowSpeedSeconds)
                    .arg(limits_.lowSpeedBytes),
                true);
  }
  // A file of unknown length may not take the disk's last free space; one whose length is known was
  // checked against the free space when its answer came.
  const std::optional<std::uint64_t> free = total_ < 0 ? folder_->FreeBytes() : std::nullopt;
  if (free && *free < reserve_) {
    return Fail(QStringLiteral("磁盘空间不足（只剩 %1 字节），下载中止。").arg(*free), false);
  }
}

void HttpDownload::Complete() {
  done_ = true;
  idle_.stop();
  tick_.stop();
  retry_.stop();
  const std::uint64_t size = part_->size();
  std::string error;
  const std::optional<std::string> saved = folder_->Finish(std::move(part_), error);
  if (!saved) {
    emit Finished(false, QStringLiteral("无法保存文件：%1").arg(FromStd(error)), QString());
    return;
  }
  const QString path = FromStd(*saved);
  emit Finished(true, QStringLiteral("下载完成：%1（%2 字节）").arg(path).arg(size), path);
}

void HttpDownload::Fail(const QString& message, bool keepPart) {
  if (done_) return;
  done_ = true;
  DropReply();
  idle_.stop();
  tick_.stop();
  retry_.stop();
  QString text = message;
  if (part_) {
    if (keepPart && part_->size() > 0) {
      text += QStringLiteral("已下载的 %1 字节保存在 %2，再次下载同一地址时接着下载。")
                  .arg(part_->size())
                  .arg(FromStd(part_->name() + std::string(kPartSuffix)));
    } else {
      folder_->Discard(*part_);
    }
    part_.reset();
  }
  emit Finished(false, text, QString());
}

void HttpDownload::Cancel() { Fail(QStringLiteral("下载已取消。"), false); }

void HttpDownload::Stop() {
  // The partial file stays, with its address, for the next run.
  done_ = true;
  DropReply();
  idle_.stop();
  tick_.stop();
  retry_.stop();
  part_.reset();
}

void HttpDownload::DropReply() {
  if (!reply_) return;
  QNetworkReply* reply = reply_;
  reply_ = nullptr;
  reply->disconnect(this);
  reply->abort();
  reply->deleteLater();
}

}  // namespace dorrinel
