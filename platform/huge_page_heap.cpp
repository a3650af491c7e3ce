#include "platform/huge_page_heap.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string_view>

namespace qv {

namespace {
constexpr const char* kTunable = "glibc.malloc.hugetlb";
// Carries GLIBC_TUNABLES as the first start had it across the restart: "unset", or "=" and the value.
constexpr const char* kBefore = "QUELVAR_GLIBC_TUNABLES_BEFORE";

// The restarted process: GLIBC_TUNABLES goes back to what the first start had, so that no program
// this one starts inherits the tunable (glibc read it when this process started; it is not read again).
// True when this is the restarted process.
bool RestoreAfterRestart() {
  const char* before = std::getenv(kBefore);
  if (before == nullptr) return false;
  const std::string saved(before);
  const char* current = std::getenv("GLIBC_TUNABLES");
  const std::optional<std::string> now = current ? std::optional<std::string>(current) : std::nullopt;
  unsetenv(kBefore);
  const bool wasSet = saved.rfind('=', 0) == 0;
  if (!wasSet && saved != "unset") return false;
  const std::string old = wasSet ? saved.substr(1) : std::string();
  // Only the value this restart made: a stray variable changes nothing else.
  if (!now || WithHugePageTunable(wasSet ? old.c_str() : nullptr) != *now) return false;
  if (wasSet) setenv("GLIBC_TUNABLES", old.c_str(), 1);
  else unsetenv("GLIBC_TUNABLES");
  return true;
}
}  // namespace

std::string WithHugePageTunable(const char* current) {
  if (current == nullptr || *current == '\0') return std::string(kTunable) + "=1";
  // Tunables are name=value pairs joined by ':'; a value set by the user stays as it is.
  const std::string text(current);
  std::size_t at = 0;
  while (at <= text.size()) {
    const std::size_t end = std::min(text.find(':', at), text.size());
    const std::string_view pair(text.data() + at, end - at);
    if (pair.substr(0, pair.find('=')) == kTunable) return {};
    at = end + 1;
  }
  return text + ":" + kTunable + "=1";
}

void RestartWithHugePageHeap(char** argv) {
  if (argv == nullptr || argv[0] == nullptr) return;
  if (RestoreAfterRestart()) return;
  const char* current = std::getenv("GLIBC_TUNABLES");
  const std::string value = WithHugePageTunable(current);
  if (value.empty()) return;
  const std::optional<std::string> before = current ? std::optional<std::string>(current) : std::nullopt;
  // The program's own path, not /proc/self/exe: the new image takes its process name from the path
  // it was started by, and a process named "exe" is found by no pgrep, killall or task manager.
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0 || static_cast<std::size_t>(n) >= sizeof path - 1) return;
  path[n] = '\0';
  if (setenv(kBefore, before ? ("=" + *before).c_str() : "unset", 1) != 0) return;
  if (setenv("GLIBC_TUNABLES", value.c_str(), 1) != 0) {
    unsetenv(kBefore);
    return;
  }
  execv(path, argv);
  // No new start: carry on as started, with the environment as it was.
  unsetenv(kBefore);
  if (before) setenv("GLIBC_TUNABLES", before->c_str(), 1);
  else unsetenv("GLIBC_TUNABLES");
}

}  // namespace qv
