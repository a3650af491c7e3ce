#include "capture/protohdr.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

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

// Names are looked up with a resolver of the test's own: a child process in a mount namespace of its
// own sees the test's hosts file and a name-service switch that reads only that file, so neither the
// machine's /etc/hosts nor DNS changes the answers (and ".invalid" never leaves the machine).
std::vector<std::optional<std::string>> ResolveInOwnResolver(const std::vector<std::string>& names,
                                                             std::string& problem) {
  char folder[] = "/tmp/qv_resolver_XXXXXX";
  if (!::mkdtemp(folder)) {
    problem = "mkdtemp";
    return {};
  }
  const std::string dir = folder;
  const std::pair<const char*, const char*> files[] = {
      {"hosts", "127.0.0.1 localhost\n::1 localhost\n192.0.2.7 video.example\n"
                "2001:db8::8 both.example\n198.51.100.8 both.example\n2001:db8::7 v6only.example\n"},
      {"nsswitch.conf", "hosts: files\n"},
      {"resolv.conf", "nameserver 127.0.0.1\n"},
  };
  for (const auto& [name, text] : files) {
    std::FILE* f = std::fopen((dir + "/" + name).c_str(), "w");
    if (f) std::fputs(text, f), std::fclose(f);
  }
  int fds[2];
  if (::pipe(fds) != 0) {
    problem = "pipe";
    return {};
  }
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) _exit(3);
    for (const auto& [name, text] : files)
      if (::mount((dir + "/" + name).c_str(), ("/etc/" + std::string(name)).c_str(), nullptr, MS_BIND, nullptr) != 0)
        _exit(4);
    std::string out;
    for (const std::string& n : names) {
      const auto r = ResolveHost(n);
      out += r ? "=" + *r + "\n" : "-\n";
    }
    const bool ok = ::write(fds[1], out.data(), out.size()) == static_cast<ssize_t>(out.size());
    _exit(ok ? 0 : 5);
  }
  ::close(fds[1]);
  std::string text;
  char buf[512];
  for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) text.append(buf, static_cast<std::size_t>(n));
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  std::filesystem::remove_all(dir);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    problem = "the child could not set up its resolver (status " + std::to_string(status) + ")";
    return {};
  }
  std::vector<std::optional<std::string>> results;
  std::size_t at = 0;
  for (std::size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
    const std::string line = text.substr(at, end - at);
    results.push_back(line[0] == '=' ? std::optional<std::string>(line.substr(1)) : std::nullopt);
  }
  return results;
}

TEST(Host2IP, NamesResolveThroughTheResolver) {
  if (::geteuid() != 0) GTEST_SKIP() << "a resolver of the test's own needs a mount namespace (root)";
  struct Case {
    std::string name;
    std::optional<std::string> address;
  };
  const std::vector<Case> cases = {
      {"localhost", "127.0.0.1"},
      {"video.example", "192.0.2.7"},
      {"both.example", "198.51.100.8"},   // the IPv4 address, though IPv6 is listed first
      {"v6only.example", "2001:db8::7"},  // only IPv6: its address
      {"something.invalid", std::nullopt},
      {"", std::nullopt},
  };
  std::vector<std::string> names;
  for (const Case& c : cases) names.push_back(c.name);
  std::string problem;
  const auto results = ResolveInOwnResolver(names, problem);
  ASSERT_EQ(results.size(), cases.size()) << problem;
  for (std::size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(results[i], cases[i].address) << cases[i].name;
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
