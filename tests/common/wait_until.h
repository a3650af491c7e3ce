// Waiting in a test while the Qt event loop runs: sockets, processes and the clipboard are served
// meanwhile.
#pragma once
#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <chrono>
#include <functional>

namespace qv::testing {

// Runs the event loop until `done` holds or `ms` have passed. Returns whether it holds.
inline bool WaitUntil(const std::function<bool()>& done, int ms = 20000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(2);
  }
  return true;
}

}  // namespace qv::testing
