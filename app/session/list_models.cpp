#include "app/session/list_models.h"

#include <QBrush>
#include <QColor>

#include <algorithm>

#include "common/bytes.h"
#include "common/codepage.h"
#include "common/list_text.h"
#include "common/texts.h"
#include "common/ui/gbk_text.h"
#include "packets/server_name.h"

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

// What a row's address cannot show by itself (an HTTPS server name and why there is no more).
QString RowNote(const std::string& address, const LVDataPtr& data) {
  if (!IsServerNameRow(address, data ? std::string_view(data->Packet) : std::string_view())) return {};
  return QString::fromUtf8(kServerNameOnly.data(), static_cast<qsizetype>(kServerNameOnly.size()));
}

QString AddressTip(const std::string& address, const LVDataPtr& data) {
  const QString note = RowNote(address, data);
  const QString text = AddressText(address, kToolTipBytes);
  return note.isEmpty() ? text : text + QLatin1Char('\n') + note;
}

}  // namespace

bool RowIsRed(std::string_view caption, std::string_view address) {
  // Every row carries its three cells; the rule's short-row case cannot arise with this layout.
  if (GbkFind(caption, texts::kFin) != npos) return true;
  if (address.size() < 4) return false;
  return LowerAscii(address.substr(address.size() - 4)) == ".flv";
}

// --- LaggingListModel ---

int LaggingListModel::rowCount(const QModelIndex& parent) const {
  if (parent.isValid()) return 0;
  return Ordered() ? static_cast<int>(order_.size()) : announced_;
}

bool LaggingListModel::Valid(const QModelIndex& index) const {
  return index.isValid() && index.row() < rowCount() && Source(index) < CoreSize();
}

std::optional<std::size_t> LaggingListModel::SourceRow(int viewRow) const {
  if (viewRow < 0 || viewRow >= rowCount()) return std::nullopt;
  return Ordered() ? order_[static_cast<std::size_t>(viewRow)] : static_cast<std::size_t>(viewRow);
}

int LaggingListModel::ShownRow(std::size_t sourceRow) const {
  if (sourceRow >= static_cast<std::size_t>(announced_)) return -1;
  if (!Ordered()) return static_cast<int>(sourceRow);
  if (sortColumn_ < 0) {
    // Filtered only: the shown rows stay in list order.
    const auto it = std::lower_bound(order_.begin(), order_.end(), sourceRow);
    return it != order_.end() && *it == sourceRow ? static_cast<int>(it - order_.begin()) : -1;
  }
  const auto it = std::find(order_.begin(), order_.end(), static_cast<std::uint32_t>(sourceRow));
  return it != order_.end() ? static_cast<int>(it - order_.begin()) : -1;
}

TextNeedle LaggingListModel::NeedleFor(const QString& text) {
  const QByteArray utf8 = text.toUtf8();
  const std::string_view u(utf8.constData(), static_cast<std::size_t>(utf8.size()));
  std::optional<std::string> gbk = Utf8ToGbk(u, static_cast<std::size_t>(utf8.size()) + 1);
  // GBK writes "?" for a character it lacks: such a text is in no GBK row.
  if (gbk && GbkToUtf8(*gbk) != u) gbk.reset();
  return TextNeedle(std::move(gbk), std::string(u));
}

std::optional<TextNeedle> LaggingListModel::EscapedNeedleFor(const QString& text) {
  const QByteArray utf8 = text.toUtf8();
  static constexpr char kHex[] = "0123456789abcdef";
  std::string escaped;
  bool beyondAscii = false;
  for (const char c : utf8) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x80) {
      escaped += c;
      continue;
    }
    beyondAscii = true;
    escaped += '%';
    escaped += kHex[b >> 4];
    escaped += kHex[b & 0x0F];
  }
  if (!beyondAscii) return std::nullopt;
  // ASCII alone: the same bytes in GBK and UTF-8, matched ignoring case ("%E7" and "%e7").
  return TextNeedle(escaped, escaped);
}

bool LaggingListModel::Accepts(std::size_t row) const {
  if (needle_.Empty()) return true;
  const std::string_view text = FilterText(static_cast<int>(row), scratchA_);
  return needle_.In(text) || (escapedNeedle_ && escapedNeedle_->In(text));
}

bool LaggingListModel::KeyBefore(std::uint32_t a, std::uint32_t b) const {
  const int c = CompareListText(CellBytes(static_cast<int>(a), sortColumn_, scratchA_),
                                CellBytes(static_cast<int>(b), sortColumn_, scratchB_));
  return sortOrder_ == Qt::AscendingOrder ? c < 0 : c > 0;
}

bool LaggingListModel::Before(std::uint32_t a, std::uint32_t b) const {
  if (a == b) return false;
  if (sortColumn_ >= 0) {
    const int c = CompareListText(CellBytes(static_cast<int>(a), sortColumn_, scratchA_),
                                  CellBytes(static_cast<int>(b), sortColumn_, scratchB_));
    if (c != 0) return sortOrder_ == Qt::AscendingOrder ? c < 0 : c > 0;
  }
  return a < b;
}

std::size_t LaggingListModel::Place(std::uint32_t row) const {
  const auto it = sortColumn_ < 0 ? std::lower_bound(order_.begin(), order_.end(), row)
                                  : std::lower_bound(order_.begin(), order_.end(), row,
                                                     [this](std::uint32_t a, std::uint32_t b) { return Before(a, b); });
  return static_cast<std::size_t>(it - order_.begin());
}

void LaggingListModel::Rebuild() {
  order_.clear();
  if (!Ordered()) {
    order_.shrink_to_fit();
    return;
  }
  for (std::size_t i = 0; i < static_cast<std::size_t>(announced_); ++i)
    if (Accepts(i)) order_.push_back(static_cast<std::uint32_t>(i));
  // The rows start in list order, so a stable sort by the cells alone keeps equal cells in list order.
  if (sortColumn_ >= 0)
    std::stable_sort(order_.begin(), order_.end(), [this](std::uint32_t a, std::uint32_t b) { return KeyBefore(a, b); });
  order_.shrink_to_fit();
}

void LaggingListModel::Relayout(const std::function<void()>& change, QAbstractItemModel::LayoutChangeHint hint) {
  emit layoutAboutToBeChanged({}, hint);
  const QModelIndexList from = persistentIndexList();
  std::vector<std::optional<std::size_t>> rows;
  rows.reserve(static_cast<std::size_t>(from.size()));
  for (const QModelIndex& index : from) rows.push_back(SourceRow(index.row()));
  change();
  QModelIndexList to;
  to.reserve(from.size());
  if (!from.isEmpty()) {
    // Shown row of every list row, built once for all the persistent indexes.
    std::vector<int> shown;
    if (Ordered()) {
      shown.assign(static_cast<std::size_t>(announced_), -1);
      for (std::size_t v = 0; v < order_.size(); ++v) shown[order_[v]] = static_cast<int>(v);
    }
    for (qsizetype i = 0; i < from.size(); ++i) {
      const auto& row = rows[static_cast<std::size_t>(i)];
      int v = -1;
      if (row && *row < static_cast<std::size_t>(announced_)) v = Ordered() ? shown[*row] : static_cast<int>(*row);
      to << (v < 0 ? QModelIndex() : index(v, from[i].column()));
    }
  }
  changePersistentIndexList(from, to);
  emit layoutChanged({}, hint);
}

void LaggingListModel::sort(int column, Qt::SortOrder order) {
  if (column >= columnCount()) column = -1;
  if (column < 0 && sortColumn_ < 0) return;
  Relayout(
      [&] {
        sortColumn_ = column < 0 ? -1 : column;
        sortOrder_ = order;
        Rebuild();
      },
      QAbstractItemModel::VerticalSortHint);
}

void LaggingListModel::SetQuickFilter(const QString& text) {
  if (text == filterText_) return;
  filterText_ = text;
  // One pass over the list and one layout change for the views: filtering row by row would cost a
  // removal per hidden row.
  Relayout(
      [&] {
        needle_ = NeedleFor(text);
        escapedNeedle_ = EscapedNeedleFor(text);
        Rebuild();
      },
      QAbstractItemModel::NoLayoutChangeHint);
  emit CountsChanged();
}

void LaggingListModel::Appended(std::size_t first, std::size_t count) {
  if (count == 0) return;
  if (static_cast<int>(first) != announced_ + pending_) {
    // Not an append behind the known rows: announce what is pending, then this insertion itself.
    Flush();
    if (Ordered()) {
      beginResetModel();
      announced_ += static_cast<int>(count);
      Rebuild();
      endResetModel();
    } else {
      beginInsertRows(QModelIndex(), static_cast<int>(first), static_cast<int>(first + count - 1));
      announced_ += static_cast<int>(count);
      endInsertRows();
    }
    emit CountsChanged();
    return;
  }
  pending_ += static_cast<int>(count);
}

void LaggingListModel::AboutToRemove(std::size_t index) {
  const int i = static_cast<int>(index);
  if (i >= announced_) return;
  removing_ = true;
  removingView_ = ShownRow(index);
  // The row is still in the list: what the views read while they let go of it is still that row.
  if (removingView_ >= 0) beginRemoveRows(QModelIndex(), removingView_, removingView_);
}

void LaggingListModel::Removed(std::size_t index) {
  if (!removing_) {
    // A row the views have not been told of yet.
    if (static_cast<int>(index) >= announced_ && pending_ > 0) --pending_;
    return;
  }
  removing_ = false;
  --announced_;
  if (Ordered()) {
    if (removingView_ >= 0) order_.erase(order_.begin() + removingView_);
    // The list rows after the one gone moved up by one.
    for (std::uint32_t& row : order_)
      if (row > index) --row;
  }
  if (removingView_ >= 0) endRemoveRows();
  removingView_ = -1;
  // Counted once the row is gone from the list and from the views.
  emit CountsChanged();
}

void LaggingListModel::Reset() {
  beginResetModel();
  announced_ = static_cast<int>(CoreSize());
  pending_ = 0;
  Rebuild();
  endResetModel();
  emit CountsChanged();
}

void LaggingListModel::RowChanged(std::size_t row) {
  if (row >= static_cast<std::size_t>(announced_)) return;
  if (!Ordered()) {
    const int r = static_cast<int>(row);
    emit dataChanged(index(r, 0), index(r, columnCount() - 1));
    return;
  }
  // The change may move the row in the sort, or in or out of the filter.
  const int v = ShownRow(row);
  const bool accepted = Accepts(row);
  const auto source = static_cast<std::uint32_t>(row);
  if (v < 0 && !accepted) return;
  if (v >= 0 && !accepted) {
    beginRemoveRows(QModelIndex(), v, v);
    order_.erase(order_.begin() + v);
    endRemoveRows();
  } else if (v < 0) {
    const int at = static_cast<int>(Place(source));
    beginInsertRows(QModelIndex(), at, at);
    order_.insert(order_.begin() + at, source);
    endInsertRows();
  } else {
    const auto at = static_cast<std::size_t>(v);
    const bool inPlace = sortColumn_ < 0 || ((at == 0 || Before(order_[at - 1], source)) &&
                                              (at + 1 == order_.size() || Before(source, order_[at + 1])));
    if (inPlace) {
      emit dataChanged(index(v, 0), index(v, columnCount() - 1));
    } else {
      Relayout(
          [&] {
            order_.erase(order_.begin() + v);
            order_.insert(order_.begin() + static_cast<std::ptrdiff_t>(Place(source)), source);
          },
          QAbstractItemModel::VerticalSortHint);
    }
  }
  emit CountsChanged();
}

void LaggingListModel::Flush() {
  if (pending_ == 0) return;
  const int first = announced_;
  if (!Ordered()) {
    beginInsertRows(QModelIndex(), announced_, announced_ + pending_ - 1);
    announced_ += pending_;
    pending_ = 0;
    endInsertRows();
    emit CountsChanged();
    return;
  }
  announced_ += pending_;
  pending_ = 0;
  std::vector<std::uint32_t> fresh;
  for (int i = first; i < announced_; ++i)
    if (Accepts(static_cast<std::size_t>(i))) fresh.push_back(static_cast<std::uint32_t>(i));
  if (!fresh.empty()) {
    const int shown = static_cast<int>(order_.size());
    if (sortColumn_ >= 0)
      std::stable_sort(fresh.begin(), fresh.end(), [this](std::uint32_t a, std::uint32_t b) { return KeyBefore(a, b); });
    if (sortColumn_ < 0 || order_.empty() || Before(order_.back(), fresh.front())) {
      // After every row shown (always so while only filtered): one insertion at the end.
      beginInsertRows(QModelIndex(), shown, shown + static_cast<int>(fresh.size()) - 1);
      order_.insert(order_.end(), fresh.begin(), fresh.end());
      endInsertRows();
    } else if (fresh.size() <= 16) {
      for (std::uint32_t row : fresh) {
        const int at = static_cast<int>(Place(row));
        beginInsertRows(QModelIndex(), at, at);
        order_.insert(order_.begin() + at, row);
        endInsertRows();
      }
    } else {
      // Many rows among the sorted ones: shown at the end first, then merged into place in one
      // layout change.
      beginInsertRows(QModelIndex(), shown, shown + static_cast<int>(fresh.size()) - 1);
      order_.insert(order_.end(), fresh.begin(), fresh.end());
      endInsertRows();
      Relayout(
          [&] {
            std::inplace_merge(order_.begin(), order_.begin() + shown, order_.end(),
                               [this](std::uint32_t a, std::uint32_t b) { return KeyBefore(a, b); });
          },
          QAbstractItemModel::VerticalSortHint);
    }
  }
  emit CountsChanged();
}

// --- Lv1Model ---

Lv1Model::Lv1Model(const UrlList& list, QObject* parent) : LaggingListModel(parent), list_(list) {
  captions_ = {QStringLiteral("文件类型"), QStringLiteral("数据包方向"), FromGbk(UrlList::Lv1AddressCaption()), QStringLiteral("备注")};
}

int Lv1Model::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : 4; }

QVariant Lv1Model::data(const QModelIndex& index, int role) const {
  if (!Valid(index)) return {};
  const ListRow& row = list_.Lv1()[Source(index)];
  switch (role) {
    case Qt::DisplayRole:
      if (index.column() == 2) return AddressText(Address(row));
      return index.column() == 0 ? CellText(row.caption) : CellText(row.cells[static_cast<std::size_t>(index.column() - 1)]);
    case Qt::ForegroundRole:
      if (RowIsRed(row.caption, Address(row))) return QBrush(QColor(255, 0, 0));
      return {};
    case Qt::ToolTipRole:
      if (index.column() == 2) return AddressTip(Address(row), row.data);
      return {};
    case kRowNoteRole:
      if (index.column() == 2) return RowNote(Address(row), row.data);
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
  const ViewRow& row = list_.Lv2()[Source(index)];
  if (role == Qt::ToolTipRole && index.column() == 1) return AddressTip(row.address, row.data);
  if (role == kRowNoteRole && index.column() == 1) return RowNote(row.address, row.data);
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

std::optional<std::size_t> SourceRowOf(const QAbstractItemModel* model, int viewRow) {
  if (model == nullptr) return std::nullopt;
  if (const auto* rows = qobject_cast<const LaggingListModel*>(model)) return rows->SourceRow(viewRow);
  if (viewRow < 0 || viewRow >= model->rowCount()) return std::nullopt;
  return static_cast<std::size_t>(viewRow);
}

void ListModelHub::Flush() {
  lv1_.Flush();
  lv2_.Flush();
}

}  // namespace qv
