#include "tools/Dorrinel/ffmpeg_progress.h"

#include "common/bytes.h"

namespace dorrinel {

void FfmpegProgress::Feed(std::string_view bytes) {
  for (char c : bytes) {
    if (c == '\n' || c == '\r') {
      if (!line_.empty()) Line(line_);
      line_.clear();
      overlong_ = false;
    } else if (line_.size() < kMaxLine) {
      line_ += c;
    } else {
      overlong_ = true;  // the rest of the line is dropped
    }
  }
}

void FfmpegProgress::Line(std::string_view line) {
  const std::size_t eq = line.find('=');
  const std::string_view key = eq == std::string_view::npos ? std::string_view() : line.substr(0, eq);
  const bool progressKey = !key.empty() && key.find_first_not_of("abcdefghijklmnopqrstuvwxyz_0123456789") ==
                                               std::string_view::npos;
  if (!progressKey) {
    lastMessage_ = std::string(qv::TrimView(line));
    return;
  }
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

}  // namespace dorrinel
