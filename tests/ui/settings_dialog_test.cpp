// The settings dialog: its creation from the settings file, the adapter rows, the registry buttons,
// the file-type editor, the start-up timers it arms, and the adapter test.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QImage>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMenu>
#include <QPalette>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QStyle>
#include <QTabWidget>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include "common/texts.h"
#include "common/ui/gbk_text.h"
#include "common/ui/web_strip.h"
#include "platform/registry.h"
#include "settings/ui/settings_dialog.h"
#include "tests/ui/ui_support.h"
#include "urls/file_type.h"

namespace qv::testing {
namespace {

const QString kFirstRun = QStringLiteral("首次运行程序，或者网络适配器配置错误，程序将会测试所有网络适配器！");

class SettingsDialogTest : public WindowTest {
 protected:
  QByteArray IniBytes() {
    QFile f(IniPath());
    EXPECT_TRUE(f.open(QIODevice::ReadOnly));
    return f.readAll();
  }
  void SetIniBytes(const QByteArray& bytes) {
    QFile f(IniPath());
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
  }
  // Replaces the whole line of `key` (or adds it under [system] when `key` is not there).
  void SetLine(const QByteArray& key, const QByteArray& line) {
    QList<QByteArray> lines = IniBytes().split('\n');
    bool done = false;
    for (QByteArray& l : lines)
      if (l.startsWith(key + "=")) {
        l = line;
        done = true;
      }
    QByteArray text = lines.join('\n');
    if (!done) text.replace("[system]", "[system]\n" + line);
    SetIniBytes(text);
  }
  std::string Read(const char* section, std::string_view key, const char* def = "<absent>") {
    return SettingsStore(IniPath().toStdString()).ReadString(section, key, def);
  }
  TForm2& Dialog() { return *Form().Settings(); }
  static std::vector<CaptureDevice> Devices() {
    std::vector<CaptureDevice> devices;
    if (Net().Available()) Net().ListDevices(devices);
    return devices;
  }
  QTreeWidgetItem* Category(int c) { return Dialog().fileTypeTree_->topLevelItem(c); }
  QTreeWidgetItem* Entry(int c, const QString& text) {
    for (int i = 0; i < Category(c)->childCount(); ++i)
      if (Category(c)->child(i)->text(0) == text) return Category(c)->child(i);
    return nullptr;
  }
  static bool Checked(QTreeWidgetItem* n) { return n->checkState(0) == Qt::Checked; }
  // A mouse press on a node as the tree sees it: the pointer comes over it, the control handles the
  // press (toggling the box when `onBox`), then the dialog reacts.
  void Press(QTreeWidgetItem* node, bool onBox) {
    Dialog().FileTypeNodeHovered(node);
    if (onBox) node->setCheckState(0, Checked(node) ? Qt::Unchecked : Qt::Checked);
    Dialog().FileTypeNodePressed(node);
  }
};

constexpr int kPictures = 2;
constexpr int kTexts = 3;

// The device list cut down to a few adapters: some capture devices (netfilter queues and the like)
// never return from a read while nothing arrives, which a whole adapter test cannot get past.
int (*realFindAllDevs)(pcap_if_t**, char*) = nullptr;
int FindLoopbackAndQuietDevices(pcap_if_t** out, char* err) {
  const int rc = realFindAllDevs(out, err);
  if (rc != 0) return rc;
  pcap_if_t** link = out;
  while (*link) {
    const std::string name = (*link)->name ? (*link)->name : "";
    if (name == "lo" || name == "ifb0") {
      link = &(*link)->next;
    } else {
      *link = (*link)->next;  // left out (and not freed: a test leaks the few nodes)
    }
  }
  return 0;
}

class CutDeviceList {
 public:
  explicit CutDeviceList(PcapNet& net) : net_(net) {
    realFindAllDevs = net.pcap_findalldevs;
    net.pcap_findalldevs = &FindLoopbackAndQuietDevices;
  }
  ~CutDeviceList() { net_.pcap_findalldevs = realFindAllDevs; }

 private:
  PcapNet& net_;
};


TEST_F(SettingsDialogTest, CreationLoadsTheControlsAndWritesTheSwitchesBack) {
  // A file without the three switches, a title, a download path and DefaultDL given in hexadecimal.
  QList<QByteArray> lines = IniBytes().split('\n');
  lines.removeIf([](const QByteArray& l) {
    return l.startsWith("autoRun=") || l.startsWith("repeatURL=") || l.startsWith(ToGbk("未定义类型=").c_str());
  });
  SetIniBytes(lines.join('\n'));
  SetLine("DefaultDL", "DefaultDL=0x3");
  SetLine("title", "title=My title");
  SetLine("DownloadPath", "DownloadPath=/opt/dl/get.exe");
  TForm2& d = Dialog();

  EXPECT_EQ(d.windowTitle(), "设置");
  ASSERT_EQ(d.pages_->count(), 4);
  const QStringList pages = {"常规设置", "网络适配器", "下载软件", "文件类型"};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(d.pages_->tabText(i), pages[i]);
  EXPECT_EQ(d.autoRunBox_->text(), "自动开启嗅探");
  EXPECT_EQ(d.undefinedTypesBox_->text(), "允许列举未定义文件类型");
  EXPECT_EQ(d.repeatUrlBox_->text(), "允许列举重复的URL");
  EXPECT_EQ(d.testAdaptersButton_->text(), "测试所有网络适配器");
  EXPECT_EQ(d.netTransportFolderButton_->toolTip(), "自定义路径");
  EXPECT_EQ(d.fileTypeTree_->toolTip(), "在相应的项目上点右键，即可[增加]/[删除]操作。");
  EXPECT_EQ(d.testSiteEdit_->text(), "www.example.com");
  EXPECT_EQ(d.size(), QSize(386, 299));
  EXPECT_FALSE(d.isVisible());

  EXPECT_TRUE(d.undefinedTypesBox_->isChecked());
  EXPECT_TRUE(d.autoRunBox_->isChecked());
  EXPECT_FALSE(d.repeatUrlBox_->isChecked());
  EXPECT_EQ(d.titleEdit_->text(), "My title");
  EXPECT_EQ(d.downloadPathEdit_->text(), "/opt/dl/get.exe");
  EXPECT_TRUE(d.otherDownloaderButton_->isChecked());
  // Written back: the three switches with their defaults, DefaultDL as 3; the path is not rewritten.
  EXPECT_EQ(Read("system", "autoRun"), "1");
  EXPECT_EQ(Read("system", "repeatURL"), "0");
  EXPECT_EQ(Read("FileType", texts::kUndefinedTypesKey), "1");
  EXPECT_EQ(Read("system", "DefaultDL"), "3");
  // The tree holds the five categories with the file's entries, and classification sees them.
  ASSERT_EQ(d.fileTypeTree_->topLevelItemCount(), 5);
  EXPECT_EQ(Category(kPictures)->text(0), "图片文件");
  ASSERT_NE(Entry(kPictures, ".jpg"), nullptr);
  EXPECT_TRUE(Checked(Category(kPictures)));
  EXPECT_EQ(FromGbk(FileType("http://a.example/x.jpg", *Form().Types().Current())), "图片文件");
  EXPECT_EQ(Form().Types().Current()->undefinedTypes, true);

  // The title edit and the test-site edit both write the title edit's text and caption the window.
  d.titleEdit_->setText("Other");
  d.SaveTitle();
  EXPECT_EQ(Read("system", "title"), "Other");
  EXPECT_EQ(Form().windowTitle(), "Other");
  // A change of the path edit is written at once; the radio buttons write their number.
  d.downloadPathEdit_->setText("/usr/bin/wget");
  EXPECT_EQ(Read("system", "DownloadPath"), "/usr/bin/wget");
  d.flashGetButton_->click();
  EXPECT_EQ(Read("system", "DefaultDL"), "2");
  d.repeatUrlBox_->click();
  EXPECT_EQ(Read("system", "repeatURL"), "1");
  EXPECT_TRUE(Form().Types().Current()->duplicates);

  // The tool button "设  置" opens the dialog on its first page, keeping what the last visit left.
  d.pages_->setCurrentIndex(TForm2::kPageFileTypes);
  Form().findChild<QAction*>("btn5")->trigger();
  EXPECT_TRUE(d.isVisible());
  EXPECT_EQ(d.pages_->currentIndex(), TForm2::kPageGeneral);
  EXPECT_EQ(d.titleEdit_->text(), "Other");
  d.okButton_->click();
  EXPECT_FALSE(d.isVisible());
}

// The key log files and the browser of the HTTPS command: shown from the file, written through the
// settings when they change (files chosen in the dialog are joined by ";"), and absent until then.
TEST_F(SettingsDialogTest, KeyLogFilesAndBrowserAreWrittenThroughTheSettings) {
  SetLine("keyLogFile", "keyLogFile=/home/u/a.keys;/home/u/b.keys");
  TForm2& d = Dialog();
  const std::size_t shown = prompter_.boxes.size();
  EXPECT_EQ(d.keyLogEdit_->text(), "/home/u/a.keys;/home/u/b.keys");
  EXPECT_TRUE(d.browserEdit_->text().isEmpty());
  EXPECT_EQ(Read("system", "httpsBrowser"), "<absent>");
  // On the page of the server-name switch.
  EXPECT_EQ(d.pages_->indexOf(d.keyLogEdit_->parentWidget()), TForm2::kPageGeneral);
  EXPECT_EQ(d.keyLogEdit_->parentWidget(), d.httpsHostsBox_->parentWidget());
  // The page still holds all its rows at the dialog's fixed size.
  d.ShowPage(TForm2::kPageGeneral);
  QWidget* general = d.keyLogEdit_->parentWidget();
  EXPECT_LE(general->layout()->minimumSize().height(), general->height());
  EXPECT_TRUE(general->rect().contains(d.titleEdit_->geometry()));

  prompter_.openNames = {"/tmp/one.keys", "/tmp/two.keys"};
  d.keyLogButton_->click();
  EXPECT_EQ(d.keyLogEdit_->text(), "/tmp/one.keys;/tmp/two.keys");
  EXPECT_EQ(Read("system", "keyLogFile"), "/tmp/one.keys;/tmp/two.keys");
  EXPECT_EQ(Form().SettingsModel().Values().KeyLogFiles(), (std::vector<std::string>{"/tmp/one.keys", "/tmp/two.keys"}));
  prompter_.openNames.clear();  // cancelled: nothing changes
  d.keyLogButton_->click();
  EXPECT_EQ(Read("system", "keyLogFile"), "/tmp/one.keys;/tmp/two.keys");

  d.browserEdit_->setText(" firefox --private-window ");
  emit d.browserEdit_->editingFinished();
  EXPECT_EQ(Read("system", "httpsBrowser"), "firefox --private-window");
  d.keyLogEdit_->clear();
  emit d.keyLogEdit_->editingFinished();
  EXPECT_EQ(Read("system", "keyLogFile"), "");
  EXPECT_TRUE(Form().SettingsModel().Values().KeyLogFiles().empty());
  // "确定" takes what is typed but not yet finished.
  d.browserEdit_->setText("chromium");
  d.okButton_->click();
  EXPECT_EQ(Read("system", "httpsBrowser"), "chromium");
  EXPECT_EQ(prompter_.boxes.size(), shown);  // no write failed
}

TEST_F(SettingsDialogTest, DefaultDownloaderOneIsNotWrittenBack) {
  SetLine("DefaultDL", "DefaultDL=0x1");
  Dialog();
  EXPECT_TRUE(Dialog().netTransportButton_->isChecked());
  EXPECT_EQ(Read("system", "DefaultDL"), "0x1");
}

TEST_F(SettingsDialogTest, WithoutASettingsFileNothingIsLoaded) {
  QFile::remove(IniPath());
  TForm2& d = Dialog();
  ASSERT_EQ(prompter_.boxes.size(), 1u);  // the damaged-installation error only
  EXPECT_EQ(prompter_.boxes[0].text, "安装文件损坏，请重新安装！");
  EXPECT_FALSE(d.undefinedTypesBox_->isChecked());
  EXPECT_FALSE(d.autoRunBox_->isChecked());
  EXPECT_FALSE(d.repeatUrlBox_->isChecked());
  EXPECT_TRUE(d.netTransportButton_->isChecked());
  EXPECT_TRUE(d.titleEdit_->text().isEmpty());
  EXPECT_EQ(d.adapterList_->topLevelItemCount(), 0);
  EXPECT_EQ(Form().AdapterCount(), 0);
  ASSERT_EQ(d.fileTypeTree_->topLevelItemCount(), 5);
  for (int c = 0; c < 5; ++c) EXPECT_EQ(Category(c)->childCount(), 0);
  EXPECT_FALSE(Form().adapterRetryTimer_->isActive());
  // Changes then go nowhere and raise nothing.
  d.autoRunBox_->click();
  d.Accept();
  EXPECT_EQ(prompter_.boxes.size(), 1u);
}

TEST_F(SettingsDialogTest, AMissingCaptureLibraryEndsTheProgramWithTheInstallPage) {
  PcapNet unbound;
  TForm1 form(unbound, prompter_, TForm1Options::Offline(dir_.path()));
  QString opened;
  form.SetShellOpener([&](const QString& target) { opened = target; });
  form.show();
  ASSERT_EQ(prompter_.boxes.size(), 1u);
  EXPECT_EQ(prompter_.boxes[0].kind, BoxKind::Error);
  EXPECT_EQ(prompter_.boxes[0].text, "未找到任何适配器！软件不能使用。\r\n\r\n请根据软件提示安装WINPCAP");
  EXPECT_TRUE(form.pcapMissingTimer_->isActive());
  EXPECT_FALSE(form.adapterRetryTimer_->isActive());
  ASSERT_TRUE(WaitFor([&] { return !form.isVisible(); }, 5000));
  EXPECT_EQ(opened, "http://www.quelvar.example/install/default.htm");
}

TEST_F(SettingsDialogTest, AnUnknownAdapterStartsTheAdapterTestASecondLater) {
  if (!Net().Available()) GTEST_SKIP() << "no capture library";
  CutDeviceList cut(Net());
  if (Devices().empty()) GTEST_SKIP() << "the capture devices cannot be listed here";
  SetLine("AdaptorName", "AdaptorName=no-such-adapter");
  TForm1 form(Net(), prompter_, TForm1Options::Offline(dir_.path()));
  form.SetHostResolver([](const std::string&) { return std::optional<std::string>("127.0.0.1"); });
  ASSERT_EQ(prompter_.boxes.size(), 1u);
  EXPECT_EQ(prompter_.boxes[0].text, kFirstRun);
  EXPECT_EQ(prompter_.boxes[0].kind, BoxKind::Information);
  EXPECT_TRUE(form.adapterRetryTimer_->isActive());
  EXPECT_EQ(form.adapterRetryTimer_->interval(), 1000);
  EXPECT_EQ(form.AdapterName(), "no-such-adapter");
  TForm2& d = *form.Settings();
  EXPECT_EQ(d.adapterList_->topLevelItemCount(), form.AdapterCount());
  for (int i = 0; i < d.adapterList_->topLevelItemCount(); ++i) EXPECT_NE(d.adapterList_->topLevelItem(i)->checkState(0), Qt::Checked);

  ASSERT_TRUE(WaitFor([&] { return d.isVisible(); }, 5000));
  EXPECT_FALSE(form.adapterRetryTimer_->isActive());
  EXPECT_EQ(d.pages_->currentIndex(), TForm2::kPageAdapters);
  EXPECT_EQ(d.testAdaptersButton_->text(), "取消");
  EXPECT_EQ(d.TestIndex(), 0);
  EXPECT_EQ(d.adapterList_->topLevelItem(0)->text(2), "正在测试");
  EXPECT_TRUE(form.Handler().test.TestActive.load());
  EXPECT_EQ(form.AdapterName(), Devices()[0].name);
  EXPECT_EQ(Read("system", "AdaptorName"), "no-such-adapter");  // a trial does not write the file

  // Closing the dialog stops the test and says so on the button and the row.
  d.close();
  EXPECT_FALSE(d.adapterTestTimer_->isActive());
  EXPECT_FALSE(form.Handler().test.TestActive.load());
  EXPECT_EQ(d.testAdaptersButton_->text(), "测试所有网络适配器");
  EXPECT_EQ(d.adapterList_->topLevelItem(0)->text(2), "");
  ASSERT_TRUE(WaitFor([&] { return !form.SessionRunning(); }, 20000));
}

// The first-run message answered late: while it is open neither the automatic start nor the adapter
// test runs (the first would raise a second message, the second would reach a dialog not yet built);
// once it is answered, start-up goes on and the adapter test opens the dialog.
TEST_F(SettingsDialogTest, AFirstRunMessageAnsweredLateHoldsTheTimersBack) {
  if (!Net().Available()) GTEST_SKIP() << "no capture library";
  CutDeviceList cut(Net());
  if (Devices().empty()) GTEST_SKIP() << "the capture devices cannot be listed here";
  WriteSettings(false);  // the shipped file: autoRun on, no adapter named
  std::size_t openBoxes = 0;
  std::size_t mostOpen = 0;
  prompter_.whileOpen = [&](const ScriptedPrompter::Box&) {
    ++openBoxes;
    mostOpen = std::max(mostOpen, openBoxes);
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 3500) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    --openBoxes;
  };
  TForm1 form(Net(), prompter_, TForm1Options::Offline(dir_.path()));
  prompter_.whileOpen = nullptr;
  form.SetHostResolver([](const std::string&) { return std::optional<std::string>(); });
  ASSERT_EQ(prompter_.boxes.size(), 1u);
  EXPECT_EQ(prompter_.boxes[0].text, kFirstRun);
  EXPECT_EQ(mostOpen, 1u);
  ASSERT_NE(form.Settings(), nullptr);
  EXPECT_TRUE(form.autoStartTimer_->isActive());  // the automatic start counts from the end of start-up
  EXPECT_TRUE(form.adapterRetryTimer_->isActive());
  ASSERT_TRUE(WaitFor([&] { return form.Settings()->isVisible(); }, 5000));
  EXPECT_EQ(form.Settings()->pages_->currentIndex(), TForm2::kPageAdapters);
  form.Settings()->close();
  form.EndSniffing();
  ASSERT_TRUE(WaitFor([&] { return !form.SessionRunning(); }, 20000));
}

TEST_F(SettingsDialogTest, AdapterRowsActAsOneRadioGroup) {
  const auto devices = Devices();
  if (devices.size() < 2) GTEST_SKIP() << "needs two capture devices";
  SetLine("AdaptorName", QByteArray::fromStdString("AdaptorName=" + devices[0].name));
  TForm2& d = Dialog();
  EXPECT_TRUE(prompter_.boxes.empty());
  auto checkedRows = [&] {
    std::vector<int> rows;
    for (int i = 0; i < d.adapterList_->topLevelItemCount(); ++i)
      if (d.adapterList_->topLevelItem(i)->checkState(0) == Qt::Checked) rows.push_back(i);
    return rows;
  };
  EXPECT_EQ(checkedRows(), std::vector<int>{0});
  EXPECT_EQ(d.adapterList_->topLevelItem(1)->text(1), QString::fromStdString(devices[1].name));
  // The library's description, else the interface name (with its addresses where it has any).
  if (!devices[1].description.empty()) {
    EXPECT_EQ(d.adapterList_->topLevelItem(1)->text(0), FromGbk(devices[1].description));
  } else {
    EXPECT_TRUE(d.adapterList_->topLevelItem(1)->text(0).startsWith(QString::fromStdString(devices[1].name)));
  }
  EXPECT_TRUE(Form().AdapterItem(0)->isChecked());

  // Pressing the current row's box leaves it checked.
  d.adapterList_->topLevelItem(0)->setCheckState(0, Qt::Unchecked);
  d.AdapterRowPressed(0);
  EXPECT_EQ(checkedRows(), std::vector<int>{0});
  // A real click on row 1 makes it the only one, the current adapter and the saved one.
  d.show();
  d.pages_->setCurrentIndex(TForm2::kPageAdapters);
  const QRect rect = d.adapterList_->visualItemRect(d.adapterList_->topLevelItem(1));
  QTest::mouseClick(d.adapterList_->viewport(), Qt::LeftButton, {}, QPoint(rect.center().x(), rect.center().y()));
  EXPECT_EQ(checkedRows(), std::vector<int>{1});
  // Readable rows: the columns fit the table, so nothing hides behind a sideways scroll, and the whole
  // caption and name are in the tooltips. The test page fetches unseen.
  QTreeWidget& table = *d.adapterList_;
  EXPECT_FALSE(table.horizontalScrollBar()->isVisible());
  EXPECT_LE(table.columnWidth(0) + table.columnWidth(1) + table.columnWidth(2), table.viewport()->width());
  for (int i = 0; i < table.topLevelItemCount(); ++i) {
    EXPECT_EQ(table.topLevelItem(i)->toolTip(0), table.topLevelItem(i)->text(0));
    EXPECT_EQ(table.topLevelItem(i)->toolTip(1), table.topLevelItem(i)->text(1));
  }
  EXPECT_FALSE(d.testPage_->isVisible());
  EXPECT_EQ(Form().AdapterName(), devices[1].name);
  EXPECT_EQ(Read("system", "AdaptorName"), devices[1].name);
  EXPECT_TRUE(Form().AdapterItem(1)->isChecked());
  EXPECT_FALSE(Form().AdapterItem(0)->isChecked());
  // The menu's choice moves the row's mark as well.
  Form().AdapterItem(0)->trigger();
  EXPECT_EQ(checkedRows(), std::vector<int>{0});
  EXPECT_EQ(Read("system", "AdaptorName"), devices[0].name);
}

// Under a dark theme an unticked adapter row's check box stands out from its row (the style outlines
// it in a shade of the window colour, which a dark palette makes the base itself).
TEST_F(SettingsDialogTest, AdapterCheckBoxesShowUnderADarkTheme) {
  struct PaletteBack {
    QPalette saved = QApplication::palette();
    ~PaletteBack() { QApplication::setPalette(saved); }
  } back;
  QPalette dark = back.saved;
  dark.setColor(QPalette::Window, QColor(45, 45, 48));
  dark.setColor(QPalette::Button, QColor(45, 45, 48));
  dark.setColor(QPalette::Base, QColor(30, 30, 32));
  for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) dark.setColor(role, QColor(230, 230, 230));
  QApplication::setPalette(dark);
  TForm2& d = Dialog();
  QTreeWidget& table = *d.adapterList_;
  if (table.topLevelItemCount() == 0) GTEST_SKIP() << "the capture devices cannot be listed here";
  d.show();
  d.pages_->setCurrentIndex(TForm2::kPageAdapters);
  table.clearSelection();
  ASSERT_NE(table.topLevelItem(0)->checkState(0), Qt::Checked);
  const QRect row = table.visualItemRect(table.topLevelItem(0));
  // The check box sits at the row's left end, within a square of the row's height.
  const QImage box = table.viewport()->grab(QRect(row.left(), row.top(), row.height() + 4, row.height())).toImage();
  const int base = qGray(dark.color(QPalette::Base).rgb());
  int outline = 0;
  for (int y = 0; y < box.height(); ++y)
    for (int x = 0; x < box.width(); ++x)
      if (std::abs(qGray(box.pixel(x, y)) - base) > 40) ++outline;
  EXPECT_GT(outline, 8) << "the check box is not to be told from its row";
}

// A user the capture library refuses, with no helper that could capture instead, is told on the adapter
// page in the program's words, with the command to run and a button that copies it.
int (*realActivate)(pcap_t*) = nullptr;
TEST_F(SettingsDialogTest, AUserWithoutCaptureRightsIsToldWhatToRun) {
  if (!Net().Available() || Net().pcap_activate == nullptr) GTEST_SKIP() << "no capture library";
  TForm2& d = Dialog();
  if (d.adapterList_->topLevelItemCount() == 0) GTEST_SKIP() << "the capture devices cannot be listed here";
  d.ShowCaptureRights(CaptureHelperPlace{});
  const bool rightsHere = d.rightsBox_->isHidden();
  const int plainHeight = d.height();
  realActivate = Net().pcap_activate;
  Net().pcap_activate = [](pcap_t*) { return PCAP_ERROR_PERM_DENIED; };
  struct Restore {
    ~Restore() { WindowTest::Net().pcap_activate = realActivate; }
  } restore;
  const std::string helper = ToGbk(dir_.path()) + "/build folder/quelvar-capture";  // not there
  const struct {
    bool installed;
    std::string command;
  } cases[] = {
      {false, "sudo setcap cap_net_raw,cap_net_admin=eip '" + helper + "'"},
      {true, "sudo usermod -a -G quelvar $USER"},
  };
  for (const auto& c : cases) {
    d.ShowCaptureRights(CaptureHelperPlace{helper, c.installed});
    ASSERT_FALSE(d.rightsBox_->isHidden());
    EXPECT_TRUE(d.rightsText_->text().contains("没有抓包权限")) << d.rightsText_->text().toStdString();
    EXPECT_FALSE(d.rightsText_->text().contains("ermission"));
    EXPECT_EQ(d.rightsCommand_->text().toStdString(), c.command);
    QGuiApplication::clipboard()->clear();
    d.copyCommandButton_->click();
    EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), c.command);
    if (rightsHere) EXPECT_GT(d.height(), plainHeight);  // grown by the advice, the rows keep their room
  }
  // Where the library opens the adapter, nothing is said.
  Net().pcap_activate = realActivate;
  std::string error;
  if (pcap_t* handle = Net().OpenLive("lo", error)) {
    Net().Close(handle);
    d.ShowCaptureRights(CaptureHelperPlace{helper, false});
    EXPECT_TRUE(d.rightsBox_->isHidden());
    EXPECT_EQ(d.height(), plainHeight);
  }
}

TEST_F(SettingsDialogTest, FolderButtonsOnlyCreateMissingKeys) {
  const QString exe = dir_.path() + "/tools/dl.exe";
  QDir().mkpath(dir_.path() + "/tools");
  QFile(exe).open(QIODevice::WriteOnly);
  const std::string folder = ToGbk(dir_.path() + "/tools/");
  const std::string base = ToGbk("\\Software\\Microsoft\\Internet Explorer\\MenuExt\\");
  const std::string net = base + ToGbk("使用网络传送带下载");
  const std::string nt = base + ToGbk("使用影音传送带下载");
  const std::string fg = base + ToGbk("使用网际快车下载");
  struct Case {
    const char* name;
    int button;                    // 1 or 2
    std::vector<std::string> existing;  // keys present before, with value "old"
    QString chosen;
    std::string key;               // the key to look at afterwards
    std::optional<std::string> value;
  };
  const std::vector<Case> cases = {
      {"NetTransport, nothing there", 1, {}, exe, nt, folder},
      {"NetTransport, the older key there", 1, {net}, exe, nt, std::nullopt},
      {"NetTransport, its key there", 1, {nt}, exe, nt, "old"},
      {"NetTransport, dialog cancelled", 1, {}, "", nt, std::nullopt},
      {"FlashGet, nothing there", 2, {}, exe, fg, folder},
      {"FlashGet, its key there", 2, {fg}, exe, fg, "old"},
  };
  TForm2& d = Dialog();
  int n = 0;
  for (const Case& c : cases) {
    const std::string path = (dir_.path() + QStringLiteral("/registry%1.ini").arg(n++)).toStdString();
    UserRegistry reg(path);
    for (const std::string& k : c.existing) ASSERT_TRUE(reg.WriteDefault(k, "old"));
    d.SetRegistryPath(path);
    prompter_.openName = c.chosen;
    (c.button == 1 ? d.netTransportFolderButton_ : d.flashGetFolderButton_)->click();
    EXPECT_EQ(reg.ReadDefault(c.key), c.value) << c.name;
    for (const std::string& k : c.existing) EXPECT_EQ(reg.ReadDefault(k), "old") << c.name;
  }
  // Line 3 puts the chosen program into the path edit, and so into the file.
  prompter_.openName = exe;
  d.otherDownloaderFileButton_->click();
  EXPECT_EQ(d.downloadPathEdit_->text(), exe);
  EXPECT_EQ(Read("system", "DownloadPath"), ToGbk(exe));
}

TEST_F(SettingsDialogTest, EditorAddsAndDeletesWithItsMessages) {
  TForm2& d = Dialog();
  prompter_.boxes.clear();
  auto lastBox = [&] { return prompter_.boxes.empty() ? QString() : prompter_.boxes.back().text; };
  d.fileTypeTree_->setCurrentItem(Category(kPictures));

  struct Case {
    QString typed;
    QString box;
    BoxKind kind;
  };
  const std::vector<Case> refused = {
      {"", "输入有误！添加失败", BoxKind::Warning},      // cancelled
      {".", "输入有误！添加失败", BoxKind::Warning},
      {"  ", "输入有误！添加失败", BoxKind::Warning},
      {"jpg", "此文件类型已经存在！添加失败", BoxKind::Warning},
      {"  .JPG  ", "此文件类型已经存在！添加失败", BoxKind::Warning},
      {"MP3", "此文件类型已经存在！添加失败", BoxKind::Warning},  // found in another category
  };
  const int before = Category(kPictures)->childCount();
  for (const Case& c : refused) {
    d.fileTypeTree_->setCurrentItem(Category(kPictures));
    prompter_.inputAnswer = c.typed;
    d.AddFileType();
    EXPECT_EQ(lastBox(), c.box) << c.typed.toStdString();
    EXPECT_EQ(prompter_.boxes.back().kind, c.kind);
    EXPECT_EQ(Category(kPictures)->childCount(), before);
  }
  // The existing node is shown selected.
  EXPECT_EQ(d.fileTypeTree_->currentItem()->text(0), ".mp3");
  EXPECT_EQ(prompter_.inputs.front(),
            "输入|添加新文件类型，输入文件扩展名，如\".jpg\"\r\n添加到 <图片文件> 大类中|.");

  // Added while an extension is selected: to that extension's category, unchecked, as typed.
  d.fileTypeTree_->setCurrentItem(Entry(kPictures, ".png"));
  prompter_.inputAnswer = " HEIC ";
  d.AddFileType();
  EXPECT_EQ(lastBox(), "添加成功");
  EXPECT_EQ(prompter_.boxes.back().kind, BoxKind::Information);
  QTreeWidgetItem* added = Category(kPictures)->child(Category(kPictures)->childCount() - 1);
  EXPECT_EQ(added->text(0), ".HEIC");
  EXPECT_FALSE(Checked(added));
  // Unticked, and the editor says so: the node selected, in view with its check box, and a note.
  EXPECT_EQ(d.fileTypeTree_->currentItem(), added);
  EXPECT_FALSE(d.newTypeNote_->isHidden());
  EXPECT_TRUE(d.newTypeNote_->text().contains(".HEIC")) << d.newTypeNote_->text().toStdString();
  EXPECT_TRUE(d.newTypeNote_->text().contains("勾选"));
  const std::string address = "http://a.example/b.heic";
  // Known but unchecked: not listed; checked: a picture, at the very next classification.
  EXPECT_EQ(FileType(address, *Form().Types().Current()), "");
  added->setCheckState(0, Qt::Checked);
  EXPECT_EQ(FromGbk(FileType(address, *Form().Types().Current())), "图片文件");
  EXPECT_TRUE(d.newTypeNote_->isHidden());  // ticked: nothing left to say

  // Delete: an extension goes without a question; a category stays.
  const std::size_t boxes = prompter_.boxes.size();
  d.fileTypeTree_->setCurrentItem(added);
  d.DeleteFileType();
  EXPECT_EQ(Entry(kPictures, ".HEIC"), nullptr);
  EXPECT_EQ(FromGbk(FileType(address, *Form().Types().Current())), "未定义");
  d.fileTypeTree_->setCurrentItem(Category(kPictures));
  d.DeleteFileType();
  EXPECT_EQ(d.fileTypeTree_->topLevelItemCount(), 5);
  EXPECT_EQ(prompter_.boxes.size(), boxes);

  // The tree's popup is the dialog's own, and its entries reach these commands.
  prompter_.inputAnswer = "abc";
  d.fileTypeTree_->setCurrentItem(Category(kTexts));
  for (QAction* a : d.fileTypeMenu_->actions())
    if (a->text() == "增加文件类型") a->trigger();
  EXPECT_NE(Entry(kTexts, ".abc"), nullptr);
  d.fileTypeTree_->setCurrentItem(Entry(kTexts, ".abc"));
  for (QAction* a : d.fileTypeMenu_->actions())
    if (a->text() == "删除所选文件类型") a->trigger();
  EXPECT_EQ(Entry(kTexts, ".abc"), nullptr);
}

// A type added to a long category lands below the visible rows: the tree scrolls to it, its check box
// included, and ticking its whole category also ends the note.
TEST_F(SettingsDialogTest, AnAddedTypeIsBroughtIntoViewUntilTicked) {
  TForm2& d = Dialog();
  d.ShowPage(TForm2::kPageFileTypes);
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&d));
  for (int c = 0; c < 5; ++c) Category(c)->setExpanded(true);  // the pictures' end is far below
  d.fileTypeTree_->scrollToTop();
  d.fileTypeTree_->setCurrentItem(Category(kPictures));
  prompter_.inputAnswer = ".weba";
  d.AddFileType();
  QTreeWidgetItem* added = Entry(kPictures, ".weba");
  ASSERT_NE(added, nullptr);
  QApplication::processEvents();
  const QRect row = d.fileTypeTree_->visualItemRect(added);
  // The row's left edge, where its check box is, lies inside the visible part of the tree.
  EXPECT_TRUE(d.fileTypeTree_->viewport()->rect().contains(row.topLeft())) << row.y();
  EXPECT_TRUE(d.fileTypeTree_->viewport()->rect().contains(row.bottomLeft())) << row.y();
  EXPECT_TRUE(d.newTypeNote_->isVisible());
  EXPECT_TRUE(added->toolTip(0).contains(".weba"));

  Press(Category(kPictures), true);  // the category ticks, and every entry with it
  if (!Checked(Category(kPictures))) Press(Category(kPictures), true);
  ASSERT_TRUE(Checked(added));
  EXPECT_TRUE(d.newTypeNote_->isHidden());

  // Deleting the type the note speaks of ends it too.
  prompter_.inputAnswer = ".weba2";
  d.AddFileType();
  ASSERT_FALSE(d.newTypeNote_->isHidden());
  d.fileTypeTree_->setCurrentItem(Entry(kPictures, ".weba2"));
  d.DeleteFileType();
  EXPECT_TRUE(d.newTypeNote_->isHidden());
}

TEST_F(SettingsDialogTest, MousePressesSpreadMarksBetweenACategoryAndItsEntries) {
  Dialog();
  QTreeWidgetItem* texts = Category(kTexts);  // mixed: .txt checked, .htm not
  ASSERT_TRUE(Checked(texts));
  auto all = [&](bool on) {
    for (int i = 0; i < texts->childCount(); ++i)
      if (Checked(texts->child(i)) != on) return false;
    return true;
  };
  const std::string htm = "http://a.example/p.htm";
  EXPECT_EQ(FileType(htm, *Form().Types().Current()), "");

  Press(texts, false);  // on the text, not the box: nothing
  EXPECT_TRUE(Checked(texts));
  EXPECT_FALSE(all(true));
  Press(texts, true);  // the box: cleared, and all its entries with it
  EXPECT_FALSE(Checked(texts));
  EXPECT_TRUE(all(false));
  EXPECT_EQ(FileType("http://a.example/p.txt", *Form().Types().Current()), "");
  Press(texts, true);  // checked again: every entry
  EXPECT_TRUE(all(true));
  EXPECT_EQ(FromGbk(FileType(htm, *Form().Types().Current())), "文本文件");

  // Entries: clearing all but one keeps the category checked; clearing the last clears it.
  for (int i = 1; i < texts->childCount(); ++i) Press(texts->child(i), true);
  EXPECT_TRUE(Checked(texts));
  Press(texts->child(0), true);
  EXPECT_FALSE(Checked(texts));
  Press(texts->child(2), true);
  EXPECT_TRUE(Checked(texts));
  // Real clicks: on a category's box, then on an entry's box.
  TForm2& d = Dialog();
  d.show();
  d.pages_->setCurrentIndex(TForm2::kPageFileTypes);
  texts->setExpanded(true);
  auto clickBox = [&](QTreeWidgetItem* node) {
    const QRect r = d.fileTypeTree_->visualItemRect(node);
    const int box = d.fileTypeTree_->style()->pixelMetric(QStyle::PM_IndicatorWidth);
    const int margin = d.fileTypeTree_->style()->pixelMetric(QStyle::PM_FocusFrameHMargin) + 1;
    QTest::mouseClick(d.fileTypeTree_->viewport(), Qt::LeftButton, {}, QPoint(r.left() + margin + box / 2, r.center().y()));
  };
  ASSERT_TRUE(Checked(texts));
  clickBox(texts);
  EXPECT_FALSE(Checked(texts));
  EXPECT_TRUE(all(false));
  clickBox(texts->child(3));
  EXPECT_TRUE(Checked(texts->child(3)));
  EXPECT_TRUE(Checked(texts));

  // The keyboard toggles a node alone.
  texts->setCheckState(0, Qt::Unchecked);
  EXPECT_TRUE(Checked(texts->child(3)));
}

TEST_F(SettingsDialogTest, OkRewritesEveryCategoryKey) {
  QByteArray text = IniBytes();
  const QByteArray texts = QByteArray::fromStdString(ToGbk("文本文件="));
  QList<QByteArray> lines = text.split('\n');
  lines.removeIf([&](const QByteArray& l) { return l.startsWith(texts); });  // a category key absent
  SetIniBytes(lines.join('\n'));
  SetLine(QByteArray::fromStdString(ToGbk("图片文件")), QByteArray::fromStdString(ToGbk("图片文件=1jpg|0gif|")));
  TForm2& d = Dialog();
  d.show();
  d.fileTypeTree_->setCurrentItem(Category(0));
  prompter_.inputAnswer = ".new";
  d.AddFileType();
  d.okButton_->click();
  EXPECT_FALSE(d.isVisible());
  EXPECT_EQ(Read("FileType", ToGbk("图片文件")), "1.jpg|0.gif|");
  EXPECT_EQ(Read("FileType", ToGbk("文本文件")), "");
  EXPECT_EQ(Read("FileType", ToGbk("自定义类型")), "1.zip|1.rar|1.7z|1.exe|1.apk|1.iso|1.torrent|");
  const std::string video = Read("FileType", ToGbk("视频文件"));
  EXPECT_TRUE(video.starts_with("1.flv|") && video.ends_with("|0.new|")) << video;
  EXPECT_NE(Read("FileType", ToGbk("音频文件")), "<absent>");
}

// Escape takes the dialog's one way out, "确定": the file types are saved and a running test stops.
TEST_F(SettingsDialogTest, EscapeLeavesTheDialogAsOkDoes) {
  if (!Net().Available()) GTEST_SKIP() << "no capture library";
  CutDeviceList cut(Net());
  if (Devices().empty()) GTEST_SKIP() << "the capture devices cannot be listed here";
  TForm2& d = Dialog();
  d.show();
  QTreeWidgetItem* flv = Entry(0, ".flv");
  ASSERT_NE(flv, nullptr);
  flv->setCheckState(0, Qt::Unchecked);
  Form().SetHostResolver([](const std::string&) { return std::optional<std::string>("127.0.0.1"); });
  d.TestAdapters();  // an adapter test runs
  ASSERT_EQ(d.testAdaptersButton_->text(), "取消");
  ASSERT_TRUE(d.adapterTestTimer_->isActive());
  ASSERT_TRUE(Form().Handler().test.TestActive.load());
  QTest::keyClick(&d, Qt::Key_Escape);
  EXPECT_FALSE(d.isVisible());
  EXPECT_TRUE(Read("FileType", ToGbk("视频文件")).starts_with("0.flv|"));
  EXPECT_FALSE(d.adapterTestTimer_->isActive());
  EXPECT_FALSE(Form().Handler().test.TestActive.load());
  EXPECT_EQ(d.testAdaptersButton_->text(), "测试所有网络适配器");
}

// The test site is looked up by its host alone, whatever stands around it.
TEST_F(SettingsDialogTest, TestSiteIsLookedUpByItsHost) {
  TForm2& d = Dialog();
  std::vector<std::string> looked;
  Form().SetHostResolver([&](const std::string& host) {
    looked.push_back(host);
    return std::optional<std::string>();
  });
  const std::pair<const char*, const char*> cases[] = {
      {"www.example.com/index.html", "www.example.com"},
      {"  http://site.example:8080/path/page.htm ", "site.example"},
      {"https://a.example", "a.example"},
      {"b.example:81/x/y", "b.example"},
  };
  for (const auto& [typed, host] : cases) {
    looked.clear();
    d.testSiteEdit_->setText(QString::fromUtf8(typed));
    d.TestAdapters();
    EXPECT_EQ(looked, std::vector<std::string>{host}) << typed;
  }
}

// An adapter that cannot be opened fails its trial at the next tick, with the reason in its row and
// no message box; the test goes on.
int (*listedFindAllDevs)(pcap_if_t**, char*) = nullptr;
void (*realFreeAllDevs)(pcap_if_t*) = nullptr;
char bogusName[] = "quelvar-no-such-device";
pcap_if_t bogus{};
int FindAnUnopenableDeviceFirst(pcap_if_t** out, char* err) {
  const int rc = listedFindAllDevs(out, err);
  if (rc != 0) return rc;
  bogus.name = bogusName;
  bogus.next = *out;
  *out = &bogus;
  return 0;
}
void FreeAfterTheUnopenableDevice(pcap_if_t* head) { realFreeAllDevs(head == &bogus ? bogus.next : head); }

TEST_F(SettingsDialogTest, AnAdapterThatCannotBeOpenedFailsItsTrialWithoutABox) {
  if (!Net().Available()) GTEST_SKIP() << "no capture library";
  CutDeviceList cut(Net());
  listedFindAllDevs = Net().pcap_findalldevs;
  realFreeAllDevs = Net().pcap_freealldevs;
  Net().pcap_findalldevs = &FindAnUnopenableDeviceFirst;
  Net().pcap_freealldevs = &FreeAfterTheUnopenableDevice;
  struct Restore {
    ~Restore() {
      WindowTest::Net().pcap_findalldevs = listedFindAllDevs;
      WindowTest::Net().pcap_freealldevs = realFreeAllDevs;
    }
  } restore;
  TForm1& form = Form();
  TForm2& d = *form.Settings();
  ASSERT_GE(d.adapterList_->topLevelItemCount(), 1);
  ASSERT_EQ(d.adapterList_->topLevelItem(0)->text(1), "quelvar-no-such-device");
  form.SetHostResolver([](const std::string&) { return std::optional<std::string>("127.0.0.1"); });
  prompter_.boxes.clear();
  d.testSiteEdit_->setText("site.example");
  d.TestAdapters();
  EXPECT_EQ(d.testAdaptersButton_->text(), "取消");
  EXPECT_TRUE(prompter_.boxes.empty()) << prompter_.boxes.front().text.toStdString();
  d.AdapterTestTick();
  EXPECT_EQ(d.adapterList_->topLevelItem(0)->text(2), "不可用");
  EXPECT_TRUE(d.adapterList_->topLevelItem(0)->toolTip(2).contains("quelvar-no-such-device"));
  if (d.adapterList_->topLevelItemCount() > 1) {
    EXPECT_EQ(d.TestIndex(), 1);
  }
  EXPECT_TRUE(prompter_.boxes.empty());
  d.close();
  ASSERT_TRUE(WaitFor([&] { return !form.SessionRunning(); }, 20000));
}

// The judging of trials, with the capture stopped so that only the ticks decide.
TEST_F(SettingsDialogTest, TrialsAreJudgedByTheirTicks) {
  if (!Net().Available()) GTEST_SKIP() << "no capture library";
  CutDeviceList cut(Net());
  const auto devices = Devices();
  if (devices.empty()) GTEST_SKIP() << "the capture devices cannot be listed here";
  TForm1& form = Form();
  TForm2& d = *form.Settings();
  AdapterTestState& test = form.Handler().test;
  form.SetHostResolver([](const std::string& host) {
    return host == "site.example" ? std::optional<std::string>("127.0.0.1") : std::nullopt;
  });

  // A site that cannot be resolved starts nothing; a full address is looked up by its host.
  d.testSiteEdit_->setText("http://nowhere.example/x");
  d.TestAdapters();
  EXPECT_EQ(prompter_.boxes.back().text, "当前网址经测试不能连接！请换一个网址测试。");
  EXPECT_EQ(d.testAdaptersButton_->text(), "测试所有网络适配器");
  // The program asking again (a retry after start-up) says it no more in a box; the page keeps saying it.
  const std::size_t boxes = prompter_.boxes.size();
  for (int retry = 0; retry < 3; ++retry) d.TestAdapters();
  EXPECT_EQ(prompter_.boxes.size(), boxes);
  EXPECT_FALSE(d.adapterNote_->isHidden());
  EXPECT_EQ(d.adapterNote_->text(), "当前网址经测试不能连接！请换一个网址测试。");
  d.TestAdapters(true);  // the person's press is answered
  EXPECT_EQ(prompter_.boxes.size(), boxes + 1);
  d.testSiteEdit_->setText("  http://site.example:8080/path/page.htm ");

  auto begin = [&] {
    d.TestAdapters();
    ASSERT_EQ(d.testAdaptersButton_->text(), "取消");
    d.adapterTestTimer_->stop();  // the test drives the ticks
    form.EndSniffing();
    ASSERT_TRUE(WaitFor([&] { return !form.SessionRunning(); }, 20000));
    test.TestTrafficSeen.store(false);
  };
  begin();
  EXPECT_EQ(d.TestIndex(), 0);
  EXPECT_TRUE(test.TestActive.load());
  for (int tick = 1; tick <= 10; ++tick) d.AdapterTestTick();
  EXPECT_EQ(d.adapterList_->topLevelItem(0)->text(2), "正在测试");
  d.AdapterTestTick();  // the 11th tick without traffic
  EXPECT_EQ(d.adapterList_->topLevelItem(0)->text(2), "不可用");
  if (devices.size() > 1) {
    EXPECT_EQ(d.TestIndex(), 1);
    EXPECT_EQ(d.adapterList_->topLevelItem(1)->text(2), "正在测试");
    EXPECT_EQ(form.AdapterName(), devices[1].name);
    // "取消" stops the test as closing the dialog does.
    d.TestAdapters(true);
    EXPECT_EQ(d.testAdaptersButton_->text(), "测试所有网络适配器");
    EXPECT_FALSE(d.adapterTestTimer_->isActive());
    EXPECT_FALSE(test.TestActive.load());
    ASSERT_TRUE(WaitFor([&] { return !form.SessionRunning(); }, 20000));
  }

  // Traffic seen: usable, and accepting makes it the default adapter.
  begin();
  test.TestTrafficSeen.store(true);
  prompter_.answers = {BoxAnswer::Ok};
  d.AdapterTestTick();
  EXPECT_EQ(prompter_.boxes.back().text, FromGbk(devices[0].name) + " 可用，是否它作为缺省适配器！");
  EXPECT_EQ(prompter_.boxes.back().buttons, BoxButtons::OkCancel);
  EXPECT_EQ(d.adapterList_->topLevelItem(0)->text(2), "可用");
  EXPECT_EQ(d.testAdaptersButton_->text(), "测试所有网络适配器");
  EXPECT_FALSE(test.TestActive.load());
  EXPECT_EQ(Read("system", "AdaptorName"), devices[0].name);
  EXPECT_EQ(d.adapterList_->topLevelItem(0)->checkState(0), Qt::Checked);
  ASSERT_TRUE(WaitFor([&] { return !form.SessionRunning(); }, 20000));
}

// A whole adapter test, with the dialog's web view fetching a page from a local server, so that the
// loopback adapter sees traffic while a quiet one does not.
TEST_F(SettingsDialogTest, AWholeTestFindsTheLoopbackAdapterUsable) {
  if (!Net().Available()) GTEST_SKIP() << "no capture library";
  CutDeviceList cut(Net());
  const auto devices = Devices();
  int lo = -1;
  for (std::size_t i = 0; i < devices.size(); ++i)
    if (devices[i].name == "lo") lo = static_cast<int>(i);
  if (lo < 0) GTEST_SKIP() << "no loopback adapter listed";
  {
    std::string error;
    pcap_t* handle = Net().OpenLive("lo", error);
    if (handle == nullptr) GTEST_SKIP() << "capture is not permitted here: " << error;
    Net().pcap_close(handle);
  }
  // The page comes in many small pieces, so the fetch makes a few dozen frames.
  QTcpServer server;
  ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
  int fetches = 0;
  QObject::connect(&server, &QTcpServer::newConnection, [&] {
    while (QTcpSocket* s = server.nextPendingConnection()) {
      ++fetches;
      s->setSocketOption(QAbstractSocket::LowDelayOption, 1);
      auto* timer = new QTimer(s);
      auto* sent = new int(0);
      QObject::connect(s, &QObject::destroyed, [sent] { delete sent; });
      QObject::connect(timer, &QTimer::timeout, s, [s, timer, sent] {
        if (*sent == 0) s->write("HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nContent-Length: 400\r\n\r\n");
        if (*sent < 40) s->write(QByteArray(10, 'x'));
        s->flush();
        if (++*sent >= 40) {
          timer->stop();
          s->disconnectFromHost();
          QObject::connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
        }
      });
      timer->start(5);
    }
  });

  TForm1& form = Form();
  TForm2& d = *form.Settings();
  d.adapterTestTimer_->setInterval(200);
  d.testSiteEdit_->setText(QStringLiteral("http://127.0.0.1:%1/").arg(server.serverPort()));
  d.show();
  d.TestAdapters();  // every question is answered with Cancel, so all adapters are tried
  ASSERT_TRUE(WaitFor([&] { return d.testAdaptersButton_->text() == "测试所有网络适配器"; }, 120000));
  EXPECT_GT(fetches, 0);
  EXPECT_EQ(d.adapterList_->topLevelItem(lo)->text(2), "可用");
  int first = -1;
  for (int i = 0; i < d.adapterList_->topLevelItemCount() && first < 0; ++i)
    if (d.adapterList_->topLevelItem(i)->text(2) == "可用") first = i;
  ASSERT_GE(first, 0);
  // Declining every usable adapter makes the first of them the current and saved one.
  EXPECT_EQ(Read("system", "AdaptorName"), devices[first].name);
  EXPECT_EQ(form.AdapterName(), devices[first].name);
  for (const auto& box : prompter_.boxes) EXPECT_FALSE(box.text.startsWith("未发现可用的网络适配器"));
  // A quiet adapter fails after its 11 ticks.
  for (std::size_t i = 0; i < devices.size(); ++i) {
    if (devices[i].name == "ifb0") {
      EXPECT_EQ(d.adapterList_->topLevelItem(static_cast<int>(i))->text(2), "不可用");
    }
  }
  EXPECT_FALSE(form.Handler().test.TestActive.load());
  ASSERT_TRUE(WaitFor([&] { return !form.SessionRunning(); }, 20000));
}

}  // namespace
}  // namespace qv::testing
