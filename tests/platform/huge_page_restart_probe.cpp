// Started by the huge-page heap test: restarts itself as the window does, then prints what the new
// start sees (its arguments and GLIBC_TUNABLES), one line each.
#include <cstdio>
#include <cstdlib>

#include "platform/huge_page_heap.h"

int main(int argc, char** argv) {
  qv::RestartWithHugePageHeap(argv);
  for (int i = 1; i < argc; ++i) std::printf("arg %s\n", argv[i]);
  const char* tunables = std::getenv("GLIBC_TUNABLES");
  std::printf("tunables %s\n", tunables ? tunables : "(unset)");
  // The process keeps its own name after the new start.
  char name[64] = {};
  if (FILE* comm = std::fopen("/proc/self/comm", "r")) {
    if (std::fgets(name, sizeof name, comm) == nullptr) name[0] = '\0';
    std::fclose(comm);
  }
  std::printf("name %s", name);
  return 0;
}
