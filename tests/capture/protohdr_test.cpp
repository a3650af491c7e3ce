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

TEST(Protohdr, IPv6TextFollowsRfc5952) {
  struct Case { const char* in; const char* text; };
  for (const Case c : {Case{"2001:0DB8:0000:0000:0000:0000:0000:0001", "2001:db8::1"},
                       Case{"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},  // one zero group stays
                       Case{"2001:0:0:1:0:0:0:1", "2001:0:0:1::1"},           // the longer run
                       Case{"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},     // the first of equal runs
                       Case{"0:0:0:0:0:0:0:0", "::"}, Case{"::1", "::1"}, Case{"fe80::", "fe80::"},
                       Case{"::ffff:192.0.2.1", "::ffff:192.0.2.1"},          // IPv4-mapped
                       Case{"2001:db8:aaaa:bbbb:cccc:dddd:eeee:ffff", "2001:db8:aaaa:bbbb:cccc:dddd:eeee:ffff"}}) {
    IPv6Bytes b;
    ASSERT_TRUE(ParseIPv6(c.in, b)) << c.in;
    EXPECT_EQ(IPv6ToText(b), c.text) << c.in;
  }
  IPv6Bytes b{};
  for (const char* bad : {"", "1.2.3.4", "[::1]", "::1%lo", "2001:db8::1::2", "12345::", "g::1"})
    EXPECT_FALSE(ParseIPv6(bad, b)) << bad;
  EXPECT_EQ(ResolveHost("2001:DB8:0::1"), "2001:db8::1");
}

TEST(Host2IP, ResolvesLocalhost) { EXPECT_EQ(ResolveHost("localhost"), "127.0.0.1"); }

TEST(Host2IP, UnresolvableNameGivesNothing) {
  EXPECT_EQ(ResolveHost("something.invalid"), std::nullopt);
  EXPECT_EQ(ResolveHost(""), std::nullopt);
}

TEST(GetIP, LocalAddressesListIPv6FirstThenIPv4) {
  const auto addresses = LocalAddresses();
  EXPECT_NE(std::find(addresses.begin(), addresses.end(), "127.0.0.1"), addresses.end());
  bool seenV4 = false;
  for (const auto& a : addresses) {
    std::uint32_t v4 = 0;
    IPv6Bytes v6;
    const bool isV4 = ParseIPv4(a, v4);
    EXPECT_TRUE(isV4 || ParseIPv6(a, v6)) << a;
    // Written as the frame handler writes addresses, so that the texts compare.
    if (!isV4) {
      EXPECT_EQ(IPv6ToText(v6), a);
    }
    EXPECT_FALSE(seenV4 && !isV4) << a << " after an IPv4 address";
    seenV4 = seenV4 || isV4;
  }
}

TEST(GetIP, LocalAddressForPicksTheRemotesFamily) {
  const std::vector<std::string> locals = {"2001:db8::5", "fe80::1", "192.0.2.5", "198.51.100.7"};
  EXPECT_EQ(LocalAddressFor("203.0.113.1:80", locals), "198.51.100.7");
  EXPECT_EQ(LocalAddressFor("[2001:db8::1]:443", locals), "fe80::1");
  EXPECT_EQ(LocalAddressFor("[2001:db8::1]:443", {"192.0.2.5"}), "192.0.2.5");  // none of its family
  EXPECT_EQ(LocalAddressFor("203.0.113.1:80", {}), "");
}

}  // namespace
}  // namespace qv
