// The filter dialog (TForm3) and the packet inspector (TForm4), opened from the main window.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableView>
#include <QTextCursor>

#include "common/ui/gbk_text.h"
#include "packets/packet_view.h"
#include "packets/ui/filter_dialog.h"
#include "packets/ui/packet_inspector.h"
#include "tests/ui/sample_capture.h"
#include "tests/ui/ui_support.h"

namespace qv::testing {
namespace {

class FilterDialogTest : public WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    Form().SetHostResolver([this](const std::string& host) -> std::optional<std::string> {
      looked.push_back(host);
      if (host == "nowhere.invalid") return std::nullopt;
      return std::string("10.0.0.9");
    });
  }
  TForm3* Open() {
    Form().findChild<QAction*>("N39")->trigger();
    TForm3* d = Form().FilterDialog();
    EXPECT_NE(d, nullptr);
    EXPECT_TRUE(d->isVisible());
    return d;
  }
  void WaitClosed() { ASSERT_TRUE(WaitFor([&] { return Form().FilterDialog() == nullptr; })); }

  std::vector<std::string> looked;
};

TEST_F(FilterDialogTest, SiteIsCutToItsHostAndResolved) {
  struct Case {
    const char* typed;
    const char* host;
  };
  const Case cases[] = {
      {"http://Host.Example:8080/path", "Host.Example"},
      {"host/a:b", "host"},
      {"  plain.example  ", "plain.example"},
      {"rtsp://media.example/live", "media.example"},
  };
  for (const Case& c : cases) {
    TForm3* d = Open();
    d->siteBox_->setEditText(QString::fromUtf8(c.typed));
    d->filterOkButton_->click();
    WaitClosed();
    const auto filter = Form().Handler().Filter();
    EXPECT_EQ(filter->siteText, c.host) << c.typed;
    EXPECT_EQ(filter->siteAddress, "10.0.0.9") << c.typed;
    ASSERT_FALSE(looked.empty());
    EXPECT_EQ(looked.back(), c.host);
  }
}

TEST_F(FilterDialogTest, OkStoresEverySettingAndTheDefaultLength) {
  Load(SharedCapture("http_espn_fail.pcapng"));
  TForm3* d = Open();
  EXPECT_EQ(d->windowTitle(), "数据包过滤设置");
  EXPECT_EQ(d->minLengthEdit_->text(), "20");  // shown although no minimum length is set yet
  EXPECT_EQ(d->minLengthEdit_->maxLength(), 4);
  // The site list offers the hosts of the listed addresses, each once.
  QStringList hosts;
  for (int i = 0; i < d->siteBox_->count(); ++i) hosts << d->siteBox_->itemText(i);
  EXPECT_EQ(hosts.first(), "www.espn.com");
  EXPECT_TRUE(hosts.contains("assets.espn.go.com"));
  EXPECT_EQ(hosts.count("ns.adobe.com"), 1);

  d->siteBox_->setEditText("");
  d->packetTypeBox_->setCurrentIndex(4);  // ISO IP
  d->directionBox_->setCurrentIndex(1);  // network to local
  d->containsTextEdit_->setText("  HOST:  ");
  d->filterOkButton_->click();
  WaitClosed();
  const auto f = Form().Handler().Filter();
  EXPECT_EQ(f->minLength, 20);
  EXPECT_EQ(f->protocol, 80);
  EXPECT_EQ(f->direction, 1);
  EXPECT_EQ(f->contained, "HOST:");
  EXPECT_EQ(f->siteAddress, "");
  EXPECT_TRUE(looked.empty());  // an empty site is not looked up

  // The next opening shows the stored settings.
  d = Open();
  EXPECT_EQ(d->packetTypeBox_->currentIndex(), 4);
  EXPECT_EQ(d->directionBox_->currentIndex(), 1);
  EXPECT_EQ(d->containsTextEdit_->text(), "HOST:");
  EXPECT_EQ(d->minLengthEdit_->text(), "20");
}

TEST_F(FilterDialogTest, AWrongLengthOrAnUnknownSiteStoresNothingAndKeepsTheDialog) {
  const auto before = Form().Handler().Filter();
  TForm3* d = Open();
  d->siteBox_->setEditText("site.example");
  for (const char* length : {"2a", "-1", "1 2"}) {
    d->minLengthEdit_->setText(length);
    d->filterOkButton_->click();
    ASSERT_FALSE(prompter_.boxes.empty());
    EXPECT_EQ(prompter_.boxes.back().text, "数据包长度设置有误，请检查！") << length;
    EXPECT_EQ(prompter_.boxes.back().kind, BoxKind::Error);
    EXPECT_TRUE(d->isVisible());
    EXPECT_EQ(d->focusWidget(), d->minLengthEdit_);
  }
  EXPECT_TRUE(looked.empty());

  d->minLengthEdit_->setText(" 7 ");
  d->siteBox_->setEditText("http://nowhere.invalid/x");
  prompter_.boxes.clear();
  d->filterOkButton_->click();
  ASSERT_EQ(prompter_.boxes.size(), 1u);
  EXPECT_TRUE(prompter_.boxes[0].text.contains("nowhere.invalid"));
  EXPECT_TRUE(d->isVisible());
  EXPECT_EQ(Form().Handler().Filter(), before);  // the very same settings: nothing was stored

  d->close();  // only OK closes the dialog
  EXPECT_TRUE(d->isVisible());
  d->siteBox_->setEditText("");
  d->filterOkButton_->click();
  WaitClosed();
  EXPECT_EQ(Form().Handler().Filter()->minLength, 7);
}

TEST_F(FilterDialogTest, StopKeepsOnlyTheSiteText) {
  TForm3* d = Open();
  d->siteBox_->setEditText("http://site.example/");
  d->minLengthEdit_->setText("100");
  d->packetTypeBox_->setCurrentIndex(1);
  d->filterOkButton_->click();
  WaitClosed();
  Form().EndSniffing();
  const auto f = Form().Handler().Filter();
  EXPECT_EQ(f->siteText, "site.example");
  EXPECT_EQ(f->siteAddress, "");
  EXPECT_EQ(f->minLength, 0);
  EXPECT_EQ(f->protocol, 0);
  d = Open();
  EXPECT_EQ(d->siteBox_->currentText(), "site.example");
  EXPECT_EQ(d->minLengthEdit_->text(), "20");
  EXPECT_EQ(d->packetTypeBox_->currentIndex(), 0);
}

// --- packet inspector ---

TEST(InspectorDisplay, HighlightKeepsItsPlaceAfterGbkTextAndLineBreaks) {
  struct Case {
    std::string packet;
    std::string address;
  };
  const Case cases[] = {
      {"GET / HTTP/1.1\r\n\xD6\xD0\xCE\xC4 http://x/\xD6\xD0.mp3 end", "http://x/\xD6\xD0.mp3"},
      {"\x81\x20 broken \xFF then http://y/a.flv\r\n", "http://y/a.flv"},
      {"lone\rcr http://z/b", "http://z/b"},
  };
  for (const Case& c : cases) {
    const InspectorText t = ShowDatas("192.168.1.5", "10.0.0.1:80", c.packet, c.address, false);
    ASSERT_GT(t.selectionLength, 0u);
    const InspectorDisplay d = ToDisplay(t);
    EXPECT_EQ(d.text.mid(d.selectionStart, d.selectionLength), FromGbk(c.address)) << c.address;
    EXPECT_FALSE(d.text.contains('\r'));
  }
  const InspectorDisplay none = ToDisplay(ShowDatas("1.2.3.4", "5.6.7.8:80", "abc", "zzz", false));
  EXPECT_EQ(none.selectionLength, 0);
}

TEST_F(WindowTest, InspectorShowsTextWithTheAddressOrItsHexDump) {
  const std::string path = (dir_.path() + "/sample.pcap").toStdString();
  WriteSampleCapture(path);
  Load(path);
  QTableView* lv1 = Form().mainListView_;
  // The address of the inbound row stands in its payload, so it is highlighted.
  lv1->selectionModel()->select(lv1->model()->index(4, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
  Form().findChild<QAction*>("N27")->trigger();
  TForm4* inspector = Form().Inspector();
  ASSERT_NE(inspector, nullptr);
  EXPECT_EQ(inspector->windowTitle(), "数据包相关信息");
  EXPECT_TRUE(inspector->windowFlags() & Qt::WindowStaysOnTopHint);
  EXPECT_FALSE(inspector->hexTextBox_->isChecked());
  const QString text = inspector->packetTextView_->toPlainText();
  EXPECT_TRUE(text.startsWith("本地IP： 192.168.1.5\n网站IP： 10.0.0.1:80\n数据包： \n\nHTTP/1.1 200 OK\n")) << text.toStdString();
  EXPECT_EQ(inspector->packetTextView_->textCursor().selectedText(), "http://cdn.example/track.mp3");

  inspector->hexTextBox_->click();
  const auto& row = Form().List().Lv1()[4];
  const QString hex = ToDisplay(ShowDatas("192.168.1.5", row.data->Remote, row.data->Packet, row.cells[1], true)).text;
  EXPECT_EQ(inspector->packetTextView_->toPlainText(), hex);
  EXPECT_TRUE(hex.contains("00000010   48 54 54 50 2F 31 2E 31 20 32 30 30 20 4F 4B 0D    HTTP/1.1 200 OK \n"));
  EXPECT_FALSE(inspector->packetTextView_->textCursor().hasSelection());

  inspector->hexTextBox_->click();  // and back, from the same fields
  EXPECT_EQ(inspector->packetTextView_->toPlainText(), text);
  EXPECT_EQ(inspector->packetTextView_->textCursor().selectedText(), "http://cdn.example/track.mp3");

  // A request row's address is not in its payload: nothing is highlighted.
  lv1->clearSelection();
  lv1->selectionModel()->select(lv1->model()->index(0, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
  Form().findChild<QAction*>("N27")->trigger();
  EXPECT_EQ(Form().Inspector(), inspector);  // the one window, refilled
  EXPECT_FALSE(inspector->packetTextView_->textCursor().hasSelection());
  EXPECT_TRUE(
      inspector->packetTextView_->toPlainText().contains("GET /music/song.mp3 HTTP/1.1\nHost: music.example\n"));

  inspector->closeButton_->click();
  EXPECT_FALSE(Form().findChild<QAction*>("N27")->isChecked());
  ASSERT_TRUE(WaitFor([&] { return Form().Inspector() == nullptr; }));

  // With no row selected the command does nothing.
  lv1->clearSelection();
  Form().findChild<QAction*>("N27")->trigger();
  EXPECT_EQ(Form().Inspector(), nullptr);
  EXPECT_FALSE(Form().findChild<QAction*>("N27")->isChecked());
}

}  // namespace
}  // namespace qv::testing
