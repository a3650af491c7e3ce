#include "platform/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "tests/platform/env_var.h"
#include "tests/settings/temp_dir.h"

namespace qv {
namespace {

using testing::ReadBytes;
using testing::TempDir;
using testing::WriteBytes;

// Waits up to 10 s for a file to get content.
std::string WaitForContent(const std::string& path) {
  for (int i = 0; i < 1000; ++i) {
    std::string text = ReadBytes(path);
    if (!text.empty() && text.back() == '\n') return text;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return ReadBytes(path);
}

void MakeScript(const std::string& path, const std::string& body) {
  WriteBytes(path, "#!/bin/sh\n" + body + "\n");
  ::chmod(path.c_str(), 0755);
}

TEST(SplitCommandLineTest, ProgramPathsWithBlanksAndQuotedArguments) {
  TempDir dir;
  const std::string prog = dir.File("my prog");
  WriteBytes(prog, "x");
  const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
      {"", {}},
      {"   \t", {}},
      {"/bin/true", {"/bin/true"}},
      {"  " + prog + "  ", {prog}},
      {prog + " --x \"two words\"", {prog, "--x", "two words"}},
      {"\"" + prog + "\" a  b", {prog, "a", "b"}},
      {"\"/no/such dir/p\" \"\" c", {"/no/such dir/p", "", "c"}},
      {"/no/such prog arg", {"/no/such", "prog", "arg"}},
      {"xdg-open a\"b c\"d", {"xdg-open", "ab cd"}},
  };
  for (const auto& [line, expected] : cases) {
    SCOPED_TRACE(line);
    EXPECT_EQ(SplitCommandLine(line), expected);
  }
}

TEST(StartProgramTest, RunsDetachedWithTheShowStateAndWithoutThisProgramsFiles) {
  TempDir dir;
  const std::string out = dir.File("out.txt");
  // A descriptor of this program that is not close-on-exec must not reach the started one.
  const int leaked = ::open(dir.File("held").c_str(), O_CREAT | O_WRONLY, 0600);
  ASSERT_GE(leaked, 3);
  const StartResult r = StartProgram(
      "/bin/sh", {"-c", "ls /proc/$$/fd > \"$1.fds\"; echo \"$QUELVAR_SHOW_STATE $$\" > \"$1\"", "sh", out},
      ShowState::kMinimized);
  ::close(leaked);
  ASSERT_TRUE(r.Started()) << r.error;
  EXPECT_EQ(WaitForContent(out), "minimized " + std::to_string(r.pid) + "\n");

  const std::string fds = ReadBytes(out + ".fds");
  EXPECT_EQ(fds.find("\n" + std::to_string(leaked) + "\n"), std::string::npos) << fds;
  // The program is not a child of this one: nothing here must (or can) wait for it.
  errno = 0;
  EXPECT_EQ(::waitpid(r.pid, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

TEST(StartProgramTest, NormalStateAndPathLookUp) {
  TempDir dir;
  const std::string out = dir.File("out.txt");
  const StartResult r = StartProgram("sh", {"-c", "echo \"$QUELVAR_SHOW_STATE\" > \"$1\"", "sh", out});
  ASSERT_TRUE(r.Started());
  EXPECT_EQ(WaitForContent(out), "normal\n");
}

TEST(StartProgramTest, FailuresAreToldApart) {
  TempDir dir;
  WriteBytes(dir.File("plain.txt"), "not a program");
  EXPECT_EQ(StartProgram(dir.File("missing"), {}).status, StartResult::Status::kNotFound);
  EXPECT_EQ(StartProgram("no-such-program-quelvar", {}).status, StartResult::Status::kNotFound);
  EXPECT_EQ(StartProgram("", {}).status, StartResult::Status::kNotFound);
  EXPECT_EQ(StartProgram(dir.File("plain.txt"), {}).status, StartResult::Status::kNotExecutable);
  EXPECT_EQ(StartProgram(dir.Path().string(), {}).status, StartResult::Status::kNotExecutable);
  EXPECT_EQ(StartCommandLine("   ").status, StartResult::Status::kNotFound);
}

// The window's platform and what the programs of a hand-off get, from QT_QPA_PLATFORM and DISPLAY.
TEST(QtPlatformTest, X11WhenAnXDisplayExistsAndNobodyChoseAPlatform) {
  struct Case {
    const char* qtPlatform;
    const char* display;
    std::string window;
    std::vector<std::string> handOff;
  };
  const std::vector<std::string> x11 = {"QT_QPA_PLATFORM=xcb;wayland"};
  const Case cases[] = {
      {nullptr, ":0", "xcb;wayland", x11},   // a Wayland desktop with Xwayland, or X11
      {"", ":1", "xcb;wayland", x11},        // empty counts as unset, as for Qt
      {"wayland", ":0", "", x11},            // the user's choice stays the window's; not its helpers'
      {"offscreen", ":0", "", x11},
      {nullptr, nullptr, "", {}},            // Wayland without Xwayland: Qt chooses
      {nullptr, "", "", {}},
      {"wayland", nullptr, "", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.qtPlatform ? c.qtPlatform : "(unset)") + " " + (c.display ? c.display : "(unset)"));
    EXPECT_EQ(WindowQtPlatform(c.qtPlatform, c.display), c.window);
    EXPECT_EQ(HandOffVariables(c.display), c.handOff);
  }
}

TEST(ChildEnvironmentTest, SetVariablesReplaceTheInheritedOnesAndComeLast) {
  const char* parent[] = {"PATH=/bin", "QT_QPA_PLATFORM=wayland", "QT_QPA_PLATFORM_THEME=gtk3", "ODD", "A=1=2",
                          "QUELVAR_SHOW_STATE=normal", nullptr};
  EXPECT_EQ(ChildEnvironment(parent, {"QUELVAR_SHOW_STATE=minimized", "QT_QPA_PLATFORM=xcb"}),
            (std::vector<std::string>{"PATH=/bin", "QT_QPA_PLATFORM_THEME=gtk3", "ODD", "A=1=2",
                                      "QUELVAR_SHOW_STATE=minimized", "QT_QPA_PLATFORM=xcb"}));
  EXPECT_EQ(ChildEnvironment(parent, {}).size(), 6u);
  EXPECT_EQ(ChildEnvironment(nullptr, {"X=1"}), std::vector<std::string>{"X=1"});
}

TEST(ChildEnvironmentTest, AKeyLogIsNeverInheritedOnlyGiven) {
  const char* parent[] = {"PATH=/bin", "SSLKEYLOGFILE=/home/a/keys.log", "SSLKEYLOGFILEX=1", nullptr};
  EXPECT_EQ(ChildEnvironment(parent, {}), (std::vector<std::string>{"PATH=/bin", "SSLKEYLOGFILEX=1"}));
  EXPECT_EQ(ChildEnvironment(parent, {"SSLKEYLOGFILE=/run/user/1/quelvar/k.log"}),
            (std::vector<std::string>{"PATH=/bin", "SSLKEYLOGFILEX=1", "SSLKEYLOGFILE=/run/user/1/quelvar/k.log"}));
}

TEST(StartProgramTest, VariablesReachTheStartedProgram) {
  TempDir dir;
  const std::string out = dir.File("out.txt");
  const testing::EnvVar window("QT_QPA_PLATFORM", "wayland");
  const StartResult r = StartProgram(
      "/bin/sh", {"-c", "echo \"$QT_QPA_PLATFORM|$QUELVAR_SHOW_STATE|$HOME\" > \"$1\"", "sh", out},
      ShowState::kMinimized, {"QT_QPA_PLATFORM=xcb"});
  ASSERT_TRUE(r.Started());
  const char* home = std::getenv("HOME");
  EXPECT_EQ(WaitForContent(out), std::string("xcb|minimized|") + (home ? home : "") + "\n");
}

TEST(StartCommandLineTest, StartsAProgramWhosePathHasBlanks) {
  TempDir dir;
  const std::string script = dir.File("run me");
  MakeScript(script, "echo \"$1|$2\" > \"$(dirname \"$0\")/out.txt\"");
  ASSERT_TRUE(StartCommandLine(script + " first \"second arg\"", ShowState::kMinimized).Started());
  EXPECT_EQ(WaitForContent(dir.File("out.txt")), "first|second arg\n");
  std::filesystem::remove(dir.File("out.txt"));
  ASSERT_TRUE(StartCommandLine(script).Started());
  EXPECT_EQ(WaitForContent(dir.File("out.txt")), "|\n");
}

}  // namespace
}  // namespace qv
