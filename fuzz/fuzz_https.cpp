// libFuzzer target: the key log reader, the TLS record layer and the HTTP/1.1 and HTTP/2 readers
// together. The input: a 16-bit length and that many bytes of key log text, a 16-bit length and that
// many bytes of the server's stream (read up to its ServerHello), then the client's stream. The client's
// stream is read by the record layer with the key log's secrets, its decrypted data by the HTTP reader
// the ServerHello's ALPN picks; the client's stream also goes straight to both HTTP readers, so that
// they are reached without a key. Then the readers are made new and read it again, as new readers do.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tls/http_readers.h"
#include "tls/https_request.h"
#include "tls/key_log.h"
#include "tls/tls_reader.h"

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

std::size_t Take16(const std::uint8_t*& p, std::size_t& n) {
  if (n < 2) return 0;
  std::size_t len = std::size_t{p[0]} << 8 | p[1];
  p += 2, n -= 2;
  if (len > n) len = n;
  return len;
}

void Request(qv::tls::HttpsRequest&& r) {
  std::string head, scheme, packet, packetScheme;
  const bool written = qv::tls::RequestHead(r, head, scheme);
  if (written) Check(head.size() >= 4 && head.compare(head.size() - 4, 4, "\r\n\r\n") == 0, "head ends with an empty line");
  Check(qv::tls::PacketHead(r, packet, packetScheme) == written, "a packet exactly when a head");
  if (written) Check(packet == qv::tls::AbsoluteRequestHead(head, scheme), "the packet is the head made absolute");
}

// The heads of the requests an HTTP/2 reader gives, joined.
struct Heads {
  std::string all;
  void Add(qv::tls::HttpsRequest&& r) {
    std::string head, scheme;
    if (qv::tls::RequestHead(r, head, scheme)) all += head;
    all += '|';
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace qv::tls;
  const std::uint8_t* p = data;
  std::size_t n = size;
  const std::size_t keyLength = Take16(p, n);
  KeyLog keys;
  keys.AddText(std::string(reinterpret_cast<const char*>(p), keyLength));
  p += keyLength, n -= keyLength;
  const std::size_t serverLength = Take16(p, n);
  ServerHelloReader hello;
  // The server's bytes in two pieces, as segments would bring them.
  hello.Feed(p, serverLength / 2);
  hello.Feed(p + serverLength / 2, serverLength - serverLength / 2);
  p += serverLength, n -= serverLength;

  Http1Reader h1([](std::string&& head) { Check(head.size() <= Http1Reader::kMaxHeadBytes + 4, "head within bound"); });
  Http2Reader h2(Request);
  AppReader* app = nullptr;
  ClientRecordReader records([&](const std::uint8_t* d, std::size_t len) {
    if (!app) app = hello.Done() && hello.Hello().alpn == "h2" ? static_cast<AppReader*>(&h2) : &h1;
    app->Feed(d, len);
  });
  // The client's bytes in uneven pieces; the ServerHello given after the first.
  std::size_t at = 0, piece = 1;
  while (at < n) {
    const std::size_t len = std::min(piece, n - at);
    records.Feed(p + at, len, keys);
    Check(records.HeldBytes() <= ClientRecordReader::kMaxHeldBytes, "held bytes within bound");
    if (at == 0 && hello.Done()) records.SetServerHello(hello.Hello(), keys);
    at += len;
    piece = piece * 3 + 1;
  }
  Http1Reader plain1([](std::string&&) {});
  Http2Reader plain2(Request);
  plain1.Feed(p, n);
  // HTTP/2 without its preface in front would stop at once: give it one.
  static const std::string preface = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";
  plain2.Feed(reinterpret_cast<const std::uint8_t*>(preface.data()), preface.size());
  plain2.Feed(p, n);
  Check(plain2.MemoryBytes() <= 2 * Http2Reader::kMaxHeaderBlock + Http2Reader::kMaxTableSize +
                                   Http2Reader::kMaxKeptBytes + HpackMemory::kMaxKept + 4096,
        "HTTP/2 memory within bound");

  // Readers made new for another connection read it as new readers do, whatever the last one left.
  Heads again, fresh;
  plain2.Reset([&again](HttpsRequest&& r) { again.Add(std::move(r)); });
  Http2Reader new2([&fresh](HttpsRequest&& r) { fresh.Add(std::move(r)); });
  for (Http2Reader* r : {&plain2, &new2}) {
    r->Feed(reinterpret_cast<const std::uint8_t*>(preface.data()), preface.size());
    r->Feed(p, n);
  }
  Check(again.all == fresh.all && plain2.Broken() == new2.Broken(), "an HTTP/2 reader made new reads as a new one");
  std::string againData, freshData;
  records.Reset([&againData](const std::uint8_t* d, std::size_t len) { againData.append(reinterpret_cast<const char*>(d), len); });
  ClientRecordReader newRecords([&freshData](const std::uint8_t* d, std::size_t len) { freshData.append(reinterpret_cast<const char*>(d), len); });
  for (ClientRecordReader* r : {&records, &newRecords}) {
    r->Feed(p, n, keys);
    if (hello.Done()) r->SetServerHello(hello.Hello(), keys);
  }
  Check(againData == freshData && records.GetState() == newRecords.GetState() &&
            records.Decrypted() == newRecords.Decrypted() && records.HeldBytes() == newRecords.HeldBytes(),
        "a record reader made new reads as a new one");
  return 0;
}
