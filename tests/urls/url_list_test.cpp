#include "urls/url_list.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/texts.h"

namespace qv {
namespace {

using Strings = std::vector<std::string>;

constexpr int kEntryAudioVideo = 2;
constexpr int kEntryPicture = 3;

LVDataPtr Rec(std::string packet) { return std::make_shared<const LVDATA>(LVDATA{"10.0.0.5:80", std::move(packet)}); }

class RecordingObserver : public UrlListObserver {
 public:
  void RowsInserted(ListId l, std::size_t first, std::size_t count) override {
    events.push_back(Name(l) + "+" + std::to_string(first) + "x" + std::to_string(count));
  }
  void RowRemoved(ListId l, std::size_t index) override { events.push_back(Name(l) + "-" + std::to_string(index)); }
  void ListReset(ListId l) override { events.push_back(Name(l) + " reset"); }
  void CellChanged(ListId l, std::size_t row, int column) override {
    events.push_back(Name(l) + " cell " + std::to_string(row) + "," + std::to_string(column));
  }
  void ViewChanged() override { events.push_back("view"); }
  static std::string Name(ListId l) { return l == ListId::LV1 ? "LV1" : "lv2"; }
  Strings events;
};

class UrlListTest : public ::testing::Test {
 protected:
  void RequestLine(std::string_view cat, const std::string& address, const std::string& packet, bool dups = false) {
    list.InsertRequestLine(cat, Direction::Outbound, address, Rec(packet), dups);
  }
  void Scan(std::string_view cat, const std::string& address, const std::string& packet, bool outbound,
            bool dups = false) {
    list.InsertScan(cat, outbound ? Direction::Outbound : Direction::Inbound, address, Rec(packet), outbound, dups);
  }
  // "address@packet" for every row.
  Strings Lv1() const {
    Strings out;
    for (const auto& r : list.Lv1()) out.push_back(r.cells[1] + "@" + r.data->Packet);
    return out;
  }
  Strings Lv2() const {
    Strings out;
    for (const auto& r : list.Lv2()) out.push_back(r.address + "@" + r.data->Packet);
    return out;
  }
  UrlList list;
};

TEST_F(UrlListTest, RequestLineMovesARepeatedAddressToTheEndWithTheNewestPacket) {
  list.ViewByCategory(kEntryAudioVideo);
  RequestLine(texts::kCatAudio, "http://h/a.mp3", "p1");
  RequestLine(texts::kCatAudio, "http://h/b.mp3", "p2");
  RequestLine(texts::kCatAudio, "http://h/a.mp3", "p3");
  EXPECT_EQ(Lv1(), (Strings{"http://h/b.mp3@p2", "http://h/a.mp3@p3"}));
  EXPECT_EQ(Lv2(), (Strings{"http://h/b.mp3@p2", "http://h/a.mp3@p3"}));
  // The view row refers to the very record of its URL row.
  EXPECT_EQ(list.Lv2()[1].data, list.Lv1()[1].data);
  EXPECT_EQ(list.Lv1()[1].caption, texts::kCatAudio);
  EXPECT_EQ(list.Lv1()[1].cells[0], texts::kOutbound);
  EXPECT_EQ(list.Lv1()[1].cells[2], "");
  EXPECT_EQ(list.Lv2()[1].caption, texts::kOutbound);

  // Duplicates allowed: every request is a row, but the view still keeps one row per address.
  RequestLine(texts::kCatAudio, "http://h/b.mp3", "p4", /*dups=*/true);
  EXPECT_EQ(Lv1(), (Strings{"http://h/b.mp3@p2", "http://h/a.mp3@p3", "http://h/b.mp3@p4"}));
  EXPECT_EQ(Lv2(), (Strings{"http://h/a.mp3@p3", "http://h/b.mp3@p4"}));
}

TEST_F(UrlListTest, ScanKeepsTheFirstRowAndItsFirstPacket) {
  list.ViewByCategory(kEntryAudioVideo);
  Scan(texts::kCatAudio, "http://h/a.mp3", "p1", false);
  Scan(texts::kCatAudio, "http://h/b.mp3", "p2", false);
  Scan(texts::kCatAudio, "http://h/a.mp3", "p3", true);
  EXPECT_EQ(Lv1(), (Strings{"http://h/a.mp3@p1", "http://h/b.mp3@p2"}));
  EXPECT_EQ(Lv2(), (Strings{"http://h/a.mp3@p1", "http://h/b.mp3@p2"}));
  // A requested address found again in an inbound page is not listed again.
  RequestLine(texts::kCatAudio, "http://h/c.mp3", "p4");
  Scan(texts::kCatAudio, "http://h/c.mp3", "p5", false);
  EXPECT_EQ(list.Lv1().size(), 3u);
  EXPECT_EQ(Lv1().back(), "http://h/c.mp3@p4");
}

TEST_F(UrlListTest, ScanViewRuleWithAnEqualViewRow) {
  list.ViewByCategory(kEntryAudioVideo);
  Scan(texts::kCatAudioVideo, "http://h/a.flv", "p1", false, true);
  Scan(texts::kCatAudioVideo, "rtsp://m/live", "p2", true, true);
  Scan(texts::kCatAudioVideo, "http://h/z.flv", "p3", false, true);
  const Strings before = Lv2();
  // Inbound: no view row.
  Scan(texts::kCatAudioVideo, "http://h/a.flv", "p4", false, true);
  EXPECT_EQ(Lv2(), before);
  // Outbound rtsp: no view row.
  Scan(texts::kCatAudioVideo, "rtsp://m/live", "p5", true, true);
  EXPECT_EQ(Lv2(), before);
  // Outbound http (in any case): the view row moves to the bottom with the new packet.
  Scan(texts::kCatAudioVideo, "http://h/a.flv", "p6", true, true);
  EXPECT_EQ(Lv2(), (Strings{"rtsp://m/live@p2", "http://h/z.flv@p3", "http://h/a.flv@p6"}));
  Scan(texts::kCatAudioVideo, "HTTP://h/A.flv", "p7", true, true);
  EXPECT_EQ(Lv2().back(), "HTTP://h/A.flv@p7");
  // Every occurrence went into LV1.
  EXPECT_EQ(list.Lv1().size(), 7u);
}

TEST_F(UrlListTest, ViewFilterAndCaption) {
  const std::string initial = std::string(61, ' ') + "\xB5\xD8 \xD6\xB7";  // 地 址
  EXPECT_EQ(list.ViewAddressCaption(), initial);
  EXPECT_TRUE(list.ShowingAll());

  const std::string_view cats[] = {texts::kCatVideo,  texts::kCatAudio,    texts::kCatAudioVideo,
                                   texts::kCatPicture, texts::kCatUndefined, texts::kCatText};
  for (int n = 0; n < 6; ++n) RequestLine(cats[n], "http://h/" + std::to_string(n), "p" + std::to_string(n));

  list.ViewByCategory(kEntryAudioVideo);
  EXPECT_FALSE(list.ShowingAll());
  EXPECT_EQ(list.ViewFilter(), texts::kFin);
  EXPECT_EQ(Lv2(), (Strings{"http://h/0@p0", "http://h/1@p1", "http://h/2@p2"}));

  list.ViewByCategory(kEntryPicture);
  EXPECT_EQ(Lv2(), (Strings{"http://h/3@p3"}));
  // 75 spaces, "地    址  [", the name, "]".
  EXPECT_EQ(list.ViewAddressCaption(),
            std::string(75, ' ') + "\xB5\xD8    \xD6\xB7  [" + std::string(texts::kCatPicture) + "]");

  // While the view is active a matching address appears at its bottom, another only in LV1.
  RequestLine(texts::kCatPicture, "http://h/new.jpg", "p9");
  RequestLine(texts::kCatText, "http://h/new.txt", "p10");
  EXPECT_EQ(Lv2(), (Strings{"http://h/3@p3", "http://h/new.jpg@p9"}));
  EXPECT_EQ(list.Lv1().size(), 8u);

  // Back to "全部": the view keeps its rows and caption; a new start keeps them too.
  list.ViewByCategory(kViewAllEntry);
  EXPECT_TRUE(list.ShowingAll());
  list.ClearLv1();
  EXPECT_EQ(list.Lv2().size(), 2u);
  EXPECT_EQ(list.ViewAddressCaption().substr(75, 11), "\xB5\xD8    \xD6\xB7  [");
  // With "全部" active nothing goes into the view.
  RequestLine(texts::kCatPicture, "http://h/b.jpg", "p11");
  EXPECT_EQ(list.Lv2().size(), 2u);
  // The separator is not an entry.
  list.ViewByCategory(1);
  EXPECT_TRUE(list.ShowingAll());

  list.ClearAll();
  EXPECT_TRUE(list.Lv1().empty());
  EXPECT_TRUE(list.Lv2().empty());
}

TEST_F(UrlListTest, ViewEntryCaptions) {
  const std::string_view want[] = {texts::kViewAll,   "",          texts::kCatAudioVideo, texts::kCatPicture,
                                   texts::kCatText,   texts::kCatCustom, texts::kCatUndefined};
  for (int i = 0; i < kViewEntryCount; ++i) EXPECT_EQ(ViewEntryCaption(i), want[i]) << i;
}

TEST_F(UrlListTest, SelectionCopyFollowsTheVisibleListAndIsDetached) {
  RequestLine(texts::kCatPicture, "http://h/a.jpg", "p1");
  RequestLine(texts::kCatAudio, "http://h/b.mp3", "p2");
  EXPECT_FALSE(list.LVSLT(std::nullopt, 0));
  EXPECT_FALSE(list.LVSLT(5, std::nullopt));
  auto copy = list.LVSLT(1, std::nullopt);
  ASSERT_TRUE(copy);
  EXPECT_EQ(copy->address, "http://h/b.mp3");
  EXPECT_EQ(copy->data, list.Lv1()[1].data);
  list.SetAddress(ListId::LV1, 1, "changed");
  EXPECT_EQ(copy->address, "http://h/b.mp3");

  list.ViewByCategory(kEntryPicture);
  EXPECT_FALSE(list.LVSLT(0, std::nullopt));
  copy = list.LVSLT(1, 0);
  ASSERT_TRUE(copy);
  EXPECT_EQ(copy->address, "http://h/a.jpg");
  EXPECT_EQ(copy->data->Packet, "p1");
  EXPECT_FALSE(list.LVSLT(0, 1));
}

TEST_F(UrlListTest, DuplicateChecksFollowEditsRemovalsAndPacketRows) {
  Scan(texts::kCatAudio, "http://h/a.mp3", "p1", false);
  list.SetAddress(ListId::LV1, 0, "http://h/\xC4\xE3.mp3");
  // The old text no longer blocks, the new one does.
  Scan(texts::kCatAudio, "http://h/\xC4\xE3.mp3", "p2", false);
  Scan(texts::kCatAudio, "http://h/a.mp3", "p3", false);
  EXPECT_EQ(Lv1(), (Strings{"http://h/\xC4\xE3.mp3@p1", "http://h/a.mp3@p3"}));
  // A request for the edited address replaces that row.
  RequestLine(texts::kCatAudio, "http://h/\xC4\xE3.mp3", "p4");
  EXPECT_EQ(Lv1(), (Strings{"http://h/a.mp3@p3", "http://h/\xC4\xE3.mp3@p4"}));

  list.Remove(ListId::LV1, 0);
  list.Remove(ListId::LV1, 9);  // no such row
  Scan(texts::kCatAudio, "http://h/a.mp3", "p5", false);
  EXPECT_EQ(Lv1(), (Strings{"http://h/\xC4\xE3.mp3@p4", "http://h/a.mp3@p5"}));

  // A packet row's payload cell counts as its address cell.
  list.AppendPacketRow("TCP", Direction::Inbound, "http://h/x.mp3", "14", Rec("http://h/x.mp3"));
  Scan(texts::kCatAudio, "http://h/x.mp3", "p6", false);
  EXPECT_EQ(list.Lv1().size(), 3u);
  EXPECT_EQ(list.Lv1()[2].caption, "TCP");
  EXPECT_EQ(list.Lv1()[2].cells[2], "14");

  // In the view, an edited address is matched by its new text.
  list.ViewByCategory(kEntryAudioVideo);
  ASSERT_EQ(list.Lv2().size(), 2u);
  list.SetAddress(ListId::Lv2, 1, "http://h/v.mp3");
  EXPECT_EQ(list.Lv1()[1].cells[1], "http://h/a.mp3");  // the URL list keeps its text
  RequestLine(texts::kCatAudio, "http://h/v.mp3", "p7");
  EXPECT_EQ(Lv2(), (Strings{"http://h/\xC4\xE3.mp3@p4", "http://h/v.mp3@p7"}));
  list.Remove(ListId::Lv2, 1);
  RequestLine(texts::kCatAudio, "http://h/v.mp3", "p8");
  EXPECT_EQ(Lv2(), (Strings{"http://h/\xC4\xE3.mp3@p4", "http://h/v.mp3@p8"}));

  // Long cells that differ only in the middle are told apart, and removing one leaves the other found.
  list.ClearAll();
  const std::string head = "http://h/" + std::string(300, 'a'), tail = std::string(300, 'z') + ".mp3";
  const std::string one = head + "1" + tail, two = head + "2" + tail;
  Scan(texts::kCatAudio, one, "q1", false);
  Scan(texts::kCatAudio, two, "q2", false);
  Scan(texts::kCatAudio, one, "q3", false);
  EXPECT_EQ(Lv1(), (Strings{one + "@q1", two + "@q2"}));
  list.Remove(ListId::LV1, 0);
  Scan(texts::kCatAudio, two, "q4", false);
  Scan(texts::kCatAudio, one, "q5", false);
  EXPECT_EQ(Lv1(), (Strings{two + "@q2", one + "@q5"}));
}

// Packet rows whose record and payload live in the spill file take part in every rule as rows kept in
// memory do: the same script on both lists gives the same rows, selection copies and view.
TEST(UrlListSpill, SpilledPacketRowsFollowTheSameRulesAsRowsInMemory) {
  const std::string dir = ::testing::TempDir();
  std::shared_ptr<SpillStore> store(SpillStore::Open(dir));
  ASSERT_NE(store, nullptr);
  UrlList memory, spilled;
  spilled.SetSpillStore(store);
  auto packet = [&](const std::string& remote, const std::string& payload) {
    memory.AppendPacketRow("TCP", Direction::Inbound, payload, std::to_string(payload.size()),
                           std::make_shared<const LVDATA>(LVDATA{remote, payload}));
    const auto ref = store->Append(remote, payload);
    ASSERT_TRUE(ref);
    SpilledRecord r;
    r.offset = ref->offset;
    r.remoteSize = static_cast<std::uint16_t>(remote.size());
    r.packetSize = static_cast<std::uint32_t>(payload.size());
    spilled.AppendSpilledPacketRow("TCP", Direction::Inbound, std::to_string(payload.size()), r,
                                   UrlList::AddressKey(payload));
  };
  auto both = [&](auto&& step) {
    step(memory);
    step(spilled);
  };
  auto rows = [](const UrlList& l) {
    Strings out;
    for (const ListRow& r : l.Lv1()) {
      const LVDataPtr rec = l.RecordOf(r);
      out.push_back(r.caption + "|" + l.AddressOf(r) + "|" + r.cells[2] + "|" + rec->Remote + "|" + rec->Packet);
    }
    return out;
  };
  const std::string longOne = std::string(600, 'a') + "1" + std::string(600, 'z');
  const std::string longTwo = std::string(600, 'a') + "2" + std::string(600, 'z');
  packet("10.0.0.1:80", "http://h/x.mp3");
  packet("[2001:db8::1]:443", std::string("\xA5\xFE\x01GET", 6));
  packet("10.0.0.2:80", longOne);
  packet("10.0.0.3:80", "");
  packet("10.0.0.4:80", "http://h/%C4%E3.flv");
  EXPECT_EQ(rows(spilled), rows(memory));
  EXPECT_TRUE(spilled.Lv1()[2].cells[1].empty());  // held in the file only

  struct Step { const char* what; std::function<void(UrlList&)> run; };
  const std::vector<Step> steps = {
      // A scanned address equal to a packet row's payload is a duplicate; one differing in the middle
      // of a long payload is not.
      {"scan equal", [](UrlList& l) { l.InsertScan(texts::kCatAudio, Direction::Inbound, "http://h/x.mp3", Rec("s1"), false, false); }},
      {"scan long", [&](UrlList& l) { l.InsertScan(texts::kCatAudio, Direction::Inbound, longTwo, Rec("s2"), false, false); }},
      // A request line for it removes the packet row and appends its own.
      {"request equal", [](UrlList& l) { l.InsertRequestLine(texts::kCatAudio, Direction::Outbound, "http://h/x.mp3", Rec("r1"), false); }},
      {"decode", [](UrlList& l) { l.SetAddress(ListId::LV1, 3, "http://h/\xC4\xE3.flv"); }},
      {"scan old text", [](UrlList& l) { l.InsertScan(texts::kCatAudio, Direction::Inbound, "http://h/%C4%E3.flv", Rec("s3"), false, false); }},
      {"remove", [](UrlList& l) { l.Remove(ListId::LV1, 1); }},
      {"scan long again", [&](UrlList& l) { l.InsertScan(texts::kCatAudio, Direction::Inbound, longTwo, Rec("s4"), false, false); }},
  };
  for (const Step& step : steps) {
    both(step.run);
    EXPECT_EQ(rows(spilled), rows(memory)) << step.what;
  }
  for (std::size_t i = 0; i < memory.Lv1().size(); ++i) {
    const auto a = memory.LVSLT(i, std::nullopt), b = spilled.LVSLT(i, std::nullopt);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->address, b->address) << i;
    EXPECT_EQ(a->data->Remote, b->data->Remote) << i;
    EXPECT_EQ(a->data->Packet, b->data->Packet) << i;
  }
  // A view whose filter a protocol caption matches takes the rows with their whole texts.
  both([](UrlList& l) { l.flck("TCP"); });
  ASSERT_EQ(spilled.Lv2().size(), memory.Lv2().size());
  for (std::size_t i = 0; i < memory.Lv2().size(); ++i) {
    EXPECT_EQ(spilled.Lv2()[i].address, memory.Lv2()[i].address) << i;
    EXPECT_EQ(spilled.Lv2()[i].data->Packet, memory.Lv2()[i].data->Packet) << i;
  }
}

TEST_F(UrlListTest, ObserverSeesEveryChange) {
  RecordingObserver obs;
  list.SetObserver(&obs);
  list.ViewByCategory(kEntryAudioVideo);
  RequestLine(texts::kCatAudio, "http://h/a.mp3", "p1");
  RequestLine(texts::kCatAudio, "http://h/b.mp3", "p2");
  RequestLine(texts::kCatAudio, "http://h/a.mp3", "p3");
  list.SetRemark(0, "note");
  list.SetAddress(ListId::Lv2, 0, "x");
  list.Remove(ListId::Lv2, 1);
  list.ViewByCategory(kViewAllEntry);
  list.ClearAll();
  EXPECT_EQ(obs.events, (Strings{"lv2 reset", "view",                       // ViewByCategory
                                 "LV1+0x1", "lv2+0x1", "LV1+1x1", "lv2+1x1",  // two requests
                                 "LV1-0", "LV1+1x1", "lv2-0", "lv2+1x1",      // the repeated one
                                 "LV1 cell 0,3", "lv2 cell 0,1", "lv2-1", "view", "LV1 reset", "lv2 reset"}));
}

}  // namespace
}  // namespace qv
