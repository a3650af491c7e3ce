#include "tools/Dorrinel/downloader_window.h"

#include <QClipboard>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QProgressBar>
#include <QStandardPaths>
#include <QStringEncoder>
#include <QVBoxLayout>
#include <QWindow>
#include <cstdio>

namespace dorrinel {

namespace {

constexpr int kIdleMs = 30000;  // a server silent for this long ends the download

bool IsSuccess(int status) { return status >= 200 && status < 300; }

QString FromStd(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

void Report(const QString& line) {
  std::fprintf(stderr, "Dorrinel: %s\n", line.toUtf8().constData());
  std::fflush(stderr);
}

}  // namespace

DownloaderWindow::DownloaderWindow(QWidget* parent) : QWidget(parent) {
  setWindowTitle(QString::fromUtf8(kWindowTitle));
  auto* layout = new QVBoxLayout(this);
  auto* hint = new QLabel(QStringLiteral("把捕获的HTTP请求放到剪贴板，再点击下面的按钮，即可下载该文件。"), this);
  hint->setWordWrap(true);
  layout->addWidget(hint);

  // The trigger is a direct child of the window, with an X11 window of its own, so that other
  // programs find it by name among the window's children and can post it a click.
  trigger_ = new TriggerButton(QStringLiteral("从剪贴板下载"), this);
  trigger_->setAttribute(Qt::WA_NativeWindow);
  layout->addWidget(trigger_);

  progress_ = new QProgressBar(this);
  progress_->setRange(0, 100);
  progress_->setValue(0);
  layout->addWidget(progress_);

  status_ = new QLabel(QStringLiteral("等待下载任务。"), this);
  status_->setWordWrap(true);
  status_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  layout->addWidget(status_);

  resize(440, 170);
  connect(trigger_, &QPushButton::clicked, this, &DownloaderWindow::StartFromClipboard);
  idle_.setSingleShot(true);
  connect(&idle_, &QTimer::timeout, this, &DownloaderWindow::OnIdle);
  NameTrigger();
}

DownloaderWindow::~DownloaderWindow() {
  busy_ = false;
  if (part_.isOpen()) {
    part_.close();
    part_.remove();
  }
  Cleanup();
}

void DownloaderWindow::NameTrigger() {
  trigger_->winId();  // creates the native windows
  if (QWindow* w = trigger_->windowHandle()) w->setTitle(QString::fromUtf8(kTriggerName));
}

QString DownloaderWindow::DownloadFolder() {
  const QString overridden = qEnvironmentVariable(kDownloadDirVariable);
  if (!overridden.isEmpty()) return overridden;
  QString folder = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
  if (folder.isEmpty()) folder = QDir::homePath();
  return folder;
}

void DownloaderWindow::StartFromClipboard() {
  if (busy_) {
    status_->setText(QStringLiteral("正在下载，请等当前文件完成后再试。"));
    return;
  }
  const QString text = QGuiApplication::clipboard()->text();
  if (text.isEmpty()) return Fail(QStringLiteral("剪贴板中没有数据包。"));

  // The clipboard holds the captured GBK payload text as Unicode: back to its bytes, then the NUL
  // markers back to zero bytes.
  QStringEncoder toGbk("GBK");
  const QByteArray gbk = toGbk.encode(text);
  request_ = PrepareRequest(NulMarkersToZeros(std::string_view(gbk.constData(), static_cast<std::size_t>(gbk.size()))));
  switch (request_.error) {
    case RequestError::kNone:
      break;
    case RequestError::kEmpty:
      return Fail(QStringLiteral("剪贴板中没有数据包。"));
    case RequestError::kNotHttp:
      return Fail(QStringLiteral("剪贴板中的数据包不是HTTP请求，无法下载。"));
    case RequestError::kNoHost:
      return Fail(QStringLiteral("请求中没有Host头，不知道从哪个服务器下载。"));
    case RequestError::kBadPort:
      return Fail(QStringLiteral("请求的Host头中端口号不正确。"));
  }

  const QString folder = DownloadFolder();
  if (!QDir().mkpath(folder)) return Fail(QStringLiteral("无法创建下载文件夹：%1").arg(folder));
  const QDir dir(folder);
  const std::string name = UniqueFileName(request_.fileName, [&](const std::string& candidate) {
    const QString path = dir.filePath(FromStd(candidate));
    return QFileInfo::exists(path) || QFileInfo::exists(path + QStringLiteral(".part"));
  });
  finalPath_ = dir.filePath(FromStd(name));
  part_.setFileName(finalPath_ + QStringLiteral(".part"));
  if (!part_.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
    return Fail(QStringLiteral("无法写入文件：%1（%2）").arg(part_.fileName(), part_.errorString()));
  }

  busy_ = true;
  reader_ = std::make_unique<ResponseReader>();
  socket_ = new QTcpSocket(this);
  connect(socket_, &QTcpSocket::connected, this, &DownloaderWindow::OnConnected);
  connect(socket_, &QTcpSocket::readyRead, this, &DownloaderWindow::OnReadyRead);
  connect(socket_, &QTcpSocket::disconnected, this, &DownloaderWindow::OnDisconnected);
  connect(socket_, &QTcpSocket::errorOccurred, this, &DownloaderWindow::OnSocketError);
  progress_->setRange(0, 0);
  status_->setStyleSheet(QString());
  status_->setText(QStringLiteral("正在连接 %1:%2 ……").arg(FromStd(request_.host)).arg(request_.port));
  idle_.start(kIdleMs);
  socket_->connectToHost(FromStd(request_.host), request_.port);
}

void DownloaderWindow::OnConnected() {
  socket_->write(request_.bytes.data(), static_cast<qint64>(request_.bytes.size()));
  status_->setText(QStringLiteral("正在下载 %1 ……").arg(QFileInfo(finalPath_).fileName()));
  idle_.start(kIdleMs);
}

void DownloaderWindow::OnReadyRead() {
  if (!busy_) return;
  idle_.start(kIdleMs);
  const QByteArray data = socket_->readAll();
  bool writeFailed = false;
  const bool ok = reader_->Feed(std::string_view(data.constData(), static_cast<std::size_t>(data.size())),
                                [&](std::string_view body) {
                                  if (!IsSuccess(reader_->status())) return false;  // an error page is no file
                                  const qint64 n = static_cast<qint64>(body.size());
                                  if (part_.write(body.data(), n) != n) {
                                    writeFailed = true;
                                    return false;
                                  }
                                  return true;
                                });
  const int status = reader_->status();
  if (status >= 200 && !IsSuccess(status) &&
      (reader_->HeaderDone() || reader_->state() == ResponseReader::State::kError)) {
    QString message = QStringLiteral("服务器返回错误：HTTP %1 %2").arg(status).arg(FromStd(reader_->reason()));
    if (status >= 300 && status < 400) {
      if (const auto location = reader_->Header("Location")) {
        message += QStringLiteral("（文件在另一个地址：%1）").arg(FromStd(*location));
      }
    }
    return Fail(message);
  }
  if (writeFailed) return Fail(QStringLiteral("无法写入文件：%1（%2）").arg(part_.fileName(), part_.errorString()));
  if (!ok) return Fail(QStringLiteral("服务器的回答无法读取：%1").arg(FromStd(reader_->error())));
  ShowProgress();
  if (reader_->state() == ResponseReader::State::kDone) Succeed();
}

void DownloaderWindow::OnDisconnected() {
  if (!busy_) return;
  if (socket_->bytesAvailable() > 0) OnReadyRead();
  if (!busy_) return;
  if (!reader_->Finish()) {
    return Fail(QStringLiteral("连接中断，文件不完整：%1").arg(FromStd(reader_->error())));
  }
  Succeed();
}

void DownloaderWindow::OnSocketError(QAbstractSocket::SocketError error) {
  if (!busy_) return;
  const QString where = QStringLiteral("%1:%2").arg(FromStd(request_.host)).arg(request_.port);
  switch (error) {
    case QAbstractSocket::RemoteHostClosedError:
      return;  // the end of an answer; OnDisconnected decides
    case QAbstractSocket::ConnectionRefusedError:
      return Fail(QStringLiteral("无法连接到服务器 %1：连接被拒绝。").arg(where));
    case QAbstractSocket::HostNotFoundError:
      return Fail(QStringLiteral("找不到服务器 %1。").arg(FromStd(request_.host)));
    default:
      return Fail(QStringLiteral("与服务器 %1 通信出错：%2").arg(where, socket_->errorString()));
  }
}

void DownloaderWindow::OnIdle() {
  if (busy_) Fail(QStringLiteral("服务器 %1 秒没有回应，下载中止。").arg(kIdleMs / 1000));
}

void DownloaderWindow::ShowProgress() {
  const auto length = reader_->contentLength();
  if (length && *length > 0) {
    progress_->setRange(0, 100);
    progress_->setValue(static_cast<int>(reader_->bodyBytes() * 100 / *length));
  }
}

void DownloaderWindow::Succeed() {
  const qint64 size = static_cast<qint64>(reader_->bodyBytes());
  busy_ = false;
  idle_.stop();
  const bool flushed = part_.flush();
  part_.close();
  if (!flushed || !QFile::rename(part_.fileName(), finalPath_)) {
    QFile::remove(part_.fileName());
    Cleanup();
    status_->setStyleSheet(QStringLiteral("color: red"));
    status_->setText(QStringLiteral("无法保存文件：%1").arg(finalPath_));
    Report(QStringLiteral("error: ") + status_->text());
    return;
  }
  Cleanup();
  progress_->setRange(0, 100);
  progress_->setValue(100);
  status_->setStyleSheet(QString());
  status_->setText(QStringLiteral("下载完成：%1（%2 字节）").arg(finalPath_).arg(size));
  Report(QStringLiteral("saved %1 (%2 bytes)").arg(finalPath_).arg(size));
}

void DownloaderWindow::Fail(const QString& message) {
  busy_ = false;
  idle_.stop();
  if (part_.isOpen()) {
    part_.close();
    part_.remove();  // no half file is left behind
  }
  Cleanup();
  progress_->setRange(0, 100);
  progress_->setValue(0);
  status_->setStyleSheet(QStringLiteral("color: red"));
  status_->setText(message);
  Report(QStringLiteral("error: ") + message);
}

void DownloaderWindow::Cleanup() {
  if (socket_ != nullptr) {
    socket_->disconnect(this);
    socket_->abort();
    socket_->deleteLater();
    socket_ = nullptr;
  }
}

}  // namespace dorrinel
