#include "urls/en2cn.h"

#include <gtest/gtest.h>

#include <string>

namespace qv {
namespace {

TEST(En2Cn, DecodesEscapesByteByByteAndCopiesBadOnes) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"http://h.example/a.mp3", "http://h.example/a.mp3"},
      {"a%20b", "a b"},
      {"%41%42", "AB"},
      {"/%C4%E3%BA%C3.mp3", "/\xC4\xE3\xBA\xC3.mp3"},  // two GBK characters
      {"%4a%4A", "JJ"},
      {"100%", "100%"},
      {"a%2", "a%2"},
      {"%", "%"},
      {"/a%41", "/aA"},  // escape at the very end
      {"%zz", "%zz"},
      {"%G1x", "%g1x"},  // a bad pair is copied lower-cased
      {"%%41", "%%41"},  // the second "%" belongs to the first pair
      {"%2541", "%41"},  // a decoded "%" opens no new escape
      {"a+b%2Bc", "a+b+c"},
      {"x%41y%", "xAy%"},
      {"%00", std::string(1, '\0')},
  };
  for (const auto& c : cases) EXPECT_EQ(En2Cn(c.in), c.out) << c.in;
}

TEST(En2Cn, DecodeAddressReadsUtf8OnlyWithoutPercent) {
  EXPECT_EQ(DecodeAddress("http://h.example/\xE4\xBD\xA0.mp3"), "http://h.example/\xC4\xE3.mp3");  // 你
  EXPECT_EQ(DecodeAddress("http://h.example/a.mp3"), "http://h.example/a.mp3");
  // Not UTF-8 (raw GBK): left as it is.
  EXPECT_EQ(DecodeAddress("http://h.example/\xC4\xE3.mp3"), "http://h.example/\xC4\xE3.mp3");
  // With "%" the escapes are decoded and raw bytes are not converted.
  EXPECT_EQ(DecodeAddress("/\xE4\xBD\xA0%41"), "/\xE4\xBD\xA0" "A");
}

}  // namespace
}  // namespace qv
