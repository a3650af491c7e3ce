// The window's views keep per-row tables that grow by doubling, tens of megabytes in one step once
// a list holds millions of rows. Faulting such a block in 4 KiB pages held the window's thread for
// over 100 ms on a virtual machine; glibc backs its heap with transparent huge pages when its
// tunable glibc.malloc.hugetlb=1 is set, and it reads tunables only when a program starts. So the
// window starts itself again, once, with the tunable added to GLIBC_TUNABLES; the new start puts the
// variable back as the first start had it, so that the programs the window starts never inherit it.
#pragma once
#include <string>

namespace qv {

// GLIBC_TUNABLES with the huge-page tunable added to `current` (null: unset). Empty when `current`
// already says how the heap uses huge pages: nothing to add.
std::string WithHugePageTunable(const char* current);

// Starts this program again (same arguments) with the tunable set, unless it is set already. Returns
// only when no new start was made, or in the new start; the environment is then as the first start
// had it (GLIBC_TUNABLES included).
void RestartWithHugePageHeap(char** argv);

}  // namespace qv
