#include "platform/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string_view>

extern char** environ;

namespace qv {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool NamesFile(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The file that `program` names: as it is when it holds a "/", otherwise the first executable
// regular file of that name in PATH. Empty with `error` set when there is none.
std::string Resolve(const std::string& program, int& error) {
  error = 0;
  if (program.find('/') != std::string::npos) return program;
  const char* env = std::getenv("PATH");
  const std::string path = (env != nullptr && env[0] != '\0') ? env : "/usr/local/bin:/usr/bin:/bin";
  error = ENOENT;
  std::size_t start = 0;
  for (;;) {
    const std::size_t colon = path.find(':', start);
    std::string_view dir = std::string_view(path).substr(start, colon == std::string::npos ? colon : colon - start);
    if (dir.empty()) dir = ".";
    std::string candidate;
    candidate.reserve(dir.size() + 1 + program.size());
    candidate.append(dir).append(1, '/').append(program);
    if (NamesFile(candidate)) {
      if (::access(candidate.c_str(), X_OK) == 0) {
        error = 0;
        return candidate;
      }
      error = EACCES;  // remembered in case no later folder has a runnable one
    }
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  return {};
}

StartResult Failure(int error) {
  StartResult r;
  r.error = error;
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      r.status = StartResult::Status::kNotFound;
      break;
    case EACCES:
    case ENOEXEC:
    case EISDIR:
    case EPERM:
    case ELIBBAD:
    case ETXTBSY:
      r.status = StartResult::Status::kNotExecutable;
      break;
    default:
      r.status = StartResult::Status::kFailed;
  }
  return r;
}

// Messages from the helper processes to the caller, one write each (well below PIPE_BUF, so whole).
struct Message {
  int kind;   // kPid, kForkFailed, kExecFailed
  int value;  // a process id or an errno
};
constexpr int kPid = 1;
constexpr int kForkFailed = 2;
constexpr int kExecFailed = 3;

void WriteMessage(int fd, int kind, int value) {
  const Message m{kind, value};
  while (::write(fd, &m, sizeof m) < 0 && errno == EINTR) {
  }
}

}  // namespace

bool HasXDisplay(const char* display) { return display != nullptr && display[0] != '\0'; }

std::string WindowQtPlatform(const char* qtPlatform, const char* display) {
  const bool chosen = qtPlatform != nullptr && qtPlatform[0] != '\0';
  return !chosen && HasXDisplay(display) ? kX11QtPlatform : std::string();
}

std::vector<std::string> HandOffVariables(const char* display) {
  if (!HasXDisplay(display)) return {};
  return {std::string(kQtPlatformVariable) + "=" + kX11QtPlatform};
}

std::vector<std::string> ChildEnvironment(const char* const* parent, const std::vector<std::string>& variables) {
  auto nameOf = [](std::string_view entry) { return entry.substr(0, entry.find('=')); };
  std::vector<std::string> out;
  for (const char* const* e = parent; e != nullptr && *e != nullptr; ++e) {
    const std::string_view name = nameOf(*e);
    bool replaced = name == kKeyLogVariable;
    for (const std::string& v : variables) replaced = replaced || nameOf(v) == name;
    if (!replaced) out.emplace_back(*e);
  }
  out.insert(out.end(), variables.begin(), variables.end());
  return out;
}

StartResult StartProgram(const std::string& program, const std::vector<std::string>& args, ShowState show,
                         const std::vector<std::string>& variables) {
  if (program.empty()) return Failure(ENOENT);
  int error = 0;
  const std::string path = Resolve(program, error);
  if (path.empty()) return Failure(error);

  // Everything the new process needs is made here: between fork and exec only calls that are safe in
  // the child of a program with threads run.
  std::vector<std::string> argStore;
  argStore.reserve(args.size() + 1);
  argStore.push_back(program);
  argStore.insert(argStore.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argStore) argv.push_back(a.data());
  argv.push_back(nullptr);

  std::vector<std::string> set = {std::string(kShowStateVariable) + "=" +
                                   (show == ShowState::kMinimized ? "minimized" : "normal")};
  set.insert(set.end(), variables.begin(), variables.end());
  std::vector<std::string> envStore = ChildEnvironment(environ, set);
  std::vector<char*> envp;
  envp.reserve(envStore.size() + 1);
  for (std::string& e : envStore) envp.push_back(e.data());
  envp.push_back(nullptr);

  long maxFd = ::sysconf(_SC_OPEN_MAX);
  if (maxFd < 0 || maxFd > 65536) maxFd = 65536;

  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return Failure(errno);

  // The program runs as the child of a short-lived helper, so that it is adopted by the system once
  // the helper ends and never stays behind as a zombie of this program.
  const pid_t helper = ::fork();
  if (helper < 0) {
    const int e = errno;
    ::close(fds[0]);
    ::close(fds[1]);
    return Failure(e);
  }
  if (helper == 0) {
    const pid_t child = ::fork();
    if (child == 0) {
      ::setsid();
      sigset_t none;
      sigemptyset(&none);
      ::sigprocmask(SIG_SETMASK, &none, nullptr);
      struct sigaction dfl {};
      dfl.sa_handler = SIG_DFL;
      ::sigaction(SIGPIPE, &dfl, nullptr);
      ::sigaction(SIGCHLD, &dfl, nullptr);
      const int devNull = ::open("/dev/null", O_RDONLY);
      if (devNull >= 0) {
        ::dup2(devNull, 0);
        if (devNull != 0) ::close(devNull);
      }
      // Open files of this program stay here; only the message pipe (closed by exec) survives.
      const auto keep = static_cast<unsigned>(fds[1]);
      if ((keep > 3 && ::close_range(3, keep - 1, 0) != 0) || ::close_range(keep + 1, ~0U, 0) != 0) {
        for (int fd = 3; fd < maxFd; ++fd) {
          if (fd != fds[1]) ::close(fd);
        }
      }
      ::execve(path.c_str(), argv.data(), envp.data());
      WriteMessage(fds[1], kExecFailed, errno);
      ::_exit(127);
    }
    if (child < 0) {
      WriteMessage(fds[1], kForkFailed, errno);
    } else {
      WriteMessage(fds[1], kPid, child);
    }
    ::_exit(0);
  }

  ::close(fds[1]);
  int pid = -1;
  int failure = 0;
  bool sawMessage = false;
  for (;;) {
    Message m{};
    const ssize_t n = ::read(fds[0], &m, sizeof m);
    if (n < 0 && errno == EINTR) continue;
    if (n != static_cast<ssize_t>(sizeof m)) break;  // end: the program has been executed
    sawMessage = true;
    if (m.kind == kPid) pid = m.value;
    if (m.kind == kForkFailed || m.kind == kExecFailed) failure = m.value != 0 ? m.value : EIO;
  }
  ::close(fds[0]);
  while (::waitpid(helper, nullptr, 0) < 0 && errno == EINTR) {
  }

  if (failure != 0) return Failure(failure);
  if (!sawMessage || pid <= 0) return Failure(EIO);
  StartResult started;
  started.status = StartResult::Status::kStarted;
  started.pid = pid;
  return started;
}

std::vector<std::string> SplitCommandLine(std::string_view line) {
  std::size_t b = 0, e = line.size();
  while (b < e && IsBlank(line[b])) ++b;
  while (e > b && IsBlank(line[e - 1])) --e;
  line = line.substr(b, e - b);
  std::vector<std::string> out;
  if (line.empty()) return out;

  std::size_t rest = 0;  // where the arguments start
  if (line.front() == '"') {
    const std::size_t close = line.find('"', 1);
    out.emplace_back(line.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1));
    rest = close == std::string_view::npos ? line.size() : close + 1;
  } else if (NamesFile(std::string(line))) {
    out.emplace_back(line);
    return out;
  } else {
    std::size_t end = line.find_first_of(" \t");
    const std::size_t firstWord = end == std::string_view::npos ? line.size() : end;
    std::size_t chosen = firstWord;
    while (end != std::string_view::npos) {
      if (NamesFile(std::string(line.substr(0, end)))) {
        chosen = end;
        break;
      }
      const std::size_t next = line.find_first_not_of(" \t", end);
      end = next == std::string_view::npos ? std::string_view::npos : line.find_first_of(" \t", next);
    }
    out.emplace_back(line.substr(0, chosen));
    rest = chosen;
  }

  std::string arg;
  bool inArg = false;
  bool quoted = false;
  for (std::size_t i = rest; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '"') {
      quoted = !quoted;
      inArg = true;
    } else if (IsBlank(c) && !quoted) {
      if (inArg) out.push_back(arg);
      arg.clear();
      inArg = false;
    } else {
      arg += c;
      inArg = true;
    }
  }
  if (inArg) out.push_back(arg);
  return out;
}

StartResult StartCommandLine(std::string_view commandLine, ShowState show) {
  std::vector<std::string> parts = SplitCommandLine(commandLine);
  if (parts.empty()) return Failure(ENOENT);
  const std::string program = parts.front();
  parts.erase(parts.begin());
  return StartProgram(program, parts, show);
}

StartResult ShellOpen(const std::string& fileOrUrl) { return StartProgram("xdg-open", {fileOrUrl}); }

}  // namespace qv
