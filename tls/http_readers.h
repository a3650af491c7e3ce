// The requests in a decrypted client stream: HTTP/1.1 request heads (bodies passed over by their
// Content-Length or chunked coding), or HTTP/2 frames whose HEADERS and CONTINUATION blocks are decoded
// with libnghttp2's HPACK inflater (one dynamic table per connection). Bounded: a head, a header block and
// a decoded request are each limited, and a stream that breaks those limits or the framing stops being read.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
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

// The memory of one HPACK inflater: blocks of a few sizes kept when the inflater frees them and handed
// out again (table entries come and go with every literal field; a reader used again for another
// connection starts with the blocks of the last). At most kMaxKept bytes are kept; larger blocks and
// those beyond that bound go back to the system at once. Gives nghttp2 its allocator; must outlive the
// inflater that uses it and never move.
class HpackMemory {
 public:
  static constexpr std::size_t kMaxKept = 64 * 1024;
  HpackMemory();
  ~HpackMemory();
  HpackMemory(const HpackMemory&) = delete;
  HpackMemory& operator=(const HpackMemory&) = delete;
  // nghttp2's allocator (an nghttp2_mem*) over this memory.
  void* Mem();
  std::size_t KeptBytes() const { return kept_; }

  void* Allocate(std::size_t n);
  void Free(void* p);
  void* Reallocate(void* p, std::size_t n);

 private:
  static constexpr int kClasses = 8;  // blocks of 64 << k bytes, header included
  struct FreeBlock {
    FreeBlock* next;
  };
  FreeBlock* free_[kClasses] = {};
  std::size_t kept_ = 0;
  struct Allocator;
  std::unique_ptr<Allocator> mem_;
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
           request_.fields.capacity() * sizeof(HeaderField) + memory_.KeptBytes();
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
  HpackMemory memory_;  // before inflater_: it outlives it
  nghttp2_hd_inflater* inflater_ = nullptr;
  HttpsRequest request_;           // the request being decoded, its fields kept for the next
  std::size_t keptBytes_ = 0;      // the size of the fields kept (at most kMaxKeptRequest)
  bool broken_ = false;
};

}  // namespace qv::tls
