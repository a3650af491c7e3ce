// The simple downloader's window. Another program hands it a captured HTTP request (or a plain
// address) through the clipboard and then clicks its trigger control; or it is started with an address
// as its first argument. It fetches the file again (http_download.h) or records the stream
// (stream_recording.h) into the download folder, showing the running size, speed and remaining time,
// and can be cancelled.
#pragma once
#include <QPushButton>
#include <QString>
#include <QUrl>
#include <QWidget>
#include <deque>
#include <functional>
#include <memory>
#include <optional>

#include "tools/Dorrinel/folder.h"
#include "tools/Dorrinel/request.h"
#include "tools/Dorrinel/transfer.h"

class QLabel;
class QNetworkAccessManager;
class QProgressBar;

namespace dorrinel {

// Window title and trigger name by which other programs find the downloader.
inline constexpr char kWindowTitle[] = "简易HTTP下载软件";
inline constexpr char kTriggerName[] = "morvandelquist";
// Requests handed over while a transfer runs wait in a queue of at most this many.
inline constexpr std::size_t kMaxQueued = 100;
// Names the download folder when set (a --dir option wins over it).
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
  // `folder`: where downloads go; empty: DefaultFolder(). A folder chosen in the window is remembered
  // in the downloader's own settings (SettingsPath()) and is the default from then on.
  explicit DownloaderWindow(const QString& folder = QString(), Limits limits = Limits(), QWidget* parent = nullptr);
  ~DownloaderWindow() override;

  // Gives the trigger its native window and that window its name; call once the window exists.
  void NameTrigger();
  // $QUELVAR_DOWNLOAD_DIR, else the folder last chosen in the window, else the desktop's download
  // folder (XDG_DOWNLOAD_DIR as xdg-user-dir gives it, else ~/Downloads when it exists), else the home
  // folder.
  static QString DefaultFolder();
  // $XDG_CONFIG_HOME/Dorrinel/Dorrinel.ini (~/.config/Dorrinel/Dorrinel.ini).
  static QString SettingsPath();

  QString Folder() const { return folderPath_; }
  // Downloads from now on go to `folder` (the running one stays where it is); it is remembered.
  void SetFolder(const QString& folder);
  // A window started for one address says which in its title, so that a hand-off that looks for the
  // downloader's own title (kWindowTitle) starts a window of its own instead of taking this one.
  void TitleFor(const QString& address);
  // How "打开文件" and "打开所在文件夹" open a local file or folder: the desktop's handler
  // (QDesktopServices) unless a test puts something else.
  using Opener = std::function<bool(const QUrl&)>;
  void SetOpener(Opener opener) { opener_ = std::move(opener); }

  // Starts on a text as handed over: the clipboard's text or the first argument; while a transfer
  // runs, the request waits in a queue (at most kMaxQueued) and starts when its turn comes. False
  // when the text is refused (the reason is shown).
  bool StartText(const QString& text);
  // The program ends: a download keeps its partial file for the next run, a recording keeps what it
  // has recorded.
  void Shutdown();

  QString MessageText() const;
  QString AddressText() const;  // the address shown
  QString ProgressText() const;

 public slots:
  void StartFromClipboard();
  void CancelTransfer();
  // The last request once more (after a failure or a cancel); a broken download continues.
  void Retry();

 signals:
  void Finished(bool ok, const QString& message, const QString& path);

 private:
  bool Begin(const DownloadRequest& request);
  void ShowProgress(const ProgressInfo& info);
  void OnFinished(bool ok, const QString& message, const QString& path);
  void ShowMessage(const QString& message, bool error);
  void Refuse(const QString& message, bool retryable = false);
  // Shown, not minimised, raised and activated: the window takes a download.
  void ComeForward();
  void ChooseFolder();
  void Open(const QString& path);
  void ShowAfter(bool ok);

  QString folderPath_;
  Limits limits_;
  TriggerButton* trigger_ = nullptr;
  QPushButton* cancel_ = nullptr;
  QLabel* folderLabel_ = nullptr;
  QPushButton* chooseFolder_ = nullptr;
  QPushButton* openFile_ = nullptr;
  QPushButton* openFolder_ = nullptr;
  QPushButton* retry_ = nullptr;
  QString lastPath_;
  std::optional<DownloadRequest> lastRequest_;
  Opener opener_;
  QLabel* address_ = nullptr;
  QLabel* progressText_ = nullptr;
  QLabel* message_ = nullptr;
  QProgressBar* progress_ = nullptr;
  QNetworkAccessManager* network_ = nullptr;
  std::unique_ptr<DownloadFolder> folder_;
  Transfer* transfer_ = nullptr;
  std::deque<DownloadRequest> queue_;
};

// "1.5 MB", "830 KB", "12 字节".
QString FormatBytes(std::uint64_t bytes);
// "0:42", "1:02:03".
QString FormatDuration(std::uint64_t seconds);

}  // namespace dorrinel
