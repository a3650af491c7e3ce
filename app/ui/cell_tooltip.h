// The list cells' tooltips: a cell whose text is cut short shows its whole text (for the address
// column the whole address, which the model gives as its tooltip) when the pointer rests on it; a
// cell shown whole shows none. A text far longer than its cell is cut before the style measures it:
// the style lays out the whole text to elide it, and a screen of long packet texts took over 100 ms
// to paint.
#pragma once
#include <QStyledItemDelegate>

namespace qv {

class ElidedCellTips : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
  bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                 const QModelIndex& index) override;

  // True when the cell's text does not fit its width.
  bool Elided(const QStyleOptionViewItem& option, const QModelIndex& index) const;
  // The text as a tooltip: escaped (a captured text is never read as markup) and broken into lines
  // of at most `lineChars` characters so that a long address fits the screen.
  static QString TipText(const QString& text, int lineChars = 100);
  // `text` cut to what can matter in `width` pixels when it is elided on the right: more characters
  // than the narrowest ones of the font could fit, then "…". A text that may fit comes back whole.
  static QString CutForWidth(const QString& text, int width, const QFontMetrics& metrics);
};

}  // namespace qv
