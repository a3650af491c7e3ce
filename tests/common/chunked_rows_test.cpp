// ChunkedRows against std::deque: the same rows in the same order after appends and removals at the
// front, the back and in the middle, across block boundaries, with rows that own memory.
#include <gtest/gtest.h>

#include <deque>
#include <random>
#include <string>

#include "common/chunked_rows.h"

namespace qv {
namespace {

template <typename Rows>
std::string Joined(const Rows& rows) {
  std::string all;
  for (const std::string& r : rows) all += r + ",";
  return all;
}

TEST(ChunkedRows, KeepsTheOrderOfADequeThroughAppendsAndRemovals) {
  ChunkedRows<std::string, 4> rows;  // small blocks: every case crosses block boundaries
  std::deque<std::string> reference;
  std::mt19937 random(7);
  for (int step = 0; step < 3000; ++step) {
    const bool remove = !reference.empty() && random() % 3 == 0;
    if (remove) {
      // Front, back, or anywhere between.
      const std::size_t pick = random() % 4;
      const std::size_t at = pick == 0 ? 0 : pick == 1 ? reference.size() - 1 : random() % reference.size();
      rows.erase(at);
      reference.erase(reference.begin() + static_cast<std::ptrdiff_t>(at));
    } else {
      const std::string row = "row " + std::to_string(step) + std::string(step % 40, 'x');
      rows.push_back(row);
      reference.push_back(row);
    }
    ASSERT_EQ(rows.size(), reference.size()) << step;
    if (!reference.empty()) {
      ASSERT_EQ(rows.back(), reference.back()) << step;
      ASSERT_EQ(rows[0], reference.front()) << step;
    }
  }
  EXPECT_EQ(Joined(rows), Joined(reference));
  // Emptied one row at a time from the front, then used again.
  while (!reference.empty()) {
    rows.erase(0);
    reference.pop_front();
    ASSERT_EQ(Joined(rows), Joined(reference));
  }
  rows.push_back("again");
  EXPECT_EQ(Joined(rows), "again,");
  rows.clear();
  EXPECT_TRUE(rows.empty());
  EXPECT_EQ(rows.begin(), rows.end());
}

}  // namespace
}  // namespace qv
