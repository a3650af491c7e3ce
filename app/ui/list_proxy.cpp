#include "app/ui/list_proxy.h"

#include "app/ui/list_models.h"
#include "common/codepage.h"

namespace qv {

ListProxy::ListProxy(LaggingListModel& rows, QObject* parent) : QSortFilterProxyModel(parent), rows_(rows) {
  setSourceModel(&rows_);
  // Rows arriving while a sort or filter is on take their place at once.
  setDynamicSortFilter(true);
}

TextNeedle ListProxy::NeedleFor(const QString& text) {
  const QByteArray utf8 = text.toUtf8();
  const std::string_view u(utf8.constData(), static_cast<std::size_t>(utf8.size()));
  std::optional<std::string> gbk = Utf8ToGbk(u, static_cast<std::size_t>(utf8.size()) + 1);
  // GBK writes "?" for a character it lacks: such a text is in no GBK row.
  if (gbk && GbkToUtf8(*gbk) != u) gbk.reset();
  return TextNeedle(std::move(gbk), std::string(u));
}

void ListProxy::SetQuickFilter(const QString& text) {
  if (text == filterText_) return;
  filterText_ = text;
  needle_ = NeedleFor(text);
  // One pass over the list, and one layout change for the views: filtering row by row would cost a
  // removal per hidden row.
  invalidate();
}

bool ListProxy::filterAcceptsRow(int sourceRow, const QModelIndex&) const {
  if (needle_.Empty()) return true;
  return needle_.In(rows_.FilterText(sourceRow, scratchLeft_));
}

bool ListProxy::lessThan(const QModelIndex& left, const QModelIndex& right) const {
  const std::string_view a = rows_.CellBytes(left.row(), left.column(), scratchLeft_);
  const std::string_view b = rows_.CellBytes(right.row(), right.column(), scratchRight_);
  return CompareListText(a, b) < 0;
}

std::optional<std::size_t> ListProxy::SourceRow(const QAbstractItemModel* model, int viewRow) {
  if (model == nullptr || viewRow < 0 || viewRow >= model->rowCount()) return std::nullopt;
  QModelIndex index = model->index(viewRow, 0);
  while (const auto* proxy = qobject_cast<const QAbstractProxyModel*>(index.model()))
    index = proxy->mapToSource(index);
  if (!index.isValid()) return std::nullopt;
  return static_cast<std::size_t>(index.row());
}

}  // namespace qv
