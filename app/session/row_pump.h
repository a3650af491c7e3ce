// The hand-over of rows from the capture thread to the lists. The frame handler reports into a
// RowQueue (any thread); a RowPump on the user-interface thread takes the rows out in their order of
// arrival and applies them to UrlList in batches, so that only the user-interface thread ever
// touches the lists and the widgets.
#pragma once
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "capture/frame_handler.h"
#include "urls/url_list.h"

namespace qv {

class ListModelHub;

// A packet row whose record and payload went to the spill file on the capture thread.
struct SpilledPacketRow {
  std::string caption;
  Direction direction = Direction::Inbound;
  std::string length;
  SpilledRecord record;
  std::size_t addressKey = 0;  // UrlList::AddressKey of the address cell
};

using RowItem = std::variant<UrlInsertion, PacketRowData, SpilledPacketRow>;

class RowQueue : public FrameSink {
 public:
  // Packet rows found from now on keep their record in `store` (null: in memory). A row whose
  // record cannot be written there stays in memory, as without a store.
  // `openError`: why there is no store, if one was wanted.
  void SetSpillStore(std::shared_ptr<SpillStore> store, std::string openError = {});
  // Once per queue: why packet rows are kept in memory after all (the spill file could not be made
  // or written), as soon as that has happened to a row.
  std::optional<std::string> TakeSpillFailure();

  void UrlFound(UrlInsertion&& insertion) override;
  void PacketFound(PacketRowData&& row) override;
  void LocalAddressesChanged(const std::vector<std::string>& addresses) override;

  // Everything queued so far, in arrival order.
  std::vector<RowItem> TakeAll();
  // The newest local address list reported since the last call, if any.
  std::optional<std::vector<std::string>> TakeLocalAddresses();
  std::size_t Size() const;

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<SpillStore> spill_;  // set before the capture thread runs
  std::string spillOpenError_;
  std::atomic<bool> heldInMemory_{false};  // a packet row stayed in memory for want of a store
  bool spillFailureTold_ = false;
  std::vector<RowItem> items_;
  std::optional<std::vector<std::string>> local_;
  std::size_t lastTaken_ = 0;  // user-interface thread: the size of the last batch taken
};

class RowPump : public QObject {
  Q_OBJECT
 public:
  // Every kIntervalMs the pump moves the queued rows into `list`, spending at most kBudgetMs per
  // turn; while rows are left over it comes back at once, letting other events run in between.
  RowPump(RowQueue& queue, UrlList& list, ListModelHub& hub, QObject* parent = nullptr);

  void Start();
  void Stop();
  // Applies everything queued, whatever the time it takes.
  void DrainAll();
  // Throws away the rows that have not reached the lists yet.
  void DiscardPending();
  // Rows queued or taken but not yet applied.
  std::size_t Backlog() const { return queue_.Size() + (batch_.size() - next_); }
  std::uint64_t Applied() const { return applied_; }

 signals:
  void LocalAddressesReported(const std::vector<std::string>& addresses);
  // Packet rows are kept in memory from now on: why (told once).
  void SpillFailed(const QString& why);

 private:
  void Tick();
  std::size_t Apply(std::size_t maxItems, const QElapsedTimer* clock, int budgetMs);

  RowQueue& queue_;
  UrlList& list_;
  ListModelHub& hub_;
  QTimer timer_;
  // Taken from the queue as one batch, applied from `next_` on; always older than the queue. Kept as
  // taken (never moved item by item into another container), so that taking a large batch costs
  // no more than taking a small one.
  std::vector<RowItem> batch_;
  std::size_t next_ = 0;
  static constexpr int kIntervalMs = 40;
  static constexpr int kBudgetMs = 20;
  std::uint64_t applied_ = 0;
};

}  // namespace qv
