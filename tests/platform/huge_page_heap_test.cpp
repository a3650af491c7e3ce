// The window starts itself again once with glibc's huge-page heap tunable: the arguments must come
// through, a user's own tunables must stay, the process keeps its name (comm: 15 bytes), a second
// start must never follow, and the programs it starts inherit GLIBC_TUNABLES as it was before.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "platform/huge_page_heap.h"

namespace qv::testing {
namespace {

TEST(HugePageHeap, TunableIsAddedOnceAndAUsersChoiceStays) {
  EXPECT_EQ(WithHugePageTunable(nullptr), "glibc.malloc.hugetlb=1");
  EXPECT_EQ(WithHugePageTunable(""), "glibc.malloc.hugetlb=1");
  EXPECT_EQ(WithHugePageTunable("glibc.malloc.check=3"), "glibc.malloc.check=3:glibc.malloc.hugetlb=1");
  EXPECT_EQ(WithHugePageTunable("glibc.malloc.hugetlb=0"), "");
  EXPECT_EQ(WithHugePageTunable("glibc.malloc.check=3:glibc.malloc.hugetlb=2"), "");
  // A longer name that begins like it is another tunable.
  EXPECT_EQ(WithHugePageTunable("glibc.malloc.hugetlbx=1"), "glibc.malloc.hugetlbx=1:glibc.malloc.hugetlb=1");
}

std::string Output(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (p == nullptr) return out;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, p) != nullptr) out += buffer;
  pclose(p);
  return out;
}

TEST(HugePageHeap, RestartKeepsTheArgumentsAndHappensOnce) {
  const std::string probe = HUGE_PAGE_PROBE;
  // The new start begins with the tunable; then GLIBC_TUNABLES is as the first start had it, so the
  // programs it starts inherit nothing of the restart.
  EXPECT_EQ(Output("env -u GLIBC_TUNABLES '" + probe + "' capture.pcap 'a b'"),
            "arg capture.pcap\narg a b\nstarted with huge pages: yes\ntunables (unset)\n"
            "child (unset) (unset)\nname huge_page_resta\n");
  EXPECT_EQ(Output("env GLIBC_TUNABLES=glibc.malloc.check=3 '" + probe + "' x"),
            "arg x\nstarted with huge pages: yes\ntunables glibc.malloc.check=3\n"
            "child glibc.malloc.check=3 (unset)\nname huge_page_resta\n");
  EXPECT_EQ(Output("env GLIBC_TUNABLES= '" + probe + "'"),
            "started with huge pages: yes\ntunables \nchild  (unset)\nname huge_page_resta\n");
  // Set already (by the user): no new start, the value as it was, also for the programs it starts.
  EXPECT_EQ(Output("env GLIBC_TUNABLES=glibc.malloc.hugetlb=0 '" + probe + "'"),
            "started with huge pages: no\ntunables glibc.malloc.hugetlb=0\n"
            "child glibc.malloc.hugetlb=0 (unset)\nname huge_page_resta\n");
  // A stray note from outside is dropped and changes nothing.
  EXPECT_EQ(Output("env -u GLIBC_TUNABLES QUELVAR_GLIBC_TUNABLES_BEFORE==glibc.malloc.check=3 '" + probe + "'"),
            "started with huge pages: yes\ntunables (unset)\nchild (unset) (unset)\nname huge_page_resta\n");
}

}  // namespace
}  // namespace qv::testing
