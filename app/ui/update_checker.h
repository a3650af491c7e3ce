// The update check of the window: the menu command "升级查询" (N30Click) and the timed check once
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
  QString programDir;  // where updata.ini is fetched to and the updater is started from; empty: the
                       // folder of the executable
  std::string base = std::string(update::kDefaultServerBase);
  int timedCheckMs = 59000;   // tmr3
  int downloadTimeoutMs = 30000;
};

class UpdateChecker : public QObject {
  Q_OBJECT
 public:
  // `window` is the main window: the owner of the boxes, the handle left for the updater, and the
  // window that the menu command closes to end the program. `settings` is the window's store.
  UpdateChecker(SettingsStore& settings, Prompter& prompter, QWidget* window, UpdateCheckerOptions options = {});

  // The check: 0 no answer from the server, 1 current, 2 an update exists. Throws
  // update::ConversionError for a version that is not a number.
  int UPdata();

  // "升级查询": every outcome is reported; Yes to the question starts the updater and closes the window.
  void N30Click();

  QTimer* tmr3() const { return tmr3_; }

 public slots:
  // The timed check: silent unless there is an update; Yes leaves hwnd and uppath in the settings and
  // starts the updater, and the window stays open.
  void tmr3Timer();

 private:
  QString ProgramDir() const;
  bool Fetch(const std::string& url, const std::string& path);
  bool StartUpdater();
  void Report(const std::exception& e);

  SettingsStore& settings_;
  Prompter& prompter_;
  QWidget* window_;
  UpdateCheckerOptions options_;
  QTimer* tmr3_;
};

}  // namespace qv
