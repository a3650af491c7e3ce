// Settings files that are not what they seem, and where the settings file of a run lives.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "common/text_file.h"
#include "settings/app_settings.h"
#include "urls/file_type_table.h"
#include "platform/settings_location.h"
#include "settings/settings_store.h"
#include "temp_dir.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using testing::ReadBytes;
using testing::TempDir;
using testing::WriteBytes;

const std::string kIni = "[system]\r\ntitle=T\r\nrepeatURL=1\r\n[FileType]\r\n\xCA\xD3\xC6\xB5\xCE\xC4\xBC\xFE=1.flv|0.mp4|\r\n";

// Each kind of file that is not a readable settings file of normal size. Reading never blocks (a FIFO
// with no writer would block a plain open), and says what is wrong.
struct Hostile {
  const char* name;
  std::string why;  // what the reason says
};

std::vector<Hostile> MakeHostileFiles(const TempDir& dir) {
  std::vector<Hostile> cases;
  EXPECT_EQ(::mkfifo(dir.File("fifo").c_str(), 0600), 0);
  cases.push_back({"fifo", "not a regular file"});
  fs::create_directory(dir.File("folder"));
  cases.push_back({"folder", "a directory, not a file"});
  {
    // 100 MB without writing them: a file with a hole.
    WriteBytes(dir.File("huge"), kIni);
    fs::resize_file(dir.File("huge"), std::uintmax_t{100} << 20);
    cases.push_back({"huge", "larger than 1048576 bytes"});
  }
  if (::geteuid() != 0) {  // root reads whatever the mode says
    WriteBytes(dir.File("unreadable"), kIni);
    fs::permissions(dir.File("unreadable"), fs::perms::none);
    cases.push_back({"unreadable", "Permission denied"});
  }
  return cases;
}

TEST(SettingsFiles, HostileFilesAreRefusedWithAReasonAndReadAsDefaults) {
  TempDir dir;
  for (const Hostile& h : MakeHostileFiles(dir)) {
    const std::string path = dir.File(h.name);
    std::string why;
    bool missing = true;
    EXPECT_FALSE(ReadSettingsFile(path, why, missing)) << h.name;
    EXPECT_FALSE(missing) << h.name;
    EXPECT_EQ(why, h.why) << h.name;

    // The store of the window reads defaults from such a file, without waiting, and refuses to
    // write over it.
    SettingsStore store(path);
    EXPECT_EQ(store.ReadString("system", "title", "def"), "def") << h.name;
    EXPECT_THROW(store.WriteString("system", "title", "x"), SettingsWriteError) << h.name;
  }
  EXPECT_TRUE(fs::is_fifo(dir.File("fifo")));
  EXPECT_EQ(fs::file_size(dir.File("huge")), std::uintmax_t{100} << 20);

  std::string why;
  bool missing = false;
  EXPECT_FALSE(ReadSettingsFile(dir.File("absent.ini"), why, missing));
  EXPECT_TRUE(missing);
  EXPECT_EQ(why, "no such file");
}

// The settings file's own limit, through every reader of it: a file of exactly kMaxSettingsFileBytes
// is read, one byte more is refused (and the store reads defaults and writes nothing).
TEST(SettingsFiles, SizeLimitIsExact) {
  TempDir dir;
  const std::string head = "[system]\r\ntitle=T\r\n;";
  for (const std::size_t size : {kMaxSettingsFileBytes, kMaxSettingsFileBytes + 1}) {
    const bool fits = size <= kMaxSettingsFileBytes;
    SCOPED_TRACE(size);
    const std::string path = dir.File(std::to_string(size) + ".ini");
    std::string text = head + std::string(size - head.size(), 'x');
    WriteBytes(path, text);
    ASSERT_EQ(fs::file_size(path), size);

    std::string why;
    bool missing = true;
    const auto snapshot = ReadSettingsFile(path, why, missing);
    EXPECT_EQ(snapshot.has_value(), fits);
    EXPECT_FALSE(missing);
    if (snapshot) {
      EXPECT_EQ(snapshot->ReadString("system", "title", "def"), "T");
    } else {
      EXPECT_EQ(why, "larger than 1048576 bytes");
    }

    SettingsStore store(path);
    EXPECT_EQ(store.ReadString("system", "title", "def"), fits ? "T" : "def");
    if (fits) {
      store.WriteString("system", "title", "U");
      EXPECT_EQ(store.ReadString("system", "title", "def"), "U");
    } else {
      EXPECT_THROW(store.WriteString("system", "title", "U"), SettingsWriteError);
      EXPECT_TRUE(ReadBytes(path) == text) << "the file that is too large was written";
    }
  }

  // The reader under them counts bytes exactly, whatever the limit.
  WriteBytes(dir.File("a"), std::string(5000, 'x'));
  std::string out, why;
  EXPECT_EQ(ReadRegularFile(dir.File("a"), out, 4999, &why), ReadResult::kFailed);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(ReadRegularFile(dir.File("a"), out, 5000, &why), ReadResult::kOk);
  EXPECT_EQ(out.size(), 5000u);
}

TEST(SettingsFiles, SnapshotIsReadOnceAndAnswersLikeTheStore) {
  TempDir dir;
  const std::string path = dir.File("setting.ini");
  WriteBytes(path, kIni);
  std::string why;
  bool missing = false;
  const auto snapshot = ReadSettingsFile(path, why, missing);
  ASSERT_TRUE(snapshot) << why;
  SettingsStore store(path);
  const FileTypeSnapshot fromSnapshot = LoadFileTypes(*snapshot);
  const FileTypeSnapshot fromStore = LoadFileTypes(store);
  EXPECT_EQ(fromSnapshot.Entries(0).size(), 2u);
  EXPECT_EQ(fromSnapshot.Entries(0).size(), fromStore.Entries(0).size());
  EXPECT_TRUE(fromSnapshot.duplicates);
  EXPECT_EQ(snapshot->ReadString("SYSTEM", "Title", ""), "T");

  // Changing or removing the file afterwards changes nothing the snapshot answers; the store keeps
  // what it read until it is told to read again.
  fs::remove(path);
  EXPECT_EQ(snapshot->ReadString("system", "title", ""), "T");
  EXPECT_EQ(snapshot->ReadInteger("system", "repeatURL", 0), 1);
  EXPECT_EQ(store.ReadString("system", "title", "gone"), "T");
  store.Reload();
  EXPECT_EQ(store.ReadString("system", "title", "gone"), "gone");
}

class SettingsLocationTest : public ::testing::Test {
 protected:
  TempDir dir_;
  std::string user_ = dir_.File("config/quelvar");
};

TEST_F(SettingsLocationTest, BuildFolderKeepsTheFileBesideTheExecutable) {
  fs::create_directory(dir_.File("bin"));
  WriteBytes(dir_.File("bin/setting.ini"), kIni);
  const ProgramFiles files = FindProgramFiles(dir_.File("bin"));
  EXPECT_FALSE(files.installed);
  EXPECT_EQ(files.dataDir, dir_.File("bin"));
  EXPECT_EQ(files.helperDir, dir_.File("bin"));
  const SettingsLocation loc = LocateSettings(files, user_);
  EXPECT_EQ(loc.path, dir_.File("bin/setting.ini"));
  EXPECT_FALSE(loc.copied);
  EXPECT_FALSE(fs::exists(user_));
}

TEST_F(SettingsLocationTest, InstalledProgramUsesAUserCopyOfTheShippedFile) {
  fs::create_directories(dir_.File("usr/bin"));
  fs::create_directories(dir_.File("usr/share/quelvar"));
  const std::string shipped = dir_.File("usr/share/quelvar/setting.ini");
  WriteBytes(shipped, kIni);
  const ProgramFiles files = FindProgramFiles(dir_.File("usr/bin"));
  EXPECT_TRUE(files.installed);
  EXPECT_EQ(files.dataDir, dir_.File("usr/share/quelvar"));
  EXPECT_EQ(files.helperDir, dir_.File("usr/libexec/quelvar"));

  // Without a copy allowed (the headless front) the shipped file is read and nothing is made.
  SettingsLocation loc = LocateSettings(files, user_, false);
  EXPECT_EQ(loc.path, shipped);
  EXPECT_FALSE(fs::exists(user_));

  // The first run of the window copies it; the copy is written to, the shipped file is never touched.
  loc = LocateSettings(files, user_);
  EXPECT_EQ(loc.path, user_ + "/setting.ini");
  EXPECT_TRUE(loc.copied);
  EXPECT_TRUE(loc.problem.empty());
  EXPECT_EQ(ReadBytes(loc.path), kIni);
  SettingsStore(loc.path).WriteString("system", "title", "mine");

  // Later runs find the copy and keep it.
  loc = LocateSettings(files, user_);
  EXPECT_EQ(loc.path, user_ + "/setting.ini");
  EXPECT_FALSE(loc.copied);
  EXPECT_EQ(SettingsStore(loc.path).ReadString("system", "title", ""), "mine");
  EXPECT_EQ(ReadBytes(shipped), kIni);
  EXPECT_EQ(LocateSettings(files, user_, false).path, user_ + "/setting.ini");
}

TEST_F(SettingsLocationTest, CopyThatCannotBeMadeFallsBackToTheShippedFileAndSaysWhy) {
  fs::create_directories(dir_.File("usr/bin"));
  fs::create_directories(dir_.File("usr/share/quelvar"));
  WriteBytes(dir_.File("usr/share/quelvar/setting.ini"), kIni);
  WriteBytes(dir_.File("config"), "a file where the folder should be");
  const SettingsLocation loc = LocateSettings(FindProgramFiles(dir_.File("usr/bin")), user_);
  EXPECT_EQ(loc.path, dir_.File("usr/share/quelvar/setting.ini"));
  EXPECT_FALSE(loc.copied);
  EXPECT_NE(loc.problem.find(user_), std::string::npos) << loc.problem;

  // No shipped file at all: the path names the missing file, so that the window reports it.
  const SettingsLocation none = LocateSettings(FindProgramFiles(dir_.File("nothing/bin")), dir_.File("u2"));
  EXPECT_EQ(none.path, dir_.File("nothing/share/quelvar/setting.ini"));
  EXPECT_FALSE(fs::exists(dir_.File("u2")));
}

TEST(SettingsLocation, UserFolderFollowsXdgConfigHome) {
  const char* oldXdg = std::getenv("XDG_CONFIG_HOME");
  const std::string keepXdg = oldXdg ? oldXdg : "";
  const std::string keepHome = std::getenv("HOME") ? std::getenv("HOME") : "";
  ::setenv("XDG_CONFIG_HOME", "/x/cfg", 1);
  EXPECT_EQ(UserSettingsFolder(), "/x/cfg/quelvar");
  ::setenv("XDG_CONFIG_HOME", "relative/is/ignored", 1);
  ::setenv("HOME", "/home/u", 1);
  EXPECT_EQ(UserSettingsFolder(), "/home/u/.config/quelvar");
  ::unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(UserSettingsFolder(), "/home/u/.config/quelvar");
  if (oldXdg) ::setenv("XDG_CONFIG_HOME", keepXdg.c_str(), 1);
  ::setenv("HOME", keepHome.c_str(), 1);
}

}  // namespace
}  // namespace qv
