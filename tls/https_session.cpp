#include "tls/https_session.h"

#include <cstring>

#include "tls/http_readers.h"
#include "tls/tcp_reassembly.h"
#include "tls/tls_reader.h"

namespace qv::tls {

struct HttpsSession::Connection {
  Key clientKey, serverKey;
  bool v6 = false;
  std::array<std::uint8_t, 16> server{};
  std::uint16_t port = 0;
  TcpReassembly client, server_;
  ServerHelloReader hello;
  std::unique_ptr<ClientRecordReader> records;
  std::unique_ptr<AppReader> app;
  Http2Reader* http2 = nullptr;  // `app`, when it reads HTTP/2
  bool counted = false;  // its ClientHello was read: counted as a TLS connection
  bool helloGiven = false;
  bool checkedStart = false;  // the first bytes of the client's stream were seen to be TLS
  Outcome outcome = Outcome::Pending;
  double holdSince = -1;
  double lastSeen = 0;  // capture time of its last segment
  std::size_t accounted = 0;  // bytes counted in bytesHeld_
};

namespace {
constexpr std::uint8_t kFin = 0x01, kSyn = 0x02, kRst = 0x04, kAck = 0x10;
constexpr std::size_t kConnectionOverhead = 1024;
}  // namespace

std::size_t HttpsSession::KeyHash::operator()(const Key& k) const {
  std::uint64_t w[5] = {};
  std::memcpy(w, k.bytes.data(), k.bytes.size());
  std::uint64_t h = 0x9E3779B97F4A7C15ull;
  for (std::uint64_t x : w) {
    h ^= x;
    h *= 0xBF58476D1CE4E5B9ull;
    h ^= h >> 31;
  }
  return static_cast<std::size_t>(h);
}

HttpsSession::Key HttpsSession::MakeKey(bool v6, const std::uint8_t* src, const std::uint8_t* dst,
                                        std::uint16_t sport, std::uint16_t dport) {
  Key k;
  k.bytes[0] = v6 ? 6 : 4;
  const std::size_t len = v6 ? 16 : 4;
  std::memcpy(k.bytes.data() + 1, src, len);
  std::memcpy(k.bytes.data() + 17, dst, len);
  k.bytes[33] = static_cast<std::uint8_t>(sport >> 8);
  k.bytes[34] = static_cast<std::uint8_t>(sport);
  k.bytes[35] = static_cast<std::uint8_t>(dport >> 8);
  k.bytes[36] = static_cast<std::uint8_t>(dport);
  return k;
}

HttpsSession::HttpsSession() = default;
HttpsSession::~HttpsSession() = default;

void HttpsSession::SetKeyLogFiles(std::vector<std::string> paths) {
  std::lock_guard<std::mutex> lock(filesMutex_);
  files_.clear();
  for (auto& p : paths)
    if (!p.empty()) files_.push_back(std::move(p));
  enabled_.store(!files_.empty());
  filesVersion_.fetch_add(1);
}

std::vector<std::string> HttpsSession::KeyLogFiles() const {
  std::lock_guard<std::mutex> lock(filesMutex_);
  return files_;
}

void HttpsSession::SetMessageSink(KeyLog::MessageSink sink) { keys_.SetMessageSink(std::move(sink)); }

void HttpsSession::RefreshFiles() {
  const unsigned v = filesVersion_.load();
  if (v == filesSeen_) return;
  filesSeen_ = v;
  keys_.SetFiles(KeyLogFiles());
  keys_.Poll();
}

HttpsCounts HttpsSession::Counts() const {
  HttpsCounts c;
  c.connections = pubConnections_.load(std::memory_order_relaxed);
  c.decrypted = pubDecrypted_.load(std::memory_order_relaxed);
  c.withoutKeys = pubWithoutKeys_.load(std::memory_order_relaxed);
  c.failed = pubFailed_.load(std::memory_order_relaxed);
  return c;
}

void HttpsSession::Publish() {
  const HttpsCounts& q = quicCounts_;
  pubConnections_.store(counts_.connections + q.connections, std::memory_order_relaxed);
  pubDecrypted_.store(counts_.decrypted + q.decrypted, std::memory_order_relaxed);
  pubWithoutKeys_.store(counts_.withoutKeys + pending_ + q.withoutKeys, std::memory_order_relaxed);
  pubFailed_.store(counts_.failed + q.failed, std::memory_order_relaxed);
}

void HttpsSession::RecountQuic(double seconds, bool now) {
  // The QUIC reader counts by walking its connections: at most every quarter second of capture time,
  // unless something was found.
  if (!now && seconds >= lastQuicCount_ && seconds - lastQuicCount_ < 0.25) return;
  lastQuicCount_ = seconds;
  quicCounts_ = quic_.Counts();
}

void HttpsSession::EndSession() {
  quicCounts_ = quic_.Counts();
  Publish();
}

void HttpsSession::StartSession() {
  RefreshFiles();
  connections_.clear();
  recent_ = connections_.end();
  index_.clear();
  bytesHeld_ = 0;
  lastSweep_ = 0;
  lastSeconds_ = 0;
  counts_ = HttpsCounts{};
  pending_ = 0;
  dropped_.store(0);
  quic_.Clear();
  quicCounts_ = HttpsCounts{};
  lastQuicCount_ = 0;
  Publish();
}

void HttpsSession::Settle(Connection& c, Outcome o) {
  if (!c.counted || c.outcome == o) {
    c.outcome = o;
    return;
  }
  switch (c.outcome) {
    case Outcome::Pending: --pending_; break;
    case Outcome::Decrypted: --counts_.decrypted; break;
    case Outcome::WithoutKeys: --counts_.withoutKeys; break;
    case Outcome::Failed: --counts_.failed; break;
  }
  switch (o) {
    case Outcome::Pending: ++pending_; break;
    case Outcome::Decrypted: ++counts_.decrypted; break;
    case Outcome::WithoutKeys: ++counts_.withoutKeys; break;
    case Outcome::Failed: ++counts_.failed; break;
  }
  c.outcome = o;
}

HttpsSession::ConnList::iterator HttpsSession::Open(const TcpSegmentView& s, std::uint32_t start) {
  while (connections_.size() >= kMaxConnections) Erase(connections_.begin(), true);
  connections_.emplace_back();
  auto it = std::prev(connections_.end());
  Connection& c = *it;
  c.lastSeen = lastSeconds_;
  c.clientKey = MakeKey(s.v6, s.src, s.dst, s.sport, s.dport);
  c.serverKey = MakeKey(s.v6, s.dst, s.src, s.dport, s.sport);
  c.v6 = s.v6;
  std::memcpy(c.server.data(), s.dst, s.v6 ? 16 : 4);
  c.port = s.dport;
  c.client.Start(start);
  c.records = TakeRecordReader(&c);
  index_[c.clientKey] = {it, true};
  index_[c.serverKey] = {it, false};
  c.accounted = kConnectionOverhead;
  bytesHeld_ += c.accounted;
  return it;
}

std::unique_ptr<ClientRecordReader> HttpsSession::TakeRecordReader(Connection* cp) {
  ClientRecordReader::DataSink sink = [this, cp](const std::uint8_t* p, std::size_t n) {
    if (!cp->app) {
      const bool h2 = cp->records->Hello().alpn == "h2" ||
                      (n >= 3 && std::memcmp(p, "PRI", 3) == 0);
      if (h2) {
        std::unique_ptr<Http2Reader> reader = TakeHttp2Reader(cp);
        cp->http2 = reader.get();
        cp->app = std::move(reader);
      } else {
        cp->app = std::make_unique<Http1Reader>([this, cp](std::string&& head) {
          if (!out_) return;
          HttpsFind f;
          f.v6 = cp->v6;
          f.server = cp->server;
          f.port = cp->port;
          f.scheme = "https";
          f.head = std::move(head);
          out_->push_back(std::move(f));
        });
      }
    }
    cp->app->Feed(p, n);
  };
  if (spareRecords_.empty()) return std::make_unique<ClientRecordReader>(std::move(sink));
  std::unique_ptr<ClientRecordReader> reader = std::move(spareRecords_.back());
  spareRecords_.pop_back();
  reader->Reset(std::move(sink));
  return reader;
}

std::unique_ptr<Http2Reader> HttpsSession::TakeHttp2Reader(Connection* cp) {
  Http2Reader::RequestSink sink = [this, cp](HttpsRequest&& r) {
    if (out_) AddRequest(r, cp->v6, cp->server.data(), cp->port, *out_);
  };
  if (spareHttp2_.empty()) return std::make_unique<Http2Reader>(std::move(sink));
  std::unique_ptr<Http2Reader> reader = std::move(spareHttp2_.back());
  spareHttp2_.pop_back();
  reader->Reset(std::move(sink));
  return reader;
}

void HttpsSession::Erase(ConnList::iterator it, bool dropped) {
  Connection& c = *it;
  if (dropped) {
    dropped_.fetch_add(1, std::memory_order_relaxed);
    if (c.outcome == Outcome::Pending) Settle(c, c.records && c.records->KeyFound() ? Outcome::Failed : Outcome::WithoutKeys);
  }
  index_.erase(c.clientKey);
  index_.erase(c.serverKey);
  if (recent_ == it) recent_ = connections_.end();
  // Its readers are kept for the next connections, made new at once (nothing of this connection stays
  // in them but the room of their buffers).
  if (c.records && spareRecords_.size() < kSpareReaders) {
    c.records->Reset(nullptr);
    spareRecords_.push_back(std::move(c.records));
  }
  if (c.http2 && spareHttp2_.size() < kSpareReaders) {
    c.http2->Reset(nullptr);
    spareHttp2_.push_back(std::unique_ptr<Http2Reader>(static_cast<Http2Reader*>(c.app.release())));
    c.http2 = nullptr;
  }
  bytesHeld_ -= c.accounted;
  connections_.erase(it);
}

void HttpsSession::Account(Connection& c) {
  std::size_t bytes = kConnectionOverhead + c.client.PendingBytes() + c.server_.PendingBytes();
  if (c.records) bytes += c.records->MemoryBytes();
  if (c.app) bytes += c.app->MemoryBytes();
  bytesHeld_ = bytesHeld_ - c.accounted + bytes;
  c.accounted = bytes;
}

void HttpsSession::Evaluate(Connection& c, double seconds) {
  ClientRecordReader& r = *c.records;
  if (!c.counted && r.HasRandom()) {
    c.counted = true;
    ++counts_.connections;
    ++pending_;
    c.outcome = Outcome::Pending;
  }
  if (!c.counted) return;
  std::string secret;
  if (r.GetState() == ClientRecordReader::State::Failed) {
    bool keyed = r.KeyFound();
    if (!keyed)
      for (SecretKind k : {SecretKind::Tls12Master, SecretKind::ClientHandshake, SecretKind::ClientTraffic0})
        if (keys_.Find(k, r.Random(), secret)) keyed = true;
    Settle(c, keyed ? Outcome::Failed : Outcome::WithoutKeys);
    return;
  }
  if (c.app && c.app->Broken()) {
    Settle(c, Outcome::Failed);
    return;
  }
  if (r.Decrypted()) {
    Settle(c, Outcome::Decrypted);
    return;
  }
  if (r.KeyFound() && r.Skipped() > 0) {
    // Its key opens none of its records so far: failed, unless a later record opens.
    Settle(c, Outcome::Failed);
    return;
  }
  if (r.Waiting() == ClientRecordReader::Wait::Key) {
    if (c.holdSince < 0) c.holdSince = seconds;
    if (seconds - c.holdSince > kHoldSeconds) Settle(c, Outcome::WithoutKeys);
  }
}

void HttpsSession::Segment(const TcpSegmentView& s, double seconds, std::vector<HttpsFind>& out) {
  RefreshFiles();
  if (!Enabled()) return;
  lastSeconds_ = seconds;
  const Key key = MakeKey(s.v6, s.src, s.dst, s.sport, s.dport);
  ConnList::iterator it;
  bool fromClient;
  // Segments come in runs of one connection: the last one found is tried before the index.
  if (recent_ != connections_.end() && (key == recent_->clientKey || key == recent_->serverKey)) {
    it = recent_;
    fromClient = key == recent_->clientKey;
  } else {
    auto found = index_.find(key);
    if (found == index_.end()) {
      // A new connection: from the client's SYN, or from a ClientHello when the SYN was not captured.
      if ((s.flags & (kSyn | kAck)) == kSyn) {
        Open(s, s.seq + 1);
      } else if (s.length >= 11 && s.payload[0] == 0x16 && s.payload[1] == 0x03 && s.payload[5] == 0x01 &&
                 s.payload[9] == 0x03) {
        Open(s, s.seq);
        found = index_.find(key);
      }
      if (found == index_.end()) return;
    }
    it = found->second.first;
    fromClient = found->second.second;
    recent_ = it;
  }
  Connection& c = *it;
  c.lastSeen = seconds;
  if (!fromClient && c.helloGiven && c.records->Waiting() != ClientRecordReader::Wait::Key) {
    // The server's bytes after its ServerHello are not read, and nothing else of the connection changes
    // with them but the time it was last seen: what follows below would find what it found when the
    // connection last changed (its outcome, its memory, whether it is done). Only the sweep is due.
    if (seconds - lastSweep_ >= 1.0 || seconds < lastSweep_) {
      Sweep(seconds);
      Publish();
    }
    return;
  }
  out_ = &out;
  if (fromClient) {
    if (c.outcome == Outcome::Pending || c.outcome == Outcome::Decrypted) {
      c.client.Segment(s.seq, s.payload, s.length, [&](const std::uint8_t* p, std::size_t n) {
        if (!c.checkedStart) {
          c.checkedStart = true;
          if (!(n >= 1 && p[0] == 0x16)) c.outcome = Outcome::WithoutKeys;  // not TLS: dropped below
        }
        if (c.checkedStart && c.outcome != Outcome::WithoutKeys) c.records->Feed(p, n, keys_);
      });
      if (!c.counted && c.checkedStart && c.outcome == Outcome::WithoutKeys) {
        out_ = nullptr;
        Erase(it, false);
        return;
      }
    }
  } else {
    if ((s.flags & (kSyn | kAck)) == (kSyn | kAck) && !c.server_.Started()) c.server_.Start(s.seq + 1);
    if (!c.server_.Started() && s.length > 0 && s.payload[0] == 0x16) c.server_.Start(s.seq);
    if (!c.hello.Done() && !c.hello.Broken()) {
      c.server_.Segment(s.seq, s.payload, s.length, [&](const std::uint8_t* p, std::size_t n) {
        if (!c.hello.Done()) c.hello.Feed(p, n);
      });
      if (c.hello.Done() && !c.helloGiven) {
        c.helloGiven = true;
        c.server_ = TcpReassembly();  // nothing more is read from the server
        c.records->SetServerHello(c.hello.Hello(), keys_);
      }
    }
  }
  // A connection waiting for its key tries again (the key log is read again at most every 200 ms).
  if (c.records->Waiting() == ClientRecordReader::Wait::Key) c.records->Resume(keys_);
  Evaluate(c, seconds);
  out_ = nullptr;
  Account(c);
  // Finished connections go; the oldest go while the bound is passed.
  const auto state = c.records->GetState();
  const bool done = state == ClientRecordReader::State::Failed || state == ClientRecordReader::State::Closed ||
                    (c.counted && c.outcome == Outcome::WithoutKeys);
  if (done || (fromClient && (s.flags & (kRst | kFin)) && c.client.PendingBytes() == 0 &&
               c.records->Waiting() != ClientRecordReader::Wait::Key)) {
    Erase(it, false);
  }
  while (bytesHeld_ > kMaxTotalBytes && !connections_.empty()) Erase(connections_.begin(), true);
  if (seconds - lastSweep_ >= 1.0 || seconds < lastSweep_) Sweep(seconds);
  Publish();
}

// Once a second of capture time: connections whose hold has run out, and connections no segment has
// come for in kIdleSeconds, go (their state counted as it stands).
void HttpsSession::Sweep(double seconds) {
  lastSweep_ = seconds;
  for (auto it = connections_.begin(); it != connections_.end();) {
    Connection& c = *it++;
    const bool held = c.records->Waiting() == ClientRecordReader::Wait::Key && c.holdSince >= 0 &&
                      seconds - c.holdSince > kHoldSeconds;
    const bool idle = seconds - c.lastSeen > kIdleSeconds;
    if (!held && !idle) continue;
    if (c.outcome == Outcome::Pending)
      Settle(c, c.records->KeyFound() && !held ? Outcome::Failed : Outcome::WithoutKeys);
    Erase(std::prev(it), false);
  }
}

void HttpsSession::Datagram(bool v6, const std::uint8_t* src, const std::uint8_t* dst, std::uint16_t sport,
                            std::uint16_t dport, const std::uint8_t* p, std::size_t n, double seconds,
                            std::vector<HttpsFind>& out) {
  // Key log files given while a capture runs count for QUIC too, even while no TCP segment comes.
  RefreshFiles();
  UdpEndpoints e;
  e.v6 = v6;
  std::memcpy(e.src.data(), src, v6 ? 16 : 4);
  std::memcpy(e.dst.data(), dst, v6 ? 16 : 4);
  e.sport = sport;
  e.dport = dport;
  quicRequests_.clear();
  quic_.Datagram(e, p, n, seconds, quicRequests_);
  for (const HttpsRequest& r : quicRequests_) AddRequest(r, v6, dst, dport, out);
  RecountQuic(seconds, !quicRequests_.empty());
  Publish();
}

void HttpsSession::AddRequest(const HttpsRequest& request, bool v6, const std::uint8_t* server, std::uint16_t port,
                              std::vector<HttpsFind>& out) {
  HttpsFind f;
  if (!PacketHead(request, f.head, f.scheme)) return;
  f.absolute = true;
  f.v6 = v6;
  std::memcpy(f.server.data(), server, v6 ? 16 : 4);
  f.port = port;
  out.push_back(std::move(f));
}

}  // namespace qv::tls
