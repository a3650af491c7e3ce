#include "app/ui/instance_channel.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <utility>

#include "platform/single_copy.h"

namespace qv {

QString InstanceSocketPath() {
  const QString lock = QString::fromStdString(SingleCopyLockPath());
  return QFileInfo(lock).path() + QStringLiteral("/hkOneCopy.sock");
}

InstanceChannel::InstanceChannel(QObject* parent) : QObject(parent), server_(new QLocalServer(this)) {
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  connect(server_, &QLocalServer::newConnection, this, [this] {
    while (QLocalSocket* peer = server_->nextPendingConnection()) {
      connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
      // A peer that says nothing useful in time is dropped; a line longer than the limit too.
      QTimer::singleShot(3000, peer, [peer] { peer->abort(); });
      connect(peer, &QLocalSocket::readyRead, this, [this, peer] {
        if (!peer->canReadLine()) {
          if (peer->bytesAvailable() > kMaxMessage) peer->abort();
          return;
        }
        const QString line = QString::fromUtf8(peer->readLine(kMaxMessage + 1)).trimmed();
        peer->disconnectFromServer();
        if (line == QLatin1String("raise")) Request(QString());
        else if (line.startsWith(QLatin1String("open ")) && line.size() > 5) Request(line.mid(5));
      });
    }
  });
}

bool InstanceChannel::Listen(const QString& socketPath) {
  QLocalServer::removeServer(socketPath);
  return server_->listen(socketPath);
}

void InstanceChannel::Request(const QString& file) {
  if (!ready_) {
    raisePending_ = true;
    if (!file.isEmpty()) filePending_ = file;
    return;
  }
  emit RaiseRequested();
  if (!file.isEmpty()) emit OpenRequested(file);
}

void InstanceChannel::SetReady() {
  if (ready_) return;
  ready_ = true;
  if (!raisePending_) return;
  raisePending_ = false;
  Request(std::exchange(filePending_, QString()));
}

void BringForward(QWidget& window) {
  if (window.isMinimized()) window.setWindowState((window.windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
  if (window.isHidden()) window.show();
  window.raise();
  window.activateWindow();
}

bool InstanceChannel::Forward(const QString& socketPath, const QString& file, int timeoutMs) {
  const QDeadlineTimer deadline(timeoutMs);
  QLocalSocket socket;
  socket.connectToServer(socketPath);
  if (!socket.waitForConnected(static_cast<int>(deadline.remainingTime()))) return false;
  QByteArray line = file.isEmpty() ? QByteArrayLiteral("raise")
                                   : "open " + QFileInfo(file).absoluteFilePath().toUtf8();
  line.replace('\n', ' ');
  if (line.size() > kMaxMessage - 1) return false;
  socket.write(line + '\n');
  if (!socket.waitForBytesWritten(static_cast<int>(deadline.remainingTime()))) return false;
  // The running copy closes its end once it has the line.
  socket.waitForDisconnected(static_cast<int>(std::max<qint64>(0, deadline.remainingTime())));
  return true;
}

}  // namespace qv
