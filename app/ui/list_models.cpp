#include "app/ui/list_models.h"

#include <QBrush>
#include <QColor>

#include <algorithm>

#include "common/bytes.h"
#include "common/codepage.h"
#include "common/texts.h"
#include "common/ui/gbk_text.h"

namespace qv {

namespace {

// An address is shown from UTF-8 when its bytes are UTF-8 with a character beyond ASCII (today's
// escaped names decode to that), else from GBK. Display only: the stored bytes stay as they are.
QString AddressText(const std::string& bytes, std::size_t maxBytes = 1024) {
  if (IsUtf8WithMultibyte(bytes))
    return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(std::min<std::size_t>(bytes.size(), std::max<std::size_t>(maxBytes, 4096))));
  return CellText(bytes, maxBytes);
}

// The whole of a long address for its tooltip, up to this many bytes.
constexpr std::size_t kToolTipBytes = 8192;

}  // namespace

bool RowIsRed(std::string_view caption, std::string_view address) {
  // Every row carries its three cells; the rule's short-row case cannot arise with this layout.
  if (GbkFind(caption, texts::kFin) != npos) return true;
  if (address.size() < 4) return false;
  return LowerAscii(address.substr(address.size() - 4)) == ".flv";
}

// --- LaggingListModel ---

int LaggingListModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : announced_; }

bool LaggingListModel::Valid(const QModelIndex& index) const {
  return index.isValid() && index.row() < announced_ && static_cast<std::size_t>(index.row()) < CoreSize();
}

void LaggingListModel::Appended(std::size_t first, std::size_t count) {
  if (count == 0) return;
  if (static_cast<int>(first) != announced_ + pending_) {
    // Not an append behind the known rows: announce what is pending, then this insertion itself.
    Flush();
    beginInsertRows(QModelIndex(), static_cast<int>(first), static_cast<int>(first + count - 1));
    announced_ += static_cast<int>(count);
    endInsertRows();
    return;
  }
  pending_ += static_cast<int>(count);
}

void LaggingListModel::AboutToRemove(std::size_t index) {
  const int i = static_cast<int>(index);
  if (i >= announced_) return;
  // The row is still in the list: what the views read while they let go of it is still that row.
  beginRemoveRows(QModelIndex(), i, i);
  removing_ = true;
}

void LaggingListModel::Removed(std::size_t index) {
  if (!removing_) {
    // A row the views have not been told of yet.
    if (static_cast<int>(index) >= announced_ && pending_ > 0) --pending_;
    return;
  }
  removing_ = false;
  --announced_;
  endRemoveRows();
}

void LaggingListModel::Reset() {
  beginResetModel();
  announced_ = static_cast<int>(CoreSize());
  pending_ = 0;
  endResetModel();
}

void LaggingListModel::RowChanged(std::size_t row) {
  const int r = static_cast<int>(row);
  if (r >= announced_) return;
  emit dataChanged(index(r, 0), index(r, columnCount() - 1));
}

void LaggingListModel::Flush() {
  if (pending_ == 0) return;
  beginInsertRows(QModelIndex(), announced_, announced_ + pending_ - 1);
  announced_ += pending_;
  pending_ = 0;
  endInsertRows();
}

// --- Lv1Model ---

Lv1Model::Lv1Model(const UrlList& list, QObject* parent) : LaggingListModel(parent), list_(list) {
  captions_ = {QStringLiteral("文件类型"), QStringLiteral("数据包方向"), FromGbk(UrlList::Lv1AddressCaption()), QStringLiteral("备注")};
}

int Lv1Model::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : 4; }

QVariant Lv1Model::data(const QModelIndex& index, int role) const {
  if (!Valid(index)) return {};
  const ListRow& row = list_.Lv1()[static_cast<std::size_t>(index.row())];
  switch (role) {
    case Qt::DisplayRole:
      if (index.column() == 2) return AddressText(Address(row));
      return index.column() == 0 ? CellText(row.caption) : CellText(row.cells[static_cast<std::size_t>(index.column() - 1)]);
    case Qt::ForegroundRole:
      if (RowIsRed(row.caption, Address(row))) return QBrush(QColor(255, 0, 0));
      return {};
    case Qt::ToolTipRole:
      if (index.column() == 2) return AddressText(Address(row), kToolTipBytes);
      return {};
    default:
      return {};
  }
}

std::string_view Lv1Model::CellBytes(int row, int column, std::string& scratch) const {
  if (row < 0 || static_cast<std::size_t>(row) >= list_.Lv1().size() || column < 0 || column > 3) return {};
  const ListRow& r = list_.Lv1()[static_cast<std::size_t>(row)];
  if (column == 2 && r.spilled.addressSpilled) {
    // A packet row's payload text, read back whole from the spill file.
    scratch = list_.AddressOf(r);
    return scratch;
  }
  return column == 0 ? std::string_view(r.caption) : std::string_view(r.cells[static_cast<std::size_t>(column - 1)]);
}

QVariant Lv1Model::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || section < 0 || section >= captions_.size()) return {};
  if (role == Qt::DisplayRole) return captions_[section];
  if (role == Qt::InitialSortOrderRole) return static_cast<int>(Qt::AscendingOrder);  // a first click sorts A to Z
  if (role == Qt::TextAlignmentRole) return QVariant::fromValue(Qt::AlignLeft | Qt::AlignVCenter);
  return {};
}

const std::string& Lv1Model::Address(const ListRow& row) const {
  if (!row.spilled.addressSpilled) return row.cells[1];
  // Spilled records never change, and each has an offset of its own.
  if (cachedOffset_ != row.spilled.offset) {
    cachedAddress_ = list_.AddressOf(row);
    cachedOffset_ = row.spilled.offset;
  }
  return cachedAddress_;
}

void Lv1Model::SetModeCaptions(const QString& first, const QString& fourth) {
  captions_[0] = first;
  captions_[3] = fourth;
  emit headerDataChanged(Qt::Horizontal, 0, 3);
}

// --- Lv2Model ---

Lv2Model::Lv2Model(const UrlList& list, QObject* parent) : LaggingListModel(parent), list_(list) {}

int Lv2Model::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : 2; }

QVariant Lv2Model::data(const QModelIndex& index, int role) const {
  if (!Valid(index)) return {};
  const ViewRow& row = list_.Lv2()[static_cast<std::size_t>(index.row())];
  if (role == Qt::ToolTipRole && index.column() == 1) return AddressText(row.address, kToolTipBytes);
  if (role != Qt::DisplayRole) return {};
  return index.column() == 0 ? CellText(row.caption) : AddressText(row.address);
}

std::string_view Lv2Model::CellBytes(int row, int column, std::string&) const {
  if (row < 0 || static_cast<std::size_t>(row) >= list_.Lv2().size() || column < 0 || column > 1) return {};
  const ViewRow& r = list_.Lv2()[static_cast<std::size_t>(row)];
  return column == 0 ? std::string_view(r.caption) : std::string_view(r.address);
}

QVariant Lv2Model::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || section < 0 || section > 1) return {};
  if (role == Qt::InitialSortOrderRole) return static_cast<int>(Qt::AscendingOrder);
  if (role == Qt::TextAlignmentRole) return QVariant::fromValue(Qt::AlignLeft | Qt::AlignVCenter);
  if (role != Qt::DisplayRole) return {};
  if (section == 0) return QStringLiteral("数据包方向");
  return FromGbk(list_.ViewAddressCaption());
}

void Lv2Model::AddressCaptionChanged() { emit headerDataChanged(Qt::Horizontal, 1, 1); }

// --- ListModelHub ---

void ListModelHub::RowsInserted(ListId list, std::size_t first, std::size_t count) { Model(list).Appended(first, count); }
void ListModelHub::RowAboutToBeRemoved(ListId list, std::size_t index) { Model(list).AboutToRemove(index); }
void ListModelHub::RowRemoved(ListId list, std::size_t index) { Model(list).Removed(index); }
void ListModelHub::ListReset(ListId list) { Model(list).Reset(); }
void ListModelHub::CellChanged(ListId list, std::size_t row, int) { Model(list).RowChanged(row); }

void ListModelHub::ViewChanged() {
  // A new view builds lv2 afresh: let the views see it before they are shown.
  lv2_.Flush();
  lv2_.AddressCaptionChanged();
  if (viewChanged_) viewChanged_();
}

void ListModelHub::Flush() {
  lv1_.Flush();
  lv2_.Flush();
}

}  // namespace qv
