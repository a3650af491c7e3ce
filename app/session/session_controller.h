// SessionController: the capture session as the program runs it, without a widget. It owns the
// frame handler, the capture session, the row queue and the pump that drains it into the URL list and
// its two models, the file sessions and the local addresses. The main window shows what it reports
// and forwards the commands; the capture thread only ever reaches the handler, the queue and the
// local-address value held here, never a window.
#pragma once
#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/session/list_models.h"
#include "app/session/row_pump.h"
#include "capture/capture_session.h"
#include "capture/frame_handler.h"
#include "capture/pcap_net.h"
#include "common/locked_value.h"
#include "tls/https_session.h"
#include "urls/file_type_table.h"
#include "urls/url_list.h"

namespace qv {

class SessionController : public QObject {
  Q_OBJECT
 public:
  explicit SessionController(PcapNet& net, QObject* parent = nullptr);
  ~SessionController() override;

  // What it owns.
  UrlList& List() { return list_; }
  FileTypeState& Types() { return types_; }
  FrameHandler& Handler() { return handler_; }
  FrameSink& Sink() { return queue_; }  // where the capture thread hands its rows over
  RowPump& Pump() { return *pump_; }
  Lv1Model& Lv1Rows() { return *mainListModel_; }
  Lv2Model& Lv2Rows() { return *categoryListModel_; }
  // HTTPS read with key logs, in this process (never in the capture helper); off until key log files
  // are given.
  tls::HttpsSession& Https() { return https_; }

  // The adapter live sessions capture on; choosing one does not write the settings file.
  const std::string& AdapterName() const { return adapterName_; }
  void SetAdapterName(std::string name) { adapterName_ = std::move(name); }

  // Live capture on the chosen adapter (the machine's local addresses). `forTrial`: the adapter test
  // starts it, and an adapter that cannot be opened just fails its trial (TrialStartFailed, no box);
  // a start the person asked for is always told why it failed, a test running or not.
  void Star(bool forTrial = false);
  // Breaks the running loop; the filter loses what a stop clears. Does not wait.
  void Stop();
  // Stops and waits for the capture thread: the handler and the library are free afterwards.
  void End();
  // Runs a capture file through the same path as a live session, with the local addresses the file
  // implies, else the machine's. A running session ends first, keeping the filter. False when the
  // file cannot be opened (StartFailed has said why).
  bool StartFile(const std::string& path, const QString& shownName);
  bool Running() const { return session_.Running(); }
  bool FileSession() const { return fileSession_; }  // the running session reads a capture file
  // Frames read from the capture file of the current or last file session.
  std::uint64_t FileFrames() const;
  // Frames the frame handler has seen in the current or last session (live or file).
  std::uint64_t SessionFrames() const;
  // Frames dropped in the current or last live session (by the kernel and the interface), when the
  // capture library counts them.
  std::optional<std::uint64_t> SessionDropped();
  // How often CountsChanged reports while a session runs.
  static constexpr int kCountsIntervalMs = 500;

  // The local addresses now (a file session's, else the machine's), handed to the handler and reported.
  void RefreshLocalAddresses();
  // Rows found so far go into the list before the view changes.
  void ShowView(int entry);
  // Empties both lists; rows that had arrived before are emptied with them.
  void ClearLists();
  // From now on no session event is reported (the window is going); stops and waits.
  void Shutdown();
  // Where packet rows keep their records (null: in memory). Made at start in the user's cache
  // folder; to be replaced only while no packet row is listed or on its way.
  void UseSpillStore(std::shared_ptr<SpillStore> store);
  const SpillStore* Spill() const { return spill_.get(); }

 signals:
  // Whether a session runs, as the start controls and the status text show it.
  void RunningChanged(bool running);
  // A file session's progress: its file name, the frames read, whether it is still reading.
  void FileProgress(const QString& name, quint64 frames, bool reading);
  void LocalAddressesChanged(const std::vector<std::string>& addresses);
  // The chosen adapter is not among the devices.
  void AdapterNotFound();
  // A device or file could not be opened; `file` tells which. Not reported for a trial's start.
  void StartFailed(const QString& why, bool file);
  // The adapter under trial could not be opened: the trial fails, no box.
  void TrialStartFailed(const QString& why);
  // The capture ended by itself (its helper program stopped): why.
  void CaptureEnded(const QString& why);
  // The spill file could not be made or written: packet rows are kept in memory from now on.
  void SpillFailed(const QString& why);
  // The category view changed (a row of a new category, or a view chosen).
  void ViewChanged();
  // The session's frame counts: every kCountsIntervalMs while it runs, and once when it has ended.
  void CountsChanged(quint64 frames, std::optional<quint64> dropped);
  // A live or file session is about to start (emitted directly, before its first frame is read).
  void SessionStarting();
  // A key log file or line was refused (too large, too long a line); the text names the file.
  void HttpsMessage(const QString& text);

 private:
  std::vector<std::string> CurrentLocalAddresses() const;  // any thread
  void OnRunningChanged(bool running);
  void OnStartFailed(const std::string& why);
  void Watch();
  void ReportCounts();

  PcapNet& net_;
  std::string adapterName_ = "???";
  bool closing_ = false;
  bool shown_ = false;  // RunningChanged last said "running"
  bool fileSession_ = false;
  bool trialStart_ = false;  // the current live start is the adapter test's
  QString fileName_;
  std::uint64_t fileFramesBase_ = 0;
  std::uint64_t sessionFramesBase_ = 0;
  QTimer watch_;
  QTimer counts_;

  // Declared in the order of their dependencies: the session goes first.
  FileTypeState types_;
  std::shared_ptr<SpillStore> spill_;
  UrlList list_;
  RowQueue queue_;
  LockedValue<std::optional<std::vector<std::string>>> fileLocalAddresses_;
  tls::HttpsSession https_;  // before the handler, which reads through it
  FrameHandler handler_;
  CaptureSession session_;
  Lv1Model* mainListModel_;
  Lv2Model* categoryListModel_;
  std::unique_ptr<ListModelHub> hub_;
  RowPump* pump_;
};

}  // namespace qv
