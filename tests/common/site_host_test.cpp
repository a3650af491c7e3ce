// The two address fields' host cutting, side by side on one table: the filter dialog's site field
// (CutSiteToHost) and the adapter test's site (TestSiteHost).
#include "common/site_host.h"

#include <gtest/gtest.h>

namespace qv {
namespace {

TEST(SiteHost, TheTwoAddressFieldsCutTheirHosts) {
  struct Case {
    const char* typed;
    const char* filterHost;  // CutSiteToHost
    const char* testHost;    // TestSiteHost
  };
  const Case cases[] = {
      {"www.example.com/index.html", "www.example.com", "www.example.com"},
      {"  http://site.example:8080/path/page.htm ", "site.example", "site.example"},
      {"  www.example.org \t", "www.example.org", "www.example.org"},
      {"https://a.example", "a.example", "a.example"},
      {"mms://10.0.0.1", "10.0.0.1", "10.0.0.1"},
      {"b.example:81/x/y", "b.example", "b.example"},
      {"host:", "host", "host"},
      // A ":" inside the path: both hosts end at the "/".
      {"c.example/p:q", "c.example", "c.example"},
      {"host/a:b", "host", "host"},
      {"ftp://a.b/c://d", "a.b", "a.b"},
      // IPv6 literals keep their colons; only the filter's field drops the brackets and the port.
      {"http://[::1]/", "::1", "[::1]"},
      {"http://[2001:db8::2]:8080/a.mp3", "2001:db8::2", "[2001:db8::2]:8080"},
      {"[2001:db8::2]", "2001:db8::2", "[2001:db8::2]"},
      {"2001:db8::2", "2001:db8::2", "2001:db8::2"},
      {"2001:db8::2/path", "2001:db8::2", "2001:db8::2"},
      // Nothing of a host.
      {"/path", "", ""},
      {"   ", "", ""},
      {"", "", ""},
      {"://", "", ""},
      {"://x", "x", "x"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CutSiteToHost(c.typed), c.filterHost) << c.typed;
    EXPECT_EQ(TestSiteHost(c.typed), c.testHost) << c.typed;
  }
}

}  // namespace
}  // namespace qv
