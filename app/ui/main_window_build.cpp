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
#include <QShortcut>
#include <QStackedWidget>
#include <QStatusBar>
#include <QTableView>
#include <QToolBar>
#include <QVBoxLayout>

#include "app/ui/cell_tooltip.h"
#include "app/ui/follow_newest.h"
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
  // The window's own minimise button minimises as usual; this entry puts the window in the tray.
  actToTray = NewAction("actToTray", QStringLiteral("最小化到托盘"));
  actToTray->setStatusTip(QStringLiteral("隐藏窗口，只在托盘显示图标；点击图标恢复窗口"));
  sniff->addAction(actToTray);
  connect(sniff, &QMenu::aboutToShow, this, [this] { actToTray->setEnabled(TrayAvailable()); });
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

  connect(N12, &QAction::triggered, this, &TForm1::btn3Click);
  connect(N13, &QAction::triggered, this, &TForm1::btn4Click);
  connect(actOpenCapture, &QAction::triggered, this, &TForm1::OpenCaptureFileClick);
  connect(URL2, &QAction::triggered, this, &TForm1::URL2Click);
  connect(N34, &QAction::triggered, this, &TForm1::N34Click);
  connect(N39, &QAction::triggered, this, &TForm1::N39Click);
  connect(actToTray, &QAction::triggered, this, &TForm1::MinimiseToTrayClick);
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
            [this, view](const QPoint& pos) { pm1->popup(view->viewport()->mapToGlobal(pos)); });
    // A double click on a row acts on it; one on the list's empty part acts on the selected row
    // (the viewport's double click, in eventFilter).
    connect(view, &QAbstractItemView::doubleClicked, this, &TForm1::LV1Db2Click);
    // Enter on the list does what a double click does, on the selected row.
    for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Enter}) {
      auto* enter = new QShortcut(QKeySequence(key), view, nullptr, nullptr, Qt::WidgetShortcut);
      connect(enter, &QShortcut::activated, this, &TForm1::LV1Db2Click);
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
  edtFilter = new QuickFilterEdit(lists);
  listsLayout->addWidget(edtFilter);

  pgc1 = new QStackedWidget(lists);
  pgc1->setObjectName(QStringLiteral("pgc1"));
  listsLayout->addWidget(pgc1, 1);

  lv1View = &session_->Lv1Rows();
  lv2View = &session_->Lv2Rows();

  auto* page0 = new QWidget(pgc1);
  page0->setObjectName(QStringLiteral("ts1"));
  auto* layout0 = new QVBoxLayout(page0);
  layout0->setContentsMargins(0, 0, 0, 0);
  cbb2 = new QComboBox(page0);
  cbb2->setObjectName(QStringLiteral("cbb2"));
  cbb2->hide();
  LV1 = new QTableView(page0);
  setUp(LV1, "LV1", lv1View);
  LV1->setSelectionMode(QAbstractItemView::ExtendedSelection);
  // The address takes the width the window has to spare; the remark (length) column stays readable.
  LV1->setColumnWidth(0, 80);
  LV1->setColumnWidth(1, 88);
  LV1->setColumnWidth(3, LV1->horizontalHeader()->defaultSectionSize());
  LV1->horizontalHeader()->setSectionResizeMode(2, QHeaderView::Stretch);
  layout0->addWidget(LV1);

  auto* page1 = new QWidget(pgc1);
  page1->setObjectName(QStringLiteral("ts2"));
  auto* layout1 = new QVBoxLayout(page1);
  layout1->setContentsMargins(0, 0, 0, 0);
  lv2 = new QTableView(page1);
  setUp(lv2, "lv2", lv2View);
  lv2->setSelectionMode(QAbstractItemView::SingleSelection);
  lv2->setColumnWidth(0, 100);
  lv2->horizontalHeader()->setSectionResizeMode(1, QHeaderView::Stretch);
  layout1->addWidget(lv2);

  pgc1->addWidget(page0);
  pgc1->addWidget(page1);
  setCentralWidget(lists);
  // The list, not the filter field, has the keys when the window opens: the list's shortcuts (Ctrl+C,
  // Ctrl+A, Ctrl+Z, Ctrl+X, Ctrl+U, Ctrl+K, Ctrl+Delete) are editing keys in a line edit.
  LV1->setFocus(Qt::OtherFocusReason);
  listCommands_ = std::make_unique<ListCommands>(List(), session_->Lv1Rows(), *LV1, *lv2, prompter_, *this);

  // The quick filter narrows both lists; Ctrl+F reaches it from anywhere in the window.
  connect(edtFilter, &QuickFilterEdit::FilterChanged, this, [this](const QString& text) {
    lv1View->SetQuickFilter(text);
    lv2View->SetQuickFilter(text);
    ShowRowCounts();
  });
  actQuickFilter = NewAction("actQuickFilter", QStringLiteral("快速筛选"), QKeySequence(Qt::CTRL | Qt::Key_F));
  connect(actQuickFilter, &QAction::triggered, edtFilter, &QuickFilterEdit::Summon);
  connect(edtFilter, &QuickFilterEdit::ToRows, this, [this] {
    QTableView* view = List().ShowingAll() ? LV1 : lv2;
    view->setFocus(Qt::ShortcutFocusReason);
    // The first row shown becomes the selected one, unless a shown row is selected already.
    if (!view->selectionModel()->hasSelection() && view->model()->rowCount() > 0)
      view->selectionModel()->setCurrentIndex(view->model()->index(0, 0),
                                              QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  });
  connect(pgc1, &QStackedWidget::currentChanged, this, &TForm1::ShowRowCounts);
  // The list shown takes the keys from the list hidden (the filter field keeps them).
  connect(pgc1, &QStackedWidget::currentChanged, this, [this](int page) {
    if (!edtFilter->hasFocus()) (page == 0 ? LV1 : lv2)->setFocus(Qt::OtherFocusReason);
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
  bsSkinStatusPanel5 = panel("bsSkinStatusPanel5", kStatusStopped, 80);
  statusMode_ = panel("bsSkinStatusPanel6", QStringLiteral("当前工作模式[获取URL]"), 161);
  // The file and count panels shrink (their texts cut with "…") before the site panel does.
  statusFile_ = new ElidingLabel(bar);
  statusFile_->setObjectName(QStringLiteral("StatusCaptureFile"));
  bar->addWidget(statusFile_);
  statusFile_->hide();
  statusCounts_ = new StatusCounts(bar);
  bar->addWidget(statusCounts_);
  connect(session_, &SessionController::CountsChanged, this,
          [this](quint64 frames, std::optional<quint64> dropped) {
            statusCounts_->SetFrames(frames, dropped ? std::optional<std::uint64_t>(*dropped) : std::nullopt);
          });
  ShowRowCounts();
  lbl1 = new ClickLabel(QStringLiteral("官方网站  ") + QString::fromLatin1(kSiteHost), [this] { lbl1Click(); }, bar);
  lbl1->setObjectName(QStringLiteral("lbl1"));
  lbl1->setAlignment(Qt::AlignCenter);
  lbl1->setStyleSheet(QStringLiteral("color: #1a5fb4;"));
  // Never narrower than its text.
  lbl1->setMinimumWidth(lbl1->sizeHint().width());
  bar->addWidget(lbl1, 1);
}

}  // namespace qv
