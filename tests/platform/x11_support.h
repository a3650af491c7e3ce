// Helpers of the X11 tests: waiting while the Qt event loop runs, programs that end with the test,
// and the output of a started program caught in a file.
#pragma once
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QThread>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>

#include "tests/common/wait_until.h"

namespace qv::testing {

// Ends a started program when the test ends.
class Running {
 public:
  explicit Running(int pid = -1) : pid_(pid) {}
  ~Running() { Stop(); }
  Running(const Running&) = delete;
  Running& operator=(const Running&) = delete;
  void Set(int pid) { pid_ = pid; }
  void Stop() {
    if (pid_ > 0) ::kill(pid_, SIGTERM);
    pid_ = -1;
  }

 private:
  int pid_;
};

// While it lives, this process's descriptor `fd` (1 or 2) writes into `path`; programs started
// meanwhile inherit it.
class Redirect {
 public:
  Redirect(int fd, const std::string& path) : fd_(fd) {
    std::fflush(nullptr);
    saved_ = ::dup(fd);
    const int file = ::open(path.c_str(), O_CREAT | O_WRONLY | O_APPEND | O_CLOEXEC, 0644);
    ::dup2(file, fd);
    ::close(file);
  }
  ~Redirect() {
    std::fflush(nullptr);
    ::dup2(saved_, fd_);
    ::close(saved_);
  }
  Redirect(const Redirect&) = delete;
  Redirect& operator=(const Redirect&) = delete;

 private:
  int fd_;
  int saved_;
};

}  // namespace qv::testing
