// Recording HTTPS with a browser's key log, as the window offers it: the command that starts the
// person's browser with SSLKEYLOGFILE set to the program's own key file, the choice to keep that file
// when the program ends, and the key log files the session's HTTPS reader follows (the own file and
// those of the keyLogFile setting), kept up to date while a session runs. Decryption itself runs in
// the session's HttpsSession, in this process.
#pragma once
#include <QObject>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/browser_choice.h"
#include "platform/key_file.h"

class QAction;
class QMenu;
class QWidget;

namespace qv {

class HttpsCountsCell;
class Prompter;
class SessionController;
class AppSettings;

// The two settings this part reads, in one place.
struct HttpsPreferences {
  std::vector<std::string> keyLogFiles;  // [system] keyLogFile, paths separated by ';'
  std::string browser;                   // [system] httpsBrowser, a command line; empty: automatic
};
HttpsPreferences ReadHttpsPreferences(const AppSettings& settings);

class HttpsRecording : public QObject {
  Q_OBJECT
 public:
  struct Options {
    // Where the key file goes; empty: KeyFileFolder of the environment.
    std::string keyFolder;
    // The desktop's default browser (tests replace the real question to xdg-settings).
    std::function<std::string()> desktopDefault = [] { return DesktopDefaultBrowser(); };
  };
  // `settings` are the program's settings, read at each use (the dialog changes them); `window` is the
  // boxes' parent.
  HttpsRecording(SessionController& session, const AppSettings& settings, Prompter& prompter,
                 QWidget* window, Options options);
  HttpsRecording(SessionController& session, const AppSettings& settings, Prompter& prompter,
                 QWidget* window)
      : HttpsRecording(session, settings, prompter, window, Options()) {}
  // The key file goes unless the person chose to keep it.
  ~HttpsRecording() override;

  // Puts "用浏览器记录HTTPS…" and the keep choice at the end of `menu`.
  void AddTo(QMenu* menu);
  // The status bar's cell, brought up to date with the session's other counts.
  void ShowCountsIn(HttpsCountsCell* cell);

  // "用浏览器记录HTTPS…": makes the key file on first use, starts the browser with it and has the
  // session follow it. A failure is said in a box.
  void StartBrowser();
  // The key log files to follow: the own key file (once made) and the setting's, read afresh.
  void Refresh();

  QAction* StartAction() const { return start_; }
  QAction* KeepAction() const { return keep_; }
  // The own key file; empty before the command was first used.
  std::string KeyFilePath() const { return keyFile_ ? keyFile_->Path() : std::string(); }

 private:
  SessionController& session_;
  const AppSettings& settings_;  // read again each time: the dialog may change it
  Prompter& prompter_;
  QWidget* window_;
  Options options_;
  std::unique_ptr<KeyFile> keyFile_;
  std::vector<std::string> following_;
  QAction* start_ = nullptr;
  QAction* keep_ = nullptr;
  HttpsCountsCell* cell_ = nullptr;
};

}  // namespace qv
