// The simple downloader's HTTP work, without Qt: turning a captured request into one that can be sent
// again, naming the file it fetches, and reading the answer (status, headers, a body sent with a
// length, in chunks, or up to the end of the connection).
#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace dorrinel {

// A captured payload text back to the bytes that travelled: every NUL marker (0xA5 immediately
// followed by 0xFE), read from the first byte on, becomes one zero byte.
std::string NulMarkersToZeros(std::string_view payloadText);

enum class RequestError {
  kNone,
  kEmpty,     // nothing to send
  kNotHttp,   // the first line is not "<method> <target> <version>"
  kNoHost,    // no Host header (and no address in the request line)
  kBadPort,   // the port of the Host header is not a number from 1 to 65535
};

struct PreparedRequest {
  RequestError error = RequestError::kNone;
  std::string host;        // name or address; an IPv6 address without its brackets
  std::uint16_t port = 80;
  std::string target;      // the request target as captured
  std::string fileName;    // UTF-8, safe to use inside a folder (see FileNameFromTarget)
  std::string bytes;       // what to send
};

// Prepares a captured request to be sent again. The request line, the headers and any body that was
// captured with them are kept, except:
//   - "Connection: close" replaces every Connection, Keep-Alive and Proxy-Connection header, so that
//     the server ends the answer by closing the connection;
//   - headers that would give less than the whole file are dropped: Range and the conditional ones
//     (If-Range, If-Modified-Since, If-None-Match, If-Match, If-Unmodified-Since), and Accept-Encoding
//     and TE, so that the file arrives as itself rather than compressed;
//   - header lines end in CR LF, and a header block cut short by the capture is closed.
// Host and port come from the Host header, or from an absolute address in the request line.
PreparedRequest PrepareRequest(std::string_view request);

// The file name for a request target: its last path segment, without query and fragment,
// percent-decoded; read as UTF-8 when it is, else as GBK. "download.bin" when that gives nothing
// usable: an empty name, ".", "..", a "/" or a control character in it, or more than 255 bytes.
inline constexpr std::string_view kFallbackFileName = "download.bin";
std::string FileNameFromTarget(std::string_view target);

// `name`, or the first of "stem(1).ext", "stem(2).ext", ... for which `taken` is false.
std::string UniqueFileName(const std::string& name, const std::function<bool(const std::string&)>& taken);

// Reads an HTTP answer as it arrives.
class ResponseReader {
 public:
  enum class State { kHeader, kBody, kDone, kError };

  // Consumes the next bytes; body bytes are handed to `sink`, which returns false to stop. Returns
  // false once the answer is malformed or the sink has refused (State kError).
  bool Feed(std::string_view data, const std::function<bool(std::string_view)>& sink);
  // The connection has closed. True when the answer was complete: its whole length, its last chunk,
  // or, for an answer without either, whatever came up to the close.
  bool Finish();

  State state() const { return state_; }
  bool HeaderDone() const { return state_ == State::kBody || state_ == State::kDone; }
  int status() const { return status_; }
  const std::string& reason() const { return reason_; }
  std::optional<std::uint64_t> contentLength() const { return contentLength_; }
  std::uint64_t bodyBytes() const { return bodyBytes_; }
  const std::string& error() const { return error_; }
  // The value of the first header with this name (ASCII case ignored), or nothing.
  std::optional<std::string> Header(std::string_view name) const;

 private:
  bool Fail(std::string why);
  bool ParseHeader();
  bool FeedChunked(std::string_view& data, const std::function<bool(std::string_view)>& sink);

  enum class ChunkPart { kSize, kData, kDataEnd, kTrailer };
  State state_ = State::kHeader;
  std::string buffer_;  // header bytes, or a partial chunk-size / trailer line
  std::string headerBlock_;
  int status_ = 0;
  std::string reason_;
  std::optional<std::uint64_t> contentLength_;
  bool chunked_ = false;
  ChunkPart chunkPart_ = ChunkPart::kSize;
  std::uint64_t chunkLeft_ = 0;
  std::uint64_t bodyBytes_ = 0;
  std::string error_;
};

}  // namespace dorrinel
