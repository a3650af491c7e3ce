// Fuzz target: the readers of what no single segment shows, each fed directly.
//
// Input layout: [0] bits0-2 pick the reader, the rest is its input.
//   0  TLS: ReadTlsClientHello and ReadClientHelloMessage on the bytes and on prefixes of them (a
//      result other than NeedMore must not change when more bytes follow).
//   1  a UDP datagram as it came: ReadQuicInitials, and the flow watcher twice (a repeated datagram).
//   2  QUIC client Initials protected here with the real keys of their destination connection ID, so
//      that the packet and frame readers and the CRYPTO reassembly run on what the fuzzer chose:
//      [dcid length][dcid][packet-number length - 1][packets: 2-byte big-endian length, plaintext];
//      a length's top bit puts that packet in the same datagram as the one before.
//   3  FindNetworkHeader for every link type 0-300, and the IPv6 walk where it finds IPv6.
//   4  TCP segments through the flow watcher: records of [flow 0-3 | switches][2-byte sequence
//      step][1-byte length][bytes]; switches: bit2 watch requests, bit3 watch ClientHellos, bit4 the
//      step goes back instead of forward.
#include <openssl/evp.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "capture/flow_watcher.h"
#include "capture/link_layer.h"
#include "urls/client_hello.h"
#include "urls/quic_initial.h"

namespace {

using namespace qv;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz_flows: invariant broken: %s\n", what);
  std::abort();
}
#define CHECK(cond)        \
  do {                     \
    if (!(cond)) Fail(#cond); \
  } while (0)

// A server name is listed only when it looks like a DNS name.
void CheckServerName(const std::string& name) {
  CHECK(!name.empty() && name.size() <= 253 && name[0] != '.');
  for (const char c : name)
    CHECK((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
          c == '.');
}

void CheckFinds(const FlowWatcher& w, const std::vector<FlowFind>& found) {
  CHECK(w.FlowCount() <= FlowWatcher::kMaxFlows);
  CHECK(w.BytesHeld() <= FlowWatcher::kMaxTotalBytes);
  static const bool show = std::getenv("QV_FUZZ_SHOW") != nullptr;
  for (const FlowFind& f : found) {
    if (show) std::fprintf(stderr, "found %s: %.80s\n", f.kind == FlowFind::Kind::ServerName ? "name" : "request",
                           f.text.c_str());
    if (f.kind == FlowFind::Kind::ServerName) {
      CheckServerName(f.text);
    } else {
      CHECK(f.text.rfind("GET ", 0) == 0 || f.text.rfind("POST ", 0) == 0);
    }
  }
}

void Tls(const std::uint8_t* p, std::size_t n) {
  for (auto read : {&ReadTlsClientHello, &ReadClientHelloMessage}) {
    std::string whole;
    const HelloResult all = read(p, n, whole);
    if (all == HelloResult::ServerName) CheckServerName(whole);
    // Prefixes: a few cuts spread over the input, and every length of a short one.
    const std::size_t step = n < 64 ? 1 : n / 16;
    for (std::size_t k = 0; k < n; k += step) {
      std::vector<std::uint8_t> cut(p, p + k);  // exactly k bytes
      std::string name;
      const HelloResult r = read(cut.data(), k, name);
      if (r == HelloResult::NeedMore) continue;
      CHECK(r == all);
      CHECK(name == whole);
    }
  }
}

void Datagram(const std::uint8_t* p, std::size_t n) {
  for (const QuicInitialPacket& packet : ReadQuicInitials(p, n)) {
    CHECK(packet.dcid.size() <= 20);
    for (const QuicCryptoFrame& f : packet.crypto) CHECK(f.data.size() <= n);
  }
  FlowWatcher w;
  std::vector<FlowFind> found;
  const std::uint8_t a[16] = {198, 51, 100, 1}, b[16] = {192, 0, 2, 1};
  const FlowKey key = FlowKey::Make(17, false, a, b, 40000, 443);
  w.UdpDatagram(key, p, n, found);
  w.UdpDatagram(key, p, n, found);
  CheckFinds(w, found);
}

void PutVarint(std::vector<std::uint8_t>& out, std::uint64_t v) {
  if (v < 64) {
    out.push_back(static_cast<std::uint8_t>(v));
  } else if (v < 16384) {
    out.push_back(static_cast<std::uint8_t>(0x40 | v >> 8));
    out.push_back(static_cast<std::uint8_t>(v));
  } else {
    for (int i = 3; i >= 0; --i) out.push_back(static_cast<std::uint8_t>((i == 3 ? 0x80 : 0) | (v >> (8 * i))));
  }
}

// A client Initial of QUIC version 1 with `plain` as its frames, protected as a client does.
bool Protect(const std::string& dcid, std::uint32_t pn, int pnLength, std::vector<std::uint8_t> plain,
             std::vector<std::uint8_t>& out) {
  QuicInitialKeys keys{};
  if (!DeriveClientInitialKeys(reinterpret_cast<const std::uint8_t*>(dcid.data()), dcid.size(), keys)) return false;
  // The header protection sample lies 4 bytes after the packet number's start: pad with PADDING.
  if (plain.size() + static_cast<std::size_t>(pnLength) < 4) plain.resize(4 - static_cast<std::size_t>(pnLength), 0);
  const std::size_t start = out.size();
  out.push_back(static_cast<std::uint8_t>(0xC0 | (pnLength - 1)));
  for (std::uint8_t v : {0, 0, 0, 1}) out.push_back(v);
  out.push_back(static_cast<std::uint8_t>(dcid.size()));
  out.insert(out.end(), dcid.begin(), dcid.end());
  out.push_back(0);  // no source connection ID
  out.push_back(0);  // no token
  PutVarint(out, static_cast<std::uint64_t>(pnLength) + plain.size() + 16);
  const std::size_t pnAt = out.size();
  for (int i = pnLength - 1; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(pn >> (8 * i)));

  std::uint8_t nonce[12];
  std::memcpy(nonce, keys.iv, 12);
  for (int i = 0; i < 4; ++i) nonce[11 - i] ^= static_cast<std::uint8_t>(pn >> (8 * i));
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  bool ok = ctx && EVP_EncryptInit_ex(ctx, EVP_aes_128_gcm(), nullptr, keys.key, nonce) == 1;
  int len = 0;
  ok = ok && EVP_EncryptUpdate(ctx, nullptr, &len, out.data() + start, static_cast<int>(out.size() - start)) == 1;
  const std::size_t body = out.size();
  out.resize(body + plain.size() + 16);
  ok = ok && EVP_EncryptUpdate(ctx, out.data() + body, &len, plain.data(), static_cast<int>(plain.size())) == 1;
  ok = ok && EVP_EncryptFinal_ex(ctx, out.data() + body + len, &len) == 1;
  ok = ok && EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, 16, out.data() + body + plain.size()) == 1;
  // Header protection: a mask from the sample encrypted with the hp key.
  std::uint8_t mask[32];
  ok = ok && EVP_EncryptInit_ex(ctx, EVP_aes_128_ecb(), nullptr, keys.hp, nullptr) == 1 &&
       EVP_EncryptUpdate(ctx, mask, &len, out.data() + pnAt + 4, 16) == 1;
  EVP_CIPHER_CTX_free(ctx);
  if (!ok) return false;
  out[start] ^= mask[0] & 0x0F;
  for (int i = 0; i < pnLength; ++i) out[pnAt + static_cast<std::size_t>(i)] ^= mask[1 + i];
  return true;
}

void Quic(const std::uint8_t* p, std::size_t n) {
  if (n < 2) return;
  const std::size_t dcidLength = p[0] % 21;
  if (n < 2 + dcidLength) return;
  const std::string dcid(reinterpret_cast<const char*>(p + 1), dcidLength);
  const int pnLength = 1 + (p[1 + dcidLength] & 3);
  std::size_t pos = 2 + dcidLength;

  std::vector<std::vector<std::uint8_t>> datagrams;
  std::uint32_t pn = 0;
  while (pos + 2 <= n) {
    const unsigned field = unsigned{p[pos]} << 8 | p[pos + 1];
    pos += 2;
    const std::size_t len = std::min<std::size_t>(field & 0x7FFF, n - pos);
    std::vector<std::uint8_t> plain(p + pos, p + pos + len);
    pos += len;
    if ((field & 0x8000) == 0 || datagrams.empty()) datagrams.emplace_back();
    const std::size_t before = datagrams.back().size();
    if (!Protect(dcid, pn++, pnLength, std::move(plain), datagrams.back())) Fail("cannot protect a packet");
    // What was protected here is read back as one client Initial of that connection.
    const std::vector<std::uint8_t> one(datagrams.back().begin() + static_cast<long>(before), datagrams.back().end());
    const auto packets = ReadQuicInitials(one.data(), one.size());
    CHECK(packets.size() <= 1);
    for (const QuicInitialPacket& packet : packets) {
      CHECK(packet.dcid == dcid);
      for (const QuicCryptoFrame& f : packet.crypto) CHECK(f.data.size() <= len);
    }
  }
  FlowWatcher w;
  std::vector<FlowFind> found;
  const std::uint8_t a[16] = {198, 51, 100, 1}, b[16] = {192, 0, 2, 1};
  const FlowKey key = FlowKey::Make(17, false, a, b, 40000, 443);
  for (const auto& d : datagrams) {
    // An exact copy, so that a read past the datagram is caught.
    const std::vector<std::uint8_t> copy(d);
    w.UdpDatagram(key, copy.data(), copy.size(), found);
    CheckFinds(w, found);
  }
}

void NetworkHeaders(const std::uint8_t* p, std::size_t n) {
  const std::vector<std::uint8_t> frame(p, p + n);
  const std::uint8_t* f = frame.empty() ? nullptr : frame.data();
  for (int linkType = 0; linkType <= 300; ++linkType) {
    const NetworkHeader h = FindNetworkHeader(linkType, f, n);
    const NetworkHeader slow = FindNetworkHeaderSlow(linkType, f, n);
    CHECK(h.family == slow.family && h.offset == slow.offset && h.tagBytes == slow.tagBytes && h.pppoe == slow.pppoe);
    // A frame cut inside or right after its link header may still be named IP, with its network header
    // at or past the end: every reader after this one is bounded by the frame's size.
    if (h.family == NetFamily::None) continue;
    if (h.family == NetFamily::IPv6) {
      const IPv6Walk w = WalkIPv6(f, n, h.offset);
      CHECK((w.src != nullptr) == (h.offset + 40 <= n));
      if (w.src) CHECK(w.dst == w.src + 16 && w.src == f + h.offset + 8);
      CHECK(w.transport >= h.offset + 40);
    }
  }
}

void TcpSegments(const std::uint8_t* p, std::size_t n) {
  FlowWatcher w;
  std::vector<FlowFind> found;
  const std::uint8_t a[16] = {198, 51, 100, 1}, b[16] = {192, 0, 2, 1};
  std::uint32_t seq[4] = {1000, 1000, 1000, 1000};
  std::size_t pos = 0;
  while (pos + 4 <= n) {
    const std::uint8_t sw = p[pos];
    const unsigned step = unsigned{p[pos + 1]} << 8 | p[pos + 2];
    const std::size_t len = std::min<std::size_t>(p[pos + 3] == 255 ? n : p[pos + 3], n - pos - 4);
    pos += 4;
    const int flow = sw & 3;
    const FlowKey key = FlowKey::Make(6, (sw & 0x20) != 0, a, b, static_cast<std::uint16_t>(40000 + flow), 443);
    const std::vector<std::uint8_t> segment(p + pos, p + pos + len);  // exactly the segment's bytes
    pos += len;
    const bool requests = sw & 4, serverNames = sw & 8;
    if (!w.MayTakeTcp(segment.data(), segment.size(), requests, serverNames)) {
      // Nothing is held and the segment opens nothing: handing it over would find nothing either.
      const std::size_t before = found.size();
      w.TcpSegment(key, seq[flow], segment.data(), segment.size(), requests, serverNames, found);
      CHECK(found.size() == before && w.FlowCount() == 0);
    } else {
      w.TcpSegment(key, seq[flow], segment.data(), segment.size(), requests, serverNames, found);
    }
    seq[flow] = (sw & 0x10) ? seq[flow] - step : seq[flow] + static_cast<std::uint32_t>(len) + step;
    CheckFinds(w, found);
  }
  w.Clear();
  CHECK(w.FlowCount() == 0 && w.BytesHeld() == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint8_t* p = data + 1;
  const std::size_t n = size - 1;
  switch (data[0] & 7) {
    case 0: Tls(p, n); break;
    case 1: Datagram(p, n); break;
    case 2: Quic(p, n); break;
    case 3: NetworkHeaders(p, n); break;
    case 4: TcpSegments(p, n); break;
    default: break;
  }
  return 0;
}
