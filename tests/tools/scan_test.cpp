#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "tests/capture/frame_builder.h"
#include "tools/quelvar-scan/scan_options.h"
#include "tools/quelvar-scan/scan_output.h"

namespace qv {
namespace {

struct Result {
  int status = -1;
  std::string out, err;
};

Result RunScan(const std::string& args) {
  // Tests of this program run in parallel processes: each run has a file of its own.
  static int runs = 0;
  const std::string errFile =
      ::testing::TempDir() + "/scan_stderr." + std::to_string(getpid()) + "." + std::to_string(++runs);
  const std::string cmd = std::string(QUELVAR_SCAN) + " " + args + " 2>" + errFile;
  Result r;
  FILE* p = popen(cmd.c_str(), "r");
  char buf[4096];
  std::size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  const int st = pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  std::ifstream e(errFile);
  std::stringstream ss;
  ss << e.rdbuf();
  r.err = ss.str();
  std::remove(errFile.c_str());
  return r;
}

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
  const auto o = scan::ParseOptions({"--interface", "lo", "--mode", "packets", "--local", "1.2.3.4", "--local",
                                     "5.6.7.8", "--no-duplicates", "--protocol", "isoip", "--direction", "out",
                                     "--min-length", "20", "--seconds", "3", "--raw"},
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
}

TEST(ScanOutput, FieldsAreEscapedAfterConversion) {
  std::string line;
  scan::AppendField(line, "a\\b\tc\rd\ne", false);
  EXPECT_EQ(line, "a\\\\b\\tc\\rd\\ne");
  // 0x95 0x5C is one GBK character whose trail byte is a backslash: it is not escaped.
  line.clear();
  scan::AppendField(line, "\x95\x5C\\", true);
  EXPECT_EQ(line, "\x95\x5C\\\\");
  line.clear();
  scan::AppendField(line, "\xC4\xE3", false);
  EXPECT_EQ(line, "\xE4\xBD\xA0");
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

TEST(ScanProcess, LocalAddressesInferredFromHandshake) {
  // Without --local the client of the SYN frames is the local host: the request is outbound.
  const auto r = RunScan("--read " CAPTURES_DIR "/http_google.pcapng --settings /nonexistent");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\t本机→→网络\thttp://www.google.com/"), std::string::npos) << r.out.substr(0, 500);
}

}  // namespace
}  // namespace qv
