#include "settings/app_settings.h"
#include "urls/file_type_table.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "common/texts.h"
#include "settings/settings_store.h"
#include "temp_dir.h"

namespace qv {
namespace {

using testing::ReadBytes;
using testing::TempDir;
using testing::WriteBytes;
using Entries = std::vector<std::pair<std::string, bool>>;

Entries Flatten(const std::vector<FileTypeEntry>& list) {
  Entries out;
  for (const auto& e : list) out.emplace_back(e.text, e.checked);
  return out;
}

TEST(ExtensionList, ReadingRules) {
  const struct {
    std::string value;
    Entries want;
  } cases[] = {
      {"1.jpg|0.gif|", {{".jpg", true}, {".gif", false}}},
      {"1jpg|", {{".jpg", true}}},
      {"1.jpg||1.gif|", {{".jpg", true}}},
      {"0.a b|", {{".a", false}, {".", false}}},
      // Only "1" enables; any other flag character disables.
      {"2.x|y.z|", {{".x", false}, {".z", false}}},
      {"1|", {{".", true}}},
      // Blanks and control characters between items are skipped; no closing "|" needed.
      {"  1.mp3 |\t 0.wma\r\n|1.ogg", {{".mp3", true}, {".wma", false}, {".ogg", true}}},
      // A quoted item runs to its closing quote, blanks and "|" included.
      {"\"1.a b|c\"|1.d|", {{".a b|c", true}, {".d", true}}},
      // An item that is empty after trimming stops the reading.
      {"1.a|\"  \"|1.b|", {{".a", true}}},
      // The case is kept.
      {"1.JPG|", {{".JPG", true}}},
      // A "|" that is the trail byte of a double-byte character does not end the item.
      {"1.\xD5|x|0.b|", {{".\xD5|x", true}, {".b", false}}},
      {"", {}},
      {"|1.a|", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(Flatten(ParseExtensionList(c.value)), c.want) << c.value;
}

TEST(ExtensionList, WritingRoundTrips) {
  const std::vector<FileTypeEntry> entries = {{".jpg", true}, {".GIF", false}, {".\xD5|", true}};
  const std::string text = FormatExtensionList(entries);
  EXPECT_EQ(text, "1.jpg|0.GIF|1.\xD5||");
  EXPECT_EQ(Flatten(ParseExtensionList(text)), Flatten(entries));
  EXPECT_EQ(FormatExtensionList({}), "");
}

FileTypeSnapshot Sample() {
  return FileTypeSnapshot()
      .WithEntry(0, ".rm", true)
      .WithEntry(0, ".mp3", false)  // also under audio: the first in tree order wins
      .WithEntry(1, ".mp3", true)
      .WithEntry(2, ".JPG", true)
      .WithEntry(2, ".gif", false);
}

TEST(FileTypeTable, FindChildLowersStoredTextAndKeepsTreeOrder) {
  const FileTypeSnapshot t = Sample();
  const auto jpg = t.FindChild(".jpg");
  ASSERT_TRUE(jpg);
  EXPECT_EQ(jpg->category, 2);
  EXPECT_EQ(t.NodeText(*jpg), ".JPG");
  EXPECT_EQ(t.CategoryOf(*jpg), texts::kCatPicture);
  EXPECT_TRUE(t.IsNodeChecked(*jpg));
  // The caller's text is compared as given: upper-case text finds nothing.
  EXPECT_FALSE(t.FindChild(".JPG"));

  const auto mp3 = t.FindChild(".mp3");
  ASSERT_TRUE(mp3);
  EXPECT_EQ(mp3->category, 0);
  EXPECT_EQ(mp3->entry, 1);
  EXPECT_FALSE(t.IsNodeChecked(*mp3));  // unchecked entries are still found

  const auto cat = t.FindChild(texts::kCatText);
  ASSERT_TRUE(cat);
  EXPECT_TRUE(cat->IsCategory());
  EXPECT_EQ(cat->category, 3);
  EXPECT_FALSE(t.IsNodeChecked(*cat));  // no entries
  EXPECT_FALSE(t.FindChild(".png"));
  EXPECT_FALSE(t.FindChild(""));
}

TEST(FileTypeTable, EditsMakeNewSnapshotsAndLeaveTheOldOneAlone) {
  const FileTypeSnapshot t = Sample();
  const FileTypeSnapshot off = t.WithChecked(FileTypeNode{2, -1}, false);
  EXPECT_EQ(Flatten(off.Entries(2)), (Entries{{".JPG", false}, {".gif", false}}));
  EXPECT_FALSE(off.CategoryChecked(2));
  const FileTypeSnapshot on = off.WithChecked(FileTypeNode{2, -1}, true);
  EXPECT_EQ(Flatten(on.Entries(2)), (Entries{{".JPG", true}, {".gif", true}}));
  EXPECT_EQ(Flatten(on.WithChecked(FileTypeNode{2, 1}, false).Entries(2)),
            (Entries{{".JPG", true}, {".gif", false}}));

  const FileTypeSnapshot fewer = t.WithoutEntry(FileTypeNode{0, 0});
  EXPECT_EQ(Flatten(fewer.Entries(0)), (Entries{{".mp3", false}}));
  EXPECT_EQ(Flatten(t.WithoutEntry(FileTypeNode{0, -1}).Entries(0)), Flatten(t.Entries(0)));

  const FileTypeSnapshot switches = t.WithUndefinedTypes(true).WithDuplicates(true);
  EXPECT_TRUE(switches.undefinedTypes);
  EXPECT_TRUE(switches.duplicates);

  // The source snapshot is unchanged by all of the above.
  EXPECT_EQ(Flatten(t.Entries(0)), (Entries{{".rm", true}, {".mp3", false}}));
  EXPECT_EQ(Flatten(t.Entries(2)), (Entries{{".JPG", true}, {".gif", false}}));
  EXPECT_FALSE(t.undefinedTypes);
  EXPECT_FALSE(t.duplicates);
}

TEST(FileTypeTable, CategoryNamesInTreeOrder) {
  EXPECT_EQ(CategoryName(0), texts::kCatVideo);
  EXPECT_EQ(CategoryName(1), texts::kCatAudio);
  EXPECT_EQ(CategoryName(2), texts::kCatPicture);
  EXPECT_EQ(CategoryName(3), texts::kCatText);
  EXPECT_EQ(CategoryName(4), texts::kCatCustom);
  EXPECT_EQ(CategoryName(5), "");
}

class FileTypeLoadTest : public ::testing::Test {
 protected:
  TempDir dir_;
  std::string path_ = dir_.File("setting.ini");
};

TEST_F(FileTypeLoadTest, FileWithoutFileTypeSectionGivesEmptyCategoriesAndUndefinedOn) {
  WriteBytes(path_, "[system]\r\nautoRun=1\r\n");
  const FileTypeSnapshot t = LoadFileTypes(SettingsStore(path_));
  for (int c = 0; c < kCategoryCount; ++c) EXPECT_TRUE(t.Entries(c).empty()) << c;
  EXPECT_TRUE(t.undefinedTypes);
  EXPECT_FALSE(t.duplicates);
  EXPECT_FALSE(t.httpsHosts) << "a file without the key behaves as before: no HTTPS hosts";
}

TEST_F(FileTypeLoadTest, LoadsSwitchesAndListsFromTheirSections) {
  WriteBytes(path_,
             "[SYSTEM]\r\nrepeatURL=1\r\nHTTPSHOSTS=1\r\n"
             "[filetype]\r\n" +
                 std::string(texts::kUndefinedTypesKey) + "=0\r\n" + std::string(texts::kCatPicture) +
                 "=1.jpg|0.gif|\r\n" + std::string(texts::kCatCustom) + "=0.a b|\r\n");
  const FileTypeSnapshot t = LoadFileTypes(SettingsStore(path_));
  EXPECT_FALSE(t.undefinedTypes);
  EXPECT_TRUE(t.duplicates);
  EXPECT_TRUE(t.httpsHosts);
  EXPECT_EQ(Flatten(t.Entries(2)), (Entries{{".jpg", true}, {".gif", false}}));
  EXPECT_TRUE(t.CategoryChecked(2));
  EXPECT_EQ(Flatten(t.Entries(4)), (Entries{{".a", false}, {".", false}}));
  EXPECT_FALSE(t.CategoryChecked(4));
  EXPECT_TRUE(t.Entries(0).empty());
}

TEST_F(FileTypeLoadTest, SaveRewritesEveryCategoryKeyAndNothingElse) {
  const std::string before =
      "; comment\r\n[system]\r\nrepeatURL=0\r\n\r\n[FileType]\r\n" + std::string(texts::kCatVideo) +
      "=1.old|\r\nother=kept\r\n" + std::string(texts::kUndefinedTypesKey) + "=1\r\n";
  WriteBytes(path_, before);
  SettingsStore store(path_);
  const FileTypeSnapshot t = Sample();
  SaveFileTypes(store, t);

  const std::string want = "; comment\r\n[system]\r\nrepeatURL=0\r\n\r\n[FileType]\r\n" +
                           std::string(texts::kCatVideo) + "=1.rm|0.mp3|\r\nother=kept\r\n" +
                           std::string(texts::kUndefinedTypesKey) + "=1\r\n" + std::string(texts::kCatAudio) +
                           "=1.mp3|\r\n" + std::string(texts::kCatPicture) + "=1.JPG|0.gif|\r\n" +
                           std::string(texts::kCatText) + "=\r\n" + std::string(texts::kCatCustom) + "=\r\n";
  EXPECT_EQ(ReadBytes(path_), want);

  const FileTypeSnapshot back = LoadFileTypes(store);
  for (int c = 0; c < kCategoryCount; ++c) EXPECT_EQ(Flatten(back.Entries(c)), Flatten(t.Entries(c))) << c;
}

TEST(FileTypeShipped, ShippedSettingsFileLoads) {
  const FileTypeSnapshot t = LoadFileTypes(SettingsStore(QUELVAR_SOURCE_DIR "/data/setting.ini"));
  EXPECT_TRUE(t.undefinedTypes);
  EXPECT_FALSE(t.duplicates);
  EXPECT_TRUE(t.httpsHosts);
  for (int c = 0; c < kCategoryCount; ++c) EXPECT_FALSE(t.Entries(c).empty()) << c;
  const struct {
    const char* ext;
    std::string_view category;
    bool checked;
  } cases[] = {
      {".mp3", texts::kCatAudio, true},  {".flv", texts::kCatVideo, true},  {".jpg", texts::kCatPicture, true},
      {".txt", texts::kCatText, true},   {".htm", texts::kCatText, false},  {".zip", texts::kCatCustom, true},
      {".m4s", texts::kCatVideo, true},  {".cmfv", texts::kCatVideo, true}, {".cmfa", texts::kCatAudio, true},
      {".m3u", texts::kCatAudio, true},  {".pls", texts::kCatAudio, true},
  };
  for (const auto& c : cases) {
    const auto node = t.FindChild(c.ext);
    ASSERT_TRUE(node) << c.ext;
    EXPECT_EQ(t.CategoryOf(*node), c.category) << c.ext;
    EXPECT_EQ(t.IsNodeChecked(*node), c.checked) << c.ext;
  }
}

}  // namespace
}  // namespace qv
