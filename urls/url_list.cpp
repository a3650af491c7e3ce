#include "urls/url_list.h"

#include <functional>
#include <utility>

#include "common/bytes.h"
#include "common/texts.h"

namespace qv {
namespace {

// "地 址" and "地    址  [": the address column captions of the category view.
constexpr std::string_view kAddressShort = "\xB5\xD8 \xD6\xB7";
constexpr std::string_view kAddressOpen = "\xB5\xD8    \xD6\xB7  [";

std::string Spaces(std::size_t n, std::string_view tail) {
  std::string s(n, ' ');
  s.append(tail);
  return s;
}

}  // namespace

std::string_view ViewEntryCaption(int entry) {
  switch (entry) {
    case 0: return texts::kViewAll;
    case 2: return texts::kCatAudioVideo;
    case 3: return texts::kCatPicture;
    case 4: return texts::kCatText;
    case 5: return texts::kCatCustom;
    case 6: return texts::kCatUndefined;
    default: return {};
  }
}

std::string UrlList::Lv1AddressCaption() {
  return Spaces(61, kAddressOpen) + "\xCB\xF9\xD3\xD0\xC0\xE0\xD0\xCD\xCE\xC4\xBC\xFE]";  // 所有类型文件]
}

UrlList::UrlList() : viewFilter_(texts::kViewAll), viewAddressCaption_(Spaces(61, kAddressShort)) {}

// ---- address counts ----

// The key of a cell in the counts. A long cell (in practice the payload text of a packet row) is keyed
// by its length, its head and its tail only, so that a packet row costs the same whatever its size; two
// long cells that differ only in the middle share a key, which costs a walk of the list, never a wrong
// answer. Addresses are far shorter and are keyed whole.
std::size_t UrlList::AddressKey(std::string_view address) {
  constexpr std::size_t kWhole = 512, kPart = 128;
  const std::hash<std::string_view> hash;
  if (address.size() <= kWhole) return hash(address);
  const std::size_t head = hash(address.substr(0, kPart));
  const std::size_t tail = hash(address.substr(address.size() - kPart));
  return head ^ (tail * 0x9E3779B97F4A7C15ull) ^ (address.size() * 0xC2B2AE3D27D4EB4Full);
}

void UrlList::CountSubKey(CountMap& map, std::size_t key) {
  auto& shard = map.Shard(key);
  const auto it = shard.find(key);
  if (it == shard.end()) return;
  if (--it->second == 0) shard.erase(it);
}

bool UrlList::CountHas(const CountMap& map, std::string_view address) {
  const std::size_t key = AddressKey(address);
  return map.Shard(key).count(key) != 0;
}

// ---- spilled rows ----

std::string UrlList::AddressOf(const ListRow& row) const {
  if (!row.spilled.addressSpilled) return row.cells[1];
  std::string text;
  if (spill_) spill_->Read(row.spilled.offset + row.spilled.remoteSize, row.spilled.packetSize, text);
  return text;
}

LVDataPtr UrlList::RecordOf(const ListRow& row) const {
  if (!row.spilled.present) return row.data;
  std::string both;
  LVDATA record;
  if (spill_ && spill_->Read(row.spilled.offset, std::size_t{row.spilled.remoteSize} + row.spilled.packetSize, both)) {
    record.Remote = both.substr(0, row.spilled.remoteSize);
    record.Packet = both.substr(row.spilled.remoteSize);
  }
  return std::make_shared<const LVDATA>(std::move(record));
}

bool UrlList::CellEquals(const ListRow& row, std::string_view address) const {
  if (!row.spilled.addressSpilled) return row.cells[1] == address;
  return row.spilled.packetSize == address.size() && AddressOf(row) == address;
}

// ---- row primitives ----

void UrlList::AppendLv1(ListRow row) {
  const std::size_t key = AddressKey(row.cells[1]);
  AppendLv1(std::move(row), key);
}

void UrlList::AppendLv1(ListRow row, std::size_t key) {
  ++lv1Count_[key];
  lv1_.push_back(std::move(row));
  if (observer_) observer_->RowsInserted(ListId::LV1, lv1_.size() - 1, 1);
}

void UrlList::EraseLv1(std::size_t index) {
  const ListRow& row = lv1_[index];
  EraseLv1(index, row.spilled.addressSpilled ? AddressKey(AddressOf(row)) : AddressKey(row.cells[1]));
}

void UrlList::EraseLv1(std::size_t index, std::size_t key) {
  if (observer_) observer_->RowAboutToBeRemoved(ListId::LV1, index);
  CountSubKey(lv1Count_, key);
  lv1_.erase(index);
  if (observer_) observer_->RowRemoved(ListId::LV1, index);
}

void UrlList::AppendLv2(ViewRow row) {
  CountAdd(lv2Count_, row.address);
  lv2_.push_back(std::move(row));
  if (observer_) observer_->RowsInserted(ListId::Lv2, lv2_.size() - 1, 1);
}

void UrlList::EraseLv2(std::size_t index) {
  if (observer_) observer_->RowAboutToBeRemoved(ListId::Lv2, index);
  CountSub(lv2Count_, lv2_[index].address);
  lv2_.erase(lv2_.begin() + static_cast<std::ptrdiff_t>(index));
  if (observer_) observer_->RowRemoved(ListId::Lv2, index);
}

// The first row from the top whose address equals `address`, byte for byte. The count map only
// spares the walk when no row can match.
std::optional<std::size_t> UrlList::FindLv1(std::string_view address) const {
  return FindLv1(address, AddressKey(address));
}

std::optional<std::size_t> UrlList::FindLv1(std::string_view address, std::size_t key) const {
  if (lv1Count_.Shard(key).count(key) == 0) return std::nullopt;
  for (std::size_t i = 0; i < lv1_.size(); ++i)
    if (CellEquals(lv1_[i], address)) return i;
  return std::nullopt;
}

std::optional<std::size_t> UrlList::FindLv2(std::string_view address) const {
  if (!CountHas(lv2Count_, address)) return std::nullopt;
  for (std::size_t i = 0; i < lv2_.size(); ++i)
    if (lv2_[i].address == address) return i;
  return std::nullopt;
}

bool UrlList::InView(std::string_view category) const {
  return !ShowingAll() && category.find(viewFilter_) != npos;
}

// ---- insertions ----

void UrlList::Insert(UrlInsertion&& ins) {
  if (ins.kind == InsertionKind::RequestLine)
    InsertRequestLine(ins.category, ins.direction, std::move(ins.address), std::move(ins.record), ins.duplicates);
  else
    InsertScan(ins.category, ins.direction, std::move(ins.address), std::move(ins.record), ins.outbound,
               ins.duplicates);
}

// A repeated request moves its address to the end of the list with the newest packet.
void UrlList::InsertRequestLine(std::string_view category, Direction dir, std::string address, LVDataPtr record,
                                bool duplicates) {
  // The address is hashed once for the look-up, the removal of its old row (the same text) and the new row.
  const std::size_t key = AddressKey(address);
  if (!duplicates) {
    if (const auto old = FindLv1(address, key)) EraseLv1(*old, key);
  }
  AppendLv1(ListRow{std::string(category), {std::string(DirectionLabel(dir)), std::move(address), std::string()},
                    std::move(record), {}},
            key);
  if (InView(category)) {
    const ListRow& added = lv1_.back();
    if (const auto old = FindLv2(added.cells[1])) EraseLv2(*old);
    AppendLv2(ViewRow{added.cells[0], added.cells[1], added.data});
  }
}

// An address found again by scanning keeps its first row and its first packet.
void UrlList::InsertScan(std::string_view category, Direction dir, std::string address, LVDataPtr record,
                         bool outbound, bool duplicates) {
  if (!duplicates && FindLv1(address)) return;
  AppendLv1(ListRow{std::string(category), {std::string(DirectionLabel(dir)), std::move(address), std::string()},
                    std::move(record), {}});
  if (!InView(category)) return;
  const ListRow& added = lv1_.back();
  if (const auto old = FindLv2(added.cells[1])) {
    // Only an outbound http address replaces its view row (moving it to the bottom).
    if (!outbound || !StartsWithHttp(added.cells[1])) return;
    EraseLv2(*old);
  }
  AppendLv2(ViewRow{added.cells[0], added.cells[1], added.data});
}

bool UrlList::StartsWithHttp(std::string_view address) {
  constexpr std::string_view kHttp = "http://";
  if (address.size() < kHttp.size()) return false;
  for (std::size_t i = 0; i < kHttp.size(); ++i)
    if (LowerByte(address[i]) != kHttp[i]) return false;
  return true;
}

void UrlList::AppendPacketRow(std::string caption, Direction dir, std::string payload, std::string length,
                              LVDataPtr record) {
  AppendLv1(ListRow{std::move(caption), {std::string(DirectionLabel(dir)), std::move(payload), std::move(length)},
                    std::move(record), {}});
}

void UrlList::AppendSpilledPacketRow(std::string caption, Direction dir, std::string length,
                                     const SpilledRecord& record, std::size_t addressKey) {
  ListRow row{std::move(caption), {std::string(DirectionLabel(dir)), std::string(), std::move(length)}, nullptr, record};
  row.spilled.present = true;
  row.spilled.addressSpilled = true;
  AppendLv1(std::move(row), addressKey);
}

// ---- views ----

void UrlList::ViewByCategory(int entry) {
  if (entry < 0 || entry >= kViewEntryCount || ViewEntryCaption(entry).empty()) return;
  activeEntry_ = entry;
  flck(ViewEntryCaption(entry));
}

void UrlList::flck(std::string_view name) {
  viewFilter_ = name.find(texts::kFin) != npos ? std::string(texts::kFin) : std::string(name);
  if (name == texts::kViewAll) {
    // The URL list is shown; the category view keeps its rows and caption.
    if (observer_) observer_->ViewChanged();
    return;
  }
  lv2_.clear();
  lv2Count_.clear();
  viewAddressCaption_ = Spaces(75, kAddressOpen);
  viewAddressCaption_.append(name).push_back(']');
  for (const ListRow& row : lv1_) {
    if (row.caption.find(viewFilter_) == npos) continue;
    ViewRow view{row.cells[0], AddressOf(row), RecordOf(row)};
    CountAdd(lv2Count_, view.address);
    lv2_.push_back(std::move(view));
  }
  if (observer_) {
    observer_->ListReset(ListId::Lv2);
    observer_->ViewChanged();
  }
}

std::optional<SelectionCopy> UrlList::LVSLT(std::optional<std::size_t> firstSelectedLv1,
                                            std::optional<std::size_t> selectedLv2) const {
  if (ShowingAll()) {
    if (!firstSelectedLv1 || *firstSelectedLv1 >= lv1_.size()) return std::nullopt;
    const ListRow& row = lv1_[*firstSelectedLv1];
    return SelectionCopy{AddressOf(row), RecordOf(row)};
  }
  if (!selectedLv2 || *selectedLv2 >= lv2_.size()) return std::nullopt;
  const ViewRow& row = lv2_[*selectedLv2];
  return SelectionCopy{row.address, row.data};
}

// ---- commands ----

void UrlList::ClearLv1() {
  lv1_.clear();
  lv1Count_.clear();
  if (observer_) observer_->ListReset(ListId::LV1);
}

void UrlList::ClearAll() {
  ClearLv1();
  lv2_.clear();
  lv2Count_.clear();
  if (observer_) observer_->ListReset(ListId::Lv2);
}

void UrlList::Remove(ListId list, std::size_t row) {
  if (list == ListId::LV1) {
    if (row < lv1_.size()) EraseLv1(row);
  } else if (row < lv2_.size()) {
    EraseLv2(row);
  }
}

void UrlList::SetRemark(std::size_t lv1Row, std::string text) {
  if (lv1Row >= lv1_.size()) return;
  lv1_[lv1Row].cells[2] = std::move(text);
  if (observer_) observer_->CellChanged(ListId::LV1, lv1Row, 3);
}

void UrlList::SetAddress(ListId list, std::size_t row, std::string text) {
  if (list == ListId::LV1) {
    if (row >= lv1_.size()) return;
    ListRow& changed = lv1_[row];
    CountSub(lv1Count_, AddressOf(changed));
    changed.spilled.addressSpilled = false;  // the record stays where it is
    std::string& cell = changed.cells[1];
    cell = std::move(text);
    CountAdd(lv1Count_, cell);
    if (observer_) observer_->CellChanged(ListId::LV1, row, 2);
  } else {
    if (row >= lv2_.size()) return;
    std::string& cell = lv2_[row].address;
    CountSub(lv2Count_, cell);
    cell = std::move(text);
    CountAdd(lv2Count_, cell);
    if (observer_) observer_->CellChanged(ListId::Lv2, row, 1);
  }
}

}  // namespace qv
