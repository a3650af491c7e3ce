// The hand-over of rows from the capture thread to the lists. The frame handler reports into a
// RowQueue (any thread); a RowPump on the user-interface thread takes the rows out in their order of
// arrival and applies them to UrlList in batches, so that only the user-interface thread ever
// touches the lists and the widgets.
#pragma once
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "capture/frame_handler.h"
#include "urls/url_list.h"

namespace qv {

class ListModelHub;

using RowItem = std::variant<UrlInsertion, PacketRowData>;

class RowQueue : public FrameSink {
 public:
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
  std::vector<RowItem> items_;
  std::optional<std::vector<std::string>> local_;
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
  std::size_t Backlog() const { return queue_.Size() + backlog_.size(); }
  std::uint64_t Applied() const { return applied_; }

 signals:
  void LocalAddressesReported(const std::vector<std::string>& addresses);

 private:
  void Tick();
  std::size_t Apply(std::size_t maxItems, const QElapsedTimer* clock, int budgetMs);

  RowQueue& queue_;
  UrlList& list_;
  ListModelHub& hub_;
  QTimer timer_;
  std::deque<RowItem> backlog_;  // taken from the queue, not yet applied; always older than the queue
  static constexpr int kIntervalMs = 40;
  static constexpr int kBudgetMs = 20;
  std::uint64_t applied_ = 0;
};

}  // namespace qv
