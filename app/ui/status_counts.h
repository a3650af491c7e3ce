// The status-bar panel with the session's figures: rows listed (and shown, while the quick filter
// narrows the list), frames seen by the capture, and frames dropped once the capture reports them.
#pragma once
#include <QLabel>

#include <cstdint>
#include <optional>

namespace qv {

class StatusCounts : public QLabel {
 public:
  explicit StatusCounts(QWidget* parent = nullptr);
  // Rows of the visible list, and how many of them the filter lets through.
  void SetRows(int total, int shown);
  // The session's frames; `dropped` only when the capture library counts them. Nothing before the
  // first session.
  void SetFrames(std::uint64_t frames, std::optional<std::uint64_t> dropped);

 private:
  void Show();

  int total_ = 0;
  int shown_ = 0;
  std::optional<std::uint64_t> frames_;
  std::optional<std::uint64_t> dropped_;
};

}  // namespace qv
