// The spill file: records come back as written, reads never pass the committed end, a failed write
// leaves the store usable, and a reader on another thread sees only whole records.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "common/spill_store.h"

namespace qv {
namespace {

class SpillStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/spill_test_XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }
  std::size_t EntriesInDir() const {
    std::size_t n = 0;
    if (DIR* d = ::opendir(dir_.c_str())) {
      while (dirent* e = ::readdir(d))
        if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") ++n;
      ::closedir(d);
    }
    return n;
  }
  std::string dir_;
};

TEST_F(SpillStoreTest, RecordsComeBackAsWrittenAndNoFileIsLeftInTheFolder) {
  auto store = SpillStore::Open(dir_ + "/made/on/demand");
  ASSERT_NE(store, nullptr);
  const std::string binary("a\0b\xA5\xFE\xFF", 6);
  const std::string big(70000, 'x');
  struct Case { std::string a, b; };
  const std::vector<Case> cases = {{"10.0.0.1:80", "GET / HTTP/1.1\r\n"}, {"", ""}, {binary, ""}, {"", big}, {"[::1]:443", binary}};
  std::vector<SpillRef> refs;
  for (const Case& c : cases) {
    const auto ref = store->Append(c.a, c.b);
    ASSERT_TRUE(ref);
    refs.push_back(*ref);
  }
  std::string out;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    ASSERT_TRUE(store->Read(refs[i], out)) << i;
    EXPECT_EQ(out, cases[i].a + cases[i].b) << i;
  }
  // A part of a record, as a row reads its payload behind its remote text.
  ASSERT_TRUE(store->Read(refs[4].offset + 9, binary.size(), out));
  EXPECT_EQ(out, binary);
  EXPECT_EQ(store->Committed(), refs.back().offset + refs.back().size);
  EXPECT_FALSE(store->Failed());
  // The file has no name in the folder, so a crash leaves nothing behind.
  EXPECT_EQ(EntriesInDir(), 1u);  // the folder "made" only
}

TEST_F(SpillStoreTest, ReadsOutsideTheCommittedRecordsFail) {
  auto store = SpillStore::Open(dir_);
  ASSERT_NE(store, nullptr);
  ASSERT_TRUE(store->Append("0123456789"));
  std::string out = "stale";
  struct Case { std::uint64_t offset; std::size_t size; bool ok; };
  for (const Case& c : {Case{0, 10, true}, Case{10, 0, true}, Case{9, 2, false}, Case{11, 0, false},
                        Case{~std::uint64_t{0}, 2, false}, Case{5, ~std::size_t{0}, false}}) {
    EXPECT_EQ(store->Read(c.offset, c.size, out), c.ok) << c.offset << "+" << c.size;
    if (!c.ok) {
      EXPECT_TRUE(out.empty());
    }
  }
}

TEST_F(SpillStoreTest, AFolderThatCannotBeMadeGivesNoStoreAndSaysWhy) {
  std::string error;
  ASSERT_EQ(::close(::creat((dir_ + "/file").c_str(), 0600)), 0);
  EXPECT_EQ(SpillStore::Open(dir_ + "/file/sub", &error), nullptr);
  EXPECT_FALSE(error.empty());
}

// A write that fails (here the file-size limit, as a full disk would) returns nothing and keeps the
// records before it; once writing works again, appends go on after the last whole record.
TEST_F(SpillStoreTest, AFailedWriteKeepsTheStoreWhole) {
  auto store = SpillStore::Open(dir_);
  ASSERT_NE(store, nullptr);
  const auto first = store->Append("remote", std::string(1000, 'p'));
  ASSERT_TRUE(first);

  rlimit old{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  const auto oldSignal = ::signal(SIGXFSZ, SIG_IGN);
  rlimit small = old;
  small.rlim_cur = 1500;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const auto failed = store->Append("remote", std::string(1000, 'q'));  // would end at 2006: partly written
  const auto failedAgain = store->Append("x");                          // fits: the store keeps going
  ::setrlimit(RLIMIT_FSIZE, &old);
  ::signal(SIGXFSZ, oldSignal);

  EXPECT_FALSE(failed);
  EXPECT_TRUE(store->Failed());
  EXPECT_NE(store->FirstError().find("spill"), std::string::npos);
  ASSERT_TRUE(failedAgain);
  EXPECT_EQ(failedAgain->offset, first->offset + first->size);  // the partial record is overwritten
  std::string out;
  ASSERT_TRUE(store->Read(*first, out));
  EXPECT_EQ(out, "remote" + std::string(1000, 'p'));
  ASSERT_TRUE(store->Read(*failedAgain, out));
  EXPECT_EQ(out, "x");
  const auto later = store->Append("after");
  ASSERT_TRUE(later);
  ASSERT_TRUE(store->Read(*later, out));
  EXPECT_EQ(out, "after");
}

// A record's size must fit a SpillRef: a record of exactly the largest size is written (here the
// file-size limit stops it early, as a full disk would), one byte more is refused before anything is
// written. The bytes come from a mapping of zero pages, so no memory is filled.
TEST_F(SpillStoreTest, RecordSizeLimitIsExact) {
  constexpr std::size_t kMax = std::numeric_limits<std::uint32_t>::max();
  void* zeros = ::mmap(nullptr, kMax + 1, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(zeros, MAP_FAILED);
  const std::string_view all(static_cast<const char*>(zeros), kMax + 1);
  const std::size_t half = std::size_t{1} << 31;
  auto store = SpillStore::Open(dir_);
  ASSERT_NE(store, nullptr);
  ASSERT_TRUE(store->Append("before"));

  EXPECT_FALSE(store->Append(all.substr(0, half), all.substr(half)));  // kMax + 1 bytes
  EXPECT_FALSE(store->Failed());  // refused, not tried
  EXPECT_EQ(store->Committed(), 6u);

  rlimit old{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  const auto oldSignal = ::signal(SIGXFSZ, SIG_IGN);
  rlimit small = old;
  small.rlim_cur = 1 << 20;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const auto largest = store->Append(all.substr(0, half), all.substr(half, kMax - half));  // kMax bytes
  ::setrlimit(RLIMIT_FSIZE, &old);
  ::signal(SIGXFSZ, oldSignal);
  ::munmap(zeros, kMax + 1);
  EXPECT_FALSE(largest);
  EXPECT_TRUE(store->Failed());  // tried: the write met the file-size limit
  EXPECT_EQ(store->Committed(), 6u);
  const auto after = store->Append("after");
  ASSERT_TRUE(after);
  std::string out;
  ASSERT_TRUE(store->Read(*after, out));
  EXPECT_EQ(out, "after");
}

// One thread appends while another reads up to the committed end: every byte it reads belongs to a
// whole record (records are runs of one byte value, numbered).
TEST(SpillStoreThreads, AReaderSeesOnlyWholeRecords) {
  auto store = SpillStore::Open("/tmp");
  ASSERT_NE(store, nullptr);
  constexpr int kRecords = 20000;
  std::atomic<bool> done{false};
  std::thread writer([&] {
    // However the writer ends (a failed ASSERT returns early), the reader is told, so that a failure
    // fails the test instead of leaving the reader waiting for records that never come.
    struct Done {
      std::atomic<bool>& done;
      ~Done() { done.store(true); }
    } guard{done};
    for (int i = 0; i < kRecords; ++i) {
      const std::string record(static_cast<std::size_t>(1 + i % 200), static_cast<char>('A' + i % 26));
      ASSERT_TRUE(store->Append(record.substr(0, 1), record.substr(1)));
    }
  });
  std::uint64_t checked = 0;
  int record = 0;
  std::string out;
  bool whole = true;
  while (whole && (!done.load() || checked < store->Committed())) {
    const std::uint64_t end = store->Committed();
    if (end == checked) continue;
    if (!store->Read(checked, static_cast<std::size_t>(end - checked), out)) {
      ADD_FAILURE() << "the committed bytes " << checked << " to " << end << " cannot be read";
      break;  // the writer is still joined below
    }
    // The new bytes are whole records, in order.
    std::size_t at = 0;
    while (at < out.size()) {
      const std::size_t size = static_cast<std::size_t>(1 + record % 200);
      const char c = static_cast<char>('A' + record % 26);
      if (at + size > out.size() || out.compare(at, size, std::string(size, c)) != 0) {
        whole = false;
        break;
      }
      at += size;
      ++record;
    }
    checked = end;
  }
  writer.join();
  EXPECT_TRUE(whole) << "record " << record;
  EXPECT_EQ(record, kRecords);
}

}  // namespace
}  // namespace qv
