// TForm1: the main window. It shows what the SessionController (the lists, the capture session and
// its frame handler) reports and wires every menu, tool-bar and popup entry to its operation. The
// settings are the SettingsController's; the settings dialog reaches the window through a SettingsHost.
#pragma once
#include <QMainWindow>
#include <QMargins>
#include <QPoint>
#include <QPointer>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/session/session_controller.h"
#include "app/update/update_check.h"
#include "capture/pcap_net.h"
#include "packets/ui/filter_dialog.h"
#include "packets/ui/packet_inspector.h"
#include "settings/settings_store.h"
#include "settings/ui/settings_controller.h"

class QAction;
class QActionGroup;
class QComboBox;
class QLabel;
class QToolButton;
class QMenu;
class QStackedWidget;
class QSystemTrayIcon;
class QTableView;
class QToolBar;

namespace qv {

class FollowNewest;
class HandOff;
class HttpsRecording;
class ListCommands;
class LaggingListModel;
class QuickFilterEdit;
class StatusCounts;
class Prompter;
class TForm2;
class UpdateChecker;
class WebStrip;
class WindowState;

// The maker's web site; its ad page, kAdPage, is the tool bar's web page.
inline constexpr const char* kSiteHost = "www.quelvar.example";
// How to get the capture library: an installer beside the program, else this page.
inline constexpr const char* kPcapInstaller = "WinPcap_4_0_beta2.exe";
inline constexpr const char* kPcapInstallPage = "http://www.quelvar.example/install/default.htm";

struct TForm1Options {
  QString programDir;       // the folder of setting.ini; empty: the executable's folder
  bool fetchAdPage = true;  // load the ad page over the network
  std::string registryPath;  // where the download programs are registered; empty: the user's registry
  std::string updateBase = std::string(update::kDefaultServerBase);  // the update server
  int updateCheckMs = 59000;  // tmr3: the timed update check, counted from the start
  // Keep the window's place, column widths, work mode and file-dialog folders from one start to the
  // next, in the state file of WindowState (XDG_STATE_HOME). The program turns it on; windows made
  // by tests, benchmarks and screenshots leave the user's state alone.
  bool rememberState = false;
  // Whether the desktop has a tray for the minimise-to-tray command (tests replace it).
  std::function<bool()> trayAvailable;

  // A window over the settings in `dir` that loads no ad page (tests, screenshots).
  static TForm1Options Offline(QString dir) {
    TForm1Options o;
    o.programDir = std::move(dir);
    o.fetchAdPage = false;
    return o;
  }
};

class TForm1 : public QMainWindow {
  Q_OBJECT
 public:
  TForm1(PcapNet& net, Prompter& prompter, TForm1Options options = {}, QWidget* parent = nullptr);
  ~TForm1() override;

  // Runs a capture file (pcap or pcapng) through the same path as a live session. The local
  // addresses are those the file implies, else the machine's. False when it cannot be started.
  bool OpenCaptureFile(const QString& path);
  // The adapter entries of "网络适配器(&D)", in device order, at the top of that submenu.
  void SetAdapters(const std::vector<CaptureDevice>& devices);
  // The name lookup of the filter dialog and the adapter test (tests replace it).
  void SetHostResolver(TForm3::Resolver resolver) { resolver_ = std::move(resolver); }
  // Hands a program file or a web address to the desktop (tests replace it).
  using ShellOpener = std::function<void(const QString& target)>;
  void SetShellOpener(ShellOpener opener) { shellOpen_ = std::move(opener); }

  // State the other windows and the tests reach.
  SessionController& Session() { return *session_; }
  UrlList& List() { return session_->List(); }
  FrameHandler& Handler() { return session_->Handler(); }
  RowPump& Pump() { return session_->Pump(); }
  FrameSink& Sink() { return session_->Sink(); }  // where the capture thread hands its rows over
  SettingsStore* Store() { return settingsModel_->Store(); }
  SettingsController& SettingsModel() { return *settingsModel_; }
  const std::string& AdapterName() const { return session_->AdapterName(); }
  void SetAdapterName(std::string name) { session_->SetAdapterName(std::move(name)); }  // the settings file is not written
  int AdapterCount() const { return static_cast<int>(adapterItems_.size()); }
  QAction* AdapterItem(int index) const {
    return index >= 0 && index < AdapterCount() ? adapterItems_[static_cast<std::size_t>(index)] : nullptr;
  }
  FileTypeState& Types() { return session_->Types(); }
  TForm2* Settings() const { return settings_; }
  bool SessionRunning() const { return session_->Running(); }
  // Frames read from the capture file of the current or last file session.
  std::uint64_t FileFrames() const { return session_->FileFrames(); }
  QString PendingHint() const { return hintText_; }
  TForm4* Inspector() const { return inspector_; }
  TForm3* FilterDialog() const { return filterDialog_; }
  QSystemTrayIcon* Tray() const { return tray_; }
  HttpsRecording* Https() const { return httpsRecording_; }

  QTableView* mainListView_ = nullptr;
  QTableView* lv2 = nullptr;
  // The models of the two lists, which sort and narrow the rows as the person asked.
  LaggingListModel* mainRowsModel_ = nullptr;
  LaggingListModel* categoryRowsModel_ = nullptr;
  QuickFilterEdit* quickFilterEdit_ = nullptr;  // Ctrl+F
  QComboBox* localAddressBox_ = nullptr;  // local addresses; hidden under LV1
  QStackedWidget* listPages_ = nullptr;
  WebStrip* webStrip_ = nullptr;

  QTimer* localAddressTimer_;
  QTimer* autoStartTimer_;
  QTimer* updateCheckTimer_;  // once, 59 s after start
  QTimer* pcapMissingTimer_;
  QTimer* adapterRetryTimer_;
  QTimer* netTransportWaitTimer_;  // the hand-off's own
  QTimer* flashGetWaitTimer_;      // the hand-off's own

 public slots:
  void BeginSniffing();
  void StartForTrial();  // the adapter test starts sniffing on the adapter it tries
  void EndSniffing();
  void SwitchToUrlMode();
  void SwitchToPacketMode();
  void OpenFilterDialog();
  void ExitProgram();
  void CopySelectedAddress();
  void CopySelectedPacket();
  void DeleteSelectedRow();
  void AddRemarkToRow();
  void SaveList();
  void ClearBothLists();
  void SendToNetTransport();
  void SendToFlashGet();
  void SendToDorrinel();  // the simple downloader
  void ChooseAdapterItem(QAction* item);  // an entry of the adapter menu
  void TestAdapters();
  void OpenSettings();  // the settings dialog at its general page
  void ShowHelpFile();
  void VisitMakerSite();
  void CheckForUpdate();
  void ShowAboutBox();
  void ViewByCategory(int entry);
  void ToggleViewPacket();  // shows or closes the packet inspector
  void DecodeSelectedAddress();
  void DownloadOnDoubleClick();  // hands the row to the default download program
  void OnRowClicked(const QPoint& globalPos);  // hint, clipboard and inspector for the row clicked
  void OpenCaptureFileClick();
  void MinimiseToTrayClick();  // hides the window; the tray icon brings it back
  void RestoreFromTray();

  void OnLocalAddressTimer();
  void OnAutoStartTimer();
  void OnUpdateCheckTimer();
  void OnPcapMissingTimer();
  void OnAdapterRetryTimer();

 signals:
  // An adapter was chosen in the menu; its position among the adapter entries.
  void AdapterChosen(int index);
  // Starting sniffing failed while an adapter trial was capturing; the library's reason.
  void TrialStartFailed(const QString& why);

 protected:
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void moveEvent(QMoveEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void changeEvent(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void BuildMenus();
  void BuildToolBar();
  void BuildLists();
  void BuildStatusBar();
  void ShowRowCounts();
  void FormCreate();
  QAction* NewAction(const char* name, const QString& text, const QKeySequence& key = {});

  std::optional<SelectionCopy> Selection() const;
  void FillLocalAddresses(const std::vector<std::string>& addresses);
  void OnViewChanged();
  void ShowRunning(bool running);
  void ShowFilterBadge();
  void ClearPacketFilter();
  void ShowFileProgress(const QString& name, quint64 frames, bool reading);
  void OnAdapterNotFound();
  void OnStartFailed(const QString& why, bool file);
  void ShowHint();
  void HideHint();
  void RestoreState();
  void KeepState();
  bool TrayAvailable() const;
  bool AnsweringABox() const;

  class SettingsLink;  // the window as the settings dialog's SettingsHost

  static inline const QString kStatusRunning = QStringLiteral("开始嗅探");
  static inline const QString kStatusStopped = QStringLiteral("停止嗅探");

  PcapNet& net_;
  Prompter& prompter_;
  TForm1Options options_;
  std::unique_ptr<HandOff> handOff_;
  std::unique_ptr<UpdateChecker> updater_;  // null without a settings file
  TForm3::Resolver resolver_;
  ShellOpener shellOpen_;
  SessionController* session_;  // a child, made first: it outlives every widget that shows it
  SettingsController* settingsModel_;  // a child, made next: it hands the session its file-type table
  std::unique_ptr<SettingsLink> settingsLink_;
  std::unique_ptr<ListCommands> listCommands_;  // over the two views, from BuildLists on
  bool autoStart_ = false;  // autoRun: tmr2 starts sniffing 3 s after start-up

  // Menus and controls.
  QAction* startCaptureAction_;
  QAction* stopCaptureAction_;
  QAction* actOpenCapture;
  QAction* actToTray;
  QAction* urlModeAction_;
  QAction* packetModeAction_;
  QAction* filterSettingsAction_;
  QAction* exitAction_;
  QAction* copyAddressAction_;
  QAction* copyPacketAction_;
  QAction* deleteRowAction_;
  QAction* addRemarkAction_;
  QAction* saveListAction_;
  QAction* clearListAction_;
  QAction* netTransportAction_;
  QAction* flashGetAction_;
  QAction* dorrinelAction_;
  QMenu* adapterMenu_;
  QAction* adapterMenuSeparator_;
  QAction* adapterTestAction_;
  QAction* settingsAction_;
  QAction* helpFileAction_;
  QAction* makerSiteAction_;
  QAction* updateCheckAction_;
  QAction* aboutAction_;
  QAction* viewPacketAction_;
  QAction* decodeAddressAction_;
  QAction* actQuickFilter;
  std::vector<QAction*> viewEntries_;  // "分类察看", by entry index (the separator's slot is null)
  std::vector<QAction*> adapterItems_;
  QMenu* listPopupMenu_;
  QAction* startCaptureButton_;
  QAction* stopCaptureButton_;
  QAction* settingsButton_;
  QAction* exitButton_;
  QLabel* statusRunning_;  // sniffing state
  QLabel* statusMode_;
  // In URL mode, while the packet filter narrows the URL list: its summary; a click clears the filter.
  QToolButton* filterBadge_ = nullptr;
  QLabel* statusFile_;
  StatusCounts* statusCounts_ = nullptr;  // rows, frames seen, frames dropped
  HttpsRecording* httpsRecording_ = nullptr;  // the browser command, the key file, the HTTPS counts
  QLabel* siteLabel_;  // the maker's web site
  QSystemTrayIcon* tray_;

  TForm2* settings_ = nullptr;  // the settings dialog, from creation to the end
  QPointer<TForm3> filterDialog_;
  QPointer<TForm4> inspector_;

  std::unique_ptr<WindowState> state_;  // null when the window keeps no state (options)
  QMargins normalDecorations_;  // the title bar and borders while the window was last neither maximised nor minimised
  QTimer* hintTimer_;
  QString hintText_;
  QPoint hintPos_;
};

}  // namespace qv
