// The main window driven as a user would: menus, lists filled from capture files, views, work modes,
// the selection copy, mouse-up and the list commands.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStackedWidget>
#include <QTableView>
#include <QTest>
#include <QTextBrowser>
#include <QImage>
#include <QPalette>
#include <QToolBar>
#include <QToolButton>

#include <atomic>
#include <chrono>
#include <thread>

#include "app/ui/about_box.h"
#include "app/session/list_models.h"
#include "app/ui/quick_filter.h"
#include "app/session/session_messages.h"
#include "capture/capture_file.h"
#include "common/texts.h"
#include "common/ui/gbk_text.h"
#include "common/ui/web_strip.h"
#include "packets/ui/filter_dialog.h"
#include "packets/ui/packet_inspector.h"
#include "settings/ui/settings_dialog.h"
#include "tests/platform/env_var.h"
#include "tests/ui/sample_capture.h"
#include "tests/ui/ui_support.h"

namespace qv::testing {
namespace {

QString Spaces(int n) { return QString(n, QLatin1Char(' ')); }

class MainWindowTest : public WindowTest {
 protected:
  std::string SampleCapture() {
    const std::string path = (dir_.path() + "/sample.pcap").toStdString();
    WriteSampleCapture(path);
    return path;
  }
  QAction* Action(const char* name) {
    auto* a = Form().findChild<QAction*>(QString::fromLatin1(name));
    EXPECT_NE(a, nullptr) << name;
    return a;
  }
  QString Label(const char* name) { return Form().findChild<QLabel*>(QString::fromLatin1(name))->text(); }
  QString Header(QTableView* view, int column) {
    return view->model()->headerData(column, Qt::Horizontal, Qt::DisplayRole).toString();
  }
  QString Cell(QTableView* view, int row, int column) {
    return view->model()->index(row, column).data(Qt::DisplayRole).toString();
  }
  bool Red(int row) {
    const QVariant v = Form().mainListView_->model()->index(row, 2).data(Qt::ForegroundRole);
    return v.isValid() && v.value<QBrush>().color() == QColor(255, 0, 0);
  }
  void Select(QTableView* view, std::initializer_list<int> rows) {
    view->clearSelection();
    for (int r : rows)
      view->selectionModel()->select(view->model()->index(r, 0),
                                     QItemSelectionModel::Select | QItemSelectionModel::Rows);
  }
  QString Clipboard() { return QGuiApplication::clipboard()->text(); }
  QByteArray FileBytes(const QString& path) {
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::ReadOnly));
    return f.readAll();
  }
};

TEST_F(MainWindowTest, MenusCarryTheirCaptionsAndShortcuts) {
  struct Entry {
    const char* name;
    const char* caption;
    QKeySequence key;
  };
  const Entry entries[] = {
      {"N12", "开始嗅探", QKeySequence(Qt::Key_F3)},
      {"N13", "停止嗅探", QKeySequence(Qt::Key_F4)},
      {"URL2", "获取URL", {}},
      {"N34", "列举数据包", {}},
      {"N39", "过滤设置", {}},
      {"N15", "退  出", QKeySequence(Qt::CTRL | Qt::Key_Q)},
      {"N20", "复制地址", QKeySequence(Qt::CTRL | Qt::Key_C)},
      {"N21", "复制数据包", QKeySequence(Qt::CTRL | Qt::Key_A)},
      {"N23", "删除", QKeySequence(Qt::Key_Delete)},
      {"N4", "增加备注", QKeySequence(Qt::Key_Insert)},
      {"N17", "保存列表", QKeySequence(Qt::CTRL | Qt::Key_S)},
      {"N9", "清空列表", QKeySequence(Qt::CTRL | Qt::Key_Delete)},
      {"N24", "用影音传送带下载", QKeySequence(Qt::CTRL | Qt::Key_Z)},
      {"N25", "用网际快车下载", QKeySequence(Qt::CTRL | Qt::Key_X)},
      {"N49", "用简易下载软件下载", QKeySequence(Qt::CTRL | Qt::Key_E)},
      {"N51", "网卡测试", {}},
      {"N18", "综合设置(&P)", {}},
      {"N29", "帮助文件", QKeySequence(Qt::Key_F1)},
      {"N31", "访问作者主页", QKeySequence(Qt::CTRL | Qt::Key_H)},
      {"N30", "升级查询", QKeySequence(Qt::CTRL | Qt::Key_U)},
      {"N32", "关于Quelvar", {}},
      {"N27", "查看数据包", QKeySequence(Qt::CTRL | Qt::Key_K)},
      {"N40", "地址汉化", QKeySequence(Qt::CTRL | Qt::Key_D)},
      {"btn3", "开始嗅探", {}},
      {"btn4", "停止嗅探", {}},
      {"btn5", "设  置", {}},
      {"btn11", "退  出", {}},
  };
  for (const Entry& e : entries) {
    QAction* a = Action(e.name);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->text(), QString::fromUtf8(e.caption)) << e.name;
    EXPECT_EQ(a->shortcut(), e.key) << e.name;
  }

  // The menu bar's four menus with their accelerators, and the separators where they stand.
  QStringList titles;
  for (QAction* a : Form().menuBar()->actions()) titles << a->text();
  EXPECT_EQ(titles, (QStringList{"嗅探(&C)", "列表(&L)", "设置(&O)", "帮助(&H)"}));
  auto layout = [](QMenu* menu) {
    QStringList items;
    for (QAction* a : menu->actions()) items << (a->isSeparator() ? QStringLiteral("-") : a->text());
    return items;
  };
  QMenu* listMenu = Form().menuBar()->actions()[1]->menu();
  EXPECT_EQ(layout(listMenu), (QStringList{"复制地址", "复制数据包", "删除", "增加备注", "-", "保存列表", "清空列表", "-",
                                           "用影音传送带下载", "用网际快车下载", "用简易下载软件下载"}));
  QMenu* help = Form().menuBar()->actions()[3]->menu();
  EXPECT_EQ(layout(help), (QStringList{"帮助文件", "访问作者主页", "升级查询", "-", "关于Quelvar"}));
  QMenu* settings = Form().menuBar()->actions()[2]->menu();
  EXPECT_EQ(layout(settings), (QStringList{"网络适配器(&D)", "-", "综合设置(&P)"}));
  QMenu* popup = Form().findChild<QMenu*>("pm1");
  ASSERT_NE(popup, nullptr);
  EXPECT_EQ(layout(popup), (QStringList{"分类察看", "-", "复制地址", "复制数据包", "查看数据包", "地址汉化", "-",
                                        "用影音传送带下载", "用网际快车下载", "用简易下载软件下载", "-", "清空列表"}));
  EXPECT_EQ(layout(popup->actions()[0]->menu()),
            (QStringList{"全部", "-", "视音频文件", "图片文件", "文本文件", "自定义类型", "未定义"}));
  EXPECT_TRUE(Action("N6")->isChecked());
  EXPECT_TRUE(Action("URL2")->isChecked());

  // Start state of the status bar, the lists and the hidden local address list.
  EXPECT_EQ(Label("bsSkinStatusPanel4"), "状态:");
  EXPECT_EQ(Label("bsSkinStatusPanel5"), "停止嗅探");
  EXPECT_EQ(Label("bsSkinStatusPanel6"), "当前工作模式[获取URL]");
  EXPECT_EQ(Label("lbl1"), "官方网站  www.quelvar.example");
  EXPECT_EQ(Header(Form().mainListView_, 2), Spaces(61) + "地    址  [所有类型文件]");
  EXPECT_EQ(Header(Form().lv2, 1), Spaces(61) + "地 址");
  EXPECT_FALSE(Form().localAddressBox_->isVisibleTo(&Form()));
  EXPECT_EQ(Form().listPages_->currentIndex(), 0);
}

// The tool bar follows the theme: a white strip with dark captions under a light one, the window's
// dark colour with light captions under a dark one; the banner shows its page dark on white in both.
TEST_F(MainWindowTest, ToolBarFollowsTheThemeAndTheBannerStaysAWhitePage) {
  const QPalette saved = QApplication::palette();
  QPalette dark = saved;
  for (auto role : {QPalette::Window, QPalette::Base, QPalette::Button})
    dark.setColor(role, QColor(30, 30, 30));
  for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
    dark.setColor(role, QColor(235, 235, 235));
  struct Case {
    const char* theme;
    QPalette palette;
    bool dark;
  };
  for (const Case& c : {Case{"light", saved, false}, Case{"dark", dark, true}}) {
    SCOPED_TRACE(c.theme);
    QApplication::setPalette(c.palette);
    form_.reset();
    TForm1& form = Form();
    form.show();
    auto* bar = form.findChild<QToolBar*>(QStringLiteral("tlb1"));
    ASSERT_NE(bar, nullptr);
    QWidget* start = bar->widgetForAction(Action("btn3"));
    ASSERT_NE(start, nullptr);
    const QImage strip = bar->grab().toImage();
    // The strip itself, beside the first button's image.
    const QRect button = start->geometry();
    const QColor back(strip.pixel(button.x() + 2, button.y() + 2));
    if (c.dark)
      EXPECT_LT(qGray(back.rgb()), 80) << "the strip stays light: " << back.name().toStdString();
    else
      EXPECT_EQ(back, QColor(Qt::white));
    // The caption is the lower part of the button, under the 40 x 40 image, drawn on the strip.
    const QImage caption = strip.copy(button.x(), button.bottom() - 19, button.width(), 18);
    int contrasting = 0;
    for (int y = 0; y < caption.height(); ++y)
      for (int x = 0; x < caption.width(); ++x)
        if (c.dark ? qGray(caption.pixel(x, y)) > 170 : qGray(caption.pixel(x, y)) < 100) ++contrasting;
    EXPECT_GT(contrasting, 10) << "no caption pixels that stand out from the strip";
    const QImage banner = form.webStrip_->viewport()->grab().toImage();
    EXPECT_EQ(QColor(banner.pixel(banner.width() - 2, banner.height() - 2)), QColor(Qt::white));
  }
  QApplication::setPalette(saved);
}

TEST_F(MainWindowTest, StartUpReadsTheSettingsFile) {
  Form();
  EXPECT_EQ(Form().windowTitle(), "Quelvar(Tessoran)");  // no title key in the shipped file
  EXPECT_FALSE(Form().autoStartTimer_->isActive());                   // autoRun off
  EXPECT_TRUE(Form().localAddressTimer_->isActive());
  // Only the first-run notice of the settings dialog (the shipped file names no adapter).
  for (const auto& box : prompter_.boxes)
    EXPECT_EQ(box.text, "首次运行程序，或者网络适配器配置错误，程序将会测试所有网络适配器！");
  form_.reset();

  // autoRun absent: the automatic start is armed for three seconds after creation; an empty title
  // is an empty caption.
  WriteSettings(false);
  QFile f(IniPath());
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  QByteArray text = f.readAll();
  f.close();
  text.replace("autoRun=1\r\n", "").replace("autoRun=1\n", "");
  text.replace("[system]", "[system]\ntitle=");
  ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
  f.write(text);
  f.close();
  Form();
  EXPECT_TRUE(Form().autoStartTimer_->isActive());
  EXPECT_EQ(Form().autoStartTimer_->interval(), 3000);
  EXPECT_EQ(Form().windowTitle(), "");
}

TEST_F(MainWindowTest, MissingSettingsFileIsReportedAndNothingStarts) {
  QFile::remove(IniPath());
  Form();
  ASSERT_EQ(prompter_.boxes.size(), 1u);
  EXPECT_EQ(prompter_.boxes[0].kind, BoxKind::Error);
  EXPECT_EQ(prompter_.boxes[0].text, "安装文件损坏，请重新安装！");
  EXPECT_EQ(Form().windowTitle(), "Quelvar");
  EXPECT_EQ(Form().Store(), nullptr);
  EXPECT_FALSE(Form().autoStartTimer_->isActive());
}

TEST_F(MainWindowTest, RowsOfARealCaptureKeepTheirOrderCategoriesAndDirections) {
  Load(SharedCapture("http_espn_fail.pcapng"));
  QTableView* lv1 = Form().mainListView_;
  const auto& rows = Form().List().Lv1();
  ASSERT_GE(rows.size(), 5u);
  ASSERT_EQ(lv1->model()->rowCount(), static_cast<int>(rows.size()));
  // The first request of the capture opens the list; every row shows what the core holds.
  EXPECT_EQ(Cell(lv1, 0, 0), "未定义");
  EXPECT_EQ(Cell(lv1, 0, 1), "本机→→网络");
  EXPECT_EQ(Cell(lv1, 0, 2), "http://www.espn.com/");
  bool picture = false, inbound = false;
  for (int r = 0; r < lv1->model()->rowCount(); ++r) {
    EXPECT_EQ(Cell(lv1, r, 0), FromGbk(rows[r].caption));
    EXPECT_EQ(Cell(lv1, r, 2), FromGbk(rows[r].cells[1]));
    EXPECT_FALSE(Red(r)) << r;  // no audio, video or .flv in this capture
    picture |= Cell(lv1, r, 0) == "图片文件";
    inbound |= Cell(lv1, r, 1) == "网络→→本机";
  }
  EXPECT_TRUE(picture);
  EXPECT_TRUE(inbound);
  // The local address list holds what the file implies, the last one selected.
  const auto implied = InferLocalAddresses(Net(), SharedCapture("http_espn_fail.pcapng"));
  ASSERT_FALSE(implied.empty());
  ASSERT_EQ(Form().localAddressBox_->count(), static_cast<int>(implied.size()));
  for (std::size_t i = 0; i < implied.size(); ++i)
    EXPECT_EQ(Form().localAddressBox_->itemText(static_cast<int>(i)), QString::fromStdString(implied[i]));
  EXPECT_EQ(Form().localAddressBox_->currentIndex(), Form().localAddressBox_->count() - 1);
  EXPECT_EQ(Label("bsSkinStatusPanel5"), "停止嗅探");
  EXPECT_TRUE(Action("btn3")->isEnabled());
  const std::uint64_t frames = Form().FileFrames();
  EXPECT_GT(frames, rows.size());
  EXPECT_EQ(Label("StatusCaptureFile"), QStringLiteral("http_espn_fail.pcapng：%1 帧").arg(frames));
}

TEST_F(MainWindowTest, OpeningAFileOverListedRowsAsksAndAFailedOpenChangesNothing) {
  Load(SampleCapture());
  const std::size_t listed = Form().List().Lv1().size();
  ASSERT_GT(listed, 0u);
  Form().List().SetRemark(0, "mine");
  const QString panel = Label("StatusCaptureFile");
  const std::uint64_t frames = Form().FileFrames();
  const auto unchanged = [&](const char* step) {
    EXPECT_EQ(Form().List().Lv1().size(), listed) << step;
    EXPECT_EQ(Form().List().Lv1()[0].cells[2], "mine") << step;
    EXPECT_EQ(Label("StatusCaptureFile"), panel) << step;
    EXPECT_EQ(Form().FileFrames(), frames) << step;
  };

  // "No" to the question: nothing happens.
  prompter_.answers = {BoxAnswer::No};
  EXPECT_FALSE(Form().OpenCaptureFile(QString::fromStdString(SampleCapture())));
  ASSERT_EQ(prompter_.boxes.size(), 1u);
  EXPECT_EQ(prompter_.boxes[0].buttons, BoxButtons::YesNo);
  EXPECT_TRUE(prompter_.boxes[0].text.contains(QStringLiteral("清空列表中的 %1 行（包括备注）").arg(listed)))
      << prompter_.boxes[0].text.toStdString();
  unchanged("answered No");

  // "Yes", but the file cannot be read (empty, missing): the list, the remark and the panel stay, and
  // the reason names the file once.
  const QString empty = dir_.path() + "/empty.pcap";
  QFile(empty).open(QIODevice::WriteOnly);
  for (const QString& bad : {empty, dir_.path() + "/missing.pcap"}) {
    prompter_.boxes.clear();
    prompter_.answers = {BoxAnswer::Yes};
    EXPECT_FALSE(Form().OpenCaptureFile(bad));
    ASSERT_EQ(prompter_.boxes.size(), 2u);
    const QString why = prompter_.boxes[1].text;
    EXPECT_EQ(prompter_.boxes[1].kind, BoxKind::Error);
    EXPECT_TRUE(why.startsWith(QStringLiteral("无法打开抓包文件 ") + bad + QStringLiteral("："))) << why.toStdString();
    EXPECT_EQ(why.count(bad), 1) << why.toStdString();
    unchanged(qPrintable(bad));
  }

  // A file that opens replaces the rows, and a quick filter typed for the old list goes with them.
  Form().quickFilterEdit_->setText(QStringLiteral("no such row"));
  prompter_.answers = {BoxAnswer::Yes};
  Load(SampleCapture());
  EXPECT_TRUE(Form().quickFilterEdit_->text().isEmpty());
  EXPECT_EQ(Form().mainListView_->model()->rowCount(), static_cast<int>(listed));
  EXPECT_EQ(Form().List().Lv1()[0].cells[2], "") << "the remark went with its list";
}

TEST_F(MainWindowTest, APacketFilterNarrowingTheUrlListShowsABadgeThatClearsIt) {
  Form();
  auto* badge = Form().findChild<QToolButton*>(QStringLiteral("FilterBadge"));
  ASSERT_NE(badge, nullptr);
  EXPECT_TRUE(badge->isHidden());
  Load(SampleCapture());
  const int all = Form().mainListView_->model()->rowCount();

  // Set in packet-list mode, as the person did: no badge there, one in URL mode.
  Action("N34")->trigger();
  Action("N39")->trigger();
  TForm3* dialog = Form().FilterDialog();
  ASSERT_NE(dialog, nullptr);
  dialog->containsTextEdit_->setText(QStringLiteral("song"));
  dialog->filterOkButton_->click();
  EXPECT_TRUE(badge->isHidden());
  Action("URL2")->trigger();
  EXPECT_FALSE(badge->isHidden());
  EXPECT_TRUE(badge->text().contains(QStringLiteral("包含字符串“song”"))) << badge->text().toStdString();

  // It filters: fewer rows of the same file.
  prompter_.answers = {BoxAnswer::Yes};
  Load(SampleCapture());
  const int filtered = Form().mainListView_->model()->rowCount();
  EXPECT_LT(filtered, all);
  EXPECT_FALSE(badge->isHidden()) << "a file session's end keeps the filter";

  // One click clears it; the next reading lists everything again.
  badge->click();
  EXPECT_TRUE(badge->isHidden());
  EXPECT_TRUE(Form().Handler().Filter()->contained.empty());
  prompter_.answers = {BoxAnswer::Yes};
  Load(SampleCapture());
  EXPECT_EQ(Form().mainListView_->model()->rowCount(), all);
}

TEST(SessionMessages, CommandLinesStayWholeAndTheRestIsEscaped) {
  PacketFilter f;
  EXPECT_EQ(UrlModeFilterSummary(f), QString());
  f.minLength = 40;  // a packet-list test only
  EXPECT_EQ(UrlModeFilterSummary(f), QString());
  f.protocol = 6;
  f.direction = 2;
  f.contained = "GET";
  EXPECT_EQ(UrlModeFilterSummary(f), QStringLiteral("数据包类型 TCP，只看本地→→网络，包含字符串“GET”"));
  // Without a command the text is left as it is (plain text, wrapped by the box).
  EXPECT_EQ(MessageWithCommands(QStringLiteral("无法打开抓包文件 /a<b>.pcap：文件不存在。")),
            QStringLiteral("无法打开抓包文件 /a<b>.pcap：文件不存在。"));
  const QString html = MessageWithCommands(QStringLiteral("没有抓包权限 <lo>。\n\nsudo setcap x=eip /very/long/path\n\n完"));
  EXPECT_TRUE(Qt::mightBeRichText(html));
  EXPECT_TRUE(html.contains(QStringLiteral("<p style=\"white-space:pre\"><code>sudo setcap x=eip /very/long/path</code></p>")))
      << html.toStdString();
  EXPECT_TRUE(html.contains(QStringLiteral("&lt;lo&gt;"))) << html.toStdString();
  EXPECT_EQ(OpenFileQuestion(0, false), QString());
  EXPECT_TRUE(OpenFileQuestion(0, true).contains(QStringLiteral("停止正在进行的嗅探")));
}

TEST_F(MainWindowTest, AudioAndVideoRowsAreRedAndTheCategoryViewShowsThem) {
  Load(SampleCapture());
  QTableView* lv1 = Form().mainListView_;
  ASSERT_EQ(lv1->model()->rowCount(), 5);
  const QStringList expected[] = {
      {"音频文件", "本机→→网络", "http://music.example/music/song.mp3"},
      {"图片文件", "本机→→网络", "http://pics.example/pics/photo.jpg"},
      {"未定义", "本机→→网络", "http://www.example/index"},
      {"视频文件", "本机→→网络", "http://video.example/video/clip.flv"},
      {"音频文件", "网络→→本机", "http://cdn.example/track.mp3"},
  };
  const bool red[] = {true, false, false, true, true};
  for (int r = 0; r < 5; ++r) {
    EXPECT_EQ((QStringList{Cell(lv1, r, 0), Cell(lv1, r, 1), Cell(lv1, r, 2)}), expected[r]) << r;
    EXPECT_EQ(Red(r), red[r]) << r;
  }

  // "视音频文件": the audio and video rows, on the second page, with the caption of that view.
  Action("N6_2")->trigger();
  EXPECT_EQ(Form().listPages_->currentIndex(), 1);
  EXPECT_TRUE(Action("N6_2")->isChecked());
  EXPECT_FALSE(Action("N6")->isChecked());
  QTableView* lv2 = Form().lv2;
  ASSERT_EQ(lv2->model()->rowCount(), 3);
  EXPECT_EQ(Cell(lv2, 0, 1), "http://music.example/music/song.mp3");
  EXPECT_EQ(Cell(lv2, 1, 1), "http://video.example/video/clip.flv");
  EXPECT_EQ(Cell(lv2, 2, 0), "网络→→本机");
  EXPECT_FALSE(lv2->model()->index(0, 1).data(Qt::ForegroundRole).isValid());  // the view is never coloured
  EXPECT_EQ(Header(lv2, 1), Spaces(75) + "地    址  [视音频文件]");

  Action("N6_3")->trigger();  // 图片文件
  ASSERT_EQ(lv2->model()->rowCount(), 1);
  EXPECT_EQ(Cell(lv2, 0, 1), "http://pics.example/pics/photo.jpg");
  EXPECT_EQ(Header(lv2, 1), Spaces(75) + "地    址  [图片文件]");

  Action("N6")->trigger();
  EXPECT_EQ(Form().listPages_->currentIndex(), 0);
}

TEST(RowColouring, FollowsCategoryAndAddressEnding) {
  struct Case {
    std::string_view caption;
    const char* address;
    bool red;
  };
  const Case cases[] = {
      {texts::kCatAudio, "http://a/b.mp3", true},
      {texts::kCatVideo, "http://a/b.mp4", true},
      {texts::kCatAudioVideo, "rtsp://a/b", true},
      {texts::kCatUndefined, "http://a/b.FLV", true},
      {texts::kCatUndefined, "http://a/b.flv?x=1", false},
      {texts::kCatPicture, "http://a/b.jpg", false},
      {texts::kCatPicture, "flv", false},
  };
  for (const Case& c : cases) {
    ListRow row{std::string(c.caption), {"d", c.address, ""}, nullptr, {}};
    EXPECT_EQ(RowIsRed(row), c.red) << c.address;
  }
}

TEST_F(MainWindowTest, WorkModesRelabelTheColumnsAndListPackets) {
  Load(SampleCapture());
  Action("N6_3")->trigger();  // a category view is showing
  ASSERT_EQ(Form().listPages_->currentIndex(), 1);

  Action("N34")->trigger();
  EXPECT_TRUE(Action("N34")->isChecked());
  EXPECT_FALSE(Action("URL2")->isChecked());
  EXPECT_TRUE(Action("N6")->isChecked());  // back to "全部" and the first page
  EXPECT_EQ(Form().listPages_->currentIndex(), 0);
  EXPECT_EQ(Form().Handler().workMode.load(), WorkMode::Packets);
  EXPECT_EQ((QStringList{Header(Form().mainListView_, 0), Header(Form().mainListView_, 1),
                         Header(Form().mainListView_, 3)}),
            (QStringList{"协议", "数据包方向", "长度"}));
  EXPECT_EQ(Header(Form().mainListView_, 2), Spaces(61) + "地    址  [所有类型文件]");
  EXPECT_EQ(Label("bsSkinStatusPanel6"), "当前工作模式[列举数据包]");
  EXPECT_EQ(Form().mainListView_->model()->rowCount(), 5);  // the URL rows stay until the next start

  prompter_.answers = {BoxAnswer::Yes};  // the file's rows replace them
  Load(SampleCapture());
  QTableView* lv1 = Form().mainListView_;
  ASSERT_EQ(lv1->model()->rowCount(), 6);  // every frame of the file
  EXPECT_EQ(Cell(lv1, 1, 0), "TCP");
  EXPECT_EQ(Cell(lv1, 1, 1), "本机→→网络");
  EXPECT_TRUE(Cell(lv1, 1, 2).startsWith("GET /music/song.mp3 HTTP/1.1"));
  EXPECT_EQ(Cell(lv1, 1, 3), QString::number(Get("/music/song.mp3", "music.example").size()));
  EXPECT_EQ(Cell(lv1, 5, 1), "网络→→本机");

  Action("N6_3")->trigger();
  Action("URL2")->trigger();
  EXPECT_TRUE(Action("URL2")->isChecked());
  EXPECT_FALSE(Action("N34")->isChecked());
  EXPECT_EQ(Form().listPages_->currentIndex(), 1);  // URL mode leaves the view as it is
  EXPECT_EQ((QStringList{Header(Form().mainListView_, 0), Header(Form().mainListView_, 3)}),
            (QStringList{"文件类型", "备注"}));
  EXPECT_EQ(Label("bsSkinStatusPanel6"), "当前工作模式[嗅探URL]");
  EXPECT_EQ(Form().Handler().workMode.load(), WorkMode::Url);
}

TEST_F(MainWindowTest, CommandsActOnTheTopmostOfSeveralSelectedRows) {
  Load(SampleCapture());
  QTableView* lv1 = Form().mainListView_;
  const auto& rows = Form().List().Lv1();
  Select(lv1, {3, 1});

  // Copying the address takes every selected row (one a line); the other commands the topmost.
  Action("N20")->trigger();
  EXPECT_EQ(Clipboard(), "http://pics.example/pics/photo.jpg\nhttp://video.example/video/clip.flv");
  Action("N21")->trigger();
  EXPECT_EQ(Clipboard(), FromGbk(rows[1].data->Packet));
  EXPECT_TRUE(Clipboard().startsWith("GET /pics/photo.jpg"));

  prompter_.inputAnswer = "keep";
  Action("N4")->trigger();
  ASSERT_EQ(prompter_.inputs.size(), 1u);
  EXPECT_EQ(prompter_.inputs[0], "编辑备注|一般只有需要保存的列表才编辑！|");
  EXPECT_EQ(Cell(lv1, 1, 3), "keep");
  EXPECT_EQ(Cell(lv1, 3, 3), "");
  prompter_.inputAnswer.clear();  // cancelling clears the remark
  Action("N4")->trigger();
  EXPECT_EQ(Cell(lv1, 1, 3), "");

  Action("N23")->trigger();
  ASSERT_EQ(lv1->model()->rowCount(), 4);
  EXPECT_EQ(Cell(lv1, 1, 2), "http://www.example/index");

  // Nothing selected: the commands do nothing.
  lv1->clearSelection();
  QGuiApplication::clipboard()->setText("untouched");
  Action("N20")->trigger();
  Action("N23")->trigger();
  EXPECT_EQ(Clipboard(), "untouched");
  EXPECT_EQ(lv1->model()->rowCount(), 4);

  // In a category view the remark does nothing and delete takes the view's row only.
  Action("N6_2")->trigger();
  Select(Form().lv2, {0});
  Action("N4")->trigger();
  EXPECT_EQ(prompter_.inputs.size(), 2u);
  Action("N23")->trigger();
  EXPECT_EQ(Form().lv2->model()->rowCount(), 2);
  EXPECT_EQ(lv1->model()->rowCount(), 4);
}

// The window's keys win over the list's own: Ctrl+A copies the packet instead of selecting all.
TEST_F(MainWindowTest, ShortcutsReachTheCommandsFromTheList) {
  Load(SampleCapture());
  Form().show();
  Form().activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&Form()));
  QTableView* lv1 = Form().mainListView_;
  lv1->setFocus();
  Select(lv1, {1});
  QTest::keyClick(lv1, Qt::Key_A, Qt::ControlModifier);
  EXPECT_EQ(Clipboard(), FromGbk(Form().List().Lv1()[1].data->Packet));
  EXPECT_EQ(lv1->selectionModel()->selectedRows().size(), 1);
  QTest::keyClick(lv1, Qt::Key_Delete);
  EXPECT_EQ(lv1->model()->rowCount(), 4);
  Select(lv1, {0});
  QTest::keyClick(lv1, Qt::Key_D, Qt::ControlModifier);  // decoding leaves a plain address as it is
  EXPECT_EQ(Cell(lv1, 0, 2), "http://music.example/music/song.mp3");
  QTest::keyClick(lv1, Qt::Key_Delete, Qt::ControlModifier);
  EXPECT_EQ(lv1->model()->rowCount(), 0);
}

TEST_F(MainWindowTest, MouseUpShowsTheRemoteCopiesTheAddressAndRefreshesTheInspector) {
  Load(SampleCapture());
  QTableView* lv1 = Form().mainListView_;
  Form().show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&Form()));

  // With nothing selected a release does nothing.
  QGuiApplication::clipboard()->setText("untouched");
  lv1->clearSelection();
  Form().OnRowClicked(QPoint(10, 10));
  EXPECT_EQ(Clipboard(), "untouched");
  EXPECT_TRUE(Form().PendingHint().isEmpty());

  const QRect cell = lv1->visualRect(lv1->model()->index(3, 2));
  QTest::mouseClick(lv1->viewport(), Qt::LeftButton, {}, cell.center());
  EXPECT_EQ(Clipboard(), "http://video.example/video/clip.flv");
  EXPECT_EQ(Form().PendingHint(), "IP:  10.0.0.1:8080");

  // The inspector follows the clicked row while "查看数据包" is checked.
  Action("N27")->trigger();
  ASSERT_NE(Form().Inspector(), nullptr);
  EXPECT_TRUE(Action("N27")->isChecked());
  EXPECT_EQ(Form().Inspector()->FAddress, "http://video.example/video/clip.flv");
  const QRect other = lv1->visualRect(lv1->model()->index(0, 2));
  QTest::mouseClick(lv1->viewport(), Qt::LeftButton, {}, other.center());
  EXPECT_EQ(Form().Inspector()->FAddress, "http://music.example/music/song.mp3");
  EXPECT_EQ(Form().Inspector()->FRemote, "10.0.0.1:80");
  EXPECT_TRUE(Form().Inspector()->packetTextView_->toPlainText().contains("GET /music/song.mp3"));

  Form().Inspector()->close();
  EXPECT_FALSE(Action("N27")->isChecked());
  ASSERT_TRUE(WaitFor([&] { return Form().Inspector() == nullptr; }));
}

TEST_F(MainWindowTest, DecodingChangesOnlyTheVisibleListsRow) {
  Load(SampleCapture());
  Form().List().SetAddress(ListId::LV1, 0, "http://music.example/%C4%E3%BA%C3.mp3");
  Select(Form().mainListView_, {0});
  Action("N40")->trigger();
  EXPECT_EQ(Cell(Form().mainListView_, 0, 2), "http://music.example/你好.mp3");

  Action("N6_2")->trigger();
  Form().List().SetAddress(ListId::Lv2, 1, "http://video.example/%C4%E3.flv");
  Select(Form().lv2, {1});
  Action("N40")->trigger();
  EXPECT_EQ(Cell(Form().lv2, 1, 1), "http://video.example/你.flv");
  EXPECT_EQ(Cell(Form().mainListView_, 3, 2), "http://video.example/video/clip.flv");
}

// The list file: GBK bytes, CR LF after every line, the two questions, overwrite or append.
TEST_F(MainWindowTest, SaveListWritesTheListFile) {
  Load(SampleCapture());
  Form().List().SetAddress(ListId::LV1, 2, ToGbk("http://www.example/目录"));
  const QString path = dir_.path() + "/List.txt";
  prompter_.saveName = path;
  const QByteArray all = "http://music.example/music/song.mp3\r\nhttp://pics.example/pics/photo.jpg\r\n"
                         "http://www.example/\xC4\xBF\xC2\xBC\r\nhttp://video.example/video/clip.flv\r\n"
                         "http://cdn.example/track.mp3\r\n";

  // A new file, all addresses: one question only.
  prompter_.answers = {BoxAnswer::Yes, BoxAnswer::Ok};
  Action("N17")->trigger();
  EXPECT_EQ(FileBytes(path), all);
  ASSERT_EQ(prompter_.boxes.size(), 2u);
  EXPECT_EQ(prompter_.boxes[0].text,
            "选择文件保存方式：\r\n按\"是\" ------ 保存所有地址\r\n按\"否\" ------ 只保存选中的地址");
  EXPECT_EQ(prompter_.boxes[0].buttons, BoxButtons::YesNo);
  EXPECT_EQ(prompter_.boxes[1].text, "保存完毕");

  // Existing file, append, selected rows only.
  prompter_.boxes.clear();
  Select(Form().mainListView_, {4, 0});
  prompter_.answers = {BoxAnswer::No, BoxAnswer::No, BoxAnswer::Ok};
  Action("N17")->trigger();
  const QByteArray appended = all + "http://music.example/music/song.mp3\r\nhttp://cdn.example/track.mp3\r\n";
  EXPECT_EQ(FileBytes(path), appended);
  ASSERT_EQ(prompter_.boxes.size(), 3u);
  EXPECT_EQ(prompter_.boxes[0].text,
            "文件已经存在，是否覆盖文件？\r\n按\"是\" ------ 覆盖文件\r\n按\"否\" ------ 追加到文件中");
  EXPECT_EQ(prompter_.boxes[0].buttons, BoxButtons::YesNoCancel);
  EXPECT_EQ(prompter_.boxes[0].kind, BoxKind::Information);

  // Cancel leaves the file alone and asks nothing more.
  prompter_.boxes.clear();
  prompter_.answers = {BoxAnswer::Cancel};
  Action("N17")->trigger();
  EXPECT_EQ(prompter_.boxes.size(), 1u);
  EXPECT_EQ(FileBytes(path), appended);

  // Overwrite with selected rows only and nothing selected: an empty file, and still "保存完毕".
  prompter_.boxes.clear();
  Form().mainListView_->clearSelection();
  prompter_.answers = {BoxAnswer::Yes, BoxAnswer::No, BoxAnswer::Ok};
  Action("N17")->trigger();
  EXPECT_EQ(FileBytes(path), QByteArray());
  ASSERT_EQ(prompter_.boxes.size(), 3u);
  EXPECT_EQ(prompter_.boxes[2].text, "保存完毕");

  // In a category view the view's addresses are written.
  Action("N6_3")->trigger();
  prompter_.answers = {BoxAnswer::Yes, BoxAnswer::Yes, BoxAnswer::Ok};
  Action("N17")->trigger();
  EXPECT_EQ(FileBytes(path), QByteArray("http://pics.example/pics/photo.jpg\r\n"));
}

TEST_F(MainWindowTest, ASaveThatCannotWriteIsReportedAndNotCalledDone) {
  Load(SampleCapture());
  prompter_.saveName = dir_.path() + "/no/such/folder/List.txt";
  Action("N17")->trigger();
  ASSERT_EQ(prompter_.boxes.size(), 1u);
  EXPECT_EQ(prompter_.boxes[0].kind, BoxKind::Error);
  EXPECT_TRUE(prompter_.boxes[0].text.contains("List.txt"));
}

// Rows handed over by a capture thread while the user clears the lists: the views stay consistent
// with the lists, and what is listed keeps the order of arrival.
TEST_F(MainWindowTest, ClearingWhileRowsArriveKeepsOrderAndConsistency) {
  Action("N34")->trigger();
  FrameSink& sink = Form().Sink();
  std::atomic<bool> stop{false};
  std::atomic<int> sent{0};
  std::thread feeder([&] {
    for (int i = 0; !stop.load(); ++i) {
      char payload[16];
      std::snprintf(payload, sizeof payload, "row%08d", i);
      auto record = std::make_shared<LVDATA>(LVDATA{"10.0.0.1:80", payload});
      sink.PacketFound(PacketRowData{"TCP", Direction::Inbound, payload, "11", record});
      sent.store(i + 1);
      if (i % 64 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  // Clear several times while rows keep coming, then let more rows in after the last clear.
  for (int clears = 0; clears < 5; ++clears) {
    const std::uint64_t applied = Form().Pump().Applied();
    ASSERT_TRUE(WaitFor([&] { return Form().Pump().Applied() > applied + 500; }));
    Action("N9")->trigger();
    EXPECT_EQ(Form().mainListView_->model()->rowCount(), 0);
    EXPECT_TRUE(Form().List().Lv1().empty());
  }
  const std::uint64_t afterLastClear = Form().Pump().Applied();
  ASSERT_TRUE(WaitFor([&] { return Form().Pump().Applied() > afterLastClear + 1000; }));
  stop.store(true);
  feeder.join();
  ASSERT_TRUE(WaitFor([&] { return Form().Pump().Backlog() == 0; }));
  Form().Pump().DrainAll();

  const auto& rows = Form().List().Lv1();
  ASSERT_GE(rows.size(), 1000u);
  EXPECT_LT(rows.size(), static_cast<std::size_t>(sent.load()));  // the clears took rows away
  EXPECT_EQ(Form().mainListView_->model()->rowCount(), static_cast<int>(rows.size()));
  // Every row sent after the last clear is listed, in order: the list is the tail of what was sent.
  // (Packet rows keep their payload in the spill file: the list reads it back.)
  const int first = std::atoi(Form().List().AddressOf(rows.front()).c_str() + 3);
  for (std::size_t i = 0; i < rows.size(); ++i)
    ASSERT_EQ(std::atoi(Form().List().AddressOf(rows[i]).c_str() + 3), first + static_cast<int>(i)) << i;
  EXPECT_EQ(first + static_cast<int>(rows.size()), sent.load());
  EXPECT_EQ(Cell(Form().mainListView_, static_cast<int>(rows.size()) - 1, 2),
            QString::asprintf("row%08d", sent.load() - 1));
}

TEST_F(MainWindowTest, ClosingEndsTheSessionBeforeTheWindowGoes) {
  // A capture file long enough to be still running when the window closes.
  const std::string path = (dir_.path() + "/long.pcap").toStdString();
  {
    PcapWriter w(path);
    const Frame syn = TcpFrame(kLocal, 40000, kServer, 80, "", 0x02);
    w.Write(syn);
    const Frame get = TcpFrame(kLocal, 40000, kServer, 80, Get("/a.mp3", "m.example"));
    for (int i = 0; i < 200000; ++i) w.Write(get);
    w.Close();
  }
  ASSERT_TRUE(Form().OpenCaptureFile(QString::fromStdString(path)));
  // The capture has started listing and is still running when the window closes.
  ASSERT_TRUE(WaitFor([&] { return Form().Pump().Applied() > 0 || !Form().SessionRunning(); }));
  ASSERT_GT(Form().Pump().Applied(), 0u);
  ASSERT_TRUE(Form().SessionRunning()) << "the capture file was read to its end before the close";
  Form().close();
  EXPECT_FALSE(Form().SessionRunning());
  EXPECT_EQ(Label("bsSkinStatusPanel5"), "停止嗅探");
}

// The download, help, update and about commands of the menus, on a window whose registry of download
// programs is a private (empty) file and whose update server is a closed loopback port.
class WindowCommandsTest : public MainWindowTest {
 protected:
  TForm1& CommandForm() {
    if (!form_) {
      const std::string registry = (dir_.path() + "/registry.ini").toStdString();
      TForm1Options options = TForm1Options::Offline(dir_.path());
      options.registryPath = registry;
      options.updateBase = "http://127.0.0.1:1/";
      form_ = std::make_unique<TForm1>(Net(), prompter_, options);
      form_->adapterRetryTimer_->stop();
    }
    return *form_;
  }
  // A double click as the desktop delivers it: a press and release, then the double-click event.
  void DoubleClick(QTableView* view, QPoint at) {
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, at);
  }
  std::vector<QString> BoxTexts() {
    std::vector<QString> texts;
    for (const auto& box : prompter_.boxes) texts.push_back(box.text);
    prompter_.boxes.clear();
    return texts;
  }
};

TEST_F(WindowCommandsTest, DownloadCommandsAndTheDoubleClickReachTheHandOff) {
  const QString netTransportMissing = QStringLiteral("未在注册表中找到影音传送带安装信息！可能未安装！");
  const QString flashGetMissing = QStringLiteral("未在注册表中找到Flashget安装信息！可能未安装！");
  CommandForm();
  Load(SampleCapture());
  ASSERT_GT(Form().mainListView_->model()->rowCount(), 0);

  // No row selected: nothing happens.
  Form().mainListView_->clearSelection();
  for (const char* name : {"N24", "N25"}) Action(name)->trigger();
  Form().DownloadOnDoubleClick();
  EXPECT_TRUE(BoxTexts().empty());

  // A selected row, and no download program registered: each command says which one is missing.
  Select(Form().mainListView_, {0});
  Action("N24")->trigger();
  EXPECT_EQ(BoxTexts(), std::vector<QString>{netTransportMissing});
  Action("N25")->trigger();
  EXPECT_EQ(BoxTexts(), std::vector<QString>{flashGetMissing});

  // A double click on the row hands it to the default program of the settings dialog.
  Form().show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&Form()));
  const QRect cell = Form().mainListView_->visualRect(Form().mainListView_->model()->index(0, 1));
  Form().Settings()->netTransportButton_->setChecked(true);
  DoubleClick(Form().mainListView_, cell.center());
  EXPECT_EQ(BoxTexts(), std::vector<QString>{netTransportMissing});
  Form().Settings()->flashGetButton_->setChecked(true);
  DoubleClick(Form().mainListView_, cell.center());
  EXPECT_EQ(BoxTexts(), std::vector<QString>{flashGetMissing});

  // The hand-off's waiting timers are the window's and idle.
  EXPECT_FALSE(Form().netTransportWaitTimer_->isActive());
  EXPECT_FALSE(Form().flashGetWaitTimer_->isActive());
}

TEST_F(WindowCommandsTest, HelpAboutAndUpdateCommandsFromTheMenu) {
  CommandForm();
  prompter_.boxes.clear();
  // The timed update check waits its 59 s once.
  EXPECT_TRUE(Form().updateCheckTimer_->isActive());
  EXPECT_EQ(Form().updateCheckTimer_->interval(), 59000);

  // "关于Quelvar" opens the about box with the installed version.
  Action("N32")->trigger();
  TAboutBox* box = TAboutBox::Instance();
  ASSERT_NE(box, nullptr);
  EXPECT_TRUE(box->isVisible());
  EXPECT_EQ(box->VersionText(), QStringLiteral("版本： 1.0"));
  box->close();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_EQ(TAboutBox::Instance(), nullptr);

  // "帮助文件" shows readme.html of the program folder in the help window (missing in this folder: the
  // window says which file it looked for).
  Action("N29")->trigger();
  QWidget* help = nullptr;
  for (QWidget* w : QApplication::topLevelWidgets())
    if (w->objectName() == "HelpViewer" && w->isVisible()) help = w;
  ASSERT_NE(help, nullptr);
  EXPECT_TRUE(static_cast<QTextBrowser*>(help)->toPlainText().contains(dir_.path() + "/readme.html"));
  help->close();

  // "升级查询" with no answer from the server says so.
  Action("N30")->trigger();
  ASSERT_EQ(prompter_.boxes.size(), 1u);
  EXPECT_EQ(prompter_.boxes[0].kind, BoxKind::Warning);
  EXPECT_EQ(prompter_.boxes[0].text, QStringLiteral("未连接到升级服务器！"));
}

TEST_F(WindowCommandsTest, WithoutSettingsFileTheUpdateCheckIsNotRunAndSaysWhy) {
  QFile::remove(IniPath());
  CommandForm();
  prompter_.boxes.clear();
  EXPECT_FALSE(Form().updateCheckTimer_->isActive());
  Action("N30")->trigger();
  ASSERT_EQ(prompter_.boxes.size(), 1u);
  EXPECT_EQ(prompter_.boxes[0].text, QStringLiteral("安装文件损坏，请重新安装！"));
  EXPECT_FALSE(QFile::exists(dir_.path() + "/updata.ini"));
}

}  // namespace
}  // namespace qv::testing
