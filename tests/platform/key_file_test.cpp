#include "platform/key_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "tests/settings/temp_dir.h"

namespace qv {
namespace {

using testing::TempDir;

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

TEST(KeyFileFolderTest, RuntimeFolderElseTheCacheElseNone) {
  EXPECT_EQ(KeyFileFolder("/run/user/1000", "/home/a"), "/run/user/1000/quelvar");
  EXPECT_EQ(KeyFileFolder("/run/user/1000/", "/home/a"), "/run/user/1000/quelvar");
  EXPECT_EQ(KeyFileFolder(nullptr, "/home/a"), "/home/a/.cache/quelvar");
  EXPECT_EQ(KeyFileFolder("", "/home/a/"), "/home/a/.cache/quelvar");
  EXPECT_EQ(KeyFileFolder("relative/run", "/home/a"), "/home/a/.cache/quelvar");  // never the current folder
  EXPECT_EQ(KeyFileFolder(nullptr, "relative"), "");
  EXPECT_EQ(KeyFileFolder(nullptr, nullptr), "");
}

TEST(KeyFileFolderTest, KeyLogPathsOfTheSetting) {
  EXPECT_EQ(KeyLogPaths(""), std::vector<std::string>{});
  EXPECT_EQ(KeyLogPaths(" ; ;"), std::vector<std::string>{});
  EXPECT_EQ(KeyLogPaths("/a/k.log"), std::vector<std::string>{"/a/k.log"});
  EXPECT_EQ(KeyLogPaths(" /a/k.log ;/b/my keys.txt;;"), (std::vector<std::string>{"/a/k.log", "/b/my keys.txt"}));
}

TEST(KeyFileTest, MadePrivateUnderAPrivateFolderAndRemovedAtTheEnd) {
  TempDir home;
  const mode_t oldMask = ::umask(0277);  // a umask that would leave the owner without write
  // ~/.cache is missing on a new account: both folders are made.
  const std::string folder = KeyFileFolder(nullptr, home.Path().c_str());
  std::string why;
  auto file = KeyFile::Create(folder, &why);
  ::umask(oldMask);
  ASSERT_NE(file, nullptr) << why;
  EXPECT_EQ(ModeOf(folder), 0700u);
  EXPECT_EQ(ModeOf(file->Path()), 0600u);
  EXPECT_EQ(std::filesystem::path(file->Path()).parent_path(), folder);
  EXPECT_EQ(std::filesystem::file_size(file->Path()), 0u);

  // A second file in the same process gets a name of its own, never the first one's.
  auto second = KeyFile::Create(folder, &why);
  ASSERT_NE(second, nullptr) << why;
  EXPECT_NE(second->Path(), file->Path());

  const std::string path = file->Path(), kept = second->Path();
  second->SetKeep(true);
  file.reset();
  second.reset();
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_TRUE(std::filesystem::exists(kept));
}

TEST(KeyFileTest, AFileReplacedMeanwhileIsNotRemoved) {
  TempDir dir;
  const std::string folder = dir.File("quelvar");
  std::string why;
  auto file = KeyFile::Create(folder, &why);
  ASSERT_NE(file, nullptr) << why;
  const std::string path = file->Path();
  std::filesystem::remove(path);
  testing::WriteBytes(path, "someone else's");
  file.reset();
  EXPECT_EQ(testing::ReadBytes(path), "someone else's");
}

TEST(KeyFileTest, UnsafeFoldersAreRefused) {
  TempDir dir;
  const std::string real = dir.File("real");
  ASSERT_EQ(::mkdir(real.c_str(), 0700), 0);

  struct Case {
    const char* name;
    std::function<std::string()> make;  // the folder to use
    const char* reason;
  };
  const Case cases[] = {
      {"a link to a private folder",
       [&] {
         const std::string link = dir.File("link");
         std::filesystem::create_directory_symlink(real, link);
         return link;
       },
       "symbolic link"},
      {"a dangling link",
       [&] {
         const std::string link = dir.File("dangling");
         std::filesystem::create_directory_symlink(dir.File("nowhere"), link);
         return link;
       },
       "symbolic link"},
      {"open to the group",
       [&] {
         const std::string f = dir.File("group");
         ::mkdir(f.c_str(), 0700);
         ::chmod(f.c_str(), 0750);
         return f;
       },
       "wider than 0700"},
      {"open to everyone, sticky",
       [&] {
         const std::string f = dir.File("tmp");
         ::mkdir(f.c_str(), 0700);
         ::chmod(f.c_str(), 01777);
         return f;
       },
       "wider than 0700"},
      {"a file, not a folder",
       [&] {
         const std::string f = dir.File("plain");
         testing::WriteBytes(f, "x");
         return f;
       },
       "not a folder"},
      {"a relative path", [] { return std::string("quelvar"); }, "absolute"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string folder = c.make();
    std::string why;
    EXPECT_EQ(KeyFile::Create(folder, &why), nullptr);
    EXPECT_NE(why.find(c.reason), std::string::npos) << why;
  }
  // Nothing was written into the folder the link leads to.
  EXPECT_TRUE(std::filesystem::is_empty(real));
}

TEST(KeyFileTest, AFolderOfAnotherUserIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "giving a folder to another user needs root";
  TempDir dir;
  const std::string folder = dir.File("theirs");
  ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
  ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0);
  std::string why;
  EXPECT_EQ(KeyFile::Create(folder, &why), nullptr);
  EXPECT_NE(why.find("another user"), std::string::npos) << why;
  EXPECT_TRUE(std::filesystem::is_empty(folder));
}

TEST(KeyFileTest, AnExistingFileOrLinkIsNeverTakenOver) {
  TempDir dir;
  const std::string folder = dir.File("quelvar");
  ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
  // Whatever lies under the first name (here a link to a file elsewhere) is left alone.
  const std::string target = dir.File("target");
  testing::WriteBytes(target, "old");
  const std::string first = folder + "/sslkeys-" + std::to_string(::getpid()) + ".log";
  std::filesystem::create_symlink(target, first);
  std::string why;
  auto file = KeyFile::Create(folder, &why);
  ASSERT_NE(file, nullptr) << why;
  EXPECT_NE(file->Path(), first);
  file.reset();
  EXPECT_TRUE(std::filesystem::is_symlink(first));
  EXPECT_EQ(testing::ReadBytes(target), "old");
}

}  // namespace
}  // namespace qv
