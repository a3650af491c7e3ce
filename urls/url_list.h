// The address lists as a core model, owned by one thread (the user-interface thread in the window):
// LV1, the URL list (also the packet list in packet-list mode), and lv2, the category view. Rows
// of both lists share LVDATA records.
#pragma once
#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/chunked_rows.h"
#include "common/lvdata.h"
#include "common/spill_store.h"
#include "urls/request_parser.h"

namespace qv {

enum class ListId : unsigned char { LV1, Lv2 };

// A row of LV1: caption (category or protocol) and three cells (direction, address or payload,
// remark or length). A packet row whose record went to the spill file has no `data`, and while
// `spilled.addressSpilled` holds its address cell is empty: UrlList::AddressOf and RecordOf read
// them back.
struct ListRow {
  std::string caption;
  std::array<std::string, 3> cells;
  LVDataPtr data;
  SpilledRecord spilled;
};

// A row of lv2: the direction label as caption and the address.
struct ViewRow {
  std::string caption;
  std::string address;
  LVDataPtr data;
};

// Told of every change, so that a view of the lists can follow.
class UrlListObserver {
 public:
  virtual ~UrlListObserver() = default;
  virtual void RowsInserted(ListId list, std::size_t first, std::size_t count) = 0;
  // Told while the row is still in the list, then again once it has gone.
  virtual void RowAboutToBeRemoved(ListId /*list*/, std::size_t /*index*/) {}
  virtual void RowRemoved(ListId list, std::size_t index) = 0;
  virtual void ListReset(ListId list) = 0;
  // column counts the list view's columns: 0 is the caption (LV1: 1 direction, 2 address, 3 remark;
  // lv2: 1 address).
  virtual void CellChanged(ListId list, std::size_t row, int column) = 0;
  virtual void ViewChanged() = 0;  // active entry, shown page or lv2's address caption changed
};

// The selection copy: the selected row's address and its record, detached from the row.
struct SelectionCopy {
  std::string address;
  LVDataPtr data;
};

// The seven entries of the "分类察看" submenu; index 1 is the separator.
inline constexpr int kViewEntryCount = 7;
inline constexpr int kViewAllEntry = 0;
std::string_view ViewEntryCaption(int entry);  // GBK; empty for the separator

class UrlList {
 public:
  UrlList();
  void SetObserver(UrlListObserver* observer) { observer_ = observer; }

  // Insertions from request parsing, with their duplicate and view rules.
  void Insert(UrlInsertion&& insertion);
  void InsertRequestLine(std::string_view category, Direction dir, std::string address, LVDataPtr record,
                         bool duplicates);
  void InsertScan(std::string_view category, Direction dir, std::string address, LVDataPtr record,
                  bool outbound, bool duplicates);
  // A packet row of packet-list mode, appended to LV1.
  void AppendPacketRow(std::string caption, Direction dir, std::string payload, std::string length,
                       LVDataPtr record);
  // The same, its record and address cell in the spill file; `addressKey` is AddressKey(payload).
  void AppendSpilledPacketRow(std::string caption, Direction dir, std::string length, const SpilledRecord& record,
                              std::size_t addressKey);

  // The store that spilled rows are read from; it outlives the rows.
  void SetSpillStore(std::shared_ptr<const SpillStore> store) { spill_ = std::move(store); }
  // A row's whole address cell and record, read back from the spill file for a spilled row (an
  // unreadable record gives empty texts).
  std::string AddressOf(const ListRow& row) const;
  LVDataPtr RecordOf(const ListRow& row) const;
  std::string Lv1Address(std::size_t row) const { return row < lv1_.size() ? AddressOf(lv1_[row]) : std::string(); }
  // The key of an address cell in the counts.
  static std::size_t AddressKey(std::string_view address);

  // Views.
  void ViewByCategory(int entry);      // check the entry, then flck with its caption
  void flck(std::string_view name);    // show the view named by an entry caption
  int ActiveEntry() const { return activeEntry_; }
  bool ShowingAll() const { return activeEntry_ == kViewAllEntry; }
  const std::string& ViewFilter() const { return viewFilter_; }
  const std::string& ViewAddressCaption() const { return viewAddressCaption_; }
  // The URL list's address column caption, which never changes.
  static std::string Lv1AddressCaption();

  // Selection copy of the visible list, given the selected rows of that list in list order.
  std::optional<SelectionCopy> LVSLT(std::optional<std::size_t> firstSelectedLv1,
                                     std::optional<std::size_t> selectedLv2) const;

  // Commands of the user-interface thread.
  void ClearLv1();                                   // starting a session
  void ClearAll();                                   // "清空列表"
  void Remove(ListId list, std::size_t row);
  void SetRemark(std::size_t lv1Row, std::string text);
  void SetAddress(ListId list, std::size_t row, std::string text);

  // In blocks: a list of millions of packet rows grows without ever moving them all at once.
  const ChunkedRows<ListRow>& Lv1() const { return lv1_; }
  const std::vector<ViewRow>& Lv2() const { return lv2_; }

 private:
  void AppendLv1(ListRow row);
  void AppendLv1(ListRow row, std::size_t key);
  bool CellEquals(const ListRow& row, std::string_view address) const;
  void EraseLv1(std::size_t index);
  void EraseLv1(std::size_t index, std::size_t key);  // `key`: AddressKey of the row's address cell
  std::optional<std::size_t> FindLv1(std::string_view address) const;
  std::optional<std::size_t> FindLv1(std::string_view address, std::size_t key) const;
  std::optional<std::size_t> FindLv2(std::string_view address) const;
  void AppendLv2(ViewRow row);
  bool InView(std::string_view category) const;
  static bool StartsWithHttp(std::string_view address);

  ChunkedRows<ListRow> lv1_;
  std::vector<ViewRow> lv2_;
  // Number of rows per hash of the address cell (LV1: cell 2, whatever the row holds there; lv2: the
  // address), so that an absent address costs no walk of the list. Keyed by hash, not by text, so
  // that packet rows do not keep a second copy of their payload; a collision only costs a walk.
  // Split by key into shards, each a map of its own: a list of millions of distinct cells (packet rows)
  // grows its maps a shard at a time, never all of them in one long pause.
  class CountMap {
   public:
    std::size_t& operator[](std::size_t key) { return Shard(key)[key]; }
    std::unordered_map<std::size_t, std::size_t>& Shard(std::size_t key) {
      return shards_[(key * 0x9E3779B97F4A7C15ull) >> (64 - kShardBits)];
    }
    const std::unordered_map<std::size_t, std::size_t>& Shard(std::size_t key) const {
      return shards_[(key * 0x9E3779B97F4A7C15ull) >> (64 - kShardBits)];
    }
    void clear() {
      for (auto& shard : shards_) shard.clear();
    }

   private:
    static constexpr int kShardBits = 6;
    std::array<std::unordered_map<std::size_t, std::size_t>, std::size_t{1} << kShardBits> shards_;
  };
  static void CountAdd(CountMap& map, std::string_view address) { ++map[AddressKey(address)]; }
  static void CountSub(CountMap& map, std::string_view address) { CountSubKey(map, AddressKey(address)); }
  static void CountSubKey(CountMap& map, std::size_t key);
  static bool CountHas(const CountMap& map, std::string_view address);
  void EraseLv2(std::size_t index);
  CountMap lv1Count_;
  CountMap lv2Count_;
  int activeEntry_ = kViewAllEntry;
  std::string viewFilter_;
  std::string viewAddressCaption_;
  UrlListObserver* observer_ = nullptr;
  std::shared_ptr<const SpillStore> spill_;
};

}  // namespace qv
