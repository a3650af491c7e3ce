#include "app/ui/main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QProcess>
#include <QScreen>
#include <QStackedWidget>
#include <QStatusBar>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QTableView>
#include <QToolButton>
#include <QToolTip>
#include <QWindow>

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "app/ui/about_box.h"
#include "app/ui/hand_off.h"
#include "app/ui/help_viewer.h"
#include "app/ui/https_recording.h"
#include "app/ui/list_commands.h"
#include "app/ui/program_files.h"
#include "app/ui/quick_filter.h"
#include "app/session/session_messages.h"
#include "app/ui/update_checker.h"
#include "app/ui/window_state.h"
#include "capture/capture_messages.h"
#include "capture/helper_capture.h"
#include "capture/host2ip.h"
#include "common/ui/gbk_text.h"
#include "common/ui/icons.h"
#include "common/ui/prompter.h"
#include "common/ui/web_strip.h"
#include "packets/ui/filter_dialog.h"
#include "packets/ui/packet_inspector.h"
#include "settings/adapter_page.h"
#include "settings/app_settings.h"
#include "settings/ui/settings_dialog.h"
#include "settings/ui/settings_host.h"

namespace qv {

class TForm1::SettingsLink : public SettingsHost {
 public:
  explicit SettingsLink(TForm1& form) : form_(form) {}
  SettingsController& Settings() override { return *form_.settingsModel_; }
  AdapterTestState& TestState() override { return form_.session_->Handler().test; }
  std::string AdapterName() const override { return form_.session_->AdapterName(); }
  void SetAdapterName(std::string name) override { form_.session_->SetAdapterName(std::move(name)); }
  void ChooseAdapter(int index) override {
    if (QAction* item = form_.AdapterItem(index)) form_.ChooseAdapterItem(item);
  }
  void ShowAdapters(const std::vector<CaptureDevice>& devices) override { form_.SetAdapters(devices); }
  bool SessionRunning() const override { return form_.session_->Running(); }
  void StartSniffing() override { form_.StartForTrial(); }
  void StopSniffing() override { form_.EndSniffing(); }
  std::optional<std::string> ResolveHost(const std::string& host) override { return form_.resolver_(host); }
  void CaptureLibraryMissing() override { form_.pcapMissingTimer_->start(1); }
  void AdapterUnknown() override { form_.adapterRetryTimer_->start(1000); }

 private:
  TForm1& form_;
};

TForm1::TForm1(PcapNet& net, Prompter& prompter, TForm1Options options, QWidget* parent)
    : QMainWindow(parent),
      net_(net),
      prompter_(prompter),
      options_(std::move(options)),
      resolver_([](const std::string& host) { return ResolveHost(host); }),
      shellOpen_([](const QString& target) {
        if (target.startsWith(QStringLiteral("http://")) || target.startsWith(QStringLiteral("https://")))
          QDesktopServices::openUrl(QUrl(target));
        else
          QProcess::startDetached(target, {});
      }),
      session_(new SessionController(net, this)),
      settingsModel_(new SettingsController(session_->Types(), this)),
      settingsLink_(std::make_unique<SettingsLink>(*this)) {
  setObjectName(QStringLiteral("TForm1"));
  setWindowTitle(QStringLiteral("Quelvar"));

  connect(settingsModel_, &SettingsController::Changed, this, [this](const QString& key) {
    if (key == QLatin1String(keys::kTitle.data(), static_cast<int>(keys::kTitle.size())))
      setWindowTitle(FromGbk(settingsModel_->Values().WindowTitle()));
  });
  connect(session_, &SessionController::ViewChanged, this, &TForm1::OnViewChanged);
  connect(session_, &SessionController::LocalAddressesChanged, this, &TForm1::FillLocalAddresses);
  connect(session_, &SessionController::RunningChanged, this, &TForm1::ShowRunning);
  connect(session_, &SessionController::FileProgress, this, &TForm1::ShowFileProgress);
  connect(session_, &SessionController::AdapterNotFound, this, &TForm1::OnAdapterNotFound);
  connect(session_, &SessionController::StartFailed, this, &TForm1::OnStartFailed);
  connect(session_, &SessionController::TrialStartFailed, this, &TForm1::TrialStartFailed);
  connect(session_, &SessionController::CaptureEnded, this, [this](const QString& why) {
    prompter_.Message(this, BoxKind::Error, QStringLiteral("嗅探已中止：%1").arg(why), BoxButtons::Ok);
  });
  // Told once; queued, so that the box does not open inside the pump's turn.
  connect(
      session_, &SessionController::SpillFailed, this,
      [this](const QString& why) {
        prompter_.Message(this, BoxKind::Warning,
                          QStringLiteral("数据包缓存文件无法写入，此后的数据包内容保存在内存中：%1").arg(why), BoxButtons::Ok);
      },
      Qt::QueuedConnection);

  auto timer = [this](const char* name, int interval) {
    auto* t = new QTimer(this);
    t->setObjectName(QString::fromLatin1(name));
    t->setSingleShot(false);
    t->setInterval(interval);
    return t;
  };
  localAddressTimer_ = timer("tmr1", 1000);
  autoStartTimer_ = timer("tmr2", 3000);
  updateCheckTimer_ = timer("tmr3", options_.updateCheckMs);
  pcapMissingTimer_ = timer("tmr4", 1);
  adapterRetryTimer_ = timer("tmr5", 1000);
  connect(localAddressTimer_, &QTimer::timeout, this, &TForm1::OnLocalAddressTimer);
  connect(autoStartTimer_, &QTimer::timeout, this, &TForm1::OnAutoStartTimer);
  connect(updateCheckTimer_, &QTimer::timeout, this, &TForm1::OnUpdateCheckTimer);
  connect(pcapMissingTimer_, &QTimer::timeout, this, &TForm1::OnPcapMissingTimer);
  connect(adapterRetryTimer_, &QTimer::timeout, this, &TForm1::OnAdapterRetryTimer);
  // The hand-off's timers are connected inside it and idle until a download program is started.
  handOff_ = std::make_unique<HandOff>(prompter_, this, HandOffOptions{options_.programDir, options_.registryPath});
  netTransportWaitTimer_ = handOff_->NetTransportWaitTimer();
  flashGetWaitTimer_ = handOff_->FlashGetWaitTimer();
  hintTimer_ = new QTimer(this);
  hintTimer_->setSingleShot(true);
  connect(hintTimer_, &QTimer::timeout, this, &TForm1::ShowHint);
  // The hint belongs to the list under the pointer: another window taking the focus (a dialog of this
  // program, or any other program's window) ends it.
  connect(qApp, &QGuiApplication::focusWindowChanged, this, [this](QWindow* focus) {
    if (focus == nullptr || focus != windowHandle()) HideHint();
  });

  httpsRecording_ = new HttpsRecording(*session_, settingsModel_->Values(),
                                       prompter_, this);
  BuildLists();
  BuildMenus();
  BuildToolBar();
  BuildStatusBar();

  tray_ = new QSystemTrayIcon(AppIcon(), this);
  tray_->setObjectName(QStringLiteral("TrayIcon"));
  tray_->setToolTip(QStringLiteral("欢迎使用Quelvar！"));
  connect(tray_, &QSystemTrayIcon::activated, this, &TForm1::RestoreFromTray);

  // The timers that count from the start of the program run from here, before anything can show a
  // message: tmr1 (the local addresses at 1 s) and tmr3 (the update check at 59 s). tmr1 reaches no
  // window but the lists, built above; tmr3 waits while the window is not complete or a box is open.
  localAddressTimer_->start();
  updateCheckTimer_->start();

  // The place of the last run, or on the first start a client area of 725 x 501 below the menu bar,
  // cut to the screen and centred on it.
  if (options_.rememberState) {
    state_ = std::make_unique<WindowState>();
    prompter_.RememberFoldersIn(state_.get());
  }
  const std::optional<SavedPlace> place = state_ ? state_->Place() : std::nullopt;
  if (place) normalDecorations_ = place->decorations;
  PlaceWindow(*this, place, QSize(725, 501 + menuBar()->sizeHint().height()));

  FormCreate();
  // The settings dialog comes right after the window: it loads the settings it shows, lists the
  // adapters and fills the adapter menu.
  settings_ = new TForm2(*settingsLink_, net_, prompter_, this);
  connect(this, &TForm1::AdapterChosen, settings_, &TForm2::AdapterChosen);
  connect(this, &TForm1::TrialStartFailed, settings_, &TForm2::TrialStartFailed);

  // The update check compares with the installed version in the settings file; without that file
  // there is nothing to compare, and tmr3 stops.
  if (Store()) {
    updater_ = std::make_unique<UpdateChecker>(*Store(), prompter_, this,
                                               UpdateCheckerOptions{options_.programDir, options_.updateBase});
  } else {
    updateCheckTimer_->stop();
  }
  RestoreState();

  // The automatic start counts from the end of start-up: the settings dialog's creation may have
  // shown a message that the person answers late, and sniffing must not start under it.
  if (autoStart_) autoStartTimer_->start(3000);
  session_->Pump().Start();
}

// The session stops reporting and its capture thread has returned before any widget goes.
TForm1::~TForm1() {
  prompter_.RememberFoldersIn(nullptr);
  session_->Shutdown();
}

// --- creation (the widgets themselves: main_window_build.cpp) ---

void TForm1::FormCreate() {
  setWindowIcon(AppIcon());

  connect(webStrip_, &WebStrip::LocationChanged, this,
          [this](const QString& address) { Handler().SetBrowserLocation(address.toStdString()); });
  Handler().SetAdPage(kAdPage);
  webStrip_->Navigate(QUrl(QString::fromLatin1(kAdPage)), options_.fetchAdPage);

  Handler().workMode.store(WorkMode::Url);

  const QString iniPath = SettingsFilePath(options_.programDir);
  // Until a settings file is open nothing is loaded and nothing written.
  settingsModel_->Open(nullptr);
  if (const QString problem = SettingsFileProblem(iniPath); !problem.isEmpty()) {
    prompter_.Message(this, BoxKind::Error, QStringLiteral("无法读取设置文件 %1：%2").arg(iniPath, problem), BoxButtons::Ok);
    return;
  }
  if (!QFileInfo(iniPath).isFile()) {
    prompter_.Message(this, BoxKind::Error, QStringLiteral("安装文件损坏，请重新安装！"), BoxButtons::Ok);
    return;
  }
  settingsModel_->Open(std::make_unique<SettingsStore>(QFile::encodeName(iniPath).toStdString()));
  const AppSettings& settings = settingsModel_->Values();
  setWindowTitle(FromGbk(settings.WindowTitle()));

  startCaptureButton_->setEnabled(true);
  startCaptureAction_->setEnabled(true);
  Handler().test.TestActive.store(false);
  listPages_->setCurrentIndex(0);
  // Armed here, started once the whole start-up is done (see the end of the constructor).
  autoStart_ = settings.AutoRun();
  Handler().SetFilter(PacketFilter{});
}

void TForm1::SetAdapters(const std::vector<CaptureDevice>& devices) {
  for (QAction* a : adapterItems_) {
    adapterMenu_->removeAction(a);
    a->deleteLater();
  }
  adapterItems_.clear();
  for (const CaptureDevice& device : devices) {
    auto* a = new QAction(FromGbk(device.name), this);
    a->setCheckable(true);
    a->setChecked(device.name == AdapterName());
    a->setData(QByteArray::fromStdString(device.name));
    if (!device.description.empty()) a->setToolTip(FromGbk(device.description));
    adapterMenu_->insertAction(adapterMenuSeparator_, a);
    adapterItems_.push_back(a);
    connect(a, &QAction::triggered, this, [this, a] { ChooseAdapterItem(a); });
  }
}

// --- sessions ---

void TForm1::BeginSniffing() {
  statusFile_->hide();
  session_->Star();
}

void TForm1::StartForTrial() {
  statusFile_->hide();
  session_->Star(/*forTrial=*/true);
}

void TForm1::EndSniffing() {
  session_->Stop();
  startCaptureButton_->setEnabled(true);
  startCaptureAction_->setEnabled(true);
  statusRunning_->setText(kStatusStopped);
}

bool TForm1::OpenCaptureFile(const QString& path) {
  autoStartTimer_->stop();  // a file opened now is not to be wiped by the automatic start of live sniffing
  if (!net_.CanReadFiles()) {
    prompter_.Message(this, BoxKind::Error, QStringLiteral("无法读取抓包文件：未找到抓包库 libpcap。"), BoxButtons::Ok);
    return false;
  }
  // The file's rows replace the listed ones (remarks included) and end a running capture: asked first.
  const QString question = OpenFileQuestion(List().Lv1().size(), session_->Running() && !session_->FileSession());
  if (!question.isEmpty() &&
      prompter_.Message(this, BoxKind::Warning, question, BoxButtons::YesNo) != BoxAnswer::Yes)
    return false;
  const QFileInfo info(path);
  if (!session_->StartFile(QFile::encodeName(path).toStdString(), info.fileName())) return false;
  // A new list: a filter typed for the old one would hide the file's rows without a word.
  quickFilterEdit_->clear();
  statusFile_->setToolTip(QStringLiteral("抓包文件：%1").arg(QDir::toNativeSeparators(info.absoluteFilePath())));
  statusFile_->show();
  return true;
}

void TForm1::OpenCaptureFileClick() {
  const QString path = prompter_.OpenFileName(this, QStringLiteral("打开抓包文件"),
                                              QStringLiteral("抓包文件(*.pcap *.pcapng *.cap);;所有文件(*)"));
  if (!path.isEmpty()) OpenCaptureFile(path);
}

// The chosen adapter is not there: the adapter test looks for one. A user who may not capture on any
// adapter would only watch that test fail; the start tells them what is missing instead, with the
// command that gives it, as a start on a listed adapter does.
void TForm1::OnAdapterNotFound() {
  std::vector<CaptureDevice> devices;
  const CaptureHelperPlace helper = FindCaptureHelper();
  if (net_.ListDevices(devices)) {
    if (const auto device = AdapterWithoutRights(net_, devices, AdapterName(), helper)) {
      prompter_.Message(this, BoxKind::Error,
                        MessageWithCommands(QString::fromStdString(
                            CaptureRightsMessage(*device, helper.path, helper.installed))),
                        BoxButtons::Ok);
      return;
    }
  }
  prompter_.Message(this, BoxKind::Information, QStringLiteral("网络适配器设置错误，程序将会测试所有网络适配器！"),
                    BoxButtons::Ok);
  adapterRetryTimer_->start(1000);
}

// The reason is worded for the person already, naming the file or adapter.
void TForm1::OnStartFailed(const QString& why, bool /*file*/) {
  prompter_.Message(this, BoxKind::Error, MessageWithCommands(why), BoxButtons::Ok);
}

void TForm1::ShowRunning(bool running) {
  startCaptureButton_->setEnabled(!running);
  startCaptureAction_->setEnabled(!running);
  statusRunning_->setText(running ? kStatusRunning : kStatusStopped);
  ShowFilterBadge();  // a stop empties the filter
}

// The packet filter narrows the URL list too: in URL mode, whenever it does, the status bar says so.
void TForm1::ShowFilterBadge() {
  if (filterBadge_ == nullptr) return;
  const auto filter = Handler().Filter();
  const QString summary = filter ? UrlModeFilterSummary(*filter) : QString();
  const bool shown = !summary.isEmpty() && Handler().workMode.load() == WorkMode::Url;
  filterBadge_->setText(shown ? QStringLiteral("数据包过滤：%1 ✕").arg(summary) : QString());
  filterBadge_->setToolTip(shown ? QStringLiteral("只列出通过数据包过滤的地址。点击清除过滤，列出所有地址。") : QString());
  filterBadge_->setVisible(shown);
}

void TForm1::ClearPacketFilter() {
  Handler().SetFilter(PacketFilter{});
  // The dialog shows the filter it was opened with: the next opening starts from the cleared one.
  if (filterDialog_) {
    filterDialog_->close();
    filterDialog_->deleteLater();
    filterDialog_ = nullptr;
  }
  ShowFilterBadge();
}

void TForm1::ShowFileProgress(const QString& name, quint64 frames, bool reading) {
  statusFile_->setText(reading ? QStringLiteral("读取 %1：%2 帧").arg(name).arg(frames)
                               : QStringLiteral("%1：%2 帧").arg(name).arg(frames));
}

void TForm1::ChooseAdapterItem(QAction* item) {
  for (QAction* a : adapterItems_) a->setChecked(false);
  item->setChecked(true);
  SetAdapterName(item->data().toByteArray().toStdString());
  const auto it = std::find(adapterItems_.begin(), adapterItems_.end(), item);
  if (it != adapterItems_.end()) emit AdapterChosen(static_cast<int>(it - adapterItems_.begin()));
  if (Store()) {
    Guarded(prompter_, this, [this] {
      settingsModel_->Edit(keys::kAdapterName, [this](AppSettings& s) { s.SetAdapterName(AdapterName()); });
    });
  }
}

// --- work modes and views ---

void TForm1::SwitchToUrlMode() {
  urlModeAction_->setChecked(true);
  packetModeAction_->setChecked(false);
  session_->Lv1Rows().SetModeCaptions(QStringLiteral("文件类型"), QStringLiteral("备注"));
  Handler().workMode.store(WorkMode::Url);
  statusMode_->setText(QStringLiteral("当前工作模式[嗅探URL]"));
  ShowFilterBadge();
}

void TForm1::SwitchToPacketMode() {
  urlModeAction_->setChecked(false);
  packetModeAction_->setChecked(true);
  ViewByCategory(kViewAllEntry);
  Handler().workMode.store(WorkMode::Packets);
  session_->Lv1Rows().SetModeCaptions(QStringLiteral("协议"), QStringLiteral("长度"));
  statusMode_->setText(QStringLiteral("当前工作模式[列举数据包]"));
  ShowFilterBadge();
}

void TForm1::ViewByCategory(int entry) {
  session_->ShowView(entry);
  OnViewChanged();
}

void TForm1::OnViewChanged() {
  const int active = List().ActiveEntry();
  for (std::size_t i = 0; i < viewEntries_.size(); ++i)
    if (viewEntries_[i] != nullptr) viewEntries_[i]->setChecked(static_cast<int>(i) == active);
  listPages_->setCurrentIndex(List().ShowingAll() ? 0 : 1);
}

// --- selection ---

std::optional<SelectionCopy> TForm1::Selection() const { return listCommands_->Selection(); }

void TForm1::OnRowClicked(const QPoint& globalPos) {
  const auto selection = Selection();
  if (!selection) return;
  hintText_ = QStringLiteral("IP:  ") + FromGbk(selection->data ? selection->data->Remote : std::string());
  hintPos_ = globalPos;
  QToolTip::hideText();
  hintTimer_->start(style()->styleHint(QStyle::SH_ToolTip_WakeUpDelay));
  ListCommands::PutOnClipboard(selection->address);
  if (viewPacketAction_->isChecked() && inspector_ && selection->data) {
    inspector_->FAddress = selection->address;
    inspector_->FRemote = selection->data->Remote;
    inspector_->FPacket = selection->data->Packet;
    inspector_->ShowDatas();
  }
}

// The hint floats over the list it was asked for, and only while that list is under the pointer: it
// goes when the pointer moves off the list, and HideHint ends it earlier (see its callers).
void TForm1::ShowHint() {
  if (!isVisible() || isMinimized()) return;
  QWidget* list = listPages_->currentIndex() == 0 ? mainListView_->viewport() : lv2->viewport();
  QToolTip::showText(hintPos_, hintText_, list, list->rect());
}

void TForm1::HideHint() {
  hintTimer_->stop();
  if (QToolTip::isVisible() && QToolTip::text() == hintText_) QToolTip::hideText();
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
  if (watched == mainListView_->viewport() || watched == lv2->viewport()) {
    if (event->type() == QEvent::MouseButtonRelease) {
      auto* mouse = static_cast<QMouseEvent*>(event);
      OnRowClicked(mouse->globalPosition().toPoint());
    } else if (event->type() == QEvent::MouseButtonDblClick) {
      // The view reports a double click on a row itself (doubleClicked); below the last row the
      // double click takes the selected row.
      auto* mouse = static_cast<QMouseEvent*>(event);
      QTableView* view = watched == mainListView_->viewport() ? mainListView_ : lv2;
      if (mouse->button() == Qt::LeftButton && !view->indexAt(mouse->position().toPoint()).isValid() &&
          view->selectionModel()->hasSelection()) {
        DownloadOnDoubleClick();
        return true;
      }
    } else if (event->type() == QEvent::Leave || event->type() == QEvent::Hide) {
      HideHint();
    }
  }
  return QMainWindow::eventFilter(watched, event);
}

// --- list commands ---

void TForm1::CopySelectedAddress() { listCommands_->CopyAddress(); }
void TForm1::CopySelectedPacket() { listCommands_->CopyPacket(); }
void TForm1::DeleteSelectedRow() { listCommands_->Delete(); }
void TForm1::AddRemarkToRow() { listCommands_->AddRemark(); }
void TForm1::SaveList() { listCommands_->Save(); }
void TForm1::ClearBothLists() { session_->ClearLists(); }
void TForm1::DecodeSelectedAddress() { listCommands_->DecodeAddress(); }

void TForm1::ToggleViewPacket() {
  const auto selection = Selection();
  if (!selection || !selection->data) {
    viewPacketAction_->setChecked(inspector_ != nullptr);
    return;
  }
  if (!inspector_) {
    // The local address of the row's family: an IPv6 row shows an IPv6 local address.
    inspector_ = new TForm4(
        [this] {
          std::vector<std::string> locals;
          for (int i = 0; i < localAddressBox_->count(); ++i) locals.push_back(ToGbk(localAddressBox_->itemText(i)));
          return LocalAddressFor(inspector_ ? inspector_->FRemote : std::string(), locals);
        },
        this);
    connect(inspector_, &TForm4::Closed, this, [this] { viewPacketAction_->setChecked(false); });
  }
  inspector_->show();
  inspector_->raise();
  viewPacketAction_->setChecked(true);
  inspector_->FAddress = selection->address;
  inspector_->FRemote = selection->data->Remote;
  inspector_->FPacket = selection->data->Packet;
  inspector_->ShowDatas();
}

void TForm1::OpenFilterDialog() {
  if (!filterDialog_) {
    std::vector<std::string> hosts;
    for (const ListRow& row : List().Lv1()) AddSiteHost(List().AddressOf(row), hosts);
    filterDialog_ = new TForm3(*Handler().Filter(), hosts, prompter_, resolver_,
                               [this](PacketFilter filter) {
                                 Handler().SetFilter(std::move(filter));
                                 ShowFilterBadge();
                               },
                               this);
  }
  filterDialog_->show();
  filterDialog_->raise();
  filterDialog_->activateWindow();
}

void TForm1::ExitProgram() { close(); }

// --- the settings dialog ---

// The settings dialog exists from the end of start-up to the end of the program; a command that
// arrives outside that time (a timer or a key while a start-up message is open) does nothing.
void TForm1::TestAdapters() {
  if (settings_ == nullptr) return;
  settings_->ShowPage(TForm2::kPageAdapters);
  settings_->TestAdapters();
}

void TForm1::OpenSettings() {
  if (settings_ != nullptr) settings_->ShowPage(TForm2::kPageGeneral);
}

// The capture library is missing: offer its installer when one stands beside the program, else the
// page that tells how to install it; then the program ends.
void TForm1::OnPcapMissingTimer() {
  pcapMissingTimer_->stop();
  if (AdapterCount() == 0) {
    const QString installer = DataFolder() + QStringLiteral("/") + QString::fromLatin1(kPcapInstaller);
    shellOpen_(QFileInfo(installer).isFile() ? installer : QString::fromLatin1(kPcapInstallPage));
  }
  close();
}

// No adapter answers to the chosen name: open the adapter page and test them all.
void TForm1::OnAdapterRetryTimer() {
  // Not yet: the timer fires again once the dialog exists and the person has answered the open box.
  if (settings_ == nullptr || AnsweringABox()) return;
  adapterRetryTimer_->stop();
  TestAdapters();
}

// --- download hand-off, help, update check and about box ---

void TForm1::SendToNetTransport() { handOff_->DownloadWithNetTransport(Selection()); }
void TForm1::SendToFlashGet() { handOff_->DownloadWithFlashGet(Selection()); }
void TForm1::SendToDorrinel() { handOff_->DownloadWithSimpleDownloader(Selection()); }

// The default download program and the other program's command line, as the settings hold them.
void TForm1::DownloadOnDoubleClick() {
  const AppSettings& settings = settingsModel_->Values();
  handOff_->DoubleClick(Selection(), static_cast<int>(settings.Downloader()), settings.DownloadPath());
}

void TForm1::ShowHelpFile() { qv::ShowHelpFile(options_.programDir); }

void TForm1::CheckForUpdate() {
  if (!updater_) {
    // No settings file: no installed version to compare with.
    prompter_.Message(this, BoxKind::Error, QStringLiteral("安装文件损坏，请重新安装！"), BoxButtons::Ok);
    return;
  }
  updater_->CheckForUpdate();
}

void TForm1::ShowAboutBox() { TAboutBox::ShowAboutBox(Store()); }

// Once, 59 s after start. While the window is still being built or a box waits for an answer, the
// check waits and is tried again half a second later.
void TForm1::OnUpdateCheckTimer() {
  if (settings_ == nullptr || AnsweringABox()) {
    updateCheckTimer_->start(500);
    return;
  }
  updateCheckTimer_->stop();
  if (updater_) updater_->OnUpdateCheckTimer();
}

void TForm1::VisitMakerSite() {
  QDesktopServices::openUrl(QUrl(QStringLiteral("http://") + QString::fromLatin1(kSiteHost) + QLatin1Char('/')));
}

// --- timers ---

void TForm1::OnLocalAddressTimer() {
  localAddressTimer_->stop();
  session_->RefreshLocalAddresses();
}

void TForm1::OnAutoStartTimer() {
  if (AnsweringABox()) return;  // tried again a period later
  autoStartTimer_->stop();
  // An adapter test that runs chooses the adapters itself.
  if (startCaptureButton_->isEnabled() && !Handler().test.TestActive.load()) BeginSniffing();
}

void TForm1::FillLocalAddresses(const std::vector<std::string>& addresses) {
  localAddressBox_->clear();
  for (const std::string& a : addresses) localAddressBox_->addItem(FromGbk(a));
  localAddressBox_->setCurrentIndex(localAddressBox_->count() - 1);
}

// --- window ---

// A timer that would start something new (sniffing, the adapter test) waits while a
// message or dialog of this program is open, so that its own messages never stack on one the person
// has not answered yet.
bool TForm1::AnsweringABox() const { return QApplication::activeModalWidget() != nullptr; }

void TForm1::closeEvent(QCloseEvent* event) {
  HideHint();
  KeepState();
  session_->Pump().Stop();
  session_->End();
  tray_->hide();
  event->accept();
}

// The window's own minimise button minimises as usual (the task bar keeps its entry); only the
// minimise-to-tray command hides it in the tray. Losing the activation ends the hover hint.
void TForm1::changeEvent(QEvent* event) {
  if (event->type() == QEvent::ActivationChange && !isActiveWindow()) HideHint();
  if (event->type() == QEvent::WindowStateChange && isMinimized()) HideHint();
  QMainWindow::changeEvent(event);
}

// Whatever brings the window back (the tray icon, a second start), the tray icon goes with it.
void TForm1::showEvent(QShowEvent* event) {
  tray_->hide();
  QMainWindow::showEvent(event);
}

void TForm1::moveEvent(QMoveEvent* event) {
  if (isVisible() && windowState() == Qt::WindowNoState) normalDecorations_ = DecorationsOf(*this);
  QMainWindow::moveEvent(event);
}

void TForm1::resizeEvent(QResizeEvent* event) {
  if (isVisible() && windowState() == Qt::WindowNoState) normalDecorations_ = DecorationsOf(*this);
  QMainWindow::resizeEvent(event);
}

bool TForm1::TrayAvailable() const {
  return options_.trayAvailable ? options_.trayAvailable() : QSystemTrayIcon::isSystemTrayAvailable();
}

void TForm1::MinimiseToTrayClick() {
  HideHint();
  if (!TrayAvailable()) {
    // No tray to come back from: a hidden window would be lost, so it minimises as usual.
    showMinimized();
    return;
  }
  hide();
  tray_->show();
}

void TForm1::RestoreFromTray() {
  setWindowState(windowState() & ~Qt::WindowMinimized);
  show();
  raise();
  activateWindow();
}

// --- remembered state ---

void TForm1::RestoreState() {
  if (!state_) return;
  ApplyHeaderWidths(*mainListView_->horizontalHeader(), state_->ColumnWidths(QStringLiteral("LV1")));
  ApplyHeaderWidths(*lv2->horizontalHeader(), state_->ColumnWidths(QStringLiteral("lv2")));
  // The work mode is not restored: the window always starts in URL mode.
}

void TForm1::KeepState() {
  if (!state_) return;
  state_->SetPlace(PlaceOf(*this, normalDecorations_));
  state_->SetColumnWidths(QStringLiteral("LV1"), HeaderWidths(*mainListView_->horizontalHeader()));
  state_->SetColumnWidths(QStringLiteral("lv2"), HeaderWidths(*lv2->horizontalHeader()));
  if (!state_->Save())
    std::fprintf(stderr, "quelvar: the window state cannot be written to %s\n", qPrintable(state_->Path()));
}

}  // namespace qv
