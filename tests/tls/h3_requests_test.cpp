// The QPACK path checked against libnghttp3's own encoder: fields encoded there come out here whole,
// whatever order the streams' bytes arrive in.
#include "tls/h3_requests.h"

#include <gtest/gtest.h>
#include <nghttp3/nghttp3.h>

#include <algorithm>
#include <string>
#include <vector>

namespace qv::tls {

bool operator==(const HeaderField& a, const HeaderField& b) { return a.name == b.name && a.value == b.value; }
void PrintTo(const HeaderField& f, std::ostream* os) { *os << f.name << ": " << f.value; }

namespace {

using Fields = std::vector<HeaderField>;

std::string Varint(std::uint64_t v) {
  std::string out;
  if (v < 64) out.push_back(static_cast<char>(v));
  else if (v < 16384) out += {static_cast<char>(0x40 | v >> 8), static_cast<char>(v)};
  else out += {static_cast<char>(0x80 | v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
  return out;
}

std::string Frame(std::uint64_t type, const std::string& payload) { return Varint(type) + Varint(payload.size()) + payload; }

// libnghttp3's encoder with a dynamic table: each request's HEADERS frame and the encoder stream.
class Encoder {
 public:
  explicit Encoder(std::size_t capacity = 4096) {
    nghttp3_qpack_encoder_new(&enc_, capacity, nghttp3_mem_default());
    nghttp3_qpack_encoder_set_max_dtable_capacity(enc_, capacity);
    nghttp3_qpack_encoder_set_max_blocked_streams(enc_, 16);
  }
  ~Encoder() { nghttp3_qpack_encoder_del(enc_); }
  // The HEADERS frame of `fields` on stream `id`; the encoder instructions it needs go to encoderStream.
  std::string Headers(std::int64_t id, const Fields& fields, bool acked = true) {
    std::vector<nghttp3_nv> nva;
    for (const HeaderField& f : fields)
      nva.push_back({reinterpret_cast<std::uint8_t*>(const_cast<char*>(f.name.data())),
                     reinterpret_cast<std::uint8_t*>(const_cast<char*>(f.value.data())), f.name.size(),
                     f.value.size(), NGHTTP3_NV_FLAG_NONE});
    nghttp3_buf pbuf, rbuf, ebuf;
    nghttp3_buf_init(&pbuf);
    nghttp3_buf_init(&rbuf);
    nghttp3_buf_init(&ebuf);
    EXPECT_EQ(nghttp3_qpack_encoder_encode(enc_, &pbuf, &rbuf, &ebuf, id, nva.data(), nva.size()), 0);
    auto text = [](const nghttp3_buf& b) { return std::string(reinterpret_cast<const char*>(b.pos), b.last - b.pos); };
    const std::string block = text(pbuf) + text(rbuf);
    encoderStream += text(ebuf);
    if (acked) nghttp3_qpack_encoder_ack_everything(enc_);
    nghttp3_buf_free(&pbuf, nghttp3_mem_default());
    nghttp3_buf_free(&rbuf, nghttp3_mem_default());
    nghttp3_buf_free(&ebuf, nghttp3_mem_default());
    return Frame(0x01, block);
  }
  std::string encoderStream = "\x02";  // the stream type first

 private:
  nghttp3_qpack_encoder* enc_ = nullptr;
};

Fields Request(const std::string& authority, const std::string& path) {
  return {{":method", "GET"},
          {":scheme", "https"},
          {":authority", authority},
          {":path", path},
          {"user-agent", "Mozilla/5.0 (X11; Linux x86_64) Chrome/120.0"},
          {"referer", "https://" + authority + "/watch?v=1"},
          {"cookie", "session=abc123; theme=dark"},
          {"authorization", "Bearer 0123456789"},
          {"accept", "*/*"}};
}

void Feed(H3Requests& h3, std::uint64_t id, std::uint64_t offset, const std::string& bytes, bool fin,
          std::vector<HttpsRequest>& out) {
  h3.StreamData(id, offset, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), fin, out);
}

std::vector<Fields> FieldsOf(const std::vector<HttpsRequest>& out) {
  std::vector<Fields> all;
  for (const HttpsRequest& r : out) all.push_back(r.fields);
  return all;
}


const std::vector<Fields> kRequests = {Request("video.example", "/v/master.m3u8?token=x1"),
                                       Request("video.example", "/v/seg-00001.m4s"),
                                       Request("img.example", "/i/poster.jpg"),
                                       Request("video.example", "/v/seg-00002.m4s")};

TEST(H3Requests, FieldsEncodedByLibnghttp3ComeOutWholeInEveryArrivalOrder) {
  enum class Order { EncoderFirst, RequestsFirst, ByteByByteReversed };
  for (Order order : {Order::EncoderFirst, Order::RequestsFirst, Order::ByteByByteReversed}) {
    SCOPED_TRACE(static_cast<int>(order));
    Encoder enc;
    std::vector<std::string> streams;
    for (std::size_t i = 0; i < kRequests.size(); ++i) {
      // Frames a reader passes over come first: a reserved type and an unknown one.
      streams.push_back(Frame(0x21 + 0x1f * i, "xyz") + Frame(0x0d, "") + enc.Headers(4 * i, kRequests[i]) +
                        Frame(0x00, "body"));
    }
    ASSERT_GT(enc.encoderStream.size(), 20u);  // the dynamic table is used
    H3Requests h3;
    std::vector<HttpsRequest> out;
    if (order == Order::EncoderFirst) Feed(h3, 2, 0, enc.encoderStream, false, out);
    for (std::size_t i = 0; i < streams.size(); ++i) {
      if (order == Order::ByteByByteReversed) {
        for (std::size_t k = streams[i].size(); k-- > 0;)
          Feed(h3, 4 * i, k, streams[i].substr(k, 1), k + 1 == streams[i].size(), out);
      } else {
        Feed(h3, 4 * i, 0, streams[i], true, out);
      }
    }
    if (order != Order::EncoderFirst) {
      EXPECT_TRUE(out.empty());  // waiting for the encoder's instructions
      Feed(h3, 2, 0, enc.encoderStream.substr(0, 3), false, out);
      Feed(h3, 2, 3, enc.encoderStream.substr(3), false, out);
    }
    EXPECT_EQ(FieldsOf(out), kRequests);
    EXPECT_EQ(h3.HeldBytes(), 0u);
    EXPECT_EQ(h3.FailedStreams(), 0u);
  }
}

TEST(H3Requests, RepeatsAndMalformedRequestsGiveNoRow) {
  Encoder enc;
  const std::string first = enc.Headers(0, kRequests[0]);
  Fields injected = kRequests[1];
  injected[3].value = "/a\r\nX-Injected: 1";
  const std::string bad = enc.Headers(4, injected);
  const std::string third = enc.Headers(8, kRequests[2]);
  H3Requests h3;
  std::vector<HttpsRequest> out;
  Feed(h3, 2, 0, enc.encoderStream, false, out);
  Feed(h3, 0, 0, first, true, out);
  Feed(h3, 0, 0, first, true, out);  // a retransmission
  Feed(h3, 4, 0, bad, true, out);
  Feed(h3, 8, 0, third, true, out);
  Feed(h3, 12, 0, Frame(0x01, std::string("\xff\xff\xff", 3)), true, out);  // an undecodable block
  Feed(h3, 16, 0, Frame(0x01, std::string(70000, 'a')), true, out);           // over the stream bound
  Feed(h3, 3, 0, "\x02", false, out);                                         // a server stream: not read
  EXPECT_EQ(FieldsOf(out), (std::vector<Fields>{kRequests[0], kRequests[2]}));
  EXPECT_EQ(h3.FailedStreams(), 3u);
  EXPECT_EQ(h3.HeldBytes(), 0u);
}

TEST(H3Requests, StreamsAndBytesStayWithinBounds) {
  H3Requests h3;
  std::vector<HttpsRequest> out;
  // Streams that never complete: each holds bytes beyond a gap.
  for (std::uint64_t i = 0; i < 2 * H3Requests::kMaxStreams; ++i) Feed(h3, 4 * i, 10, std::string(4000, 'x'), false, out);
  EXPECT_LE(h3.HeldBytes(), H3Requests::kMaxBytes);
  EXPECT_GE(h3.FailedStreams(), H3Requests::kMaxStreams);
  EXPECT_TRUE(out.empty());
}

}  // namespace
}  // namespace qv::tls
