#include "tls/http_readers.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include <nghttp2/nghttp2.h>

namespace qv::tls {
namespace {

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

constexpr std::string_view kPreface = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";

}  // namespace

// --- HTTP/1.1 ---

void Http1Reader::Head(std::string&& head) {
  // How the body that follows is framed.
  body_ = Body::None;
  std::size_t at = head.find("\r\n");
  while (at != std::string::npos && at + 2 < head.size()) {
    const std::size_t end = head.find("\r\n", at + 2);
    if (end == std::string::npos) break;
    const std::string_view line(head.data() + at + 2, end - at - 2);
    const std::size_t colon = line.find(':');
    if (colon != std::string_view::npos) {
      const std::string_view name = Trim(line.substr(0, colon)), value = Trim(line.substr(colon + 1));
      if (EqualsNoCase(name, "transfer-encoding") && value.size() >= 7 &&
          EqualsNoCase(value.substr(value.size() - 7), "chunked")) {
        body_ = Body::ChunkSize;
      } else if (EqualsNoCase(name, "content-length") && body_ == Body::None) {
        std::uint64_t v = 0;
        bool ok = !value.empty();
        for (char c : value) {
          if (c < '0' || c > '9' || v > (1ull << 50)) ok = false;
          else v = v * 10 + static_cast<unsigned>(c - '0');
        }
        if (ok && v > 0) {
          body_ = Body::Length;
          remaining_ = v;
        }
      }
    }
    at = end;
  }
  if (sink_) sink_(std::move(head));
}

void Http1Reader::Feed(const std::uint8_t* p, std::size_t n) {
  if (broken_) return;
  std::string_view in(reinterpret_cast<const char*>(p), n);
  while (!in.empty() || (!buffer_.empty() && body_ != Body::Length && body_ != Body::ChunkData)) {
    if (body_ == Body::Length || body_ == Body::ChunkData) {
      const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(remaining_, in.size()));
      in.remove_prefix(take);
      remaining_ -= take;
      if (remaining_ == 0) body_ = body_ == Body::Length ? Body::None : Body::ChunkDataEnd;
      continue;
    }
    // Line-based states: join the input to what is held, take what is complete.
    const std::size_t old = buffer_.size();
    buffer_.append(in);
    in = {};
    std::size_t consumed = 0;
    bool progress = true;
    while (progress) {
      progress = false;
      const std::string_view rest(buffer_.data() + consumed, buffer_.size() - consumed);
      if (body_ == Body::None) {
        const std::size_t end = rest.find("\r\n\r\n");
        if (end == std::string_view::npos) break;
        std::string head(rest.substr(0, end + 4));
        consumed += end + 4;
        // Blank lines between requests are passed over.
        const std::size_t start = head.find_first_not_of("\r\n");
        if (start != std::string::npos && start > 0) head.erase(0, start);
        Head(std::move(head));
        progress = true;
      } else if (body_ == Body::ChunkSize || body_ == Body::ChunkDataEnd || body_ == Body::Trailers) {
        const std::size_t end = rest.find("\r\n");
        if (end == std::string_view::npos) break;
        const std::string_view line = rest.substr(0, end);
        consumed += end + 2;
        progress = true;
        if (body_ == Body::ChunkDataEnd) {
          body_ = Body::ChunkSize;
        } else if (body_ == Body::Trailers) {
          if (line.empty()) body_ = Body::None;
        } else {
          std::uint64_t size = 0;
          std::size_t digits = 0;
          for (char c : line) {
            int v = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
            if (v < 0) break;
            if (++digits > 12) break;
            size = size * 16 + static_cast<unsigned>(v);
          }
          if (digits == 0 || digits > 12) {
            broken_ = true;
            buffer_.clear();
            return;
          }
          if (size == 0) {
            body_ = Body::Trailers;
          } else {
            body_ = Body::ChunkData;
            remaining_ = size;
            // The chunk's bytes already held.
            const std::size_t held = buffer_.size() - consumed;
            const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(remaining_, held));
            consumed += take;
            remaining_ -= take;
            if (remaining_ == 0) body_ = Body::ChunkDataEnd;
            else break;
          }
        }
      } else if (body_ == Body::Length) {
        const std::size_t held = buffer_.size() - consumed;
        const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(remaining_, held));
        consumed += take;
        remaining_ -= take;
        if (remaining_ == 0) {
          body_ = Body::None;
          progress = true;
        }
      }
    }
    (void)old;
    buffer_.erase(0, consumed);
    if (buffer_.size() > kMaxHeadBytes) {
      // No head ends within the bound: not HTTP/1.1 as read here.
      broken_ = true;
      buffer_.clear();
      buffer_.shrink_to_fit();
      return;
    }
    if (buffer_.empty() || consumed == 0) break;
  }
}

// --- HTTP/2 ---

namespace {

// Each block starts with a header that tells its class (or, for a large block, its size); the caller's
// bytes follow, aligned as malloc's are.
struct alignas(16) BlockHeader {
  std::size_t size;  // the caller's bytes the block holds
  int sizeClass;     // -1: a large block, not kept
};
constexpr std::size_t kHeader = sizeof(BlockHeader);
static_assert(kHeader == 16);

constexpr std::size_t ClassBytes(int k) { return std::size_t{64} << k; }

// Under AddressSanitizer a kept block is poisoned (past its link) until handed out again, so that a use
// after free inside the library is still caught.
#if defined(__SANITIZE_ADDRESS__)
#define QV_HAS_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QV_HAS_ASAN 1
#endif
#endif
#if defined(QV_HAS_ASAN)
extern "C" void __asan_poison_memory_region(void const volatile* addr, std::size_t size);
extern "C" void __asan_unpoison_memory_region(void const volatile* addr, std::size_t size);
void PoisonKept(void* p, std::size_t size) { __asan_poison_memory_region(p, size); }
void UnpoisonKept(void* p, std::size_t size) { __asan_unpoison_memory_region(p, size); }
#else
void PoisonKept(void*, std::size_t) {}
void UnpoisonKept(void*, std::size_t) {}
#endif

}  // namespace

struct HpackMemory::Allocator : nghttp2_mem {};

void* HpackMemory::Mem() { return static_cast<nghttp2_mem*>(mem_.get()); }

HpackMemory::HpackMemory() : mem_(std::make_unique<Allocator>()) {
  mem_->mem_user_data = this;
  mem_->malloc = [](std::size_t n, void* self) { return static_cast<HpackMemory*>(self)->Allocate(n); };
  mem_->free = [](void* p, void* self) { static_cast<HpackMemory*>(self)->Free(p); };
  mem_->calloc = [](std::size_t count, std::size_t size, void* self) -> void* {
    if (size != 0 && count > SIZE_MAX / size) return nullptr;
    void* p = static_cast<HpackMemory*>(self)->Allocate(count * size);
    if (p) std::memset(p, 0, count * size);
    return p;
  };
  mem_->realloc = [](void* p, std::size_t n, void* self) {
    return static_cast<HpackMemory*>(self)->Reallocate(p, n);
  };
}

HpackMemory::~HpackMemory() {
  for (FreeBlock*& head : free_) {
    while (head) {
      FreeBlock* next = head->next;
      std::free(reinterpret_cast<unsigned char*>(head) - kHeader);
      head = next;
    }
  }
}

void* HpackMemory::Allocate(std::size_t n) {
  if (n > SIZE_MAX - kHeader) return nullptr;
  int k = 0;
  while (k < kClasses && ClassBytes(k) < n + kHeader) ++k;
  unsigned char* block = nullptr;
  if (k < kClasses && free_[k]) {
    block = reinterpret_cast<unsigned char*>(free_[k]) - kHeader;
    UnpoisonKept(block + kHeader, ClassBytes(k) - kHeader);
    free_[k] = free_[k]->next;
    kept_ -= ClassBytes(k);
  } else {
    block = static_cast<unsigned char*>(std::malloc(k < kClasses ? ClassBytes(k) : n + kHeader));
    if (!block) return nullptr;
  }
  auto* h = reinterpret_cast<BlockHeader*>(block);
  h->size = k < kClasses ? ClassBytes(k) - kHeader : n;
  h->sizeClass = k < kClasses ? k : -1;
  return block + kHeader;
}

void HpackMemory::Free(void* p) {
  if (!p) return;
  unsigned char* block = static_cast<unsigned char*>(p) - kHeader;
  const int k = reinterpret_cast<BlockHeader*>(block)->sizeClass;
  if (k < 0 || kept_ + ClassBytes(k) > kMaxKept) {
    std::free(block);
    return;
  }
  auto* f = static_cast<FreeBlock*>(p);
  f->next = free_[k];
  free_[k] = f;
  kept_ += ClassBytes(k);
  PoisonKept(static_cast<unsigned char*>(p) + sizeof(FreeBlock), ClassBytes(k) - kHeader - sizeof(FreeBlock));
}

void* HpackMemory::Reallocate(void* p, std::size_t n) {
  if (!p) return Allocate(n);
  const std::size_t have = reinterpret_cast<BlockHeader*>(static_cast<unsigned char*>(p) - kHeader)->size;
  if (n <= have) return p;
  void* q = Allocate(n);
  if (!q) return nullptr;  // `p` stays the caller's, as with realloc
  std::memcpy(q, p, have);
  Free(p);
  return q;
}

Http2Reader::~Http2Reader() {
  if (inflater_) nghttp2_hd_inflate_del(inflater_);
}

void Http2Reader::Reset(RequestSink sink) {
  // Every member but the buffers' room, as a new reader has it.
  if (inflater_) nghttp2_hd_inflate_del(inflater_);
  inflater_ = nullptr;
  sink_ = std::move(sink);
  buffer_.clear();
  if (buffer_.capacity() > 64 * 1024) buffer_.shrink_to_fit();
  prefaceSeen_ = 0;
  skip_ = 0;
  block_.clear();
  if (block_.capacity() > 64 * 1024) block_.shrink_to_fit();
  inBlock_ = false;
  blockStream_ = 0;
  broken_ = false;
  // The kept fields are overwritten field by field by the next request (keptBytes_ still tells their room).
}

void Http2Reader::Feed(const std::uint8_t* p, std::size_t n) {
  if (broken_) return;
  while (n > 0 && prefaceSeen_ < kPreface.size()) {
    if (static_cast<char>(*p) != kPreface[prefaceSeen_]) {
      broken_ = true;
      return;
    }
    ++prefaceSeen_, ++p, --n;
  }
  while (n > 0) {
    if (skip_ > 0) {
      const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(skip_, n));
      skip_ -= take;
      p += take;
      n -= take;
      continue;
    }
    // Hold the header (and the payload of frames that are read) until it is whole.
    if (buffer_.size() < 9) {
      const std::size_t take = std::min<std::size_t>(9 - buffer_.size(), n);
      buffer_.append(reinterpret_cast<const char*>(p), take);
      p += take;
      n -= take;
      if (buffer_.size() < 9) return;
    }
    const auto* h = reinterpret_cast<const std::uint8_t*>(buffer_.data());
    const std::size_t length = std::size_t{h[0]} << 16 | std::size_t{h[1]} << 8 | h[2];
    const std::uint8_t type = h[3];
    // Only HEADERS (1) and CONTINUATION (9) are kept; a frame larger than the protocol's largest is not HTTP/2.
    if (length > (1u << 24) - 1) {
      broken_ = true;
      return;
    }
    if (type != 1 && type != 9) {
      if (inBlock_) {  // a header block must be continued without other frames between
        broken_ = true;
        return;
      }
      buffer_.clear();
      skip_ = length;
      continue;
    }
    const std::size_t want = 9 + length - buffer_.size();
    const std::size_t take = std::min(want, n);
    if (buffer_.size() + take > 9 + kMaxHeaderBlock) {
      broken_ = true;
      return;
    }
    buffer_.append(reinterpret_cast<const char*>(p), take);
    p += take;
    n -= take;
    if (take < want) return;
    h = reinterpret_cast<const std::uint8_t*>(buffer_.data());
    const std::uint32_t stream = (std::uint32_t{h[5]} << 24 | std::uint32_t{h[6]} << 16 | std::uint32_t{h[7]} << 8 | h[8]) & 0x7FFFFFFFu;
    Frame(type, h[4], stream, h + 9, length);
    buffer_.clear();
    if (broken_) return;
  }
}

void Http2Reader::Frame(std::uint8_t type, std::uint8_t flags, std::uint32_t stream, const std::uint8_t* p,
                        std::size_t n) {
  if (type == 1) {  // HEADERS
    if (inBlock_) {
      broken_ = true;
      return;
    }
    std::size_t start = 0, end = n;
    if (flags & 0x08) {  // PADDED
      if (n < 1) return void(broken_ = true);
      const std::size_t pad = p[0];
      start = 1;
      if (pad > n - 1) return void(broken_ = true);
      end = n - pad;
    }
    if (flags & 0x20) start += 5;  // PRIORITY
    if (start > end) return void(broken_ = true);
    block_.assign(reinterpret_cast<const char*>(p + start), end - start);
    blockStream_ = stream;
    inBlock_ = true;
  } else {  // CONTINUATION
    if (!inBlock_ || stream != blockStream_) return void(broken_ = true);
    if (block_.size() + n > kMaxHeaderBlock) return void(broken_ = true);
    block_.append(reinterpret_cast<const char*>(p), n);
  }
  if (flags & 0x04) {  // END_HEADERS
    inBlock_ = false;
    Decode();
    block_.clear();
    if (block_.capacity() > 64 * 1024) block_.shrink_to_fit();
  }
}

void Http2Reader::Decode() {
  if (!inflater_) {
    if (nghttp2_hd_inflate_new2(&inflater_, static_cast<nghttp2_mem*>(memory_.Mem())) != 0) {
      inflater_ = nullptr;
      broken_ = true;
      return;
    }
    // The client's encoder may grow its table up to what the server allows.
    nghttp2_hd_inflate_change_table_size(inflater_, kMaxTableSize);
  }
  // The request's fields are decoded into strings kept from one request to the next (their buffers
  // are reused unless the sink takes them).
  std::vector<HeaderField>& fields = request_.fields;
  std::size_t count = 0;
  std::size_t total = 0;
  bool hasMethod = false;
  auto* in = reinterpret_cast<const std::uint8_t*>(block_.data());
  std::size_t left = block_.size();
  for (;;) {
    nghttp2_nv nv;
    int flags = 0;
    const auto used = nghttp2_hd_inflate_hd2(inflater_, &nv, &flags, in, left, 1);
    if (used < 0) {
      // The table is now out of step with the client's: nothing later on this connection can be read.
      broken_ = true;
      request_.fields = {};
      keptBytes_ = 0;
      return;
    }
    in += used;
    left -= static_cast<std::size_t>(used);
    if (flags & NGHTTP2_HD_INFLATE_EMIT) {
      total += nv.namelen + nv.valuelen;
      if (total <= kMaxHeaderBlock) {
        if (count == fields.size()) fields.emplace_back();
        HeaderField& f = fields[count++];
        f.name.assign(reinterpret_cast<const char*>(nv.name), nv.namelen);
        f.value.assign(reinterpret_cast<const char*>(nv.value), nv.valuelen);
        if (nv.namelen == 7 && std::memcmp(nv.name, ":method", 7) == 0) hasMethod = true;
      }
    }
    if (flags & NGHTTP2_HD_INFLATE_FINAL) {
      nghttp2_hd_inflate_end_headers(inflater_);
      break;
    }
    if (used == 0 && !(flags & NGHTTP2_HD_INFLATE_EMIT)) {
      broken_ = true;
      request_.fields = {};
      keptBytes_ = 0;
      return;
    }
  }
  fields.resize(count);
  // Client streams are odd; a block on an even stream (or a trailer without :method) is no request.
  if (hasMethod && (blockStream_ & 1u) && sink_) sink_(std::move(request_));
  // The fields stay for the next request (a sink that took them left none), unless they hold much.
  keptBytes_ = 0;
  for (const HeaderField& f : request_.fields) keptBytes_ += f.name.capacity() + f.value.capacity();
  if (keptBytes_ > kMaxKeptRequest || request_.fields.capacity() > kMaxKeptFields) {
    request_.fields = {};
    keptBytes_ = 0;
  }
}

}  // namespace qv::tls
