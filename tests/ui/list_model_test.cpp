// The list model's own sorting and quick filter against a plain reckoning of what it should show:
// rows arriving in batches, removed (shown, hidden, not yet announced), changed in place, with the
// sort and the filter switched on and off in between. Qt's model tester watches every signal, and a
// persistent index (what the selection holds) must stay on its list row.
#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QPersistentModelIndex>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "app/session/list_models.h"
#include "common/list_text.h"
#include "common/texts.h"
#include "urls/url_list.h"

namespace qv::testing {
namespace {

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

class ListModelTest : public ::testing::Test {
 protected:
  ListModelTest() : hub_(lv1_, lv2_, nullptr) { list_.SetObserver(&hub_); }
  ~ListModelTest() override { list_.SetObserver(nullptr); }

  void Append(std::mt19937& random) {
    static const char* const words[] = {"GET /a", "get /B", "POST /c", "Host: x", "GET /a"};
    const std::string payload = std::string(words[random() % 5]) + (random() % 2 ? " tail" : "");
    const std::string length = std::to_string(random() % 30);
    list_.AppendPacketRow(random() % 2 ? "TCP" : "UDP", Direction::Outbound, payload, length,
                          std::make_shared<const LVDATA>(LVDATA{"10.0.0.1:80", payload}));
  }
  std::string Cell(std::size_t row, int column) const {
    const ListRow& r = list_.Lv1()[row];
    return column == 0 ? r.caption : r.cells[static_cast<std::size_t>(column - 1)];
  }
  // What the model should show, from the list alone: the announced rows that hold the filter text,
  // sorted by the column's cells, rows with equal cells in list order.
  std::vector<std::size_t> Expected(std::size_t announced, const std::string& filter, int column,
                                    Qt::SortOrder order) const {
    std::vector<std::size_t> rows;
    for (std::size_t i = 0; i < announced; ++i)
      if (Lower(Cell(i, 2)).find(Lower(filter)) != std::string::npos) rows.push_back(i);
    if (column >= 0)
      std::stable_sort(rows.begin(), rows.end(), [&](std::size_t a, std::size_t b) {
        const int c = CompareListText(Cell(a, column), Cell(b, column));
        return order == Qt::AscendingOrder ? c < 0 : c > 0;
      });
    return rows;
  }
  std::vector<std::size_t> Shown() const {
    std::vector<std::size_t> rows;
    for (int v = 0; v < lv1_.rowCount(); ++v) rows.push_back(*lv1_.SourceRow(v));
    return rows;
  }

  UrlList list_;
  Lv1Model lv1_{list_};
  Lv2Model lv2_{list_};
  ListModelHub hub_;
};

TEST_F(ListModelTest, ShowsWhatTheListSortedAndFilteredShouldShowThroughEveryChange) {
  QAbstractItemModelTester tester(&lv1_, QAbstractItemModelTester::FailureReportingMode::Fatal);
  // Every count the status bar would show is taken once the change is complete.
  int countsSeen = 0;
  QObject::connect(&lv1_, &LaggingListModel::CountsChanged, [&] {
    ++countsSeen;
    ASSERT_LE(static_cast<std::size_t>(lv1_.ListedRows()), list_.Lv1().size());
    for (std::size_t row : Shown()) ASSERT_LT(row, static_cast<std::size_t>(lv1_.ListedRows()));
  });
  std::mt19937 random(11);
  std::string filter;
  int column = -1;
  Qt::SortOrder order = Qt::AscendingOrder;
  QPersistentModelIndex held;
  std::optional<std::size_t> heldRow;  // the list row `held` is on; moves up when a row above goes
  for (int step = 0; step < 600; ++step) {
    const unsigned what = random() % 10;
    if (what < 4) {
      for (unsigned k = random() % 4; k-- > 0;) Append(random);
    } else if (what < 6 && !list_.Lv1().empty()) {
      // Any row: shown, hidden by the filter, or appended and not yet announced.
      const std::size_t row = random() % list_.Lv1().size();
      list_.Remove(ListId::LV1, row);
      if (heldRow && *heldRow == row) heldRow.reset();
      else if (heldRow && *heldRow > row) --*heldRow;
    } else if (what == 6 && lv1_.ListedRows() > 0) {
      const std::size_t row = random() % static_cast<std::size_t>(lv1_.ListedRows());
      if (random() % 2) list_.SetRemark(row, std::to_string(random() % 30));
      else list_.SetAddress(ListId::LV1, row, random() % 2 ? "GET /moved" : "zzz");
    } else if (what == 7) {
      static const int columns[] = {-1, 0, 2, 3};
      column = columns[random() % 4];
      order = random() % 2 ? Qt::AscendingOrder : Qt::DescendingOrder;
      lv1_.sort(column, order);
    } else if (what == 8) {
      static const char* const filters[] = {"", "get", "/A", "x", "nothing"};
      filter = filters[random() % 5];
      lv1_.SetQuickFilter(QString::fromLatin1(filter.c_str()));
    } else if (lv1_.rowCount() > 0) {
      const int v = static_cast<int>(random() % static_cast<unsigned>(lv1_.rowCount()));
      held = lv1_.index(v, 1);
      heldRow = lv1_.SourceRow(v);
    }
    if (random() % 3 == 0) hub_.Flush();
    ASSERT_EQ(Shown(), Expected(static_cast<std::size_t>(lv1_.ListedRows()), filter, column, order)) << step;
    if (held.isValid()) {
      ASSERT_TRUE(heldRow) << step;
      EXPECT_EQ(lv1_.SourceRow(held.row()), heldRow) << step;
      EXPECT_EQ(held.column(), 1);
    } else if (heldRow) {
      // Let go only when its row is no longer shown.
      const auto shown = Shown();
      EXPECT_EQ(std::find(shown.begin(), shown.end(), *heldRow), shown.end()) << step;
      heldRow.reset();
    }
  }
  hub_.Flush();
  EXPECT_EQ(static_cast<std::size_t>(lv1_.ListedRows()), list_.Lv1().size());
  EXPECT_GT(countsSeen, 100);
}

// The quick filter also finds what a percent-escaped UTF-8 address spells, and the list still shows the
// address as it stands; an HTTPS row that holds only a server name says so in its tooltip.
TEST_F(ListModelTest, FilterFindsEscapedNamesAndServerNameRowsExplainThemselves) {
  const auto add = [&](const std::string& address, const std::string& packet) {
    list_.InsertRequestLine("mp3", Direction::Outbound, address,
                            std::make_shared<const LVDATA>(LVDATA{"10.0.0.1:443", packet}), true);
  };
  add("http://m.example/%E7%A8%BB%E9%A6%99.mp3", "GET /%E7%A8%BB%E9%A6%99.mp3 HTTP/1.1");
  add("http://m.example/%e7%a8%bb%e9%a6%99-live.mp3", "GET");   // lower-case escapes
  add("http://m.example/%E7%A8%BB.mp3", "GET");                  // only the first character
  add("http://m.example/daoxiang.mp3", "GET");
  add("https://tls.example/", std::string("\x16\x03\x01\x02\x00", 5));  // from a ClientHello
  add("https://tls.example:8443/", "\xC3rest");                          // a QUIC long header
  add("https://plain.example/", "GET / HTTP/1.1");                        // a request read in full
  add("https://tls.example/a.mp3", std::string("\x16\x03", 2));
  hub_.Flush();

  struct Case {
    QString filter;
    std::vector<std::size_t> rows;
  } cases[] = {
      {QStringLiteral("稻香"), {0, 1}},
      {QStringLiteral("稻香-LIVE"), {1}},
      {QStringLiteral("稻"), {0, 1, 2}},
      {QStringLiteral("%e7%a8%bb.mp3"), {2}},  // the escapes as typed still match themselves
      {QStringLiteral("香港"), {}},
  };
  for (const Case& c : cases) {
    lv1_.SetQuickFilter(c.filter);
    EXPECT_EQ(Shown(), c.rows) << c.filter.toStdString();
  }
  lv1_.SetQuickFilter(QString());
  EXPECT_EQ(lv1_.index(0, 2).data().toString(), QStringLiteral("http://m.example/%E7%A8%BB%E9%A6%99.mp3"));

  const QString note = QStringLiteral("只能看到服务器名称");
  for (int r = 0; r < lv1_.rowCount(); ++r) {
    const bool nameOnly = r == 4 || r == 5;
    EXPECT_EQ(lv1_.index(r, 2).data(kRowNoteRole).toString().startsWith(note), nameOnly) << r;
    EXPECT_EQ(lv1_.index(r, 2).data(Qt::ToolTipRole).toString().contains(note), nameOnly) << r;
  }
  EXPECT_TRUE(lv1_.index(4, 2).data(Qt::ToolTipRole).toString().startsWith(QStringLiteral("https://tls.example/\n")));
  EXPECT_TRUE(lv1_.index(4, 0).data(kRowNoteRole).toString().isEmpty()) << "only the address cell";
}

// Removing a row while sorted: the counts are taken after the row has left the list, so they match
// what the views then hold.
TEST_F(ListModelTest, CountsAfterARemovalInASortedViewMatchTheList) {
  std::mt19937 random(3);
  for (int i = 0; i < 10; ++i) Append(random);
  hub_.Flush();
  lv1_.sort(2, Qt::DescendingOrder);
  std::vector<std::pair<int, int>> counts;
  QObject::connect(&lv1_, &LaggingListModel::CountsChanged,
                   [&] { counts.emplace_back(lv1_.ListedRows(), lv1_.rowCount()); });
  list_.Remove(ListId::LV1, *lv1_.SourceRow(0));
  ASSERT_EQ(counts.size(), 1u);
  EXPECT_EQ(counts.back(), std::make_pair(9, 9));
  EXPECT_EQ(list_.Lv1().size(), 9u);
  // A row the filter hides changes the listed count only.
  lv1_.SetQuickFilter(QStringLiteral("post"));
  const int shown = lv1_.rowCount();
  ASSERT_LT(shown, 9);
  std::size_t hidden = 0;
  while (Lower(Cell(hidden, 2)).find("post") != std::string::npos) ++hidden;
  counts.clear();
  list_.Remove(ListId::LV1, hidden);
  ASSERT_EQ(counts.size(), 1u);
  EXPECT_EQ(counts.back(), std::make_pair(8, shown));
}

}  // namespace
}  // namespace qv::testing
