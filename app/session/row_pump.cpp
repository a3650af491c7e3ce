#include "app/session/row_pump.h"

#include <algorithm>
#include <limits>

#include "app/session/list_models.h"

namespace qv {

// --- RowQueue ---

void RowQueue::UrlFound(UrlInsertion&& insertion) {
  std::lock_guard lock(mutex_);
  items_.emplace_back(std::move(insertion));
}

void RowQueue::PacketFound(PacketRowData&& row) {
  // The payload text is written once, to the spill file, with the remote text in front of it; the
  // row keeps only where it lies. The file is written outside the queue's lock. A row whose address
  // cell is not its record's payload (the frame handler never makes one) stays in memory.
  if (spill_ && row.record && row.record->Remote.size() <= std::numeric_limits<std::uint16_t>::max() &&
      row.payload == row.record->Packet) {
    const LVDATA& record = *row.record;
    if (const auto ref = spill_->Append(record.Remote, record.Packet)) {
      SpilledPacketRow spilled{std::move(row.caption), row.direction, std::move(row.length), {}, 0};
      spilled.record.offset = ref->offset;
      spilled.record.remoteSize = static_cast<std::uint16_t>(record.Remote.size());
      spilled.record.packetSize = static_cast<std::uint32_t>(record.Packet.size());
      spilled.record.present = true;
      spilled.record.addressSpilled = true;
      spilled.addressKey = UrlList::AddressKey(row.payload);
      std::lock_guard lock(mutex_);
      items_.emplace_back(std::move(spilled));
      return;
    }
  }
  if (!spill_ && !spillOpenError_.empty()) heldInMemory_.store(true, std::memory_order_relaxed);
  std::lock_guard lock(mutex_);
  items_.emplace_back(std::move(row));
}

void RowQueue::SetSpillStore(std::shared_ptr<SpillStore> store, std::string openError) {
  spill_ = std::move(store);
  spillOpenError_ = std::move(openError);
}

std::optional<std::string> RowQueue::TakeSpillFailure() {
  if (spillFailureTold_) return std::nullopt;
  if (spill_ && spill_->Failed()) {
    spillFailureTold_ = true;
    return spill_->FirstError();
  }
  if (heldInMemory_.load(std::memory_order_relaxed)) {
    spillFailureTold_ = true;
    return spillOpenError_;
  }
  return std::nullopt;
}

void RowQueue::LocalAddressesChanged(const std::vector<std::string>& addresses) {
  std::lock_guard lock(mutex_);
  local_ = addresses;
}

std::vector<RowItem> RowQueue::TakeAll() {
  // The queue is left with room for a batch like the last one, allocated outside the lock, so that
  // the capture thread seldom grows it while holding the lock.
  std::vector<RowItem> out;
  out.reserve(std::min<std::size_t>(lastTaken_, 65536));
  {
    std::lock_guard lock(mutex_);
    out.swap(items_);
  }
  lastTaken_ = out.size();
  return out;
}

std::optional<std::vector<std::string>> RowQueue::TakeLocalAddresses() {
  std::lock_guard lock(mutex_);
  auto out = std::move(local_);
  local_.reset();
  return out;
}

std::size_t RowQueue::Size() const {
  std::lock_guard lock(mutex_);
  return items_.size();
}

// --- RowPump ---

RowPump::RowPump(RowQueue& queue, UrlList& list, ListModelHub& hub, QObject* parent)
    : QObject(parent), queue_(queue), list_(list), hub_(hub) {
  timer_.setInterval(kIntervalMs);
  connect(&timer_, &QTimer::timeout, this, &RowPump::Tick);
}

void RowPump::Start() { timer_.start(kIntervalMs); }
void RowPump::Stop() { timer_.stop(); }

void RowPump::DrainAll() {
  Apply(std::numeric_limits<std::size_t>::max(), nullptr, 0);
  hub_.Flush();
}

void RowPump::DiscardPending() {
  queue_.TakeAll();
  batch_.clear();
  next_ = 0;
}

void RowPump::Tick() {
  if (auto local = queue_.TakeLocalAddresses()) emit LocalAddressesReported(*local);
  if (auto why = queue_.TakeSpillFailure()) emit SpillFailed(QString::fromLocal8Bit(why->c_str()));
  QElapsedTimer clock;
  clock.start();
  Apply(std::numeric_limits<std::size_t>::max(), &clock, kBudgetMs);
  hub_.Flush();
  // Rows left over: come back as soon as the events waiting meanwhile have run.
  timer_.setInterval(next_ == batch_.size() && queue_.Size() == 0 ? kIntervalMs : 0);
}

std::size_t RowPump::Apply(std::size_t maxItems, const QElapsedTimer* clock, int budgetMs) {
  constexpr std::size_t kChunk = 256;  // rows between two looks at the clock
  std::size_t done = 0;
  while (done < maxItems) {
    if (next_ == batch_.size()) {
      batch_ = queue_.TakeAll();
      next_ = 0;
      if (batch_.empty()) break;
    }
    std::size_t chunk = 0;
    while (next_ < batch_.size() && chunk < kChunk && done < maxItems) {
      RowItem& item = batch_[next_];
      if (auto* url = std::get_if<UrlInsertion>(&item)) {
        list_.Insert(std::move(*url));
      } else if (auto* s = std::get_if<SpilledPacketRow>(&item)) {
        list_.AppendSpilledPacketRow(std::move(s->caption), s->direction, std::move(s->length), s->record,
                                     s->addressKey);
      } else {
        auto& p = std::get<PacketRowData>(item);
        list_.AppendPacketRow(std::move(p.caption), p.direction, std::move(p.payload), std::move(p.length),
                              std::move(p.record));
      }
      ++next_;
      ++chunk;
      ++done;
    }
    if (clock != nullptr && clock->elapsed() >= budgetMs) break;
  }
  applied_ += done;
  return done;
}

}  // namespace qv
