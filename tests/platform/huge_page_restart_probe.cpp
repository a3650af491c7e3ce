// Started by the huge-page heap test: restarts itself as the window does, then prints what the new
// start sees, one line each: its arguments, whether it was started with the huge-page tunable (what
// glibc read), GLIBC_TUNABLES now, what a program it starts inherits, and its process name.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/huge_page_heap.h"

int main(int argc, char** argv) {
  qv::RestartWithHugePageHeap(argv);
  for (int i = 1; i < argc; ++i) std::printf("arg %s\n", argv[i]);
  // Whether this process image was started with the tunable: its environment as the kernel keeps it
  // (glibc, reading GLIBC_TUNABLES at the start, may cut the value there at each ':').
  std::ifstream environ("/proc/self/environ", std::ios::binary);
  const std::string block((std::istreambuf_iterator<char>(environ)), std::istreambuf_iterator<char>());
  const std::string tunable = "glibc.malloc.hugetlb=1";
  bool started = false;
  for (std::size_t at = 0; at < block.size();) {
    const std::size_t end = std::min(block.find('\0', at), block.size());
    const std::string entry = block.substr(at, end - at);
    started |= entry == tunable || entry == "GLIBC_TUNABLES=" + tunable ||
               (entry.size() > tunable.size() && entry.compare(entry.size() - tunable.size() - 1, std::string::npos,
                                                               ":" + tunable) == 0);
    at = end + 1;
  }
  std::printf("started with huge pages: %s\n", started ? "yes" : "no");
  const char* tunables = std::getenv("GLIBC_TUNABLES");
  std::printf("tunables %s\n", tunables ? tunables : "(unset)");
  std::fflush(stdout);
  // A program started from here: neither the tunable nor the restart's own note reaches it.
  if (std::system("echo \"child ${GLIBC_TUNABLES-(unset)} ${QUELVAR_GLIBC_TUNABLES_BEFORE-(unset)}\"") != 0) return 1;
  // The process keeps its own name after the new start.
  char name[64] = {};
  if (FILE* comm = std::fopen("/proc/self/comm", "r")) {
    if (std::fgets(name, sizeof name, comm) == nullptr) name[0] = '\0';
    std::fclose(comm);
  }
  std::printf("name %s", name);
  return 0;
}
