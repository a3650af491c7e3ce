#include "packets/packet_view.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/texts.h"

namespace qv {
namespace {

std::vector<std::string> Lines(const std::string& dump) {
  std::vector<std::string> lines;
  std::size_t at = 0;
  while (at < dump.size()) {
    const std::size_t end = dump.find("\r\n", at);
    if (end == std::string::npos) {
      ADD_FAILURE() << "line without CR LF: " << dump.substr(at);
      break;
    }
    lines.push_back(dump.substr(at, end - at));
    at = end + 2;
  }
  return lines;
}

// Dumps of one call each: the whole text, with the padding of the hex and text columns.
TEST(StoHex, OneLineDumps) {
  struct Case {
    std::string text;
    std::string dump;
  };
  const Case cases[] = {
      {"", ""},
      {"GET /", "00000010   47 45 54 20 2F " + std::string(33, ' ') + "   GET /\r\n"},
      // A trailing 0xA5, and one followed by something other than 0xFE, are bytes of their own; so is
      // 0xFE 0xA5.
      {"a\xA5", "00000010   61 A5 " + std::string(42, ' ') + "   a.\r\n"},
      {"\xA5\xFD\xFE", "00000010   A5 FD FE " + std::string(39, ' ') + "   ...\r\n"},
      {"\xFE\xA5", "00000010   FE A5 " + std::string(42, ' ') + "   ..\r\n"},
      // The text column blanks control bytes and keeps DEL.
      {"\r\n\x1F\x7F\x80 ~", "00000010   0D 0A 1F 7F 80 20 7E " + std::string(27, ' ') + "      \x7F. ~\r\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(StoHex(c.text), c.dump) << c.text;
}

TEST(StoHex, SixteenBytesGiveFullLineAndEmptyLastLine) {
  const auto lines = Lines(StoHex("0123456789ABCDEF"));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0],
            "00000010   30 31 32 33 34 35 36 37 38 39 41 42 43 44 45 46    0123456789ABCDEF");
  EXPECT_EQ(lines[1], "00000020" + std::string(54, ' '));
}

TEST(StoHex, SeventeenBytesPadTheLastLine) {
  const auto lines = Lines(StoHex("0123456789abcdefZ"));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].size(), 8u + 3 + 48 + 3 + 16);
  EXPECT_EQ(lines[1], "00000020   5A " + std::string(45, ' ') + "   Z");
}

TEST(StoHex, LabelsCountOnInSixteens) {
  const auto lines = Lines(StoHex(std::string(16 * 17 + 1, 'x')));
  ASSERT_EQ(lines.size(), 18u);
  EXPECT_EQ(lines[9].substr(0, 8), "000000A0");
  EXPECT_EQ(lines[16].substr(0, 8), "00000110");
  EXPECT_EQ(lines[17].substr(0, 8), "00000120");
}

TEST(StoHex, NulMarkerIsOneZeroByte) {
  // "A", zero, "B": the marker shows 00 and a blank, and counts once in the line.
  const std::string text = "A" + std::string(texts::kNulMarker) + "B";
  EXPECT_EQ(StoHex(text), "00000010   41 00 42 " + std::string(39, ' ') + "   A B\r\n");
  // Sixteen markers fill exactly one line.
  std::string zeros;
  for (int i = 0; i < 16; ++i) zeros += texts::kNulMarker;
  const auto lines = Lines(StoHex(zeros));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "00000010   " + [] {
    std::string s;
    for (int i = 0; i < 16; ++i) s += "00 ";
    return s;
  }() + "   " + std::string(16, ' '));
}

constexpr const char* kHeader =
    "\xB1\xBE\xB5\xD8IP\xA3\xBA 192.168.1.5\r\n"   // 本地IP： 192.168.1.5
    "\xCD\xF8\xD5\xBEIP\xA3\xBA 10.0.0.1:80\r\n"   // 网站IP： 10.0.0.1:80
    "\xCA\xFD\xBE\xDD\xB0\xFC\xA3\xBA \r\n"        // 数据包：
    "\r\n";

TEST(ShowDatas, PacketRowHighlightsPayloadAfterHeader) {
  const std::string payload = "GET /a.mp3 HTTP/1.1\r\nHost: h\r\n\r\n";
  const InspectorText t = ShowDatas("192.168.1.5", "10.0.0.1:80", payload, payload, false);
  EXPECT_EQ(t.text, std::string(kHeader) + payload);
  EXPECT_EQ(t.selectionStart, std::string(kHeader).size());
  EXPECT_EQ(t.selectionLength, payload.size());
}

TEST(ShowDatas, UrlRowHighlightsFirstOccurrenceAnywhere) {
  const std::string payload = "GET /a.mp3 HTTP/1.1\r\nHost: h\r\n\r\n";
  // The address is not in the payload literally: nothing selected.
  InspectorText t = ShowDatas("192.168.1.5", "10.0.0.1:80", payload, "http://h/a.mp3", false);
  EXPECT_EQ(t.text, std::string(kHeader) + payload);
  EXPECT_EQ(t.selectionLength, 0u);
  // The search covers the header lines too: the first occurrence can lie there.
  t = ShowDatas("192.168.1.5", "10.0.0.1:80", "to 10.0.0.1 again", "10.0.0.1", false);
  EXPECT_EQ(t.selectionStart, std::string(kHeader).find("10.0.0.1"));
  EXPECT_EQ(t.selectionLength, 8u);
  // An empty address selects nothing.
  t = ShowDatas("192.168.1.5", "10.0.0.1:80", payload, "", false);
  EXPECT_EQ(t.selectionLength, 0u);
}

TEST(ShowDatas, HexViewAppendsDumpAndSelectsNothing) {
  const std::string payload = "GET /";
  const InspectorText t = ShowDatas("192.168.1.5", "10.0.0.1:80", payload, payload, true);
  EXPECT_EQ(t.text, std::string(kHeader) + StoHex(payload));
  EXPECT_EQ(t.selectionLength, 0u);
}

TEST(ShowDatas, EmptyLocalAddressAndPacket) {
  const InspectorText t = ShowDatas("", "", "", "x", false);
  EXPECT_EQ(t.text,
            "\xB1\xBE\xB5\xD8IP\xA3\xBA \r\n\xCD\xF8\xD5\xBEIP\xA3\xBA \r\n"
            "\xCA\xFD\xBE\xDD\xB0\xFC\xA3\xBA \r\n\r\n");
  EXPECT_EQ(t.selectionLength, 0u);
}

}  // namespace
}  // namespace qv
