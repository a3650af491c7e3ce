#include "packets/packet_filter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/texts.h"

namespace qv {
namespace {

TEST(PacketFilter, EmptyFilterPassesEverything) {
  const PacketFilter f;
  EXPECT_TRUE(f.ProtocolPasses(47));
  EXPECT_TRUE(f.DirectionPasses(Direction::Inbound));
  EXPECT_TRUE(f.DirectionPasses(Direction::Outbound));
  EXPECT_TRUE(f.SitePasses("10.0.0.1"));
  EXPECT_TRUE(f.MinLengthPasses(""));
  EXPECT_TRUE(f.ContainedPasses(""));
}

TEST(PacketFilter, ProtocolMustEqualSetting) {
  struct Case { int setting, frame; bool passes; };
  for (const Case c : {Case{6, 6, true}, Case{6, 17, false}, Case{17, 17, true}, Case{1, 6, false},
                       Case{80, 80, true}, Case{80, 6, false}, Case{80, 0, false}}) {
    PacketFilter f;
    f.protocol = c.setting;
    EXPECT_EQ(f.ProtocolPasses(c.frame), c.passes) << c.setting << " " << c.frame;
  }
}

TEST(PacketFilter, DirectionOneKeepsInboundTwoKeepsOutbound) {
  PacketFilter f;
  f.direction = 1;
  EXPECT_TRUE(f.DirectionPasses(Direction::Inbound));
  EXPECT_FALSE(f.DirectionPasses(Direction::Outbound));
  // The rows of the kept frames carry the inbound label.
  EXPECT_EQ(DirectionLabel(Direction::Inbound), texts::kInbound);
  f.direction = 2;
  EXPECT_FALSE(f.DirectionPasses(Direction::Inbound));
  EXPECT_TRUE(f.DirectionPasses(Direction::Outbound));
}

TEST(PacketFilter, SiteLooksForRemoteAddressWithinSiteAddress) {
  PacketFilter f;
  f.siteAddress = "10.0.0.15";
  struct Case { const char* remote; bool passes; };
  for (const Case c : {Case{"10.0.0.15", true}, Case{"10.0.0.1", true}, Case{"0.0.1", true},
                       Case{"10.0.0.2", false}, Case{"110.0.0.15", false}, Case{"10.0.0.150", false}}) {
    EXPECT_EQ(f.SitePasses(c.remote), c.passes) << c.remote;
  }
  // Only the site address counts, not the text the user typed.
  f.siteAddress.clear();
  f.siteText = "example.org";
  EXPECT_TRUE(f.SitePasses("10.9.9.9"));
  // An IPv6 site is one address: "::1" is not 2001:db8::1, though its text is inside.
  f.siteAddress = "2001:db8::1";
  for (const Case c : {Case{"2001:db8::1", true}, Case{"::1", false}, Case{"2001:db8::11", false},
                       Case{"10.0.0.1", false}}) {
    EXPECT_EQ(f.SitePasses(c.remote), c.passes) << c.remote;
  }
}

TEST(PacketFilter, MinLengthCountsPayloadTextBytes) {
  PacketFilter f;
  // Three zero bytes make three NUL markers: six bytes of text.
  const std::string text = std::string(texts::kNulMarker) + std::string(texts::kNulMarker) +
                           std::string(texts::kNulMarker);
  ASSERT_EQ(text.size(), 6u);
  f.minLength = 6;
  EXPECT_TRUE(f.MinLengthPasses(text));
  f.minLength = 7;
  EXPECT_FALSE(f.MinLengthPasses(text));
  f.minLength = 9999;
  EXPECT_FALSE(f.MinLengthPasses(std::string(9998, 'x')));
  EXPECT_TRUE(f.MinLengthPasses(std::string(9999, 'x')));
}

TEST(PacketFilter, ContainedFoldsAsciiLettersOfBoth) {
  struct Case { const char* setting; const char* payload; bool passes; };
  for (const Case c : {
           Case{"HOST:", "GET / HTTP/1.1\r\nHost: a\r\n", true},
           Case{"host:", "GET / HTTP/1.1\r\nHOST: a\r\n", true},
           Case{"hOsT", "xxhoxhOShost", true},
           Case{"Host:", "Host", false},       // needle longer than what is left
           Case{"host:", "hostx host;", false},
           Case{"\xC4\xE3", "a\xC4\xE3", true},     // other bytes compare as they are
           Case{"\xC4\xE3", "a\xC4\xC3", false},
           Case{"[", "{", false},                   // only A-Z fold, not the bytes 32 apart
           Case{"@", "`", false},
           Case{"abc", "ab", false},
           Case{"z", "Z", true},
       }) {
    PacketFilter f;
    f.contained = c.setting;
    EXPECT_EQ(f.ContainedPasses(c.payload), c.passes) << c.setting << " in " << c.payload;
  }
}

TEST(PacketFilter, AfterStopKeepsOnlySiteText) {
  PacketFilter f;
  f.siteText = "example.org";
  f.siteAddress = "10.0.0.1";
  f.contained = "x";
  f.protocol = 6;
  f.direction = 2;
  f.minLength = 20;
  const PacketFilter g = f.AfterStop();
  EXPECT_EQ(g.siteText, "example.org");
  EXPECT_TRUE(g.siteAddress.empty());
  EXPECT_TRUE(g.contained.empty());
  EXPECT_EQ(g.protocol, 0);
  EXPECT_EQ(g.direction, 0);
  EXPECT_EQ(g.minLength, 0);
}

TEST(PacketRow, ProtocolCaptions) {
  EXPECT_EQ(ProtocolCaption(1), "ICMP");
  EXPECT_EQ(ProtocolCaption(6), "TCP");
  EXPECT_EQ(ProtocolCaption(17), "UDP");
  EXPECT_EQ(ProtocolCaption(80), "ISO IP");
  EXPECT_EQ(ProtocolCaption(47), "\xC6\xE4\xCB\xFB:   47");  // 其他:   47
  EXPECT_EQ(ProtocolCaption(0), "\xC6\xE4\xCB\xFB:   0");
  EXPECT_EQ(ProtocolCaption(255), "\xC6\xE4\xCB\xFB:   255");
}

TEST(FilterDialog, ProtocolIndexMapsBothWays) {
  const int protocols[] = {0, 6, 17, 1, 80};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(ProtocolFromIndex(i), protocols[i]);
    EXPECT_EQ(IndexFromProtocol(protocols[i]), i);
  }
  EXPECT_EQ(IndexFromProtocol(47), 0);
  EXPECT_EQ(ProtocolFromIndex(-1), 0);
  EXPECT_EQ(ProtocolFromIndex(5), 0);
}

TEST(FilterDialog, AddSiteHostTakesThirdField) {
  std::vector<std::string> hosts;
  AddSiteHost("http://a.example/x.mp3", hosts);
  AddSiteHost("mms://B.example/live", hosts);
  AddSiteHost("HTTP://A.EXAMPLE/other", hosts);     // same host in other case: not added again
  AddSiteHost("http://a.example", hosts);           // no path: still three fields
  AddSiteHost("rtsp://c.example:554/s", hosts);     // the port stays with the host field
  AddSiteHost("a/b", hosts);                        // two fields: nothing
  AddSiteHost("plain", hosts);
  AddSiteHost("", hosts);
  EXPECT_EQ(hosts, (std::vector<std::string>{"a.example", "B.example", "c.example:554"}));
}

TEST(FilterDialog, AddSiteHostFieldRules) {
  struct Case { const char* cell; std::vector<std::string> hosts; };
  for (const Case& c : std::vector<Case>{
           // A blank ends a field: the request line of a payload text splits at blanks too.
           {"GET /index.html HTTP/1.1\r\nHost: x", {"HTTP"}},
           // Blanks around a "/" do not make fields of their own.
           {"a / b / c", {"c"}},
           // A quoted field keeps its blanks and slashes.
           {"a/b/\"c d/e\"/f", {"c d/e"}},
           {"\"x/y\"/b/c", {"c"}},
           // An unclosed quote runs to the end.
           {"a/b/\"c d", {"c d"}},
           // A "/" at the end is followed by an empty field.
           {"a/b/", {""}},
           // Leading blanks are skipped.
           {"  a/b/c", {"c"}},
       }) {
    std::vector<std::string> hosts;
    AddSiteHost(c.cell, hosts);
    EXPECT_EQ(hosts, c.hosts) << c.cell;
  }
}

}  // namespace
}  // namespace qv
