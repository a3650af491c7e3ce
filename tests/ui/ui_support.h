// What the window tests share: the scripted prompter, a private program folder with its own
// setting.ini, and a main window on it.
#pragma once
#include <gtest/gtest.h>

#include <QAction>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/ui/main_window.h"
#include "capture/pcap_net.h"
#include "settings/settings_store.h"
#include "tests/ui/scripted_prompter.h"

namespace qv::testing {

inline std::string SharedCapture(const char* name) {
  return std::string(QUELVAR_SOURCE_DIR) + "/../shared/captures/" + name;
}

// Processes events until `done` or the guard time is up; true when done.
template <typename F>
bool WaitFor(F done, int guardMs = 60000) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() > guardMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return true;
}

// A main window over a private program folder. The settings file is the shipped one with autoRun off
// unless the test says otherwise.
class WindowTest : public ::testing::Test {
 protected:
  static PcapNet& Net() {
    static PcapNet net;
    static const bool bound = net.Bind();
    (void)bound;
    return net;
  }

  void SetUp() override {
    ASSERT_TRUE(dir_.isValid());
    WriteSettings(true);
  }

  void TearDown() override { form_.reset(); }

  QString IniPath() const { return dir_.path() + "/setting.ini"; }

  // The shipped settings file, autoRun switched off when `quiet`.
  void WriteSettings(bool quiet) {
    QFile::remove(IniPath());
    ASSERT_TRUE(QFile::copy(QStringLiteral(QUELVAR_SOURCE_DIR "/data/setting.ini"), IniPath()));
    QFile::setPermissions(IniPath(), QFile::ReadOwner | QFile::WriteOwner);
    if (quiet) SettingsStore(IniPath().toStdString()).WriteBool("system", "autoRun", false);
  }

  TForm1& Form() {
    if (!form_) {
      form_ = std::make_unique<TForm1>(Net(), prompter_, TForm1Options::Offline(dir_.path()));
      // The shipped file names no adapter, so creation schedules the adapter test; tests that want
      // it run it themselves.
      form_->adapterRetryTimer_->stop();
    }
    return *form_;
  }

  // Runs a capture file through the window and waits until every row is listed.
  void Load(const std::string& path) {
    TForm1& form = Form();
    ASSERT_TRUE(form.OpenCaptureFile(QString::fromStdString(path))) << path;
    // The file is read, every row is listed, and the controls show the session ended.
    QAction* start = form.findChild<QAction*>(QStringLiteral("btn3"));
    ASSERT_TRUE(WaitFor([&] { return !form.SessionRunning() && form.Pump().Backlog() == 0 && start->isEnabled(); }));
    form.Pump().DrainAll();
    prompter_.boxes.clear();  // what start-up showed is not part of the commands under test
  }

  QTemporaryDir dir_;
  ScriptedPrompter prompter_;
  std::unique_ptr<TForm1> form_;
};

}  // namespace qv::testing
