#include "urls/request_parser.h"

#include <array>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <memory>
#include <utility>

#include "common/bytes.h"
#include "common/cpu_features.h"
#include "urls/payload_marks_avx2.h"
#include "urls/file_type.h"

namespace qv {
namespace {

// True when s, with its ASCII letters lowered, equals the already lower-case text `lower`.
bool EqualsLowered(std::string_view s, std::string_view lower) {
  if (s.size() != lower.size()) return false;
  for (std::size_t i = 0; i < s.size(); ++i)
    if (LowerByte(s[i]) != lower[i]) return false;
  return true;
}

bool StartsWithLowered(std::string_view s, std::string_view lowerPrefix) {
  return s.size() >= lowerPrefix.size() && EqualsLowered(s.substr(0, lowerPrefix.size()), lowerPrefix);
}

// Case-insensitive search for a lower-case needle that only accepts matches beginning on a GBK
// character boundary (counted from the start of hay). Used on short candidate texts only.
std::size_t GbkFindLowered(std::string_view hay, std::string_view lowerNeedle) {
  if (lowerNeedle.size() > hay.size()) return npos;
  const std::size_t last = hay.size() - lowerNeedle.size();
  std::size_t i = 0;
  while (i <= last) {
    if (EqualsLowered(hay.substr(i, lowerNeedle.size()), lowerNeedle)) return i;
    i += (IsGbkLead(static_cast<unsigned char>(hay[i])) && i + 1 < hay.size()) ? 2 : 1;
  }
  return npos;
}

// Bytes that end an address candidate: 1 ends it, 2 ends it when the next byte makes the NUL
// marker 0xA5 0xFE.
constexpr std::array<unsigned char, 256> MakeStopTable() {
  std::array<unsigned char, 256> t{};
  for (unsigned char c : {'\r', '"', '<', '>', '*', '|', '\''}) t[c] = 1;
  t[0xA5] = 2;
  return t;
}
constexpr std::array<unsigned char, 256> kStop = MakeStopTable();

// Finds the end of address candidates. Searches start at non-decreasing positions, so the last
// answer is reused while it still lies ahead: the whole scan of one payload stays linear.
class EndFinder {
 public:
  explicit EndFinder(std::string_view s) : s_(s) {}
  std::size_t From(std::size_t from) {
    if (from >= lastFrom_ && from <= lastEnd_) return lastEnd_;
    std::size_t i = from;
    for (; i < s_.size(); ++i) {
      const unsigned char kind = kStop[static_cast<unsigned char>(s_[i])];
      if (kind == 1) break;
      if (kind == 2 && i + 1 < s_.size() && static_cast<unsigned char>(s_[i + 1]) == 0xFE) break;
    }
    lastFrom_ = from;
    lastEnd_ = i;
    return i;
  }

 private:
  std::string_view s_;
  std::size_t lastFrom_ = 1;  // lastFrom_ > lastEnd_: nothing remembered yet
  std::size_t lastEnd_ = 0;
};

// Last occurrence of the single byte c that begins a GBK character. `plain` tells that the text holds
// no lead byte, so that a plain search gives the same answer.
std::size_t LastOf(std::string_view a, char c, bool plain) {
  return plain ? a.rfind(c) : GbkRFind(a, std::string_view(&c, 1));
}

bool HasGbkLead(std::string_view a) {
  for (char c : a)
    if (IsGbkLead(static_cast<unsigned char>(c))) return true;
  return false;
}

// The cleaning cuts applied to a scan-form candidate, in their fixed order. Cuts are made on the
// view `a`; the candidate text itself is only copied once it has passed. Cuts and trims only shorten
// the text, so whether it holds a GBK lead byte is decided once.
std::string_view CleanCandidate(std::string_view a) {
  const bool plain = !HasGbkLead(a);
  // 1. The version at the end of an RTSP request line.
  if (const std::size_t sp = LastOf(a, ' ', plain); sp != npos && GbkFindLowered(a.substr(sp), "rtsp/") != npos)
    a = a.substr(0, sp);
  // 2. A fragment in the last dotted part.
  if (const std::size_t dot = LastOf(a, '.', plain); dot != npos && a.find('#', dot) != npos)
    a = a.substr(0, a.find('#'));
  // 3. Text after a space in the last dotted part.
  if (const std::size_t dot = LastOf(a, '.', plain); dot != npos && a.find(' ', dot) != npos)
    a = a.substr(0, a.find(' '));
  // 4. A path after the query.
  if (const std::size_t q = a.find('?'); q != npos) {
    if (const std::size_t slash = a.find('/', q + 1); slash != npos) a = a.substr(0, slash);
  }
  // 5. A last path segment naming a stream track.
  if (const std::size_t slash = LastOf(a, '/', plain); slash != npos) {
    const std::string_view seg = a.substr(slash);
    if (GbkFindLowered(seg, "/audio") != npos || GbkFindLowered(seg, "/video") != npos ||
        GbkFindLowered(seg, "/rtx") != npos)
      a = a.substr(0, slash);
  }
  // 6. The stream selector of an RTSP address.
  if (StartsWithLowered(a, "rtsp")) {
    if (const std::size_t sid = FindLowered(a, "/streamid="); sid != npos) a = a.substr(0, sid);
  }
  // 7, 8.
  a = TrimView(a);
  if (!a.empty() && (a.back() == '/' || a.back() == '\\')) a.remove_suffix(1);
  // 9. An MMS parameter is cut down to whole groups of eight bytes.
  if (StartsWithLowered(a, "mms://")) {
    if (const std::size_t eq = plain ? a.find('=') : GbkFind(a, "="); eq != npos) {
      const std::size_t k = a.size() - eq - 1;
      if (k >= 8) a = a.substr(0, eq + 1 + 8 * (k / 8));
    }
  }
  // 10, 11.
  a = TrimView(a);
  if (const std::size_t v = a.find(" HTTP/1.0"); v != npos) a = a.substr(0, v);
  return a;
}

}  // namespace

PayloadMarks FindMarks(std::string_view s) {
  if (!CpuHasAvx2()) return FindMarksBaseline(s);
#if defined(QUELVAR_AVX2_KERNELS)
  PayloadMarks m;
  const std::size_t i = avx2::FindMarks(s.data(), s.size(), m.get, m.post, m.separator);
  if (m.get != npos && m.separator != npos) return m;
  return FindMarksBaseline(s, i, m);
#else
  return FindMarksBaseline(s);
#endif
}

PayloadMarks FindMarksBaseline(std::string_view s, std::size_t i, PayloadMarks m) {
#if defined(__SSE2__)
  const char* base = s.data();
  const __m128i E = _mm_set1_epi8('E'), T = _mm_set1_epi8('T'), SP = _mm_set1_epi8(' '), O = _mm_set1_epi8('O'),
                S = _mm_set1_epi8('S'), COLON = _mm_set1_epi8(':'), SLASH = _mm_set1_epi8('/');
  // Starts i..i+15 are tested together; "OST " needs the bytes up to i+18.
  for (; i + 19 <= s.size(); i += 16) {
    // Every marker begins with one of the pairs "ET", "OS" and ":/"; blocks without one (nearly all of
    // a binary body, most of a text) are passed over by one well-predicted branch.
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(base + i));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(base + i + 1));
    const __m128i et = _mm_and_si128(_mm_cmpeq_epi8(a, E), _mm_cmpeq_epi8(b, T));
    const __m128i os = _mm_and_si128(_mm_cmpeq_epi8(a, O), _mm_cmpeq_epi8(b, S));
    const __m128i cs = _mm_and_si128(_mm_cmpeq_epi8(a, COLON), _mm_cmpeq_epi8(b, SLASH));
    if (!_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(et, os), cs))) continue;
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(base + i + 2));
    const unsigned get = static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(et, _mm_cmpeq_epi8(c, SP))));
    const unsigned sep = static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(cs, _mm_cmpeq_epi8(c, SLASH))));
    if (get && m.get == npos) m.get = i + static_cast<std::size_t>(__builtin_ctz(get));
    if (sep && m.separator == npos) m.separator = i + static_cast<std::size_t>(__builtin_ctz(sep));
    if (m.post == npos && m.get == npos) {
      const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(base + i + 3));
      const unsigned post = static_cast<unsigned>(
          _mm_movemask_epi8(_mm_and_si128(os, _mm_and_si128(_mm_cmpeq_epi8(c, T), _mm_cmpeq_epi8(d, SP)))));
      if (post) m.post = i + static_cast<std::size_t>(__builtin_ctz(post));
    }
    if (m.get != npos && m.separator != npos) return m;
  }
#endif
  // The rest: every start from i on (all earlier starts have been tested).
  if (m.get == npos) m.get = s.find("ET ", i);
  if (m.post == npos && m.get == npos) m.post = s.find("OST ", i);
  if (m.separator == npos) m.separator = s.find("://", i);
  return m;
}

namespace {

class Parser {
 public:
  Parser(std::string_view payload, std::string_view remote, bool outbound, SearchContext& ctx, bool joined = false)
      : payload_(payload), remote_(remote), outbound_(outbound), joined_(joined), ctx_(ctx) {}

  // Plain searches go through std::string_view::find, which runs memchr on the needle's first byte;
  // those bytes (":", "E", "O", "\r") are rare enough in text and binary payloads alike that this beats
  // a general memmem, and no payload is ever lower-cased or copied to be searched.
  void Run() {
    // Request-line form: a carriage return from the third byte on, a "host:" header in any case,
    // and "ET " (GET) or else "OST " (POST).
    if (payload_.find('\r', 2) != npos) {
      marks_ = FindMarks(payload_);
      marksFound_ = true;
      const std::size_t m = marks_.get != npos ? marks_.get : marks_.post;
      if (m != npos && FindLowered(payload_, "host:") != npos) {
        RequestLine(m);
        return;
      }
    }
    if (!joined_) Scan();
  }

  // A server name from a TLS ClientHello: "https://" NAME, ":" PORT when it is not 443, "/".
  void ServerName(std::string_view name, std::uint16_t port) {
    std::string address;
    address.reserve(8 + name.size() + 7);
    address.append("https://").append(name);
    if (port != 443) address.append(":").append(std::to_string(port));
    address.append("/");
    const std::string_view category = FileType(address, *ctx_.types);
    if (category.empty()) return;
    Emit(InsertionKind::RequestLine, category, Direction::Outbound, std::move(address));
  }

 private:
  void RequestLine(std::size_t m) {
    // The request line starts with the method's first letter, the byte before the match, and ends
    // before the first carriage return from the match on.
    const std::size_t start = m > 0 ? m - 1 : 0;
    const std::size_t cr = payload_.find('\r', m);
    const std::string_view line = cr == npos ? std::string_view{} : payload_.substr(start, cr - start);

    std::string address;
    if (line.find("://") != npos) {
      // Absolute form: the target between the first and the last space.
      const std::size_t first = line.find(' ');
      const std::size_t last = GbkRFind(line, " ");
      if (first != npos && last != npos && last > first) address.assign(line.substr(first + 1, last - first - 1));
    } else {
      std::string_view target;
      const std::size_t slash = line.find('/');
      const std::size_t lastSpace = GbkRFind(line, " ");
      if (slash != npos) {
        if (lastSpace != npos && lastSpace > slash) target = line.substr(slash, lastSpace - slash);
      } else if (lastSpace != npos) {
        target = line.substr(0, lastSpace);
      }
      target = TrimView(target);
      if (!target.empty() && target.front() == '/') {
        const std::size_t h = payload_.find("Host:");
        if (h == npos) return;
        const std::size_t hostEnd = payload_.find('\r', h);
        if (hostEnd == npos) return;
        const std::string_view hostLine = payload_.substr(h, hostEnd - h);
        const std::string_view host = TrimView(hostLine.substr(hostLine.find(':') + 1));
        std::string_view hostPart = host;
        if (scheme_ == "https" && hostPart.size() > 4 && hostPart.substr(hostPart.size() - 4) == ":443")
          hostPart.remove_suffix(4);
        address.reserve(scheme_.size() + 3 + hostPart.size() + target.size());
        address.append(scheme_).append("://").append(hostPart).append(target);
      } else {
        address.assign(target);
      }
    }

    // A request line whose target comes out empty (no line end after it, no space after the
    // target, no target at all) is not taken as a request: it is dropped before the ad-page and
    // browser checks and so, like a request for those pages, leaves the learned offset as it is.
    // Such a line is most often a fragment or not a request line at all, and an empty address is
    // nothing a user could fetch.
    if (address.empty()) return;
    if (EqualsLowered(address, ctx_.adPageLower)) return;
    if (EqualsLowered(address, ctx_.browserLocationLower)) return;
    const std::string_view category = FileType(address, *ctx_.types);
    // The learned offset is the position of the method's first byte. A payload starting with "ET "
    // has no such byte; the offset then stays unlearned and the next request sets it.
    // A head joined from several segments is not one payload: it teaches no offset.
    if (ctx_.learnedOffset == -1 && m > 0 && !joined_) ctx_.learnedOffset = static_cast<int>(m - 1);
    if (category.empty()) return;
    Emit(InsertionKind::RequestLine, category, Direction::Outbound, std::move(address));
  }

  void Scan() {
    EndFinder ends(payload_);
    const std::size_t firstSeparator = marksFound_ ? marks_.separator : FindFast(payload_, "://");
    for (std::size_t p = firstSeparator; p != npos; p = FindFast(payload_, "://", p + 1)) {
      // Scheme: up to six letters just before "://", read backwards. An occurrence within the first
      // six bytes has fewer than six bytes before it and yields no scheme: a window taken from the
      // payload's first six bytes would then hold "://" itself and whatever follows it.
      if (p < 6) continue;
      char scheme[6];
      std::size_t schemeStart = 6;
      for (std::size_t k = 0; k < 6; ++k) scheme[k] = LowerByte(payload_[p - 6 + k]);
      while (schemeStart > 0) {
        const auto c = static_cast<unsigned char>(scheme[schemeStart - 1]);
        if (c < 0x60 || c > 0x7A) break;
        --schemeStart;
      }
      if (schemeStart == 6) continue;

      const std::size_t end = ends.From(p + 4);
      // The host part (up to the first "/" after "://") must be plain ASCII.
      const std::string_view rest = payload_.substr(p + 3, end - (p + 3));
      const std::string_view host = rest.substr(0, rest.find('/'));
      bool ascii = true;
      for (char c : host)
        if (static_cast<unsigned char>(c) >= 0x80) {
          ascii = false;
          break;
        }
      if (!ascii) continue;

      candidate_.assign(scheme + schemeStart, 6 - schemeStart);
      candidate_.append(payload_.substr(p, end - p));
      std::string_view a = CleanCandidate(candidate_);
      if (a.size() < 10 || a.find('/', 8) == npos) continue;
      if (const std::size_t quote = a.find('"'); quote != npos) a = a.substr(0, quote);

      std::string address(a);
      const std::string_view category = FileType(address, *ctx_.types);
      if (category.empty()) continue;
      Emit(InsertionKind::Scan, category, outbound_ ? Direction::Outbound : Direction::Inbound, std::move(address));
    }
  }

  void Emit(InsertionKind kind, std::string_view category, Direction dir, std::string address) {
    if (!record_) {
      if (owned_) {
        // The payload is the caller's string, given up: it moves into the record, and the view follows it.
        record_ = std::make_shared<const LVDATA>(LVDATA{std::string(remote_), std::move(*owned_)});
        owned_ = nullptr;
        payload_ = record_->Packet;
      } else {
        record_ = std::make_shared<const LVDATA>(LVDATA{std::string(remote_), std::string(payload_)});
      }
    }
    UrlInsertion ins;
    ins.kind = kind;
    ins.category = category;
    ins.direction = dir;
    ins.address = std::move(address);
    ins.record = record_;
    ins.outbound = outbound_;
    ins.duplicates = ctx_.types->duplicates;
    if (ctx_.sink) ctx_.sink->Insert(std::move(ins));
  }

  std::string_view payload_;
  std::string_view remote_;
  bool outbound_;
  bool joined_;  // a request head joined from several segments: the request-line form only
public:
  std::string_view scheme_ = "http";  // of an origin-form target
  std::string* owned_ = nullptr;      // the string payload_ views, when the caller gives it up
private:
  SearchContext& ctx_;
  PayloadMarks marks_;
  bool marksFound_ = false;
  LVDataPtr record_;       // made at the first insertion, shared by all insertions of this payload
  std::string candidate_;  // scratch buffer for scan candidates
};

}  // namespace

void Searchs(std::string_view payload, std::string_view remote, bool outbound, SearchContext& ctx) {
  Parser(payload, remote, outbound, ctx).Run();
}

void SearchsJoined(std::string_view head, std::string_view remote, bool outbound, SearchContext& ctx) {
  Parser(head, remote, outbound, ctx, true).Run();
}

void SearchsHttps(std::string&& head, std::string_view scheme, std::string_view remote, SearchContext& ctx) {
  Parser parser(head, remote, true, ctx, true);
  parser.scheme_ = scheme == "http" ? "http" : "https";
  parser.owned_ = &head;
  parser.Run();
}

void ListServerName(std::string_view name, std::uint16_t port, std::string_view remote, std::string_view payload,
                    SearchContext& ctx) {
  Parser(payload, remote, true, ctx).ServerName(name, port);
}

}  // namespace qv
