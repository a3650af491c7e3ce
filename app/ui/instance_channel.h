// The line between a second start of the program and the running copy. The running copy listens on a
// local socket beside its single-copy lock; a second start, which ends at once, first tells it to come
// forward and, when it was given a capture file, to open that file.
//
// The message is one line of UTF-8, at most kMaxMessage bytes: "raise" or "open <absolute path>".
#pragma once
#include <QObject>
#include <QString>

class QLocalServer;
class QWidget;

namespace qv {

// The socket beside the single-copy lock: "hkOneCopy.sock" in the lock's folder.
QString InstanceSocketPath();

class InstanceChannel : public QObject {
  Q_OBJECT
 public:
  static constexpr int kMaxMessage = 8192;

  explicit InstanceChannel(QObject* parent = nullptr);
  // Listens on `socketPath`. The caller holds the single-copy lock, so a socket file left there by a
  // copy that died is its own to replace. False when the socket cannot be made.
  bool Listen(const QString& socketPath);

  // From Hold() to SetReady() (while the window is being made, its start-up messages included)
  // requests are kept, not lost: one "come forward" and the last file asked for, passed on by
  // SetReady().
  void Hold() { ready_ = false; }
  void SetReady();

  // From a second start: asks the running copy to come forward and to open `file` when it is not
  // empty (made absolute against the current directory). Waits at most `timeoutMs` in all; false when
  // nobody answered.
  static bool Forward(const QString& socketPath, const QString& file, int timeoutMs = 2000);

 signals:
  void RaiseRequested();
  void OpenRequested(const QString& file);

 private:
  void Request(const QString& file);

  QLocalServer* server_;
  bool ready_ = true;
  bool raisePending_ = false;
  QString filePending_;
};

// Brings the window forward as a second start asks: back from the tray or from minimised, in the
// state it had before (a maximised window comes back maximised), raised and active.
void BringForward(QWidget& window);

}  // namespace qv
