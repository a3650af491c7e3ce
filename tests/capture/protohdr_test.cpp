#include "capture/protohdr.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "capture/host2ip.h"

namespace qv {
namespace {

TEST(Protohdr, IPToTextMostSignificantByteFirst) {
  struct Case { std::uint32_t address; const char* text; };
  for (const Case c : {Case{0x00000000u, "0.0.0.0"}, Case{0xFFFFFFFFu, "255.255.255.255"},
                       Case{0x0A00000Fu, "10.0.0.15"}, Case{0xC0A80105u, "192.168.1.5"},
                       Case{0x7F000001u, "127.0.0.1"}, Case{0x01020304u, "1.2.3.4"},
                       Case{0x640A6309u, "100.10.99.9"}}) {
    EXPECT_EQ(IPToText(c.address), c.text);
    std::string s = "x=";
    AppendIPText(s, c.address);
    EXPECT_EQ(s, std::string("x=") + c.text);
  }
}

TEST(Protohdr, PortToText) {
  EXPECT_EQ(PortToText(0), "0");
  EXPECT_EQ(PortToText(80), "80");
  EXPECT_EQ(PortToText(1755), "1755");
  EXPECT_EQ(PortToText(10000), "10000");
  EXPECT_EQ(PortToText(65535), "65535");
  std::string s = "10.0.0.1:";
  AppendPortText(s, 8080);
  EXPECT_EQ(s, "10.0.0.1:8080");
}

TEST(Protohdr, ParseIPv4RoundTripsEveryByteValue) {
  for (std::uint32_t b = 0; b < 256; ++b) {
    const std::uint32_t address = (b << 24) | ((255 - b) << 16) | (b << 8) | (b ^ 0x5A);
    std::uint32_t parsed = 0;
    ASSERT_TRUE(ParseIPv4(IPToText(address), parsed)) << IPToText(address);
    EXPECT_EQ(parsed, address);
  }
}

TEST(Protohdr, ParseIPv4IsStrict) {
  for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "1.2.3.", ".1.2.3", "1..2.3", "256.0.0.1",
                          "1.2.3.256", "1.2.3.1000", "01.2.3.4", "1.2.3.00", "+1.2.3.4", "-1.2.3.4",
                          " 1.2.3.4", "1.2.3.4 ", "1.2.3.4\n", "1.2.3.4x", "a.b.c.d", "0x1.2.3.4",
                          "1,2,3,4", "localhost"}) {
    std::uint32_t v = 0xDEADBEEF;
    EXPECT_FALSE(ParseIPv4(bad, v)) << '"' << bad << '"';
    EXPECT_EQ(v, 0xDEADBEEFu) << "changed by a failed parse: " << bad;
  }
  std::uint32_t v = 0;
  EXPECT_TRUE(ParseIPv4("0.0.0.0", v));
  EXPECT_EQ(v, 0u);
  EXPECT_TRUE(ParseIPv4("10.0.0.15", v));
  EXPECT_EQ(v, 0x0A00000Fu);
  // A NUL inside the text is junk, not an end.
  EXPECT_FALSE(ParseIPv4(std::string("1.2.3.4\0", 8), v));
}

TEST(Host2IP, DottedQuadComesBackUnchanged) {
  EXPECT_EQ(ResolveHost("127.0.0.1"), "127.0.0.1");
  EXPECT_EQ(ResolveHost("203.0.113.77"), "203.0.113.77");  // no look-up needed for it
}

TEST(Host2IP, ResolvesLocalhost) { EXPECT_EQ(ResolveHost("localhost"), "127.0.0.1"); }

TEST(Host2IP, UnresolvableNameGivesNothing) {
  EXPECT_EQ(ResolveHost("something.invalid"), std::nullopt);
  EXPECT_EQ(ResolveHost(""), std::nullopt);
}

TEST(GetIP, LocalAddressesHoldLoopbackAsDottedQuads) {
  const auto addresses = LocalAddresses();
  EXPECT_NE(std::find(addresses.begin(), addresses.end(), "127.0.0.1"), addresses.end());
  for (const auto& a : addresses) {
    std::uint32_t v = 0;
    EXPECT_TRUE(ParseIPv4(a, v)) << a;
  }
}

}  // namespace
}  // namespace qv
