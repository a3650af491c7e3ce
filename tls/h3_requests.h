// The HTTP/3 requests of one QUIC connection, read from the client's streams: request streams
// (client-initiated bidirectional) reassembled up to their first HEADERS frame, the client's QPACK
// encoder stream fed to libnghttp3's QPACK decoder, header blocks that wait for encoder instructions
// kept until they arrive. Every buffer is bounded; a stream that overruns a bound is given up.
#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tls/https_request.h"

namespace qv::tls {

class H3Requests {
 public:
  static constexpr std::size_t kMaxStreams = 256;               // open streams at once
  static constexpr std::size_t kMaxStreamBytes = 64 * 1024;     // held per stream (out of order + header block)
  static constexpr std::size_t kMaxBytes = 1024 * 1024;         // held per connection
  static constexpr std::size_t kMaxTableCapacity = 1024 * 1024; // largest QPACK dynamic table followed

  H3Requests();
  ~H3Requests();
  H3Requests(const H3Requests&) = delete;
  H3Requests& operator=(const H3Requests&) = delete;

  // The bytes of a STREAM frame the client sent. Requests whose header fields are complete are
  // appended to `out`.
  void StreamData(std::uint64_t id, std::uint64_t offset, const std::uint8_t* p, std::size_t n, bool fin,
                  std::vector<HttpsRequest>& out);

  // Bytes held in buffers, and the QPACK dynamic table's capacity the client's encoder set.
  std::size_t HeldBytes() const { return held_; }
  std::size_t TableCapacity() const { return capacity_; }
  std::uint64_t Requests() const { return requests_; }
  // Streams given up: a malformed frame, a header block that did not decode, a bound overrun.
  std::uint64_t FailedStreams() const { return failedStreams_; }

 private:
  struct Stream;
  struct Decoder;

  Stream* Find(std::uint64_t id);
  void Deliver(std::uint64_t id, Stream& s, const std::uint8_t* p, std::size_t n, std::vector<HttpsRequest>& out);
  void RequestBytes(std::uint64_t id, Stream& s, const std::uint8_t* p, std::size_t n, std::vector<HttpsRequest>& out);
  void EncoderBytes(const std::uint8_t* p, std::size_t n, std::vector<HttpsRequest>& out);
  void HeaderBlock(std::uint64_t id, Stream& s, std::vector<HttpsRequest>& out);
  // Decodes what is left of the stream's header block; false while it waits for encoder instructions.
  bool Decode(std::uint64_t id, Stream& s, std::vector<HttpsRequest>& out);
  void RetryBlocked(std::vector<HttpsRequest>& out);
  void Finish(std::uint64_t id, Stream& s, bool failed);
  void Account(Stream& s);

  std::map<std::uint64_t, std::unique_ptr<Stream>> streams_;
  std::map<std::uint64_t, bool> finished_;  // streams read to their end (id kept so that a repeat is ignored)
  std::uint64_t finishedBelow_ = 0;         // every stream id below this one is finished
  std::unique_ptr<Decoder> decoder_;        // made at the encoder stream's first instruction
  std::unique_ptr<Decoder> staticDecoder_;  // for header blocks without dynamic references before then
  std::string encoderStart_;                // the encoder stream's bytes before its first instruction is whole
  bool encoderFailed_ = false;
  std::size_t held_ = 0;
  std::size_t capacity_ = 0;
  std::uint64_t requests_ = 0;
  std::uint64_t failedStreams_ = 0;
};

}  // namespace qv::tls
