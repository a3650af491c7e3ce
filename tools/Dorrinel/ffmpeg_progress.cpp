#include "tools/Dorrinel/ffmpeg_progress.h"

#include "common/bytes.h"

namespace dorrinel {

namespace {

constexpr std::size_t kEnd = FfmpegProgress::kLongLine / 2;  // bytes kept of each end of a long line

bool Continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// The first `n` bytes of `s`, not ending inside a UTF-8 character.
std::string_view HeadOf(std::string_view s, std::size_t n) {
  if (s.size() <= n) return s;
  while (n > 0 && Continuation(s[n])) --n;
  return s.substr(0, n);
}

// The last `n` bytes of `s`, not starting inside a UTF-8 character.
std::string_view TailOf(std::string_view s, std::size_t n) {
  if (s.size() <= n) return s;
  std::size_t from = s.size() - n;
  while (from < s.size() && Continuation(s[from])) ++from;
  return s.substr(from);
}

// "[matroska @ 0x55cf42e4b100] text" -> "[matroska] text": the address says nothing to a person.
std::string WithoutAddress(std::string_view line) {
  if (line.empty() || line[0] != '[') return std::string(line);
  const std::size_t at = line.find(" @ 0x");
  const std::size_t close = line.find(']');
  if (at == std::string_view::npos || close == std::string_view::npos || at > close) return std::string(line);
  const std::string_view hex = line.substr(at + 5, close - at - 5);
  if (hex.empty() || hex.find_first_not_of("0123456789abcdefABCDEF") != std::string_view::npos) return std::string(line);
  return std::string(line.substr(0, at)) + std::string(line.substr(close));
}

}  // namespace

void FfmpegProgress::Feed(std::string_view bytes) {
  for (char c : bytes) {
    if (c == '\n' || c == '\r') {
      if (!line_.empty()) Line(line_);
      line_.clear();
      tail_.clear();
      overlong_ = false;
    } else if (line_.size() < kLongLine) {
      line_ += c;
    } else {
      // The middle of an overlong line is dropped; its latest kEnd bytes at least are kept.
      overlong_ = true;
      tail_ += c;
      if (tail_.size() >= 2 * kEnd) tail_.erase(0, tail_.size() - kEnd);
    }
  }
}

void FfmpegProgress::Line(std::string_view line) {
  const std::size_t eq = line.find('=');
  const std::string_view key = eq == std::string_view::npos ? std::string_view() : line.substr(0, eq);
  const bool progressKey = !key.empty() && key.find_first_not_of("abcdefghijklmnopqrstuvwxyz_0123456789") ==
                                               std::string_view::npos;
  if (!progressKey) {
    lastMessage_ = std::string(qv::TrimView(HeadOf(line, kMaxLine)));
    if (!overlong_) return Message(WithoutAddress(qv::TrimView(line)));
    const std::string end = tail_.size() >= kEnd ? tail_ : line_.substr(line_.size() - (kEnd - tail_.size())) + tail_;
    return Message(WithoutAddress(qv::TrimView(std::string(HeadOf(line, kEnd)) + " … " + std::string(TailOf(end, kEnd)))));
  }
  reported_ = true;
  const std::string_view value = line.substr(eq + 1);
  if (key == "out_time_us" || key == "out_time_ms") {  // both are microseconds in ffmpeg's output
    if (value.empty() || value.size() > 18 || value.find_first_not_of("0123456789") != std::string_view::npos) return;
    std::uint64_t us = 0;
    for (char c : value) us = us * 10 + static_cast<std::uint64_t>(c - '0');
    seconds_ = static_cast<double>(us) / 1e6;
  } else if (key == "progress") {
    ended_ = value == "end";
  }
}

void FfmpegProgress::Message(std::string text) {
  if (text.empty() || (!messages_.empty() && messages_.back() == text)) return;
  messages_.push_back(std::move(text));
  if (messages_.size() > kKeptMessages) messages_.pop_front();
}

}  // namespace dorrinel
