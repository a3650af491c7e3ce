// The downloader's limits at their edges, through its public reading functions: the handed text's
// length, the number of headers sent again, and the length of the names it saves under.
#include <gtest/gtest.h>

#include <string>

#include "tools/Dorrinel/names.h"
#include "tools/Dorrinel/request.h"

namespace dorrinel {
namespace {

// Private to the request reader: a handed text is read up to 1 MiB, and at most 100 of its headers are
// sent again.
constexpr std::size_t kTextLimit = std::size_t{1} << 20;
constexpr std::size_t kHeaderLimit = 100;

TEST(DorrinelLimits, HandedTextIsReadUpToItsLimit) {
  // The Host header is the text's last line: its last byte is the text's last.
  const std::string line = "GET /a.mp4 HTTP/1.1\r\nX-Pad: ";
  const std::string host = "\r\nHost: h.example";
  for (const std::size_t size : {kTextLimit, kTextLimit + 1}) {
    SCOPED_TRACE(size);
    const std::string text = line + std::string(size - line.size() - host.size(), 'p') + host;
    ASSERT_EQ(text.size(), size);
    const DownloadRequest r = ParseHandedText(text);
    EXPECT_EQ(r.error, ParseError::kNone);
    EXPECT_EQ(r.host, size <= kTextLimit ? "h.example" : "h.exampl");
  }
}

TEST(DorrinelLimits, HeadersSentAgainUpToTheirLimit) {
  for (const std::size_t count : {kHeaderLimit, kHeaderLimit + 1}) {
    SCOPED_TRACE(count);
    std::string text = "GET /a.mp4 HTTP/1.1\r\nHost: h.example\r\n";
    for (std::size_t i = 0; i < count; ++i) text += "X-H" + std::to_string(i) + ": v\r\n";
    const DownloadRequest r = ParseHandedText(text + "\r\n");
    ASSERT_EQ(r.error, ParseError::kNone);
    ASSERT_EQ(r.headers.size(), kHeaderLimit);
    EXPECT_EQ(r.headers.front(), (Header{"X-H0", "v"}));
    EXPECT_EQ(r.headers.back(), (Header{"X-H99", "v"}));  // the first hundred, in order
  }
}

TEST(DorrinelLimits, NamesAreCutAtTheirLimitKeepingTheExtension) {
  static_assert(kMaxNameBytes == 240);
  const std::string a236(236, 'a');
  const std::string ni = "\xE4\xBD\xA0";  // 你, 3 bytes of UTF-8
  std::string ni78, ni79;
  for (int i = 0; i < 78; ++i) ni78 += ni;
  ni79 = ni78 + ni;
  struct Case {
    std::string target;
    std::string name;
  };
  const Case cases[] = {
      {"/" + a236 + ".mp4", a236 + ".mp4"},              // exactly the limit
      {"/" + a236 + "b.mp4", a236 + ".mp4"},             // one byte over: the stem is cut
      {"/" + ni78 + "ab.mp4", ni78 + "ab.mp4"},          // 240 bytes of UTF-8
      {"/" + ni79 + ".mp4", ni78 + ".mp4"},              // 241: cut at a character boundary
      {"/" + std::string(240, 'x'), std::string(240, 'x')},
      {"/" + std::string(241, 'x'), std::string(240, 'x')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target.size());
    const std::string name = FileNameFromTarget(c.target);
    EXPECT_EQ(name, c.name);
    EXPECT_LE(name.size(), kMaxNameBytes);
    // With the largest number and the suffix of the file being written it stays within NAME_MAX.
    EXPECT_LE(NumberedName(name, 9999).size() + kPartSuffix.size(), 255u);
  }
  // A recorded stream's name: the limit holds with its ".mkv".
  EXPECT_EQ(StreamFileName("/ch/" + std::string(236, 's')), std::string(236, 's') + ".mkv");
  EXPECT_EQ(StreamFileName("/ch/" + std::string(237, 's')), std::string(236, 's') + ".mkv");
  EXPECT_EQ(StreamFileName("/live/" + std::string(235, 's') + ".m3u8"), std::string(235, 's') + ".mkv");
}

}  // namespace
}  // namespace dorrinel
