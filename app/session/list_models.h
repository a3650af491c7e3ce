// Table models over the two address lists of UrlList: LV1 (the URL list, also the packet list) and
// lv2 (the category view). UrlList tells of a change after it made it; the models announce removals at
// once and gather appended rows, which Flush announces as one insertion, so that a batch of rows
// costs the views one update. Sorting and the quick filter live in the models themselves: no proxy
// keeps a second table of every row.
#pragma once
#include <QAbstractTableModel>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/list_text.h"
#include "urls/url_list.h"

namespace qv {

// The address cell's note for the person (an HTTPS row that can only show its server name), empty for
// an ordinary row; the cell's tooltip shows it whether the address fits or not.
inline constexpr int kRowNoteRole = Qt::UserRole + 40;

// The URL list's colouring: pure red for a row whose caption holds "频" or whose address cell ends,
// lower-cased, in ".flv"; a row with fewer than two cells besides its caption is drawn normally.
bool RowIsRed(std::string_view caption, std::string_view address);
inline bool RowIsRed(const ListRow& row) { return RowIsRed(row.caption, row.cells[1]); }

// A list model that shows the rows of its list as the person asked for them: in the list's own order,
// sorted by a column, narrowed by the quick filter. While neither is on the shown rows are the list's
// rows one for one; otherwise `order_` holds the list rows shown, top to bottom. Commands reach the
// list's rows through SourceRow.
class LaggingListModel : public QAbstractTableModel {
  Q_OBJECT
 public:
  using QAbstractTableModel::QAbstractTableModel;
  // The rows shown.
  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  // The rows of the list the views know of, shown or not.
  int ListedRows() const { return announced_; }

  // The list row behind a shown row; nothing for a row out of range.
  std::optional<std::size_t> SourceRow(int viewRow) const;
  // The shown row of a list row, -1 when it is not shown.
  int ShownRow(std::size_t sourceRow) const;

  // Sorts by `column` (a column out of range: the list's own order). Rows with equal cells keep their
  // list order, in both directions.
  void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;
  int SortColumn() const { return sortColumn_; }
  Qt::SortOrder SortOrder() const { return sortOrder_; }
  // True while the rows stand in the list's own order (no column sort).
  bool InListOrder() const { return sortColumn_ < 0; }

  // Shows only the rows whose filter text (the address; a packet row's payload text) holds `text`,
  // or its percent-escaped UTF-8 form, ignoring the case of ASCII letters. An empty text shows every row.
  void SetQuickFilter(const QString& text);
  const QString& QuickFilter() const { return filterText_; }
  static TextNeedle NeedleFor(const QString& text);
  // The text as an address writes it percent-escaped (every byte of its UTF-8 beyond ASCII as "%XX"),
  // so that "稻香" also finds ".../%E7%A8%BB%E9%A6%99.mp3"; nothing for a text of ASCII alone.
  static std::optional<TextNeedle> EscapedNeedleFor(const QString& text);

  // A row that UrlList is about to remove; the views are told before it goes.
  void AboutToRemove(std::size_t index);
  // Changes that UrlList has already made.
  void Appended(std::size_t first, std::size_t count);
  void Removed(std::size_t index);
  void Reset();
  void RowChanged(std::size_t row);
  // Announces the rows appended since the last flush.
  void Flush();

  // The bytes of a cell of list row `row` as the list holds them (GBK, or UTF-8 for an address that
  // is UTF-8 text), for sorting and the quick filter: a view into the row itself, or into `scratch`
  // where the bytes have to be fetched. Empty for a row or column out of range. Valid until the list
  // changes or `scratch` is used again.
  virtual std::string_view CellBytes(int row, int column, std::string& scratch) const = 0;
  // The column the quick filter searches: the address (in packet-list mode, the payload text).
  virtual int FilterColumn() const = 0;
  // The text the quick filter searches in a row: every filter reads a row through here.
  std::string_view FilterText(int row, std::string& scratch) const { return CellBytes(row, FilterColumn(), scratch); }

 signals:
  // The rows listed or shown changed in number (the status counts follow it).
  void CountsChanged();

 protected:
  virtual std::size_t CoreSize() const = 0;
  bool Valid(const QModelIndex& index) const;
  // The list row of a valid index.
  std::size_t Source(const QModelIndex& index) const {
    return Ordered() ? order_[static_cast<std::size_t>(index.row())] : static_cast<std::size_t>(index.row());
  }

 private:
  bool Ordered() const { return sortColumn_ >= 0 || !needle_.Empty(); }
  bool Accepts(std::size_t row) const;
  // The shown order: by the sorted column's cells, rows with equal cells in list order.
  bool Before(std::uint32_t a, std::uint32_t b) const;
  bool KeyBefore(std::uint32_t a, std::uint32_t b) const;
  // Where list row `row` goes among the shown rows.
  std::size_t Place(std::uint32_t row) const;
  // order_ afresh from the first announced_ rows of the list.
  void Rebuild();
  // Runs `change` (which may reorder, hide and show rows) as one layout change of the views: the
  // selection and the current row stay on the rows they were on, where those are still shown.
  void Relayout(const std::function<void()>& change, QAbstractItemModel::LayoutChangeHint hint);

  int announced_ = 0;  // rows the views know of; the first rows of the core list
  int pending_ = 0;    // rows appended after them, not yet announced
  bool removing_ = false;  // between AboutToRemove and Removed of an announced row
  int removingView_ = -1;  // the shown row going, -1 when it was not shown
  std::vector<std::uint32_t> order_;  // the list rows shown, while sorted or filtered
  int sortColumn_ = -1;
  Qt::SortOrder sortOrder_ = Qt::AscendingOrder;
  QString filterText_;
  TextNeedle needle_;
  std::optional<TextNeedle> escapedNeedle_;
  mutable std::string scratchA_;
  mutable std::string scratchB_;
};

// The list row behind a shown row of a view over `model`.
std::optional<std::size_t> SourceRowOf(const QAbstractItemModel* model, int viewRow);

class Lv1Model : public LaggingListModel {
 public:
  explicit Lv1Model(const UrlList& list, QObject* parent = nullptr);
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
  // The captions of the first and fourth columns change with the work mode.
  void SetModeCaptions(const QString& first, const QString& fourth);
  std::string_view CellBytes(int row, int column, std::string& scratch) const override;
  int FilterColumn() const override { return 2; }

 protected:
  std::size_t CoreSize() const override { return list_.Lv1().size(); }

 private:
  // The address cell of `row`; a spilled row's is read once for the several roles a paint asks for.
  const std::string& Address(const ListRow& row) const;

  const UrlList& list_;
  QStringList captions_;
  mutable std::uint64_t cachedOffset_ = ~std::uint64_t{0};
  mutable std::string cachedAddress_;
};

class Lv2Model : public LaggingListModel {
 public:
  explicit Lv2Model(const UrlList& list, QObject* parent = nullptr);
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
  void AddressCaptionChanged();
  std::string_view CellBytes(int row, int column, std::string& scratch) const override;
  int FilterColumn() const override { return 1; }

 protected:
  std::size_t CoreSize() const override { return list_.Lv2().size(); }

 private:
  const UrlList& list_;
};

// The observer of UrlList: passes each change to the model of its list.
class ListModelHub : public UrlListObserver {
 public:
  ListModelHub(Lv1Model& lv1, Lv2Model& lv2, std::function<void()> viewChanged)
      : lv1_(lv1), lv2_(lv2), viewChanged_(std::move(viewChanged)) {}
  void RowsInserted(ListId list, std::size_t first, std::size_t count) override;
  void RowAboutToBeRemoved(ListId list, std::size_t index) override;
  void RowRemoved(ListId list, std::size_t index) override;
  void ListReset(ListId list) override;
  void CellChanged(ListId list, std::size_t row, int column) override;
  void ViewChanged() override;
  void Flush();

 private:
  LaggingListModel& Model(ListId list) { return list == ListId::LV1 ? static_cast<LaggingListModel&>(lv1_) : lv2_; }
  Lv1Model& lv1_;
  Lv2Model& lv2_;
  std::function<void()> viewChanged_;
};

}  // namespace qv
