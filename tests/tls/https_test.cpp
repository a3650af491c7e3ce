#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <nghttp2/nghttp2.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tls/crypto.h"
#include "tls/http_readers.h"
#include "tls/https_request.h"
#include "tls/https_session.h"
#include "tls/key_log.h"
#include "tls/tcp_reassembly.h"
#include "tls/tls_reader.h"
#include "tools/Dorrinel/request.h"

namespace qv::tls {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::string Hex(const std::uint8_t* p, std::size_t n) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (std::size_t i = 0; i < n; ++i) s += d[p[i] >> 4], s += d[p[i] & 15];
  return s;
}

// A folder of the test's own for files.
const std::uint8_t* U(const std::string& s) { return reinterpret_cast<const std::uint8_t*>(s.data()); }

std::string TempDir() {
  char tmpl[] = "/tmp/qv-https-test-XXXXXX";
  return ::mkdtemp(tmpl);
}

void WriteFile(const std::string& path, const std::string& text, bool append = false) {
  std::ofstream f(path, append ? std::ios::app | std::ios::binary : std::ios::trunc | std::ios::binary);
  f << text;
}

// --- key log ---

// The line and file limits at their edges: exactly the limit is read, one over is refused.
TEST(KeyLog, LineAndFileLimitsAtTheirEdges) {
  const std::string dir = TempDir();
  ClientRandom r{};
  r.fill(0x44);
  const std::string line = "CLIENT_RANDOM " + Hex(r.data(), 32) + " " + std::string(96, 'b');
  std::string s;
  for (const std::size_t length : {KeyLog::kMaxLineBytes, KeyLog::kMaxLineBytes + 1}) {
    SCOPED_TRACE(length);
    const std::string path = dir + "/line" + std::to_string(length);
    WriteFile(path, line + std::string(length - line.size(), ' ') + "\n");
    KeyLog log;
    log.SetFiles({path});
    log.Poll();
    EXPECT_EQ(log.Find(SecretKind::Tls12Master, r, s), length == KeyLog::kMaxLineBytes);
    std::remove(path.c_str());
  }
  for (const std::uint64_t size : {KeyLog::kMaxFileBytes, KeyLog::kMaxFileBytes + 1}) {
    SCOPED_TRACE(size);
    const std::string path = dir + "/file";
    WriteFile(path, line + "\n");
    ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(size)), 0);
    KeyLog log;
    log.SetFiles({path});
    log.Poll();
    EXPECT_EQ(log.Find(SecretKind::Tls12Master, r, s), size == KeyLog::kMaxFileBytes);
    std::remove(path.c_str());
  }
  ::rmdir(dir.c_str());
}

TEST(KeyLog, ReadsTheLabelsSkipsBadLinesAndFollowsTheFile) {
  const std::string dir = TempDir(), path = dir + "/keys";
  ClientRandom r1{}, r2{};
  r1.fill(0x11);
  r2.fill(0x22);
  const std::string h1 = Hex(r1.data(), 32), h2 = Hex(r2.data(), 32);
  const std::string secret32(64, 'a'), master(96, 'b');
  WriteFile(path, "# comment\n\nCLIENT_RANDOM " + h1 + " " + master + "\n" +
                      "CLIENT_HANDSHAKE_TRAFFIC_SECRET " + h1 + " " + secret32 + "\r\n" +
                      "EXPORTER_SECRET " + h1 + " " + secret32 + "\n" +  // another label: passed over
                      "CLIENT_TRAFFIC_SECRET_0 " + h1.substr(2) + " " + secret32 + "\n" +  // short random
                      "CLIENT_TRAFFIC_SECRET_0 " + h1 + " zz\n" +                         // not hex
                      "garbage\n" + std::string(1500, 'x') + "\n" +                       // over 1 KB
                      "CLIENT_TRAFFIC_SECRET_0 " + h2.substr(0, 30));                     // still being written
  std::vector<std::string> messages;
  KeyLog log;
  log.SetMessageSink([&](const std::string& m) { messages.push_back(m); });
  log.SetFiles({path});
  log.Poll();
  std::string s;
  EXPECT_TRUE(log.Find(SecretKind::Tls12Master, r1, s));
  EXPECT_EQ(s, std::string(48, '\xbb'));
  EXPECT_TRUE(log.Find(SecretKind::ClientHandshake, r1, s));
  EXPECT_EQ(s.size(), 32u);
  EXPECT_FALSE(log.Find(SecretKind::ClientTraffic0, r1, s));
  EXPECT_EQ(log.BadLines(), 4u);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_NE(messages[0].find("longer than 1 KB"), std::string::npos);
  // The line's end is appended: read at the next poll.
  EXPECT_FALSE(log.Find(SecretKind::ClientTraffic0, r2, s));
  WriteFile(path, h2.substr(30) + " " + secret32 + "\n", true);
  log.Poll();
  EXPECT_TRUE(log.Find(SecretKind::ClientTraffic0, r2, s));

  // Replaced by a shorter file (the browser started a new one): read from its start.
  ClientRandom r3{};
  r3.fill(0x33);
  const std::string fresh = dir + "/fresh";
  WriteFile(fresh, "CLIENT_TRAFFIC_SECRET_0 " + Hex(r3.data(), 32) + " " + std::string(96, 'c') + "\n");
  ASSERT_EQ(std::rename(fresh.c_str(), path.c_str()), 0);
  log.Poll();
  EXPECT_TRUE(log.Find(SecretKind::ClientTraffic0, r3, s));
  EXPECT_EQ(s.size(), 48u);

  // Over 64 MB: refused with a message, nothing read.
  const std::string big = dir + "/big";
  WriteFile(big, "CLIENT_RANDOM " + Hex(r3.data(), 32) + " " + master + "\n");
  ASSERT_EQ(::truncate(big.c_str(), (64 << 20) + 1), 0);
  KeyLog bigLog;
  messages.clear();
  bigLog.SetMessageSink([&](const std::string& m) { messages.push_back(m); });
  bigLog.SetFiles({big, dir + "/missing"});
  bigLog.Poll();
  EXPECT_FALSE(bigLog.Find(SecretKind::Tls12Master, r3, s));
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_NE(messages[0].find("larger than 64 MB"), std::string::npos);
  EXPECT_NE(messages[1].find("missing"), std::string::npos);
  std::remove(big.c_str());
  std::remove(path.c_str());
  ::rmdir(dir.c_str());
}

// --- TCP ---

TEST(TcpReassembly, PutsSegmentsInOrderAcrossWrapAround) {
  const std::string text = "0123456789abcdefghijklmnopqrstuvwxyz";
  struct Piece {
    std::size_t at, n;
  };
  // Out of order, retransmitted, overlapping, and a segment that covers others.
  const std::vector<std::vector<Piece>> orders = {
      {{0, 10}, {10, 10}, {20, 16}},
      {{20, 16}, {10, 10}, {0, 10}},
      {{0, 10}, {0, 10}, {5, 10}, {30, 6}, {12, 20}, {20, 3}},
      {{8, 4}, {4, 8}, {0, 6}, {2, 34}},
  };
  for (std::uint32_t start : {1000u, 0xFFFFFFF0u}) {
    for (const auto& order : orders) {
      TcpReassembly r;
      r.Start(start);
      std::string got;
      for (const Piece& p : order)
        r.Segment(start + static_cast<std::uint32_t>(p.at), reinterpret_cast<const std::uint8_t*>(text.data() + p.at),
                  p.n, [&](const std::uint8_t* b, std::size_t n) { got.append(reinterpret_cast<const char*>(b), n); });
      EXPECT_EQ(got, text) << start;
      EXPECT_EQ(r.PendingBytes(), 0u);
    }
  }
}

TEST(TcpReassembly, AHoleThatIsNeverFilledIsGivenUpWithinTheBound) {
  TcpReassembly r;
  r.Start(0);
  std::string chunk(64 * 1024, 'x');
  std::size_t delivered = 0;
  for (int i = 1; i <= 8; ++i)
    r.Segment(static_cast<std::uint32_t>(i * chunk.size()), reinterpret_cast<const std::uint8_t*>(chunk.data()),
              chunk.size(), [&](const std::uint8_t*, std::size_t n) { delivered += n; });
  EXPECT_LE(r.PendingBytes(), TcpReassembly::kMaxPendingBytes);
  EXPECT_TRUE(r.Gap());
  EXPECT_GT(delivered, 0u);
}

// --- HTTP ---

TEST(Http1Reader, TakesEachHeadAndPassesOverBodies) {
  const std::string stream =
      "POST /up HTTP/1.1\r\nHost: a.example\r\nContent-Length: 27\r\n\r\nGET /not-a-request HTTP/1.1"
      "PUT /c HTTP/1.1\r\nHost: a.example\r\nTransfer-Encoding: chunked\r\n\r\n"
      "5\r\nGET /\r\n1a;x=y\r\nGET /not-either HTTP/1.1\r\n\r\n0\r\nTrailer: 1\r\n\r\n"
      "GET /v.mp4 HTTP/1.1\r\nHost: a.example\r\n\r\n";
  for (std::size_t step : {std::size_t{1}, std::size_t{7}, stream.size()}) {
    std::vector<std::string> heads;
    Http1Reader r([&](std::string&& h) { heads.push_back(h); });
    for (std::size_t i = 0; i < stream.size(); i += step)
      r.Feed(reinterpret_cast<const std::uint8_t*>(stream.data() + i), std::min(step, stream.size() - i));
    ASSERT_EQ(heads.size(), 3u) << step;
    EXPECT_EQ(heads[0].rfind("POST /up ", 0), 0u);
    EXPECT_EQ(heads[1].rfind("PUT /c ", 0), 0u);
    EXPECT_EQ(heads[2], "GET /v.mp4 HTTP/1.1\r\nHost: a.example\r\n\r\n");
    EXPECT_FALSE(r.Broken());
  }
}

using H2Requests = std::vector<std::vector<std::pair<std::string, std::string>>>;

// The header block libnghttp2's deflater makes of `fields` (its dynamic table carried on) into `block`;
// the deflater's result: the block's length, or a negative error (the block then empty).
long Deflate(nghttp2_hd_deflater* deflater, const std::vector<std::pair<std::string, std::string>>& fields,
             std::string& block) {
  std::vector<nghttp2_nv> nv;
  for (const auto& [n, v] : fields)
    nv.push_back({reinterpret_cast<std::uint8_t*>(const_cast<char*>(n.data())),
                  reinterpret_cast<std::uint8_t*>(const_cast<char*>(v.data())), n.size(), v.size(),
                  NGHTTP2_NV_FLAG_NONE});
  block.assign(nghttp2_hd_deflate_bound(deflater, nv.data(), nv.size()), '\0');
  const auto len = nghttp2_hd_deflate_hd(deflater, reinterpret_cast<std::uint8_t*>(block.data()), block.size(),
                                         nv.data(), nv.size());
  block.resize(static_cast<std::size_t>(std::max<decltype(len)>(len, 0)));
  return static_cast<long>(len);
}

// A client's HTTP/2 stream: the preface, SETTINGS, then each request as HEADERS (padded, first half of
// the block) + CONTINUATION (the rest) whose blocks libnghttp2's own HPACK deflater made, with its dynamic
// table carried from request to request, and DATA after each.
std::string H2Stream(const H2Requests& requests) {
  nghttp2_hd_deflater* deflater = nullptr;
  EXPECT_EQ(nghttp2_hd_deflate_new(&deflater, 4096), 0);
  std::string stream = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";
  auto frame = [&](std::uint8_t type, std::uint8_t flags, std::uint32_t id, const std::string& payload) {
    const std::size_t n = payload.size();
    stream += static_cast<char>(n >> 16), stream += static_cast<char>(n >> 8), stream += static_cast<char>(n);
    stream += static_cast<char>(type), stream += static_cast<char>(flags);
    for (int s = 24; s >= 0; s -= 8) stream += static_cast<char>(id >> s);
    stream += payload;
  };
  frame(4, 0, 0, std::string(6, '\0'));  // SETTINGS
  std::uint32_t id = 1;
  for (const auto& fields : requests) {
    std::string block;
    EXPECT_GT(Deflate(deflater, fields, block), 0);
    const std::size_t half = block.size() / 2;
    frame(1, 0x08 | 0x01, id, std::string(1, '\x03') + block.substr(0, half) + std::string(3, '\0'));
    frame(9, 0x04, id, block.substr(half));
    frame(0, 0x01, id, std::string(1000, 'd'));
    id += 2;
  }
  nghttp2_hd_deflate_del(deflater);
  return stream;
}

void ExpectRequests(const std::vector<HttpsRequest>& got, const H2Requests& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t k = 0; k < want.size(); ++k) {
    ASSERT_EQ(got[k].fields.size(), want[k].size());
    for (std::size_t i = 0; i < want[k].size(); ++i) {
      EXPECT_EQ(got[k].fields[i].name, want[k][i].first);
      EXPECT_EQ(got[k].fields[i].value, want[k][i].second);
    }
  }
}

// HTTP/2 HEADERS (+ CONTINUATION) frames whose blocks libnghttp2's own HPACK deflater made, with its
// dynamic table carried from request to request.
TEST(Http2Reader, DecodesWhatTheLibrarysEncoderWrites) {
  const H2Requests requests = {
      {{":method", "GET"}, {":scheme", "https"}, {":authority", "video.example"}, {":path", "/a.m3u8?x=1"},
       {"user-agent", "test/1"}, {"cookie", "a=1"}, {"cookie", "b=2"}},
      {{":method", "GET"}, {":scheme", "https"}, {":authority", "img.example"}, {":path", "/p.jpg"},
       {"user-agent", "test/1"}, {"referer", "https://video.example/" + std::string(300, 'r')}},
  };
  const std::string stream = H2Stream(requests);
  std::vector<HttpsRequest> got;
  Http2Reader r([&](HttpsRequest&& q) { got.push_back(q); });
  for (std::size_t i = 0; i < stream.size(); i += 5)
    r.Feed(reinterpret_cast<const std::uint8_t*>(stream.data() + i), std::min<std::size_t>(5, stream.size() - i));
  EXPECT_FALSE(r.Broken());
  ExpectRequests(got, requests);
  std::string head, scheme;
  ASSERT_TRUE(RequestHead(got[0], head, scheme));
  EXPECT_EQ(scheme, "https");
  EXPECT_EQ(head, "GET /a.m3u8?x=1 HTTP/1.1\r\nHost: video.example\r\nuser-agent: test/1\r\ncookie: a=1; b=2\r\n\r\n");
  ASSERT_TRUE(RequestHead(got[1], head, scheme));
  EXPECT_EQ(head.rfind("GET /p.jpg HTTP/1.1\r\nHost: img.example\r\n", 0), 0u);  // coalesced: its own host
}

// A reader kept from a connection that ended anywhere (inside a header block, broken, after its requests)
// and made new reads the next connection as a new reader does: a new HPACK table, the preface expected
// again, only the new sink told.
TEST(Http2Reader, MadeNewReadsTheNextConnectionAsANewReader) {
  const H2Requests first = {
      {{":method", "GET"}, {":authority", "old.example"}, {":path", "/old"}, {"x-old", std::string(200, 'o')}},
      {{":method", "GET"}, {":authority", "old.example"}, {":path", "/old2"}, {"x-old", std::string(200, 'o')}}};
  const H2Requests next = {
      {{":method", "GET"}, {":authority", "new.example"}, {":path", "/new"}, {"x-new", "n"}},
      {{":method", "POST"}, {":authority", "new.example"}, {":path", "/n2"}, {"x-new", "n"}}};
  const std::string before = H2Stream(first), after = H2Stream(next);
  // Where the last CONTINUATION frame starts: its HEADERS read, the block not ended.
  std::size_t inBlock = 0;
  for (std::size_t at = 24; at + 9 <= before.size();) {
    if (before[at + 3] == 9) inBlock = at;
    at += 9 + (std::size_t{U(before)[at]} << 16 | std::size_t{U(before)[at + 1]} << 8 | U(before)[at + 2]);
  }
  ASSERT_GT(inBlock, 24u);
  // A CONTINUATION frame of another stream: out of place wherever the reader stands.
  const std::string stray("\x00\x00\x00\x09\x04\x00\x00\x00\x63", 9);
  const std::size_t ends[] = {inBlock, 10, before.size()};  // in a block, in the preface, after the requests
  for (const std::size_t end : ends) {
    for (const bool broken : {false, true}) {
      SCOPED_TRACE(std::to_string(end) + (broken ? " broken" : ""));
      std::vector<HttpsRequest> old, got;
      Http2Reader r([&](HttpsRequest&& q) { old.push_back(q); });
      r.Feed(U(before), end);
      if (broken) r.Feed(U(stray), stray.size());
      EXPECT_EQ(r.Broken(), broken);
      r.Reset([&](HttpsRequest&& q) { got.push_back(q); });
      EXPECT_FALSE(r.Broken());
      r.Feed(U(after), after.size());
      EXPECT_FALSE(r.Broken());
      ExpectRequests(got, next);
      EXPECT_LE(old.size(), first.size());
    }
  }
}

// The inflater's memory: blocks of every size (the small ones kept for reuse, up to the bound) hold what
// is written to them, keep it when grown, and are handed out again once freed.
TEST(HpackMemory, KeepsFreedBlocksWithinItsBoundAndGrowsThemWithTheirBytes) {
  HpackMemory memory;
  std::vector<std::pair<unsigned char*, std::size_t>> blocks;
  for (const std::size_t n : {0, 1, 47, 48, 49, 100, 4000, 8176, 8177, 20000}) {
    auto* p = static_cast<unsigned char*>(memory.Allocate(n));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % 16, 0u);
    std::memset(p, static_cast<int>(n & 0xFF), n);
    blocks.emplace_back(p, n);
  }
  for (auto& [p, n] : blocks) {
    const std::size_t grown = n * 2 + 10;
    auto* q = static_cast<unsigned char*>(memory.Reallocate(p, grown));
    ASSERT_NE(q, nullptr);
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(q[i], static_cast<unsigned char>(n & 0xFF)) << n << " at " << i;
    std::memset(q, 0xAB, grown);
    p = q;
  }
  for (auto& [p, n] : blocks) memory.Free(p);
  EXPECT_GT(memory.KeptBytes(), 0u);
  EXPECT_LE(memory.KeptBytes(), HpackMemory::kMaxKept);
  // A freed block of the same size is handed out again.
  const std::size_t kept = memory.KeptBytes();
  void* again = memory.Allocate(100);
  EXPECT_LT(memory.KeptBytes(), kept);
  memory.Free(again);
  EXPECT_EQ(memory.KeptBytes(), kept);
  // Many blocks freed at once: the bound holds, the rest goes back to the system.
  std::vector<void*> many;
  for (int i = 0; i < 2000; ++i) many.push_back(memory.Allocate(200));
  for (void* p : many) memory.Free(p);
  EXPECT_LE(memory.KeptBytes(), HpackMemory::kMaxKept);
  memory.Free(nullptr);
}

TEST(HpackMemory, KeepsFreedBlocksUpToItsBoundExactly) {
  // 200 bytes take a 256-byte block, header included: kMaxKept holds a whole number of them.
  constexpr std::size_t kBlock = 256;
  static_assert(HpackMemory::kMaxKept % kBlock == 0);
  HpackMemory memory;
  std::vector<void*> blocks;
  for (std::size_t i = 0; i < HpackMemory::kMaxKept / kBlock + 1; ++i) blocks.push_back(memory.Allocate(200));
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    memory.Free(blocks[i]);
    // The block that fills the bound is kept; the one after it goes back to the system.
    EXPECT_EQ(memory.KeptBytes(), std::min((i + 1) * kBlock, HpackMemory::kMaxKept)) << i;
  }
}

// The row's packet, as the downloader reads it again: the scheme, host, path and the headers as sent.
// The fields kept from one request for the next stay within kMaxKeptRequest: a request whose fields
// fill it exactly keeps its buffers, one byte more gives them up. Either way the next request is read
// whole, with no field left over from the one before.
TEST(Http2Reader, KeptFieldsStopAtTheirLimit) {
  // libstdc++'s capacities: the five short names and values sit in 15-byte inline buffers, the padding
  // value is allocated at its length.
  constexpr std::size_t kShort = 5 * 15;
  std::size_t memory[2] = {};
  for (int over = 0; over < 2; ++over) {
    const std::size_t pad = Http2Reader::kMaxKeptRequest - kShort + static_cast<std::size_t>(over);
    const std::vector<std::vector<std::pair<std::string, std::string>>> requests = {
        {{":method", "GET"}, {":path", "/big"}, {"x-pad", std::string(pad, 'p')}},
        {{":method", "GET"}, {":path", "/next"}},
    };
    nghttp2_hd_deflater* deflater = nullptr;
    ASSERT_EQ(nghttp2_hd_deflate_new(&deflater, 4096), 0);
    std::vector<std::string> streams;
    for (std::size_t k = 0; k < requests.size(); ++k) {
      std::string block;
      ASSERT_GT(Deflate(deflater, requests[k], block), 0);
      std::string frames = k == 0 ? "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n" : "";
      const std::uint32_t id = 1 + 2 * static_cast<std::uint32_t>(k);
      // HEADERS, then CONTINUATION frames of at most 16,384 bytes.
      for (std::size_t at = 0; at < block.size(); at += 16384) {
        const std::string part = block.substr(at, 16384);
        const std::size_t n = part.size();
        const bool last = at + 16384 >= block.size();
        frames += static_cast<char>(n >> 16), frames += static_cast<char>(n >> 8), frames += static_cast<char>(n);
        frames += static_cast<char>(at == 0 ? 1 : 9), frames += static_cast<char>((last ? 0x04 : 0) | (at == 0 ? 0x01 : 0));
        for (int b = 24; b >= 0; b -= 8) frames += static_cast<char>(id >> b);
        frames += part;
      }
      streams.push_back(frames);
    }
    nghttp2_hd_deflate_del(deflater);

    std::vector<HttpsRequest> got;
    Http2Reader r([&](HttpsRequest&& q) { got.push_back(q); });  // a copy: the reader keeps its fields
    r.Feed(reinterpret_cast<const std::uint8_t*>(streams[0].data()), streams[0].size());
    ASSERT_EQ(got.size(), 1u);
    memory[over] = r.MemoryBytes();
    r.Feed(reinterpret_cast<const std::uint8_t*>(streams[1].data()), streams[1].size());
    EXPECT_FALSE(r.Broken());
    ASSERT_EQ(got.size(), 2u);
    ASSERT_EQ(got[0].fields.size(), 3u);
    EXPECT_EQ(got[0].fields[2].value.size(), pad);
    ASSERT_EQ(got[1].fields.size(), 2u) << "a field of the request before was left over";
    EXPECT_EQ(got[1].fields[1].value, "/next");
  }
  // Kept at the limit (16 KB more), given up one byte over it. The reader's block buffer may differ by
  // a few hundred bytes between the runs, so half the limit tells the two apart.
  EXPECT_GE(memory[0], memory[1] + Http2Reader::kMaxKeptRequest / 2);
}

TEST(RequestHead, TheDownloaderFetchesOverHttpsWithTheSameHeaders) {
  HttpsRequest r;
  r.fields = {{":method", "GET"}, {":scheme", "https"}, {":authority", "video.example:443"},
              {":path", "/v/clip.mp4?t=1"}, {"user-agent", "Mozilla/5.0"}, {"cookie", "s=1"},
              {"referer", "https://video.example/"}, {"authorization", "Bearer x"}};
  std::string head, scheme;
  ASSERT_TRUE(RequestHead(r, head, scheme));
  const std::string packet = AbsoluteRequestHead(head, scheme);
  EXPECT_EQ(packet.rfind("GET https://video.example/v/clip.mp4?t=1 HTTP/1.1\r\nHost: video.example:443\r\n", 0), 0u);
  const dorrinel::DownloadRequest d = dorrinel::ParseHandedText(packet);
  EXPECT_EQ(d.error, dorrinel::ParseError::kNone);
  EXPECT_EQ(d.scheme, "https");
  EXPECT_EQ(d.host, "video.example");
  EXPECT_EQ(d.target, "/v/clip.mp4?t=1");
  const std::vector<dorrinel::Header> want = {
      {"user-agent", "Mozilla/5.0"}, {"referer", "https://video.example/"}, {"authorization", "Bearer x"},
      {"cookie", "s=1"}};
  EXPECT_EQ(d.headers, want);
  // HTTP/1.1 as sent, on another port: the port stays; no Host header: left as it is.
  EXPECT_EQ(AbsoluteRequestHead("GET /a HTTP/1.1\r\nhost: h:8443\r\n\r\n", "https"),
            "GET https://h:8443/a HTTP/1.1\r\nhost: h:8443\r\n\r\n");
  EXPECT_EQ(AbsoluteRequestHead("GET /a HTTP/1.1\r\nX: y\r\n\r\n", "https"), "GET /a HTTP/1.1\r\nX: y\r\n\r\n");
  // Cookie crumbs joined as sent, empty ones too; "host" gives the Host line only without ":authority".
  r.fields = {{":method", "GET"}, {"cookie", ""},   {":path", "/c"}, {"cookie", "b=1"}, {"host", "hh"},
              {"cookie", ""},     {"x-a", ""},      {"cookie", "c=2"}};
  ASSERT_TRUE(RequestHead(r, head, scheme));
  EXPECT_EQ(head, "GET /c HTTP/1.1\r\nHost: hh\r\nx-a: \r\ncookie: b=1; ; c=2\r\n\r\n");
  r.fields = {{":method", "GET"}, {":path", "/c"}, {"cookie", ""}, {":authority", "a"}, {"host", "hh"}};
  ASSERT_TRUE(RequestHead(r, head, scheme));
  EXPECT_EQ(head, "GET /c HTTP/1.1\r\nHost: a\r\n\r\n");
  // CONNECT names no path: no row.
  r.fields = {{":method", "CONNECT"}, {":authority", "h:443"}};
  EXPECT_FALSE(RequestHead(r, head, scheme));
}

// The row's packet written in one pass is the head made absolute afterwards, byte for byte, whatever
// the fields hold: default ports of either scheme, the Host field or none, spaces and tabs around the
// authority, line breaks and spaces where the request line is read, a target that is not a path.
TEST(RequestHead, PacketHeadIsTheHeadMadeAbsolute) {
  using Fields = std::vector<HeaderField>;
  const Fields cases[] = {
      {{":method", "GET"}, {":scheme", "https"}, {":authority", "video.example:443"}, {":path", "/a?b=1"},
       {"cookie", "x=1"}, {"user-agent", "UA"}, {"cookie", "y=2"}},
      {{":method", "GET"}, {":scheme", "http"}, {":authority", "h:80"}, {":path", "/"}},
      {{":method", "GET"}, {":scheme", "http"}, {":authority", "h:443"}, {":path", "/"}},
      {{":method", "GET"}, {":authority", "h:8443"}, {":path", "/p"}},
      {{":method", "GET"}, {":authority", ":443"}, {":path", "/p"}},
      {{":method", "GET"}, {":authority", " \th:443\t "}, {":path", "/p"}},
      {{":method", "GET"}, {":authority", " \t "}, {":path", "/p"}},
      {{":method", "GET"}, {":authority", ""}, {"host", "from-host"}, {":path", "/p"}},
      {{":method", "GET"}, {":path", "/p"}, {"Host", "upper"}, {"x", "y"}},
      {{":method", "GET"}, {":path", "/p"}},
      {{":method", "G T"}, {":authority", "h"}, {":path", "/p"}},
      {{":method", ""}, {":authority", "h"}, {":path", "/p"}},
      {{":method", "GET\r\nX: 1"}, {":authority", "h"}, {":path", "/p"}},
      {{":method", "GET"}, {":authority", "h\r\nHost: other"}, {":path", "/p"}},
      {{":method", "GET"}, {":authority", "h"}, {":path", "/p q\r\nHost: other"}},
      {{":method", "OPTIONS"}, {":authority", "h"}, {":path", "*"}},
      {{":method", "GET"}, {":authority", "h"}, {":path", "/p"}, {"host", "ignored"}, {":scheme", "ftp"}},
  };
  for (const Fields& fields : cases) {
    HttpsRequest r;
    r.fields = fields;
    std::string head, scheme, packet, packetScheme;
    ASSERT_TRUE(RequestHead(r, head, scheme));
    ASSERT_TRUE(PacketHead(r, packet, packetScheme));
    EXPECT_EQ(packet, AbsoluteRequestHead(head, scheme)) << head;
    EXPECT_EQ(packetScheme, scheme);
  }
  HttpsRequest none;
  none.fields = {{":method", "CONNECT"}, {":authority", "h:443"}};
  std::string packet, scheme;
  EXPECT_FALSE(PacketHead(none, packet, scheme));
}

// --- TLS 1.3 records made here ---

class FakeSecrets : public SecretLookup {
 public:
  std::map<std::pair<int, ClientRandom>, std::string> secrets;
  bool Find(SecretKind kind, const ClientRandom& random, std::string& secret) const override {
    const auto it = secrets.find({static_cast<int>(kind), random});
    if (it == secrets.end()) return false;
    secret = it->second;
    return true;
  }
};

// Seals TLS 1.3 records with AES-128-GCM under one traffic secret.
struct Sealer {
  std::uint8_t key[16], iv[12];
  std::string secret;
  std::uint64_t seq = 0;
  explicit Sealer(const std::string& s) { Set(s); }
  void Set(const std::string& s) {
    secret = s;
    seq = 0;
    const auto* p = reinterpret_cast<const std::uint8_t*>(s.data());
    ExpandLabel(Hash::Sha256, p, s.size(), "key", nullptr, 0, key, 16);
    ExpandLabel(Hash::Sha256, p, s.size(), "iv", nullptr, 0, iv, 12);
  }
  std::string Update() {
    std::string next(32, '\0');
    ExpandLabel(Hash::Sha256, reinterpret_cast<const std::uint8_t*>(secret.data()), secret.size(), "traffic upd",
                nullptr, 0, reinterpret_cast<std::uint8_t*>(next.data()), 32);
    return next;
  }
  std::string Seal(const std::string& inner, std::uint8_t type) {
    std::string plain = inner + static_cast<char>(type);
    const std::size_t len = plain.size() + 16;
    std::string rec = {0x17, 0x03, 0x03, static_cast<char>(len >> 8), static_cast<char>(len)};
    std::uint8_t nonce[12];
    MakeNonce(iv, seq++, nonce);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int n = 0;
    std::string out(plain.size(), '\0');
    std::uint8_t tag[16];
    EVP_EncryptInit_ex(ctx, EVP_aes_128_gcm(), nullptr, key, nonce);
    EVP_EncryptUpdate(ctx, nullptr, &n, reinterpret_cast<const std::uint8_t*>(rec.data()), 5);
    EVP_EncryptUpdate(ctx, reinterpret_cast<std::uint8_t*>(out.data()), &n,
                      reinterpret_cast<const std::uint8_t*>(plain.data()), static_cast<int>(plain.size()));
    EVP_EncryptFinal_ex(ctx, nullptr, &n);
    EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, 16, tag);
    EVP_CIPHER_CTX_free(ctx);
    return rec + out + std::string(reinterpret_cast<char*>(tag), 16);
  }
};

std::string Record(std::uint8_t type, const std::string& body) {
  return std::string{static_cast<char>(type), 0x03, 0x03, static_cast<char>(body.size() >> 8),
                     static_cast<char>(body.size())} +
         body;
}
std::string Handshake(std::uint8_t type, const std::string& body) {
  return std::string{static_cast<char>(type), 0, static_cast<char>(body.size() >> 8), static_cast<char>(body.size())} +
         body;
}

struct Tls13Stream {
  ClientRandom random{};
  std::string hs = std::string(32, 'h'), app = std::string(32, 'a');
  std::string clientHello, serverHello, client;  // client: CCS, Finished, requests, KeyUpdate, request
  std::vector<std::size_t> recordEnds;           // where each of the client's records ends in `client`
  Tls13Stream() {
    random.fill(0x5A);
    Make();
  }
  Tls13Stream(const ClientRandom& r, const std::string& handshakeSecret, const std::string& appSecret)
      : random(r), hs(handshakeSecret), app(appSecret) {
    Make();
  }
  void Make() {
    clientHello = Record(22, Handshake(1, std::string("\x03\x03", 2) +
                                              std::string(reinterpret_cast<char*>(random.data()), 32) +
                                              std::string("\x00\x00\x02\x13\x01\x01\x00\x00\x00", 9)));
    serverHello = Record(22, Handshake(2, std::string("\x03\x03", 2) + std::string(32, 's') +
                                              std::string("\x00\x13\x01\x00\x00\x06\x00\x2b\x00\x02\x03\x04", 12)));
    Sealer h(hs), a(app);
    auto add = [&](const std::string& r) {
      client += r;
      recordEnds.push_back(client.size());
    };
    add(Record(20, "\x01"));
    add(h.Seal(Handshake(20, std::string(32, 'f')), 22));
    add(a.Seal("GET /one.mp4 HTTP/1.1\r\nHost: video.example\r\n\r\n", 23));
    add(a.Seal(Handshake(24, std::string(1, '\0')), 22));  // KeyUpdate
    a.Set(a.Update());
    add(a.Seal("GET /two.mp3 HTTP/1.1\r\nHost: video.example\r\n\r\n", 23));
  }
  void Give(FakeSecrets& s) const {
    s.secrets[{static_cast<int>(SecretKind::ClientHandshake), random}] = hs;
    s.secrets[{static_cast<int>(SecretKind::ClientTraffic0), random}] = app;
  }
};

TEST(ClientRecordReader, Tls13HandshakeKeyThenTrafficKeyThroughAKeyUpdate) {
  const Tls13Stream t;
  FakeSecrets secrets;
  t.Give(secrets);
  std::string data;
  ClientRecordReader r([&](const std::uint8_t* p, std::size_t n) { data.append(reinterpret_cast<const char*>(p), n); });
  r.Feed(U(t.clientHello), t.clientHello.size(), secrets);
  ServerHelloReader sh;
  ASSERT_TRUE(sh.Feed(U(t.serverHello), t.serverHello.size()));
  EXPECT_EQ(sh.Hello().version, 0x0304);
  EXPECT_EQ(sh.Hello().suite, 0x1301);
  // The client's records before the ServerHello is known wait for it.
  r.Feed(U(t.client), t.client.size(), secrets);
  EXPECT_EQ(r.Waiting(), ClientRecordReader::Wait::ServerHello);
  EXPECT_TRUE(data.empty());
  r.SetServerHello(sh.Hello(), secrets);
  EXPECT_EQ(data,
            "GET /one.mp4 HTTP/1.1\r\nHost: video.example\r\n\r\nGET /two.mp3 HTTP/1.1\r\nHost: video.example\r\n\r\n");
  EXPECT_EQ(r.GetState(), ClientRecordReader::State::Encrypted);
}

TEST(ClientRecordReader, ARecordThatDoesNotVerifyStopsTheConnection) {
  const Tls13Stream t;
  FakeSecrets secrets;
  t.Give(secrets);
  // A byte of the second request's record flipped: the first request is read, nothing after it.
  std::string client = t.client;
  client[t.recordEnds[3] + 8] ^= 1;
  std::string data;
  ClientRecordReader r([&](const std::uint8_t* p, std::size_t n) { data.append(reinterpret_cast<const char*>(p), n); });
  ServerHello hello;
  bool retry;
  ParseServerHello(U(t.serverHello) + 9, t.serverHello.size() - 9, hello, retry);
  r.Feed(U(t.clientHello), t.clientHello.size(), secrets);
  r.SetServerHello(hello, secrets);
  r.Feed(U(client), client.size(), secrets);
  EXPECT_EQ(r.GetState(), ClientRecordReader::State::Failed);
  EXPECT_EQ(data, "GET /one.mp4 HTTP/1.1\r\nHost: video.example\r\n\r\n");
}

// A record reader kept from a connection that failed, or that stopped with a record half read, and made
// new reads another connection (another random, other secrets) as a new reader does.
TEST(ClientRecordReader, MadeNewReadsTheNextConnectionAsANewReader) {
  const Tls13Stream t;
  ClientRandom otherRandom;
  otherRandom.fill(0x33);
  const Tls13Stream other(otherRandom, std::string(32, 'H'), std::string(32, 'A'));
  FakeSecrets secrets;
  t.Give(secrets);
  other.Give(secrets);
  ServerHello hello;
  bool retry;
  ParseServerHello(U(t.serverHello) + 9, t.serverHello.size() - 9, hello, retry);
  for (const bool failed : {false, true}) {
    SCOPED_TRACE(failed ? "failed" : "half a record");
    std::string client = t.client.substr(0, t.recordEnds[2] + 7);
    if (failed) client = t.client, client[t.recordEnds[3] + 8] ^= 1;
    std::string data;
    ClientRecordReader r([&](const std::uint8_t* p, std::size_t n) { data.append(reinterpret_cast<const char*>(p), n); });
    r.Feed(U(t.clientHello), t.clientHello.size(), secrets);
    r.SetServerHello(hello, secrets);
    r.Feed(U(client), client.size(), secrets);
    EXPECT_EQ(r.GetState(), failed ? ClientRecordReader::State::Failed : ClientRecordReader::State::Encrypted);
    std::string next;
    r.Reset([&](const std::uint8_t* p, std::size_t n) { next.append(reinterpret_cast<const char*>(p), n); });
    EXPECT_EQ(r.GetState(), ClientRecordReader::State::Plain);
    EXPECT_FALSE(r.HasRandom() || r.HasServerHello() || r.KeyFound() || r.Decrypted());
    EXPECT_EQ(r.HeldBytes(), 0u);
    r.Feed(U(other.clientHello), other.clientHello.size(), secrets);
    EXPECT_EQ(r.Random(), other.random);
    r.SetServerHello(hello, secrets);
    r.Feed(U(other.client), other.client.size(), secrets);
    EXPECT_EQ(next,
              "GET /one.mp4 HTTP/1.1\r\nHost: video.example\r\n\r\nGET /two.mp3 HTTP/1.1\r\nHost: video.example\r\n\r\n");
    EXPECT_EQ(r.GetState(), ClientRecordReader::State::Encrypted);
    EXPECT_EQ(r.Skipped(), 0u);
  }
}

// --- the session: a connection's records held until its key is written ---

struct SessionFeed {
  HttpsSession session;
  std::uint8_t client[4] = {198, 51, 100, 1}, server[4] = {198, 51, 100, 2};
  std::uint32_t cseq = 1000, sseq = 5000;
  std::vector<HttpsFind> out;
  void Send(bool fromClient, const std::string& payload, std::uint8_t flags, double seconds) {
    TcpSegmentView s;
    s.src = fromClient ? client : server;
    s.dst = fromClient ? server : client;
    s.sport = fromClient ? 40000 : 443;
    s.dport = fromClient ? 443 : 40000;
    std::uint32_t& seq = fromClient ? cseq : sseq;
    s.seq = seq;
    s.flags = flags;
    s.payload = U(payload);
    s.length = payload.size();
    seq += static_cast<std::uint32_t>(payload.size()) + ((flags & 0x02) ? 1 : 0);
    session.Segment(s, seconds, out);
  }
};

TEST(HttpsSession, HoldsRecordsUntilTheKeyIsWrittenAndGivesUpAfterFiveSeconds) {
  const std::string dir = TempDir(), path = dir + "/keys";
  WriteFile(path, "");
  const Tls13Stream t;
  for (bool late : {false, true}) {
    SessionFeed f;
    f.session.SetKeyLogFiles({path});
    f.session.StartSession();
    f.Send(true, "", 0x02, 10.0);  // SYN
    f.Send(false, "", 0x12, 10.0);
    f.Send(true, t.clientHello, 0x18, 10.0);
    f.Send(false, t.serverHello, 0x18, 10.1);
    f.Send(true, t.client, 0x18, 10.2);
    EXPECT_TRUE(f.out.empty());
    EXPECT_EQ(f.session.Counts().connections, 1u);
    EXPECT_EQ(f.session.Counts().withoutKeys, 1u);  // so far
    if (late) f.Send(false, "", 0x10, 16.0);        // past the hold
    WriteFile(path,
              "CLIENT_HANDSHAKE_TRAFFIC_SECRET " + Hex(t.random.data(), 32) + " " + Hex(U(t.hs), 32) + "\n" +
                  "CLIENT_TRAFFIC_SECRET_0 " + Hex(t.random.data(), 32) + " " + Hex(U(t.app), 32) + "\n");
    std::this_thread::sleep_for(KeyLog::kPollInterval + std::chrono::milliseconds(50));
    f.Send(false, "", 0x10, late ? 16.5 : 11.0);  // the server's ACK: the held records are read
    const HttpsCounts c = f.session.Counts();
    if (!late) {
      ASSERT_EQ(f.out.size(), 2u);
      EXPECT_EQ(f.out[0].head, "GET /one.mp4 HTTP/1.1\r\nHost: video.example\r\n\r\n");
      EXPECT_EQ(f.out[1].port, 443);
      EXPECT_EQ(c.decrypted, 1u);
      EXPECT_EQ(c.withoutKeys, 0u);
    } else {
      EXPECT_TRUE(f.out.empty());
      EXPECT_EQ(c.withoutKeys, 1u);
      EXPECT_EQ(f.session.ConnectionCount(), 0u);
    }
    EXPECT_EQ(c.connections, c.decrypted + c.withoutKeys + c.failed);
    WriteFile(path, "");
  }
  std::remove(path.c_str());
  ::rmdir(dir.c_str());
}

TEST(HttpsSession, StaysWithinItsBoundsAndCountsDrops) {
  SessionFeed f;
  const std::string dir = TempDir(), path = dir + "/keys";
  WriteFile(path, "");
  f.session.SetKeyLogFiles({path});
  f.session.StartSession();
  const Tls13Stream t;
  const std::string big(200 * 1024, 'x');
  for (int i = 0; i < 5000; ++i) {
    f.client[3] = static_cast<std::uint8_t>(i);
    f.client[2] = static_cast<std::uint8_t>(i >> 8);
    f.cseq = 1000;
    f.Send(true, t.clientHello, 0x18, 1.0);
    // Bytes ahead of a hole (the first segment missing) on a few connections.
    if (i % 50 == 0) {
      f.cseq += 10;
      f.Send(true, big, 0x10, 1.0);
    }
  }
  EXPECT_LE(f.session.ConnectionCount(), HttpsSession::kMaxConnections);
  EXPECT_LE(f.session.BytesHeld(), HttpsSession::kMaxTotalBytes);
  EXPECT_GT(f.session.Dropped(), 0u);
  const HttpsCounts c = f.session.Counts();
  EXPECT_EQ(c.connections, 5000u);
  EXPECT_EQ(c.connections, c.decrypted + c.withoutKeys + c.failed);
  // Every connection but the last goes idle at once: of their readers, a few are kept for the next
  // connections, no more.
  f.Send(false, "x", 0x18, 1000.0);
  EXPECT_EQ(f.session.ConnectionCount(), 1u);
  EXPECT_EQ(f.session.SpareRecordReaders(), HttpsSession::kSpareReaders);
  std::remove(path.c_str());
  ::rmdir(dir.c_str());
}

}  // namespace
}  // namespace qv::tls
