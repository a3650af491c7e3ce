#include "urls/request_parser.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "common/texts.h"

namespace qv {
namespace {

class RecordingSink : public UrlSink {
 public:
  void Insert(UrlInsertion&& insertion) override { got.push_back(std::move(insertion)); }
  std::vector<std::string> Addresses() const {
    std::vector<std::string> out;
    for (const auto& i : got) out.push_back(i.address);
    return out;
  }
  std::vector<UrlInsertion> got;
};

using Strings = std::vector<std::string>;

// .mp3 audio, .jpg/.gif pictures, .rm video; .php known but unchecked.
FileTypeSnapshot Table(bool undefinedTypes) {
  return FileTypeSnapshot()
      .WithEntry(0, ".rm", true)
      .WithEntry(1, ".mp3", true)
      .WithEntry(2, ".jpg", true)
      .WithEntry(2, ".gif", true)
      .WithEntry(3, ".php", false)
      .WithUndefinedTypes(undefinedTypes);
}

class SearchsTest : public ::testing::Test {
 protected:
  SearchsTest() {
    ctx.adPageLower = "http://www.quelvar.example/admax.htm";
    ctx.browserLocationLower = "http://www.quelvar.example/";
    ctx.types = std::make_shared<const FileTypeSnapshot>(Table(true));
    ctx.sink = &sink;
  }
  Strings Run(const std::string& payload, bool outbound = true) {
    sink.got.clear();
    Searchs(payload, "10.0.0.5:80", outbound, ctx);
    return sink.Addresses();
  }
  RecordingSink sink;
  SearchContext ctx;
};

TEST_F(SearchsTest, RequestLineForm) {
  const struct {
    std::string payload;
    Strings out;
  } cases[] = {
      {"GET /music/a.mp3 HTTP/1.1\r\nHost: h.example\r\n\r\n", {"http://h.example/music/a.mp3"}},
      {"POST /up.cgi HTTP/1.1\r\nHost: h.example:8080\r\n\r\n", {"http://h.example:8080/up.cgi"}},
      {"GET /a.mp3?x=1#f HTTP/1.1\r\nHost:  h.example \r\n", {"http://h.example/a.mp3?x=1#f"}},
      // Absolute form: no host added, no version kept.
      {"GET http://h.example/a.mp3 HTTP/1.1\r\nHost: other.example\r\n", {"http://h.example/a.mp3"}},
      // "://" in the query also makes the absolute form: the target alone.
      {"GET /r?u=http://x.example/y HTTP/1.1\r\nHost: h.example\r\n", {"/r?u=http://x.example/y"}},
      // The first "ET " wins over an earlier "OST ".
      {"POST /a.php HTTP/1.1\r\nHost: h.example\r\nX-A: SET /b.mp3 1\r\n", {"http://h.example/b.mp3"}},
      // No "/" in the line: the target is the line cut before its last space, taken without a host.
      {"GET abc 1\r\nHost: h.example\r\n", {"GET abc"}},
      // The form is chosen, then the case-sensitive "Host:" is missing: nothing, and no scan either.
      {"GET /a.mp3 HTTP/1.1\r\nHOST: h.example\r\nReferer: http://r.example/x.jpg\r\n", {}},
      {"GET /a.mp3 HTTP/1.1\r\nhost: h.example\r\n", {}},
      // Host line without an end.
      {"GET /a.mp3 HTTP/1.1\r\nX: http://r.example/x.jpg\r\nHost: h.example", {}},
      // Empty targets: no line end after the request line, no version after the target.
      {"X-Host: a\r\nGET /a.mp3 HTTP/1.1 http://r.example/x.jpg", {}},
      {"GET /a.mp3\r\nHost: h.example\r\n", {}},
      {"GET http://h.example/a.mp3\r\nHost: h.example\r\n", {}},
      // Known but unchecked extension.
      {"GET /index.php HTTP/1.1\r\nHost: h.example\r\n", {}},
      // A carriage return only at the first two bytes does not choose the request-line form.
      {"\r\rGET /a.mp3 HTTP/1.1 Host: h.example see http://s.example/b.mp3 x", {"http://s.example/b.mp3"}},
  };
  for (const auto& c : cases) EXPECT_EQ(Run(c.payload, false), c.out) << c.payload;
}

TEST_F(SearchsTest, RequestLineInsertionIsAlwaysOutboundAndCarriesThePacket) {
  const std::string payload = "GET /music/a.mp3 HTTP/1.1\r\nHost: h.example\r\n\r\n";
  ctx.types = std::make_shared<const FileTypeSnapshot>(Table(true).WithDuplicates(true));
  Run(payload, /*outbound=*/false);
  ASSERT_EQ(sink.got.size(), 1u);
  const UrlInsertion& ins = sink.got[0];
  EXPECT_EQ(ins.kind, InsertionKind::RequestLine);
  EXPECT_EQ(ins.category, texts::kCatAudio);
  EXPECT_EQ(ins.direction, Direction::Outbound);
  EXPECT_FALSE(ins.outbound);
  EXPECT_TRUE(ins.duplicates);
  ASSERT_TRUE(ins.record);
  EXPECT_EQ(ins.record->Remote, "10.0.0.5:80");
  EXPECT_EQ(ins.record->Packet, payload);
}

TEST_F(SearchsTest, LearnedOffsetIsSetOnceWhateverTheCategory) {
  ctx.types = std::make_shared<const FileTypeSnapshot>(Table(false));
  // Not listed (no known type), yet the offset of the method is learned.
  EXPECT_EQ(Run("\xA5\xFExGET /page HTTP/1.1\r\nHost: h.example\r\n"), Strings{});
  EXPECT_EQ(ctx.learnedOffset, 3);
  EXPECT_EQ(Run("GET /a.mp3 HTTP/1.1\r\nHost: h.example\r\n"), Strings{"http://h.example/a.mp3"});
  EXPECT_EQ(ctx.learnedOffset, 3);

  ctx.learnedOffset = -1;
  Run("GET http://h.example/a.mp3 HTTP/1.1\r\nHost: h.example\r\n");
  EXPECT_EQ(ctx.learnedOffset, 0);
}

TEST_F(SearchsTest, AdPageBrowserPageAndDroppedRequestsLeaveTheOffsetAlone) {
  const std::string ignored[] = {
      "GET /ADMAX.htm HTTP/1.1\r\nHost: WWW.Quelvar.example\r\n",
      "GET / HTTP/1.1\r\nHost: www.quelvar.example\r\n",
      "xxGET /a.mp3\r\nHost: h.example\r\n",       // empty target
      "xxGET /a.mp3 HTTP/1.1\r\nHost: h.example",  // host line without an end
  };
  for (const std::string& payload : ignored) {
    EXPECT_EQ(Run(payload), Strings{}) << payload;
    EXPECT_EQ(ctx.learnedOffset, -1) << payload;
  }
  // The scan form lists its addresses but never learns an offset.
  EXPECT_EQ(Run("junk http://h.example/a.mp3 junk\r\nmore http://h.example/b.mp3\r\n"),
            (Strings{"http://h.example/a.mp3", "http://h.example/b.mp3"}));
  EXPECT_EQ(ctx.learnedOffset, -1);
}

TEST_F(SearchsTest, ScanForm) {
  const struct {
    std::string payload;
    Strings out;
  } cases[] = {
      {"<a href=\"http://h.example/a/b.mp3\">x</a>", {"http://h.example/a/b.mp3"}},
      {"DESCRIBE rtsp://m.example/live.rm RTSP/1.0\r\nCSeq: 1\r\n", {"rtsp://m.example/live.rm"}},
      {"SETUP rtsp://m.example/live.rm/streamid=0\r\n", {"rtsp://m.example/live.rm"}},
      {"SETUP RTSP://m.example/live.rm/StreamId=1 RTSP/1.0\r\n", {"rtsp://m.example/live.rm"}},
      {"PLAY rtsp://m.example/clip.rm/audio\r\n", {"rtsp://m.example/clip.rm"}},
      {"PLAY rtsp://m.example/clip.rm/RTX\r\n", {"rtsp://m.example/clip.rm"}},
      {"see http://h.example/x.jpg for details\r\n", {"http://h.example/x.jpg"}},
      {"link: http://h.example/dir/\r\n", {"http://h.example/dir"}},
      {"link: http://h.example/dir\\\r\n", {"http://h.example/dir"}},
      {"link: HTTP://h.example/p.gif\r\n", {"http://h.example/p.gif"}},
      {"link: http://h.example/\r\n", {}},
      {"link: http://h.x/\r\n", {}},
      {"link: http://h.example/a.mp3#t=10\r\n", {"http://h.example/a.mp3"}},
      {"link: http://h.example/music/videos.flv\r\n", {"http://h.example/music"}},
      {"x http://a.example/go?u=http://b.example/x.mp3\r\n",
       {"http://a.example/go?u=http:", "http://b.example/x.mp3"}},
      {"x http://h.example/a.mp3 HTTP/1.1\r\n", {"http://h.example/a.mp3 HTTP/1.1"}},
      {"x http://h.example/a.mp3 HTTP/1.0\r\n", {"http://h.example/a.mp3"}},
      // MMS parameters are cut to whole groups of eight bytes.
      {"xx mms://m.example/a.asf?x=123456789\r\n", {"mms://m.example/a.asf?x=12345678"}},
      {"xx mms://m.example/a.asf?x=1234567\r\n", {"mms://m.example/a.asf?x=1234567"}},
      {"xx MMS://m.example/a.asf?x=12345678abcdefgh1\r\n", {"mms://m.example/a.asf?x=12345678abcdefgh"}},
      // Ends: carriage return, NUL marker, " < > * | '.
      {std::string("x http://h.example/a.mp3\xA5\xFEtail"), {"http://h.example/a.mp3"}},
      {"x http://h.example/a.mp3<b http://h.example/b.mp3>c", {"http://h.example/a.mp3", "http://h.example/b.mp3"}},
      {"x 'http://h.example/a.mp3' *http://h.example/b.mp3*|", {"http://h.example/a.mp3", "http://h.example/b.mp3"}},
      // Ends are looked for from the second byte after "://"; the quote is cut after acceptance.
      {"xxxxxx http://\"h.example/a.mp3\"", {"http://"}},
      // Schemes: at most six letters, ended by a digit, "+" or "-".
      {"xxxxxxabcdefg://h.example/a.mp3\r\n", {"bcdefg://h.example/a.mp3"}},
      {"x svn+ssh://h.example/a.mp3\r\n", {"ssh://h.example/a.mp3"}},
      {"xxxxs3://h.example/a.mp3\r\n", {}},
      // "://" within the first six bytes gives no scheme.
      {"ab://cd.example/a.mp3 and more text", {}},
      {"abc://h.example/a.mp3 and more text", {}},
      {"http://h.example/a.mp3 and more text", {}},
      {"rtsps://h.example/a.mp3 and more text", {}},
      {" rtsps://h.example/a.mp3 and more text", {"rtsps://h.example/a.mp3"}},
      // Host bytes of 0x80 and above skip the candidate; path bytes are kept.
      {"x http://h\xC4\xE3.example/a.mp3\r\n", {}},
      {"x http://h.example/\xC4\xE3.mp3\r\n", {"http://h.example/\xC4\xE3.mp3"}},
      // Searches for the last "/" skip the trail byte of a double-byte character: no track cut here.
      {"x http://h.example/v\x81/video.rm\r\n", {"http://h.example/v\x81/video.rm"}},
      // "rtsp/" after the last space is looked for case-insensitively; not found otherwise.
      {"x rtsp://m.example/a.rm rtsp/1.0\r\n", {"rtsp://m.example/a.rm"}},
      // A path after the query is cut.
      {"x http://h.example/a.mp3?u=x/y.jpg\r\n", {"http://h.example/a.mp3?u=x"}},
  };
  for (const auto& c : cases) EXPECT_EQ(Run(c.payload), c.out) << c.payload;
}

TEST_F(SearchsTest, ScanInsertionsFollowThePacketAndShareOneRecord) {
  const std::string payload = "x http://h.example/a.mp3\r\ny rtsp://m.example/live\r\n";
  Run(payload, /*outbound=*/false);
  ASSERT_EQ(sink.got.size(), 2u);
  EXPECT_EQ(sink.got[0].kind, InsertionKind::Scan);
  EXPECT_EQ(sink.got[0].direction, Direction::Inbound);
  EXPECT_FALSE(sink.got[0].outbound);
  EXPECT_EQ(sink.got[0].category, texts::kCatAudio);
  EXPECT_EQ(sink.got[1].category, texts::kCatAudioVideo);
  EXPECT_EQ(sink.got[0].record, sink.got[1].record);
  EXPECT_EQ(sink.got[0].record->Packet, payload);

  Run(payload, /*outbound=*/true);
  ASSERT_EQ(sink.got.size(), 2u);
  EXPECT_EQ(sink.got[1].direction, Direction::Outbound);
  EXPECT_TRUE(sink.got[1].outbound);
}

TEST_F(SearchsTest, UnlistedAddressesAreNotHandedOn) {
  ctx.types = std::make_shared<const FileTypeSnapshot>(Table(false));
  EXPECT_EQ(Run("x http://h.example/music/videos.flv\r\ny http://h.example/i.php\r\nz http://h.example/a.jpg\r\n"),
            Strings{"http://h.example/a.jpg"});
}

}  // namespace
}  // namespace qv

namespace qv {
namespace {

// The one-pass marker search, with its wide kernel where the processor has one and with the
// baseline kernel alone, must give what three separate finds give, for every length around its
// sixteen- and thirty-two-byte steps and markers that overlap block edges.
TEST(FindMarksTest, AgreesWithSeparateFinds) {
  std::string s;
  unsigned seed = 11;
  for (int round = 0; round < 6000; ++round) {
    s.clear();
    const int len = round % 150;
    for (int i = 0; i < len; ++i) {
      seed = seed * 1103515245 + 12345;
      s += "ETOS :/x\x01"[(seed >> 16) % 9];
    }
    const std::string_view v(s);
    for (const PayloadMarks& m : {FindMarks(v), FindMarksBaseline(v)}) {
      ASSERT_EQ(m.get, v.find("ET ")) << s;
      if (m.get == std::string_view::npos) {
        ASSERT_EQ(m.post, v.find("OST ")) << s;
      }
      ASSERT_EQ(m.separator, v.find("://")) << s;
    }
  }
}

}  // namespace
}  // namespace qv
