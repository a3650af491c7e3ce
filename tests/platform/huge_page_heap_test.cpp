// The window starts itself again once with glibc's huge-page heap tunable: the arguments must come
// through, a user's own tunables must stay, the process keeps its name (comm: 15 bytes), and a
// second start must never follow.
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
  EXPECT_EQ(Output("env -u GLIBC_TUNABLES '" + probe + "' capture.pcap 'a b'"),
            "arg capture.pcap\narg a b\ntunables glibc.malloc.hugetlb=1\nname huge_page_resta\n");
  EXPECT_EQ(Output("env GLIBC_TUNABLES=glibc.malloc.check=3 '" + probe + "' x"),
            "arg x\ntunables glibc.malloc.check=3:glibc.malloc.hugetlb=1\nname huge_page_resta\n");
  // Set already (by the user or by the first start): no new start, the value as it was.
  EXPECT_EQ(Output("env GLIBC_TUNABLES=glibc.malloc.hugetlb=0 '" + probe + "'"), "tunables glibc.malloc.hugetlb=0\nname huge_page_resta\n");
}

}  // namespace
}  // namespace qv::testing
