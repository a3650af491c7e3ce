#include "app/session/session_controller.h"

#include "capture/capture_file.h"
#include "capture/host2ip.h"

namespace qv {

SessionController::SessionController(PcapNet& net, QObject* parent)
    : QObject(parent),
      net_(net),
      handler_(types_, queue_, [this] { return CurrentLocalAddresses(); }),
      session_(net_, handler_,
               SessionEvents{[this] {
                               // Rows found before the list is emptied belong to the list that is emptied.
                               pump_->DrainAll();
                               list_.ClearLv1();
                             },
                             [this] {
                               if (!closing_) emit AdapterNotFound();
                             },
                             [this](const std::string& why) { OnStartFailed(why); },
                             [this](bool running) { OnRunningChanged(running); },
                             [this](const std::string& why) {
                               if (!closing_) emit CaptureEnded(QString::fromLocal8Bit(why.c_str()));
                             }}) {
  handler_.SetHttps(&https_);
  // Called on the capture thread, which this object outlives (Shutdown joins it).
  https_.SetMessageSink([this](const std::string& text) {
    QMetaObject::invokeMethod(
        this, [this, t = QString::fromLocal8Bit(text.c_str())] {
          if (!closing_) emit HttpsMessage(t);
        },
        Qt::QueuedConnection);
  });
  mainListModel_ = new Lv1Model(list_, this);
  categoryListModel_ = new Lv2Model(list_, this);
  hub_ = std::make_unique<ListModelHub>(*mainListModel_, *categoryListModel_, [this] { emit ViewChanged(); });
  list_.SetObserver(hub_.get());
  pump_ = new RowPump(queue_, list_, *hub_, this);
  connect(pump_, &RowPump::LocalAddressesReported, this, &SessionController::LocalAddressesChanged);
  connect(pump_, &RowPump::SpillFailed, this, [this](const QString& why) {
    if (!closing_) emit SpillFailed(why);
  });
  std::string error;
  spill_ = SpillStore::Open(SpillStore::DefaultDir(), &error);
  list_.SetSpillStore(spill_);
  queue_.SetSpillStore(spill_, spill_ ? std::string() : error);

  // A stopped loop may still be finishing its last frame, and a file's loop ends by itself: the
  // watch follows the session until its loop has returned.
  watch_.setInterval(250);
  connect(&watch_, &QTimer::timeout, this, &SessionController::Watch);
  counts_.setInterval(kCountsIntervalMs);
  connect(&counts_, &QTimer::timeout, this, &SessionController::ReportCounts);
}

SessionController::~SessionController() { Shutdown(); }

void SessionController::Shutdown() {
  closing_ = true;
  watch_.stop();
  counts_.stop();
  pump_->Stop();
  End();
  list_.SetObserver(nullptr);
}

void SessionController::End() {
  // The capture thread must have left the frame handler and the library before either goes.
  session_.Stop();
  session_.Join();
}

void SessionController::UseSpillStore(std::shared_ptr<SpillStore> store) {
  spill_ = std::move(store);
  list_.SetSpillStore(spill_);
  queue_.SetSpillStore(spill_);
}

void SessionController::Star(bool forTrial) {
  fileSession_ = false;
  trialStart_ = forTrial;
  sessionFramesBase_ = handler_.FramesSeen();
  fileLocalAddresses_.Set(std::nullopt);
  emit SessionStarting();
  session_.Star(adapterName_);
}

void SessionController::Stop() { session_.Stop(); }  // the session also trims the filter

bool SessionController::StartFile(const std::string& path, const QString& shownName) {
  // The file is opened before anything changes: one that cannot be read leaves the running session,
  // the rows and the local addresses as they were.
  std::string why;
  pcap_t* handle = session_.OpenFile(path, why);
  if (!handle) {
    if (!closing_) emit StartFailed(QString::fromStdString(why), true);
    return false;
  }
  if (session_.Running()) {
    // Ending the running session must not empty the filter the file is to be read with.
    const auto filter = handler_.Filter();
    End();
    handler_.SetFilter(*filter);
  }
  std::vector<std::string> local = InferLocalAddresses(net_, path);
  if (local.empty()) local = LocalAddresses();
  fileLocalAddresses_.Set(local);
  handler_.SetLocalAddresses(local);
  emit LocalAddressesChanged(local);

  fileSession_ = true;
  fileName_ = shownName;
  fileFramesBase_ = handler_.FramesSeen();
  sessionFramesBase_ = fileFramesBase_;
  emit SessionStarting();
  session_.StartFile(handle);
  return true;
}

std::uint64_t SessionController::FileFrames() const {
  const std::uint64_t seen = handler_.FramesSeen();
  // The count may have been restarted by the session itself.
  return seen >= fileFramesBase_ ? seen - fileFramesBase_ : seen;
}

std::uint64_t SessionController::SessionFrames() const {
  const std::uint64_t seen = handler_.FramesSeen();
  return seen >= sessionFramesBase_ ? seen - sessionFramesBase_ : seen;
}

std::optional<std::uint64_t> SessionController::SessionDropped() {
  if (fileSession_) return std::nullopt;  // a file drops nothing
  if (const auto stats = session_.Stats()) return stats->Dropped();
  return std::nullopt;
}

void SessionController::ReportCounts() {
  if (closing_) return;
  const auto dropped = SessionDropped();
  emit CountsChanged(SessionFrames(), dropped ? std::optional<quint64>(*dropped) : std::nullopt);
}

void SessionController::RefreshLocalAddresses() {
  const std::vector<std::string> local = CurrentLocalAddresses();
  handler_.SetLocalAddresses(local);
  emit LocalAddressesChanged(local);
}

std::vector<std::string> SessionController::CurrentLocalAddresses() const {
  if (auto file = fileLocalAddresses_.Get()) return *file;
  return LocalAddresses();
}

void SessionController::ShowView(int entry) {
  // The rows found before the view changes are part of the list the view is built from.
  pump_->DrainAll();
  list_.ViewByCategory(entry);
}

void SessionController::ClearLists() {
  // Rows that arrived before the command are emptied with the lists; later ones keep coming.
  pump_->DiscardPending();
  list_.ClearAll();
}

void SessionController::OnStartFailed(const std::string& why) {
  if (closing_) return;
  const QString text = QString::fromStdString(why);
  // An adapter the test tries that cannot be opened just fails its trial.
  if (!fileSession_ && trialStart_) {
    emit TrialStartFailed(text);
    return;
  }
  emit StartFailed(text, fileSession_);
}

void SessionController::OnRunningChanged(bool running) {
  if (closing_) return;
  shown_ = running;
  emit RunningChanged(running);
  if (running) {
    // The new session's figures replace the last one's at once, then every interval.
    counts_.start();
    ReportCounts();
  }
  watch_.start();
  Watch();
}

void SessionController::Watch() {
  if (fileSession_) emit FileProgress(fileName_, FileFrames(), session_.Running());
  if (session_.Running()) return;
  watch_.stop();
  // The loop has returned: the last figures, then no more polling.
  if (counts_.isActive()) {
    counts_.stop();
    ReportCounts();
  }
  if (shown_) {
    shown_ = false;
    emit RunningChanged(false);
  }
}

}  // namespace qv
