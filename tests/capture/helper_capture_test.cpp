// The capture helper's stream read through the capture-file reader, with stand-in helpers (shell
// scripts) that stream a real capture, fail before streaming, never stream, die half-way, or ignore
// SIGTERM; and the real helper's checks of what it is asked for, which need no capture rights.
#include "capture/helper_capture.h"

#include <gtest/gtest.h>
#include <net/if.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "capture/pcap_net.h"
#include "tools/quelvar-capture/capture_source.h"

namespace qv {
namespace {

const std::string kCapture = CAPTURES_DIR "/ipv4_tcp_http_xml.pcap";

class HelperCaptureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/qv_helper_XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    ASSERT_TRUE(net_.Bind());
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

  // A stand-in helper: a shell script with this body.
  std::string Helper(const std::string& body) {
    const std::string path = dir_ + "/helper" + std::to_string(++helpers_);
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    ::chmod(path.c_str(), 0755);
    return path;
  }

  static void Count(u_char* user, const pcap_pkthdr*, const u_char*) { ++*reinterpret_cast<int*>(user); }

  std::string dir_;
  int helpers_ = 0;
  PcapNet net_;
};

TEST_F(HelperCaptureTest, FramesOfTheStreamAreReadUntilTheHelperIsStopped) {
  HelperCapture helper;
  std::string error;
  ASSERT_TRUE(helper.Start(Helper("cat '" + kCapture + "'; exec sleep 30"), "lo", error)) << error;
  pcap_t* handle = net_.OpenOffline(helper.StreamPath(), error);
  ASSERT_NE(handle, nullptr) << error;
  int frames = 0;
  // The stream stays open after the frames: the loop waits for more until the helper is stopped.
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    helper.Stop();
  });
  EXPECT_EQ(net_.pcap_loop(handle, 0, Count, reinterpret_cast<u_char*>(&frames)), 0);
  stopper.join();
  EXPECT_GT(frames, 0);
  EXPECT_EQ(helper.Finish(), "");  // stopped as asked: nothing to report
  net_.Close(handle);
}

// The fall-back of a program without capture rights: the helper's stream, or why not, told apart by
// whether the rights are what is missing.
TEST_F(HelperCaptureTest, OpenThroughHelperTellsMissingRightsFromOtherFailures) {
  const struct {
    std::string helper;
    bool opened;
    bool rightsMissing;
    std::string error;
  } cases[] = {
      {Helper("cat '" + kCapture + "'; exec sleep 30"), true, false, ""},
      {dir_ + "/no-such-helper", false, true, ""},
      {Helper("echo 'quelvar-capture: cannot capture on lo: no permission to capture' >&2; exit 1"), false, true,
       "cannot capture on lo: no permission to capture"},
      {Helper("echo 'quelvar-capture: lo: no such device' >&2; exit 1"), false, false, "lo: no such device"},
      {Helper("echo 'not a capture'; exec sleep 30"), false, false, "*"},  // the stream cannot be read
  };
  for (const auto& c : cases) {
    HelperCapture helper;
    std::string error = "stale";
    bool rightsMissing = !c.rightsMissing;
    pcap_t* handle = OpenThroughHelper(net_, helper, c.helper, "lo", error, rightsMissing);
    EXPECT_EQ(handle != nullptr, c.opened) << c.helper << ": " << error;
    EXPECT_EQ(rightsMissing, c.rightsMissing) << c.helper << ": " << error;
    if (c.error == "*") {
      EXPECT_FALSE(error.empty());
      EXPECT_TRUE(helper.Ended()) << "a helper whose stream cannot be read is ended";
    } else {
      EXPECT_EQ(error, c.error);
    }
    if (handle) {
      helper.Stop();
      helper.Finish();
      net_.Close(handle);
    }
  }
}

TEST_F(HelperCaptureTest, HelperThatFailsBeforeItsStreamGivesItsOwnReason) {
  HelperCapture helper;
  std::string error;
  EXPECT_FALSE(helper.Start(
      Helper("echo 'quelvar-capture: cannot capture on lo: no permission to capture' >&2; exit 1"), "lo", error));
  EXPECT_EQ(error, "cannot capture on lo: no permission to capture");
  EXPECT_TRUE(IsPermissionError(error));
  EXPECT_EQ(helper.Pid(), -1);

  EXPECT_FALSE(helper.Start(dir_ + "/missing", "lo", error));
  EXPECT_NE(error.find("cannot start"), std::string::npos) << error;
}

TEST_F(HelperCaptureTest, HelperThatNeverStreamsIsEndedAfterTheWait) {
  HelperCapture helper;
  std::string error;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(helper.Start(Helper("exec sleep 30"), "lo", error, 300));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_NE(error.find("did not start its stream in time"), std::string::npos) << error;
  EXPECT_EQ(helper.Pid(), -1);
}

TEST_F(HelperCaptureTest, HelperIsNotToldWhereAKeyLogLies) {
  // A key log named in this program's environment must not reach the helper, which holds capture
  // rights; the rest of the environment does.
  ::setenv("SSLKEYLOGFILE", "/tmp/secret-keys.log", 1);
  ::setenv("QV_HELPER_ENV_PROBE", "kept", 1);
  HelperCapture helper;
  std::string error;
  const std::string seen = dir_ + "/seen.txt";
  const bool started = helper.Start(
      Helper("echo \"[${SSLKEYLOGFILE-unset}|$QV_HELPER_ENV_PROBE]\" > '" + seen + "'; cat '" + kCapture + "'; exit 0"),
      "lo", error);
  ::unsetenv("SSLKEYLOGFILE");
  ::unsetenv("QV_HELPER_ENV_PROBE");
  ASSERT_TRUE(started) << error;
  for (int i = 0; i < 500 && !helper.Ended(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  helper.Finish();
  std::ifstream in(seen);
  std::string line;
  std::getline(in, line);
  EXPECT_EQ(line, "[unset|kept]");
}

TEST_F(HelperCaptureTest, HelperThatDiesHalfWayIsReported) {
  HelperCapture helper;
  std::string error;
  ASSERT_TRUE(helper.Start(Helper("cat '" + kCapture + "'; echo 'quelvar-capture: adapter gone' >&2; exit 1"), "lo",
                           error))
      << error;
  pcap_t* handle = net_.OpenOffline(helper.StreamPath(), error);
  ASSERT_NE(handle, nullptr) << error;
  int frames = 0;
  net_.pcap_loop(handle, 0, Count, reinterpret_cast<u_char*>(&frames));  // returns at the end of the stream
  EXPECT_GT(frames, 0);
  for (int i = 0; i < 500 && !helper.Ended(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(helper.Finish(), "adapter gone");
  net_.Close(handle);

  HelperCapture killed;
  ASSERT_TRUE(killed.Start(Helper("cat '" + kCapture + "'; kill -9 $$"), "lo", error)) << error;
  for (int i = 0; i < 500 && !killed.Ended(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(killed.Finish(), "quelvar-capture was ended by signal 9");
  EXPECT_FALSE(killed.Counts());
}

TEST_F(HelperCaptureTest, FrameCountsTheHelperReportsAreKeptApartFromItsMessage) {
  const std::string counts = "echo '1500 frames received, 40 dropped by the kernel, 0 by the interface' >&2; ";
  struct Case {
    std::string tail;     // what the helper does after streaming the capture
    std::string message;  // what Finish reports
    bool hasCounts;
  };
  const Case cases[] = {
      {counts + "exit 0", "", true},
      {counts + "echo 'quelvar-capture: capture on lo ended: gone' >&2; exit 1", "capture on lo ended: gone", true},
      {"echo '1500 frames received' >&2; exit 1", "1500 frames received", false},  // not the counts line
  };
  for (const auto& c : cases) {
    HelperCapture helper;
    std::string error;
    ASSERT_TRUE(helper.Start(Helper("cat '" + kCapture + "'; " + c.tail), "lo", error)) << error;
    for (int i = 0; i < 500 && !helper.Ended(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(helper.Finish(), c.message) << c.tail;
    EXPECT_EQ(helper.Counts(), c.hasCounts ? std::optional<CaptureStats>(CaptureStats{1500, 40, 0}) : std::nullopt)
        << c.tail;
  }
}

TEST_F(HelperCaptureTest, HelperThatIgnoresSigtermIsKilledAndThatIsReported) {
  const std::string killed = "quelvar-capture did not end within 2 s of SIGTERM and was killed";
  // Stopped while a loop reads its stream: the stream ends though nobody waits for the helper.
  {
    HelperCapture helper;
    std::string error;
    ASSERT_TRUE(helper.Start(Helper("trap '' TERM; cat '" + kCapture + "'; exec sleep 60"), "lo", error)) << error;
    pcap_t* handle = net_.OpenOffline(helper.StreamPath(), error);
    ASSERT_NE(handle, nullptr) << error;
    int frames = 0;
    std::thread reader([&] { net_.pcap_loop(handle, 0, Count, reinterpret_cast<u_char*>(&frames)); });
    helper.Stop();
    reader.join();  // a helper that is never killed holds this for the whole ctest timeout
    EXPECT_GT(frames, 0);
    EXPECT_EQ(helper.Finish(), killed);
    EXPECT_EQ(helper.Pid(), -1);
    net_.Close(handle);
  }
  // Its stream closed but the helper stays: Finish asks it to stop, and then kills it.
  HelperCapture helper;
  std::string error;
  ASSERT_TRUE(helper.Start(Helper("trap '' TERM; cat '" + kCapture + "'; exec sleep 60 >&-"), "lo", error)) << error;
  EXPECT_EQ(helper.Finish(), killed);
}

TEST_F(HelperCaptureTest, KernelBufferIsPassedToTheHelper) {
  struct Case {
    int mb;
    std::string args;
  };
  for (const Case& c : {Case{0, "--interface lo"}, Case{64, "--interface lo --buffer 64"}}) {
    const std::string argsFile = dir_ + "/args" + std::to_string(c.mb);
    HelperCapture helper;
    helper.SetBufferMB(c.mb);
    std::string error;
    ASSERT_TRUE(helper.Start(Helper("echo \"$@\" > '" + argsFile + "'; cat '" + kCapture + "'; exec sleep 30"), "lo",
                             error))
        << error;
    helper.Stop();
    EXPECT_EQ(helper.Finish(), "");
    std::string line;
    std::getline(std::ifstream(argsFile), line);
    EXPECT_EQ(line, c.args);
  }
}

// The capture helper opens network adapters only: libpcap's other sources (netfilter queues and logs,
// USB and Bluetooth monitors, D-Bus) are refused by name, whether or not an interface of that name exists.
TEST(CaptureSourceName, OnlyNetworkInterfacesAndAnyAreOpened) {
  using capture_helper::RefuseCaptureSource;
  for (const char* name : {"nfqueue:7", "nflog:5", "dbus-system", "dbus-session", "dbus://unix:path=/x",
                           "dbus://unixexec:path=/x", "usbmon0", "usbmon", "bluetooth0", "bluetooth-monitor"})
    EXPECT_EQ(RefuseCaptureSource(name), "not a network adapter") << name;
  for (const char* name : {"lo/../lo", "lo ", "lo:0", "", "qvnosuchadapter", "a-name-longer-than-15-bytes"})
    EXPECT_NE(RefuseCaptureSource(name), "") << name;

  EXPECT_EQ(RefuseCaptureSource("any"), "");
  EXPECT_EQ(RefuseCaptureSource("lo"), "");
  struct if_nameindex* all = if_nameindex();
  ASSERT_NE(all, nullptr);
  int interfaces = 0;
  for (const struct if_nameindex* i = all; i->if_index != 0; ++i, ++interfaces)
    EXPECT_EQ(RefuseCaptureSource(i->if_name), "") << i->if_name;
  if_freenameindex(all);
  EXPECT_GE(interfaces, 1);

  EXPECT_EQ(capture_helper::PrintableName("a\x1b[2Jb\\"), "a\\x1b[2Jb\\x5c");
}

struct HelperRun {
  int status = -1;
  std::string err;  // standard error
};

// The real helper, its standard error read here; `redirect` says where its standard output goes (a pipe
// to this process when empty).
HelperRun RunCaptureHelper(const std::string& args, const std::string& redirect = "") {
  const std::string cmd = std::string(QUELVAR_CAPTURE) + " " + args + " 2>&1" + (redirect.empty() ? "" : " >" + redirect);
  HelperRun r;
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return r;
  char buf[4096];
  for (std::size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) r.err.append(buf, n);
  const int st = pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

TEST(CaptureHelperProcess, RefusesEverySourceButNetworkAdaptersWithOneLine) {
  for (const char* name : {"nfqueue:7", "nflog:5", "dbus-system", "dbus://unix:path=/x", "dbus://unixexec:path=/x",
                           "usbmon0", "bluetooth0", "lo/../lo"}) {
    const HelperRun r = RunCaptureHelper(std::string("--interface '") + name + "'");
    EXPECT_EQ(r.status, 1) << name;
    EXPECT_EQ(r.err.rfind(std::string("quelvar-capture: cannot capture on ") + name + ": ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("(give the name of a network interface, or any)\n"), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
}

TEST(CaptureHelperProcess, CountAndBufferAreCheckedAtTheirEdges) {
  // A refused name after the options: status 1 says the options themselves were taken.
  struct Case {
    std::string options;
    int status;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"--count 2147483647", 1, "cannot capture on lo/../lo"},
      {"--count 2147483648", 2, "--count takes a number from 1 to 2147483647"},
      {"--count 4294967298", 2, "--count takes a number from 1 to 2147483647"},
      {"--count 0", 2, "--count takes a number from 1 to 2147483647"},
      {"--count -1", 2, "--count takes a number from 1 to 2147483647"},
      {"--count ' 5'", 2, "--count takes a number from 1 to 2147483647"},
      {"--buffer 1", 1, "cannot capture on lo/../lo"},
      {"--buffer 1024", 1, "cannot capture on lo/../lo"},
      {"--buffer 1025", 2, "--buffer takes a number of MB from 1 to 1024"},
      {"--buffer 0", 2, "--buffer takes a number of MB from 1 to 1024"},
  };
  for (const auto& c : cases) {
    const HelperRun r = RunCaptureHelper(c.options + " --interface lo/../lo");
    EXPECT_EQ(r.status, c.status) << c.options << ": " << r.err;
    EXPECT_EQ(r.err.rfind("quelvar-capture: " + c.message, 0), 0u) << c.options << ": " << r.err;
  }
}

TEST(CaptureHelperProcess, StreamGoesToAPipeASocketOrAFileOnly) {
  // Refused before the adapter is opened: no capture rights are needed to see it.
  const HelperRun r = RunCaptureHelper("--interface lo", "/dev/null");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "quelvar-capture: the stream goes to a pipe, a socket or a file, not to a device\n");
}

}  // namespace
}  // namespace qv
