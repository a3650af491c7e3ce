// The list cells' tooltips: a cell whose text is cut short shows its whole text (for the address
// column the whole address, which the model gives as its tooltip) when the pointer rests on it; a
// cell shown whole shows none.
#pragma once
#include <QStyledItemDelegate>

namespace qv {

class ElidedCellTips : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                 const QModelIndex& index) override;

  // True when the cell's text does not fit its width.
  bool Elided(const QStyleOptionViewItem& option, const QModelIndex& index) const;
  // The text as a tooltip: escaped (a captured text is never read as markup) and broken into lines
  // of at most `lineChars` characters so that a long address fits the screen.
  static QString TipText(const QString& text, int lineChars = 100);
};

}  // namespace qv
