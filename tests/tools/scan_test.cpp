#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <fstream>
#include <sstream>

#include "tests/capture/frame_builder.h"
#include "tests/tools/run_scan.h"
#include "tools/quelvar-scan/scan_options.h"
#include "urls/en2cn.h"
#include "tools/quelvar-scan/scan_output.h"

namespace qv {
namespace {

using scan_test::Result;
using scan_test::RunScan;

// Writes frames as a classic pcap file (Ethernet link type).
std::string WritePcap(const std::string& name, const std::vector<std::vector<std::uint8_t>>& frames) {
  const std::string path = ::testing::TempDir() + "/" + std::to_string(getpid()) + name;
  std::ofstream f(path, std::ios::binary);
  auto u32 = [&](std::uint32_t v) { f.write(reinterpret_cast<const char*>(&v), 4); };
  auto u16 = [&](std::uint16_t v) { f.write(reinterpret_cast<const char*>(&v), 2); };
  u32(0xa1b2c3d4), u16(2), u16(4), u32(0), u32(0), u32(65535), u32(1);
  for (const auto& fr : frames) {
    u32(0), u32(0), u32(static_cast<std::uint32_t>(fr.size())), u32(static_cast<std::uint32_t>(fr.size()));
    f.write(reinterpret_cast<const char*>(fr.data()), static_cast<std::streamsize>(fr.size()));
  }
  return path;
}

TEST(ScanOptions, UsageErrors) {
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"--read", "a", "--interface", "lo"},
      {"--read"},
      {"--read", "a", "--mode", "fast"},
      {"--read", "a", "--protocol", "sctp"},
      {"--read", "a", "--direction", "up"},
      {"--read", "a", "--min-length", "10000"},
      {"--read", "a", "--min-length", "-1"},
      {"--interface", "lo", "--count", "0"},
      {"--interface", "lo", "--count", "2147483648"},
      {"--interface", "lo", "--count", "4294967298"},
      {"--read", "a", "--count", "5"},
      {"--interface", "lo", "--buffer", "0"},
      {"--interface", "lo", "--buffer", "2048"},
      {"--read", "a", "--buffer", "4"},
      {"--read", "a", "--bogus"},
  };
  for (const auto& args : bad) {
    std::string error;
    EXPECT_FALSE(scan::ParseOptions(args, error)) << (args.empty() ? "(none)" : args.back());
    EXPECT_FALSE(error.empty());
  }
  std::string error;
  const auto most = scan::ParseOptions({"--interface", "lo", "--count", "2147483647"}, error);
  ASSERT_TRUE(most) << error;
  EXPECT_EQ(most->count, 2147483647);
  const auto o = scan::ParseOptions({"--interface", "lo", "--mode", "packets", "--local", "1.2.3.4", "--local",
                                     "5.6.7.8", "--no-duplicates", "--protocol", "isoip", "--direction", "out",
                                     "--min-length", "20", "--seconds", "3", "--raw", "--https-hosts"},
                                    error);
  ASSERT_TRUE(o) << error;
  EXPECT_TRUE(o->packetMode);
  EXPECT_EQ(o->local.size(), 2u);
  EXPECT_EQ(o->duplicates, false);
  EXPECT_EQ(o->protocol, 80);
  EXPECT_EQ(o->direction, 2);
  EXPECT_EQ(o->minLength, 20);
  EXPECT_EQ(o->seconds, 3);
  EXPECT_FALSE(o->bufferMB) << "no --buffer: the default";
  const auto buffered = scan::ParseOptions({"--interface", "lo", "--buffer", "2047"}, error);
  ASSERT_TRUE(buffered) << error;
  EXPECT_EQ(buffered->bufferMB, 2047);
  EXPECT_EQ(o->httpsHosts, true);
  EXPECT_EQ(scan::ParseOptions({"--read", "a", "--no-https-hosts"}, error)->httpsHosts, false);
  EXPECT_EQ(scan::ParseOptions({"--read", "a"}, error)->httpsHosts, std::nullopt);
}

TEST(ScanOutput, EveryControlByteIsEscapedWhateverStandsBefore) {
  struct Case {
    std::string_view field;
    bool raw;
    std::string_view printed;
  };
  const Case cases[] = {
      {"a\\b\tc\rd\ne", false, "a\\\\b\\tc\\rd\\ne"},
      {"a\\b\tc\rd\ne", true, "a\\\\b\\tc\\rd\\ne"},
      // Terminal controls from the network: ESC sequences (title, screen clear), BEL, NUL, DEL.
      {"\x1b]0;owned\x07\x1b[2J", false, "\\x1b]0;owned\\x07\\x1b[2J"},
      {"\x1b]0;owned\x07\x1b[2J", true, "\\x1b]0;owned\\x07\\x1b[2J"},
      {std::string_view("a\0b\x7f\x1f", 5), true, "a\\x00b\\x7f\\x1f"},
      // A byte 0x81-0xFE before a control byte does not make it part of a character.
      {"x\xb0\tyz", true, "x\xb0\\tyz"},
      {"\xfe\n\x81\r\x90\x1b", true, "\xfe\\n\x81\\r\x90\\x1b"},
      {"x\xb0\tyz", false, "x\xEF\xBF\xBD\\tyz"},
      // 0x95 0x5C is one GBK character whose trail byte is a backslash: it stays as it is.
      {"\x95\x5C\\", true, "\x95\x5C\\\\"},
      {"\xC4\xE3", true, "\xC4\xE3"},
      {"\xC4\xE3", false, "\xE4\xBD\xA0"},
      // A lead byte at the end of the field stands alone.
      {"ab\xC4", true, "ab\xC4"},
  };
  for (const auto& c : cases) {
    std::string line;
    scan::AppendField(line, c.field, c.raw);
    EXPECT_EQ(line, c.printed) << testing::PrintToString(std::string(c.field)) << (c.raw ? " raw" : "");
  }
}

// The address column follows the window: bytes that are UTF-8 with a multi-byte sequence are printed as
// that text, anything else is read as GBK; the escapes apply in both cases, whatever byte precedes.
TEST(ScanOutput, AddressFieldIsUtf8WhenItsBytesAreUtf8) {
  struct Case {
    std::string_view field;
    bool raw;
    std::string_view printed;
  };
  const Case cases[] = {
      // UTF-8 (你好) as the bytes of the address: printed as they are, not read as GBK.
      {"http://h.example/\xE4\xBD\xA0\xE5\xA5\xBD.mp3", false, "http://h.example/\xE4\xBD\xA0\xE5\xA5\xBD.mp3"},
      {"http://h.example/\xE4\xBD\xA0\xE5\xA5\xBD.mp3", true, "http://h.example/\xE4\xBD\xA0\xE5\xA5\xBD.mp3"},
      // GBK (你好): converted to UTF-8; raw keeps the GBK bytes.
      {"http://h.example/\xC4\xE3\xBA\xC3.mp3", false, "http://h.example/\xE4\xBD\xA0\xE5\xA5\xBD.mp3"},
      {"http://h.example/\xC4\xE3\xBA\xC3.mp3", true, "http://h.example/\xC4\xE3\xBA\xC3.mp3"},
      // UTF-8 then GBK is not UTF-8: the whole field is read as GBK (E4 BD, A0 C4 and E3 BA are GBK
      // characters, C3 stands alone), as the window shows it.
      {"\xE4\xBD\xA0\xC4\xE3\xBA\xC3", false, "\xE6\xB5\xA3\xE7\x8A\x87\xE6\x84\xAB\xEF\xBF\xBD"},
      // Control bytes and backslashes inside UTF-8 text: each escaped. 0xA0 0x5C would be one GBK
      // character; in UTF-8 text the backslash stands alone and is escaped.
      {"\xE4\xBD\xA0\\x", false, "\xE4\xBD\xA0\\\\x"},
      {"\xC3\xA9\t\x1b[2J\r\n\x7f", false, "\xC3\xA9\\t\\x1b[2J\\r\\n\\x7f"},
      {"\xC3\xA9\t\x1b", true, "\xC3\xA9\\t\\x1b"},
      {std::string_view("\xE4\xBD\xA0\0", 4), false, "\xE4\xBD\xA0\\x00"},
      // ASCII stays as it is.
      {"http://h.example/a b.mp3", false, "http://h.example/a b.mp3"},
  };
  for (const auto& c : cases) {
    std::string line;
    scan::AppendAddressField(line, c.field, c.raw);
    EXPECT_EQ(line, c.printed) << testing::PrintToString(std::string(c.field)) << (c.raw ? " raw" : "");
  }
}

TEST(ScanProcess, ExitStatusesAndMessages) {
  auto r = RunScan("");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("usage:"), std::string::npos);
  EXPECT_TRUE(r.out.empty());

  r = RunScan("--read /nonexistent/file.pcap");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("/nonexistent/file.pcap"), std::string::npos);
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);
  EXPECT_TRUE(r.out.empty());

  r = RunScan("--read " CAPTURES_DIR "/http_google.pcapng --view nonsense");
  EXPECT_EQ(r.status, 2);
}

TEST(ScanProcess, PppoeCaptureListsRequestWithRemoteText) {
  using namespace test;
  const std::string req = "GET /clip.flv HTTP/1.1\r\nHost: v.example\r\n\r\n";
  const auto path = WritePcap("pppoe.pcap", {
      BuildFrame({Framing::PPPoE, 6, IP(10, 1, 1, 2), IP(93, 184, 216, 34), 40000, 8080, req}),
      BuildFrame({Framing::PPPoE, 6, IP(93, 184, 216, 34), IP(10, 1, 1, 2), 8080, 40000,
                  "<a href=\"http://v.example/s/pic.png\">x</a> and more text"}),
  });
  const auto r = RunScan("--read " + path + " --local 10.1.1.2 --settings " QUELVAR_SOURCE_DIR "/data/setting.ini");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "视频文件\t本机→→网络\thttp://v.example/clip.flv\t93.184.216.34:8080\n"
            "图片文件\t网络→→本机\thttp://v.example/s/pic.png\t93.184.216.34:8080\n");

  const auto view = RunScan("--read " + path + " --local 10.1.1.2 --view 视音频文件 --settings " QUELVAR_SOURCE_DIR
                            "/data/setting.ini");
  ASSERT_EQ(view.status, 0) << view.err;
  EXPECT_EQ(view.out, "本机→→网络\thttp://v.example/clip.flv\t93.184.216.34:8080\n");

  const auto packets = RunScan("--read " + path + " --local 10.1.1.2 --mode packets --direction in");
  ASSERT_EQ(packets.status, 0) << packets.err;
  EXPECT_EQ(packets.out.rfind("TCP\t网络→→本机\t<a href=", 0), 0u) << packets.out;
  EXPECT_NE(packets.out.find("\t56\t93.184.216.34:8080\n"), std::string::npos) << packets.out;
}

TEST(ScanProcess, Utf8AddressIsPrintedAsTheWindowShowsIt) {
  using namespace test;
  // A raw UTF-8 name (你好.mp3) in a request line, and a GBK one (你好.jpg) in a page.
  const auto path = WritePcap("utf8.pcap", {
      BuildFrame({Framing::Ethernet, 6, IP(10, 1, 1, 2), IP(10, 9, 9, 9), 40000, 80,
                  "GET /\xE4\xBD\xA0\xE5\xA5\xBD.mp3 HTTP/1.1\r\nHost: h.example\r\n\r\n"}),
      BuildFrame({Framing::Ethernet, 6, IP(10, 9, 9, 9), IP(10, 1, 1, 2), 80, 40000,
                  "<img src=\"http://h.example/\xC4\xE3\xBA\xC3.jpg\"> and some more text"}),
  });
  const std::string args = "--read " + path + " --local 10.1.1.2 --settings " QUELVAR_SOURCE_DIR "/data/setting.ini";
  const auto r = RunScan(args);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "音频文件\t本机→→网络\thttp://h.example/你好.mp3\t10.9.9.9:80\n"
            "图片文件\t网络→→本机\thttp://h.example/你好.jpg\t10.9.9.9:80\n");
  const auto raw = RunScan(args + " --raw");
  ASSERT_EQ(raw.status, 0) << raw.err;
  EXPECT_NE(raw.out.find("\thttp://h.example/\xE4\xBD\xA0\xE5\xA5\xBD.mp3\t"), std::string::npos) << raw.out;
  EXPECT_NE(raw.out.find("\thttp://h.example/\xC4\xE3\xBA\xC3.jpg\t"), std::string::npos) << raw.out;
}

TEST(ScanProcess, ControlBytesFromTheNetworkNeverSplitARow) {
  using namespace test;
  // A UDP payload with a byte 0x81-0xFE before a TAB, and an address ending in terminal controls.
  const auto path = WritePcap("controls.pcap", {
      BuildFrame({Framing::Ethernet, 17, IP(10, 1, 1, 2), IP(10, 9, 9, 9), 5000, 53, "x\xb0\tyz"}),
      BuildFrame({Framing::Ethernet, 6, IP(10, 1, 1, 2), IP(10, 9, 9, 9), 40000, 80,
                  "GET /a.mp3\x1b]0;t\x07\x1b[2J HTTP/1.1\r\nHost: h\r\n\r\n"}),
  });
  for (const char* mode : {"url", "packets"}) {
    for (const char* raw : {"", " --raw"}) {
      const auto r = RunScan("--read " + path + " --local 10.1.1.2 --duplicates --mode " + mode + raw);
      ASSERT_EQ(r.status, 0) << r.err;
      const std::size_t fields = std::string_view(mode) == "url" ? 4 : 5;
      std::istringstream lines(r.out);
      int count = 0;
      for (std::string line; std::getline(lines, line); ++count) {
        EXPECT_EQ(std::count(line.begin(), line.end(), '\t') + 1u, fields) << mode << raw << ": " << line;
        EXPECT_EQ(std::count_if(line.begin(), line.end(),
                                [](char c) { return c != '\t' && (static_cast<unsigned char>(c) < 0x20 || c == 0x7f); }),
                  0)
            << mode << raw << ": " << line;
      }
      EXPECT_EQ(count, std::string_view(mode) == "url" ? 1 : 2) << mode << raw << "\n" << r.out;
    }
  }
  const auto raw = RunScan("--read " + path + " --local 10.1.1.2 --mode packets --raw");
  EXPECT_EQ(raw.out.rfind("UDP\t", 0), 0u) << raw.out;
  EXPECT_NE(raw.out.find("\tx\xb0\\tyz\t"), std::string::npos) << raw.out;
  const auto url = RunScan("--read " + path + " --local 10.1.1.2");
  EXPECT_NE(url.out.find("http://h/a.mp3\\x1b]0;t\\x07\\x1b[2J\t"), std::string::npos) << url.out;
}

TEST(ScanProcess, SettingsFilesThatAreNotWhatTheySeem) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::path(::testing::TempDir()) / ("scan_settings." + std::to_string(getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir / "folder");
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  { std::ofstream((dir / "huge").string()) << "[system]\n"; }
  fs::resize_file(dir / "huge", std::uintmax_t{100} << 20);
  const std::string capture = " --read " CAPTURES_DIR "/http_google.pcapng";

  // Named with --settings: one line on standard error, status 1, nothing listed, and no wait.
  for (const char* name : {"fifo", "folder", "huge"}) {
    const auto r = RunScan("--settings " + (dir / name).string() + capture);
    EXPECT_EQ(r.status, 1) << name;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_NE(r.err.find((dir / name).string()), std::string::npos) << r.err;
    EXPECT_TRUE(r.out.empty()) << name;
  }
  // A --settings file that does not exist: the defaults, silently (scripts use it to ask for them).
  const auto absent = RunScan("--settings " + (dir / "absent.ini").string() + capture);
  EXPECT_EQ(absent.status, 0);
  EXPECT_TRUE(absent.err.empty()) << absent.err;

  // The default file of an installed copy (no setting.ini beside the program) is a FIFO: a warning,
  // and the defaults.
  fs::create_directories(dir / "usr/bin");
  fs::create_directories(dir / "usr/share/quelvar");
  fs::copy_file(QUELVAR_SCAN, dir / "usr/bin/quelvar-scan");
  ASSERT_EQ(::mkfifo((dir / "usr/share/quelvar/setting.ini").c_str(), 0600), 0);
  const std::string env = "XDG_CONFIG_HOME=" + (dir / "cfg").string() + " ";
  Result fifo;
  {
    const std::string cmd = env + (dir / "usr/bin/quelvar-scan").string() + capture + " 2>" + (dir / "err").string();
    FILE* p = popen(cmd.c_str(), "r");
    char buf[4096];
    for (std::size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) fifo.out.append(buf, n);
    fifo.status = WEXITSTATUS(pclose(p));
    std::ifstream e((dir / "err").string());
    fifo.err.assign(std::istreambuf_iterator<char>(e), std::istreambuf_iterator<char>());
  }
  EXPECT_EQ(fifo.status, 0) << fifo.err;
  EXPECT_EQ(fifo.err.rfind("quelvar-scan: warning: settings file " + (dir / "usr/share/quelvar/setting.ini").string() +
                               ": not a regular file",
                           0),
            0u)
      << fifo.err;
  EXPECT_NE(fifo.out.find("http://www.google.com/"), std::string::npos);
  fs::remove_all(dir);
}

// Captures made on a Linux machine: two network namespaces joined by a veth pair (and a tun pair with a
// relay), a local server and real clients; documentation addresses only (tests/tools/captures/README.md).
TEST(ScanProcess, RealCapturesOfTodaysTraffic) {
  std::string token;
  for (int i = 0; i < 50; ++i) token += "a1b2c3d4";
  const struct {
    const char* file;
    const char* args;
    std::string out;
  } cases[] = {
      // The capture opens with the server's ARP request for the local host.
      {"arp_first_http.pcap", "--local 198.51.100.1",
       "音频文件\t本机→→网络\thttp://198.51.100.2/music/a.mp3\t198.51.100.2:80\n"},
      {"any_sll.pcap", "", "音频文件\t本机→→网络\thttp://198.51.100.2/music/a.mp3\t198.51.100.2:80\n"},
      {"any_sll2.pcap", "", "音频文件\t本机→→网络\thttp://198.51.100.2/music/a.mp3\t198.51.100.2:80\n"},
      {"ipv6_http.pcap", "", "音频文件\t本机→→网络\thttp://[2001:db8::2]/music/a.mp3\t[2001:db8::2]:80\n"},
      {"ipv6_http.pcap", "--local 2001:db8:0::1 --direction in", ""},
      {"tun_raw_ip.pcap", "",
       "音频文件\t本机→→网络\thttp://192.0.2.2/music/a.mp3\t192.0.2.2:80\n"
       "音频文件\t本机→→网络\thttp://[2001:db8:1::2]/music/a.mp3\t[2001:db8:1::2]:80\n"},
      {"tls_sni.pcap", "",
       "未定义\t本机→→网络\thttps://video.example/\t198.51.100.2:443\n"
       "未定义\t本机→→网络\thttps://video.example:8443/\t198.51.100.2:8443\n"},
      {"tls_sni.pcap", "--no-https-hosts", ""},
      // curl's ClientHello over an MTU of 160: the name stands in its second segment.
      {"tls_sni_two_segments.pcap", "", "未定义\t本机→→网络\thttps://video.example/\t198.51.100.2:443\n"},
      // No handshake in a QUIC capture: the local address is given.
      {"quic_initial.pcap", "--local 198.51.100.1", "未定义\t本机→→网络\thttps://video.example:4433/\t198.51.100.2:4433\n"},
      // A signed address over an MTU of 300: request line and Host header in different segments.
      {"split_request.pcap", "",
       "视频文件\t本机→→网络\thttp://198.51.100.2/seg/v1.m4s?X-Amz-Signature=" + token + "\t198.51.100.2:80\n"},
      {"utf8_names.pcap", "",
       "音频文件\t本机→→网络\thttp://198.51.100.2/music/%E4%BD%A0%E5%A5%BD.mp3\t198.51.100.2:80\n"
       "视频文件\t本机→→网络\thttp://198.51.100.2/seg/chunk-00042.m4s\t198.51.100.2:80\n"},
  };
  for (const auto& c : cases) {
    const auto r = RunScan(std::string("--read " QUELVAR_SOURCE_DIR "/tests/tools/captures/") + c.file + " " + c.args +
                           " --settings " QUELVAR_SOURCE_DIR "/data/setting.ini");
    EXPECT_EQ(r.status, 0) << c.file << ": " << r.err;
    EXPECT_EQ(r.out, c.out) << c.file << " " << c.args;
  }
  // Without the key in the settings file HTTPS hosts are not listed; the switch turns them on.
  for (const char* args : {"", "--https-hosts"}) {
    const auto r = RunScan(std::string("--read " QUELVAR_SOURCE_DIR "/tests/tools/captures/tls_sni.pcap --settings "
                                       "/nonexistent/setting.ini ") + args);
    EXPECT_EQ(r.out.find("https://video.example/") != std::string::npos, *args != '\0') << args;
  }
}

// The captured row of a percent-escaped UTF-8 name becomes readable GBK with "地址汉化".
TEST(ScanProcess, CapturedUtf8NameDecodesToGbk) {
  const auto r = RunScan("--read " QUELVAR_SOURCE_DIR "/tests/tools/captures/utf8_names.pcap --raw --settings "
                         QUELVAR_SOURCE_DIR "/data/setting.ini");
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string first = r.out.substr(0, r.out.find('\n'));
  const std::size_t a = first.find('\t', first.find('\t') + 1) + 1;
  const std::string address = first.substr(a, first.find('\t', a) - a);
  ASSERT_EQ(address, "http://198.51.100.2/music/%E4%BD%A0%E5%A5%BD.mp3");
  EXPECT_EQ(DecodeAddress(address), "http://198.51.100.2/music/\xC4\xE3\xBA\xC3.mp3");  // 你好 in GBK
}

TEST(ScanProcess, LocalTakesIPv4AndIPv6Addresses) {
  // The addresses given replace those of the handshake: the capture's client is local only when named.
  const auto other = RunScan("--read " CAPTURES_DIR "/http_post.pcapng --local 2001:db8::1 --local 10.0.0.1");
  ASSERT_EQ(other.status, 0) << other.err;
  EXPECT_NE(other.out.find("\t网络→→本机\thttp://www.chrissanders.org/"), std::string::npos) << other.out;
  EXPECT_EQ(other.out.find("本机→→网络"), std::string::npos) << other.out;
  const auto client = RunScan("--read " CAPTURES_DIR "/http_post.pcapng --local 2001:db8::1 --local 172.16.16.128");
  ASSERT_EQ(client.status, 0) << client.err;
  EXPECT_NE(client.out.find("\t本机→→网络\thttp://www.chrissanders.org/?p=310&cpage=1\t69.163.176.56:80"),
            std::string::npos)
      << client.out;
  const auto r = RunScan("--read " CAPTURES_DIR "/http_post.pcapng --local [2001:db8::1]");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("IPv4 or IPv6"), std::string::npos) << r.err;
}

TEST(ScanProcess, LocalAddressesInferredFromHandshake) {
  // Without --local the client of the SYN frames is the local host: the request is outbound.
  const auto r = RunScan("--read " CAPTURES_DIR "/http_google.pcapng --settings /nonexistent");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\t本机→→网络\thttp://www.google.com/"), std::string::npos) << r.out.substr(0, 500);
}

}  // namespace
}  // namespace qv
