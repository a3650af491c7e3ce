#include "app/ui/status_counts.h"

#include <QHelpEvent>
#include <QPainter>
#include <QStyle>
#include <QToolTip>

namespace qv {

QSize ElidingLabel::minimumSizeHint() const {
  // Room for "…" and the margins: the layout may take the rest of the width away.
  const QMargins m = contentsMargins();
  const int ellipsis = fontMetrics().horizontalAdvance(QStringLiteral("…"));
  return {ellipsis + m.left() + m.right() + 2 * margin(), QLabel::minimumSizeHint().height()};
}

bool ElidingLabel::Elided() const {
  return fontMetrics().horizontalAdvance(text()) > contentsRect().width() - 2 * margin();
}

void ElidingLabel::paintEvent(QPaintEvent* event) {
  if (!Elided()) {
    QLabel::paintEvent(event);
    return;
  }
  QPainter painter(this);
  const QRect r = contentsRect().adjusted(margin(), margin(), -margin(), -margin());
  const QString shown = fontMetrics().elidedText(text(), Qt::ElideRight, r.width());
  style()->drawItemText(&painter, r, static_cast<int>(alignment()), palette(), isEnabled(), shown, foregroundRole());
}

bool ElidingLabel::event(QEvent* event) {
  if (event->type() == QEvent::ToolTip && toolTip().isEmpty()) {
    auto* help = static_cast<QHelpEvent*>(event);
    if (Elided()) QToolTip::showText(help->globalPos(), text(), this);
    else QToolTip::hideText();
    return true;
  }
  return QLabel::event(event);
}

StatusCounts::StatusCounts(QWidget* parent) : ElidingLabel(parent) {
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

HttpsCountsCell::HttpsCountsCell(QWidget* parent) : ElidingLabel(parent) {
  setObjectName(QStringLiteral("StatusHttps"));
  setContentsMargins(8, 0, 0, 0);
  hide();
}

void HttpsCountsCell::SetCounts(std::uint64_t connections, std::uint64_t decrypted, std::uint64_t withoutKeys,
                                std::uint64_t failed) {
  if (connections == 0) {
    hide();
    return;
  }
  QString text = QStringLiteral("HTTPS 解密 %1 | 无密钥 %2")
                     .arg(static_cast<qulonglong>(decrypted))
                     .arg(static_cast<qulonglong>(withoutKeys));
  if (failed > 0) text += QStringLiteral(" | 失败 %1").arg(static_cast<qulonglong>(failed));
  setText(text);
  show();
}

}  // namespace qv
