// What the tests of the stand-alone window commands share: the scripted prompter of the window tests
// and waiting while the event loop runs.
#pragma once
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QString>
#include <QThread>

#include <deque>
#include <functional>
#include <vector>

#include "tests/ui/scripted_prompter.h"

namespace qv::testing {

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
