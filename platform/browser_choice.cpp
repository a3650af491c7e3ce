#include "platform/browser_choice.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "platform/process.h"

extern char** environ;

namespace qv {

namespace {

struct Family {
  std::string_view name;
  std::vector<std::string_view> desktopIds;  // without ".desktop", lower case
  std::vector<std::string_view> programs;    // in the order they are looked for in PATH
  std::vector<std::string_view> realNames;   // what the programs' links lead to, besides the above
};

const std::vector<Family>& Families() {
  static const std::vector<Family> families = {
      {"Chromium", {"chromium", "chromium-browser", "org.chromium.chromium"}, {"chromium", "chromium-browser"}, {}},
      {"Chrome",
       {"google-chrome", "google-chrome-stable", "google-chrome-beta", "com.google.chrome"},
       {"google-chrome-stable", "google-chrome"},
       {"chrome"}},
      {"Brave", {"brave-browser", "brave", "com.brave.browser"}, {"brave-browser", "brave"}, {}},
      {"Edge",
       {"microsoft-edge", "microsoft-edge-stable", "com.microsoft.edge"},
       {"microsoft-edge-stable", "microsoft-edge"},
       {"msedge"}},
      {"Firefox", {"firefox", "firefox-esr", "org.mozilla.firefox"}, {"firefox", "firefox-esr"}, {}},
  };
  return families;
}

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

const Family* FamilyOf(std::string_view text) {
  std::string key = Lower(text);
  if (key.size() > 8 && key.compare(key.size() - 8, 8, ".desktop") == 0) key.resize(key.size() - 8);
  if (const auto slash = key.rfind('/'); slash != std::string::npos) key.erase(0, slash + 1);
  for (const Family& f : Families()) {
    for (std::string_view id : f.desktopIds)
      if (key == id) return &f;
    for (std::string_view p : f.programs)
      if (key == p) return &f;
    for (std::string_view p : f.realNames)
      if (key == p) return &f;
  }
  return nullptr;
}

BrowserCommand FirstInPath(const Family& f, std::string_view path) {
  for (std::string_view p : f.programs) {
    std::string found = FindInPath(p, path);
    if (!found.empty()) return {std::move(found), {}};
  }
  return {};
}

}  // namespace

std::string_view BrowserFamily(std::string_view desktopIdOrProgram) {
  const Family* f = FamilyOf(desktopIdOrProgram);
  return f ? f->name : std::string_view();
}

std::string FindInPath(std::string_view name, std::string_view path) {
  if (name.empty() || name.find('/') != std::string_view::npos) return {};
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find(':', start);
    if (end == std::string_view::npos) end = path.size();
    std::string dir(path.substr(start, end - start));
    start = end + 1;
    if (dir.empty() || dir[0] != '/') continue;  // only absolute folders: never the current one
    const std::string candidate = dir + "/" + std::string(name);
    struct stat st {};
    if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(candidate.c_str(), X_OK) == 0)
      return candidate;
  }
  return {};
}

BrowserCommand ChooseBrowser(const BrowserFacts& facts) {
  if (!facts.chosen.empty()) {
    std::vector<std::string> words = SplitCommandLine(facts.chosen);
    if (!words.empty()) {
      BrowserCommand c;
      c.program = std::move(words.front());
      c.args.assign(words.begin() + 1, words.end());
      return c;
    }
  }
  if (const Family* f = FamilyOf(facts.desktopDefault)) {
    BrowserCommand c = FirstInPath(*f, facts.path);
    if (c.Found()) return c;
  }
  // Debian's alternative: a link (through /etc/alternatives) to the chosen browser.
  const std::string alternative = FindInPath("x-www-browser", facts.path);
  if (!alternative.empty()) {
    std::array<char, PATH_MAX> real{};
    if (::realpath(alternative.c_str(), real.data()) != nullptr && FamilyOf(real.data()) != nullptr)
      return {alternative, {}};
  }
  for (const Family& f : Families()) {
    BrowserCommand c = FirstInPath(f, facts.path);
    if (c.Found()) return c;
  }
  return {};
}

std::string DesktopDefaultBrowser(std::chrono::milliseconds limit) {
  const char* path = std::getenv("PATH");
  const std::string tool = FindInPath("xdg-settings", path ? path : "");
  if (tool.empty()) return {};
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // Its own process group, so that the shell script and whatever it runs can be ended together.
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
  std::string a0 = tool, a1 = "get", a2 = "default-web-browser";
  char* argv[] = {a0.data(), a1.data(), a2.data(), nullptr};
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, tool.c_str(), &actions, &attr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  ::close(out[1]);
  if (rc != 0) {
    ::close(out[0]);
    return {};
  }

  std::string text;
  bool complete = false;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) break;
    pollfd p{out[0], POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    char buffer[512];
    const ssize_t n = ::read(out[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      complete = n == 0;
      break;
    }
    if (text.size() + static_cast<std::size_t>(n) > 4096) break;  // no desktop file name is that long
    text.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(out[0]);
  int status = 0;
  if (!complete) {
    ::kill(-pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return {};
  }
  // The output has ended; the script ends with it, but is not waited for longer than the limit.
  for (;;) {
    const pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) break;
    if (r < 0 && errno != EINTR) return {};
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(-pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return {};
    }
    ::usleep(10000);
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return {};
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
  if (text.find('\n') != std::string::npos) return {};
  return text;
}

}  // namespace qv
