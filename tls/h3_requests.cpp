#include "tls/h3_requests.h"

#include <nghttp3/nghttp3.h>

#include <algorithm>

namespace qv::tls {
namespace {

constexpr std::uint64_t kHeadersFrame = 0x01;
constexpr std::uint64_t kEncoderStream = 0x02;
constexpr std::size_t kMaxBlockedStreams = 256;
constexpr std::size_t kMaxFields = 256;
constexpr std::size_t kMaxFinished = 4096;

// A QUIC variable-length integer at the start of `b`; 0 while incomplete, else its length.
std::size_t Varint(const std::string& b, std::uint64_t& v) {
  if (b.empty()) return 0;
  const std::size_t length = std::size_t{1} << (static_cast<std::uint8_t>(b[0]) >> 6);
  if (b.size() < length) return 0;
  v = static_cast<std::uint8_t>(b[0]) & 0x3F;
  for (std::size_t k = 1; k < length; ++k) v = v << 8 | static_cast<std::uint8_t>(b[k]);
  return length;
}

// A QPACK prefixed integer (`bits` low bits of the first byte); 0 while incomplete, SIZE_MAX when too large.
std::size_t PrefixInt(const std::string& b, int bits, std::uint64_t& v) {
  if (b.empty()) return 0;
  const std::uint64_t max = (1u << bits) - 1;
  v = static_cast<std::uint8_t>(b[0]) & max;
  if (v < max) return 1;
  int shift = 0;
  for (std::size_t i = 1; i < b.size(); ++i) {
    if (shift > 56) return SIZE_MAX;
    const std::uint8_t c = static_cast<std::uint8_t>(b[i]);
    v += std::uint64_t{c & 0x7Fu} << shift;
    shift += 7;
    if (!(c & 0x80)) return i + 1;
  }
  return 0;
}

bool SafeText(const nghttp3_vec& v) {
  for (std::size_t i = 0; i < v.len; ++i)
    if (v.base[i] == '\r' || v.base[i] == '\n' || v.base[i] == 0) return false;
  return true;
}

}  // namespace

struct H3Requests::Decoder {
  nghttp3_qpack_decoder* d = nullptr;
  explicit Decoder(std::size_t capacity) {
    if (nghttp3_qpack_decoder_new(&d, capacity, kMaxBlockedStreams, nghttp3_mem_default()) != 0) d = nullptr;
    if (d != nullptr) nghttp3_qpack_decoder_set_max_dtable_capacity(d, capacity);
  }
  ~Decoder() {
    if (d != nullptr) nghttp3_qpack_decoder_del(d);
  }
  // The decoder writes acknowledgements for the peer's encoder; nobody reads them here, so they are
  // taken out before they pile up.
  void DropDecoderStream() {
    const std::size_t n = nghttp3_qpack_decoder_get_decoder_streamlen(d);
    if (n == 0) return;
    std::vector<std::uint8_t> scratch(n);
    nghttp3_buf buf;
    nghttp3_buf_init(&buf);
    buf.begin = buf.pos = buf.last = scratch.data();
    buf.end = scratch.data() + n;
    nghttp3_qpack_decoder_write_decoder(d, &buf);
  }
};

struct H3Requests::Stream {
  bool uni = false;
  bool typed = false;          // a unidirectional stream's type has been read
  std::uint64_t next = 0;      // contiguous bytes delivered so far
  std::map<std::uint64_t, std::string> pending;  // bytes beyond `next`, by offset
  std::size_t pendingBytes = 0;
  std::size_t accounted = 0;   // bytes counted in H3Requests::held_
  std::string head;            // a frame header (or stream type) not yet whole
  std::uint64_t skip = 0;      // bytes of a frame being passed over
  bool inHeaders = false;
  std::uint64_t headersLeft = 0;
  std::string block;           // the HEADERS frame's payload
  std::size_t blockPos = 0;    // how much of it the decoder has read
  bool blocked = false;        // waiting for encoder instructions
  Decoder* decoder = nullptr;  // the decoder that started on the block
  nghttp3_qpack_stream_context* sctx = nullptr;
  std::vector<HeaderField> fields;
  bool unsafe = false;         // a field with CR, LF or NUL, or too many fields
  bool done = false;
  ~Stream() {
    if (sctx != nullptr) nghttp3_qpack_stream_context_del(sctx);
  }
};

H3Requests::H3Requests() = default;
H3Requests::~H3Requests() {
  streams_.clear();  // stream contexts first, then the decoders
}

void H3Requests::Account(Stream& s) {
  const std::size_t now = s.pendingBytes + s.block.size() + s.head.size();
  held_ = held_ - s.accounted + now;
  s.accounted = now;
}

H3Requests::Stream* H3Requests::Find(std::uint64_t id) {
  auto it = streams_.find(id);
  if (it != streams_.end()) return it->second.get();
  if (id < finishedBelow_ || finished_.count(id)) return nullptr;
  const bool uni = (id & 0x03) == 0x02;
  if ((id & 0x03) != 0x00 && !uni) return nullptr;  // the server's streams are not read here
  if (streams_.size() >= kMaxStreams) {
    Stream dropped;
    Finish(id, dropped, true);
    return nullptr;
  }
  auto s = std::make_unique<Stream>();
  s->uni = uni;
  Stream* raw = s.get();
  streams_.emplace(id, std::move(s));
  return raw;
}

void H3Requests::Finish(std::uint64_t id, Stream& s, bool failed) {
  if (failed) ++failedStreams_;
  s.done = true;
  finished_[id] = true;
  while (finished_.size() > kMaxFinished) {
    finishedBelow_ = std::max(finishedBelow_, finished_.begin()->first + 1);
    finished_.erase(finished_.begin());
  }
}

void H3Requests::StreamData(std::uint64_t id, std::uint64_t offset, const std::uint8_t* p, std::size_t n, bool fin,
                            std::vector<HttpsRequest>& out) {
  Stream* s = Find(id);
  if (s == nullptr || s->done) return;
  if (offset + n > s->next) {
    if (offset <= s->next) {
      const std::size_t skip = static_cast<std::size_t>(s->next - offset);
      Deliver(id, *s, p + skip, n - skip, out);
    } else if (s->pendingBytes + n > kMaxStreamBytes || held_ + n > kMaxBytes) {
      Finish(id, *s, true);
    } else {
      std::string& slot = s->pending[offset];
      if (slot.size() < n) {
        s->pendingBytes += n - slot.size();
        slot.assign(reinterpret_cast<const char*>(p), n);
      }
    }
    while (!s->done && !s->pending.empty() && s->pending.begin()->first <= s->next) {
      auto first = s->pending.begin();
      std::string chunk = std::move(first->second);
      const std::uint64_t at = first->first;
      s->pending.erase(first);
      s->pendingBytes -= chunk.size();
      if (at + chunk.size() > s->next) {
        const std::size_t skip = static_cast<std::size_t>(s->next - at);
        Deliver(id, *s, reinterpret_cast<const std::uint8_t*>(chunk.data()) + skip, chunk.size() - skip, out);
      }
    }
  }
  if (fin && !s->done && !s->blocked && s->pending.empty() && offset + n <= s->next) Finish(id, *s, false);
  Account(*s);
  if (s->done && !s->blocked) {
    held_ -= s->accounted;
    streams_.erase(id);
  }
}

void H3Requests::Deliver(std::uint64_t id, Stream& s, const std::uint8_t* p, std::size_t n,
                         std::vector<HttpsRequest>& out) {
  s.next += n;
  if (!s.uni) return RequestBytes(id, s, p, n, out);
  if (!s.typed) {
    while (n > 0 && !s.typed) {
      s.head.push_back(static_cast<char>(*p++));
      --n;
      std::uint64_t type;
      if (Varint(s.head, type) == 0) continue;
      s.typed = true;
      s.head.clear();
      if (type != kEncoderStream) return Finish(id, s, false);  // control, decoder and unknown streams
    }
  }
  if (n > 0) EncoderBytes(p, n, out);
}

void H3Requests::EncoderBytes(const std::uint8_t* p, std::size_t n, std::vector<HttpsRequest>& out) {
  if (encoderFailed_) return;
  if (!decoder_) {
    // The table's capacity, from the first instruction (Set Dynamic Table Capacity), sizes the decoder:
    // the encoder may not set more than the server allows, and the server's own setting is not
    // readable here.
    encoderStart_.append(reinterpret_cast<const char*>(p), n);
    std::uint64_t capacity = 4096;
    if ((static_cast<std::uint8_t>(encoderStart_[0]) & 0xE0) == 0x20) {
      const std::size_t used = PrefixInt(encoderStart_, 5, capacity);
      if (used == 0 && encoderStart_.size() < 16) return;
      if (used == 0 || used == SIZE_MAX || capacity > kMaxTableCapacity) {
        encoderFailed_ = true;
        encoderStart_.clear();
        return;
      }
    }
    decoder_ = std::make_unique<Decoder>(static_cast<std::size_t>(capacity));
    capacity_ = static_cast<std::size_t>(capacity);
    std::string start = std::move(encoderStart_);
    encoderStart_.clear();
    if (decoder_->d == nullptr ||
        nghttp3_qpack_decoder_read_encoder(decoder_->d, reinterpret_cast<const std::uint8_t*>(start.data()),
                                           start.size()) < 0)
      encoderFailed_ = true;
  } else if (nghttp3_qpack_decoder_read_encoder(decoder_->d, p, n) < 0) {
    encoderFailed_ = true;
  }
  RetryBlocked(out);
}

void H3Requests::RetryBlocked(std::vector<HttpsRequest>& out) {
  for (auto it = streams_.begin(); it != streams_.end();) {
    Stream& s = *it->second;
    const std::uint64_t id = it->first;
    if (s.blocked && (decoder_ || encoderFailed_)) {
      if (encoderFailed_) {
        s.blocked = false;
        Finish(id, s, true);
      } else if (Decode(id, s, out)) {
        s.blocked = false;
      }
      Account(s);
    }
    if (s.done && !s.blocked) {
      held_ -= s.accounted;
      it = streams_.erase(it);
    } else {
      ++it;
    }
  }
}

void H3Requests::RequestBytes(std::uint64_t id, Stream& s, const std::uint8_t* p, std::size_t n,
                              std::vector<HttpsRequest>& out) {
  while (n > 0 && !s.done && !s.blocked) {
    if (s.skip > 0) {
      const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(s.skip, n));
      s.skip -= k;
      p += k;
      n -= k;
      continue;
    }
    if (s.inHeaders) {
      const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(s.headersLeft, n));
      s.block.append(reinterpret_cast<const char*>(p), k);
      s.headersLeft -= k;
      p += k;
      n -= k;
      if (s.headersLeft == 0) {
        s.inHeaders = false;
        HeaderBlock(id, s, out);
      }
      continue;
    }
    s.head.push_back(static_cast<char>(*p++));
    --n;
    std::uint64_t type, length;
    const std::size_t t = Varint(s.head, type);
    if (t == 0) continue;
    const std::string rest = s.head.substr(t);
    if (Varint(rest, length) == 0) continue;
    s.head.clear();
    if (type == kHeadersFrame) {
      if (length == 0 || length > kMaxStreamBytes) return Finish(id, s, true);
      s.inHeaders = true;
      s.headersLeft = length;
    } else {
      s.skip = length;  // DATA before HEADERS is malformed, but passing over it is harmless; others are
                        // unknown or reserved types
    }
  }
}

void H3Requests::HeaderBlock(std::uint64_t id, Stream& s, std::vector<HttpsRequest>& out) {
  const bool dynamic = static_cast<std::uint8_t>(s.block[0]) != 0;  // a Required Insert Count above zero
  if (!decoder_ && !dynamic) {
    if (!staticDecoder_) staticDecoder_ = std::make_unique<Decoder>(0);
    s.decoder = staticDecoder_.get();
  }
  if (!decoder_ && dynamic && !encoderFailed_) {
    s.blocked = true;  // waits for the encoder stream's first instruction
    return;
  }
  if (!Decode(id, s, out)) s.blocked = true;
}

bool H3Requests::Decode(std::uint64_t id, Stream& s, std::vector<HttpsRequest>& out) {
  if (s.decoder == nullptr) s.decoder = decoder_.get();
  if (s.decoder == nullptr || s.decoder->d == nullptr) {
    Finish(id, s, true);
    return true;
  }
  if (s.sctx == nullptr &&
      nghttp3_qpack_stream_context_new(&s.sctx, static_cast<std::int64_t>(id), nghttp3_mem_default()) != 0) {
    s.sctx = nullptr;
    Finish(id, s, true);
    return true;
  }
  while (true) {
    nghttp3_qpack_nv nv;
    std::uint8_t flags = 0;
    const auto* src = reinterpret_cast<const std::uint8_t*>(s.block.data()) + s.blockPos;
    const nghttp3_ssize r = nghttp3_qpack_decoder_read_request(s.decoder->d, s.sctx, &nv, &flags, src,
                                                               s.block.size() - s.blockPos, 1);
    if (r < 0) {
      Finish(id, s, true);
      break;
    }
    s.blockPos += static_cast<std::size_t>(r);
    if (flags & NGHTTP3_QPACK_DECODE_FLAG_EMIT) {
      const nghttp3_vec name = nghttp3_rcbuf_get_buf(nv.name);
      const nghttp3_vec value = nghttp3_rcbuf_get_buf(nv.value);
      s.unsafe = s.unsafe || !SafeText(name) || !SafeText(value);
      if (s.fields.size() < kMaxFields)
        s.fields.push_back({std::string(reinterpret_cast<const char*>(name.base), name.len),
                            std::string(reinterpret_cast<const char*>(value.base), value.len)});
      else
        s.unsafe = true;
      nghttp3_rcbuf_decref(nv.name);
      nghttp3_rcbuf_decref(nv.value);
    }
    if (flags & NGHTTP3_QPACK_DECODE_FLAG_FINAL) {
      // A field with CR, LF or NUL makes the request malformed; it is not listed.
      if (s.unsafe || s.fields.empty()) {
        Finish(id, s, true);
      } else {
        out.push_back({std::move(s.fields)});
        ++requests_;
        Finish(id, s, false);
      }
      break;
    }
    if (flags & NGHTTP3_QPACK_DECODE_FLAG_BLOCKED) return false;
    if (r == 0 && !(flags & NGHTTP3_QPACK_DECODE_FLAG_EMIT)) {
      Finish(id, s, true);
      break;
    }
  }
  s.decoder->DropDecoderStream();
  s.block.clear();
  s.block.shrink_to_fit();
  s.fields.clear();
  return true;
}

}  // namespace qv::tls
