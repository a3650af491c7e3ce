#include "common/list_text.h"

#include <gtest/gtest.h>

#include <string>

namespace qv {
namespace {

// "视频" (video) in GBK and UTF-8.
const std::string kVideoGbk = "\xCA\xD3\xC6\xB5";
const std::string kVideoUtf8 = "\xE8\xA7\x86\xE9\xA2\x91";

TEST(TextNeedle, FindsTheTypedTextInGbkAndUtf8RowsIgnoringAsciiCase) {
  const TextNeedle flv(std::string("FLV"), "FLV");
  const TextNeedle video(kVideoGbk, kVideoUtf8);
  const TextNeedle nothing;
  struct Case {
    const TextNeedle& needle;
    std::string text;
    bool in;
  };
  const Case cases[] = {
      {flv, "http://video.example/clip.flv", true},
      {flv, "http://video.example/clip.Flv?x=1", true},
      {flv, "http://video.example/clip.mp4", false},
      {flv, "fl", false},
      {video, "http://a.example/" + kVideoGbk + ".mp4", true},    // a GBK row
      {video, "http://a.example/" + kVideoUtf8 + ".mp4", true},   // a UTF-8 row
      {video, "http://a.example/\xCA\xD3.mp4", false},
      {nothing, "", true},
      {nothing, "anything", true},
  };
  for (const Case& c : cases) EXPECT_EQ(c.needle.In(c.text), c.in) << c.text;
}

// GBK double-byte characters whose trail byte is an ASCII letter: the needle must not begin on a trail
// byte, and case folding must not turn one character into another.
TEST(TextNeedle, NeverMatchesAcrossOrInsideADoubleByteCharacter) {
  const TextNeedle a(std::string("a"), "a");
  EXPECT_FALSE(a.In("\x81\x41"));       // one character whose trail byte is 'A'
  EXPECT_FALSE(a.In("x\x81\x61y"));     // ... or 'a'
  EXPECT_TRUE(a.In("\x81\x41" "A"));    // the letter after it
  // Long runs of double-byte characters: the boundary is counted from the last byte below 0x81.
  EXPECT_FALSE(a.In("\xB2\xE2\xB2\xE2\x81\x61"));
  EXPECT_TRUE(a.In("\xB2\xE2\xB2\xE2" "a"));
  EXPECT_TRUE(a.In("\x81\x61\xB2\x41\xB2\xE2" "A"));  // two false candidates, then the letter
  const TextNeedle lead(std::string("\x81\x61"), "\xE4\xB8\x82");  // the character 0x81 0x61 itself
  EXPECT_TRUE(lead.In("x\x81\x61"));
  EXPECT_FALSE(lead.In("x\x81\x41"));   // a different character, not the same one in another case
  EXPECT_FALSE(lead.In("\xB2\x81\x61")); // 0xB2 0x81 is a character; 0x61 stands alone
  // Text GBK cannot spell is in no GBK row, and in a UTF-8 row only as UTF-8.
  const TextNeedle euro(std::nullopt, "\xE2\x82\xAC\xC3\xA9");
  EXPECT_FALSE(euro.In("?"));
  EXPECT_TRUE(euro.In("price \xE2\x82\xAC\xC3\xA9"));
}

TEST(CompareListText, OrdersNumbersByValueAndTextByBytesIgnoringAsciiCase) {
  struct Case {
    std::string a, b;
    int sign;
  };
  const Case cases[] = {
      {"9", "10", -1},        // lengths of packet rows
      {"100", "99", 1},
      {"007", "7", 1},        // the same value: the exact bytes decide
      {"42", "42", 0},
      {"http://b.example", "http://A.example", 1},
      {"HTTP://a", "http://a", -1},  // equal ignoring case: the exact bytes decide
      {"abc", "abcd", -1},
      {"10x", "9x", -1},      // not numbers: byte order
      {"\xCA\xD3\xC6\xB5\xCE\xC4\xBC\xFE", "\xD2\xF4\xC6\xB5\xCE\xC4\xBC\xFE", -1},  // 视频文件 < 音频文件
      {"", "a", -1},
  };
  for (const Case& c : cases) {
    const int r = CompareListText(c.a, c.b);
    EXPECT_EQ((r > 0) - (r < 0), c.sign) << c.a << " / " << c.b;
    const int back = CompareListText(c.b, c.a);
    EXPECT_EQ((back > 0) - (back < 0), -c.sign) << c.b << " / " << c.a;
  }
}

}  // namespace
}  // namespace qv
