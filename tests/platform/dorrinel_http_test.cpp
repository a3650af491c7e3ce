#include "tools/Dorrinel/http_fetch.h"

#include <gtest/gtest.h>

#include <set>

namespace dorrinel {
namespace {

using namespace std::string_literals;

TEST(NulMarkersTest, MarkersBecomeZeroBytesReadFromTheFirstByte) {
  const std::pair<std::string, std::string> cases[] = {
      {"a\xA5\xFE" "b", "a\0b"s},
      {"\xA5\xA5\xFE", "\xA5\0"s},
      {"\xA5\xFE\xA5\xFE", "\0\0"s},
      {"end\xA5", "end\xA5"},
      {"\xFE\xA5", "\xFE\xA5"},
  };
  for (const auto& [text, bytes] : cases) EXPECT_EQ(NulMarkersToZeros(text), bytes);
}

TEST(PrepareRequestTest, KeepsTheRequestButAsksForTheWholeFileAndAClose) {
  const std::string captured =
      "GET /media/song.mp3?sid=7 HTTP/1.1\r\n"
      "Host: cdn.example:8080\r\n"
      "Connection: keep-alive\r\n"
      "User-Agent: \xB2\xE2\xCA\xD4\r\n"  // GBK bytes pass unchanged
      "Range: bytes=1000-\r\n"
      "If-None-Match: \"abc\"\r\n"
      "accept-encoding: gzip\r\n"
      "Cookie: a=b\r\n"
      "\r\n"
      "body\0bytes"s;
  const PreparedRequest r = PrepareRequest(captured);
  ASSERT_EQ(r.error, RequestError::kNone);
  EXPECT_EQ(r.host, "cdn.example");
  EXPECT_EQ(r.port, 8080);
  EXPECT_EQ(r.fileName, "song.mp3");
  EXPECT_EQ(r.bytes,
            "GET /media/song.mp3?sid=7 HTTP/1.1\r\n"
            "Host: cdn.example:8080\r\n"
            "User-Agent: \xB2\xE2\xCA\xD4\r\n"
            "Cookie: a=b\r\n"
            "Connection: close\r\n"
            "\r\n"
            "body\0bytes"s);
}

TEST(PrepareRequestTest, HeaderBlockCutShortOrWithBareLineFeedsIsClosed) {
  EXPECT_EQ(PrepareRequest("GET /a.txt HTTP/1.1\nHost: h\nAccept: */*").bytes,
            "GET /a.txt HTTP/1.1\r\nHost: h\r\nAccept: */*\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(PrepareRequest("GET /a.txt HTTP/1.0\nHost: h\n\n").bytes,
            "GET /a.txt HTTP/1.0\r\nHost: h\r\nConnection: close\r\n\r\n");
}

TEST(PrepareRequestTest, HostAndPortForms) {
  struct Case {
    std::string request;
    RequestError error;
    std::string host;
    int port;
  };
  const Case cases[] = {
      {"GET / HTTP/1.1\r\nHost: a.example\r\n\r\n", RequestError::kNone, "a.example", 80},
      {"GET / HTTP/1.1\r\nhOST:   a.example:81  \r\n\r\n", RequestError::kNone, "a.example", 81},
      {"GET / HTTP/1.1\r\nHost: [::1]:8081\r\n\r\n", RequestError::kNone, "::1", 8081},
      {"GET / HTTP/1.1\r\nHost: [::1]\r\n\r\n", RequestError::kNone, "::1", 80},
      {"GET http://b.example:82/x.mp3 HTTP/1.1\r\nAccept: */*\r\n\r\n", RequestError::kNone, "b.example", 82},
      {"GET http://b.example/x HTTP/1.1\r\nHost: c.example\r\n\r\n", RequestError::kNone, "c.example", 80},
      {"GET / HTTP/1.1\r\nHost: a:0\r\n\r\n", RequestError::kBadPort, "", 0},
      {"GET / HTTP/1.1\r\nHost: a:65536\r\n\r\n", RequestError::kBadPort, "", 0},
      {"GET / HTTP/1.1\r\nHost: a:8x\r\n\r\n", RequestError::kBadPort, "", 0},
      {"GET / HTTP/1.1\r\nAccept: */*\r\n\r\n", RequestError::kNoHost, "", 0},
      {"GET / HTTP/1.1\r\nHost:\r\n\r\n", RequestError::kNoHost, "", 0},
      {"GET / HTTP/1.1\r\nX-Host: a\r\n\r\n", RequestError::kNoHost, "", 0},
      {"\xA5\xFE garbage without a request line", RequestError::kNotHttp, "", 0},
      {"GET /only-two-parts\r\nHost: a\r\n\r\n", RequestError::kNotHttp, "", 0},
      {" \r\n ", RequestError::kEmpty, "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request);
    const PreparedRequest r = PrepareRequest(c.request);
    EXPECT_EQ(r.error, c.error);
    if (c.error == RequestError::kNone) {
      EXPECT_EQ(r.host, c.host);
      EXPECT_EQ(r.port, c.port);
    }
  }
  EXPECT_EQ(PrepareRequest("GET http://b.example:82/d/x.mp3?q HTTP/1.1\r\n\r\n").fileName, "x.mp3");
}

TEST(FileNameTest, LastSegmentDecodedAndNeverUnsafe) {
  const std::pair<std::string, std::string> cases[] = {
      {"/a/b/song.mp3?x=1/y.z#f", "song.mp3"},
      {"x.mp3", "x.mp3"},
      {"/%E4%B8%AD%E6%96%87.txt", "中文.txt"},  // UTF-8 escapes
      {"/%D6%D0%CE%C4.txt", "中文.txt"},        // GBK escapes
      {"/\xD6\xD0\xCE\xC4.txt", "中文.txt"},    // raw GBK bytes
      {"/a%20b%2", "a b%2"},
      {"/", "download.bin"},
      {"/dir/", "download.bin"},
      {"", "download.bin"},
      {"/..", "download.bin"},
      {"/%2e%2E", "download.bin"},
      {"/.", "download.bin"},
      {"/a%2F..%2Fb", "download.bin"},
      {"/a%00b", "download.bin"},
      {"/a%0Ab", "download.bin"},
      {"/" + std::string(300, 'n'), "download.bin"},
  };
  for (const auto& [target, name] : cases) {
    SCOPED_TRACE(target);
    EXPECT_EQ(FileNameFromTarget(target), name);
  }
}

TEST(FileNameTest, TakenNamesGetANumber) {
  const std::set<std::string> taken = {"a.mp3", "a(1).mp3", ".bashrc", "noext"};
  auto isTaken = [&](const std::string& n) { return taken.count(n) > 0; };
  EXPECT_EQ(UniqueFileName("a.mp3", isTaken), "a(2).mp3");
  EXPECT_EQ(UniqueFileName(".bashrc", isTaken), ".bashrc(1)");
  EXPECT_EQ(UniqueFileName("noext", isTaken), "noext(1)");
  EXPECT_EQ(UniqueFileName("free.txt", isTaken), "free.txt");
}

// Feeds an answer in pieces of `step` bytes (0: all at once) and collects the body.
struct Outcome {
  bool fed = true;
  bool finished = false;
  std::string body;
  ResponseReader reader;
};
Outcome Read(const std::string& answer, std::size_t step, bool close = true) {
  Outcome o;
  auto sink = [&](std::string_view part) {
    o.body.append(part);
    return true;
  };
  if (step == 0) step = answer.size() + 1;
  for (std::size_t i = 0; i < answer.size() && o.fed; i += step) o.fed = o.reader.Feed(answer.substr(i, step), sink);
  if (close) o.finished = o.reader.Finish();
  return o;
}

TEST(ResponseReaderTest, BodiesOfEveryFramingInAnyPieces) {
  const std::string binary = "bin\0ary\r\n\r\nend"s;
  struct Case {
    std::string answer;
    std::string body;
  };
  const Case cases[] = {
      {"HTTP/1.1 200 OK\r\nContent-Length: 14\r\n\r\n" + binary + "EXTRA", binary},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
       "4;ext=1\r\nbin\0\r\n"s
       "A\r\nary\r\n\r\nend\r\n"
       "0\r\nX-Trailer: t\r\n\r\n",
       binary},
      {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabc", "abc"},
      {"HTTP/1.0 200 OK\nContent-Type: x\n\n" + binary, binary},  // up to the close
      {"HTTP/1.1 204 No Content\r\n\r\n", ""},
      {"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", ""},
  };
  for (const Case& c : cases) {
    for (std::size_t step : {std::size_t{0}, std::size_t{1}, std::size_t{7}}) {
      SCOPED_TRACE(c.answer.substr(0, 40) + " step " + std::to_string(step));
      const Outcome o = Read(c.answer, step);
      EXPECT_TRUE(o.fed) << o.reader.error();
      EXPECT_TRUE(o.finished) << o.reader.error();
      EXPECT_EQ(o.body, c.body);
      EXPECT_EQ(o.reader.status(), c.answer.find("204") != std::string::npos ? 204 : 200);
    }
  }
}

TEST(ResponseReaderTest, CutOrMalformedAnswersAreNotComplete) {
  const std::string cut[] = {
      "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nshort",
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nabcde\r\n",
      "HTTP/1.1 200 OK\r\nContent-Len",
      "",
  };
  for (const std::string& answer : cut) {
    SCOPED_TRACE(answer);
    const Outcome o = Read(answer, 3);
    EXPECT_FALSE(o.finished);
    EXPECT_FALSE(o.reader.error().empty());
  }
  const std::string malformed[] = {
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n",
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nabX\r\n",
      "HTTP/1.1 200 OK\r\nContent-Length: 1x\r\n\r\n",
      "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\n",
      "SSH-2.0-OpenSSH\r\n\r\n",
  };
  for (const std::string& answer : malformed) {
    SCOPED_TRACE(answer);
    const Outcome o = Read(answer, 0, false);
    EXPECT_FALSE(o.fed);
    EXPECT_EQ(o.reader.state(), ResponseReader::State::kError);
  }
}

TEST(ResponseReaderTest, StatusReasonHeadersAndARefusingSink) {
  ResponseReader r;
  const bool fed = r.Feed("HTTP/1.1 302 Found\r\nlocation: http://x.example/f\r\nContent-Length: 4\r\n\r\nbody",
                          [](std::string_view) { return false; });
  EXPECT_FALSE(fed);
  EXPECT_EQ(r.status(), 302);
  EXPECT_EQ(r.reason(), "Found");
  EXPECT_EQ(r.Header("Location"), "http://x.example/f");
  EXPECT_EQ(r.Header("Missing"), std::nullopt);
  EXPECT_EQ(r.contentLength(), 4u);
}

}  // namespace
}  // namespace dorrinel
