#include "app/ui/main_window.h"

#include <QActionGroup>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPersistentModelIndex>
#include <QProcess>
#include <QRadioButton>
#include <QScreen>
#include <QStackedWidget>
#include <QStatusBar>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QTableView>
#include <QToolBar>
#include <QToolButton>
#include <QToolTip>
#include <QVBoxLayout>

#include <algorithm>
#include <stdexcept>

#include "app/ui/about_box.h"
#include "app/ui/gbk_text.h"
#include "app/ui/hand_off.h"
#include "app/ui/help_viewer.h"
#include "app/ui/icons.h"
#include "app/ui/list_file.h"
#include "app/ui/program_files.h"
#include "app/ui/prompter.h"
#include "app/ui/update_checker.h"
#include "app/ui/web_strip.h"
#include "capture/capture_file.h"
#include "capture/host2ip.h"
#include "packets/ui/packet_inspector.h"
#include "settings/ui/settings_dialog.h"
#include "urls/en2cn.h"

namespace qv {

namespace {

const QString kStatusRunning = QStringLiteral("开始嗅探");
const QString kStatusStopped = QStringLiteral("停止嗅探");

// A label of the status bar that runs a command when clicked.
class ClickLabel : public QLabel {
 public:
  ClickLabel(const QString& text, std::function<void()> onClick, QWidget* parent)
      : QLabel(text, parent), onClick_(std::move(onClick)) {
    setCursor(Qt::PointingHandCursor);
  }

 protected:
  void mouseReleaseEvent(QMouseEvent* event) override {
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()) && onClick_) onClick_();
    QLabel::mouseReleaseEvent(event);
  }

 private:
  std::function<void()> onClick_;
};

}  // namespace

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
      handler_(types_, queue_, [this] { return CurrentLocalAddresses(); }),
      session_(net_, handler_,
               SessionEvents{[this] { OnListCleared(); }, [this] { OnAdapterNotFound(); },
                             [this](const std::string& why) { OnStartFailed(why); },
                             [this](bool running) { OnRunningChanged(running); },
                             [this](const std::string& why) {
                               prompter_.Message(this, BoxKind::Error,
                                                 QStringLiteral("嗅探已中止：%1").arg(QString::fromLocal8Bit(why.c_str())),
                                                 BoxButtons::Ok);
                             }}) {
  setObjectName(QStringLiteral("TForm1"));
  setWindowTitle(QStringLiteral("Quelvar"));

  lv1Model_ = new Lv1Model(list_, this);
  lv2Model_ = new Lv2Model(list_, this);
  hub_ = std::make_unique<ListModelHub>(*lv1Model_, *lv2Model_, [this] { OnViewChanged(); });
  list_.SetObserver(hub_.get());
  pump_ = new RowPump(queue_, list_, *hub_, this);
  connect(pump_, &RowPump::LocalAddressesReported, this, &TForm1::FillLocalAddresses);

  auto timer = [this](const char* name, int interval) {
    auto* t = new QTimer(this);
    t->setObjectName(QString::fromLatin1(name));
    t->setSingleShot(false);
    t->setInterval(interval);
    return t;
  };
  tmr1 = timer("tmr1", 1000);
  tmr2 = timer("tmr2", 3000);
  tmr4 = timer("tmr4", 1);
  tmr5 = timer("tmr5", 1000);
  connect(tmr1, &QTimer::timeout, this, &TForm1::tmr1Timer);
  connect(tmr2, &QTimer::timeout, this, &TForm1::tmr2Timer);
  connect(tmr4, &QTimer::timeout, this, &TForm1::tmr4Timer);
  connect(tmr5, &QTimer::timeout, this, &TForm1::tmr5Timer);
  // The hand-off's timers are connected inside it and idle until a download program is started.
  handOff_ = std::make_unique<HandOff>(prompter_, this, HandOffOptions{options_.programDir, options_.registryPath});
  tmr6 = handOff_->tmr6();
  tmr7 = handOff_->tmr7();
  sessionWatch_ = timer("sessionWatch", 250);
  connect(sessionWatch_, &QTimer::timeout, this, &TForm1::WatchSession);
  hintTimer_ = new QTimer(this);
  hintTimer_->setSingleShot(true);
  connect(hintTimer_, &QTimer::timeout, this, &TForm1::ShowHint);

  BuildLists();
  BuildMenus();
  BuildToolBar();
  BuildStatusBar();

  tray_ = new QSystemTrayIcon(AppIcon(), this);
  tray_->setObjectName(QStringLiteral("TrayIcon"));
  tray_->setToolTip(QStringLiteral("欢迎使用Quelvar！"));
  connect(tray_, &QSystemTrayIcon::activated, this, [this] {
    showNormal();
    activateWindow();
    tray_->hide();
  });

  // A client area of 725 x 501 below the menu bar, centred on the screen.
  resize(725, 501 + menuBar()->sizeHint().height());
  if (QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());

  FormCreate();
  // The settings dialog comes right after the window: it loads the settings it shows, lists the
  // adapters and fills the adapter menu.
  settings_ = new TForm2(*this, net_, prompter_);

  // The update check compares with the installed version in the settings file; without that file
  // there is nothing to compare, and its timer stays idle.
  if (store_) {
    updater_ = std::make_unique<UpdateChecker>(*store_, prompter_, this,
                                               UpdateCheckerOptions{options_.programDir, options_.updateBase});
    tmr3 = updater_->tmr3();
  } else {
    tmr3 = timer("tmr3", 59000);
  }

  // Timers that run from the start, started only now that every window exists: the settings dialog's
  // creation may have shown a message that the person answers late, and no timer may reach a window
  // that is still being built. tmr2 runs when FormCreate armed it (autoRun); the update check runs
  // once, 59 s after start.
  tmr1->start();
  if (autoStart_) tmr2->start(3000);
  if (updater_) tmr3->start();
  pump_->Start();
}

TForm1::~TForm1() {
  closing_ = true;
  EndSession();
  list_.SetObserver(nullptr);
}

void TForm1::EndSession() {
  // The capture thread must have left the frame handler and the library before either goes.
  session_.Stop();
  session_.Join();
}

// --- creation ---

QAction* TForm1::NewAction(const char* name, const QString& text, const QKeySequence& key) {
  auto* a = new QAction(text, this);
  a->setObjectName(QString::fromLatin1(name));
  if (!key.isEmpty()) a->setShortcut(key);
  addAction(a);  // the shortcut works wherever the focus is in this window
  return a;
}

void TForm1::BuildMenus() {
  QMenuBar* bar = menuBar();

  // 嗅探(&C)
  QMenu* sniff = bar->addMenu(QStringLiteral("嗅探(&C)"));
  sniff->setObjectName(QStringLiteral("N10"));
  N12 = NewAction("N12", QStringLiteral("开始嗅探"), Qt::Key_F3);
  N13 = NewAction("N13", QStringLiteral("停止嗅探"), Qt::Key_F4);
  actOpenCapture = NewAction("actOpenCapture", QStringLiteral("打开抓包文件…"), QKeySequence(Qt::CTRL | Qt::Key_O));
  sniff->addAction(N12);
  sniff->addAction(N13);
  sniff->addAction(actOpenCapture);
  sniff->addSeparator();
  QMenu* mode = sniff->addMenu(QStringLiteral("工作模式"));
  mode->setObjectName(QStringLiteral("N33"));
  URL2 = NewAction("URL2", QStringLiteral("获取URL"));
  N34 = NewAction("N34", QStringLiteral("列举数据包"));
  URL2->setCheckable(true);
  N34->setCheckable(true);
  URL2->setChecked(true);
  mode->addAction(URL2);
  mode->addAction(N34);
  N39 = NewAction("N39", QStringLiteral("过滤设置"));
  sniff->addAction(N39);
  sniff->addSeparator();
  N15 = NewAction("N15", QStringLiteral("退  出"), QKeySequence(Qt::CTRL | Qt::Key_Q));
  sniff->addAction(N15);

  // 列表(&L)
  QMenu* listMenu = bar->addMenu(QStringLiteral("列表(&L)"));
  listMenu->setObjectName(QStringLiteral("N19"));
  N20 = NewAction("N20", QStringLiteral("复制地址"), QKeySequence(Qt::CTRL | Qt::Key_C));
  N21 = NewAction("N21", QStringLiteral("复制数据包"), QKeySequence(Qt::CTRL | Qt::Key_A));
  N23 = NewAction("N23", QStringLiteral("删除"), Qt::Key_Delete);
  N4 = NewAction("N4", QStringLiteral("增加备注"), Qt::Key_Insert);
  N17 = NewAction("N17", QStringLiteral("保存列表"), QKeySequence(Qt::CTRL | Qt::Key_S));
  N9 = NewAction("N9", QStringLiteral("清空列表"), QKeySequence(Qt::CTRL | Qt::Key_Delete));
  N24 = NewAction("N24", QStringLiteral("用影音传送带下载"), QKeySequence(Qt::CTRL | Qt::Key_Z));
  N25 = NewAction("N25", QStringLiteral("用网际快车下载"), QKeySequence(Qt::CTRL | Qt::Key_X));
  N49 = NewAction("N49", QStringLiteral("用简易下载软件下载"), QKeySequence(Qt::CTRL | Qt::Key_E));
  listMenu->addActions({N20, N21, N23, N4});
  listMenu->addSeparator();
  listMenu->addActions({N17, N9});
  listMenu->addSeparator();
  listMenu->addActions({N24, N25, N49});

  // 设置(&O)
  QMenu* settings = bar->addMenu(QStringLiteral("设置(&O)"));
  settings->setObjectName(QStringLiteral("N16"));
  N1 = settings->addMenu(QStringLiteral("网络适配器(&D)"));
  N1->setObjectName(QStringLiteral("N1"));
  N1Separator = N1->addSeparator();
  N51 = NewAction("N51", QStringLiteral("网卡测试"));
  N1->addAction(N51);
  settings->addSeparator();
  N18 = NewAction("N18", QStringLiteral("综合设置(&P)"));
  settings->addAction(N18);

  // 帮助(&H)
  QMenu* help = bar->addMenu(QStringLiteral("帮助(&H)"));
  help->setObjectName(QStringLiteral("N28"));
  N29 = NewAction("N29", QStringLiteral("帮助文件"), Qt::Key_F1);
  N31 = NewAction("N31", QStringLiteral("访问作者主页"), QKeySequence(Qt::CTRL | Qt::Key_H));
  N30 = NewAction("N30", QStringLiteral("升级查询"), QKeySequence(Qt::CTRL | Qt::Key_U));
  N32 = NewAction("N32", QStringLiteral("关于Quelvar"));
  help->addActions({N29, N31, N30});
  help->addSeparator();
  help->addAction(N32);

  // Popup menu of both lists.
  pm1 = new QMenu(this);
  pm1->setObjectName(QStringLiteral("pm1"));
  QMenu* view = pm1->addMenu(QStringLiteral("分类察看"));
  view->setObjectName(QStringLiteral("N5"));
  auto* viewGroup = new QActionGroup(this);
  viewGroup->setExclusive(true);
  viewEntries_.assign(kViewEntryCount, nullptr);
  for (int entry = 0; entry < kViewEntryCount; ++entry) {
    const std::string_view caption = ViewEntryCaption(entry);
    if (caption.empty()) {
      view->addSeparator();
      continue;
    }
    auto* a = new QAction(FromGbk(caption), this);
    a->setObjectName(entry == kViewAllEntry ? QStringLiteral("N6") : QStringLiteral("N6_%1").arg(entry));
    a->setCheckable(true);
    a->setChecked(entry == kViewAllEntry);
    viewGroup->addAction(a);
    view->addAction(a);
    viewEntries_[static_cast<std::size_t>(entry)] = a;
    connect(a, &QAction::triggered, this, [this, entry] { N6Click(entry); });
  }
  pm1->addSeparator();
  N27 = NewAction("N27", QStringLiteral("查看数据包"), QKeySequence(Qt::CTRL | Qt::Key_K));
  N27->setCheckable(true);
  N40 = NewAction("N40", QStringLiteral("地址汉化"), QKeySequence(Qt::CTRL | Qt::Key_D));
  pm1->addActions({N20, N21, N27, N40});
  pm1->addSeparator();
  pm1->addActions({N24, N25, N49});
  pm1->addSeparator();
  pm1->addAction(N9);

  // Popup of the settings dialog's file-type tree.
  pm2PPM1 = new QMenu(this);
  pm2PPM1->setObjectName(QStringLiteral("pm2PPM1"));
  QAction* item1 = pm2PPM1->addAction(QStringLiteral("增加文件类型"));
  item1->setObjectName(QStringLiteral("MenuItem1"));
  QAction* item2 = pm2PPM1->addAction(QStringLiteral("删除所选文件类型"));
  item2->setObjectName(QStringLiteral("MenuItem2"));
  connect(item1, &QAction::triggered, this, &TForm1::MenuItem1Click);
  connect(item2, &QAction::triggered, this, &TForm1::MenuItem2Click);

  connect(N12, &QAction::triggered, this, &TForm1::btn3Click);
  connect(N13, &QAction::triggered, this, &TForm1::btn4Click);
  connect(actOpenCapture, &QAction::triggered, this, &TForm1::OpenCaptureFileClick);
  connect(URL2, &QAction::triggered, this, &TForm1::URL2Click);
  connect(N34, &QAction::triggered, this, &TForm1::N34Click);
  connect(N39, &QAction::triggered, this, &TForm1::N39Click);
  connect(N15, &QAction::triggered, this, &TForm1::btn11Click);
  connect(N20, &QAction::triggered, this, &TForm1::N20Click);
  connect(N21, &QAction::triggered, this, &TForm1::N21Click);
  connect(N23, &QAction::triggered, this, &TForm1::N23Click);
  connect(N4, &QAction::triggered, this, &TForm1::N4Click);
  connect(N17, &QAction::triggered, this, &TForm1::N17Click);
  connect(N9, &QAction::triggered, this, &TForm1::N9Click);
  connect(N24, &QAction::triggered, this, &TForm1::N8Click);
  connect(N25, &QAction::triggered, this, &TForm1::N43Click);
  connect(N49, &QAction::triggered, this, &TForm1::N3Click);
  connect(N51, &QAction::triggered, this, &TForm1::N51Click);
  connect(N18, &QAction::triggered, this, &TForm1::N18Click);
  connect(N29, &QAction::triggered, this, &TForm1::N29Click);
  connect(N31, &QAction::triggered, this, &TForm1::lbl1Click);
  connect(N30, &QAction::triggered, this, &TForm1::N30Click);
  connect(N32, &QAction::triggered, this, &TForm1::N32Click);
  connect(N27, &QAction::triggered, this, &TForm1::N27Click);
  connect(N40, &QAction::triggered, this, &TForm1::N40Click);
}

void TForm1::BuildToolBar() {
  QToolBar* bar = addToolBar(QStringLiteral("tlb1"));
  bar->setObjectName(QStringLiteral("tlb1"));
  bar->setMovable(false);
  bar->setFloatable(false);
  bar->setIconSize(QSize(40, 40));
  bar->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
  // A white strip whatever the desktop's theme: its captions are dark on it, also under a dark theme.
  bar->setStyleSheet(QStringLiteral("QToolBar { background: white; border: none; spacing: 2px; }"
                                    "QToolButton { min-width: 55px; min-height: 60px; color: black; }"));
  auto button = [this, bar](const char* name, const QString& text, const QIcon& icon) {
    auto* a = new QAction(icon, text, this);
    a->setObjectName(QString::fromLatin1(name));
    bar->addAction(a);
    return a;
  };
  btn3 = button("btn3", QStringLiteral("开始嗅探"), StartIcon());
  btn4 = button("btn4", QStringLiteral("停止嗅探"), StopIcon());
  bar->addSeparator();
  btn5 = button("btn5", QStringLiteral("设  置"), SettingsIcon());
  bar->addSeparator();
  btn11 = button("btn11", QStringLiteral("退  出"), ExitIcon());
  bar->addSeparator();
  connect(btn3, &QAction::triggered, this, &TForm1::btn3Click);
  connect(btn4, &QAction::triggered, this, &TForm1::btn4Click);
  connect(btn5, &QAction::triggered, this, &TForm1::N18Click);
  connect(btn11, &QAction::triggered, this, &TForm1::btn11Click);

  // The web page: a 555 x 193 browser placed at (-11, -17) in a white 460 x 60 panel, so that the
  // panel shows the page without its margins.
  auto* panel = new QWidget(bar);
  panel->setObjectName(QStringLiteral("pnl1"));
  panel->setFixedSize(460, 60);
  panel->setAutoFillBackground(true);
  QPalette pal = panel->palette();
  pal.setColor(QPalette::Window, Qt::white);
  panel->setPalette(pal);
  TWBS1 = new WebStrip(panel);
  TWBS1->setGeometry(-11, -17, 555, 193);
  bar->addWidget(panel);
}

void TForm1::BuildLists() {
  auto setUp = [this](QTableView* view, const char* name, QAbstractItemModel* model) {
    view->setObjectName(QString::fromLatin1(name));
    view->setModel(model);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->setShowGrid(true);
    view->setWordWrap(false);
    view->setTextElideMode(Qt::ElideRight);
    view->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    view->setContextMenuPolicy(Qt::CustomContextMenu);
    view->verticalHeader()->hide();
    view->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    view->verticalHeader()->setDefaultSectionSize(view->fontMetrics().height() + 6);
    view->horizontalHeader()->setHighlightSections(false);
    view->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    view->horizontalHeader()->setStretchLastSection(true);
    view->viewport()->installEventFilter(this);
    connect(view, &QWidget::customContextMenuRequested, this,
            [this, view](const QPoint& pos) { pm1->popup(view->viewport()->mapToGlobal(pos)); });
    connect(view, &QAbstractItemView::doubleClicked, this, &TForm1::LV1Db2Click);
  };

  pgc1 = new QStackedWidget(this);
  pgc1->setObjectName(QStringLiteral("pgc1"));

  auto* page0 = new QWidget(pgc1);
  page0->setObjectName(QStringLiteral("ts1"));
  auto* layout0 = new QVBoxLayout(page0);
  layout0->setContentsMargins(0, 0, 0, 0);
  cbb2 = new QComboBox(page0);
  cbb2->setObjectName(QStringLiteral("cbb2"));
  cbb2->hide();
  LV1 = new QTableView(page0);
  setUp(LV1, "LV1", lv1Model_);
  LV1->setSelectionMode(QAbstractItemView::ExtendedSelection);
  LV1->setColumnWidth(0, 80);
  LV1->setColumnWidth(1, 88);
  LV1->setColumnWidth(2, 480);
  layout0->addWidget(LV1);

  auto* page1 = new QWidget(pgc1);
  page1->setObjectName(QStringLiteral("ts2"));
  auto* layout1 = new QVBoxLayout(page1);
  layout1->setContentsMargins(0, 0, 0, 0);
  lv2 = new QTableView(page1);
  setUp(lv2, "lv2", lv2Model_);
  lv2->setSelectionMode(QAbstractItemView::SingleSelection);
  lv2->setColumnWidth(0, 100);
  lv2->setColumnWidth(1, 600);
  layout1->addWidget(lv2);

  pgc1->addWidget(page0);
  pgc1->addWidget(page1);
  setCentralWidget(pgc1);
}

void TForm1::BuildStatusBar() {
  QStatusBar* bar = statusBar();
  bar->setObjectName(QStringLiteral("bsSkinStatusBar1"));
  auto panel = [bar](const char* name, const QString& text, int width) {
    auto* l = new QLabel(text, bar);
    l->setObjectName(QString::fromLatin1(name));
    l->setMinimumWidth(width);
    bar->addWidget(l);
    return l;
  };
  statusCaption_ = panel("bsSkinStatusPanel4", QStringLiteral("状态:"), 81);
  bsSkinStatusPanel5 = panel("bsSkinStatusPanel5", kStatusStopped, 80);
  statusMode_ = panel("bsSkinStatusPanel6", QStringLiteral("当前工作模式[获取URL]"), 161);
  statusFile_ = panel("StatusCaptureFile", QString(), 0);
  statusFile_->hide();
  lbl1 = new ClickLabel(QStringLiteral("官方网站  ") + QString::fromLatin1(kSiteHost), [this] { lbl1Click(); }, bar);
  lbl1->setObjectName(QStringLiteral("lbl1"));
  lbl1->setAlignment(Qt::AlignCenter);
  lbl1->setStyleSheet(QStringLiteral("color: #1a5fb4;"));
  bar->addWidget(lbl1, 1);
}

void TForm1::FormCreate() {
  setWindowIcon(AppIcon());

  connect(TWBS1, &WebStrip::LocationChanged, this,
          [this](const QString& address) { handler_.SetBrowserLocation(address.toStdString()); });
  handler_.SetAdPage(kAdPage);
  TWBS1->Navigate(QUrl(QString::fromLatin1(kAdPage)), options_.fetchAdPage);

  handler_.workMode.store(WorkMode::Url);

  const QString iniPath = SettingsFilePath(options_.programDir);
  if (const QString problem = SettingsFileProblem(iniPath); !problem.isEmpty()) {
    prompter_.Message(this, BoxKind::Error, QStringLiteral("无法读取设置文件 %1：%2").arg(iniPath, problem), BoxButtons::Ok);
    return;
  }
  if (!QFileInfo(iniPath).isFile()) {
    prompter_.Message(this, BoxKind::Error, QStringLiteral("安装文件损坏，请重新安装！"), BoxButtons::Ok);
    return;
  }
  store_ = std::make_unique<SettingsStore>(QFile::encodeName(iniPath).toStdString());
  setWindowTitle(FromGbk(store_->ReadString("system", "title", "Quelvar(Tessoran)")));

  btn3->setEnabled(true);
  N12->setEnabled(true);
  handler_.test.TestActive.store(false);
  pgc1->setCurrentIndex(0);
  // Armed here, started once the whole start-up is done (see the end of the constructor).
  autoStart_ = store_->ReadBool("system", "autoRun", true);
  handler_.SetFilter(PacketFilter{});

}

void TForm1::SetAdapters(const std::vector<CaptureDevice>& devices) {
  for (QAction* a : adapterItems_) {
    N1->removeAction(a);
    a->deleteLater();
  }
  adapterItems_.clear();
  for (const CaptureDevice& device : devices) {
    auto* a = new QAction(FromGbk(device.name), this);
    a->setCheckable(true);
    a->setChecked(device.name == adapterName_);
    a->setData(QByteArray::fromStdString(device.name));
    if (!device.description.empty()) a->setToolTip(FromGbk(device.description));
    N1->insertAction(N1Separator, a);
    adapterItems_.push_back(a);
    connect(a, &QAction::triggered, this, [this, a] { c(a); });
  }
}

// --- sessions ---

void TForm1::btn3Click() {
  fileSession_ = false;
  fileLocalAddresses_.Set(std::nullopt);
  statusFile_->hide();
  session_.Star(adapterName_);
}

void TForm1::btn4Click() {
  session_.Stop();
  btn3->setEnabled(true);
  N12->setEnabled(true);
  handler_.SetFilter(handler_.Filter()->AfterStop());
  bsSkinStatusPanel5->setText(kStatusStopped);
}

bool TForm1::OpenCaptureFile(const QString& path) {
  tmr2->stop();  // a file opened now is not to be wiped by the automatic start of live sniffing
  if (!net_.CanReadFiles()) {
    prompter_.Message(this, BoxKind::Error, QStringLiteral("无法读取抓包文件：未找到抓包库 libpcap。"), BoxButtons::Ok);
    return false;
  }
  if (session_.Running()) {
    // Ending the running session must not empty the filter the file is to be read with.
    const auto filter = handler_.Filter();
    EndSession();
    handler_.SetFilter(*filter);
  }
  const std::string file = QFile::encodeName(path).toStdString();
  std::vector<std::string> local = InferLocalAddresses(net_, file);
  if (local.empty()) local = LocalAddresses();
  fileLocalAddresses_.Set(local);
  handler_.SetLocalAddresses(local);
  FillLocalAddresses(local);

  fileSession_ = true;
  fileName_ = QFileInfo(path).fileName();
  fileFramesBase_ = handler_.FramesSeen();
  fileFrames_ = 0;
  statusFile_->setText(QStringLiteral("读取 %1 …").arg(fileName_));
  statusFile_->setToolTip(QStringLiteral("抓包文件：%1").arg(QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath())));
  statusFile_->show();
  if (!session_.StartFile(file)) {
    fileSession_ = false;
    statusFile_->hide();
    return false;
  }
  return true;
}

void TForm1::OpenCaptureFileClick() {
  const QString path = prompter_.OpenFileName(this, QStringLiteral("打开抓包文件"),
                                              QStringLiteral("抓包文件(*.pcap *.pcapng *.cap);;所有文件(*)"));
  if (!path.isEmpty()) OpenCaptureFile(path);
}

std::uint64_t TForm1::FileFrames() const {
  const std::uint64_t seen = handler_.FramesSeen();
  // The count may have been restarted by the session itself.
  return seen >= fileFramesBase_ ? seen - fileFramesBase_ : seen;
}

void TForm1::OnListCleared() {
  // Rows found before the list is emptied belong to the list that is emptied.
  pump_->DrainAll();
  list_.ClearLv1();
}

void TForm1::OnAdapterNotFound() {
  prompter_.Message(this, BoxKind::Information, QStringLiteral("网络适配器设置错误，程序将会测试所有网络适配器！"),
                    BoxButtons::Ok);
  tmr5->start(1000);
}

void TForm1::OnStartFailed(const std::string& why) {
  // During an adapter trial an adapter that cannot be opened just fails its trial: the settings
  // dialog shows why in its row, and no box interrupts the test.
  if (!fileSession_ && handler_.test.TestActive.load()) {
    emit TrialStartFailed(QString::fromLocal8Bit(why.c_str()));
    return;
  }
  const QString text = fileSession_ ? QStringLiteral("无法打开抓包文件：%1") : QStringLiteral("无法开始嗅探：%1");
  prompter_.Message(this, BoxKind::Error, text.arg(QString::fromLocal8Bit(why.c_str())), BoxButtons::Ok);
}

void TForm1::OnRunningChanged(bool running) {
  if (closing_) return;
  sessionShown_ = running;
  btn3->setEnabled(!running);
  N12->setEnabled(!running);
  bsSkinStatusPanel5->setText(running ? kStatusRunning : kStatusStopped);
  // A stopped loop may still be finishing its last frame: the watch goes on until it has returned.
  sessionWatch_->start();
  WatchSession();
}

// A capture file's loop ends by itself, and a live loop can end on an error: the controls follow.
void TForm1::WatchSession() {
  if (fileSession_) {
    fileFrames_ = FileFrames();
    const bool running = session_.Running();
    statusFile_->setText(running ? QStringLiteral("读取 %1：%2 帧").arg(fileName_).arg(fileFrames_)
                                 : QStringLiteral("%1：%2 帧").arg(fileName_).arg(fileFrames_));
  }
  if (session_.Running()) return;
  sessionWatch_->stop();
  if (sessionShown_) {
    sessionShown_ = false;
    btn3->setEnabled(true);
    N12->setEnabled(true);
    bsSkinStatusPanel5->setText(kStatusStopped);
  }
}

void TForm1::c(QAction* item) {
  for (QAction* a : adapterItems_) a->setChecked(false);
  item->setChecked(true);
  adapterName_ = item->data().toByteArray().toStdString();
  const auto it = std::find(adapterItems_.begin(), adapterItems_.end(), item);
  if (it != adapterItems_.end()) emit AdapterChosen(static_cast<int>(it - adapterItems_.begin()));
  if (store_) Guarded([this] { store_->WriteString("system", "AdaptorName", adapterName_); });
}

// --- work modes and views ---

void TForm1::URL2Click() {
  URL2->setChecked(true);
  N34->setChecked(false);
  lv1Model_->SetModeCaptions(QStringLiteral("文件类型"), QStringLiteral("备注"));
  handler_.workMode.store(WorkMode::Url);
  statusMode_->setText(QStringLiteral("当前工作模式[嗅探URL]"));
}

void TForm1::N34Click() {
  URL2->setChecked(false);
  N34->setChecked(true);
  N6Click(kViewAllEntry);
  handler_.workMode.store(WorkMode::Packets);
  lv1Model_->SetModeCaptions(QStringLiteral("协议"), QStringLiteral("长度"));
  statusMode_->setText(QStringLiteral("当前工作模式[列举数据包]"));
}

void TForm1::N6Click(int entry) {
  // The rows found before the view changes are part of the list the view is built from.
  pump_->DrainAll();
  list_.N6Click(entry);
  OnViewChanged();
}

void TForm1::OnViewChanged() {
  const int active = list_.ActiveEntry();
  for (std::size_t i = 0; i < viewEntries_.size(); ++i)
    if (viewEntries_[i] != nullptr) viewEntries_[i]->setChecked(static_cast<int>(i) == active);
  pgc1->setCurrentIndex(list_.ShowingAll() ? 0 : 1);
}

// --- selection ---

std::optional<std::size_t> TForm1::FirstSelected(const QTableView* view) const {
  const QItemSelection selection = view->selectionModel()->selection();
  std::optional<std::size_t> first;
  const int rows = view->model()->rowCount();
  for (const QItemSelectionRange& range : selection) {
    if (range.top() >= rows) continue;
    const auto top = static_cast<std::size_t>(range.top());
    if (!first || top < *first) first = top;
  }
  return first;
}

std::vector<bool> TForm1::SelectedRows(const QTableView* view, std::size_t rows) const {
  std::vector<bool> selected(rows, false);
  for (const QItemSelectionRange& range : view->selectionModel()->selection())
    for (int r = range.top(); r <= range.bottom() && r >= 0 && static_cast<std::size_t>(r) < rows; ++r)
      selected[static_cast<std::size_t>(r)] = true;
  return selected;
}

std::optional<SelectionCopy> TForm1::Selection() const { return list_.LVSLT(FirstSelected(LV1), FirstSelected(lv2)); }

void TForm1::PutOnClipboard(const std::string& gbk) { QGuiApplication::clipboard()->setText(FromGbk(gbk)); }

void TForm1::lv1MouseUp(const QPoint& globalPos) {
  const auto selection = Selection();
  if (!selection) return;
  hintText_ = QStringLiteral("IP:  ") + FromGbk(selection->data ? selection->data->Remote : std::string());
  hintPos_ = globalPos;
  QToolTip::hideText();
  hintTimer_->start(style()->styleHint(QStyle::SH_ToolTip_WakeUpDelay));
  PutOnClipboard(selection->address);
  if (N27->isChecked() && inspector_ && selection->data) {
    inspector_->FAddress = selection->address;
    inspector_->FRemote = selection->data->Remote;
    inspector_->FPacket = selection->data->Packet;
    inspector_->ShowDatas();
  }
}

void TForm1::ShowHint() {
  QWidget* over = QApplication::widgetAt(hintPos_);
  QToolTip::showText(hintPos_, hintText_, over != nullptr ? over : this);
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::MouseButtonRelease && (watched == LV1->viewport() || watched == lv2->viewport())) {
    auto* mouse = static_cast<QMouseEvent*>(event);
    lv1MouseUp(mouse->globalPosition().toPoint());
  }
  return QMainWindow::eventFilter(watched, event);
}

// --- list commands ---

void TForm1::N20Click() {
  if (const auto selection = Selection()) PutOnClipboard(selection->address);
}

void TForm1::N21Click() {
  if (const auto selection = Selection(); selection && selection->data) PutOnClipboard(selection->data->Packet);
}

void TForm1::N23Click() {
  if (list_.ShowingAll()) {
    if (const auto row = FirstSelected(LV1)) list_.Remove(ListId::LV1, *row);
  } else if (const auto row = FirstSelected(lv2)) {
    list_.Remove(ListId::Lv2, *row);
  }
}

void TForm1::N4Click() {
  if (!list_.ShowingAll()) return;
  const auto row = FirstSelected(LV1);
  if (!row) return;
  // Rows may come and go while the box is open: the row is followed, not its number.
  const QPersistentModelIndex target(lv1Model_->index(static_cast<int>(*row), 0));
  const QString text =
      prompter_.InputBox(this, QStringLiteral("编辑备注"), QStringLiteral("一般只有需要保存的列表才编辑！"), QString());
  if (target.isValid()) list_.SetRemark(static_cast<std::size_t>(target.row()), ToGbk(text));
}

void TForm1::N17Click() {
  const QString path = prompter_.SaveFileName(this, QStringLiteral("Save file"),
                                              QStringLiteral("文本文件(*.txt);;列表文件(*.lst);;所有文件(*)"),
                                              QStringLiteral("List.txt"));
  if (path.isEmpty()) return;
  ListFile::Mode mode = ListFile::Mode::Create;
  if (QFileInfo::exists(path)) {
    const BoxAnswer a = prompter_.Message(
        this, BoxKind::Information,
        QStringLiteral("文件已经存在，是否覆盖文件？\r\n按\"是\" ------ 覆盖文件\r\n按\"否\" ------ 追加到文件中"),
        BoxButtons::YesNoCancel);
    if (a == BoxAnswer::Yes) mode = ListFile::Mode::Overwrite;
    else if (a == BoxAnswer::No) mode = ListFile::Mode::Append;
    else return;
  }
  Guarded([&] {
    ListFile file;
    file.Open(path, mode);
    const bool all =
        prompter_.Message(this, BoxKind::Information,
                          QStringLiteral("选择文件保存方式：\r\n按\"是\" ------ 保存所有地址\r\n按\"否\" ------ 只保存选中的地址"),
                          BoxButtons::YesNo) == BoxAnswer::Yes;
    if (list_.ShowingAll()) {
      const auto& rows = list_.Lv1();
      const std::vector<bool> selected = SelectedRows(LV1, rows.size());
      for (std::size_t i = 0; i < rows.size(); ++i)
        if (all || selected[i]) file.WriteLine(rows[i].cells[1]);
    } else {
      const auto& rows = list_.Lv2();
      const std::vector<bool> selected = SelectedRows(lv2, rows.size());
      for (std::size_t i = 0; i < rows.size(); ++i)
        if (all || selected[i]) file.WriteLine(rows[i].address);
    }
    file.Close();
    prompter_.Message(this, BoxKind::Information, QStringLiteral("保存完毕"), BoxButtons::Ok);
  });
}

void TForm1::N9Click() {
  // Rows that arrived before the command are emptied with the lists; later ones keep coming.
  pump_->DiscardPending();
  list_.ClearAll();
}

void TForm1::N40Click() {
  if (list_.ShowingAll()) {
    if (const auto row = FirstSelected(LV1); row && *row < list_.Lv1().size())
      list_.SetAddress(ListId::LV1, *row, DecodeAddress(list_.Lv1()[*row].cells[1]));
  } else if (const auto row = FirstSelected(lv2); row && *row < list_.Lv2().size()) {
    list_.SetAddress(ListId::Lv2, *row, DecodeAddress(list_.Lv2()[*row].address));
  }
}

void TForm1::N27Click() {
  const auto selection = Selection();
  if (!selection || !selection->data) {
    N27->setChecked(inspector_ != nullptr);
    return;
  }
  if (!inspector_) {
    inspector_ = new TForm4([this] { return ToGbk(cbb2->currentText()); }, this);
    connect(inspector_, &TForm4::Closed, this, [this] { N27->setChecked(false); });
  }
  inspector_->show();
  inspector_->raise();
  N27->setChecked(true);
  inspector_->FAddress = selection->address;
  inspector_->FRemote = selection->data->Remote;
  inspector_->FPacket = selection->data->Packet;
  inspector_->ShowDatas();
}

void TForm1::N39Click() {
  if (!filterDialog_) {
    std::vector<std::string> hosts;
    for (const ListRow& row : list_.Lv1()) AddSiteHost(row.cells[1], hosts);
    filterDialog_ = new TForm3(*handler_.Filter(), hosts, prompter_, resolver_,
                               [this](PacketFilter filter) { handler_.SetFilter(std::move(filter)); }, this);
  }
  filterDialog_->show();
  filterDialog_->raise();
  filterDialog_->activateWindow();
}

void TForm1::btn11Click() { close(); }

// --- the settings dialog ---

// The settings dialog exists from the end of start-up to the end of the program; a command that
// arrives outside that time (a timer or a key while a start-up message is open) does nothing.
void TForm1::N51Click() {
  if (settings_ == nullptr) return;
  settings_->ShowPage(TForm2::kPageAdapters);
  settings_->btn6Click();
}

void TForm1::N18Click() {
  if (settings_ != nullptr) settings_->ShowPage(TForm2::kPageGeneral);
}
void TForm1::MenuItem1Click() {
  if (settings_ != nullptr) settings_->N1Click();
}
void TForm1::MenuItem2Click() {
  if (settings_ != nullptr) settings_->N2Click();
}

// The capture library is missing: offer its installer when one stands beside the program, else the
// page that tells how to install it; then the program ends.
void TForm1::tmr4Timer() {
  tmr4->stop();
  if (AdapterCount() == 0) {
    const QString installer = DataFolder() + QStringLiteral("/") + QString::fromLatin1(kPcapInstaller);
    shellOpen_(QFileInfo(installer).isFile() ? installer : QString::fromLatin1(kPcapInstallPage));
  }
  close();
}

// No adapter answers to the chosen name: open the adapter page and test them all.
void TForm1::tmr5Timer() {
  // Not yet: the timer fires again once the dialog exists and the person has answered the open box.
  if (settings_ == nullptr || AnsweringABox()) return;
  tmr5->stop();
  N51Click();
}

// --- download hand-off, help, update check and about box ---

void TForm1::N8Click() { handOff_->DownloadWithNetTransport(Selection()); }
void TForm1::N43Click() { handOff_->DownloadWithFlashGet(Selection()); }
void TForm1::N3Click() { handOff_->DownloadWithSimpleDownloader(Selection()); }

// The default download program and the other program's command line are those of the settings dialog.
void TForm1::LV1Db2Click() {
  if (settings_ == nullptr) return;
  const int defaultDL = settings_->rb1->isChecked() ? 1 : settings_->rb2->isChecked() ? 2 : 3;
  handOff_->DoubleClick(Selection(), defaultDL, ToGbk(settings_->edt1->text()));
}

void TForm1::tmr6Timer() { handOff_->tmr6Timer(); }
void TForm1::tmr7Timer() { handOff_->tmr7Timer(); }

void TForm1::N29Click() { qv::N29Click(options_.programDir); }

void TForm1::N30Click() {
  if (!updater_) {
    // No settings file: no installed version to compare with.
    prompter_.Message(this, BoxKind::Error, QStringLiteral("安装文件损坏，请重新安装！"), BoxButtons::Ok);
    return;
  }
  updater_->N30Click();
}

void TForm1::N32Click() { TAboutBox::N32Click(store_.get()); }

void TForm1::tmr3Timer() {
  if (updater_) updater_->tmr3Timer();
  else tmr3->stop();
}

void TForm1::lbl1Click() {
  QDesktopServices::openUrl(QUrl(QStringLiteral("http://") + QString::fromLatin1(kSiteHost) + QLatin1Char('/')));
}

// --- timers ---

void TForm1::tmr1Timer() {
  tmr1->stop();
  const std::vector<std::string> local = CurrentLocalAddresses();
  handler_.SetLocalAddresses(local);
  FillLocalAddresses(local);
}

void TForm1::tmr2Timer() {
  if (AnsweringABox()) return;  // tried again a period later
  tmr2->stop();
  // An adapter test that runs chooses the adapters itself.
  if (btn3->isEnabled() && !handler_.test.TestActive.load()) btn3Click();
}

std::vector<std::string> TForm1::CurrentLocalAddresses() const {
  if (auto file = fileLocalAddresses_.Get()) return *file;
  return LocalAddresses();
}

void TForm1::FillLocalAddresses(const std::vector<std::string>& addresses) {
  cbb2->clear();
  for (const std::string& a : addresses) cbb2->addItem(FromGbk(a));
  cbb2->setCurrentIndex(cbb2->count() - 1);
}

// --- window ---

// A timer that would start something new (sniffing, the adapter test) waits while a
// message or dialog of this program is open, so that its own messages never stack on one the person
// has not answered yet.
bool TForm1::AnsweringABox() const { return QApplication::activeModalWidget() != nullptr; }

void TForm1::Guarded(const std::function<void()>& command) {
  try {
    command();
  } catch (const std::exception& e) {
    prompter_.Message(this, BoxKind::Error, QString::fromLocal8Bit(e.what()), BoxButtons::Ok);
  }
}

void TForm1::closeEvent(QCloseEvent* event) {
  pump_->Stop();
  EndSession();
  tray_->hide();
  event->accept();
}

void TForm1::changeEvent(QEvent* event) {
  // Minimised, the window goes to the tray where the desktop has one.
  if (event->type() == QEvent::WindowStateChange && isMinimized() && QSystemTrayIcon::isSystemTrayAvailable()) {
    QTimer::singleShot(0, this, [this] {
      hide();
      tray_->show();
    });
  }
  QMainWindow::changeEvent(event);
}

}  // namespace qv
