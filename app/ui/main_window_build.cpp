// The main window's widgets, menus and tool bar, built once at creation; what they do is in
// main_window.cpp.
#include "app/ui/main_window.h"

#include <QActionGroup>
#include <QComboBox>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPalette>
#include <QShortcut>
#include <QStackedWidget>
#include <QStatusBar>
#include <QToolButton>
#include <QTableView>
#include <QToolBar>
#include <QVBoxLayout>

#include "app/ui/cell_tooltip.h"
#include "app/ui/follow_newest.h"
#include "app/ui/https_recording.h"
#include "app/ui/list_commands.h"
#include "app/ui/quick_filter.h"
#include "app/ui/status_counts.h"
#include "common/ui/gbk_text.h"
#include "common/ui/icons.h"
#include "common/ui/web_strip.h"

namespace qv {

namespace {

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

// The tool bar's look. Under a light theme a white strip with black captions; under a dark one
// (a window colour darker than mid-grey) the window's own colours, so that the strip does not glare
// out of a dark window. The separators are a thin rule between the strip and its text at any scale
// (the style's own became a thick black bar at scale 2).
QString ToolBarStyleSheet(const QPalette& palette) {
  const QColor window = palette.color(QPalette::Window);
  const bool dark = window.lightness() < 128;
  const QColor back = dark ? window : QColor(Qt::white);
  const QColor text = dark ? palette.color(QPalette::ButtonText) : QColor(Qt::black);
  const QColor rule = dark ? QColor::fromRgbF(window.redF() + 0.35f * (text.redF() - window.redF()),
                                              window.greenF() + 0.35f * (text.greenF() - window.greenF()),
                                              window.blueF() + 0.35f * (text.blueF() - window.blueF()))
                           : QColor(0xc8, 0xc8, 0xc8);
  return QStringLiteral("QToolBar { background: %1; border: none; spacing: 2px; }"
                        "QToolButton { min-width: 55px; min-height: 60px; color: %2; }"
                        "QToolBar::separator { background: %3; width: 1px; margin: 8px 5px; }")
      .arg(back.name(), text.name(), rule.name());
}

}  // namespace

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
  startCaptureAction_ = NewAction("N12", QStringLiteral("开始嗅探"), Qt::Key_F3);
  stopCaptureAction_ = NewAction("N13", QStringLiteral("停止嗅探"), Qt::Key_F4);
  actOpenCapture = NewAction("actOpenCapture", QStringLiteral("打开抓包文件…"), QKeySequence(Qt::CTRL | Qt::Key_O));
  sniff->addAction(startCaptureAction_);
  sniff->addAction(stopCaptureAction_);
  sniff->addAction(actOpenCapture);
  sniff->addSeparator();
  httpsRecording_->AddTo(sniff);
  sniff->addSeparator();
  QMenu* mode = sniff->addMenu(QStringLiteral("工作模式"));
  mode->setObjectName(QStringLiteral("N33"));
  urlModeAction_ = NewAction("URL2", QStringLiteral("获取URL"));
  packetModeAction_ = NewAction("N34", QStringLiteral("列举数据包"));
  urlModeAction_->setCheckable(true);
  packetModeAction_->setCheckable(true);
  urlModeAction_->setChecked(true);
  mode->addAction(urlModeAction_);
  mode->addAction(packetModeAction_);
  filterSettingsAction_ = NewAction("N39", QStringLiteral("过滤设置"));
  sniff->addAction(filterSettingsAction_);
  sniff->addSeparator();
  // The window's own minimise button minimises as usual; this entry puts the window in the tray.
  actToTray = NewAction("actToTray", QStringLiteral("最小化到托盘"));
  actToTray->setStatusTip(QStringLiteral("隐藏窗口，只在托盘显示图标；点击图标恢复窗口"));
  sniff->addAction(actToTray);
  connect(sniff, &QMenu::aboutToShow, this, [this] { actToTray->setEnabled(TrayAvailable()); });
  exitAction_ = NewAction("N15", QStringLiteral("退  出"), QKeySequence(Qt::CTRL | Qt::Key_Q));
  sniff->addAction(exitAction_);

  // 列表(&L)
  QMenu* listMenu = bar->addMenu(QStringLiteral("列表(&L)"));
  listMenu->setObjectName(QStringLiteral("N19"));
  copyAddressAction_ = NewAction("N20", QStringLiteral("复制地址"), QKeySequence(Qt::CTRL | Qt::Key_C));
  copyPacketAction_ = NewAction("N21", QStringLiteral("复制数据包"), QKeySequence(Qt::CTRL | Qt::Key_A));
  deleteRowAction_ = NewAction("N23", QStringLiteral("删除"), Qt::Key_Delete);
  addRemarkAction_ = NewAction("N4", QStringLiteral("增加备注"), Qt::Key_Insert);
  saveListAction_ = NewAction("N17", QStringLiteral("保存列表"), QKeySequence(Qt::CTRL | Qt::Key_S));
  clearListAction_ = NewAction("N9", QStringLiteral("清空列表"), QKeySequence(Qt::CTRL | Qt::Key_Delete));
  netTransportAction_ =
      NewAction("N24", QStringLiteral("用影音传送带下载"), QKeySequence(Qt::CTRL | Qt::Key_Z));
  flashGetAction_ = NewAction("N25", QStringLiteral("用网际快车下载"), QKeySequence(Qt::CTRL | Qt::Key_X));
  dorrinelAction_ = NewAction("N49", QStringLiteral("用简易下载软件下载"), QKeySequence(Qt::CTRL | Qt::Key_E));
  listMenu->addActions({copyAddressAction_, copyPacketAction_, deleteRowAction_, addRemarkAction_});
  listMenu->addSeparator();
  listMenu->addActions({saveListAction_, clearListAction_});
  listMenu->addSeparator();
  listMenu->addActions({netTransportAction_, flashGetAction_, dorrinelAction_});

  // 设置(&O)
  QMenu* settings = bar->addMenu(QStringLiteral("设置(&O)"));
  settings->setObjectName(QStringLiteral("N16"));
  adapterMenu_ = settings->addMenu(QStringLiteral("网络适配器(&D)"));
  adapterMenu_->setObjectName(QStringLiteral("N1"));
  adapterMenuSeparator_ = adapterMenu_->addSeparator();
  adapterTestAction_ = NewAction("N51", QStringLiteral("网卡测试"));
  adapterMenu_->addAction(adapterTestAction_);
  settings->addSeparator();
  settingsAction_ = NewAction("N18", QStringLiteral("综合设置(&P)"));
  settings->addAction(settingsAction_);

  // 帮助(&H)
  QMenu* help = bar->addMenu(QStringLiteral("帮助(&H)"));
  help->setObjectName(QStringLiteral("N28"));
  helpFileAction_ = NewAction("N29", QStringLiteral("帮助文件"), Qt::Key_F1);
  makerSiteAction_ = NewAction("N31", QStringLiteral("访问作者主页"), QKeySequence(Qt::CTRL | Qt::Key_H));
  updateCheckAction_ = NewAction("N30", QStringLiteral("升级查询"), QKeySequence(Qt::CTRL | Qt::Key_U));
  aboutAction_ = NewAction("N32", QStringLiteral("关于Quelvar"));
  help->addActions({helpFileAction_, makerSiteAction_, updateCheckAction_});
  help->addSeparator();
  help->addAction(aboutAction_);

  // Popup menu of both lists.
  listPopupMenu_ = new QMenu(this);
  listPopupMenu_->setObjectName(QStringLiteral("pm1"));
  QMenu* view = listPopupMenu_->addMenu(QStringLiteral("分类察看"));
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
    connect(a, &QAction::triggered, this, [this, entry] { ViewByCategory(entry); });
  }
  listPopupMenu_->addSeparator();
  viewPacketAction_ = NewAction("N27", QStringLiteral("查看数据包"), QKeySequence(Qt::CTRL | Qt::Key_K));
  viewPacketAction_->setCheckable(true);
  decodeAddressAction_ = NewAction("N40", QStringLiteral("地址汉化"), QKeySequence(Qt::CTRL | Qt::Key_D));
  listPopupMenu_->addActions({copyAddressAction_, copyPacketAction_, viewPacketAction_, decodeAddressAction_});
  listPopupMenu_->addSeparator();
  listPopupMenu_->addActions({netTransportAction_, flashGetAction_, dorrinelAction_});
  listPopupMenu_->addSeparator();
  listPopupMenu_->addAction(clearListAction_);

  connect(startCaptureAction_, &QAction::triggered, this, &TForm1::BeginSniffing);
  connect(stopCaptureAction_, &QAction::triggered, this, &TForm1::EndSniffing);
  connect(actOpenCapture, &QAction::triggered, this, &TForm1::OpenCaptureFileClick);
  connect(urlModeAction_, &QAction::triggered, this, &TForm1::SwitchToUrlMode);
  connect(packetModeAction_, &QAction::triggered, this, &TForm1::SwitchToPacketMode);
  connect(filterSettingsAction_, &QAction::triggered, this, &TForm1::OpenFilterDialog);
  connect(actToTray, &QAction::triggered, this, &TForm1::MinimiseToTrayClick);
  connect(exitAction_, &QAction::triggered, this, &TForm1::ExitProgram);
  connect(copyAddressAction_, &QAction::triggered, this, &TForm1::CopySelectedAddress);
  connect(copyPacketAction_, &QAction::triggered, this, &TForm1::CopySelectedPacket);
  connect(deleteRowAction_, &QAction::triggered, this, &TForm1::DeleteSelectedRow);
  connect(addRemarkAction_, &QAction::triggered, this, &TForm1::AddRemarkToRow);
  connect(saveListAction_, &QAction::triggered, this, &TForm1::SaveList);
  connect(clearListAction_, &QAction::triggered, this, &TForm1::ClearBothLists);
  connect(netTransportAction_, &QAction::triggered, this, &TForm1::SendToNetTransport);
  connect(flashGetAction_, &QAction::triggered, this, &TForm1::SendToFlashGet);
  connect(dorrinelAction_, &QAction::triggered, this, &TForm1::SendToDorrinel);
  connect(adapterTestAction_, &QAction::triggered, this, &TForm1::TestAdapters);
  connect(settingsAction_, &QAction::triggered, this, &TForm1::OpenSettings);
  connect(helpFileAction_, &QAction::triggered, this, &TForm1::ShowHelpFile);
  connect(makerSiteAction_, &QAction::triggered, this, &TForm1::VisitMakerSite);
  connect(updateCheckAction_, &QAction::triggered, this, &TForm1::CheckForUpdate);
  connect(aboutAction_, &QAction::triggered, this, &TForm1::ShowAboutBox);
  connect(viewPacketAction_, &QAction::triggered, this, &TForm1::ToggleViewPacket);
  connect(decodeAddressAction_, &QAction::triggered, this, &TForm1::DecodeSelectedAddress);
}

void TForm1::BuildToolBar() {
  QToolBar* bar = addToolBar(QStringLiteral("tlb1"));
  bar->setObjectName(QStringLiteral("tlb1"));
  bar->setMovable(false);
  bar->setFloatable(false);
  bar->setIconSize(QSize(40, 40));
  bar->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
  bar->setStyleSheet(ToolBarStyleSheet(palette()));
  auto button = [this, bar](const char* name, const QString& text, const QIcon& icon) {
    auto* a = new QAction(icon, text, this);
    a->setObjectName(QString::fromLatin1(name));
    bar->addAction(a);
    return a;
  };
  startCaptureButton_ = button("btn3", QStringLiteral("开始嗅探"), StartIcon());
  stopCaptureButton_ = button("btn4", QStringLiteral("停止嗅探"), StopIcon());
  bar->addSeparator();
  settingsButton_ = button("btn5", QStringLiteral("设  置"), SettingsIcon());
  bar->addSeparator();
  exitButton_ = button("btn11", QStringLiteral("退  出"), ExitIcon());
  bar->addSeparator();
  connect(startCaptureButton_, &QAction::triggered, this, &TForm1::BeginSniffing);
  connect(stopCaptureButton_, &QAction::triggered, this, &TForm1::EndSniffing);
  connect(settingsButton_, &QAction::triggered, this, &TForm1::OpenSettings);
  connect(exitButton_, &QAction::triggered, this, &TForm1::ExitProgram);

  // The web page: a 555 x 193 browser placed at (-11, -17) in a white 460 x 60 panel, so that the
  // panel shows the page without its margins.
  auto* panel = new QWidget(bar);
  panel->setObjectName(QStringLiteral("pnl1"));
  panel->setFixedSize(460, 60);
  panel->setAutoFillBackground(true);
  QPalette pal = panel->palette();
  pal.setColor(QPalette::Window, Qt::white);
  panel->setPalette(pal);
  webStrip_ = new WebStrip(panel);
  webStrip_->setGeometry(-11, -17, 555, 193);
  bar->addWidget(panel);
}

void TForm1::BuildLists() {
  auto setUp = [this](QTableView* view, const char* name, LaggingListModel* rows) {
    view->setObjectName(QString::fromLatin1(name));
    view->setModel(rows);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->setShowGrid(true);
    view->setWordWrap(false);
    view->setTextElideMode(Qt::ElideRight);
    view->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    view->setContextMenuPolicy(Qt::CustomContextMenu);
    view->setItemDelegate(new ElidedCellTips(view));
    view->verticalHeader()->hide();
    view->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    view->verticalHeader()->setDefaultSectionSize(view->fontMetrics().height() + 6);
    QHeaderView* header = view->horizontalHeader();
    header->setHighlightSections(false);
    header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    header->setStretchLastSection(false);
    // A click on a column header sorts by it, a second click reverses, a third returns to the
    // list's own order (the order of arrival).
    header->setSortIndicator(-1, Qt::AscendingOrder);
    header->setSortIndicatorClearable(true);
    view->setSortingEnabled(true);
    view->viewport()->installEventFilter(this);
    connect(view, &QWidget::customContextMenuRequested, this,
            [this, view](const QPoint& pos) { listPopupMenu_->popup(view->viewport()->mapToGlobal(pos)); });
    // A double click on a row acts on it; one on the list's empty part acts on the selected row
    // (the viewport's double click, in eventFilter).
    connect(view, &QAbstractItemView::doubleClicked, this, &TForm1::DownloadOnDoubleClick);
    // Enter on the list does what a double click does, on the selected row.
    for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Enter}) {
      auto* enter = new QShortcut(QKeySequence(key), view, nullptr, nullptr, Qt::WidgetShortcut);
      connect(enter, &QShortcut::activated, this, &TForm1::DownloadOnDoubleClick);
    }
    new FollowNewest(*view, [rows] { return rows->InListOrder(); });
    // The model counts once a change is complete: a removed row is gone from the list by then.
    connect(rows, &LaggingListModel::CountsChanged, this, &TForm1::ShowRowCounts);
  };

  auto* lists = new QWidget(this);
  lists->setObjectName(QStringLiteral("pnlLists"));
  auto* listsLayout = new QVBoxLayout(lists);
  listsLayout->setContentsMargins(0, 0, 0, 0);
  listsLayout->setSpacing(2);
  quickFilterEdit_ = new QuickFilterEdit(lists);
  listsLayout->addWidget(quickFilterEdit_);

  listPages_ = new QStackedWidget(lists);
  listPages_->setObjectName(QStringLiteral("pgc1"));
  listsLayout->addWidget(listPages_, 1);

  mainRowsModel_ = &session_->Lv1Rows();
  categoryRowsModel_ = &session_->Lv2Rows();

  auto* page0 = new QWidget(listPages_);
  page0->setObjectName(QStringLiteral("ts1"));
  auto* layout0 = new QVBoxLayout(page0);
  layout0->setContentsMargins(0, 0, 0, 0);
  localAddressBox_ = new QComboBox(page0);
  localAddressBox_->setObjectName(QStringLiteral("cbb2"));
  localAddressBox_->hide();
  mainListView_ = new QTableView(page0);
  setUp(mainListView_, "LV1", mainRowsModel_);
  mainListView_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  // The address takes the width the window has to spare; the remark (length) column stays readable.
  mainListView_->setColumnWidth(0, 80);
  mainListView_->setColumnWidth(1, 88);
  mainListView_->setColumnWidth(3, mainListView_->horizontalHeader()->defaultSectionSize());
  mainListView_->horizontalHeader()->setSectionResizeMode(2, QHeaderView::Stretch);
  layout0->addWidget(mainListView_);

  auto* page1 = new QWidget(listPages_);
  page1->setObjectName(QStringLiteral("ts2"));
  auto* layout1 = new QVBoxLayout(page1);
  layout1->setContentsMargins(0, 0, 0, 0);
  lv2 = new QTableView(page1);
  setUp(lv2, "lv2", categoryRowsModel_);
  lv2->setSelectionMode(QAbstractItemView::SingleSelection);
  lv2->setColumnWidth(0, 100);
  lv2->horizontalHeader()->setSectionResizeMode(1, QHeaderView::Stretch);
  layout1->addWidget(lv2);

  listPages_->addWidget(page0);
  listPages_->addWidget(page1);
  setCentralWidget(lists);
  // The list, not the filter field, has the keys when the window opens: the list's shortcuts (Ctrl+C,
  // Ctrl+A, Ctrl+Z, Ctrl+X, Ctrl+U, Ctrl+K, Ctrl+Delete) are editing keys in a line edit.
  mainListView_->setFocus(Qt::OtherFocusReason);
  listCommands_ = std::make_unique<ListCommands>(List(), session_->Lv1Rows(), *mainListView_, *lv2, prompter_, *this);

  // The quick filter narrows both lists; Ctrl+F reaches it from anywhere in the window.
  connect(quickFilterEdit_, &QuickFilterEdit::FilterChanged, this, [this](const QString& text) {
    mainRowsModel_->SetQuickFilter(text);
    categoryRowsModel_->SetQuickFilter(text);
    ShowRowCounts();
  });
  actQuickFilter = NewAction("actQuickFilter", QStringLiteral("快速筛选"), QKeySequence(Qt::CTRL | Qt::Key_F));
  connect(actQuickFilter, &QAction::triggered, quickFilterEdit_, &QuickFilterEdit::Summon);
  connect(quickFilterEdit_, &QuickFilterEdit::ToRows, this, [this] {
    QTableView* view = List().ShowingAll() ? mainListView_ : lv2;
    view->setFocus(Qt::ShortcutFocusReason);
    // The first row shown becomes the selected one, unless a shown row is selected already.
    if (!view->selectionModel()->hasSelection() && view->model()->rowCount() > 0)
      view->selectionModel()->setCurrentIndex(view->model()->index(0, 0),
                                              QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  });
  connect(listPages_, &QStackedWidget::currentChanged, this, &TForm1::ShowRowCounts);
  // The list shown takes the keys from the list hidden (the filter field keeps them).
  connect(listPages_, &QStackedWidget::currentChanged, this, [this](int page) {
    if (!quickFilterEdit_->hasFocus()) (page == 0 ? mainListView_ : lv2)->setFocus(Qt::OtherFocusReason);
  });
  connect(session_, &SessionController::ViewChanged, this, &TForm1::ShowRowCounts);
}

void TForm1::ShowRowCounts() {
  if (statusCounts_ == nullptr) return;
  const bool all = List().ShowingAll();
  const LaggingListModel& rows = all ? static_cast<const LaggingListModel&>(session_->Lv1Rows()) : session_->Lv2Rows();
  statusCounts_->SetRows(rows.ListedRows(), rows.rowCount());
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
  panel("bsSkinStatusPanel4", QStringLiteral("状态:"), 81);
  statusRunning_ = panel("bsSkinStatusPanel5", kStatusStopped, 80);
  statusMode_ = panel("bsSkinStatusPanel6", QStringLiteral("当前工作模式[获取URL]"), 161);
  filterBadge_ = new QToolButton(bar);
  filterBadge_->setObjectName(QStringLiteral("FilterBadge"));
  filterBadge_->setAutoRaise(true);
  filterBadge_->setToolButtonStyle(Qt::ToolButtonTextOnly);
  connect(filterBadge_, &QToolButton::clicked, this, &TForm1::ClearPacketFilter);
  bar->addWidget(filterBadge_);
  filterBadge_->hide();
  // The file and count panels shrink (their texts cut with "…") before the site panel does.
  statusFile_ = new ElidingLabel(bar);
  statusFile_->setObjectName(QStringLiteral("StatusCaptureFile"));
  bar->addWidget(statusFile_);
  statusFile_->hide();
  statusCounts_ = new StatusCounts(bar);
  bar->addWidget(statusCounts_);
  auto* httpsCounts = new HttpsCountsCell(bar);
  bar->addWidget(httpsCounts);
  httpsRecording_->ShowCountsIn(httpsCounts);
  connect(session_, &SessionController::CountsChanged, this,
          [this](quint64 frames, std::optional<quint64> dropped) {
            statusCounts_->SetFrames(frames, dropped ? std::optional<std::uint64_t>(*dropped) : std::nullopt);
          });
  ShowRowCounts();
  siteLabel_ =
      new ClickLabel(QStringLiteral("官方网站  ") + QString::fromLatin1(kSiteHost), [this] { VisitMakerSite(); }, bar);
  siteLabel_->setObjectName(QStringLiteral("lbl1"));
  siteLabel_->setAlignment(Qt::AlignCenter);
  siteLabel_->setStyleSheet(QStringLiteral("color: #1a5fb4;"));
  // Never narrower than its text.
  siteLabel_->setMinimumWidth(siteLabel_->sizeHint().width());
  bar->addWidget(siteLabel_, 1);
}

}  // namespace qv
