#include "app/ui/status_counts.h"

#include <QLocale>

namespace qv {

StatusCounts::StatusCounts(QWidget* parent) : QLabel(parent) {
  setObjectName(QStringLiteral("StatusCounts"));
  setContentsMargins(16, 0, 16, 0);  // apart from the file panel before it
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
  const QLocale c = QLocale::c();
  auto n = [&c](std::uint64_t v) { return c.toString(static_cast<qulonglong>(v)); };
  QString text = shown_ == total_ ? QStringLiteral("共 %1 行").arg(n(static_cast<std::uint64_t>(total_)))
                                  : QStringLiteral("显示 %1 / 共 %2 行").arg(n(static_cast<std::uint64_t>(shown_)),
                                                                          n(static_cast<std::uint64_t>(total_)));
  if (frames_) text += QStringLiteral("  |  已捕获 %1 帧").arg(n(*frames_));
  if (dropped_) text += QStringLiteral("  |  丢弃 %1 帧").arg(n(*dropped_));
  setText(text);
}

}  // namespace qv
