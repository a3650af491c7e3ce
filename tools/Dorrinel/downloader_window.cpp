#include "tools/Dorrinel/downloader_window.h"

#include <QClipboard>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QNetworkAccessManager>
#include <QProgressBar>
#include <QSettings>
#include <QStringDecoder>
#include <QStringEncoder>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>
#include <cstdio>

#include "tools/Dorrinel/desktop_folder.h"
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
  auto* hint = new QLabel(QStringLiteral("把捕获的HTTP请求或下载地址放到剪贴板，再点击下面的按钮，即可下载该文件。"), this);
  hint->setWordWrap(true);
  layout->addWidget(hint);

  auto* folderRow = new QHBoxLayout;
  folderLabel_ = new QLabel(this);
  folderLabel_->setWordWrap(true);
  folderLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  folderRow->addWidget(folderLabel_, 1);
  chooseFolder_ = new QPushButton(QStringLiteral("选择文件夹…"), this);
  chooseFolder_->setObjectName(QStringLiteral("chooseFolder"));
  folderRow->addWidget(chooseFolder_);
  layout->addLayout(folderRow);
  folderLabel_->setText(QStringLiteral("保存到：%1").arg(QDir::toNativeSeparators(folderPath_)));

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

  // What can be done with the last download: open it or its folder once saved, try again once failed.
  auto* after = new QHBoxLayout;
  openFile_ = new QPushButton(QStringLiteral("打开文件"), this);
  openFile_->setObjectName(QStringLiteral("openFile"));
  openFolder_ = new QPushButton(QStringLiteral("打开所在文件夹"), this);
  openFolder_->setObjectName(QStringLiteral("openFolder"));
  retry_ = new QPushButton(QStringLiteral("重试"), this);
  retry_->setObjectName(QStringLiteral("retry"));
  after->addWidget(openFile_);
  after->addWidget(openFolder_);
  after->addWidget(retry_);
  after->addStretch(1);
  layout->addLayout(after);
  ShowAfter(false);
  retry_->hide();

  resize(520, 260);
  network_ = new QNetworkAccessManager(this);
  opener_ = [](const QUrl& url) { return QDesktopServices::openUrl(url); };
  connect(trigger_, &QPushButton::clicked, this, &DownloaderWindow::StartFromClipboard);
  connect(cancel_, &QPushButton::clicked, this, &DownloaderWindow::CancelTransfer);
  connect(chooseFolder_, &QPushButton::clicked, this, &DownloaderWindow::ChooseFolder);
  connect(retry_, &QPushButton::clicked, this, &DownloaderWindow::Retry);
  connect(openFile_, &QPushButton::clicked, this, [this] { Open(lastPath_); });
  connect(openFolder_, &QPushButton::clicked, this, [this] { Open(QFileInfo(lastPath_).absolutePath()); });
  NameTrigger();
}

DownloaderWindow::~DownloaderWindow() { Shutdown(); }

void DownloaderWindow::NameTrigger() {
  trigger_->winId();  // creates the native windows
  if (QWindow* w = trigger_->windowHandle()) w->setTitle(QString::fromUtf8(kTriggerName));
}

QString DownloaderWindow::SettingsPath() {
  QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
  if (!QDir::isAbsolutePath(config)) config = QDir::homePath() + QStringLiteral("/.config");
  return config + QStringLiteral("/Dorrinel/Dorrinel.ini");
}

namespace {
constexpr char kFolderKey[] = "DownloadFolder";
}  // namespace

QString DownloaderWindow::DefaultFolder() {
  const QString overridden = qEnvironmentVariable(kDownloadDirVariable);
  if (!overridden.isEmpty()) return overridden;
  const QString chosen = QSettings(SettingsPath(), QSettings::IniFormat).value(QLatin1String(kFolderKey)).toString();
  if (QDir::isAbsolutePath(chosen)) return chosen;
  QString folder = QString::fromStdString(DesktopDownloadFolder(ThisDesktop()));
  if (folder.isEmpty()) folder = QDir::homePath();
  return folder;
}

void DownloaderWindow::SetFolder(const QString& folder) {
  if (!QDir::isAbsolutePath(folder)) return;
  folderPath_ = QDir::cleanPath(folder);
  folderLabel_->setText(QStringLiteral("保存到：%1").arg(QDir::toNativeSeparators(folderPath_)));
  QSettings settings(SettingsPath(), QSettings::IniFormat);
  settings.setValue(QLatin1String(kFolderKey), folderPath_);
  settings.sync();
  if (settings.status() != QSettings::NoError) {
    ShowMessage(QStringLiteral("下载文件夹已改为 %1，但无法记住它（%2 写不进去）。")
                    .arg(QDir::toNativeSeparators(folderPath_), QDir::toNativeSeparators(SettingsPath())),
                true);
  }
}

void DownloaderWindow::ChooseFolder() {
  const QString folder = QFileDialog::getExistingDirectory(this, QStringLiteral("选择下载文件夹"), folderPath_);
  if (!folder.isEmpty()) SetFolder(folder);
}

void DownloaderWindow::TitleFor(const QString& address) {
  const QUrl url(address.trimmed());
  QString name = url.fileName();
  if (name.isEmpty()) name = url.host();
  if (name.isEmpty()) name = address.trimmed();
  name = name.simplified();
  if (name.size() > 60) name = name.left(59) + QChar(0x2026);
  setWindowTitle(name.isEmpty() ? QString::fromUtf8(kWindowTitle)
                                : QStringLiteral("%1 - %2").arg(name, QString::fromUtf8(kWindowTitle)));
}

void DownloaderWindow::ComeForward() {
  // Un-minimised through the window state, then raised and activated; the window manager sees an
  // activation asked for by the application with the time of the last event it got.
  if (isMinimized()) setWindowState(windowState() & ~Qt::WindowMinimized);
  show();
  raise();
  activateWindow();
}

void DownloaderWindow::Open(const QString& path) {
  if (path.isEmpty()) return;
  if (!opener_ || !opener_(QUrl::fromLocalFile(path))) {
    ShowMessage(QStringLiteral("无法打开 %1：桌面没有能打开它的程序。").arg(QDir::toNativeSeparators(path)), true);
  }
}

void DownloaderWindow::ShowAfter(bool ok) {
  openFile_->setVisible(ok);
  openFolder_->setVisible(ok);
}

void DownloaderWindow::Retry() {
  if (!lastRequest_) return;
  retry_->hide();
  const DownloadRequest request = *lastRequest_;
  if (transfer_ != nullptr) {
    if (queue_.size() < kMaxQueued) queue_.push_back(request);
    return;
  }
  Begin(request);
}

QString DownloaderWindow::MessageText() const { return message_->text(); }
QString DownloaderWindow::AddressText() const { return address_->text(); }
QString DownloaderWindow::ProgressText() const { return progressText_->text(); }

void DownloaderWindow::StartFromClipboard() { StartText(QGuiApplication::clipboard()->text()); }

bool DownloaderWindow::StartText(const QString& text) {
  ComeForward();
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
  lastRequest_ = request;
  lastPath_.clear();
  ShowAfter(false);
  retry_->hide();
  std::string error;
  folder_ = DownloadFolder::Open(folderPath_.toStdString(), error);
  if (!folder_) {
    Refuse(QStringLiteral("无法打开下载文件夹：%1").arg(FromStd(error)), true);
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
  lastPath_ = ok ? path : QString();
  ShowAfter(ok && !path.isEmpty());
  retry_->setVisible(!ok && lastRequest_.has_value());
  // The likely next step has the keyboard: Enter or Space opens the file, or tries again.
  if (ok && !path.isEmpty()) {
    openFile_->setFocus();
  } else if (retry_->isVisibleTo(this)) {
    retry_->setFocus();
  }
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

void DownloaderWindow::Refuse(const QString& message, bool retryable) {
  ShowMessage(message, true);
  if (retryable) {
    ShowAfter(false);
    retry_->setVisible(lastRequest_.has_value());
  }
  Report(QStringLiteral("error: ") + message);
  emit Finished(false, message, QString());
}

void DownloaderWindow::ShowMessage(const QString& message, bool error) {
  message_->setStyleSheet(error ? QStringLiteral("color: red") : QString());
  message_->setText(message);
  // A long message wraps onto more lines: the window grows to show it whole, once the layout has
  // taken in the change.
  QTimer::singleShot(0, this, [this] {
    const int needed = layout()->totalHeightForWidth(width());
    if (needed > height()) resize(width(), needed);
  });
}

}  // namespace dorrinel
