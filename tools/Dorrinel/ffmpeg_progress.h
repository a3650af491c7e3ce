// Reads what ffmpeg writes to its standard error when run with "-progress pipe:2 -nostats": blocks of
// "key=value" lines, among them out_time_us, total_size and progress=continue|end, between its own
// messages. Without Qt; every line is bounded, whatever ffmpeg or the stream makes it print.
#pragma once
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

namespace dorrinel {

class FfmpegProgress {
 public:
  static constexpr std::size_t kMaxLine = 1024;     // lastMessage(): the start of the line
  static constexpr std::size_t kLongLine = 8192;    // messages(): longer lines keep their two ends
  static constexpr std::size_t kKeptMessages = 3;

  void Feed(std::string_view bytes);

  std::optional<double> seconds() const { return seconds_; }  // media time written so far
  bool ended() const { return ended_; }                        // "progress=end" was seen
  bool reported() const { return reported_; }                  // any progress block was seen
  const std::string& lastMessage() const { return lastMessage_; }  // ffmpeg's last own line, cut
  // ffmpeg's last own lines (up to kKeptMessages, oldest first, a repeated line once), each whole up
  // to kLongLine bytes; a longer one keeps its start and its end around " … ". ffmpeg often says
  // why in the line before its last ("Error initializing output stream 0:1 --" names no reason).
  const std::deque<std::string>& messages() const { return messages_; }

 private:
  void Line(std::string_view line);
  void Message(std::string text);
  std::string line_;   // the line so far, up to kLongLine bytes
  std::string tail_;   // past kLongLine: the latest bytes of the line
  bool overlong_ = false;
  std::optional<double> seconds_;
  bool ended_ = false;
  bool reported_ = false;
  std::string lastMessage_;
  std::deque<std::string> messages_;
};

}  // namespace dorrinel
