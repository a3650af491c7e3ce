#include "tools/Dorrinel/http_fetch.h"

#include <vector>

#include "common/bytes.h"
#include "common/codepage.h"

namespace dorrinel {

namespace {

using qv::HexValue;
using qv::LowerAscii;
using qv::PercentDecode;
using qv::TrimView;

constexpr std::size_t kMaxHeaderBytes = 64 * 1024;
constexpr std::size_t kMaxChunkLine = 4096;

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && LowerAscii(s.substr(0, prefix.size())) == LowerAscii(prefix);
}

// Name and value of a header line; nothing for a line without ":".
std::optional<std::pair<std::string, std::string_view>> SplitHeader(std::string_view line) {
  const std::size_t colon = line.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  return std::make_pair(LowerAscii(TrimView(line.substr(0, colon))), TrimView(line.substr(colon + 1)));
}

// Lines of a header block (without its closing empty line), split at LF with a CR before it dropped.
std::vector<std::string_view> Lines(std::string_view block) {
  std::vector<std::string_view> lines;
  std::size_t pos = 0;
  while (pos < block.size()) {
    std::size_t lf = block.find('\n', pos);
    if (lf == std::string_view::npos) lf = block.size();
    std::string_view line = block.substr(pos, lf - pos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    pos = lf + 1;
  }
  return lines;
}

// Where the header block ends: the position of the empty line's end, and the block's length.
std::optional<std::pair<std::size_t, std::size_t>> HeaderEnd(std::string_view s) {
  const std::size_t crlf = s.find("\r\n\r\n");
  const std::size_t lflf = s.find("\n\n");
  if (crlf == std::string_view::npos && lflf == std::string_view::npos) return std::nullopt;
  if (crlf != std::string_view::npos && (lflf == std::string_view::npos || crlf < lflf)) {
    return std::make_pair(crlf + 4, crlf);
  }
  return std::make_pair(lflf + 2, lflf);
}

bool ParsePort(std::string_view text, std::uint16_t& port) {
  if (text.empty() || text.size() > 5) return false;
  unsigned value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value == 0 || value > 65535) return false;
  port = static_cast<std::uint16_t>(value);
  return true;
}

// "name", "name:port", "[v6]" or "[v6]:port".
bool ParseAuthority(std::string_view authority, std::string& host, std::uint16_t& port) {
  const std::size_t at = authority.rfind('@');  // user information is not part of the host
  if (at != std::string_view::npos) authority = authority.substr(at + 1);
  port = 80;
  if (!authority.empty() && authority.front() == '[') {
    const std::size_t close = authority.find(']');
    if (close == std::string_view::npos) return false;
    host = std::string(authority.substr(1, close - 1));
    const std::string_view rest = authority.substr(close + 1);
    if (rest.empty()) return !host.empty();
    if (rest.front() != ':') return false;
    return !host.empty() && ParsePort(rest.substr(1), port);
  }
  const std::size_t colon = authority.rfind(':');
  if (colon == std::string_view::npos) {
    host = std::string(authority);
    return !host.empty();
  }
  host = std::string(authority.substr(0, colon));
  return !host.empty() && ParsePort(authority.substr(colon + 1), port);
}

bool DropHeader(const std::string& lowerName) {
  static const char* const kDropped[] = {
      "connection", "keep-alive", "proxy-connection", "range", "if-range", "if-modified-since",
      "if-none-match", "if-match", "if-unmodified-since", "accept-encoding", "te",
  };
  for (const char* d : kDropped) {
    if (lowerName == d) return true;
  }
  return false;
}


bool IsUtf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto b = static_cast<unsigned char>(s[i]);
    std::size_t n;
    if (b < 0x80) n = 1;
    else if (b >= 0xC2 && b <= 0xDF) n = 2;
    else if (b >= 0xE0 && b <= 0xEF) n = 3;
    else if (b >= 0xF0 && b <= 0xF4) n = 4;
    else return false;
    if (i + n > s.size()) return false;
    for (std::size_t k = 1; k < n; ++k) {
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    }
    i += n;
  }
  return true;
}

}  // namespace

std::string NulMarkersToZeros(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (static_cast<unsigned char>(text[i]) == 0xA5 && i + 1 < text.size() &&
        static_cast<unsigned char>(text[i + 1]) == 0xFE) {
      out += '\0';
      ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

PreparedRequest PrepareRequest(std::string_view request) {
  PreparedRequest r;
  if (TrimView(request).empty()) {
    r.error = RequestError::kEmpty;
    return r;
  }
  std::string_view block = request;
  std::string_view body;
  if (const auto end = HeaderEnd(request)) {
    block = request.substr(0, end->second);
    body = request.substr(end->first);
  }
  const std::vector<std::string_view> lines = Lines(block);

  // Request line: method, target, version, separated by single blanks.
  const std::string_view first = lines.empty() ? std::string_view() : lines.front();
  const std::size_t sp1 = first.find(' ');
  const std::size_t sp2 = sp1 == std::string_view::npos ? sp1 : first.find(' ', sp1 + 1);
  if (sp1 == 0 || sp2 == std::string_view::npos || sp2 == sp1 + 1 || sp2 + 1 >= first.size() ||
      !StartsWithNoCase(first.substr(sp2 + 1), "HTTP/")) {
    r.error = RequestError::kNotHttp;
    return r;
  }
  r.target = std::string(first.substr(sp1 + 1, sp2 - sp1 - 1));

  // An absolute address in the request line ("GET http://host/path HTTP/1.1").
  std::string_view path = r.target;
  std::optional<std::string_view> lineAuthority;
  if (StartsWithNoCase(path, "http://")) {
    const std::string_view rest = path.substr(7);
    const std::size_t slash = rest.find_first_of("/?#");
    lineAuthority = rest.substr(0, slash);
    path = slash == std::string_view::npos ? std::string_view("/") : rest.substr(slash);
  }

  std::string out(first);
  out += "\r\n";
  std::optional<std::string_view> hostValue;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const auto header = SplitHeader(lines[i]);
    if (header && header->first == "host" && !hostValue) hostValue = header->second;
    if (header && DropHeader(header->first)) continue;
    out += lines[i];
    out += "\r\n";
  }
  out += "Connection: close\r\n\r\n";
  out += body;

  const std::string_view authority = hostValue ? *hostValue : lineAuthority.value_or(std::string_view());
  if (TrimView(authority).empty()) {
    r.error = RequestError::kNoHost;
    return r;
  }
  if (!ParseAuthority(TrimView(authority), r.host, r.port)) {
    r.error = RequestError::kBadPort;
    return r;
  }
  r.fileName = FileNameFromTarget(path);
  r.bytes = std::move(out);
  return r;
}

std::string FileNameFromTarget(std::string_view target) {
  std::string_view path = target.substr(0, target.find_first_of("?#"));
  const std::size_t slash = path.rfind('/');
  if (slash != std::string_view::npos) path = path.substr(slash + 1);
  std::string name = PercentDecode(path);
  if (!IsUtf8(name)) name = qv::GbkToUtf8(name);
  if (name.empty() || name == "." || name == ".." || name.size() > 255) return std::string(kFallbackFileName);
  for (char c : name) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7F || c == '/') return std::string(kFallbackFileName);
  }
  return name;
}

std::string UniqueFileName(const std::string& name, const std::function<bool(const std::string&)>& taken) {
  if (!taken(name)) return name;
  const std::size_t dot = name.rfind('.');
  const bool hasExt = dot != std::string::npos && dot > 0;
  const std::string stem = hasExt ? name.substr(0, dot) : name;
  const std::string ext = hasExt ? name.substr(dot) : std::string();
  for (unsigned n = 1;; ++n) {
    std::string candidate = stem + "(" + std::to_string(n) + ")" + ext;
    if (!taken(candidate)) return candidate;
  }
}

// ---- ResponseReader -----------------------------------------------------------------------------

bool ResponseReader::Fail(std::string why) {
  state_ = State::kError;
  error_ = std::move(why);
  return false;
}

std::optional<std::string> ResponseReader::Header(std::string_view name) const {
  const std::string wanted = LowerAscii(name);
  const std::vector<std::string_view> lines = Lines(headerBlock_);
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const auto header = SplitHeader(lines[i]);
    if (header && header->first == wanted) return std::string(header->second);
  }
  return std::nullopt;
}

bool ResponseReader::ParseHeader() {
  const std::vector<std::string_view> lines = Lines(headerBlock_);
  const std::string_view first = lines.empty() ? std::string_view() : lines.front();
  // "HTTP/1.1 200 OK"
  const std::size_t sp = first.find(' ');
  if (!StartsWithNoCase(first, "HTTP/") || sp == std::string_view::npos || first.size() < sp + 4) {
    return Fail("not an HTTP answer");
  }
  int status = 0;
  for (std::size_t i = sp + 1; i < sp + 4; ++i) {
    if (first[i] < '0' || first[i] > '9') return Fail("not an HTTP answer");
    status = status * 10 + (first[i] - '0');
  }
  status_ = status;
  reason_ = first.size() > sp + 5 ? std::string(TrimView(first.substr(sp + 5))) : std::string();

  contentLength_.reset();
  chunked_ = false;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const auto header = SplitHeader(lines[i]);
    if (!header) continue;
    if (header->first == "transfer-encoding") {
      const std::string value = LowerAscii(header->second);
      chunked_ = value.size() >= 7 && value.compare(value.size() - 7, 7, "chunked") == 0;
    } else if (header->first == "content-length") {
      std::uint64_t n = 0;
      const std::string_view v = header->second;
      if (v.empty() || v.size() > 18) return Fail("bad Content-Length");
      for (char c : v) {
        if (c < '0' || c > '9') return Fail("bad Content-Length");
        n = n * 10 + static_cast<std::uint64_t>(c - '0');
      }
      if (contentLength_ && *contentLength_ != n) return Fail("conflicting Content-Length");
      contentLength_ = n;
    }
  }
  if (chunked_) contentLength_.reset();  // the chunks say how long the body is
  return true;
}

bool ResponseReader::Feed(std::string_view data, const std::function<bool(std::string_view)>& sink) {
  while (true) {
    switch (state_) {
      case State::kError:
        return false;
      case State::kDone:
        return true;  // anything after the answer is ignored
      case State::kHeader: {
        buffer_.append(data);
        data = {};
        const auto end = HeaderEnd(buffer_);
        if (!end) {
          if (buffer_.size() > kMaxHeaderBytes) return Fail("header too long");
          return true;
        }
        headerBlock_ = buffer_.substr(0, end->second);
        std::string rest = buffer_.substr(end->first);
        buffer_.clear();
        if (!ParseHeader()) return false;
        if (status_ >= 100 && status_ < 200 && status_ != 101) {
          // An interim answer ("100 Continue"): the real one follows.
          if (rest.empty()) return true;
          return Feed(rest, sink);
        }
        if (status_ == 204 || status_ == 304 || (contentLength_ && *contentLength_ == 0)) {
          state_ = State::kDone;
          return true;
        }
        state_ = State::kBody;
        // The body bytes that came with the header.
        return rest.empty() || Feed(rest, sink);
      }
      case State::kBody: {
        if (data.empty()) return true;
        if (chunked_) return FeedChunked(data, sink);
        std::string_view part = data;
        if (contentLength_) {
          const std::uint64_t left = *contentLength_ - bodyBytes_;
          if (part.size() > left) part = part.substr(0, static_cast<std::size_t>(left));
        }
        bodyBytes_ += part.size();
        if (!part.empty() && !sink(part)) return Fail("the body cannot be stored");
        if (contentLength_ && bodyBytes_ == *contentLength_) state_ = State::kDone;
        return true;
      }
    }
  }
}

bool ResponseReader::FeedChunked(std::string_view& data, const std::function<bool(std::string_view)>& sink) {
  while (!data.empty() && state_ == State::kBody) {
    if (chunkPart_ == ChunkPart::kData) {
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(chunkLeft_, data.size()));
      if (n > 0 && !sink(data.substr(0, n))) return Fail("the body cannot be stored");
      bodyBytes_ += n;
      chunkLeft_ -= n;
      data.remove_prefix(n);
      if (chunkLeft_ == 0) chunkPart_ = ChunkPart::kDataEnd;
      continue;
    }
    // The other parts are lines: collect up to the LF.
    const std::size_t lf = data.find('\n');
    buffer_.append(data.substr(0, lf == std::string_view::npos ? data.size() : lf));
    if (buffer_.size() > kMaxChunkLine) return Fail("chunk line too long");
    if (lf == std::string_view::npos) {
      data = {};
      return true;
    }
    data.remove_prefix(lf + 1);
    std::string line;
    line.swap(buffer_);
    if (!line.empty() && line.back() == '\r') line.pop_back();

    switch (chunkPart_) {
      case ChunkPart::kSize: {
        const std::string_view size = TrimView(std::string_view(line).substr(0, line.find(';')));
        if (size.empty() || size.size() > 15) return Fail("bad chunk size");
        std::uint64_t n = 0;
        for (char c : size) {
          const int d = HexValue(c);
          if (d < 0) return Fail("bad chunk size");
          n = n * 16 + static_cast<std::uint64_t>(d);
        }
        if (n == 0) {
          chunkPart_ = ChunkPart::kTrailer;
        } else {
          chunkLeft_ = n;
          chunkPart_ = ChunkPart::kData;
        }
        break;
      }
      case ChunkPart::kDataEnd:
        if (!line.empty()) return Fail("chunk not closed by CR LF");
        chunkPart_ = ChunkPart::kSize;
        break;
      case ChunkPart::kTrailer:
        if (line.empty()) state_ = State::kDone;
        break;
      case ChunkPart::kData:
        break;
    }
  }
  return true;
}

bool ResponseReader::Finish() {
  switch (state_) {
    case State::kDone:
      return true;
    case State::kBody:
      if (!chunked_ && !contentLength_) {
        state_ = State::kDone;  // the close ends an answer without a length
        return true;
      }
      return Fail("the connection closed before the end of the file");
    case State::kHeader:
      return Fail(buffer_.empty() ? "the server closed the connection without an answer"
                                  : "the connection closed inside the answer's header");
    case State::kError:
      return false;
  }
  return false;
}

}  // namespace dorrinel
