#include "tools/Dorrinel/downloader_window.h"

#include <QClipboard>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QNetworkAccessManager>
#include <QProgressBar>
#include <QStandardPaths>
#include <QStringDecoder>
#include <QStringEncoder>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>
#include <cstdio>

#include "tools/Dorrinel/http_download.h"
#include "tools/Dorrinel/rate.h"
#include "tools/Dorrinel/request.h"
#include "tools/Dorrinel/stream_recording.h"

namespace dorrinel {

namespace {

QString FromStd(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

// One line on standard error per event: what a script or a test reads.
void Report(const QString& line) {
  std::fprintf(stderr, "Dorrinel: %s\n", line.toUtf8().constData());
  std::fflush(stderr);
}

QString RefusalText(ParseError error) {
  switch (error) {
    case ParseError::kNone:
      break;
    case ParseError::kEmpty:
      return QStringLiteral("剪贴板中没有数据包或地址。");
    case ParseError::kNotRequest:
      return QStringLiteral("剪贴板中的内容既不是HTTP请求（GET 或 POST），也不是下载地址，无法下载。");
    case ParseError::kNoHost:
      return QStringLiteral("请求中没有Host头，不知道从哪个服务器下载。");
    case ParseError::kBadHost:
      return QStringLiteral("请求中的服务器名或端口号不正确。");
    case ParseError::kUnsupportedScheme:
      return QStringLiteral("不支持这种地址：只能下载 http:// 和 https:// 地址，录制 rtsp://、mms://、rtmp:// 和 .m3u8/.mpd 流媒体。");
  }
  return QString();
}

// An address as a person reads it: escapes decoded, as UTF-8 when they are, else as GBK.
QString Readable(const std::string& url) {
  const QByteArray bytes = QByteArray::fromPercentEncoding(QByteArray(url.data(), static_cast<qsizetype>(url.size())));
  QStringDecoder utf8(QStringDecoder::Utf8);
  QString text = utf8.decode(bytes);
  if (utf8.hasError()) {
    QStringDecoder gbk("GBK");
    text = gbk.decode(bytes);
  }
  // Control and invisible format characters (a right-to-left override turns what follows around)
  // that an escape may have hidden are shown as the escapes they were.
  for (const char32_t c : text.toUcs4()) {
    const QChar::Category category = QChar::category(c);
    if (category == QChar::Other_Control || category == QChar::Other_Format ||
        category == QChar::Separator_Line || category == QChar::Separator_Paragraph) {
      return FromStd(url);
    }
  }
  return text;
}

}  // namespace

QString FormatBytes(std::uint64_t bytes) {
  if (bytes < 1024) return QStringLiteral("%1 字节").arg(bytes);
  const double b = static_cast<double>(bytes);
  if (bytes < (1u << 20)) return QStringLiteral("%1 KB").arg(b / 1024, 0, 'f', 1);
  if (bytes < (1ull << 30)) return QStringLiteral("%1 MB").arg(b / (1 << 20), 0, 'f', 1);
  return QStringLiteral("%1 GB").arg(b / (1ull << 30), 0, 'f', 2);
}

QString FormatDuration(std::uint64_t seconds) {
  const std::uint64_t h = seconds / 3600, m = seconds / 60 % 60, s = seconds % 60;
  if (h > 0) return QStringLiteral("%1:%2:%3").arg(h).arg(m, 2, 10, QLatin1Char('0')).arg(s, 2, 10, QLatin1Char('0'));
  return QStringLiteral("%1:%2").arg(m).arg(s, 2, 10, QLatin1Char('0'));
}

DownloaderWindow::DownloaderWindow(const QString& folder, Limits limits, QWidget* parent)
    : QWidget(parent), folderPath_(folder.isEmpty() ? DefaultFolder() : folder), limits_(limits) {
  setWindowTitle(QString::fromUtf8(kWindowTitle));
  auto* layout = new QVBoxLayout(this);
  auto* hint = new QLabel(QStringLiteral("把捕获的HTTP请求或下载地址放到剪贴板，再点击下面的按钮，即可下载该文件。\n保存到：%1")
                              .arg(QDir::toNativeSeparators(folderPath_)),
                          this);
  hint->setWordWrap(true);
  layout->addWidget(hint);

  // The trigger is a direct child of the window, with an X11 window of its own, so that other
  // programs find it by name among the window's children and can post it a click.
  trigger_ = new TriggerButton(QStringLiteral("从剪贴板下载"), this);
  trigger_->setAttribute(Qt::WA_NativeWindow);
  layout->addWidget(trigger_);

  address_ = new QLabel(this);
  address_->setWordWrap(true);
  address_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  layout->addWidget(address_);

  auto* row = new QHBoxLayout;
  progress_ = new QProgressBar(this);
  progress_->setRange(0, 100);
  progress_->setValue(0);
  row->addWidget(progress_, 1);
  cancel_ = new QPushButton(QStringLiteral("取消"), this);
  cancel_->setEnabled(false);
  row->addWidget(cancel_);
  layout->addLayout(row);

  progressText_ = new QLabel(this);
  layout->addWidget(progressText_);

  message_ = new QLabel(QStringLiteral("等待下载任务。"), this);
  message_->setWordWrap(true);
  message_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  layout->addWidget(message_);

  resize(480, 220);
  network_ = new QNetworkAccessManager(this);
  connect(trigger_, &QPushButton::clicked, this, &DownloaderWindow::StartFromClipboard);
  connect(cancel_, &QPushButton::clicked, this, &DownloaderWindow::CancelTransfer);
  NameTrigger();
}

DownloaderWindow::~DownloaderWindow() { Shutdown(); }

void DownloaderWindow::NameTrigger() {
  trigger_->winId();  // creates the native windows
  if (QWindow* w = trigger_->windowHandle()) w->setTitle(QString::fromUtf8(kTriggerName));
}

QString DownloaderWindow::DefaultFolder() {
  const QString overridden = qEnvironmentVariable(kDownloadDirVariable);
  if (!overridden.isEmpty()) return overridden;
  QString folder = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
  if (folder.isEmpty()) folder = QDir::homePath();
  return folder;
}

QString DownloaderWindow::MessageText() const { return message_->text(); }
QString DownloaderWindow::AddressText() const { return address_->text(); }
QString DownloaderWindow::ProgressText() const { return progressText_->text(); }

void DownloaderWindow::StartFromClipboard() { StartText(QGuiApplication::clipboard()->text()); }

bool DownloaderWindow::StartText(const QString& text) {
  // The clipboard holds the captured GBK payload text as Unicode: back to its bytes.
  QStringEncoder toGbk("GBK");
  const QByteArray gbk = toGbk.encode(text);
  DownloadRequest request = ParseHandedText(std::string_view(gbk.constData(), static_cast<std::size_t>(gbk.size())));
  if (request.error != ParseError::kNone) {
    Refuse(RefusalText(request.error));
    return false;
  }
  if (transfer_ != nullptr) {
    // One transfer at a time; what is handed over meanwhile waits its turn (the clipboard has been read).
    if (queue_.size() >= kMaxQueued) {
      Refuse(QStringLiteral("下载队列已满（%1 个），请等当前文件完成后再试。").arg(kMaxQueued));
      return false;
    }
    Report(QStringLiteral("queued ") + FromStd(request.DisplayUrl()));
    queue_.push_back(std::move(request));
    ShowMessage(QStringLiteral("已加入下载队列，前面还有 %1 个。").arg(queue_.size()), false);
    return true;
  }
  return Begin(request);
}

bool DownloaderWindow::Begin(const DownloadRequest& request) {
  std::string error;
  folder_ = DownloadFolder::Open(folderPath_.toStdString(), error);
  if (!folder_) {
    Refuse(QStringLiteral("无法打开下载文件夹：%1").arg(FromStd(error)));
    return false;
  }

  const QString url = FromStd(request.DisplayUrl());
  address_->setText(Readable(request.DisplayUrl()));
  Report(QStringLiteral("start ") + url);
  if (request.stream) {
    transfer_ = new StreamRecording(folder_.get(), request, limits_, this);
    cancel_->setText(QStringLiteral("停止录制"));
  } else {
    transfer_ = new HttpDownload(network_, folder_.get(), request, limits_, this);
    cancel_->setText(QStringLiteral("取消"));
  }
  connect(transfer_, &Transfer::Note, this, [this](const QString& note) {
    ShowMessage(note, false);
    Report(QStringLiteral("note: ") + note);
  });
  connect(transfer_, &Transfer::Progress, this, &DownloaderWindow::ShowProgress);
  connect(transfer_, &Transfer::Finished, this, &DownloaderWindow::OnFinished);
  cancel_->setEnabled(true);
  progress_->setRange(0, 0);
  progressText_->clear();
  transfer_->Start();
  return true;
}

void DownloaderWindow::CancelTransfer() {
  if (transfer_ != nullptr) transfer_->Cancel();
}

void DownloaderWindow::Shutdown() {
  queue_.clear();
  if (transfer_ == nullptr) return;
  Transfer* t = transfer_;
  transfer_ = nullptr;
  t->disconnect(this);
  t->Stop();
  delete t;
  folder_.reset();
}

void DownloaderWindow::ShowProgress(const ProgressInfo& info) {
  QString text = QStringLiteral("已下载 %1").arg(FormatBytes(info.bytes));
  if (info.total > 0) {
    text += QStringLiteral(" / %1").arg(FormatBytes(static_cast<std::uint64_t>(info.total)));
    progress_->setRange(0, 1000);
    progress_->setValue(static_cast<int>(std::min<std::uint64_t>(info.bytes, info.total) * 1000 / info.total));
  }
  if (!queue_.empty()) text += QStringLiteral("（队列中还有 %1 个）").arg(queue_.size());
  if (info.mediaSeconds >= 0) text += QStringLiteral("，已录制 %1").arg(FormatDuration(static_cast<std::uint64_t>(info.mediaSeconds)));
  text += QStringLiteral("，速度 %1/秒").arg(FormatBytes(static_cast<std::uint64_t>(info.bytesPerSecond)));
  if (info.total > 0) {
    if (const auto left = RemainingSeconds(info.bytes, static_cast<std::uint64_t>(info.total), info.bytesPerSecond)) {
      text += QStringLiteral("，剩余 %1").arg(FormatDuration(*left));
    }
  }
  progressText_->setText(text);
}

void DownloaderWindow::OnFinished(bool ok, const QString& message, const QString& path) {
  Transfer* t = transfer_;
  transfer_ = nullptr;
  if (t != nullptr) t->deleteLater();
  cancel_->setEnabled(false);
  progress_->setRange(0, 100);
  progress_->setValue(ok ? 100 : 0);
  ShowMessage(message, !ok);
  if (ok) {
    Report(QStringLiteral("saved %1 (%2 bytes)").arg(path).arg(QFileInfo(path).size()));
  } else {
    Report(QStringLiteral("error: ") + message);
  }
  emit Finished(ok, message, path);
  if (!queue_.empty() && transfer_ == nullptr) {
    // The next one starts from the event loop, after this transfer has finished unwinding.
    QTimer::singleShot(0, this, [this] {
      if (transfer_ != nullptr || queue_.empty()) return;
      const DownloadRequest next = std::move(queue_.front());
      queue_.pop_front();
      Begin(next);
    });
  }
}

void DownloaderWindow::Refuse(const QString& message) {
  ShowMessage(message, true);
  Report(QStringLiteral("error: ") + message);
  emit Finished(false, message, QString());
}

void DownloaderWindow::ShowMessage(const QString& message, bool error) {
  message_->setStyleSheet(error ? QStringLiteral("color: red") : QString());
  message_->setText(message);
}

}  // namespace dorrinel
