// The view of one address list as the window shows it: sorted by a column when the person asked for
// it, narrowed by the quick filter. The list itself keeps its order and its rules; commands reach
// its rows through SourceRow.
#pragma once
#include <QSortFilterProxyModel>
#include <QString>

#include <optional>
#include <string>

#include "common/list_text.h"

namespace qv {

class LaggingListModel;

class ListProxy : public QSortFilterProxyModel {
 public:
  explicit ListProxy(LaggingListModel& rows, QObject* parent = nullptr);

  // Shows only the rows whose filter text (the address; a packet row's payload text) holds `text`,
  // ignoring the case of ASCII letters. An empty text shows every row.
  void SetQuickFilter(const QString& text);
  const QString& QuickFilter() const { return filterText_; }
  bool Filtering() const { return !needle_.Empty(); }
  // True while the rows stand in the list's own order (no column sort).
  bool InListOrder() const { return sortColumn() < 0; }

  // The row of the list behind a row of a view over `model` (this proxy or the list model itself).
  static std::optional<std::size_t> SourceRow(const QAbstractItemModel* model, int viewRow);

  static TextNeedle NeedleFor(const QString& text);

 protected:
  bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;
  bool lessThan(const QModelIndex& left, const QModelIndex& right) const override;

 private:
  LaggingListModel& rows_;
  QString filterText_;
  TextNeedle needle_;
  mutable std::string scratchLeft_;
  mutable std::string scratchRight_;
};

}  // namespace qv
