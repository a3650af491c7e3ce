#include "app/ui/status_counts.h"

namespace qv {

StatusCounts::StatusCounts(QWidget* parent) : QLabel(parent) {
  setObjectName(QStringLiteral("StatusCounts"));
  setContentsMargins(8, 0, 0, 0);  // apart from the file panel before it
  Show();
}

void StatusCounts::SetRows(int total, int shown) {
  if (total == total_ && shown == shown_) return;
  total_ = total;
  shown_ = shown;
  Show();
}

void StatusCounts::SetFrames(std::uint64_t frames, std::optional<std::uint64_t> dropped) {
  if (frames_ == frames && dropped_ == dropped) return;
  frames_ = frames;
  dropped_ = dropped;
  Show();
}

void StatusCounts::Show() {
  // Short: the status bar is shared with the state, the mode, the file and the site panels.
  QString text = shown_ == total_ ? QStringLiteral("%1 行").arg(total_)
                                  : QStringLiteral("%1 / %2 行").arg(shown_).arg(total_);
  if (frames_) text += QStringLiteral(" | 捕获 %1 帧").arg(static_cast<qulonglong>(*frames_));
  if (dropped_) text += QStringLiteral(" | 丢弃 %1 帧").arg(static_cast<qulonglong>(*dropped_));
  setText(text);
}

}  // namespace qv
