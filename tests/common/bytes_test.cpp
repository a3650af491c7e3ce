#include "common/bytes.h"

#include <gtest/gtest.h>

namespace qv {
namespace {

TEST(Bytes, LowerChangesAsciiLettersOnly) {
  EXPECT_EQ(LowerAscii("AbZ\xC4\xE3@[`{"), "abz\xC4\xE3@[`{");
}

TEST(Bytes, TrimRemovesControlBytesAndBlanksAtBothEnds) {
  EXPECT_EQ(Trim(std::string("\0\x01 \tab c\x20\x1F\0", 11)), "ab c");
  EXPECT_EQ(Trim("  \x21x!  "), "\x21x!");
  EXPECT_EQ(Trim(" \n "), "");
}

TEST(Bytes, GbkSameNameFoldsAsciiCaseOutsideDoubleByteCharacters) {
  struct Case {
    const char* a;
    const char* b;
    bool same;
  };
  const Case cases[] = {
      {"System", "SYSTEM", true},
      {"AdaptorName", "adaptorname", true},
      {"ab", "abc", false},
      {"\xB2\xE2" "A", "\xB2\xE2" "a", true},  // a character, then a letter of its own
      {"\x81\x41", "\x81\x61", false},    // the trail bytes 'A' and 'a' belong to two characters
      {"\xB2\xE2", "\xB2\xE3", false},
      {"", "", true},
  };
  for (const Case& c : cases) EXPECT_EQ(GbkSameName(c.a, c.b), c.same) << c.a << " / " << c.b;
}

TEST(Bytes, GbkFindRefusesMatchBeginningOnTrailByte) {
  // 0xD5 0x2F is one double-byte character whose trail byte is "/"; the real "/" comes after.
  const std::string s = "a\xD5/b/c";
  EXPECT_EQ(s.find('/'), 2u);
  EXPECT_EQ(GbkFind(s, "/"), 4u);
  EXPECT_EQ(GbkRFind(s, "/"), 4u);
  EXPECT_EQ(GbkRFind("\xD5/", "/"), npos);
  // A lead byte at the very end stands alone.
  EXPECT_EQ(GbkRFind("ab\x81", "\x81"), 2u);
  // Searching on from a position still counts characters from the start.
  EXPECT_EQ(GbkFind("\xC4\xE3\xC4/x/", "/", 1), 5u);
}

TEST(Bytes, GbkFindOnAsciiMatchesPlainFind) {
  const std::string s = "http://h.example/a/b.mp3";
  EXPECT_EQ(GbkFind(s, "/"), s.find('/'));
  EXPECT_EQ(GbkRFind(s, "/"), s.rfind('/'));
  EXPECT_EQ(GbkFind(s, "://"), 4u);
  EXPECT_EQ(GbkFind(s, "zz"), npos);
}

TEST(Bytes, FindLoweredIgnoresAsciiCase) {
  EXPECT_EQ(FindLowered("GET / HTTP/1.1\r\nHOST: a\r\n", "host:"), 16u);
  EXPECT_EQ(FindLowered("hhhhhhhHost:", "host:"), 7u);
  EXPECT_EQ(FindLowered("hos", "host:"), npos);
  EXPECT_EQ(FindLowered("xx:1", ":1", 3), npos);
}

}  // namespace
}  // namespace qv

namespace qv {
namespace {

// FindFast must agree with std::string_view::find everywhere: every start, every length around the
// sixteen-byte steps, needles at the very end and overlapping candidates.
TEST(Bytes, FindFastAgreesWithFind) {
  const std::string_view needles[] = {"://", "ET ", "OST ", "ab", "aab"};
  std::string hay;
  unsigned seed = 7;
  for (int len = 0; len < 80; ++len) {
    hay.clear();
    for (int i = 0; i < len; ++i) {
      seed = seed * 1103515245 + 12345;
      hay += "aET OS:/b"[(seed >> 16) % 9];
    }
    for (auto needle : needles)
      for (std::size_t from = 0; from <= hay.size() + 1; ++from)
        ASSERT_EQ(FindFast(hay, needle, from), std::string_view(hay).find(needle, from))
            << "hay " << hay << " needle " << needle << " from " << from;
  }
  EXPECT_EQ(FindFast(std::string(40, 'x') + "://", "://"), 40u);
}

}  // namespace
}  // namespace qv
