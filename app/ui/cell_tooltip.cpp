#include "app/ui/cell_tooltip.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QHelpEvent>
#include <QStyle>
#include <QToolTip>

#include <algorithm>

#include "app/session/list_models.h"

namespace qv {

bool ElidedCellTips::Elided(const QStyleOptionViewItem& option, const QModelIndex& index) const {
  QStyleOptionViewItem opt = option;
  initStyleOption(&opt, index);
  const QWidget* widget = opt.widget;
  const QStyle* style = widget != nullptr ? widget->style() : QApplication::style();
  const QRect textRect = style->subElementRect(QStyle::SE_ItemViewItemText, &opt, widget);
  // The style keeps a margin on both sides of the text inside that rectangle.
  const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, widget) + 1;
  return opt.fontMetrics.horizontalAdvance(opt.text) > textRect.width() - 2 * margin;
}

QString ElidedCellTips::CutForWidth(const QString& text, int width, const QFontMetrics& metrics) {
  int narrowest = metrics.horizontalAdvance(QLatin1Char(' '));
  for (const char c : {'.', ',', ':', ';', '\'', '|', '!', 'i', 'j', 'l', '1', 'I'})
    narrowest = std::min(narrowest, metrics.horizontalAdvance(QLatin1Char(c)));
  const qsizetype keep = static_cast<qsizetype>(std::max(width, 0) / std::max(narrowest, 1)) + 2;
  if (text.size() <= keep) return text;
  qsizetype cut = keep;
  if (text.at(cut - 1).isHighSurrogate()) --cut;  // never half a character
  return text.left(cut) + QChar(0x2026);
}

void ElidedCellTips::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
  QStyleOptionViewItem opt = option;
  initStyleOption(&opt, index);
  if (opt.textElideMode == Qt::ElideRight && opt.features.testFlag(QStyleOptionViewItem::HasDisplay))
    opt.text = CutForWidth(opt.text, opt.rect.width(), opt.fontMetrics);
  const QWidget* widget = opt.widget;
  QStyle* style = widget != nullptr ? widget->style() : QApplication::style();
  style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, widget);
}

QString ElidedCellTips::TipText(const QString& text, int lineChars) {
  QStringList lines;
  for (qsizetype at = 0; at < text.size(); at += lineChars) lines << text.mid(at, lineChars).toHtmlEscaped();
  return QStringLiteral("<p style='white-space:pre'>") + lines.join(QStringLiteral("<br>")) + QStringLiteral("</p>");
}

bool ElidedCellTips::helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                               const QModelIndex& index) {
  if (event == nullptr || view == nullptr || event->type() != QEvent::ToolTip || !index.isValid())
    return QStyledItemDelegate::helpEvent(event, view, option, index);
  // A cell shown whole needs no tip, unless the row has something to say about itself; whatever tip is
  // up (the row's "IP:" hint) stays.
  if (!Elided(option, index) && index.data(kRowNoteRole).toString().isEmpty()) return true;
  QString full = index.data(Qt::ToolTipRole).toString();
  if (full.isEmpty()) full = index.data(Qt::DisplayRole).toString();
  QToolTip::showText(event->globalPos(), TipText(full), view->viewport(), view->visualRect(index));
  return true;
}

}  // namespace qv
