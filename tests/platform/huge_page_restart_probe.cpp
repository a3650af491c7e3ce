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
  return 0;
}
