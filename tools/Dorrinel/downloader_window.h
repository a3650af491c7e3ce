// The simple downloader's window. Another program hands it a captured HTTP request through the
// clipboard and then clicks its trigger control; the downloader sends the request to its host again
// and saves the answer's body in the user's download folder.
#pragma once
#include <QFile>
#include <QPushButton>
#include <QString>
#include <QTcpSocket>
#include <QTimer>
#include <QWidget>
#include <memory>

#include "tools/Dorrinel/http_fetch.h"

class QLabel;
class QProgressBar;

namespace dorrinel {

// Window title and trigger name by which other programs find the downloader.
inline constexpr char kWindowTitle[] = "简易HTTP下载软件";
inline constexpr char kTriggerName[] = "morvandelquist";
// Overrides the download folder (tests).
inline constexpr char kDownloadDirVariable[] = "QUELVAR_DOWNLOAD_DIR";

// The trigger: a push button with an X11 window of its own named kTriggerName. A press and release
// anywhere inside it is a click (a posted click arrives at its top left corner).
class TriggerButton : public QPushButton {
  Q_OBJECT
 public:
  using QPushButton::QPushButton;

 protected:
  bool hitButton(const QPoint& pos) const override { return rect().contains(pos); }
};

class DownloaderWindow : public QWidget {
  Q_OBJECT
 public:
  explicit DownloaderWindow(QWidget* parent = nullptr);
  ~DownloaderWindow() override;

  // Gives the trigger its native window and that window its name; call once the window exists.
  void NameTrigger();
  // The folder downloads go to.
  static QString DownloadFolder();

 private slots:
  void StartFromClipboard();
  void OnConnected();
  void OnReadyRead();
  void OnDisconnected();
  void OnSocketError(QAbstractSocket::SocketError error);
  void OnIdle();

 private:
  void Fail(const QString& message);
  void Succeed();
  void Cleanup();
  void ShowProgress();

  TriggerButton* trigger_ = nullptr;
  QLabel* status_ = nullptr;
  QProgressBar* progress_ = nullptr;

  QTcpSocket* socket_ = nullptr;
  QTimer idle_;
  std::unique_ptr<ResponseReader> reader_;
  PreparedRequest request_;
  QFile part_;          // the body as it arrives, "<name>.part"
  QString finalPath_;   // where the file goes when complete
  bool busy_ = false;
};

}  // namespace dorrinel
