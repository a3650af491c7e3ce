#include "tls/quic_connections.h"

#include <algorithm>
#include <cstring>
#include <deque>

#include "tls/h3_requests.h"
#include "tls/quic_keys.h"
#include "urls/quic_initial.h"
#include "urls/client_hello.h"

namespace qv::tls {
namespace {

constexpr std::size_t kMaxCid = 20;
constexpr std::size_t kMaxCrypto = 16 * 1024;  // the ClientHello / ServerHello prefix kept
constexpr std::size_t kSample = 16;
constexpr int kMaxCoalesced = 8;
constexpr std::size_t kMaxCidsPerConnection = 8;
constexpr std::uint64_t kMaxUnverified = 64;  // 1-RTT packets tried before a connection with none verified stops trying
constexpr std::size_t kMaxPathCandidates = 8;  // connections tried for a packet on unknown endpoints
constexpr unsigned kMaxPathTries = 4;          // packets tried per unknown pair of endpoints
constexpr std::size_t kMaxStrangers = 4096;
constexpr std::size_t kMaxPaths = 8;           // new paths followed per connection

std::string Endpoint(bool v6, const std::array<std::uint8_t, 16>& a, std::uint16_t port) {
  std::string s(reinterpret_cast<const char*>(a.data()), v6 ? 16 : 4);
  s.push_back(static_cast<char>(port >> 8));
  s.push_back(static_cast<char>(port));
  return s;
}

// CRYPTO stream bytes put together from offset 0, within kMaxCrypto.
struct CryptoStream {
  std::string data;                           // contiguous from 0
  std::map<std::uint64_t, std::string> later;  // beyond data's end
  std::size_t laterBytes = 0;
  void Add(std::uint64_t offset, const std::uint8_t* p, std::size_t n) {
    if (offset >= kMaxCrypto) return;
    n = static_cast<std::size_t>(std::min<std::uint64_t>(n, kMaxCrypto - offset));
    if (offset > data.size()) {
      if (laterBytes + n > kMaxCrypto) return;
      std::string& slot = later[offset];
      if (slot.size() < n) {
        laterBytes += n - slot.size();
        slot.assign(reinterpret_cast<const char*>(p), n);
      }
      return;
    }
    if (offset + n > data.size()) data.append(reinterpret_cast<const char*>(p) + (data.size() - offset), offset + n - data.size());
    while (!later.empty() && later.begin()->first <= data.size()) {
      const std::uint64_t at = later.begin()->first;
      const std::string chunk = std::move(later.begin()->second);
      later.erase(later.begin());
      laterBytes -= chunk.size();
      if (at + chunk.size() > data.size()) data.append(chunk, static_cast<std::size_t>(data.size() - at), std::string::npos);
    }
  }
};

// The CRYPTO frames of a decrypted Initial or Handshake packet, into the connection's crypto stream.
void CryptoFrames(const std::vector<std::uint8_t>& plain, CryptoStream& stream) {
  ForEachCryptoFrame(plain.data(), plain.size(), [&](std::uint64_t offset, const std::uint8_t* data, std::size_t length) {
    stream.Add(offset, data, length);
  });
}

// Removes header protection and opens one packet. `pnOffset` is where the packet number starts,
// `end` where the packet ends; `largest` the largest packet number verified so far in this space (or
// -1). Gives the full packet number and the key phase bit (short header).
bool OpenPacket(QuicKeys& keys, const std::uint8_t* p, std::size_t pnOffset, std::size_t end, std::int64_t largest,
                std::uint64_t& pn, int& phase, std::vector<std::uint8_t>& plain, QuicKeys* (*pick)(void*, int, std::uint64_t) = nullptr,
                void* pickArg = nullptr) {
  if (end < pnOffset + 4 + kSample) return false;
  std::uint8_t mask[5];
  if (!HeaderProtectionMask(keys.aead, keys.hp, p + pnOffset + 4, mask)) return false;
  const bool longHeader = p[0] & 0x80;
  // The header is the AEAD's associated data; an Initial's token can make it long.
  std::uint8_t small[96];
  std::vector<std::uint8_t> large;
  std::uint8_t* header = small;
  if (pnOffset + 4 > sizeof small) {
    large.resize(pnOffset + 4);
    header = large.data();
  }
  std::memcpy(header, p, pnOffset);
  header[0] = static_cast<std::uint8_t>(p[0] ^ (mask[0] & (longHeader ? 0x0F : 0x1F)));
  const std::size_t pnLength = (header[0] & 0x03) + 1;
  std::uint64_t truncated = 0;
  for (std::size_t i = 0; i < pnLength; ++i) {
    header[pnOffset + i] = static_cast<std::uint8_t>(p[pnOffset + i] ^ mask[1 + i]);
    truncated = truncated << 8 | header[pnOffset + i];
  }
  // The packet number nearest to the one expected (RFC 9000, appendix A.3).
  const std::uint64_t expected = static_cast<std::uint64_t>(largest + 1);
  const std::uint64_t window = std::uint64_t{1} << (pnLength * 8);
  const std::uint64_t half = window / 2;
  std::uint64_t candidate = (expected & ~(window - 1)) | truncated;
  if (candidate + half <= expected && candidate < (std::uint64_t{1} << 62) - window)
    candidate += window;
  else if (candidate > expected + half && candidate >= window)
    candidate -= window;
  pn = candidate;
  phase = (header[0] >> 2) & 1;
  QuicKeys* k = pick != nullptr ? pick(pickArg, phase, pn) : &keys;
  if (k == nullptr || !k->opener) return false;
  const std::size_t headerLength = pnOffset + pnLength;
  const std::size_t sealed = end - headerLength;
  if (sealed < kAeadTagLength) return false;
  plain.resize(sealed);
  std::uint8_t nonce[kAeadIvLength];
  MakeNonce(k->iv, pn, nonce);
  if (!k->opener->Open(nonce, header, headerLength, p + headerLength, sealed, plain.data())) return false;
  plain.resize(sealed - kAeadTagLength);
  return true;
}

struct HeldPacket {
  double seconds;
  std::vector<std::uint8_t> bytes;
};

}  // namespace

struct QuicConnections::Connection {
  std::string key;
  std::uint64_t order = 0;
  double lastSeen = 0;
  std::string initialDcid;  // of the client's latest Initial: the Initial keys of both sides come from it
  CryptoStream clientHello, serverHello;
  bool hello = false;  // the ClientHello's random is known and it offers h3
  ClientRandom random{};
  std::vector<std::string> serverCids;  // connection IDs the server chose (the client's short-header DCID)
  unsigned suite = 0;                   // from the ServerHello; 0 while unknown

  bool keyed = false;
  QuicKeys current, next, previous;  // the key phases in use, the one after it and the one before it
  int phase = 0;
  std::uint64_t phaseStart = 0;  // the first packet number of the current phase
  bool hasPrevious = false, hasNext = false;
  std::int64_t largest = -1;
  std::size_t cidLength = 0;
  bool cidKnown = false;
  std::deque<HeldPacket> held;
  std::size_t heldBytes = 0;
  std::uint64_t tried = 0, verified = 0;
  std::size_t counted = 0;  // bytes counted in totalBytes_
  std::vector<std::string> paths;  // endpoints the client moved to
  H3Requests h3;
};

QuicConnections::QuicConnections(const SecretLookup& secrets) : secrets_(secrets) {}
QuicConnections::~QuicConnections() = default;

void QuicConnections::Clear() {
  connections_.clear();
  byAge_.clear();
  byCid_.clear();
  paths_.clear();
  servers_.clear();
  strangers_.clear();
  cidLengths_ = 0;
  totalBytes_ = 0;
  retired_ = {};
  dropped_ = droppedHeld_ = 0;
  lastSweep_ = 0;
}

QuicConnections::Connection* QuicConnections::ClientConnection(const UdpEndpoints& e) {
  const std::string key = Endpoint(e.v6, e.src, e.sport) + Endpoint(e.v6, e.dst, e.dport);
  auto it = connections_.find(key);
  if (it != connections_.end()) return it->second.get();
  auto path = paths_.find(key);
  return path == paths_.end() ? nullptr : connections_.at(path->second).get();
}

// A client that moves to a new address or port (NAT rebinding, Chromium's port migration) sends to a
// connection ID the server gave it in a NEW_CONNECTION_ID frame, which only the server's key reads.
// Such a packet is tried on the recent connections with the same server: the one it verifies with
// has moved, and the new endpoints and connection ID are followed from then on.
QuicConnections::Connection* QuicConnections::Migrated(const UdpEndpoints& e, const std::uint8_t* p, std::size_t n,
                                                       double seconds, std::vector<HttpsRequest>& out) {
  if (servers_.find(Endpoint(e.v6, e.dst, e.dport)) == servers_.end()) return nullptr;
  const std::string key = Endpoint(e.v6, e.src, e.sport) + Endpoint(e.v6, e.dst, e.dport);
  unsigned& tries = strangers_[key];
  if (tries >= kMaxPathTries) return nullptr;
  ++tries;
  const std::string server = Endpoint(e.v6, e.dst, e.dport);
  // Connections with the same server: first those whose server gave the connection ID the packet
  // starts with, then the most recent ones.
  auto sameServer = [&](const Connection& c) {
    return c.key.compare(c.key.size() - server.size(), server.size(), server) == 0;
  };
  std::vector<Connection*> candidates;
  for (std::size_t length = 1; length <= kMaxCid && candidates.size() < kMaxPathCandidates; ++length) {
    if (!(cidLengths_ & (1u << length)) || n <= length) continue;
    auto it = byCid_.find(std::string(reinterpret_cast<const char*>(p + 1), length));
    if (it != byCid_.end() && sameServer(*connections_.at(it->second))) candidates.push_back(connections_.at(it->second).get());
  }
  for (auto it = byAge_.rbegin(); it != byAge_.rend() && candidates.size() < 2 * kMaxPathCandidates; ++it) {
    Connection* c = connections_.at(it->second).get();
    if (sameServer(*c) && std::find(candidates.begin(), candidates.end(), c) == candidates.end()) candidates.push_back(c);
  }
  for (Connection* candidate : candidates) {
    Connection& c = *candidate;
    if (!c.hello || !c.cidKnown || c.paths.size() >= kMaxPaths || !LoadKey(c)) continue;
    if (!Decrypt(c, p, n, out, true)) continue;
    c.lastSeen = seconds;
    c.paths.push_back(key);
    paths_[key] = c.key;
    strangers_.erase(key);
    const std::string cid(reinterpret_cast<const char*>(p + 1), std::min(n - 1, c.cidLength));
    if (n > c.cidLength && c.serverCids.size() < kMaxCidsPerConnection &&
        std::find(c.serverCids.begin(), c.serverCids.end(), cid) == c.serverCids.end()) {
      c.serverCids.push_back(cid);
      byCid_[cid] = c.key;
      cidLengths_ |= 1u << cid.size();
    }
    Recount(c);
    return &c;
  }
  if (strangers_.size() > kMaxStrangers) strangers_.clear();
  return nullptr;
}

QuicConnections::Connection* QuicConnections::ServerConnection(const UdpEndpoints& e) {
  auto it = connections_.find(Endpoint(e.v6, e.dst, e.dport) + Endpoint(e.v6, e.src, e.sport));
  return it == connections_.end() ? nullptr : it->second.get();
}

void QuicConnections::Datagram(const UdpEndpoints& e, const std::uint8_t* p, std::size_t n, double seconds,
                               std::vector<HttpsRequest>& out) {
  if (p == nullptr || n == 0) return;
  std::size_t pos = 0;
  for (int k = 0; k < kMaxCoalesced && pos < n; ++k) {
    if (p[pos] & 0x80) {
      std::size_t used = 0;
      LongHeader(e, p + pos, n - pos, seconds, used);
      if (used == 0) break;
      pos += used;
      continue;
    }
    // A short header runs to the datagram's end. Its fixed bit is not checked: peers may grease it
    // (RFC 9287).
    Connection* c = ClientConnection(e);
    if (c != nullptr) ShortHeader(*c, p + pos, n - pos, seconds, out);
    else Migrated(e, p + pos, n - pos, seconds, out);
    break;
  }
  Bound(seconds);
}

void QuicConnections::LongHeader(const UdpEndpoints& e, const std::uint8_t* p, std::size_t n, double seconds,
                                 std::size_t& used) {
  used = 0;
  if (n < 7 || p[1] != 0 || p[2] != 0 || p[3] != 0 || p[4] != 1) return;  // QUIC version 1 only
  const unsigned type = (p[0] >> 4) & 0x03;                                 // Initial, 0-RTT, Handshake, Retry
  std::size_t pos = 5;
  const std::size_t dcidLength = p[pos++];
  if (dcidLength > kMaxCid || pos + dcidLength + 1 > n) return;
  const std::string dcid(reinterpret_cast<const char*>(p + pos), dcidLength);
  pos += dcidLength;
  const std::size_t scidLength = p[pos++];
  if (scidLength > kMaxCid || pos + scidLength > n) return;
  const std::string scid(reinterpret_cast<const char*>(p + pos), scidLength);
  pos += scidLength;
  if (type == 3) return;  // Retry: nothing follows it in the datagram
  std::uint64_t tokenLength = 0, length = 0;
  if (type == 0 && (!QuicVarint(p, n, pos, tokenLength) || tokenLength > n - pos)) return;
  pos += static_cast<std::size_t>(tokenLength);
  if (!QuicVarint(p, n, pos, length) || length > n - pos) return;
  const std::size_t pnOffset = pos;
  const std::size_t end = pos + static_cast<std::size_t>(length);
  used = end;

  if (Connection* server = ServerConnection(e)) {
    // The server's long headers name the connection ID the client will send to.
    server->lastSeen = seconds;
    if (std::find(server->serverCids.begin(), server->serverCids.end(), scid) == server->serverCids.end() &&
        server->serverCids.size() < kMaxCidsPerConnection) {
      server->serverCids.push_back(scid);
      byCid_[scid] = server->key;
      cidLengths_ |= 1u << scid.size();
    }
    if (type != 0 || server->suite != 0 || server->initialDcid.empty()) return;
    QuicKeys keys;
    std::uint64_t pn;
    int phase;
    std::vector<std::uint8_t> plain;
    if (!DeriveInitialKeys(reinterpret_cast<const std::uint8_t*>(server->initialDcid.data()),
                           server->initialDcid.size(), true, keys) ||
        !OpenPacket(keys, p, pnOffset, end, -1, pn, phase, plain))
      return;
    ServerInitial(*server, plain);
    return;
  }
  if (type != 0) return;  // the client's 0-RTT and Handshake packets are not read
  QuicKeys keys;
  std::uint64_t pn;
  int phase;
  std::vector<std::uint8_t> plain;
  if (!DeriveInitialKeys(reinterpret_cast<const std::uint8_t*>(dcid.data()), dcid.size(), false, keys) ||
      !OpenPacket(keys, p, pnOffset, end, -1, pn, phase, plain))
    return;
  ClientInitial(e, dcid, plain, seconds);
}

void QuicConnections::ClientInitial(const UdpEndpoints& e, const std::string& dcid,
                                    const std::vector<std::uint8_t>& plain, double seconds) {
  const std::string key = Endpoint(e.v6, e.src, e.sport) + Endpoint(e.v6, e.dst, e.dport);
  auto it = connections_.find(key);
  if (it != connections_.end() && it->second->hello && dcid != it->second->initialDcid) {
    // A ClientHello with another random on the same endpoints is a new connection (the port reused);
    // the same random is the old one again (after a Retry).
    CryptoStream start;
    CryptoFrames(plain, start);
    if (start.data.size() >= 38 && start.data[0] == 0x01 &&
        std::memcmp(start.data.data() + 6, it->second->random.data(), 32) != 0) {
      Retire(key);
      it = connections_.end();
    }
  }
  if (it == connections_.end()) {
    auto c = std::make_unique<Connection>();
    c->key = key;
    c->order = nextOrder_++;
    byAge_[c->order] = key;
    it = connections_.emplace(key, std::move(c)).first;
    ++servers_[Endpoint(e.v6, e.dst, e.dport)];
  }
  Connection& c = *it->second;
  c.lastSeen = seconds;
  c.initialDcid = dcid;
  if (c.hello) return;
  CryptoFrames(plain, c.clientHello);
  std::vector<std::string> alpn;
  std::uint8_t random[32];
  const auto* data = reinterpret_cast<const std::uint8_t*>(c.clientHello.data.data());
  if (!ReadClientHelloRandomAlpn(data, c.clientHello.data.size(), random, alpn)) return;
  if (std::find(alpn.begin(), alpn.end(), "h3") == alpn.end()) {
    Retire(key);  // not HTTP/3: no requests to read
    return;
  }
  c.hello = true;
  std::memcpy(c.random.data(), random, 32);
  c.clientHello = {};
}

void QuicConnections::ServerInitial(Connection& c, const std::vector<std::uint8_t>& plain) {
  CryptoFrames(plain, c.serverHello);
  // ServerHello: type, length (3), version (2), random (32), session id, cipher suite (2).
  const std::string& d = c.serverHello.data;
  if (d.size() < 39 || d[0] != 0x02) return;
  const std::size_t sid = static_cast<std::uint8_t>(d[38]);
  if (d.size() < 39 + sid + 2) return;
  const unsigned suite = unsigned{static_cast<std::uint8_t>(d[39 + sid])} << 8 | static_cast<std::uint8_t>(d[40 + sid]);
  Aead aead;
  Hash hash;
  if (SuiteAead(suite, aead, hash)) c.suite = suite;
  c.serverHello = {};
}

bool QuicConnections::LoadKey(Connection& c) {
  if (c.keyed) return true;
  std::string secret;
  if (!c.hello || !secrets_.Find(SecretKind::ClientTraffic0, c.random, secret)) return false;
  // Without a ServerHello the suite follows from the secret's length, and between the two SHA-256
  // suites from the first packet that verifies (tried in Decrypt).
  Aead aead = Aead::Aes128Gcm;
  Hash hash = Hash::Sha256;
  if (c.suite != 0) SuiteAead(c.suite, aead, hash);
  else if (secret.size() == 48) hash = Hash::Sha384, aead = Aead::Aes256Gcm;
  if (secret.size() != HashLength(hash)) return false;
  if (!c.current.FromSecret(aead, hash, reinterpret_cast<const std::uint8_t*>(secret.data()))) return false;
  c.keyed = true;
  return true;
}

void QuicConnections::ShortHeader(Connection& c, const std::uint8_t* p, std::size_t n, double seconds,
                                  std::vector<HttpsRequest>& out) {
  c.lastSeen = seconds;
  if (!c.hello) return;
  if (!LoadKey(c)) {
    // The key may still be written: the packet is held, within the bounds.
    while (!c.held.empty() && seconds - c.held.front().seconds > kMaxHeldSeconds) {
      c.heldBytes -= c.held.front().bytes.size();
      c.held.pop_front();
      ++droppedHeld_;
    }
    if (c.heldBytes + n > kMaxHeldBytes) {
      ++droppedHeld_;
    } else {
      c.held.push_back({seconds, std::vector<std::uint8_t>(p, p + n)});
      c.heldBytes += n;
    }
    Recount(c);
    return;
  }
  if (!c.held.empty()) {
    std::deque<HeldPacket> held = std::move(c.held);
    c.held.clear();
    c.heldBytes = 0;
    for (const HeldPacket& h : held)
      if (seconds - h.seconds <= kMaxHeldSeconds) Decrypt(c, h.bytes.data(), h.bytes.size(), out);
      else ++droppedHeld_;
  }
  Decrypt(c, p, n, out);
  Recount(c);
}

bool QuicConnections::Decrypt(Connection& c, const std::uint8_t* p, std::size_t n, std::vector<HttpsRequest>& out,
                              bool trial) {
  if (trial && c.verified == 0) return false;
  if (!trial && c.verified == 0 && c.tried >= kMaxUnverified) return false;
  if (!trial) ++c.tried;
  // The connection ID's length: from the server's long headers, else learnt from the first packet that
  // verifies.
  std::vector<std::size_t> lengths;
  if (c.cidKnown) lengths.push_back(c.cidLength);
  else if (!c.serverCids.empty()) lengths.push_back(c.serverCids.back().size());
  else for (std::size_t l = 0; l <= kMaxCid; ++l) lengths.push_back(l);

  struct Pick {
    Connection* c;
    bool usedNext = false, usedPrevious = false;
    static QuicKeys* Choose(void* arg, int phase, std::uint64_t pn) {
      Pick& self = *static_cast<Pick*>(arg);
      Connection& c = *self.c;
      self.usedNext = self.usedPrevious = false;
      if (phase == c.phase) return &c.current;
      if (pn < c.phaseStart && c.hasPrevious) {
        self.usedPrevious = true;
        return &c.previous;
      }
      if (!c.hasNext) {
        if (!c.current.Next(c.next)) return nullptr;
        c.hasNext = true;
      }
      self.usedNext = true;
      return &c.next;
    }
  };

  // Suites to try: the ServerHello's, else those the secret's length allows.
  std::vector<Aead> aeads{c.current.aead};
  if (c.suite == 0 && c.verified == 0 && c.current.hash == Hash::Sha256) aeads = {Aead::Aes128Gcm, Aead::Chacha20Poly1305};

  std::vector<std::uint8_t> plain;
  for (Aead aead : aeads) {
    if (aead != c.current.aead) {
      std::uint8_t secret[48];
      std::memcpy(secret, c.current.secret, sizeof secret);
      if (!c.current.FromSecret(aead, c.current.hash, secret)) continue;
      c.hasNext = false;
    }
    for (std::size_t length : lengths) {
      Pick pick{&c};
      std::uint64_t pn;
      int phase;
      if (!OpenPacket(c.current, p, 1 + length, n, c.largest, pn, phase, plain, &Pick::Choose, &pick)) continue;
      ++c.verified;
      c.cidLength = length;
      c.cidKnown = true;
      if (c.suite == 0) c.suite = aead == Aead::Chacha20Poly1305 ? 0x1303 : aead == Aead::Aes256Gcm ? 0x1302 : 0x1301;
      if (pick.usedNext) {
        // A key update: the next phase becomes the current one.
        std::swap(c.previous, c.current);
        std::swap(c.current, c.next);
        c.hasPrevious = true;
        c.hasNext = false;
        c.phase = phase;
        c.phaseStart = pn;
      }
      c.largest = std::max<std::int64_t>(c.largest, static_cast<std::int64_t>(pn));
      Frames(c, plain, out);
      return true;
    }
  }
  return false;
}

void QuicConnections::Frames(Connection& c, const std::vector<std::uint8_t>& plain, std::vector<HttpsRequest>& out) {
  const std::uint8_t* p = plain.data();
  const std::size_t end = plain.size();
  std::size_t pos = 0;
  std::uint64_t v[4];
  auto read = [&](int count) {
    for (int i = 0; i < count; ++i)
      if (!QuicVarint(p, end, pos, v[i])) return false;
    return true;
  };
  auto skip = [&](std::uint64_t length) {
    if (length > end - pos) return false;
    pos += static_cast<std::size_t>(length);
    return true;
  };
  while (pos < end) {
    std::uint64_t type;
    if (!QuicVarint(p, end, pos, type)) return;
    if (type >= 0x08 && type <= 0x0F) {  // STREAM
      std::uint64_t id, offset = 0, length;
      if (!QuicVarint(p, end, pos, id)) return;
      if ((type & 0x04) && !QuicVarint(p, end, pos, offset)) return;
      if (type & 0x02) {
        if (!QuicVarint(p, end, pos, length) || length > end - pos) return;
      } else {
        length = end - pos;
      }
      if (offset + length >= (std::uint64_t{1} << 62)) return;
      c.h3.StreamData(id, offset, p + pos, static_cast<std::size_t>(length), type & 0x01, out);
      pos += static_cast<std::size_t>(length);
      continue;
    }
    switch (type) {
      case 0x00: case 0x01: case 0x1E: break;  // PADDING, PING, HANDSHAKE_DONE
      case 0x02: case 0x03: {                   // ACK
        if (!read(4) || v[2] > end) return;
        for (std::uint64_t r = 0; r < 2 * v[2] + (type == 0x03 ? 3 : 0); ++r)
          if (!read(1)) return;
        break;
      }
      case 0x04: if (!read(3)) return; break;  // RESET_STREAM
      case 0x05: case 0x11: case 0x15: if (!read(2)) return; break;
      case 0x06: if (!read(2) || !skip(v[1])) return; break;  // CRYPTO
      case 0x07: if (!read(1) || !skip(v[0])) return; break;  // NEW_TOKEN
      case 0x10: case 0x12: case 0x13: case 0x14: case 0x16: case 0x17: case 0x19:
        if (!read(1)) return;
        break;
      case 0x18:  // NEW_CONNECTION_ID
        if (!read(2) || pos >= end || !skip(std::uint64_t{p[pos]} + 1 + 16)) return;
        break;
      case 0x1A: case 0x1B: if (!skip(8)) return; break;   // PATH_CHALLENGE, PATH_RESPONSE
      case 0x1C: if (!read(3) || !skip(v[2])) return; break;  // CONNECTION_CLOSE
      case 0x1D: if (!read(2) || !skip(v[1])) return; break;
      case 0x30: return;                                   // DATAGRAM to the packet's end
      case 0x31: if (!read(1) || !skip(v[0])) return; break;
      default: return;  // a frame this reader does not know: the rest of the packet is passed over
    }
  }
}

void QuicConnections::Recount(Connection& c) {
  const std::size_t now = c.heldBytes + c.h3.HeldBytes() + c.h3.TableCapacity();
  totalBytes_ = totalBytes_ - c.counted + now;
  c.counted = now;
}

void QuicConnections::Classify(const Connection& c, HttpsCounts& counts) const {
  if (!c.hello) return;
  ++counts.connections;
  std::string secret;
  if (c.verified > 0) ++counts.decrypted;
  else if (!c.keyed && !secrets_.Find(SecretKind::ClientTraffic0, c.random, secret)) ++counts.withoutKeys;
  else if (c.tried > 0) ++counts.failed;
  else ++counts.decrypted;
}

HttpsCounts QuicConnections::Counts() const {
  HttpsCounts counts = retired_;
  for (const auto& [key, c] : connections_) Classify(*c, counts);
  return counts;
}

void QuicConnections::Retire(const std::string& key) {
  auto it = connections_.find(key);
  if (it == connections_.end()) return;
  Connection& c = *it->second;
  Classify(c, retired_);
  for (const std::string& cid : c.serverCids) {
    auto found = byCid_.find(cid);
    if (found != byCid_.end() && found->second == key) byCid_.erase(found);
  }
  for (const std::string& path : c.paths) paths_.erase(path);
  const std::string server = c.key.substr(c.key.size() / 2);
  auto count = servers_.find(server);
  if (count != servers_.end() && --count->second == 0) servers_.erase(count);
  byAge_.erase(c.order);
  totalBytes_ -= c.counted;
  connections_.erase(it);
}

void QuicConnections::Bound(double seconds) {
  while (!byAge_.empty() && (connections_.size() > kMaxConnections || totalBytes_ > kMaxTotalBytes)) {
    ++dropped_;
    Retire(std::string(byAge_.begin()->second));
  }
  if (seconds - lastSweep_ < 10.0 && seconds >= lastSweep_) return;
  lastSweep_ = seconds;
  std::vector<std::string> idle;
  for (const auto& [key, c] : connections_)
    if (seconds - c->lastSeen > kIdleSeconds) idle.push_back(key);
  for (const std::string& key : idle) Retire(key);
}

}  // namespace qv::tls
