// What the tests of the stand-alone window commands share: a prompter that records every box and
// answers from a script, and waiting while the event loop runs.
#pragma once
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QString>
#include <QThread>

#include <deque>
#include <functional>
#include <vector>

#include "common/ui/prompter.h"

namespace qv::testing {

class RecordingPrompter : public Prompter {
 public:
  struct Box {
    BoxKind kind;
    QString text;
    BoxButtons buttons;
  };
  std::vector<Box> boxes;
  std::deque<BoxAnswer> answers;  // taken in order; when empty, what closing the box gives

  BoxAnswer Message(QWidget*, BoxKind kind, const QString& text, BoxButtons buttons) override {
    boxes.push_back({kind, text, buttons});
    if (!answers.empty()) {
      const BoxAnswer a = answers.front();
      answers.pop_front();
      return a;
    }
    if (buttons == BoxButtons::Ok) return BoxAnswer::Ok;
    return buttons == BoxButtons::YesNo ? BoxAnswer::No : BoxAnswer::Cancel;
  }
  QString InputBox(QWidget*, const QString&, const QString&, const QString&) override { return {}; }
  QString SaveFileName(QWidget*, const QString&, const QString&, const QString&) override { return {}; }
  QString OpenFileName(QWidget*, const QString&, const QString&) override { return {}; }
};

// Runs the event loop until `done` holds or `ms` have passed; whether it holds.
inline bool Await(const std::function<bool()>& done, int ms = 20000) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() > ms) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(10);
  }
  return true;
}

}  // namespace qv::testing
