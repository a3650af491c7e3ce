// The lists as the window shows them: sorted by a column, narrowed by the quick filter, several rows
// copied at once, following the newest row, the status-bar counts and the address column's width
// and tooltip. The list's own order and every command must follow what the person sees.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QHeaderView>
#include <QHelpEvent>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QScrollBar>
#include <QStackedWidget>
#include <QTableView>
#include <QTest>
#include <QToolTip>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "app/ui/cell_tooltip.h"
#include "app/session/list_models.h"
#include "app/ui/quick_filter.h"
#include "common/texts.h"
#include "common/ui/gbk_text.h"
#include "packets/ui/packet_inspector.h"
#include "settings/settings_store.h"
#include "tests/ui/sample_capture.h"
#include "tests/ui/ui_support.h"

namespace qv::testing {
namespace {

class ListViewsTest : public WindowTest {
 protected:
  void LoadSample() {
    const std::string path = (dir_.path() + "/sample.pcap").toStdString();
    WriteSampleCapture(path);
    Load(path);
    Form().resize(900, 600);
    Form().show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&Form()));
  }
  QAction* Action(const char* name) { return Form().findChild<QAction*>(QString::fromLatin1(name)); }
  QString Cell(QTableView* view, int row, int column) {
    return view->model()->index(row, column).data(Qt::DisplayRole).toString();
  }
  QStringList Column(QTableView* view, int column) {
    QStringList cells;
    for (int r = 0; r < view->model()->rowCount(); ++r) cells << Cell(view, r, column);
    return cells;
  }
  QStringList ListAddresses() {
    QStringList cells;
    for (const ListRow& row : Form().List().Lv1()) cells << FromGbk(row.cells[1]);
    return cells;
  }
  void ClickHeader(QTableView* view, int section) {
    QHeaderView* header = view->horizontalHeader();
    const int x = header->sectionViewportPosition(section) + header->sectionSize(section) / 2;
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, QPoint(x, header->height() / 2));
  }
  void Select(QTableView* view, std::initializer_list<int> rows) {
    view->clearSelection();
    for (int r : rows)
      view->selectionModel()->select(view->model()->index(r, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
  }
  QString Clipboard() { return QGuiApplication::clipboard()->text(); }
  // The other download program, chosen for the double click: a script that writes the address it is
  // given to the file whose path it returns.
  QString RecordingDownloadProgram() {
    const QString script = dir_.path() + "/record.sh";
    const QString recorded = dir_.path() + "/argument.txt";
    {
      QFile f(script);
      EXPECT_TRUE(f.open(QIODevice::WriteOnly));
      f.write("#!/bin/sh\nprintf '%s' \"$1\" > \"$0.tmp\" && mv \"$0.tmp\" \"" + recorded.toUtf8() + "\"\n");
    }
    QFile::setPermissions(script, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    SettingsStore store(IniPath().toStdString());
    store.WriteInteger("system", "DefaultDL", 3);
    store.WriteString("system", "DownloadPath", script.toStdString() + " %u");
    return recorded;
  }
  QString Recorded(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
  }
  QString Counts() { return Form().findChild<QLabel*>(QStringLiteral("StatusCounts"))->text(); }
  void Filter(const QString& text) {
    QLineEdit* edit = Form().quickFilterEdit_;
    edit->clear();
    bool ascii = true;
    for (QChar c : text) ascii &= c.unicode() < 0x80;
    if (ascii) QTest::keyClicks(edit, text);
    else edit->insert(text);  // an input method's commit: QTest types ASCII only
    ASSERT_TRUE(WaitFor([&] { return Form().mainRowsModel_->QuickFilter() == text; }, 5000));
  }
  // An address requested now, as request parsing lists it.
  void Request(const std::string& address) {
    auto record = std::make_shared<const LVDATA>(LVDATA{"10.0.0.1:80", "GET " + address});
    Form().List().InsertRequestLine(texts::kCatUndefined, Direction::Outbound, address, record, true);
  }
  const QStringList kSourceOrder = {"http://music.example/music/song.mp3", "http://pics.example/pics/photo.jpg",
                                    "http://www.example/index", "http://video.example/video/clip.flv",
                                    "http://cdn.example/track.mp3"};
  const QStringList kSorted = {"http://cdn.example/track.mp3", "http://music.example/music/song.mp3",
                               "http://pics.example/pics/photo.jpg", "http://video.example/video/clip.flv",
                               "http://www.example/index"};
};

TEST_F(ListViewsTest, HeaderClicksSortAscendingDescendingThenBackToTheListsOrder) {
  LoadSample();
  QTableView* lv1 = Form().mainListView_;
  ASSERT_EQ(Column(lv1, 2), kSourceOrder);

  ClickHeader(lv1, 2);
  EXPECT_EQ(Column(lv1, 2), kSorted);
  EXPECT_EQ(lv1->horizontalHeader()->sortIndicatorSection(), 2);
  EXPECT_EQ(lv1->horizontalHeader()->sortIndicatorOrder(), Qt::AscendingOrder);
  ClickHeader(lv1, 2);
  QStringList reversed = kSorted;
  std::reverse(reversed.begin(), reversed.end());
  EXPECT_EQ(Column(lv1, 2), reversed);
  ClickHeader(lv1, 2);
  EXPECT_EQ(Column(lv1, 2), kSourceOrder);
  EXPECT_EQ(lv1->horizontalHeader()->sortIndicatorSection(), -1);

  // Sorting by category keeps rows of one category in the order they came (a stable sort).
  ClickHeader(lv1, 0);
  const QStringList categories = Column(lv1, 0);
  EXPECT_TRUE(std::is_sorted(categories.begin(), categories.end(), [](const QString& a, const QString& b) {
    return ToGbk(a) < ToGbk(b);
  }));
  EXPECT_LT(Column(lv1, 2).indexOf(kSourceOrder[0]), Column(lv1, 2).indexOf(kSourceOrder[4]));  // both audio
  // The list underneath never moved.
  EXPECT_EQ(ListAddresses(), kSourceOrder);

  // A row arriving while sorted takes its sorted place; the list appends it.
  Request("http://aaa.example/first.bin");
  Form().Session().Lv1Rows().Flush();
  ClickHeader(lv1, 2);
  EXPECT_EQ(Cell(lv1, 0, 2), "http://aaa.example/first.bin");
  EXPECT_EQ(ListAddresses().back(), "http://aaa.example/first.bin");
}

TEST_F(ListViewsTest, CommandsActOnTheRowShownSelectedInASortedFilteredView) {
  LoadSample();
  QTableView* lv1 = Form().mainListView_;
  const auto& rows = Form().List().Lv1();
  ClickHeader(lv1, 2);  // sorted by address
  Filter("C");          // hides www.example/index, the one address without a "c"
  ASSERT_EQ(Column(lv1, 2), QStringList({kSorted[0], kSorted[1], kSorted[2], kSorted[3]}));

  // View row 2 is pics.example, list row 1.
  Select(lv1, {2});
  Action("N20")->trigger();
  EXPECT_EQ(Clipboard(), "http://pics.example/pics/photo.jpg");
  Action("N21")->trigger();
  EXPECT_EQ(Clipboard(), FromGbk(rows[1].data->Packet));
  Form().OnRowClicked(QPoint(5, 5));
  EXPECT_EQ(Form().PendingHint(), "IP:  10.0.0.1:80");
  Action("N27")->trigger();
  ASSERT_NE(Form().Inspector(), nullptr);
  EXPECT_EQ(Form().Inspector()->FAddress, "http://pics.example/pics/photo.jpg");
  Form().Inspector()->close();

  prompter_.inputAnswer = "mine";
  Action("N4")->trigger();
  EXPECT_EQ(FromGbk(rows[1].cells[2]), "mine");
  EXPECT_EQ(Cell(lv1, 2, 3), "mine");

  // With several selected, the single-row commands take the topmost as shown: view row 0 is
  // cdn.example, the last row of the list.
  Select(lv1, {3, 0});
  Action("N21")->trigger();
  EXPECT_EQ(Clipboard(), FromGbk(rows[4].data->Packet));
  Action("N23")->trigger();
  EXPECT_EQ(ListAddresses(), QStringList({kSourceOrder[0], kSourceOrder[1], kSourceOrder[2], kSourceOrder[3]}));
  EXPECT_EQ(Column(lv1, 2), QStringList({kSorted[1], kSorted[2], kSorted[3]}));

  // Saving the selected rows writes them in the list's order.
  Select(lv1, {2, 0});
  const QString path = dir_.path() + "/sel.txt";
  prompter_.saveName = path;
  prompter_.answers = {BoxAnswer::No, BoxAnswer::Ok};  // only the selected ones
  Action("N17")->trigger();
  QFile saved(path);
  ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
  EXPECT_EQ(saved.readAll(), "http://music.example/music/song.mp3\r\nhttp://video.example/video/clip.flv\r\n");
}

// A double click below the last row takes the selected row, as one on the row itself does; with no
// row selected it does nothing.
TEST_F(ListViewsTest, ADoubleClickOnTheEmptyPartOfAListTakesTheSelectedRow) {
  const QString recorded = RecordingDownloadProgram();
  LoadSample();
  QTableView* lv1 = Form().mainListView_;
  ClickHeader(lv1, 2);
  const int last = lv1->model()->rowCount() - 1;
  const QPoint below(40, lv1->rowViewportPosition(last) + 3 * lv1->rowHeight(last));
  ASSERT_LT(below.y(), lv1->viewport()->height());
  ASSERT_FALSE(lv1->indexAt(below).isValid());

  lv1->clearSelection();
  QTest::mouseDClick(lv1->viewport(), Qt::LeftButton, {}, below);
  QTest::qWait(300);
  EXPECT_FALSE(QFile::exists(recorded));

  Select(lv1, {1});
  QTest::mouseDClick(lv1->viewport(), Qt::LeftButton, {}, below);
  ASSERT_TRUE(WaitFor([&] { return QFile::exists(recorded); }, 10000));
  EXPECT_EQ(Recorded(recorded), kSorted[1]);

  // The same in the category view.
  QFile::remove(recorded);
  Form().ViewByCategory(3);  // 图片文件
  QTableView* lv2 = Form().lv2;
  ASSERT_EQ(lv2->model()->rowCount(), 1);
  Select(lv2, {0});
  const QPoint below2(40, lv2->rowViewportPosition(0) + 3 * lv2->rowHeight(0));
  QTest::mouseDClick(lv2->viewport(), Qt::LeftButton, {}, below2);
  ASSERT_TRUE(WaitFor([&] { return QFile::exists(recorded); }, 10000));
  EXPECT_EQ(Recorded(recorded), kSourceOrder[1]);
}

// Enter on the list hands the selected row over as a double click does; without a selected row it
// does nothing.
TEST_F(ListViewsTest, EnterOnARowDoesWhatADoubleClickDoes) {
  const QString recorded = RecordingDownloadProgram();
  LoadSample();
  QTableView* lv1 = Form().mainListView_;
  lv1->setFocus();
  lv1->clearSelection();
  QTest::keyClick(lv1, Qt::Key_Return);
  QTest::qWait(300);
  EXPECT_FALSE(QFile::exists(recorded));

  for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Enter}) {
    QFile::remove(recorded);
    Select(lv1, {2});
    lv1->setCurrentIndex(lv1->model()->index(2, 0));
    QTest::keyClick(lv1, key);
    ASSERT_TRUE(WaitFor([&] { return QFile::exists(recorded); }, 10000)) << key;
    EXPECT_EQ(Recorded(recorded), kSourceOrder[2]) << key;
  }
}

// A narrow window with a capture file open: the site panel keeps its whole text; the file and count
// panels give way, cut with "…".
TEST_F(ListViewsTest, TheSitePanelKeepsItsWidthAndTheAddedPanelsElide) {
  LoadSample();
  Form().resize(640, 500);
  QTest::qWait(50);
  auto* site = Form().findChild<QLabel*>(QStringLiteral("lbl1"));
  auto* file = Form().findChild<QLabel*>(QStringLiteral("StatusCaptureFile"));
  auto* counts = Form().findChild<QLabel*>(QStringLiteral("StatusCounts"));
  ASSERT_TRUE(site && file && counts);
  ASSERT_TRUE(file->isVisible());
  EXPECT_EQ(site->text(), QStringLiteral("官方网站  www.quelvar.example"));
  EXPECT_GE(site->contentsRect().width(), site->fontMetrics().horizontalAdvance(site->text()));
  EXPECT_LT(file->width() + counts->width(), file->fontMetrics().horizontalAdvance(file->text()) +
                                                 counts->fontMetrics().horizontalAdvance(counts->text()));
  // Wide enough again, both show their whole text.
  Form().resize(1400, 500);
  QTest::qWait(50);
  EXPECT_GE(counts->contentsRect().width(), counts->fontMetrics().horizontalAdvance(counts->text()));
  EXPECT_GE(file->contentsRect().width(), file->fontMetrics().horizontalAdvance(file->text()));
}

// Deleting rows of a sorted (and filtered) view: the counts follow each delete at once.
TEST_F(ListViewsTest, CountsFollowADeleteInASortedView) {
  LoadSample();
  QTableView* lv1 = Form().mainListView_;
  ClickHeader(lv1, 2);
  Select(lv1, {0});
  Action("N23")->trigger();
  EXPECT_EQ(lv1->model()->rowCount(), 4);
  EXPECT_TRUE(Counts().startsWith("4 行 |")) << Counts().toStdString();
  ClickHeader(lv1, 2);  // descending
  Filter("C");          // hides www.example/index
  EXPECT_TRUE(Counts().startsWith("3 / 4 行")) << Counts().toStdString();
  Select(lv1, {1});
  Action("N23")->trigger();
  EXPECT_EQ(Column(lv1, 2), QStringList({kSorted[3], kSorted[1]}));
  EXPECT_TRUE(Counts().startsWith("2 / 3 行")) << Counts().toStdString();
  EXPECT_EQ(Form().List().Lv1().size(), 3u);
}

TEST_F(ListViewsTest, CopyWithSeveralRowsSelectedCopiesEachAddressInTheOrderShown) {
  LoadSample();
  QTableView* lv1 = Form().mainListView_;
  Select(lv1, {3, 1});
  Action("N20")->trigger();
  EXPECT_EQ(Clipboard(), "http://pics.example/pics/photo.jpg\nhttp://video.example/video/clip.flv");
  ClickHeader(lv1, 2);
  ClickHeader(lv1, 2);  // descending
  Select(lv1, {4, 0, 2});
  Action("N20")->trigger();
  EXPECT_EQ(Clipboard(), "http://www.example/index\nhttp://pics.example/pics/photo.jpg\nhttp://cdn.example/track.mp3");
  // One row: its address alone, as before.
  Select(lv1, {1});
  QTest::keyClick(lv1, Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(Clipboard(), "http://video.example/video/clip.flv");
  // An address held as UTF-8 reaches the clipboard as the list shows it.
  Form().List().SetAddress(ListId::LV1, 0, "http://music.example/\xE4\xBD\xA0\xE5\xA5\xBD.mp3");
  Form().List().SetAddress(ListId::LV1, 1, "http://pics.example/\xC4\xE3\xBA\xC3.jpg");
  ClickHeader(lv1, 2);  // back to the list's order
  Select(lv1, {0, 1});
  Action("N20")->trigger();
  EXPECT_EQ(Clipboard(), "http://music.example/你好.mp3\nhttp://pics.example/你好.jpg");
}

// The window opens with the list holding the keys: in the filter field Ctrl+C, Ctrl+U and the other
// list shortcuts would be editing keys of the field and never reach the list's commands.
TEST_F(ListViewsTest, TheWindowOpensWithTheListFocusedAndItsShortcutsWorkAtOnce) {
  LoadSample();
  Form().activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&Form()));
  ASSERT_EQ(QApplication::focusWidget(), Form().mainListView_);
  Select(Form().mainListView_, {2});
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(Clipboard(), "http://www.example/index");
  // Showing a category view hands the keys to the list shown.
  Form().ViewByCategory(3);  // 图片文件
  ASSERT_EQ(Form().listPages_->currentIndex(), 1);
  EXPECT_EQ(QApplication::focusWidget(), Form().lv2);
}

// A double click hands the address to the other download program as the list shows it: a UTF-8
// address stays UTF-8 on its command line and on the clipboard, a GBK one is converted.
TEST_F(ListViewsTest, TheOtherDownloadProgramGetsTheAddressAsTheListShowsIt) {
  const QString recorded = RecordingDownloadProgram();
  LoadSample();
  QTableView* lv1 = Form().mainListView_;
  const struct {
    const char* stored;
    const char* shown;
  } cases[] = {
      {"http://music.example/\xE4\xBD\xA0\xE5\xA5\xBD.mp3", "http://music.example/你好.mp3"},
      {"http://pics.example/\xC4\xE3\xBA\xC3.jpg", "http://pics.example/你好.jpg"},
  };
  for (const auto& c : cases) {
    QFile::remove(recorded);
    Form().List().SetAddress(ListId::LV1, 0, c.stored);
    Select(lv1, {0});
    Form().DownloadOnDoubleClick();
    ASSERT_TRUE(WaitFor([&] { return QFile::exists(recorded); }, 10000)) << c.shown;
    QFile f(recorded);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(QString::fromUtf8(f.readAll()), QString::fromUtf8(c.shown));
    EXPECT_EQ(Clipboard(), QString::fromUtf8(c.shown));
  }
}

TEST_F(ListViewsTest, QuickFilterNarrowsBothListsAndNewRowsAndCountsShowIt) {
  LoadSample();
  QTableView* lv1 = Form().mainListView_;
  EXPECT_EQ(Counts(), QStringLiteral("5 行 | 捕获 %1 帧").arg(Form().FileFrames()));

  // Ctrl+F from the list focuses the field.
  lv1->setFocus();
  Form().activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&Form()));
  QTest::keyClick(lv1, Qt::Key_F, Qt::ControlModifier);
  EXPECT_TRUE(Form().quickFilterEdit_->hasFocus());

  Filter("MP3");
  EXPECT_EQ(Column(lv1, 2), QStringList({kSourceOrder[0], kSourceOrder[4]}));
  EXPECT_TRUE(Counts().startsWith("2 / 5 行"));
  // Delete pressed in the field edits the text; it never removes a row.
  QTest::keyClick(Form().quickFilterEdit_, Qt::Key_Home);
  QTest::keyClick(Form().quickFilterEdit_, Qt::Key_Delete);
  EXPECT_EQ(Form().List().Lv1().size(), 5u);
  Filter("mp3");

  // A new row that matches appears; one that does not stays in the list only.
  Request("http://new.example/a.MP3");
  Request("http://new.example/b.jpg");
  Form().Session().Lv1Rows().Flush();
  EXPECT_EQ(Column(lv1, 2), QStringList({kSourceOrder[0], kSourceOrder[4], "http://new.example/a.MP3"}));
  EXPECT_TRUE(Counts().startsWith("3 / 7 行"));

  // The category view is narrowed by the same text.
  Action("N6_2")->trigger();  // audio and video
  EXPECT_EQ(Column(Form().lv2, 1), QStringList({kSourceOrder[0], kSourceOrder[4]}));
  EXPECT_TRUE(Counts().startsWith("2 / 3 行"));
  Action("N6")->trigger();

  // Down goes on to the rows: the first one shown is selected, and the commands take it.
  lv1->clearSelection();
  Form().quickFilterEdit_->setFocus();
  QTest::keyClick(Form().quickFilterEdit_, Qt::Key_Down);
  EXPECT_TRUE(lv1->hasFocus());
  EXPECT_EQ(lv1->currentIndex().row(), 0);
  Action("N20")->trigger();
  EXPECT_EQ(Clipboard(), kSourceOrder[0]);

  // Escape empties the field and every row is back at once.
  Form().quickFilterEdit_->setFocus();
  QTest::keyClick(Form().quickFilterEdit_, Qt::Key_Escape);
  EXPECT_TRUE(Form().quickFilterEdit_->text().isEmpty());
  EXPECT_EQ(lv1->model()->rowCount(), 7);
  EXPECT_TRUE(Counts().startsWith("7 行 |"));

  // Text no row holds, and Chinese text in a GBK address.
  Filter("nothing-like-this");
  EXPECT_EQ(lv1->model()->rowCount(), 0);
  Form().List().SetAddress(ListId::LV1, 2, "http://www.example/\xC4\xE3\xBA\xC3");  // 你好 in GBK
  Filter("你好");
  EXPECT_EQ(Column(lv1, 2), QStringList({"http://www.example/你好"}));
}

TEST_F(ListViewsTest, PacketModeFiltersByPayloadText) {
  Form().SwitchToPacketMode();
  LoadSample();
  QTableView* lv1 = Form().mainListView_;
  ASSERT_GT(lv1->model()->rowCount(), 4);
  Filter("host: PICS.example");
  ASSERT_EQ(lv1->model()->rowCount(), 1);
  EXPECT_TRUE(Cell(lv1, 0, 2).startsWith("GET /pics/photo.jpg"));
  Select(lv1, {0});
  Action("N21")->trigger();
  EXPECT_TRUE(Clipboard().contains("Host: pics.example"));
}

TEST_F(ListViewsTest, TheViewFollowsTheNewestRowOnlyWhileAtTheBottom) {
  LoadSample();
  Form().resize(700, 400);
  QTableView* lv1 = Form().mainListView_;
  QScrollBar* bar = lv1->verticalScrollBar();
  int next = 0;
  auto arrive = [&](int n) {
    for (int i = 0; i < n; ++i) Request("http://flood.example/" + std::to_string(next++));
    Form().Session().Lv1Rows().Flush();
    QCoreApplication::processEvents();
  };
  auto lastRowVisible = [&] {
    const QRect last = lv1->visualRect(lv1->model()->index(lv1->model()->rowCount() - 1, 0));
    return last.isValid() && lv1->viewport()->rect().intersects(last);
  };
  arrive(60);
  ASSERT_GT(bar->maximum(), 0);
  EXPECT_EQ(bar->value(), bar->maximum());
  EXPECT_TRUE(lastRowVisible());

  // Scrolled up, the view stays where the person left it.
  bar->setValue(5);
  arrive(40);
  EXPECT_EQ(bar->value(), 5);
  EXPECT_FALSE(lastRowVisible());

  // Back at the bottom, it follows again.
  bar->setValue(bar->maximum());
  arrive(40);
  EXPECT_EQ(bar->value(), bar->maximum());
  EXPECT_TRUE(lastRowVisible());
}

TEST_F(ListViewsTest, AddressColumnTakesTheSpareWidthAndShowsALongAddressAsATip) {
  LoadSample();
  QTableView* lv1 = Form().mainListView_;
  QHeaderView* header = lv1->horizontalHeader();
  const int remark = header->sectionSize(3);
  const int address = header->sectionSize(2);
  Form().resize(Form().width() + 300, Form().height());
  ASSERT_TRUE(WaitFor([&] { return header->sectionSize(2) > address; }, 5000));
  EXPECT_EQ(header->sectionSize(3), remark);
  EXPECT_GE(remark, 80);

  // A long address with markup in it: the tip shows all of it, as text.
  const std::string tail(300, 'x');
  const std::string longAddress = "http://long.example/<b>bold</b>/" + tail;
  Form().List().SetAddress(ListId::LV1, 0, longAddress);
  const QRect cell = lv1->visualRect(lv1->model()->index(0, 2));
  QHelpEvent tip(QEvent::ToolTip, cell.center(), lv1->viewport()->mapToGlobal(cell.center()));
  QApplication::sendEvent(lv1->viewport(), &tip);
  ASSERT_TRUE(QToolTip::isVisible());
  EXPECT_EQ(QToolTip::text(), ElidedCellTips::TipText(QString::fromStdString(longAddress)));
  EXPECT_TRUE(QToolTip::text().contains("&lt;b&gt;bold&lt;/b&gt;"));
  EXPECT_TRUE(QToolTip::text().contains(QString::fromStdString(tail.substr(0, 50))));
  QToolTip::hideText();
  ASSERT_TRUE(WaitFor([] { return !QToolTip::isVisible(); }, 5000));

  // A cell shown whole has no tip.
  const QRect shortCell = lv1->visualRect(lv1->model()->index(1, 1));
  QHelpEvent none(QEvent::ToolTip, shortCell.center(), lv1->viewport()->mapToGlobal(shortCell.center()));
  QApplication::sendEvent(lv1->viewport(), &none);
  EXPECT_FALSE(QToolTip::isVisible());
}

// A long cell text is cut before it is drawn; what the person sees must not change: the cut text
// elides to exactly what the whole text elides to, at any width, for ASCII, CJK and characters
// outside the basic plane.
TEST(CellPaint, ACutTextElidesAsTheWholeTextDoes) {
  const QFontMetrics metrics(QApplication::font());
  const QString texts[] = {
      QString(3000, QLatin1Char('i')),
      QString(3000, QLatin1Char('W')),
      QStringLiteral("GET /video/clip.flv HTTP/1.1 Host: www.example ").repeated(40),
      QStringLiteral("你好，视频文件。").repeated(200),
      QString::fromUtf8("\xF0\x9F\x98\x80 a").repeated(500),
  };
  for (const QString& text : texts) {
    for (const int width : {1, 40, 300, 833, 2500}) {
      const QString cut = ElidedCellTips::CutForWidth(text, width, metrics);
      EXPECT_LE(cut.size(), text.size() + 1);
      EXPECT_EQ(metrics.elidedText(cut, Qt::ElideRight, width), metrics.elidedText(text, Qt::ElideRight, width))
          << text.left(20).toStdString() << " at " << width;
    }
    // Wide enough for the whole text: nothing is cut.
    EXPECT_EQ(ElidedCellTips::CutForWidth(text, metrics.horizontalAdvance(text) * 4, metrics), text);
  }
}

}  // namespace
}  // namespace qv::testing
