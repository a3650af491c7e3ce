#include "settings/ui/settings_dialog.h"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QNetworkInterface>
#include <QPushButton>
#include <QRadioButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <exception>

#include "capture/adapter_test.h"
#include "capture/frame_handler.h"
#include "capture/pcap_net.h"
#include "common/bytes.h"
#include "common/site_host.h"
#include "common/texts.h"
#include "common/ui/gbk_text.h"
#include "common/ui/prompter.h"
#include "common/ui/web_strip.h"
#include "platform/registry.h"
#include "settings/file_type_table.h"
#include "settings/settings_store.h"

namespace qv {

namespace {

constexpr int kGbkRole = Qt::UserRole + 1;  // the node's text or device name as GBK bytes

const QString kBtn6Idle = QStringLiteral("测试所有网络适配器");
const QString kBtn6Cancel = QStringLiteral("取消");

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

bool IsChecked(const QTreeWidgetItem* node) { return node->checkState(0) == Qt::Checked; }

QTreeWidgetItem* NewNode(const std::string& gbk, bool checked) {
  auto* node = new QTreeWidgetItem(QStringList{FromGbk(gbk)});
  node->setData(0, kGbkRole, QByteArray::fromStdString(gbk));
  node->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
  node->setCheckState(0, checked ? Qt::Checked : Qt::Unchecked);
  return node;
}

std::string NodeGbk(const QTreeWidgetItem* node) { return node->data(0, kGbkRole).toByteArray().toStdString(); }

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
    d_.TWBSTWB1->Navigate(QUrl(QStringLiteral("about:blank")), false);
    d_.host_.SetAdapterName(device);
    d_.host_.StartSniffing();
    d_.TWBSTWB1->Navigate(QUrl::fromUserInput(d_.edtURL->text()), true);
  }
  void StopCapture() override { d_.host_.StopSniffing(); }
  void ShowStatus(int index, TrialStatus status, const std::string& why) override {
    const char* text = status == TrialStatus::Testing  ? kAdapterTesting
                       : status == TrialStatus::Usable ? kAdapterUsable
                       : status == TrialStatus::Unusable ? kAdapterUnusable
                                                         : "";
    d_.SetRowStatus(index, text);
    if (status == TrialStatus::Unusable)
      if (QTreeWidgetItem* item = d_.lv2->topLevelItem(index)) item->setToolTip(2, QString::fromUtf8(why.c_str()));
  }
  bool OfferAsDefault(int) override {
    return d_.prompter_.Message(&d_, BoxKind::Information, QStringLiteral("当前网络适配器可用，是否它作为缺省适配器！"),
                                BoxButtons::OkCancel) == BoxAnswer::Ok;
  }
  void Choose(int index) override {
    d_.host_.ChooseAdapter(index);
    d_.CheckOnlyRow(index);
  }
  void Ticking(bool on) override {
    if (on) d_.tmr1->start();
    else d_.tmr1->stop();
  }
  void Finished() override { d_.btn6->setText(kBtn6Idle); }
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
      net_(net),
      prompter_(prompter),
      registryPath_(UserRegistryPath()),
      trials_(std::make_unique<Trials>(*this)),
      test_(std::make_unique<AdapterTest>(host.TestState(), *trials_)) {
  setObjectName(QStringLiteral("TForm2"));
  setWindowTitle(QStringLiteral("设置"));
  setModal(false);

  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(8, 8, 8, 8);
  pgc1 = new QTabWidget(this);
  pgc1->setObjectName(QStringLiteral("pgc1"));
  pgc1->setDocumentMode(true);  // flat tabs
  pgc1->setFixedSize(369, 249);
  outer->addWidget(pgc1, 0, Qt::AlignHCenter);
  BuildGeneralPage();
  BuildAdapterPage();
  BuildDownloadPage();
  BuildFileTypePage();

  auto* bottom = new QHBoxLayout;
  TWBSTWB1 = new WebStrip(this);
  TWBSTWB1->setObjectName(QStringLiteral("TWBSTWB1"));
  TWBSTWB1->setFixedSize(89, 25);
  TWBSTWB1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  TWBSTWB1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  btn1 = new QPushButton(QStringLiteral("确定"), this);
  btn1->setObjectName(QStringLiteral("btn1"));
  bottom->addWidget(TWBSTWB1);
  bottom->addStretch(1);
  bottom->addWidget(btn1);
  bottom->addStretch(1);
  bottom->addSpacing(89);
  outer->addLayout(bottom);
  connect(btn1, &QPushButton::clicked, this, &TForm2::btn1Click);
  setFixedSize(386, 299);

  tmr1 = new QTimer(this);
  tmr1->setObjectName(QStringLiteral("tmr1"));
  tmr1->setInterval(1000);
  connect(tmr1, &QTimer::timeout, this, &TForm2::tmr1Timer);

  Create();
}

TForm2::~TForm2() = default;

int TForm2::TestIndex() const { return test_->Index(); }

// --- layout ---

void TForm2::BuildGeneralPage() {
  auto* page = new QWidget;
  auto* v = new QVBoxLayout(page);
  chk4 = new QCheckBox(QStringLiteral("自动开启嗅探"), page);
  chk4->setObjectName(QStringLiteral("chk4"));
  chk1 = new QCheckBox(QStringLiteral("允许列举未定义文件类型"), page);
  chk1->setObjectName(QStringLiteral("chk1"));
  chk5 = new QCheckBox(QStringLiteral("允许列举重复的URL"), page);
  chk5->setObjectName(QStringLiteral("chk5"));
  v->addWidget(chk4);
  v->addWidget(chk1);
  v->addWidget(chk5);
  chk6 = new QCheckBox(QStringLiteral("允许列举HTTPS服务器名称"), page);
  chk6->setObjectName(QStringLiteral("chk6"));
  chk6->setToolTip(QStringLiteral("列出加密连接（TLS、QUIC）所访问的服务器名称，如 https://video.example/"));
  v->addWidget(chk6);
  auto* row = new QHBoxLayout;
  row->addWidget(new QLabel(QStringLiteral("自定义窗口标题"), page));
  edt2 = new QLineEdit(page);
  edt2->setObjectName(QStringLiteral("edt2"));
  row->addWidget(edt2, 1);
  v->addLayout(row);
  v->addStretch(1);
  pgc1->addTab(page, QStringLiteral("常规设置"));

  connect(chk4, &QCheckBox::clicked, this, &TForm2::chk4Click);
  connect(chk1, &QCheckBox::clicked, this, &TForm2::chk1Click);
  connect(chk5, &QCheckBox::clicked, this, &TForm2::chk5Click);
  connect(chk6, &QCheckBox::clicked, this, &TForm2::chk6Click);
  edt2->installEventFilter(this);
}

void TForm2::BuildAdapterPage() {
  auto* page = new QWidget;
  auto* v = new QVBoxLayout(page);
  auto* list = new PressTree(page);
  lv2 = list;
  lv2->setObjectName(QStringLiteral("lv2"));
  lv2->setColumnCount(3);
  lv2->setHeaderLabels({QStringLiteral("网络适配名称"), QStringLiteral("接口"), QStringLiteral("状态")});
  lv2->setColumnWidth(0, 180);
  lv2->setColumnWidth(1, 100);
  lv2->setColumnWidth(2, 60);
  lv2->setRootIsDecorated(false);
  lv2->setItemsExpandable(false);
  lv2->setSelectionBehavior(QAbstractItemView::SelectRows);
  lv2->setEditTriggers(QAbstractItemView::NoEditTriggers);
  lv2->setStyleSheet(QStringLiteral("QTreeView::item { border: 1px solid #d0d0d0; }"));  // grid lines
  list->after = [this](QTreeWidgetItem* item) { lv2MouseDown(item ? lv2->indexOfTopLevelItem(item) : -1); };
  v->addWidget(lv2, 1);
  auto* row = new QHBoxLayout;
  row->addWidget(new QLabel(QStringLiteral("测试网站："), page));
  edtURL = new QLineEdit(QStringLiteral("www.example.com"), page);
  edtURL->setObjectName(QStringLiteral("edtURL"));
  row->addWidget(edtURL, 1);
  btn6 = new QPushButton(kBtn6Idle, page);
  btn6->setObjectName(QStringLiteral("btn6"));
  row->addWidget(btn6);
  v->addLayout(row);
  pgc1->addTab(page, QStringLiteral("网络适配器"));

  edtURL->installEventFilter(this);
  connect(btn6, &QPushButton::clicked, this, &TForm2::btn6Click);
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
  rb1 = new QRadioButton(QStringLiteral("影音传送带"), page);
  rb1->setObjectName(QStringLiteral("rb1"));
  rb1->setChecked(true);
  rb2 = new QRadioButton(QStringLiteral("网际快车"), page);
  rb2->setObjectName(QStringLiteral("rb2"));
  rb3 = new QRadioButton(QStringLiteral("其它下载软件"), page);
  rb3->setObjectName(QStringLiteral("rb3"));
  btnDL1 = dotsButton("btnDL1", true);
  btnDL2 = dotsButton("btnDL2", true);
  btnDL3 = dotsButton("btnDL3", false);
  line(rb1, btnDL1);
  line(rb2, btnDL2);
  line(rb3, btnDL3);
  line(new QLabel(QStringLiteral("简易下载软件"), page), nullptr);
  edt1 = new QLineEdit(page);
  edt1->setObjectName(QStringLiteral("edt1"));
  edt1->hide();
  v->addStretch(1);
  pgc1->addTab(page, QStringLiteral("下载软件"));

  // The three buttons share one parent, so they form one exclusive group. The choice is written
  // when a button is clicked and whenever one becomes the checked one, so that the settings file
  // always names the program the dialog shows.
  for (const auto& [button, which] : {std::pair{rb1, 1}, std::pair{rb2, 2}, std::pair{rb3, 3}}) {
    connect(button, &QRadioButton::clicked, this, [this, which = which] { rbClick(which); });
    connect(button, &QRadioButton::toggled, this, [this, which = which](bool on) {
      if (on) rbClick(which);
    });
  }
  connect(btnDL1, &QPushButton::clicked, this, &TForm2::btnNetTransportClick);
  connect(btnDL2, &QPushButton::clicked, this, &TForm2::btnFlashGetClick);
  connect(btnDL3, &QPushButton::clicked, this, &TForm2::btnOtherClick);
}

void TForm2::BuildFileTypePage() {
  auto* page = new QWidget;
  auto* v = new QVBoxLayout(page);
  auto* tree = new PressTree(page);
  TVV1 = tree;
  TVV1->setObjectName(QStringLiteral("TVV1"));
  TVV1->setHeaderHidden(true);
  TVV1->setToolTip(QStringLiteral("在相应的项目上点右键，即可[增加]/[删除]操作。"));
  TVV1->setContextMenuPolicy(Qt::CustomContextMenu);
  tree->before = [this](QTreeWidgetItem* node) { TVV1MouseMove(node); };
  tree->moved = [this](QTreeWidgetItem* node) { TVV1MouseMove(node); };
  tree->after = [this](QTreeWidgetItem* node) { TVV1MouseDown(node); };
  pm2PPM1 = new QMenu(this);
  pm2PPM1->setObjectName(QStringLiteral("pm2PPM1"));
  QAction* item1 = pm2PPM1->addAction(QStringLiteral("增加文件类型"));
  item1->setObjectName(QStringLiteral("MenuItem1"));
  QAction* item2 = pm2PPM1->addAction(QStringLiteral("删除所选文件类型"));
  item2->setObjectName(QStringLiteral("MenuItem2"));
  connect(item1, &QAction::triggered, this, &TForm2::N1Click);
  connect(item2, &QAction::triggered, this, &TForm2::N2Click);
  connect(TVV1, &QTreeWidget::customContextMenuRequested, this,
          [this](const QPoint& pos) { pm2PPM1->popup(TVV1->viewport()->mapToGlobal(pos)); });
  connect(TVV1, &QTreeWidget::itemChanged, this, [this] { PublishTable(); });
  v->addWidget(TVV1, 1);
  chk11 = new QCheckBox(page);
  chk11->setObjectName(QStringLiteral("chk11"));
  chk11->hide();
  pgc1->addTab(page, QStringLiteral("文件类型"));
}

// --- creation ---

void TForm2::Create() {
  // Every node of the tree is made with its check box; without a settings file the five categories
  // stand without entries and nothing else is loaded.
  SettingsStore* store = host_.Store();
  if (store == nullptr) {
    LoadTree();
    return;
  }
  host_.SetAdapterName(store->ReadString("system", "AdaptorName", "???"));
  edt1->setText(FromGbk(store->ReadString("system", "DownloadPath", "")));
  chk1->setChecked(store->ReadBool("FileType", texts::kUndefinedTypesKey, true));
  chk1Click();
  chk4->setChecked(store->ReadBool("system", "autoRun", true));
  chk4Click();
  chk5->setChecked(store->ReadBool("system", "repeatURL", false));
  chk5Click();
  // Absent means off; the value is not written back, so a file without it stays as it is.
  chk6->setChecked(store->ReadBool("system", kHttpsHostsKey, false));
  edt2->setText(FromGbk(store->ReadString("system", "title", "Quelvar")));
  const int dl = store->ReadInteger("system", "DefaultDL", 1);
  if (dl == 2 || dl == 3) (dl == 2 ? rb2 : rb3)->setChecked(true);  // the toggle writes it back
  LoadTree();
  connect(edt1, &QLineEdit::textChanged, this, [this] {
    if (SettingsStore* s = host_.Store())
      Guarded([&] { s->WriteString("system", "DownloadPath", ToGbk(edt1->text())); });
  });
  ListAdapters();
}

void TForm2::LoadTree() {
  const FileTypeSnapshot table = host_.Store() ? LoadFileTypes(*host_.Store()) : FileTypeSnapshot();
  publishing_ = false;
  TVV1->clear();
  for (int c = 0; c < kCategoryCount; ++c) {
    QTreeWidgetItem* category = NewNode(std::string(CategoryName(c)), table.CategoryChecked(c));
    for (const FileTypeEntry& e : table.Entries(c)) category->addChild(NewNode(e.text, e.checked));
    TVV1->addTopLevelItem(category);
  }
  publishing_ = true;
  PublishTable();
}

void TForm2::ListAdapters() {
  if (!net_.Available()) {
    prompter_.Message(this, BoxKind::Error,
                      QStringLiteral("未找到任何适配器！软件不能使用。\r\n\r\n请根据软件提示安装WINPCAP"), BoxButtons::Ok);
    host_.CaptureLibraryMissing();
    return;
  }
  std::vector<CaptureDevice> devices;
  bool found = false;
  if (net_.ListDevices(devices)) {
    host_.ShowAdapters(devices);  // the menu items, in device order, the selected one checked
    for (const CaptureDevice& d : devices) {
      auto* row = new QTreeWidgetItem(QStringList{AdapterCaption(d), FromGbk(d.name), QString()});
      row->setData(1, kGbkRole, QByteArray::fromStdString(d.name));
      row->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
      const bool selected = d.name == host_.AdapterName();
      row->setCheckState(0, selected ? Qt::Checked : Qt::Unchecked);
      found = found || selected;
      lv2->addTopLevelItem(row);
    }
  }
  if (!found) {
    prompter_.Message(this, BoxKind::Information,
                      QStringLiteral("首次运行程序，或者网络适配器配置错误，程序将会测试所有网络适配器！"), BoxButtons::Ok);
    host_.AdapterUnknown();
  }
}

void TForm2::ShowPage(int page) {
  pgc1->setCurrentIndex(page);
  show();
  raise();
  activateWindow();
}

void TForm2::Guarded(const std::function<void()>& write) {
  try {
    write();
  } catch (const std::exception& e) {
    prompter_.Message(this, BoxKind::Error, QString::fromLocal8Bit(e.what()), BoxButtons::Ok);
  }
}

// --- page 0 ---

void TForm2::chk4Click() {
  if (SettingsStore* s = host_.Store()) Guarded([&] { s->WriteBool("system", "autoRun", chk4->isChecked()); });
}

void TForm2::chk1Click() {
  PublishTable();
  if (SettingsStore* s = host_.Store()) Guarded([&] { s->WriteBool("FileType", texts::kUndefinedTypesKey, chk1->isChecked()); });
}

void TForm2::chk6Click() {
  PublishTable();
  if (SettingsStore* s = host_.Store()) Guarded([&] { s->WriteBool("system", kHttpsHostsKey, chk6->isChecked()); });
}

void TForm2::chk5Click() {
  PublishTable();
  if (SettingsStore* s = host_.Store()) Guarded([&] { s->WriteBool("system", "repeatURL", chk5->isChecked()); });
}

void TForm2::edt2Exit() {
  if (SettingsStore* s = host_.Store()) Guarded([&] { s->WriteString("system", "title", ToGbk(edt2->text())); });
  host_.ShowTitle(edt2->text());
}

bool TForm2::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::FocusOut && (watched == edt2 || watched == edtURL)) edt2Exit();
  return QDialog::eventFilter(watched, event);
}

// --- page 1: adapter rows ---

std::string TForm2::RowDevice(int row) const {
  QTreeWidgetItem* item = lv2->topLevelItem(row);
  return item ? item->data(1, kGbkRole).toByteArray().toStdString() : std::string();
}

void TForm2::CheckOnlyRow(int row) {
  for (int i = 0; i < lv2->topLevelItemCount(); ++i)
    lv2->topLevelItem(i)->setCheckState(0, i == row ? Qt::Checked : Qt::Unchecked);
}

void TForm2::SetRowStatus(int row, const char* status) {
  if (QTreeWidgetItem* item = lv2->topLevelItem(row)) {
    item->setText(2, QString::fromUtf8(status));
    item->setToolTip(2, QString());
  }
}

void TForm2::lv2MouseDown(int row) {
  QTreeWidgetItem* item = row >= 0 ? lv2->topLevelItem(row) : nullptr;
  if (item == nullptr) return;
  if (RowDevice(row) == host_.AdapterName()) {
    item->setCheckState(0, Qt::Checked);
    return;
  }
  host_.ChooseAdapter(row);
  CheckOnlyRow(row);
}

void TForm2::AdapterChosen(int index) { CheckOnlyRow(index); }

// --- page 1: the adapter test ---

void TForm2::TrialStartFailed(const QString& why) { test_->TrialStartFailed(why.toStdString()); }

void TForm2::btn6Click() {
  if (btn6->text() == kBtn6Cancel) {
    // A press on "取消" stops the running test, as closing the dialog does.
    StopRunningTest();
    return;
  }
  const std::string host = TestSiteHost(ToGbk(edtURL->text().trimmed()));
  const auto address = host_.ResolveHost(host);
  if (!address || address->empty()) {
    prompter_.Message(this, BoxKind::Information, QStringLiteral("当前网址经测试不能连接！请换一个网址测试。"),
                      BoxButtons::Ok);
    return;
  }
  // Trials capture on one adapter at a time: a session the user started ends first.
  if (host_.SessionRunning()) host_.StopSniffing();
  btn6->setText(kBtn6Cancel);
  std::vector<std::string> devices;
  for (int i = 0; i < lv2->topLevelItemCount(); ++i) devices.push_back(RowDevice(i));
  test_->Begin(std::move(devices));
}

void TForm2::tmr1Timer() { test_->Tick(); }

// Ends a running test: no more ticks or counting, the session stopped, and the button and the row
// under trial say the test is over.
void TForm2::StopRunningTest() { test_->Cancel(); }

// Escape leaves the dialog the one way it has: "确定", which saves the file types and runs the close
// handling (a running adapter test stops).
void TForm2::reject() { btn1Click(); }

void TForm2::closeEvent(QCloseEvent* event) {
  if (btn6->text() == kBtn6Cancel) StopRunningTest();
  TWBSTWB1->Navigate(QUrl(QStringLiteral("about:blank")), false);
  event->accept();
}

// --- page 2 ---

void TForm2::rbClick(int which) {
  if (SettingsStore* s = host_.Store()) Guarded([&] { s->WriteInteger("system", "DefaultDL", which); });
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

void TForm2::btnNetTransportClick() {
  RegisterFolder({QStringLiteral("使用网络传送带下载"), QStringLiteral("使用影音传送带下载")},
                 QStringLiteral("使用影音传送带下载"));
}

void TForm2::btnFlashGetClick() {
  RegisterFolder({QStringLiteral("使用网际快车下载")}, QStringLiteral("使用网际快车下载"));
}

void TForm2::btnOtherClick() {
  const QString file = ChooseExecutable();
  if (file.isEmpty() || !QFileInfo(file).isFile()) return;
  edt1->setText(QFileInfo(file).absoluteFilePath());
}

// --- page 3: the file-type editor ---

void TForm2::PublishTable() {
  if (!publishing_) return;
  FileTypeSnapshot table;
  for (int c = 0; c < kCategoryCount && c < TVV1->topLevelItemCount(); ++c) {
    QTreeWidgetItem* category = TVV1->topLevelItem(c);
    for (int i = 0; i < category->childCount(); ++i) {
      QTreeWidgetItem* e = category->child(i);
      table = table.WithEntry(c, NodeGbk(e), IsChecked(e));
    }
  }
  table = table.WithUndefinedTypes(chk1->isChecked()).WithDuplicates(chk5->isChecked()).WithHttpsHosts(chk6->isChecked());
  host_.Types().Replace(std::move(table));
}

void TForm2::SetNodeChecked(QTreeWidgetItem* node, bool checked) {
  if (node) node->setCheckState(0, checked ? Qt::Checked : Qt::Unchecked);
}

bool TForm2::isBrotherAllChecked(QTreeWidgetItem* node) const {
  if (node == nullptr || node->parent() == nullptr) return false;
  QTreeWidgetItem* category = node->parent();
  for (int i = 0; i < category->childCount(); ++i)
    if (IsChecked(category->child(i))) return true;
  return false;
}

void TForm2::SetAllChild(QTreeWidgetItem* node, bool checked) {
  if (node == nullptr) return;
  publishing_ = false;  // one table for the whole change
  for (int i = 0; i < node->childCount(); ++i) SetNodeChecked(node->child(i), checked);
  publishing_ = true;
  PublishTable();
}

void TForm2::TVV1MouseMove(QTreeWidgetItem* node) {
  if (node) chk11->setChecked(IsChecked(node));
}

void TForm2::TVV1MouseDown(QTreeWidgetItem* node) {
  if (node == nullptr) return;
  if (node->parent() != nullptr) {
    SetNodeChecked(node->parent(), isBrotherAllChecked(node));
    return;
  }
  if (IsChecked(node) != chk11->isChecked()) SetAllChild(node, IsChecked(node));
}

void TForm2::N1Click() {
  QTreeWidgetItem* category = TVV1->currentItem();
  if (category == nullptr) return;  // nothing selected: nothing to add to
  if (category->parent()) category = category->parent();
  TVV1->setCurrentItem(category);
  const QString prompt = QStringLiteral("添加新文件类型，输入文件扩展名，如\".jpg\"\r\n添加到 <") + category->text(0) +
                         QStringLiteral("> 大类中");
  QString answer = prompter_.InputBox(this, QStringLiteral("输入"), prompt, QStringLiteral(".")).trimmed();
  if (!answer.startsWith(QLatin1Char('.'))) answer.prepend(QLatin1Char('.'));
  const std::string text = ToGbk(answer);
  if (text.size() < 2) {
    prompter_.Message(this, BoxKind::Warning, QStringLiteral("输入有误！添加失败"), BoxButtons::Ok);
    return;
  }
  if (const auto found = host_.Types().Current()->FindChild(LowerAscii(text))) {
    QTreeWidgetItem* cat = TVV1->topLevelItem(found->category);
    QTreeWidgetItem* node = found->IsCategory() ? cat : cat->child(found->entry);
    TVV1->setCurrentItem(node);
    cat->setExpanded(true);
    prompter_.Message(this, BoxKind::Warning, QStringLiteral("此文件类型已经存在！添加失败"), BoxButtons::Ok);
    return;
  }
  category->addChild(NewNode(text, false));
  PublishTable();
  prompter_.Message(this, BoxKind::Information, QStringLiteral("添加成功"), BoxButtons::Ok);
  category->setExpanded(true);
}

void TForm2::N2Click() {
  QTreeWidgetItem* node = TVV1->currentItem();
  if (node == nullptr || node->parent() == nullptr) return;
  delete node;
  PublishTable();
}

void TForm2::btn1Click() {
  if (SettingsStore* s = host_.Store()) Guarded([&] { SaveFileTypes(*s, *host_.Types().Current()); });
  close();
}

}  // namespace qv
