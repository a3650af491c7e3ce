// quelvar-scan in packet-list mode writes each row as it comes: the rows are those the core makes, in
// their order; a reader that goes away ends the capture quietly; a failed write is reported.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "capture/capture_file.h"
#include "capture/frame_handler.h"
#include "capture/pcap_net.h"
#include "capture/sniff_thread.h"
#include "packets/packet_filter.h"
#include "urls/file_type_table.h"
#include "tests/capture/frame_builder.h"
#include "tests/tools/run_scan.h"
#include "tools/quelvar-scan/scan_output.h"
#include "urls/url_list.h"

namespace qv {
namespace {

using scan_test::Result;
using scan_test::RunScan;

// Rows go into the list, as the window's list takes them.
class ListSink : public FrameSink {
 public:
  explicit ListSink(UrlList& list) : list_(list) {}
  void UrlFound(UrlInsertion&&) override { ADD_FAILURE() << "an address row in packet-list mode"; }
  void PacketFound(PacketRowData&& row) override {
    list_.AppendPacketRow(std::move(row.caption), row.direction, std::move(row.payload), std::move(row.length),
                          std::move(row.record));
  }

 private:
  UrlList& list_;
};

// The packet list of a capture as the core makes it: every row kept in a UrlList until the file is
// read, then printed whole, as quelvar-scan printed it before it wrote rows as they came.
std::string CoreRows(const std::string& path, const PacketFilter& filter, bool raw) {
  PcapNet net;
  if (!net.Bind()) {
    ADD_FAILURE() << "libpcap cannot be loaded";
    return {};
  }
  UrlList list;
  ListSink sink(list);
  FileTypeState types;
  const std::vector<std::string> local = InferLocalAddresses(net, path);
  FrameHandler handler(types, sink, [local] { return local; });
  handler.SetLocalAddresses(local);
  handler.SetFilter(filter);
  handler.SetAdPage(kAdPage);
  handler.workMode = WorkMode::Packets;
  std::string error;
  pcap_t* handle = net.OpenOffline(path, error);
  if (!handle) {
    ADD_FAILURE() << path << ": " << error;
    return {};
  }
  handler.StartSession(net.LinkType(handle));
  net.pcap_loop(handle, 0, PacketCallback, reinterpret_cast<u_char*>(&handler));
  net.Close(handle);
  char* data = nullptr;
  std::size_t size = 0;
  FILE* out = open_memstream(&data, &size);
  scan::PrintList(out, list, scan::OutputKind::PacketList, raw);
  std::fclose(out);
  std::string text(data, size);
  std::free(data);
  return text;
}

TEST(ScanStream, RowsAreTheCoresRowsInTheirOrder) {
  const std::string tcpdump = std::string(CAPTURES_DIR) + "/tcpdump-tests/";
  const std::string ours = QUELVAR_SOURCE_DIR "/tests/tools/captures/";
  const struct {
    std::string file;
    const char* args;
    int protocol, direction;
    const char* contains;
    int minLength;
    std::size_t minRows;  // at least this many rows, so that the comparison is never of two empty lists
  } cases[] = {
      {CAPTURES_DIR "/http_espn_fail.pcapng", "", 0, 0, "", 0, 500},
      {CAPTURES_DIR "/http_espn_fail.pcapng", "--raw", 0, 0, "", 0, 500},
      {CAPTURES_DIR "/http_dvwa_sqlinjection.pcapng", "--protocol tcp --direction in", 6, 1, "", 0, 10},
      {CAPTURES_DIR "/http_google.pcapng", "--protocol tcp --direction out --raw", 6, 2, "", 0, 5},
      {CAPTURES_DIR "/http_post.pcapng", "--contains HOST: --min-length 40", 0, 0, "HOST:", 40, 1},
      {CAPTURES_DIR "/ipv4_tcp_http_xml.pcap", "", 0, 0, "", 0, 1},
      {ours + "ipv6_http.pcap", "", 0, 0, "", 0, 5},
      {ours + "utf8_names.pcap", "", 0, 0, "", 0, 5},
      {tcpdump + "mptcp-v0.pcap", "--protocol tcp --direction in", 6, 1, "", 0, 100},
      {tcpdump + "babel_rfc6126bis.pcap", "--protocol udp --raw", 17, 0, "", 0, 100},  // IPv6
      {tcpdump + "IGMP_V2.pcap", "", 0, 0, "", 0, 10},  // a protocol without a name of its own
  };
  for (const auto& c : cases) {
    PacketFilter filter;
    filter.protocol = c.protocol;
    filter.direction = c.direction;
    filter.contained = c.contains;
    filter.minLength = c.minLength;
    const bool raw = std::string(c.args).find("--raw") != std::string::npos;
    const std::string expected = CoreRows(c.file, filter, raw);
    EXPECT_GE(static_cast<std::size_t>(std::count(expected.begin(), expected.end(), '\n')), c.minRows)
        << c.file << " " << c.args;
    const auto r = RunScan("--read " + c.file + " --mode packets " + c.args);
    EXPECT_EQ(r.status, 0) << c.file << ": " << r.err;
    EXPECT_EQ(r.err, "") << c.file;
    EXPECT_TRUE(r.out == expected) << c.file << " " << c.args << ": " << r.out.size() << " bytes written, "
                                   << expected.size() << " expected";
  }
}

// A list that cannot be written is an error, not a success: in both modes, whatever the reason.
TEST(ScanStream, FailedWriteIsReported) {
  const struct {
    const char* args;
    const char* why;
  } cases[] = {
      {"--mode packets >/dev/full", "No space left on device"},
      {"--mode url >/dev/full", "No space left on device"},
      {"--mode packets >&-", "Bad file descriptor"},
  };
  for (const auto& c : cases) {
    const auto r = RunScan(std::string("--read " CAPTURES_DIR "/http_espn_fail.pcapng ") + c.args);
    EXPECT_EQ(r.status, 1) << c.args;
    EXPECT_EQ(r.err, std::string("quelvar-scan: cannot write the list: ") + c.why + "\n") << c.args;
  }
}

// Standard output a pipe whose reader reads one row and goes away, as `| head -1` does, while frames
// keep coming on a FIFO: the capture ends at once with status 0 and says nothing.
TEST(ScanStream, ReaderThatGoesAwayEndsTheCaptureQuietly) {
  using namespace test;
  struct sigaction ignore {}, old {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &old);  // this process writes the FIFO after its reader has ended

  const std::string dir = ::testing::TempDir() + "/scan_stream." + std::to_string(getpid());
  ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
  const std::string fifo = dir + "/frames", errFile = dir + "/err";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::dup2(out[1], 1);
    ::close(out[0]);
    ::close(out[1]);
    const int err = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(err, 2);
    ::execl(QUELVAR_SCAN, QUELVAR_SCAN, "--read", fifo.c_str(), "--mode", "packets", "--local", "10.1.1.2",
            static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(out[1]);

  // Every wait is bounded: 30 s for anything to happen.
  auto waitFor = [](int fd, short events) {
    pollfd p{fd, events, 0};
    return ::poll(&p, 1, 30000) == 1;
  };
  int frames = -1;
  for (int i = 0; i < 300 && frames < 0; ++i) {  // the program opens the FIFO for reading
    frames = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    if (frames < 0) ::usleep(100000);
  }
  ASSERT_GE(frames, 0) << "the FIFO was never opened";
  // Writes a whole buffer; false once the reader of the FIFO has gone (or nothing moves for 30 s).
  auto put = [&](const std::string& bytes) {
    for (std::size_t done = 0; done < bytes.size();) {
      const ssize_t n = ::write(frames, bytes.data() + done, bytes.size() - done);
      if (n > 0) done += static_cast<std::size_t>(n);
      else if (n < 0 && errno == EAGAIN && waitFor(frames, POLLOUT)) continue;
      else return false;
    }
    return true;
  };
  auto u32 = [](std::string& s, std::uint32_t v) { s.append(reinterpret_cast<const char*>(&v), 4); };
  std::string header;
  u32(header, 0xa1b2c3d4), u32(header, 0x00040002), u32(header, 0), u32(header, 0), u32(header, 65535),
      u32(header, 1);
  const auto frame = BuildFrame({Framing::Ethernet, 17, IP(10, 1, 1, 2), IP(10, 9, 9, 9), 5000, 53,
                                 std::string(1000, 'a')});
  std::string record;
  u32(record, 0), u32(record, 0), u32(record, static_cast<std::uint32_t>(frame.size())),
      u32(record, static_cast<std::uint32_t>(frame.size()));
  record.append(frame.begin(), frame.end());
  std::string batch;
  for (int i = 0; i < 100; ++i) batch += record;
  ASSERT_TRUE(put(header + batch));

  // One row, then the reader goes away.
  std::string first;
  char c;
  while (first.find('\n') == std::string::npos && waitFor(out[0], POLLIN) && ::read(out[0], &c, 1) == 1) first += c;
  ::close(out[0]);
  EXPECT_EQ(first.rfind("UDP\t", 0), 0u) << first;

  // The frames keep coming, up to 200 MB; the program must stop reading long before.
  bool stopped = false;
  for (int i = 0; i < 2000 && !stopped; ++i) stopped = !put(batch);
  ::close(frames);
  EXPECT_TRUE(stopped) << "the program read on after its reader had gone";

  int status = -1;
  for (int i = 0; i < 300 && ::waitpid(pid, &status, WNOHANG) == 0; ++i) ::usleep(100000);
  if (::waitpid(pid, &status, WNOHANG) == 0) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    ADD_FAILURE() << "the program did not end";
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << (WIFSIGNALED(status) ? "ended by signal " + std::to_string(WTERMSIG(status)) : "status " + std::to_string(status));
  std::ifstream e(errFile);
  const std::string err((std::istreambuf_iterator<char>(e)), std::istreambuf_iterator<char>());
  EXPECT_EQ(err, "");
  sigaction(SIGPIPE, &old, nullptr);
  std::remove(fifo.c_str());
  std::remove(errFile.c_str());
  ::rmdir(dir.c_str());
}

// The flusher on its own: rows reach a pipe without a flush of the writer's; a pipe whose reader has
// gone is seen with nothing written; a failed flush is kept with its reason. Each stops the capture once.
TEST(ScanStream, FlusherFlushesAndSeesTheOutputFail) {
  using namespace std::chrono_literals;
  auto waitUntil = [](const std::function<bool()>& done) {
    for (int i = 0; i < 500 && !done(); ++i) std::this_thread::sleep_for(10ms);  // at most 5 s
    return done();
  };
  {
    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    FILE* out = ::fdopen(p[1], "w");
    char buffer[4096];
    std::setvbuf(out, buffer, _IOFBF, sizeof buffer);
    std::atomic<int> stops{0};
    scan::OutputFlusher flusher(out, 10ms, [&] { ++stops; });
    std::fputs("UDP\trow\n", out);
    pollfd in{p[0], POLLIN, 0};
    ASSERT_EQ(::poll(&in, 1, 5000), 1) << "the row stayed in the buffer";
    char got[64] = {};
    EXPECT_EQ(::read(p[0], got, sizeof got), 8);
    EXPECT_STREQ(got, "UDP\trow\n");
    ::close(p[0]);  // the reader goes away; nothing more is written
    EXPECT_TRUE(waitUntil([&] { return stops.load() > 0; })) << "a pipe without a reader went unseen";
    flusher.Finish();
    EXPECT_EQ(flusher.State(), scan::OutputState::ReaderGone);
    EXPECT_EQ(stops.load(), 1);
    std::fclose(out);
  }
  {
    FILE* out = std::fopen("/dev/full", "w");
    ASSERT_NE(out, nullptr);
    std::atomic<int> stops{0};
    scan::OutputFlusher flusher(out, 10ms, [&] { ++stops; });
    std::fputs("UDP\trow\n", out);
    EXPECT_TRUE(waitUntil([&] { return stops.load() > 0; })) << "a failed flush went unseen";
    flusher.Finish();
    EXPECT_EQ(flusher.State(), scan::OutputState::Failed);
    EXPECT_EQ(flusher.Error(), ENOSPC);
    EXPECT_EQ(stops.load(), 1);
    std::fclose(out);
  }
}

}  // namespace
}  // namespace qv
