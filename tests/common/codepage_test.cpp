#include "common/codepage.h"

#include <gtest/gtest.h>

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
}

}  // namespace
}  // namespace qv
