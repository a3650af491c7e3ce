// The update check of the window: the menu command "升级查询" (N30) and the timed check once
// 59 s after start (tmr3, owned here). The file is fetched with Qt's network stack; comparing the
// versions and what is left for the updater are qv::update's.
#pragma once
#include <QObject>
#include <QString>

#include <exception>
#include <functional>
#include <string>

#include "app/update/update_check.h"

class QTimer;
class QWidget;

namespace qv {

class Prompter;
class SettingsStore;

struct UpdateCheckerOptions {
  QString programDir;  // where the updater is started from; empty: the helper folder (HelperFolder)
  std::string base = std::string(update::kDefaultServerBase);
  int timedCheckMs = 59000;      // tmr3
  int downloadTimeoutMs = 30000;  // longest wait for the next bytes of the answer
  int deadlineMs = 60000;         // longest time for the whole download, however it trickles
  qint64 maxInfoBytes = 64 * 1024;  // updata.ini is a few lines: a larger answer is refused
};

class UpdateChecker : public QObject {
  Q_OBJECT
 public:
  // `window` is the main window: the owner of the boxes, the handle left for the updater, and the
  // window that the menu command closes to end the program. `settings` is the window's store.
  UpdateChecker(SettingsStore& settings, Prompter& prompter, QWidget* window, UpdateCheckerOptions options = {});

  // The check: 0 no answer from the server, 1 current, 2 an update exists. Throws
  // update::ConversionError for a version that is not a number. updata.ini is streamed into a private
  // temporary folder (the program folder of an installation cannot be written), within the deadline
  // and the size limit of the options; the window's events, input included, are handled meanwhile.
  // A check asked for while one runs gives 0 at once.
  int UPdata();
  bool Checking() const { return checking_; }

  // "升级查询": every outcome is reported; Yes to the question starts the updater and closes the window.
  void CheckForUpdate();

  QTimer* UpdateCheckTimer() const { return timedCheckTimer_; }

 public slots:
  // The timed check: silent unless there is an update; Yes leaves hwnd and uppath in the settings and
  // starts the updater, and the window stays open.
  void OnUpdateCheckTimer();

 private:
  QString ProgramDir() const;
  bool Fetch(const std::string& url, const std::string& path);
  bool StartUpdater();
  void Report(const std::exception& e);

  SettingsStore& settings_;
  Prompter& prompter_;
  QWidget* window_;
  UpdateCheckerOptions options_;
  QTimer* timedCheckTimer_;
  bool checking_ = false;
};

}  // namespace qv
