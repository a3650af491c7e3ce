// One thread classifies without pause while another edits the live table. Every edit keeps the table in
// a state where a whole-table reader sees an invariant hold; a reader that saw part of one edit and part
// of the next would see it broken.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "common/texts.h"
#include "urls/file_type_table.h"
#include "urls/file_type.h"

namespace qv {
namespace {

// Invariant of every published table: the entries .a and .b stand under the same category, both
// checked; the two switches are equal; the table has exactly two entries.
FileTypeSnapshot Step(const FileTypeSnapshot& from, int generation) {
  const int next = generation % kCategoryCount;
  FileTypeSnapshot t = from;
  // Remove .a and .b wherever they are, then add both under the next category.
  while (auto node = t.FindChild(".a")) t = t.WithoutEntry(*node);
  while (auto node = t.FindChild(".b")) t = t.WithoutEntry(*node);
  t = t.WithEntry(next, ".A", false).WithEntry(next, ".b", false);
  t = t.WithChecked(FileTypeNode{next, -1}, true);  // checks both through the category
  const bool on = generation % 2 == 0;
  return t.WithUndefinedTypes(on).WithDuplicates(on);
}

TEST(FileTypeThreads, ClassificationAlwaysSeesAWholeTable) {
  FileTypeState state;
  state.Replace(Step(FileTypeSnapshot(), 0));

  constexpr int kEdits = 20000;
  std::atomic<bool> done{false};
  std::atomic<long> lookups{0};
  std::atomic<long> broken{0};

  std::thread reader([&] {
    int seenCategories = 0;
    while (!done.load(std::memory_order_acquire) || lookups.load() == 0) {
      const FileTypeSnapshotPtr t = state.Current();
      const std::string_view a = FileType("http://h.example/x.a", *t);
      const std::string_view b = FileType("http://h.example/y.B?z", *t);
      const std::string_view other = FileType("http://h.example/z.c", *t);
      int entries = 0;
      for (int c = 0; c < kCategoryCount; ++c) entries += static_cast<int>(t->Entries(c).size());
      const bool whole = !a.empty() && a == b && entries == 2 && t->undefinedTypes == t->duplicates &&
                         other == (t->undefinedTypes ? texts::kCatUndefined : std::string_view());
      if (!whole) broken.fetch_add(1);
      for (int c = 0; c < kCategoryCount; ++c) {
        if (a == CategoryName(c)) seenCategories |= 1 << c;
      }
      lookups.fetch_add(1);
    }
    // The reader saw the edits happen, not just one table.
    EXPECT_NE(seenCategories & (seenCategories - 1), 0) << "reader saw only one category";
  });

  for (int g = 1; g <= kEdits; ++g) {
    state.Replace(Step(*state.Current(), g));
    // Now and then let the reader catch up, so that it certainly meets many different tables.
    if (g % 97 == 0) {
      const long seen = lookups.load();
      while (lookups.load() == seen) std::this_thread::yield();
    }
  }
  done.store(true, std::memory_order_release);
  reader.join();

  EXPECT_EQ(broken.load(), 0) << "of " << lookups.load() << " lookups";
  EXPECT_GT(lookups.load(), 0);
  const FileTypeSnapshotPtr last = state.Current();
  EXPECT_EQ(FileType("http://h.example/x.a", *last), CategoryName(kEdits % kCategoryCount));
}

}  // namespace
}  // namespace qv
