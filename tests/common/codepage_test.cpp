#include "common/codepage.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <cerrno>
#include <random>
#include <thread>
#include <vector>

namespace qv {
namespace {

TEST(Codepage, RoundTripsChineseText) {
  const std::string gbk = "\xC4\xE3\xBA\xC3";  // 你好
  EXPECT_EQ(GbkToUtf8(gbk), "\xE4\xBD\xA0\xE5\xA5\xBD");
  EXPECT_EQ(Utf8ToGbk("\xE4\xBD\xA0\xE5\xA5\xBD"), gbk);
}

TEST(Codepage, Utf8ToGbkReplacesMissingCharactersAndRefusesBadInput) {
  EXPECT_EQ(Utf8ToGbk("a\xF0\x9F\x98\x80z"), "a?z");  // an emoji has no GBK form
  EXPECT_EQ(Utf8ToGbk("plain/ascii"), "plain/ascii");
  EXPECT_EQ(Utf8ToGbk("\xC4\xE3"), std::nullopt);  // GBK bytes are not UTF-8
  EXPECT_EQ(Utf8ToGbk("\xE4\xBD"), std::nullopt);  // cut short
}

TEST(Codepage, Utf8ToGbkStopsAt2047Characters) {
  std::string in;
  for (int i = 0; i < 3000; ++i) in += "\xE4\xBD\xA0";
  const auto out = Utf8ToGbk(in);
  ASSERT_TRUE(out);
  EXPECT_EQ(out->size(), 2047u * 2);
}

TEST(Codepage, GbkToUtf8ReplacesInvalidBytesOneByOne) {
  EXPECT_EQ(GbkToUtf8("a\xFF" "b"), "a\xEF\xBF\xBD" "b");
  EXPECT_EQ(GbkToUtf8("x\xC4"), "x\xEF\xBF\xBD");
  // A lead byte before a byte that cannot follow it; "\xC4" "a" is a character of its own.
  EXPECT_EQ(GbkToUtf8("\xC4\r\xC4\xE3\xC4" "a"), "\xEF\xBF\xBD\r\xE4\xBD\xA0\xE8\x85\xB6");
}

// The whole text through iconv at once, one replacement per byte that stops it.
std::string IconvReference(std::string_view gbk) {
  iconv_t cd = iconv_open("UTF-8", "GBK");
  EXPECT_NE(cd, reinterpret_cast<iconv_t>(-1));
  std::string out;
  char* in = const_cast<char*>(gbk.data());
  std::size_t left = gbk.size();
  while (left > 0) {
    char buf[256];
    char* dst = buf;
    std::size_t room = sizeof buf;
    const std::size_t r = iconv(cd, &in, &left, &dst, &room);
    out.append(buf, static_cast<std::size_t>(dst - buf));
    if (r == static_cast<std::size_t>(-1) && errno != E2BIG) {
      out += "\xEF\xBF\xBD";
      ++in;
      --left;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
  }
  iconv_close(cd);
  return out;
}

// Every one- and two-byte text, then random texts of mixed ASCII, lead and trail bytes, decode as
// iconv decodes them.
TEST(Codepage, GbkToUtf8AgreesWithIconvOnEveryPairAndOnRandomTexts) {
  for (int a = 0; a < 256; ++a) {
    const std::string one(1, static_cast<char>(a));
    ASSERT_EQ(GbkToUtf8(one), IconvReference(one)) << a;
    for (int b = 0; b < 256; ++b) {
      const std::string two{static_cast<char>(a), static_cast<char>(b)};
      ASSERT_EQ(GbkToUtf8(two), IconvReference(two)) << a << " " << b;
    }
  }
  std::mt19937 rng(3);
  const std::string alphabet = std::string("a\r\n\t\x7F\x80\x81\xA1\xC4\xE3\xFE\xFF\x40\x3F", 14) + std::string(1, '\0');
  for (int round = 0; round < 3000; ++round) {
    std::string s;
    const int len = static_cast<int>(rng() % 40);
    for (int i = 0; i < len; ++i) s += rng() % 3 ? static_cast<char>(rng() % 256) : alphabet[rng() % alphabet.size()];
    ASSERT_EQ(GbkToUtf8(s), IconvReference(s));
  }
}

// Several threads decoding at once while the table fills (run under ThreadSanitizer too).
TEST(Codepage, GbkToUtf8FromSeveralThreads) {
  std::string text;
  for (int a = 0x81; a <= 0xFE; ++a) text += {static_cast<char>(a), '\xA1', 'x'};
  const std::string expected = IconvReference(text);
  std::vector<std::thread> threads;
  std::vector<std::string> results(4);
  for (int t = 0; t < 4; ++t) threads.emplace_back([&, t] { results[t] = GbkToUtf8(text); });
  for (auto& th : threads) th.join();
  for (const auto& r : results) EXPECT_EQ(r, expected);
}

}  // namespace
}  // namespace qv
