#include "urls/client_hello.h"

#include <algorithm>
#include <string>

namespace qv {
namespace {

constexpr std::uint8_t kHandshakeRecord = 22;
constexpr std::uint8_t kClientHello = 1;
constexpr unsigned kServerNameExtension = 0;
constexpr std::uint8_t kHostName = 0;
constexpr std::size_t kMaxRecord = 16384 + 2048;  // the largest record TLS allows

// A name is listed only when it looks like a DNS name: letters, digits, "-", "_" and ".", at most 253
// bytes. Anything else from the network is not put into an address.
bool IsHostName(const std::uint8_t* p, std::size_t n) {
  if (n == 0 || n > 253 || p[0] == '.') return false;
  bool alnum = false;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint8_t c = p[i];
    const bool letterOrDigit = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!letterOrDigit && c != '-' && c != '_' && c != '.') return false;
    alnum = alnum || letterOrDigit;
  }
  return alnum;
}

// A cursor over the ClientHello body. `avail` bytes are present of `total` the message says it has;
// reading past `avail` but within `total` means more bytes are needed, past `total` that the message
// is malformed.
class Body {
 public:
  Body(const std::uint8_t* p, std::size_t avail, std::size_t total) : p_(p), avail_(avail), total_(total) {}
  // Can `k` more bytes be read? Sets the outcome when not.
  bool Has(std::size_t k) {
    if (pos_ + k <= avail_) return true;
    result_ = pos_ + k <= total_ ? HelloResult::NeedMore : HelloResult::NotClientHello;
    return false;
  }
  unsigned U8() { return p_[pos_++]; }
  unsigned U16() {
    const unsigned v = unsigned{p_[pos_]} << 8 | p_[pos_ + 1];
    pos_ += 2;
    return v;
  }
  void Skip(std::size_t k) { pos_ += k; }
  const std::uint8_t* Here() const { return p_ + pos_; }
  std::size_t Pos() const { return pos_; }
  HelloResult Result() const { return result_; }

 private:
  const std::uint8_t* p_;
  std::size_t avail_, total_, pos_ = 0;
  HelloResult result_ = HelloResult::NotClientHello;
};

// The server_name extension's data: a list of names, the first host name counts.
HelloResult ServerNameOf(const std::uint8_t* p, std::size_t n, std::string& name) {
  if (n < 2) return HelloResult::NoServerName;
  const std::size_t listLength = std::size_t{p[0]} << 8 | p[1];
  if (listLength + 2 > n) return HelloResult::NoServerName;
  std::size_t pos = 2;
  while (pos + 3 <= 2 + listLength) {
    const std::uint8_t type = p[pos];
    const std::size_t length = std::size_t{p[pos + 1]} << 8 | p[pos + 2];
    pos += 3;
    if (pos + length > 2 + listLength) break;
    if (type == kHostName) {
      if (!IsHostName(p + pos, length)) return HelloResult::NoServerName;
      name.assign(reinterpret_cast<const char*>(p + pos), length);
      return HelloResult::ServerName;
    }
    pos += length;
  }
  return HelloResult::NoServerName;
}

}  // namespace

HelloResult ReadClientHelloMessage(const std::uint8_t* p, std::size_t n, std::string& name) {
  if (n < 1) return HelloResult::NeedMore;
  if (p[0] != kClientHello) return HelloResult::NotClientHello;
  if (n < 4) return HelloResult::NeedMore;
  const std::size_t total = std::size_t{p[1]} << 16 | std::size_t{p[2]} << 8 | p[3];
  Body b(p + 4, std::min(n - 4, total), total);
  // version, random, session id, cipher suites, compression methods
  if (!b.Has(35)) return b.Result();
  b.Skip(34);
  const unsigned sessionId = b.U8();
  if (sessionId > 32) return HelloResult::NotClientHello;
  if (!b.Has(sessionId + 2)) return b.Result();
  b.Skip(sessionId);
  const unsigned suites = b.U16();
  if (!b.Has(suites + 1)) return b.Result();
  b.Skip(suites);
  const unsigned compression = b.U8();
  if (!b.Has(compression)) return b.Result();
  b.Skip(compression);
  if (b.Pos() == total) return HelloResult::NoServerName;  // no extensions at all
  if (!b.Has(2)) return b.Result();
  const std::size_t extensionsEnd = b.Pos() + 2 + b.U16();
  if (extensionsEnd > total) return HelloResult::NotClientHello;
  while (b.Pos() < extensionsEnd) {
    if (!b.Has(4)) return b.Result();
    const unsigned type = b.U16();
    const unsigned length = b.U16();
    if (b.Pos() + length > extensionsEnd) return HelloResult::NotClientHello;
    if (!b.Has(length)) return b.Result();
    if (type == kServerNameExtension) return ServerNameOf(b.Here(), length, name);
    b.Skip(length);
  }
  return HelloResult::NoServerName;
}

HelloResult ReadTlsClientHello(const std::uint8_t* p, std::size_t n, std::string& name) {
  // The handshake message may be split over several records: their fragments are joined. The usual
  // case, one record holding the whole message, is read in place.
  std::string joined;
  std::size_t pos = 0;
  while (true) {
    if (n - pos < 5) return HelloResult::NeedMore;
    if (p[pos] != kHandshakeRecord || p[pos + 1] != 0x03) return HelloResult::NotClientHello;
    const std::size_t length = std::size_t{p[pos + 3]} << 8 | p[pos + 4];
    if (length == 0 || length > kMaxRecord) return HelloResult::NotClientHello;
    const std::size_t present = std::min(length, n - pos - 5);
    const std::uint8_t* fragment = p + pos + 5;
    HelloResult r;
    if (pos == 0 && present == n - 5) {
      r = ReadClientHelloMessage(fragment, present, name);
      if (r != HelloResult::NeedMore || present < length) return r;
      return HelloResult::NeedMore;  // the next record has not arrived yet
    }
    joined.append(reinterpret_cast<const char*>(fragment), present);
    r = ReadClientHelloMessage(reinterpret_cast<const std::uint8_t*>(joined.data()), joined.size(), name);
    if (r != HelloResult::NeedMore) return r;
    if (present < length) return HelloResult::NeedMore;  // this record is not complete yet
    pos += 5 + length;
    if (joined.size() > kMaxClientHello) return HelloResult::NotClientHello;
  }
}

}  // namespace qv

namespace qv {

bool ReadClientHelloRandomAlpn(const std::uint8_t* p, std::size_t n, std::uint8_t random[32],
                               std::vector<std::string>& alpn) {
  alpn.clear();
  if (n < 4 || p[0] != kClientHello) return false;
  const std::size_t total = std::size_t{p[1]} << 16 | std::size_t{p[2]} << 8 | p[3];
  if (n - 4 < total) return false;
  Body b(p + 4, total, total);
  if (!b.Has(35)) return false;
  b.Skip(2);
  std::copy(b.Here(), b.Here() + 32, random);
  b.Skip(32);
  const unsigned sessionId = b.U8();
  if (sessionId > 32 || !b.Has(sessionId + 2)) return false;
  b.Skip(sessionId);
  const unsigned suites = b.U16();
  if (!b.Has(suites + 1)) return false;
  b.Skip(suites);
  const unsigned compression = b.U8();
  if (!b.Has(compression)) return false;
  b.Skip(compression);
  if (b.Pos() == total) return true;
  if (!b.Has(2)) return false;
  const std::size_t extensionsEnd = b.Pos() + 2 + b.U16();
  if (extensionsEnd > total) return false;
  while (b.Pos() < extensionsEnd) {
    if (!b.Has(4)) return false;
    const unsigned type = b.U16();
    const unsigned length = b.U16();
    if (b.Pos() + length > extensionsEnd || !b.Has(length)) return false;
    if (type == 16 && length >= 2) {  // application_layer_protocol_negotiation
      const std::uint8_t* e = b.Here();
      const std::size_t listEnd = std::min<std::size_t>(length, 2 + (std::size_t{e[0]} << 8 | e[1]));
      std::size_t pos = 2;
      while (pos < listEnd && pos + 1 + e[pos] <= listEnd) {
        alpn.emplace_back(reinterpret_cast<const char*>(e + pos + 1), e[pos]);
        pos += 1 + e[pos];
      }
    }
    b.Skip(length);
  }
  return true;
}

}  // namespace qv
