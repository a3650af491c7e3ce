// The download folder: names that are taken (also by links), exclusive partial files, a final rename
// that never replaces anything, and partial files that belong to an address.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/settings/temp_dir.h"
#include "tools/Dorrinel/folder.h"

namespace dorrinel {
namespace {

using qv::testing::ReadBytes;
using qv::testing::TempDir;
using qv::testing::WriteBytes;
namespace fs = std::filesystem;

class FolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    folder = DownloadFolder::Open(dir.File("dl/sub"), error);
    ASSERT_TRUE(folder) << error;
  }
  std::string In(const std::string& name) const { return dir.File("dl/sub/" + name); }

  TempDir dir;
  std::unique_ptr<DownloadFolder> folder;
};

TEST_F(FolderTest, TakenNamesAndLinksGetANumberAndNothingIsWrittenThroughALink) {
  WriteBytes(In("a.mp3"), "old");
  WriteBytes(In("a(1).mp3.part"), "someone else's");
  fs::create_symlink(dir.File("outside.mp3"), In("a(2).mp3"));  // dangling
  fs::create_directory(In("a(3).mp3"));
  const DownloadFolder::Placement p = folder->Place("a.mp3", "http://h/a.mp3");
  EXPECT_EQ(p.name, "a(4).mp3");
  EXPECT_FALSE(p.resume);

  std::string error;
  auto part = folder->CreatePart(p.name, "http://h/a.mp3", error);
  ASSERT_TRUE(part) << error;
  ASSERT_TRUE(part->Write("new", 3));
  // Meanwhile the final name is taken by a dangling link: the file gets a number of its own.
  fs::create_symlink(dir.File("outside2.mp3"), In("a(4).mp3"));
  std::string finalName;
  ASSERT_TRUE(folder->Publish(*part, finalName, error)) << error;
  EXPECT_EQ(finalName, "a(4)(1).mp3");
  EXPECT_EQ(ReadBytes(In("a(4)(1).mp3")), "new");
  EXPECT_EQ(ReadBytes(In("a.mp3")), "old");
  EXPECT_FALSE(fs::exists(dir.File("outside.mp3")));
  EXPECT_FALSE(fs::exists(dir.File("outside2.mp3")));
  EXPECT_FALSE(fs::exists(In("a(4).mp3.part")));
}

TEST_F(FolderTest, APartialFileIsCreatedExclusivelyAndNeverOpenedThroughALink) {
  fs::create_symlink(dir.File("target"), In("b.bin.part"));
  std::string error;
  EXPECT_FALSE(folder->CreatePart("b.bin", "u", error));
  EXPECT_FALSE(folder->OpenPart("b.bin", error));
  // A hard link to a file elsewhere is not continued either.
  WriteBytes(dir.File("precious"), "keep");
  ASSERT_EQ(::link(dir.File("precious").c_str(), In("c.bin.part").c_str()), 0);
  EXPECT_FALSE(folder->OpenPart("c.bin", error));
  EXPECT_FALSE(fs::exists(dir.File("target")));
  EXPECT_EQ(ReadBytes(dir.File("precious")), "keep");
}

TEST_F(FolderTest, APartialFileOfTheSameAddressContinuesOthersDoNot) {
  std::string error;
  {
    auto part = folder->CreatePart("f.zip", "http://h/f.zip", error);
    ASSERT_TRUE(part) << error;
    ASSERT_TRUE(part->Write("12345", 5));
    part->SetValidator("\"etag-1\"");
    // While it is being written no one else takes it.
    EXPECT_EQ(folder->Place("f.zip", "http://h/f.zip").name, "f(1).zip");
  }
  const DownloadFolder::Placement same = folder->Place("f.zip", "http://h/f.zip");
  EXPECT_EQ(same.name, "f.zip");
  EXPECT_TRUE(same.resume);
  EXPECT_EQ(folder->Place("f.zip", "http://other/f.zip").name, "f(1).zip");

  auto part = folder->OpenPart("f.zip", error);
  ASSERT_TRUE(part) << error;
  EXPECT_EQ(part->size(), 5u);
  EXPECT_EQ(part->Validator(), "\"etag-1\"");
  ASSERT_TRUE(part->Write("678", 3));
  std::string finalName;
  ASSERT_TRUE(folder->Publish(*part, finalName, error)) << error;
  EXPECT_EQ(ReadBytes(In("f.zip")), "12345678");

  // A final file beside a partial one: the partial one is not continued.
  WriteBytes(In("g.zip"), "done");
  auto g = folder->CreatePart("g.zip", "http://h/g.zip", error);
  ASSERT_TRUE(g);
  g.reset();
  EXPECT_EQ(folder->Place("g.zip", "http://h/g.zip").name, "g(1).zip");
}

TEST_F(FolderTest, TruncateDiscardAndFreeSpace) {
  std::string error;
  auto part = folder->CreatePart("t.bin", "u", error);
  ASSERT_TRUE(part);
  ASSERT_TRUE(part->Write("abcdef", 6));
  ASSERT_TRUE(part->Truncate());
  ASSERT_TRUE(part->Write("xy", 2));
  EXPECT_EQ(part->size(), 2u);
  EXPECT_EQ(ReadBytes(In("t.bin.part")), "xy");
  folder->Discard(*part);
  EXPECT_FALSE(fs::exists(In("t.bin.part")));
  EXPECT_GT(folder->FreeBytes().value_or(0), 0u);
}

TEST(FolderOpenTest, AFolderThatCannotBeMadeIsAnError) {
  TempDir dir;
  WriteBytes(dir.File("file"), "x");
  std::string error;
  EXPECT_FALSE(DownloadFolder::Open(dir.File("file/sub"), error));
  EXPECT_NE(error.find("file/sub"), std::string::npos);
}

}  // namespace
}  // namespace dorrinel
