// The requests in a decrypted client stream: HTTP/1.1 request heads (bodies passed over by their
// Content-Length or chunked coding), or HTTP/2 frames whose HEADERS and CONTINUATION blocks are decoded
// with libnghttp2's HPACK inflater (one dynamic table per connection). Bounded: a head, a header block and
// a decoded request are each limited, and a stream that breaks those limits or the framing stops being read.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tls/https_request.h"

struct nghttp2_hd_inflater;

namespace qv::tls {

class AppReader {
 public:
  virtual ~AppReader() = default;
  virtual void Feed(const std::uint8_t* p, std::size_t n) = 0;
  virtual bool Broken() const = 0;
  virtual std::size_t MemoryBytes() const = 0;
};

// HTTP/1.1: each request head (request line to the empty line, that line included) to `head`.
class Http1Reader : public AppReader {
 public:
  static constexpr std::size_t kMaxHeadBytes = 64 * 1024;
  using HeadSink = std::function<void(std::string&& head)>;
  explicit Http1Reader(HeadSink sink) : sink_(std::move(sink)) {}
  void Feed(const std::uint8_t* p, std::size_t n) override;
  bool Broken() const override { return broken_; }
  std::size_t MemoryBytes() const override { return buffer_.capacity(); }

 private:
  enum class Body : unsigned char { None, Length, ChunkSize, ChunkData, ChunkDataEnd, Trailers };
  void Head(std::string&& head);
  HeadSink sink_;
  std::string buffer_;
  Body body_ = Body::None;
  std::uint64_t remaining_ = 0;
  bool broken_ = false;
};

// HTTP/2: each request's header fields (pseudo-header fields first, as sent) to `request`.
class Http2Reader : public AppReader {
 public:
  static constexpr std::size_t kMaxHeaderBlock = 256 * 1024;
  static constexpr std::size_t kMaxTableSize = 64 * 1024;
  // What is kept of a request for the next, at most: its bytes and its number of fields.
  static constexpr std::size_t kMaxKeptRequest = 16 * 1024;
  static constexpr std::size_t kMaxKeptFields = 256;
  static constexpr std::size_t kMaxKeptBytes = kMaxKeptRequest + kMaxKeptFields * sizeof(HeaderField);
  using RequestSink = std::function<void(HttpsRequest&& request)>;
  explicit Http2Reader(RequestSink sink) : sink_(std::move(sink)) {}
  ~Http2Reader() override;
  // Made new for another connection (a new HPACK table, the sink `sink`), keeping only the room of its
  // buffers and of the kept request's fields (within the bounds above).
  void Reset(RequestSink sink);
  Http2Reader(const Http2Reader&) = delete;
  Http2Reader& operator=(const Http2Reader&) = delete;
  void Feed(const std::uint8_t* p, std::size_t n) override;
  bool Broken() const override { return broken_; }
  std::size_t MemoryBytes() const override {
    return buffer_.capacity() + block_.capacity() + (inflater_ ? kMaxTableSize : 0) + keptBytes_ +
           request_.fields.capacity() * sizeof(HeaderField);
  }

 private:
  void Frame(std::uint8_t type, std::uint8_t flags, std::uint32_t stream, const std::uint8_t* p, std::size_t n);
  void Decode();
  RequestSink sink_;
  std::string buffer_;
  std::size_t prefaceSeen_ = 0;
  std::uint64_t skip_ = 0;         // payload bytes of a frame not kept (DATA and the like)
  std::string block_;              // a header block being joined from HEADERS and CONTINUATION
  bool inBlock_ = false;
  std::uint32_t blockStream_ = 0;
  nghttp2_hd_inflater* inflater_ = nullptr;
  HttpsRequest request_;           // the request being decoded, its fields kept for the next
  std::size_t keptBytes_ = 0;      // the size of the fields kept (at most kMaxKeptRequest)
  bool broken_ = false;
};

}  // namespace qv::tls
