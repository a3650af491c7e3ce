#include "settings/ui/settings_dialog.h"

#include <QAction>
#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QNetworkInterface>
#include <QPalette>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>


#include "capture/frame_handler.h"
#include "capture/pcap_net.h"
#include "common/bytes.h"
#include "common/ui/gbk_text.h"
#include "common/ui/prompter.h"
#include "common/ui/web_strip.h"
#include "platform/registry.h"
#include "settings/app_settings.h"
#include "settings/ui/settings_controller.h"
#include "urls/file_type_table.h"

namespace qv {

namespace {

constexpr int kGbkRole = Qt::UserRole + 1;  // the node's text or device name as GBK bytes

constexpr int kPagesHeight = 249;   // the pages, and the dialog round them, without the rights advice
constexpr int kDialogHeight = 299;

const QString kTestIdle = QStringLiteral("测试所有网络适配器");
const QString kTestCancel = QStringLiteral("取消");

const QString kMenuExt = QStringLiteral("\\Software\\Microsoft\\Internet Explorer\\MenuExt\\");

// A tree whose presses reach the dialog before the control handles them (`before`) and after it
// (`after`), and whose pointer moves report the node under the pointer.
class PressTree : public QTreeWidget {
 public:
  using Hook = std::function<void(QTreeWidgetItem*)>;
  explicit PressTree(QWidget* parent) : QTreeWidget(parent) { setMouseTracking(true); }
  Hook before;
  Hook after;
  Hook moved;

 protected:
  void mousePressEvent(QMouseEvent* e) override {
    if (before) before(itemAt(e->position().toPoint()));
    QTreeWidget::mousePressEvent(e);
  }
  void mouseReleaseEvent(QMouseEvent* e) override {
    QTreeWidget::mouseReleaseEvent(e);  // a press on a check box has toggled it by now
    if (after) after(itemAt(e->position().toPoint()));
  }
  void mouseMoveEvent(QMouseEvent* e) override {
    if (moved) moved(itemAt(e->position().toPoint()));
    QTreeWidget::mouseMoveEvent(e);
  }
};

// Rows whose check boxes show under a dark theme too: the style outlines a check box in a shade
// darker than the window colour, which on a dark palette is the base the box sits on. There the
// outline is drawn from a lighter window colour; a light theme's rows are left as they are.
class VisibleChecks : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;

 protected:
  void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
    QStyledItemDelegate::initStyleOption(option, index);
    if (option->palette.color(QPalette::Base).lightness() < 128)
      option->palette.setColor(QPalette::Window, option->palette.color(QPalette::Base).lighter(400));
  }
};

bool IsChecked(const QTreeWidgetItem* node) { return node->checkState(0) == Qt::Checked; }

QTreeWidgetItem* NewNode(const std::string& gbk, bool checked) {
  auto* node = new QTreeWidgetItem(QStringList{FromGbk(gbk)});
  node->setData(0, kGbkRole, QByteArray::fromStdString(gbk));
  node->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
  node->setCheckState(0, checked ? Qt::Checked : Qt::Unchecked);
  return node;
}

// Where a node of the file-type tree stands in the table.
FileTypeNode NodeOf(QTreeWidgetItem* node) {
  if (QTreeWidgetItem* category = node->parent())
    return FileTypeNode{category->treeWidget()->indexOfTopLevelItem(category), category->indexOfChild(node)};
  return FileTypeNode{node->treeWidget()->indexOfTopLevelItem(node), -1};
}

// What the adapter row calls the adapter: the library's description where it has one; on Linux it
// has none for most interfaces, so the interface's addresses, else its name.
QString AdapterCaption(const CaptureDevice& device) {
  if (!device.description.empty()) return FromGbk(device.description);
  const QString name = FromGbk(device.name);
  QStringList addresses;
  for (const QNetworkAddressEntry& entry : QNetworkInterface::interfaceFromName(name).addressEntries()) {
    const QHostAddress ip = entry.ip();
    if (!ip.isNull() && !ip.isLinkLocal()) addresses << ip.toString();
  }
  return addresses.isEmpty() ? name : name + QStringLiteral(" (") + addresses.join(QStringLiteral(", ")) + QLatin1Char(')');
}

}  // namespace

class TForm2::Trials : public AdapterTrials {
 public:
  explicit Trials(TForm2& d) : d_(d) {}
  void StartCapture(const std::string& device) override {
    d_.testPage_->Navigate(QUrl(QStringLiteral("about:blank")), false);
    d_.host_.SetAdapterName(device);
    d_.host_.StartSniffing();
    d_.testPage_->Navigate(QUrl::fromUserInput(d_.testSiteEdit_->text()), true);
  }
  void StopCapture() override { d_.host_.StopSniffing(); }
  void ShowStatus(int index, TrialStatus status, const std::string& why) override {
    const char* text = status == TrialStatus::Testing  ? kAdapterTesting
                       : status == TrialStatus::Usable ? kAdapterUsable
                       : status == TrialStatus::Unusable ? kAdapterUnusable
                                                         : "";
    d_.SetRowStatus(index, text);
    if (status == TrialStatus::Unusable)
      if (QTreeWidgetItem* item = d_.adapterList_->topLevelItem(index)) item->setToolTip(2, QString::fromUtf8(why.c_str()));
  }
  bool OfferAsDefault(int index) override {
    const auto& devices = d_.adapters_.Devices();
    const QString name = index >= 0 && static_cast<std::size_t>(index) < devices.size()
                             ? FromGbk(devices[static_cast<std::size_t>(index)].name)
                             : QStringLiteral("当前网络适配器");
    return d_.prompter_.Message(&d_, BoxKind::Information, name + QStringLiteral(" 可用，是否它作为缺省适配器！"),
                                BoxButtons::OkCancel) == BoxAnswer::Ok;
  }
  void Choose(int index) override {
    d_.host_.ChooseAdapter(index);
    d_.CheckOnlyRow(index);
  }
  void Ticking(bool on) override {
    if (on) d_.adapterTestTimer_->start();
    else d_.adapterTestTimer_->stop();
  }
  void Finished() override {
    d_.testAdaptersButton_->setText(kTestIdle);
    d_.testPage_->Navigate(QUrl(QStringLiteral("about:blank")), false);
    // Without a default taken the sessions go back to the adapter they used before the trials.
    if (d_.adapters_.ChosenByTest() < 0) d_.host_.SetAdapterName(d_.adapterBeforeTest_);
  }
  void NothingUsable() override {
    d_.prompter_.Message(&d_, BoxKind::Information,
                         QStringLiteral("未发现可用的网络适配器！\r\n请检查你网络连接 或 换一个测试网站，然后再重新测试！"),
                         BoxButtons::Ok);
  }

 private:
  TForm2& d_;
};

TForm2::TForm2(SettingsHost& host, PcapNet& net, Prompter& prompter, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      host_(host),
      settings_(host.Settings()),
      prompter_(prompter),
      registryPath_(UserRegistryPath()),
      trials_(std::make_unique<Trials>(*this)),
      adapters_(net, host, host.TestState(), *trials_) {
  setObjectName(QStringLiteral("TForm2"));
  setWindowTitle(QStringLiteral("设置"));
  setModal(false);

  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(8, 8, 8, 8);
  pages_ = new QTabWidget(this);
  pages_->setObjectName(QStringLiteral("pgc1"));
  pages_->setDocumentMode(true);  // flat tabs
  pages_->setFixedSize(369, kPagesHeight);
  outer->addWidget(pages_, 0, Qt::AlignHCenter);
  BuildGeneralPage();
  BuildAdapterPage();
  BuildDownloadPage();
  BuildFileTypePage();

  auto* bottom = new QHBoxLayout;
  testPage_ = new WebStrip(this);
  testPage_->setObjectName(QStringLiteral("TWBSTWB1"));
  testPage_->setFixedSize(89, 25);
  testPage_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  testPage_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  // The test page only makes traffic for the trials; 89 by 25 pixels of it would show a cut scrap of
  // the site, so it fetches unseen and keeps its place in the row.
  QSizePolicy keepPlace = testPage_->sizePolicy();
  keepPlace.setRetainSizeWhenHidden(true);
  testPage_->setSizePolicy(keepPlace);
  testPage_->hide();
  okButton_ = new QPushButton(QStringLiteral("确定"), this);
  okButton_->setObjectName(QStringLiteral("btn1"));
  bottom->addWidget(testPage_);
  bottom->addStretch(1);
  bottom->addWidget(okButton_);
  bottom->addStretch(1);
  bottom->addSpacing(89);
  outer->addLayout(bottom);
  connect(okButton_, &QPushButton::clicked, this, &TForm2::Accept);
  setFixedSize(386, kDialogHeight);

  adapterTestTimer_ = new QTimer(this);
  adapterTestTimer_->setObjectName(QStringLiteral("tmr1"));
  adapterTestTimer_->setInterval(1000);
  connect(adapterTestTimer_, &QTimer::timeout, this, &TForm2::AdapterTestTick);

  Load();
}

TForm2::~TForm2() = default;

// --- layout ---

void TForm2::BuildGeneralPage() {
  auto* page = new QWidget;
  auto* v = new QVBoxLayout(page);
  v->setSpacing(4);
  autoRunBox_ = new QCheckBox(QStringLiteral("自动开启嗅探"), page);
  autoRunBox_->setObjectName(QStringLiteral("chk4"));
  undefinedTypesBox_ = new QCheckBox(QStringLiteral("允许列举未定义文件类型"), page);
  undefinedTypesBox_->setObjectName(QStringLiteral("chk1"));
  repeatUrlBox_ = new QCheckBox(QStringLiteral("允许列举重复的URL"), page);
  repeatUrlBox_->setObjectName(QStringLiteral("chk5"));
  v->addWidget(autoRunBox_);
  v->addWidget(undefinedTypesBox_);
  v->addWidget(repeatUrlBox_);
  httpsHostsBox_ = new QCheckBox(QStringLiteral("允许列举HTTPS服务器名称"), page);
  httpsHostsBox_->setObjectName(QStringLiteral("chk6"));
  httpsHostsBox_->setToolTip(QStringLiteral("列出加密连接（TLS、QUIC）所访问的服务器名称，如 https://video.example/"));
  v->addWidget(httpsHostsBox_);

  BuildHttpsRows(page, v);

  auto* row = new QHBoxLayout;
  row->addWidget(new QLabel(QStringLiteral("自定义窗口标题"), page));
  titleEdit_ = new QLineEdit(page);
  titleEdit_->setObjectName(QStringLiteral("edt2"));
  row->addWidget(titleEdit_, 1);
  v->addLayout(row);
  v->addStretch(1);
  pages_->addTab(page, QStringLiteral("常规设置"));

  connect(autoRunBox_, &QCheckBox::clicked, this, &TForm2::AutoRunClicked);
  connect(undefinedTypesBox_, &QCheckBox::clicked, this, &TForm2::UndefinedTypesClicked);
  connect(repeatUrlBox_, &QCheckBox::clicked, this, &TForm2::RepeatUrlClicked);
  connect(httpsHostsBox_, &QCheckBox::clicked, this, &TForm2::HttpsHostsClicked);
  titleEdit_->installEventFilter(this);
}

// The key log files that let the HTTPS reader decrypt, and the browser the window starts with them.
void TForm2::BuildHttpsRows(QWidget* page, QVBoxLayout* v) {
  auto* keyLogRow = new QHBoxLayout;
  keyLogRow->addWidget(new QLabel(QStringLiteral("HTTPS 密钥日志文件："), page));
  keyLogEdit_ = new QLineEdit(page);
  keyLogEdit_->setObjectName(QStringLiteral("keyLogEdit"));
  keyLogEdit_->setToolTip(QStringLiteral("浏览器写下的 TLS 密钥日志（SSLKEYLOGFILE），多个文件以“;”分隔"));
  keyLogRow->addWidget(keyLogEdit_, 1);
  keyLogButton_ = new QPushButton(QStringLiteral("选择…"), page);
  keyLogButton_->setObjectName(QStringLiteral("keyLogButton"));
  keyLogRow->addWidget(keyLogButton_);
  v->addLayout(keyLogRow);
  auto* browserRow = new QHBoxLayout;
  browserRow->addWidget(new QLabel(QStringLiteral("浏览器："), page));
  browserEdit_ = new QLineEdit(page);
  browserEdit_->setObjectName(QStringLiteral("browserEdit"));
  browserEdit_->setPlaceholderText(QStringLiteral("自动选择"));
  browserRow->addWidget(browserEdit_, 1);
  v->addLayout(browserRow);
  connect(keyLogEdit_, &QLineEdit::editingFinished, this, &TForm2::SaveKeyLogFile);
  connect(keyLogButton_, &QPushButton::clicked, this, &TForm2::ChooseKeyLogFiles);
  connect(browserEdit_, &QLineEdit::editingFinished, this, &TForm2::SaveHttpsBrowser);
}

void TForm2::BuildAdapterPage() {
  auto* page = new QWidget;
  auto* v = new QVBoxLayout(page);
  auto* list = new PressTree(page);
  adapterList_ = list;
  adapterList_->setObjectName(QStringLiteral("lv2"));
  adapterList_->setColumnCount(3);
  adapterList_->setHeaderLabels({QStringLiteral("网络适配名称"), QStringLiteral("接口"), QStringLiteral("状态")});
  // The caption takes the width the interface name and the status leave, so that no row needs a
  // sideways scroll; a caption cut short is whole in its tooltip.
  adapterList_->header()->setStretchLastSection(false);
  adapterList_->header()->setSectionResizeMode(0, QHeaderView::Stretch);
  adapterList_->header()->setSectionResizeMode(1, QHeaderView::ResizeToContents);
  adapterList_->header()->setSectionResizeMode(2, QHeaderView::ResizeToContents);
  adapterList_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  adapterList_->setRootIsDecorated(false);
  adapterList_->setItemsExpandable(false);
  adapterList_->setSelectionBehavior(QAbstractItemView::SelectRows);
  adapterList_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  adapterList_->setItemDelegate(new VisibleChecks(adapterList_));
  // Grid lines: light grey on a light theme, a lighter shade of the base on a dark one. A
  // selected row keeps the selection colours (a rule for the items alone would leave it white text on
  // the plain base).
  const QColor base = adapterList_->palette().color(QPalette::Base);
  const QColor grid = base.lightness() < 128 ? base.lighter(220) : QColor(0xd0, 0xd0, 0xd0);
  adapterList_->setStyleSheet(
      QStringLiteral("QTreeView::item { border: 1px solid %1; }"
                     "QTreeView::item:selected { background: palette(highlight); color: palette(highlighted-text); }")
          .arg(grid.name()));
  list->after = [this](QTreeWidgetItem* item) { AdapterRowPressed(item ? adapterList_->indexOfTopLevelItem(item) : -1); };
  v->addWidget(adapterList_, 1);
  adapterNote_ = new QLabel(page);
  adapterNote_->setObjectName(QStringLiteral("adapterNote"));
  adapterNote_->setWordWrap(true);
  adapterNote_->hide();
  v->addWidget(adapterNote_);
  rightsBox_ = new QWidget(page);
  rightsBox_->setObjectName(QStringLiteral("rightsBox"));
  auto* rights = new QVBoxLayout(rightsBox_);
  rights->setContentsMargins(0, 0, 0, 0);
  rights->setSpacing(2);
  rightsText_ = new QLabel(rightsBox_);
  rightsText_->setWordWrap(true);
  rights->addWidget(rightsText_);
  auto* commandRow = new QHBoxLayout;
  rightsCommand_ = new QLineEdit(rightsBox_);  // one line, never broken inside a path
  rightsCommand_->setObjectName(QStringLiteral("rightsCommand"));
  rightsCommand_->setReadOnly(true);
  commandRow->addWidget(rightsCommand_, 1);
  copyCommandButton_ = new QPushButton(QStringLiteral("复制命令"), rightsBox_);
  copyCommandButton_->setObjectName(QStringLiteral("copyCommandButton"));
  commandRow->addWidget(copyCommandButton_);
  rights->addLayout(commandRow);
  rightsBox_->hide();
  v->addWidget(rightsBox_);
  connect(copyCommandButton_, &QPushButton::clicked, this, &TForm2::CopyRightsCommand);
  auto* row = new QHBoxLayout;
  row->addWidget(new QLabel(QStringLiteral("测试网站："), page));
  testSiteEdit_ = new QLineEdit(QStringLiteral("www.example.com"), page);
  testSiteEdit_->setObjectName(QStringLiteral("edtURL"));
  row->addWidget(testSiteEdit_, 1);
  testAdaptersButton_ = new QPushButton(kTestIdle, page);
  testAdaptersButton_->setObjectName(QStringLiteral("btn6"));
  row->addWidget(testAdaptersButton_);
  v->addLayout(row);
  pages_->addTab(page, QStringLiteral("网络适配器"));

  testSiteEdit_->installEventFilter(this);
  connect(testAdaptersButton_, &QPushButton::clicked, this, [this] { TestAdapters(true); });
  connect(testSiteEdit_, &QLineEdit::textEdited, adapterNote_, &QLabel::hide);
}

void TForm2::BuildDownloadPage() {
  auto* page = new QWidget;
  auto* v = new QVBoxLayout(page);
  auto line = [&](QWidget* control, QPushButton* dots) {
    auto* row = new QHBoxLayout;
    row->addWidget(new QLabel(QStringLiteral("◆·"), page));
    row->addWidget(control, 1);
    if (dots) row->addWidget(dots);
    v->addLayout(row);
  };
  auto dotsButton = [&](const char* name, bool customHint) {
    auto* b = new QPushButton(QStringLiteral("..."), page);
    b->setObjectName(QString::fromLatin1(name));
    b->setFixedWidth(30);
    if (customHint) b->setToolTip(QStringLiteral("自定义路径"));
    return b;
  };
  netTransportButton_ = new QRadioButton(QStringLiteral("影音传送带"), page);
  netTransportButton_->setObjectName(QStringLiteral("rb1"));
  netTransportButton_->setChecked(true);
  flashGetButton_ = new QRadioButton(QStringLiteral("网际快车"), page);
  flashGetButton_->setObjectName(QStringLiteral("rb2"));
  otherDownloaderButton_ = new QRadioButton(QStringLiteral("其它下载软件"), page);
  otherDownloaderButton_->setObjectName(QStringLiteral("rb3"));
  netTransportFolderButton_ = dotsButton("btnDL1", true);
  flashGetFolderButton_ = dotsButton("btnDL2", true);
  otherDownloaderFileButton_ = dotsButton("btnDL3", false);
  line(netTransportButton_, netTransportFolderButton_);
  line(flashGetButton_, flashGetFolderButton_);
  line(otherDownloaderButton_, otherDownloaderFileButton_);
  line(new QLabel(QStringLiteral("简易下载软件"), page), nullptr);
  downloadPathEdit_ = new QLineEdit(page);
  downloadPathEdit_->setObjectName(QStringLiteral("edt1"));
  downloadPathEdit_->hide();
  v->addStretch(1);
  pages_->addTab(page, QStringLiteral("下载软件"));

  // The three buttons share one parent, so they form one exclusive group. The choice is written
  // when a button is clicked and whenever one becomes the checked one, so that the settings file
  // always names the program the dialog shows.
  for (const auto& [button, which] : {std::pair{netTransportButton_, 1}, std::pair{flashGetButton_, 2},
                                      std::pair{otherDownloaderButton_, 3}}) {
    connect(button, &QRadioButton::clicked, this, [this, which = which] { ChooseDownloader(which); });
    connect(button, &QRadioButton::toggled, this, [this, which = which](bool on) {
      if (on) ChooseDownloader(which);
    });
  }
  connect(netTransportFolderButton_, &QPushButton::clicked, this, &TForm2::RegisterNetTransport);
  connect(flashGetFolderButton_, &QPushButton::clicked, this, &TForm2::RegisterFlashGet);
  connect(otherDownloaderFileButton_, &QPushButton::clicked, this, &TForm2::ChooseOtherDownloader);
}

void TForm2::BuildFileTypePage() {
  auto* page = new QWidget;
  auto* v = new QVBoxLayout(page);
  auto* tree = new PressTree(page);
  fileTypeTree_ = tree;
  fileTypeTree_->setObjectName(QStringLiteral("TVV1"));
  fileTypeTree_->setHeaderHidden(true);
  fileTypeTree_->setItemDelegate(new VisibleChecks(fileTypeTree_));
  fileTypeTree_->setToolTip(QStringLiteral("在相应的项目上点右键，即可[增加]/[删除]操作。"));
  fileTypeTree_->setContextMenuPolicy(Qt::CustomContextMenu);
  tree->before = [this](QTreeWidgetItem* node) { FileTypeNodeHovered(node); };
  tree->moved = [this](QTreeWidgetItem* node) { FileTypeNodeHovered(node); };
  tree->after = [this](QTreeWidgetItem* node) { FileTypeNodePressed(node); };
  fileTypeMenu_ = new QMenu(this);
  fileTypeMenu_->setObjectName(QStringLiteral("pm2PPM1"));
  QAction* add = fileTypeMenu_->addAction(QStringLiteral("增加文件类型"));
  add->setObjectName(QStringLiteral("MenuItem1"));
  QAction* remove = fileTypeMenu_->addAction(QStringLiteral("删除所选文件类型"));
  remove->setObjectName(QStringLiteral("MenuItem2"));
  connect(add, &QAction::triggered, this, &TForm2::AddFileType);
  connect(remove, &QAction::triggered, this, &TForm2::DeleteFileType);
  connect(fileTypeTree_, &QTreeWidget::customContextMenuRequested, this,
          [this](const QPoint& pos) { fileTypeMenu_->popup(fileTypeTree_->viewport()->mapToGlobal(pos)); });
  connect(fileTypeTree_, &QTreeWidget::itemChanged, this, &TForm2::OnFileTypeNodeChanged);
  v->addWidget(fileTypeTree_, 1);
  newTypeNote_ = new QLabel(page);
  newTypeNote_->setObjectName(QStringLiteral("newTypeNote"));
  newTypeNote_->setWordWrap(true);
  newTypeNote_->hide();
  v->addWidget(newTypeNote_);
  hoveredNodeMark_ = new QCheckBox(page);
  hoveredNodeMark_->setObjectName(QStringLiteral("chk11"));
  hoveredNodeMark_->hide();
  pages_->addTab(page, QStringLiteral("文件类型"));
}

// --- filling the dialog ---

void TForm2::Load() {
  // Without a settings file the five categories stand without entries and nothing else is shown.
  if (settings_.Store() == nullptr) {
    LoadTree();
    return;
  }
  const AppSettings& s = settings_.Values();
  host_.SetAdapterName(s.AdapterName());
  downloadPathEdit_->setText(FromGbk(s.DownloadPath()));
  // The three switches are written back as they were read, so that the settings file names each of
  // them from the first start on; the server-name switch is not (absent means off, and stays absent).
  undefinedTypesBox_->setChecked(s.UndefinedTypes());
  UndefinedTypesClicked();
  autoRunBox_->setChecked(s.AutoRun());
  AutoRunClicked();
  repeatUrlBox_->setChecked(s.RepeatUrl());
  RepeatUrlClicked();
  httpsHostsBox_->setChecked(s.HttpsHosts());
  titleEdit_->setText(FromGbk(s.TitleText()));
  keyLogEdit_->setText(FromGbk(s.KeyLogFile()));
  browserEdit_->setText(FromGbk(s.HttpsBrowser()));
  if (s.Downloader() == DownloadProgram::FlashGet) flashGetButton_->setChecked(true);  // the toggle writes it back
  if (s.Downloader() == DownloadProgram::Other) otherDownloaderButton_->setChecked(true);
  LoadTree();
  connect(downloadPathEdit_, &QLineEdit::textChanged, this, [this] {
    Edit(keys::kDownloadPath, [&](AppSettings& v) { v.SetDownloadPath(ToGbk(downloadPathEdit_->text())); });
  });
  ListAdapters();
}

void TForm2::LoadTree() {
  const FileTypeSnapshot& table = settings_.Values().FileTypes();
  fillingTree_ = true;
  fileTypeTree_->clear();
  for (int c = 0; c < kCategoryCount; ++c) {
    QTreeWidgetItem* category = NewNode(std::string(CategoryName(c)), table.CategoryChecked(c));
    for (const FileTypeEntry& e : table.Entries(c)) category->addChild(NewNode(e.text, e.checked));
    fileTypeTree_->addTopLevelItem(category);
  }
  fillingTree_ = false;
}

void TForm2::ListAdapters() {
  const AdapterPage::Listing listing = adapters_.List(host_.AdapterName());
  if (listing == AdapterPage::Listing::NoCaptureLibrary) {
    prompter_.Message(this, BoxKind::Error,
                      QStringLiteral("未找到任何适配器！软件不能使用。\r\n\r\n请根据软件提示安装WINPCAP"), BoxButtons::Ok);
    host_.CaptureLibraryMissing();
    return;
  }
  host_.ShowAdapters(adapters_.Devices());  // the menu items, in device order, the selected one checked
  for (const CaptureDevice& d : adapters_.Devices()) {
    auto* row = new QTreeWidgetItem(QStringList{AdapterCaption(d), FromGbk(d.name), QString()});
    row->setToolTip(0, row->text(0));
    row->setToolTip(1, row->text(1));
    row->setData(1, kGbkRole, QByteArray::fromStdString(d.name));
    row->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
    row->setCheckState(0, d.name == host_.AdapterName() ? Qt::Checked : Qt::Unchecked);
    adapterList_->addTopLevelItem(row);
  }
  ShowCaptureRights(FindCaptureHelper());
  if (listing == AdapterPage::Listing::ChosenUnknown) {
    prompter_.Message(this, BoxKind::Information,
                      QStringLiteral("首次运行程序，或者网络适配器配置错误，程序将会测试所有网络适配器！"), BoxButtons::Ok);
    host_.AdapterUnknown();
  }
}

void TForm2::ShowPage(int page) {
  pages_->setCurrentIndex(page);
  show();
  raise();
  activateWindow();
}

void TForm2::Edit(std::string_view key, const std::function<void(AppSettings&)>& change) {
  Guarded(prompter_, this, [&] { settings_.Edit(key, change); });
}

// --- general page ---

void TForm2::AutoRunClicked() {
  Edit(keys::kAutoRun, [&](AppSettings& s) { s.SetAutoRun(autoRunBox_->isChecked()); });
}

void TForm2::UndefinedTypesClicked() {
  Edit(keys::kUndefinedTypes, [&](AppSettings& s) { s.SetUndefinedTypes(undefinedTypesBox_->isChecked()); });
}

void TForm2::HttpsHostsClicked() {
  Edit(keys::kHttpsHosts, [&](AppSettings& s) { s.SetHttpsHosts(httpsHostsBox_->isChecked()); });
}

void TForm2::RepeatUrlClicked() {
  Edit(keys::kRepeatUrl, [&](AppSettings& s) { s.SetRepeatUrl(repeatUrlBox_->isChecked()); });
}

void TForm2::SaveTitle() {
  Edit(keys::kTitle, [&](AppSettings& s) { s.SetTitle(ToGbk(titleEdit_->text())); });
}

void TForm2::SaveKeyLogFile() {
  const std::string paths = ToGbk(keyLogEdit_->text().trimmed());
  if (paths == settings_.Values().KeyLogFile()) return;
  Edit(keys::kKeyLogFile, [&](AppSettings& s) { s.SetKeyLogFile(paths); });
}

void TForm2::ChooseKeyLogFiles() {
  const QStringList files = prompter_.OpenFileNames(this, QStringLiteral("选择 HTTPS 密钥日志文件"),
                                                    QStringLiteral("密钥日志 (*.log *.txt *.keys);;所有文件 (*)"));
  if (files.isEmpty()) return;
  keyLogEdit_->setText(files.join(QLatin1Char(';')));
  SaveKeyLogFile();
}

void TForm2::SaveHttpsBrowser() {
  const std::string command = ToGbk(browserEdit_->text().trimmed());
  if (command == settings_.Values().HttpsBrowser()) return;
  Edit(keys::kHttpsBrowser, [&](AppSettings& s) { s.SetHttpsBrowser(command); });
}

bool TForm2::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::FocusOut && (watched == titleEdit_ || watched == testSiteEdit_)) SaveTitle();
  return QDialog::eventFilter(watched, event);
}

// --- adapter page: the rows ---

void TForm2::CheckOnlyRow(int row) {
  for (int i = 0; i < adapterList_->topLevelItemCount(); ++i)
    adapterList_->topLevelItem(i)->setCheckState(0, i == row ? Qt::Checked : Qt::Unchecked);
}

void TForm2::SetRowStatus(int row, const char* status) {
  if (QTreeWidgetItem* item = adapterList_->topLevelItem(row)) {
    item->setText(2, QString::fromUtf8(status));
    item->setToolTip(2, QString());
  }
}

void TForm2::AdapterRowPressed(int row) {
  QTreeWidgetItem* item = row >= 0 ? adapterList_->topLevelItem(row) : nullptr;
  if (item == nullptr) return;
  if (adapters_.Devices()[static_cast<std::size_t>(row)].name == host_.AdapterName()) {
    item->setCheckState(0, Qt::Checked);
    return;
  }
  host_.ChooseAdapter(row);
  CheckOnlyRow(row);
}

void TForm2::AdapterChosen(int index) { CheckOnlyRow(index); }

// --- adapter page: the adapter test ---

void TForm2::TrialStartFailed(const QString& why) { adapters_.TrialStartFailed(why.toStdString()); }

void TForm2::TestAdapters(bool asked) {
  if (adapters_.Testing()) {
    // A press on "取消" stops the running test, as closing the dialog does.
    if (asked) adapters_.Cancel();
    return;
  }
  const std::string before = host_.AdapterName();
  testAdaptersButton_->setText(kTestCancel);
  const QString unreachable = QStringLiteral("当前网址经测试不能连接！请换一个网址测试。");
  switch (adapters_.BeginTest(ToGbk(testSiteEdit_->text().trimmed()), before, asked)) {
    case AdapterPage::Start::Started:
      adapterBeforeTest_ = before;
      adapterNote_->hide();
      return;
    case AdapterPage::Start::Unreachable:
      testAdaptersButton_->setText(kTestIdle);
      adapterNote_->setText(unreachable);
      adapterNote_->show();
      prompter_.Message(this, BoxKind::Information, unreachable, BoxButtons::Ok);
      return;
    case AdapterPage::Start::StillUnreachable:  // said once already; the note stays
      testAdaptersButton_->setText(kTestIdle);
      adapterNote_->setText(unreachable);
      adapterNote_->show();
      return;
  }
}

void TForm2::AdapterTestTick() { adapters_.Tick(); }

void TForm2::ShowCaptureRights(const CaptureHelperPlace& helper) {
  const std::optional<RightsAdvice> advice = adapters_.MissingRights(host_.AdapterName(), helper);
  rightsBox_->setVisible(advice.has_value());
  int extra = 0;
  if (advice) {
    rightsText_->setText(QString::fromStdString(advice->text));
    rightsCommand_->setText(QString::fromStdString(advice->command));
    rightsCommand_->setCursorPosition(0);
    rightsCommand_->setToolTip(rightsCommand_->text());
    copyCommandButton_->setText(QStringLiteral("复制命令"));
    // The dialog grows by the advice, so that the adapter rows keep their room.
    const int width = pages_->width() - 20;
    const int height = rightsBox_->hasHeightForWidth() ? rightsBox_->heightForWidth(width) : -1;
    extra = (height > 0 ? height : rightsBox_->sizeHint().height()) + 6;
  }
  pages_->setFixedHeight(kPagesHeight + extra);
  setFixedHeight(kDialogHeight + extra);
}

void TForm2::CopyRightsCommand() {
  QGuiApplication::clipboard()->setText(rightsCommand_->text());
  copyCommandButton_->setText(QStringLiteral("已复制"));
}

// Escape leaves the dialog the one way it has: "确定", which saves the file types and runs the close
// handling (a running adapter test stops).
void TForm2::reject() { Accept(); }

void TForm2::closeEvent(QCloseEvent* event) {
  if (adapters_.Testing()) adapters_.Cancel();
  testPage_->Navigate(QUrl(QStringLiteral("about:blank")), false);
  event->accept();
}

// --- download page ---

void TForm2::ChooseDownloader(int which) {
  Edit(keys::kDefaultDownloader, [&](AppSettings& s) { s.SetDownloader(DownloadProgramOf(which)); });
}

QString TForm2::ChooseExecutable() {
  // Programs here have no ".exe": the first choice shows the files this user may run.
  return prompter_.OpenProgramName(this, QStringLiteral("Open file"));
}

void TForm2::RegisterFolder(const QStringList& existingKeys, const QString& keyToCreate) {
  const QString file = ChooseExecutable();
  if (file.isEmpty() || !QFileInfo(file).isFile()) return;
  const QString folder = QFileInfo(file).absolutePath() + QLatin1Char('/');
  UserRegistry registry(registryPath_);
  for (const QString& key : existingKeys)
    if (registry.OpenKey(ToGbk(kMenuExt + key))) return;
  const std::string key = ToGbk(kMenuExt + keyToCreate);
  if (registry.CreateKey(key)) registry.WriteDefault(key, ToGbk(folder));
}

void TForm2::RegisterNetTransport() {
  RegisterFolder({QStringLiteral("使用网络传送带下载"), QStringLiteral("使用影音传送带下载")},
                 QStringLiteral("使用影音传送带下载"));
}

void TForm2::RegisterFlashGet() {
  RegisterFolder({QStringLiteral("使用网际快车下载")}, QStringLiteral("使用网际快车下载"));
}

void TForm2::ChooseOtherDownloader() {
  const QString file = ChooseExecutable();
  if (file.isEmpty() || !QFileInfo(file).isFile()) return;
  downloadPathEdit_->setText(QFileInfo(file).absoluteFilePath());
}

// --- file-type page ---

void TForm2::EditFileTypes(const FileTypeSnapshot& table) {
  Edit(kFileTypesKey, [&](AppSettings& s) { s.SetFileTypes(table); });
}

// An entry's mark is the table's; a category's mark only shows whether one of its entries is checked.
void TForm2::OnFileTypeNodeChanged(QTreeWidgetItem* node) {
  if (fillingTree_ || node == nullptr || node->parent() == nullptr) return;
  if (IsChecked(node)) HideNewTypeNote(node->data(0, kGbkRole).toByteArray().toStdString());
  EditFileTypes(settings_.Values().FileTypes().WithChecked(NodeOf(node), IsChecked(node)));
}

void TForm2::SetNodeChecked(QTreeWidgetItem* node, bool checked) {
  if (node) node->setCheckState(0, checked ? Qt::Checked : Qt::Unchecked);
}

bool TForm2::AnySiblingChecked(QTreeWidgetItem* node) const {
  if (node == nullptr || node->parent() == nullptr) return false;
  QTreeWidgetItem* category = node->parent();
  for (int i = 0; i < category->childCount(); ++i)
    if (IsChecked(category->child(i))) return true;
  return false;
}

void TForm2::SetAllChildren(QTreeWidgetItem* node, bool checked) {
  if (node == nullptr) return;
  fillingTree_ = true;  // one change of the table for the whole category
  for (int i = 0; i < node->childCount(); ++i) {
    SetNodeChecked(node->child(i), checked);
    if (checked) HideNewTypeNote(node->child(i)->data(0, kGbkRole).toByteArray().toStdString());
  }
  fillingTree_ = false;
  EditFileTypes(settings_.Values().FileTypes().WithChecked(NodeOf(node), checked));
}

void TForm2::FileTypeNodeHovered(QTreeWidgetItem* node) {
  if (node) hoveredNodeMark_->setChecked(IsChecked(node));
}

// A press that changed a category's mark sets all its entries; one on an entry marks its category
// when any entry of it is checked.
void TForm2::FileTypeNodePressed(QTreeWidgetItem* node) {
  if (node == nullptr) return;
  if (node->parent() != nullptr) {
    SetNodeChecked(node->parent(), AnySiblingChecked(node));
    return;
  }
  if (IsChecked(node) != hoveredNodeMark_->isChecked()) SetAllChildren(node, IsChecked(node));
}

void TForm2::AddFileType() {
  QTreeWidgetItem* category = fileTypeTree_->currentItem();
  if (category == nullptr) return;  // nothing selected: nothing to add to
  if (category->parent()) category = category->parent();
  fileTypeTree_->setCurrentItem(category);
  const QString prompt = QStringLiteral("添加新文件类型，输入文件扩展名，如\".jpg\"\r\n添加到 <") + category->text(0) +
                         QStringLiteral("> 大类中");
  QString answer = prompter_.InputBox(this, QStringLiteral("输入"), prompt, QStringLiteral(".")).trimmed();
  if (!answer.startsWith(QLatin1Char('.'))) answer.prepend(QLatin1Char('.'));
  const std::string text = ToGbk(answer);
  if (text.size() < 2) {
    prompter_.Message(this, BoxKind::Warning, QStringLiteral("输入有误！添加失败"), BoxButtons::Ok);
    return;
  }
  const FileTypeSnapshot& table = settings_.Values().FileTypes();
  if (const auto found = table.FindChild(LowerAscii(text))) {
    QTreeWidgetItem* cat = fileTypeTree_->topLevelItem(found->category);
    QTreeWidgetItem* node = found->IsCategory() ? cat : cat->child(found->entry);
    fileTypeTree_->setCurrentItem(node);
    cat->setExpanded(true);
    prompter_.Message(this, BoxKind::Warning, QStringLiteral("此文件类型已经存在！添加失败"), BoxButtons::Ok);
    return;
  }
  QTreeWidgetItem* node = NewNode(text, false);
  fillingTree_ = true;
  category->addChild(node);
  fillingTree_ = false;
  EditFileTypes(table.WithEntry(fileTypeTree_->indexOfTopLevelItem(category), text, false));
  prompter_.Message(this, BoxKind::Information, QStringLiteral("添加成功"), BoxButtons::Ok);
  category->setExpanded(true);
  ShowNewTypeNote(node);
}

// A new type is kept unticked, so its addresses are not listed yet: the node is selected and brought
// into view, check box included, and the note below the tree says what ticking it does.
void TForm2::ShowNewTypeNote(QTreeWidgetItem* node) {
  const QString note = QStringLiteral("新文件类型 %1 尚未勾选：勾选后才会列出这类文件的地址。").arg(node->text(0));
  node->setToolTip(0, note);
  newTypeNote_->setText(note);
  newTypeNote_->show();
  noteType_ = node->data(0, kGbkRole).toByteArray().toStdString();
  // The note takes room from the tree: lay the page out before scrolling, or the row ends below it.
  if (QLayout* layout = newTypeNote_->parentWidget()->layout()) layout->activate();
  fileTypeTree_->setCurrentItem(node);
  fileTypeTree_->scrollToItem(node, QAbstractItemView::EnsureVisible);
  fileTypeTree_->horizontalScrollBar()->setValue(0);  // the check box sits at the left edge
}

void TForm2::HideNewTypeNote(const std::string& type) {
  if (noteType_.empty() || type != noteType_) return;
  newTypeNote_->hide();
  noteType_.clear();
}

void TForm2::DeleteFileType() {
  QTreeWidgetItem* node = fileTypeTree_->currentItem();
  if (node == nullptr || node->parent() == nullptr) return;
  const FileTypeNode place = NodeOf(node);
  HideNewTypeNote(node->data(0, kGbkRole).toByteArray().toStdString());
  fillingTree_ = true;
  delete node;
  fillingTree_ = false;
  EditFileTypes(settings_.Values().FileTypes().WithoutEntry(place));
}

void TForm2::Accept() {
  // An edit still being typed in counts as finished.
  SaveKeyLogFile();
  SaveHttpsBrowser();
  Guarded(prompter_, this, [&] { settings_.SaveFileTypes(); });
  close();
}

}  // namespace qv
