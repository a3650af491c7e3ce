#include "tls/tls_reader.h"

#include <algorithm>
#include <cstring>

namespace qv::tls {
namespace {

constexpr std::size_t kMaxFragment = 16384 + 2048;  // the largest TLSCiphertext fragment
constexpr std::size_t kMaxHandshakeBytes = 64 * 1024;

constexpr std::uint8_t kRecordChangeCipherSpec = 20, kRecordAlert = 21, kRecordHandshake = 22,
                       kRecordApplicationData = 23, kRecordHeartbeat = 24;

std::uint16_t Be16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }
std::uint32_t Be24(const std::uint8_t* p) { return std::uint32_t{p[0]} << 16 | std::uint32_t{p[1]} << 8 | p[2]; }

// SHA-256 of "HelloRetryRequest": the random of a HelloRetryRequest.
constexpr std::uint8_t kRetryRandom[32] = {0xCF, 0x21, 0xAD, 0x74, 0xE5, 0x9A, 0x61, 0x11, 0xBE, 0x1D, 0x8C,
                                           0x02, 0x1E, 0x65, 0xB8, 0x91, 0xC2, 0xA2, 0x11, 0x16, 0x7A, 0xBB,
                                           0x8C, 0x5E, 0x07, 0x9E, 0x09, 0xE2, 0xC8, 0xA8, 0x33, 0x9C};

// Whole records from `records` (bytes in order): the handshake bytes of plaintext handshake records are
// appended to `handshake`; false when the stream is not TLS.
bool TakeHandshakeRecords(std::string& records, std::string& handshake) {
  std::size_t at = 0;
  while (records.size() - at >= 5) {
    const auto* r = reinterpret_cast<const std::uint8_t*>(records.data() + at);
    const std::size_t len = Be16(r + 3);
    if (r[0] < kRecordChangeCipherSpec || r[0] > kRecordHeartbeat || r[1] != 3 || len > kMaxFragment) return false;
    if (records.size() - at < 5 + len) break;
    if (r[0] == kRecordHandshake) handshake.append(reinterpret_cast<const char*>(r + 5), len);
    at += 5 + len;
  }
  records.erase(0, at);
  return handshake.size() <= kMaxHandshakeBytes;
}

}  // namespace

bool LookUpSuite(std::uint16_t suite, SuiteInfo& s) {
  s = SuiteInfo{};
  switch (suite) {
    case 0x1301: s.tls13 = true; s.aead = Aead::Aes128Gcm; s.keyLength = 16; return true;
    case 0x1302: s.tls13 = true; s.aead = Aead::Aes256Gcm; s.keyLength = 32; s.prf = Hash::Sha384; return true;
    case 0x1303: s.tls13 = true; s.aead = Aead::Chacha20Poly1305; s.keyLength = 32; return true;
    // AES-128-GCM with SHA-256: ECDHE-ECDSA, ECDHE-RSA, RSA, DHE-RSA.
    case 0xC02B: case 0xC02F: case 0x009C: case 0x009E:
      s.aead = Aead::Aes128Gcm; s.keyLength = 16; return true;
    case 0xC02C: case 0xC030: case 0x009D: case 0x009F:
      s.aead = Aead::Aes256Gcm; s.keyLength = 32; s.prf = Hash::Sha384; return true;
    case 0xCCA8: case 0xCCA9: case 0xCCAA:
      s.aead = Aead::Chacha20Poly1305; s.keyLength = 32; return true;
    // CBC with HMAC-SHA1 (the PRF is TLS 1.2's SHA-256).
    case 0xC009: case 0xC013: case 0x002F: case 0x0033:
      s.cbc = true; s.keyLength = 16; s.mac = Hash::Sha1; return true;
    case 0xC00A: case 0xC014: case 0x0035: case 0x0039:
      s.cbc = true; s.keyLength = 32; s.mac = Hash::Sha1; return true;
    case 0xC023: case 0xC027: case 0x003C: case 0x0067:
      s.cbc = true; s.keyLength = 16; s.mac = Hash::Sha256; return true;
    case 0x003D: case 0x006B:
      s.cbc = true; s.keyLength = 32; s.mac = Hash::Sha256; return true;
    case 0xC024: case 0xC028:
      s.cbc = true; s.keyLength = 32; s.mac = Hash::Sha384; s.prf = Hash::Sha384; return true;
    default: return false;
  }
}

bool ParseServerHello(const std::uint8_t* b, std::size_t n, ServerHello& out, bool& retry) {
  out = ServerHello{};
  retry = false;
  if (n < 38) return false;
  out.version = Be16(b);
  std::memcpy(out.random, b + 2, 32);
  retry = std::memcmp(out.random, kRetryRandom, 32) == 0;
  std::size_t at = 34;
  const std::size_t sid = b[at];
  at += 1 + sid;
  if (at + 3 > n) return false;
  out.suite = Be16(b + at);
  at += 3;  // suite, compression
  if (at + 2 > n) return true;  // no extensions
  const std::size_t extEnd = std::min(n, at + 2 + Be16(b + at));
  at += 2;
  while (at + 4 <= extEnd) {
    const std::uint16_t type = Be16(b + at);
    const std::size_t len = Be16(b + at + 2);
    at += 4;
    if (at + len > extEnd) return false;
    const std::uint8_t* e = b + at;
    if (type == 0x002B && len == 2) out.version = Be16(e);  // supported_versions
    if (type == 0x0016) out.encryptThenMac = true;
    if (type == 0x0010 && len >= 3) {  // ALPN: one protocol name
      const std::size_t nameLength = e[2];
      if (3 + nameLength <= len) out.alpn.assign(reinterpret_cast<const char*>(e + 3), nameLength);
    }
    at += len;
  }
  return true;
}

bool ServerHelloReader::Feed(const std::uint8_t* p, std::size_t n) {
  if (done_ || broken_) return done_;
  records_.append(reinterpret_cast<const char*>(p), n);
  if (!TakeHandshakeRecords(records_, handshake_)) {
    broken_ = true;
    return false;
  }
  std::size_t at = 0;
  while (handshake_.size() - at >= 4) {
    const auto* m = reinterpret_cast<const std::uint8_t*>(handshake_.data() + at);
    const std::size_t len = Be24(m + 1);
    if (len > kMaxHandshakeBytes) {
      broken_ = true;
      return false;
    }
    if (handshake_.size() - at < 4 + len) break;
    if (m[0] == 2) {
      bool retry = false;
      if (!ParseServerHello(m + 4, len, hello_, retry)) {
        broken_ = true;
        return false;
      }
      if (!retry) {
        done_ = true;
        records_.clear();
        records_.shrink_to_fit();
        handshake_.clear();
        handshake_.shrink_to_fit();
        return true;
      }
    }
    at += 4 + len;
  }
  handshake_.erase(0, at);
  // TLS 1.3 encrypts what follows the ServerHello; nothing later is plaintext handshake.
  if (records_.size() > kMaxHandshakeBytes) broken_ = true;
  return false;
}

void ClientRecordReader::Reset(DataSink sink) {
  ClientRecordReader fresh(std::move(sink));
  fresh.opener_ = std::move(opener_);
  const auto keepRoom = [](std::string& from, std::string& to) {
    to = std::move(from);
    to.clear();
    if (to.capacity() > kKeptRoom) to.shrink_to_fit();
  };
  keepRoom(buffer_, fresh.buffer_);
  keepRoom(handshake_, fresh.handshake_);
  *this = std::move(fresh);
}

void ClientRecordReader::Feed(const std::uint8_t* p, std::size_t n, const SecretLookup& secrets) {
  if (state_ != State::Plain && state_ != State::Encrypted) return;
  if (HeldBytes() + n > kMaxHeldBytes) {
    // Waiting too long for a ServerHello or a key: give up on this connection.
    state_ = State::Failed;
    buffer_.clear();
    buffer_.shrink_to_fit();
    consumed_ = 0;
    return;
  }
  buffer_.append(reinterpret_cast<const char*>(p), n);
  Pump(secrets);
}

void ClientRecordReader::SetServerHello(const ServerHello& hello, const SecretLookup& secrets) {
  hello_ = hello;
  hasHello_ = true;
  Pump(secrets);
}

void ClientRecordReader::Pump(const SecretLookup& secrets) {
  wait_ = Wait::Nothing;
  while (state_ == State::Plain || state_ == State::Encrypted) {
    const std::size_t avail = buffer_.size() - consumed_;
    if (avail < 5) break;
    auto* r = reinterpret_cast<std::uint8_t*>(buffer_.data() + consumed_);
    const std::size_t len = Be16(r + 3);
    if (r[0] < kRecordChangeCipherSpec || r[0] > kRecordHeartbeat || r[1] != 3 || len > kMaxFragment) {
      state_ = State::Failed;
      break;
    }
    if (avail < 5 + len) break;
    if (!Record(r, len, secrets)) break;
    consumed_ += 5 + len;
  }
  if (state_ == State::Failed || state_ == State::Closed) {
    buffer_.clear();
    buffer_.shrink_to_fit();
    handshake_.clear();
    handshake_.shrink_to_fit();
    consumed_ = 0;
    return;
  }
  if (consumed_ == buffer_.size()) {
    buffer_.clear();
    consumed_ = 0;
  } else if (consumed_ > 32 * 1024) {
    buffer_.erase(0, consumed_);
    consumed_ = 0;
  }
  if (buffer_.capacity() > 64 * 1024 && buffer_.size() < 16 * 1024) buffer_.shrink_to_fit();
}

bool ClientRecordReader::PlainRecord(std::uint8_t type, const std::uint8_t* f, std::size_t n) {
  if (type != kRecordHandshake) return true;
  handshake_.append(reinterpret_cast<const char*>(f), n);
  std::size_t at = 0;
  while (handshake_.size() - at >= 4) {
    const auto* m = reinterpret_cast<const std::uint8_t*>(handshake_.data() + at);
    const std::size_t len = Be24(m + 1);
    if (len > kMaxHandshakeBytes) return false;
    if (handshake_.size() - at < 4 + len) break;
    if (m[0] == 1 && len >= 34 && !hasRandom_) {  // ClientHello: version, then the random
      std::memcpy(random_.data(), m + 6, 32);
      hasRandom_ = true;
    }
    at += 4 + len;
  }
  handshake_.erase(0, at);
  return handshake_.size() <= kMaxHandshakeBytes;
}

bool ClientRecordReader::SetKey13(const std::uint8_t* secret, std::size_t length) {
  // One HMAC key for both labels: the secret's padded blocks are hashed once.
  HmacKey prk;
  std::uint8_t key[32];
  const bool ok = prk.Init(hash_, secret, length) && ExpandLabel(prk, "key", nullptr, 0, key, AeadKeyLength(aead_)) &&
                  ExpandLabel(prk, "iv", nullptr, 0, iv_, kAeadIvLength) && opener_.Init(aead_, key);
  if (!ok) return false;
  secret13_.assign(reinterpret_cast<const char*>(secret), length);
  sequence_ = 0;
  return true;
}

// Finds the key for the client's first encrypted record; false while it is not known (or cannot be used).
bool ClientRecordReader::EnterEncrypted(const SecretLookup& secrets) {
  SuiteInfo s;
  if (!hasRandom_ || !LookUpSuite(hello_.suite, s) || s.tls13 != (hello_.version == 0x0304)) {
    state_ = State::Closed;  // not a suite read here
    return false;
  }
  aead_ = s.aead;
  hash_ = s.prf;
  std::string secret;
  if (s.tls13) {
    handshakeKey_ = secrets.Find(SecretKind::ClientHandshake, random_, secret);
    if (!handshakeKey_ && !secrets.Find(SecretKind::ClientTraffic0, random_, secret)) {
      wait_ = Wait::Key;
      return false;
    }
    keyFound_ = true;
    if (secret.size() != HashLength(hash_) ||
        !SetKey13(reinterpret_cast<const std::uint8_t*>(secret.data()), secret.size())) {
      state_ = State::Failed;
      return false;
    }
    cipher_ = Cipher::Aead13;
    handshake_.clear();
    return true;
  }
  if (!secrets.Find(SecretKind::Tls12Master, random_, secret)) {
    wait_ = Wait::Key;
    return false;
  }
  keyFound_ = true;
  std::uint8_t seed[64];
  std::memcpy(seed, hello_.random, 32);
  std::memcpy(seed + 32, random_.data(), 32);
  const std::size_t macLength = s.cbc ? HashLength(s.mac) : 0;
  const std::size_t ivLength = s.cbc ? 0 : (s.aead == Aead::Chacha20Poly1305 ? 12 : 4);
  std::uint8_t block[2 * 48 + 2 * 32 + 2 * 12];
  const std::size_t blockLength = 2 * macLength + 2 * s.keyLength + 2 * ivLength;
  if (!Tls12Prf(hash_, reinterpret_cast<const std::uint8_t*>(secret.data()), secret.size(), "key expansion", seed, 64,
                block, blockLength)) {
    state_ = State::Failed;
    return false;
  }
  const std::uint8_t* key = block + 2 * macLength;
  sequence_ = 0;
  if (s.cbc) {
    cipher_ = Cipher::Cbc12;
    macHash_ = s.mac;
    std::memcpy(macKey_, block, macLength);
    std::memcpy(cbcKey_, key, s.keyLength);
    cbcKeyLength_ = s.keyLength;
    return true;
  }
  std::memset(iv_, 0, sizeof iv_);
  std::memcpy(iv_, key + 2 * s.keyLength, ivLength);
  cipher_ = s.aead == Aead::Chacha20Poly1305 ? Cipher::Chacha12 : Cipher::Gcm12;
  if (!opener_.Init(s.aead, key)) {
    state_ = State::Failed;
    return false;
  }
  return true;
}

bool ClientRecordReader::Decrypt(const std::uint8_t* h, std::uint8_t* f, std::size_t n, std::uint8_t& type,
                                 std::size_t& plainLength, std::size_t& plainOffset) {
  std::uint8_t aad[13];
  for (int i = 0; i < 8; ++i) aad[i] = static_cast<std::uint8_t>(sequence_ >> (56 - 8 * i));
  aad[8] = h[0];
  aad[9] = h[1];
  aad[10] = h[2];
  std::uint8_t nonce[kAeadIvLength];
  type = h[0];
  plainOffset = 0;
  switch (cipher_) {
    case Cipher::Aead13: {
      if (n < kAeadTagLength + 1) return false;
      MakeNonce(iv_, sequence_, nonce);
      if (!opener_.Open(nonce, h, 5, f, n, f)) return false;
      std::size_t end = n - kAeadTagLength;
      while (end > 0 && f[end - 1] == 0) --end;  // the padding of TLSInnerPlaintext
      if (end == 0) return false;
      type = f[end - 1];
      plainLength = end - 1;
      return true;
    }
    case Cipher::Gcm12: {
      if (n < 8 + kAeadTagLength) return false;
      plainLength = n - 8 - kAeadTagLength;
      aad[11] = static_cast<std::uint8_t>(plainLength >> 8);
      aad[12] = static_cast<std::uint8_t>(plainLength);
      std::memcpy(nonce, iv_, 4);
      std::memcpy(nonce + 4, f, 8);
      plainOffset = 8;
      return opener_.Open(nonce, aad, 13, f + 8, n - 8, f + 8);
    }
    case Cipher::Chacha12: {
      if (n < kAeadTagLength) return false;
      plainLength = n - kAeadTagLength;
      aad[11] = static_cast<std::uint8_t>(plainLength >> 8);
      aad[12] = static_cast<std::uint8_t>(plainLength);
      MakeNonce(iv_, sequence_, nonce);
      return opener_.Open(nonce, aad, 13, f, n, f);
    }
    case Cipher::Cbc12: {
      const std::size_t macLength = HashLength(macHash_);
      std::uint8_t mac[48];
      const bool etm = hello_.encryptThenMac;
      const std::size_t sealed = etm ? (n >= macLength ? n - macLength : 0) : n;  // IV and ciphertext
      if (sealed < 32 || sealed % 16 != 0) return false;
      if (etm) {
        aad[11] = static_cast<std::uint8_t>(sealed >> 8);
        aad[12] = static_cast<std::uint8_t>(sealed);
        if (!Hmac2(macHash_, macKey_, macLength, aad, 13, f, sealed, mac) ||
            std::memcmp(mac, f + sealed, macLength) != 0)
          return false;
      }
      const std::size_t c = sealed - 16;
      std::uint8_t iv[16];
      std::memcpy(iv, f, 16);
      if (!CbcDecrypt(cbcKey_, cbcKeyLength_, iv, f + 16, c, f + 16)) return false;
      const std::size_t pad = f[16 + c - 1];
      if (pad + 1 > c) return false;
      for (std::size_t i = 0; i <= pad; ++i)
        if (f[16 + c - 1 - i] != pad) return false;
      std::size_t content = c - pad - 1;
      plainOffset = 16;
      if (!etm) {
        if (content < macLength) return false;
        content -= macLength;
        aad[11] = static_cast<std::uint8_t>(content >> 8);
        aad[12] = static_cast<std::uint8_t>(content);
        if (!Hmac2(macHash_, macKey_, macLength, aad, 13, f + 16, content, mac) ||
            std::memcmp(mac, f + 16 + content, macLength) != 0)
          return false;
      }
      plainLength = content;
      return true;
    }
    case Cipher::None: break;
  }
  return false;
}

// Handshake messages inside encrypted records: TLS 1.3's Finished ends the handshake key, a KeyUpdate
// changes the traffic key after its record.
void ClientRecordReader::InnerHandshake(const std::uint8_t* p, std::size_t n) {
  if (cipher_ != Cipher::Aead13) return;
  handshake_.append(reinterpret_cast<const char*>(p), n);
  std::size_t at = 0;
  while (handshake_.size() - at >= 4) {
    const auto* m = reinterpret_cast<const std::uint8_t*>(handshake_.data() + at);
    const std::size_t len = Be24(m + 1);
    if (len > kMaxHandshakeBytes) {
      state_ = State::Failed;
      return;
    }
    if (handshake_.size() - at < 4 + len) break;
    if (m[0] == 20 && handshakeKey_) switchToTraffic_ = true;
    if (m[0] == 24 && !handshakeKey_) pendingKeyUpdate_ = true;
    at += 4 + len;
  }
  handshake_.erase(0, at);
  if (handshake_.size() > kMaxHandshakeBytes) state_ = State::Failed;
}

bool ClientRecordReader::Record(const std::uint8_t* hc, std::size_t n, const SecretLookup& secrets) {
  auto* h = const_cast<std::uint8_t*>(hc);
  std::uint8_t* f = h + 5;
  const std::uint8_t type = h[0];
  if (state_ == State::Plain) {
    if (type == kRecordHandshake || type == kRecordAlert || type == kRecordHeartbeat) {
      if (!PlainRecord(type, f, n)) state_ = State::Failed;
      return state_ == State::Plain;
    }
    if (!hasHello_) {
      wait_ = Wait::ServerHello;
      return false;
    }
    const bool tls13 = hello_.version == 0x0304;
    if (type == kRecordChangeCipherSpec && tls13) return true;  // middlebox compatibility
    if (type == kRecordApplicationData && !tls13) {
      state_ = State::Failed;
      return false;
    }
    if (!EnterEncrypted(secrets)) return false;
    state_ = State::Encrypted;
    if (type == kRecordChangeCipherSpec) return true;  // TLS 1.2: the records after it are encrypted
  }
  // Encrypted.
  if (type == kRecordChangeCipherSpec) return true;
  if (switchToTraffic_) {
    std::string secret;
    if (!secrets.Find(SecretKind::ClientTraffic0, random_, secret)) {
      wait_ = Wait::Key;
      return false;
    }
    if (secret.size() != HashLength(hash_) ||
        !SetKey13(reinterpret_cast<const std::uint8_t*>(secret.data()), secret.size())) {
      state_ = State::Failed;
      return false;
    }
    switchToTraffic_ = false;
    handshakeKey_ = false;
    handshake_.clear();
  }
  std::uint8_t inner = 0;
  std::size_t length = 0, offset = 0;
  if (!Decrypt(h, f, n, inner, length, offset)) {
    // TLS 1.3: records before the first that opens may be 0-RTT data (another key), or, with only the
    // traffic secret known, the client's handshake records. A few are passed over.
    if (cipher_ == Cipher::Aead13 && opened_ == 0 && skippedBeforeFirst_ < 16) {
      ++skippedBeforeFirst_;
      return true;
    }
    state_ = State::Failed;
    return false;
  }
  ++opened_;
  ++sequence_;
  const std::uint8_t* plain = f + offset;
  if (inner == kRecordApplicationData) {
    if (sink_) sink_(plain, length);
  } else if (inner == kRecordHandshake) {
    InnerHandshake(plain, length);
    if (pendingKeyUpdate_ && state_ == State::Encrypted) {
      pendingKeyUpdate_ = false;
      std::uint8_t next[48];
      const std::size_t hl = HashLength(hash_);
      if (!ExpandLabel(hash_, reinterpret_cast<const std::uint8_t*>(secret13_.data()), secret13_.size(),
                       "traffic upd", nullptr, 0, next, hl) ||
          !SetKey13(next, hl))
        state_ = State::Failed;
    }
  } else if (inner == kRecordAlert) {
    state_ = State::Closed;
  }
  return state_ == State::Encrypted;
}

}  // namespace qv::tls
