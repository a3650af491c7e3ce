// Table models over the two address lists of UrlList: LV1 (the URL list, also the packet list) and
// lv2 (the category view). UrlList tells of a change after it made it; the models announce removals at
// once and gather appended rows, which Flush announces as one insertion, so that a batch of rows
// costs the views one update.
#pragma once
#include <QAbstractTableModel>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "urls/url_list.h"

namespace qv {

// The URL list's colouring: pure red for a row whose caption holds "频" or whose address cell ends,
// lower-cased, in ".flv"; a row with fewer than two cells besides its caption is drawn normally.
bool RowIsRed(std::string_view caption, std::string_view address);
inline bool RowIsRed(const ListRow& row) { return RowIsRed(row.caption, row.cells[1]); }

class LaggingListModel : public QAbstractTableModel {
 public:
  using QAbstractTableModel::QAbstractTableModel;
  int rowCount(const QModelIndex& parent = QModelIndex()) const override;

  // A row that UrlList is about to remove; the views are told before it goes.
  void AboutToRemove(std::size_t index);
  // Changes that UrlList has already made.
  void Appended(std::size_t first, std::size_t count);
  void Removed(std::size_t index);
  void Reset();
  void RowChanged(std::size_t row);
  // Announces the rows appended since the last flush.
  void Flush();

  // The bytes of a cell as the list holds them (GBK, or UTF-8 for an address that is UTF-8 text),
  // for sorting and the quick filter: a view into the row itself, or into `scratch` where the bytes
  // have to be fetched. Empty for a row or column out of range. Valid until the list changes or
  // `scratch` is used again.
  virtual std::string_view CellBytes(int row, int column, std::string& scratch) const = 0;
  // The column the quick filter searches: the address (in packet-list mode, the payload text).
  virtual int FilterColumn() const = 0;
  // The text the quick filter searches in a row: every filter reads a row through here.
  std::string_view FilterText(int row, std::string& scratch) const { return CellBytes(row, FilterColumn(), scratch); }

 protected:
  virtual std::size_t CoreSize() const = 0;
  bool Valid(const QModelIndex& index) const;

 private:
  int announced_ = 0;  // rows the views know of; the first rows of the core list
  int pending_ = 0;    // rows appended after them, not yet announced
  bool removing_ = false;  // between AboutToRemove and Removed of an announced row
};

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
