// Reads what ffmpeg writes to its standard error when run with "-progress pipe:2 -nostats": blocks of
// "key=value" lines, among them out_time_us, total_size and progress=continue|end, between its own
// messages. Without Qt; every line is bounded, whatever ffmpeg or the stream makes it print.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace dorrinel {

class FfmpegProgress {
 public:
  static constexpr std::size_t kMaxLine = 1024;

  void Feed(std::string_view bytes);

  std::optional<double> seconds() const { return seconds_; }  // media time written so far
  bool ended() const { return ended_; }                        // "progress=end" was seen
  const std::string& lastMessage() const { return lastMessage_; }  // ffmpeg's last own line

 private:
  void Line(std::string_view line);
  std::string line_;
  bool overlong_ = false;
  std::optional<double> seconds_;
  bool ended_ = false;
  std::string lastMessage_;
};

}  // namespace dorrinel
