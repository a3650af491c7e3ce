#include "urls/en2cn.h"

#include <gtest/gtest.h>

#include "common/codepage.h"

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
}

TEST(En2Cn, EscapedUtf8BecomesGbkEscapedGbkStays) {
  struct Case { const char* address; std::string decoded; };
  for (const Case& c : {
           Case{"http://h.example/%E4%BD%A0%E5%A5%BD.mp3", "http://h.example/\xC4\xE3\xBA\xC3.mp3"},  // 你好 in UTF-8
           Case{"http://h.example/%C4%E3%BA%C3.mp3", "http://h.example/\xC4\xE3\xBA\xC3.mp3"},  // 你好 in GBK
           Case{"/%e4%bd%a0%20a", "/\xC4\xE3 a"},          // lower-case escapes, mixed with ASCII
           Case{"/\xE4\xBD\xA0%41", "/\xC4\xE3" "A"},     // raw UTF-8 beside an escape
           Case{"/%41%42", "/AB"},                             // ASCII only: nothing to convert
           Case{"/%E4%BD", "/\xE4\xBD"},                     // a cut sequence is not UTF-8: as decoded
           Case{"/%F0%9F%8E%B5.mp3", "/?.mp3"},                // a character GBK lacks
       }) {
    EXPECT_EQ(DecodeAddress(c.address), c.decoded) << c.address;
  }
}

TEST(Codepage, IsUtf8WithMultibyte) {
  EXPECT_TRUE(IsUtf8WithMultibyte("http://h.example/\xE4\xBD\xA0.mp3"));
  EXPECT_FALSE(IsUtf8WithMultibyte("http://h.example/a.mp3"));      // ASCII only
  EXPECT_FALSE(IsUtf8WithMultibyte("http://h.example/\xC4\xE3"));  // GBK
  EXPECT_FALSE(IsUtf8WithMultibyte("\xED\xA0\x80"));              // a surrogate
  EXPECT_FALSE(IsUtf8WithMultibyte("\xC0\xAF"));                   // an overlong form
  EXPECT_FALSE(IsUtf8WithMultibyte(""));
}

}  // namespace
}  // namespace qv
