// The single-copy rule: the lock itself, and two real copies of the program.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/single_copy.h"

extern char** environ;

namespace qv {
namespace {

namespace fs = std::filesystem;

class RuntimeDir {
 public:
  RuntimeDir() {
    char tmpl[] = "/tmp/quelvar-rt-XXXXXX";
    path_ = mkdtemp(tmpl);
  }
  ~RuntimeDir() { fs::remove_all(path_); }
  const std::string& Path() const { return path_; }
  std::string Lock() const { return path_ + "/hkOneCopy.lock"; }

 private:
  std::string path_;
};

TEST(SingleCopyLock, OneHolderAtATimeAndNoneAfterItEnds) {
  RuntimeDir dir;
  {
    SingleCopy first;
    ASSERT_EQ(first.Acquire(dir.Lock()), SingleCopy::Result::Acquired);
    SingleCopy second;
    EXPECT_EQ(second.Acquire(dir.Lock()), SingleCopy::Result::HeldElsewhere);
    EXPECT_FALSE(second.Held());
  }
  SingleCopy later;
  EXPECT_EQ(later.Acquire(dir.Lock()), SingleCopy::Result::Acquired);
}

TEST(SingleCopyLock, APathThatCannotBeUsedDoesNotClaimAnotherCopy) {
  SingleCopy lock;
  EXPECT_EQ(lock.Acquire("/nonexistent-folder/for/sure/hkOneCopy.lock"), SingleCopy::Result::Unavailable);
}

TEST(SingleCopyLock, PathFollowsTheRuntimeFolder) {
  const char* old = std::getenv("XDG_RUNTIME_DIR");
  const std::string saved = old ? old : "";
  setenv("XDG_RUNTIME_DIR", "/run/user/4242", 1);
  EXPECT_EQ(SingleCopyLockPath(), "/run/user/4242/hkOneCopy.lock");
  unsetenv("XDG_RUNTIME_DIR");
  EXPECT_EQ(SingleCopyLockPath(), "/tmp/quelvar-" + std::to_string(getuid()) + "/hkOneCopy.lock");
  if (old) setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
}

// --- two real copies ---

pid_t StartCopy(const std::string& runtimeDir) {
  std::vector<std::string> env = {"QT_QPA_PLATFORM=offscreen", "XDG_RUNTIME_DIR=" + runtimeDir};
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string var = *e;
    if (var.rfind("QT_QPA_PLATFORM=", 0) != 0 && var.rfind("XDG_RUNTIME_DIR=", 0) != 0) env.push_back(var);
  }
  std::vector<char*> envp;
  for (auto& v : env) envp.push_back(v.data());
  envp.push_back(nullptr);
  std::string program = std::string(QUELVAR_BIN_DIR) + "/quelvar";
  char* argv[] = {program.data(), nullptr};
  pid_t pid = -1;
  if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, envp.data()) != 0) return -1;
  return pid;
}

// Waits for the process to end within the guard time; its exit status, or -1 while it still runs.
int WaitExit(pid_t pid, std::chrono::seconds guard) {
  const auto until = std::chrono::steady_clock::now() + guard;
  while (std::chrono::steady_clock::now() < until) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return -1;
}

// True once some process holds the lock.
bool WaitHeld(const std::string& lock, pid_t holder) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < until) {
    {
      SingleCopy probe;
      if (probe.Acquire(lock) == SingleCopy::Result::HeldElsewhere) return true;
    }
    int status = 0;
    if (waitpid(holder, &status, WNOHANG) == holder) return false;  // it ended instead
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

void Kill(pid_t pid) {
  kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
}

TEST(SingleCopyProgram, ASecondCopyEndsAtOnceWhileTheFirstRuns) {
  RuntimeDir dir;
  const pid_t first = StartCopy(dir.Path());
  ASSERT_GT(first, 0);
  ASSERT_TRUE(WaitHeld(dir.Lock(), first)) << "the first copy did not take the lock";

  const pid_t second = StartCopy(dir.Path());
  ASSERT_GT(second, 0);
  const int rc = WaitExit(second, std::chrono::seconds(20));
  if (rc == -1) Kill(second);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(WaitExit(first, std::chrono::seconds(0)), -1) << "the first copy must still run";

  // A copy that died holds nothing: the next one runs.
  Kill(first);
  const pid_t third = StartCopy(dir.Path());
  ASSERT_GT(third, 0);
  EXPECT_TRUE(WaitHeld(dir.Lock(), third));
  Kill(third);
}

}  // namespace
}  // namespace qv
