#include "settings/settings_store.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "common/text_file.h"
#include "common/texts.h"
#include "temp_dir.h"

namespace qv {
namespace {

using testing::ReadBytes;
using testing::TempDir;
using testing::WriteBytes;

class SettingsStoreTest : public ::testing::Test {
 protected:
  std::string Ini(const std::string& bytes) {
    WriteBytes(path_, bytes);
    return path_;
  }
  TempDir dir_;
  std::string path_ = dir_.File("setting.ini");
};

TEST_F(SettingsStoreTest, MissingFileReadsDefaults) {
  SettingsStore store(path_);
  EXPECT_EQ(store.ReadString("system", "title", "Quelvar"), "Quelvar");
  EXPECT_EQ(store.ReadInteger("system", "DefaultDL", 1), 1);
  EXPECT_TRUE(store.ReadBool("system", "autoRun", true));
  EXPECT_FALSE(store.ReadBool("system", "repeatURL", false));
}

TEST_F(SettingsStoreTest, ReadDropsBlanksAndEnclosingQuotes) {
  SettingsStore store(Ini(
      "[s]\r\n"
      "plain=  value with blanks \t\r\n"
      "dq=\"a b\"\r\n"
      "sq= 'x' \r\n"
      "inner=\"  padded  \"\r\n"
      "mixed=\"x'\r\n"
      "lone=\"\r\n"
      "half=\"a\"b\r\n"
      "empty=\r\n"
      "eq=a=b\r\n"
      "  spaced key  = v\r\n"
      "last=no line end"));
  const struct {
    const char* key;
    const char* want;
  } cases[] = {
      {"plain", "value with blanks"}, {"dq", "a b"},      {"sq", "x"},        {"inner", "  padded  "},
      {"mixed", "\"x'"},              {"lone", "\""},     {"half", "\"a\"b"}, {"empty", ""},
      {"eq", "a=b"},                  {"spaced key", "v"}, {"last", "no line end"},
  };
  for (const auto& c : cases) EXPECT_EQ(store.ReadString("s", c.key, "DEF"), c.want) << c.key;
  EXPECT_EQ(store.ReadString("s", "absent", "DEF"), "DEF");
}

TEST_F(SettingsStoreTest, SectionsAndKeysIgnoreAsciiCaseOnly) {
  // "\xC4" opens a double-byte character: "\xC4" "A" and "\xC4" "a" are different characters.
  SettingsStore store(Ini(
      "top=outside\r\n"
      "; comment=not a key\r\n"
      "[SYSTEM]\r\n"
      "AutoRun=0\r\n"
      "k\xC4" "A=upper trail\r\n"
      "[other]\r\n"
      "autorun=1\r\n"
      "[System]\r\n"
      "later=second occurrence\r\n"));
  EXPECT_FALSE(store.ReadBool("system", "autorun", true));
  EXPECT_EQ(store.ReadString("sYsTeM", "LATER", ""), "second occurrence");
  EXPECT_EQ(store.ReadString("system", "k\xC4" "A", ""), "upper trail");
  EXPECT_EQ(store.ReadString("system", "k\xC4" "a", "none"), "none");
  EXPECT_EQ(store.ReadString("system", "K\xC4" "A", ""), "upper trail");
  EXPECT_EQ(store.ReadString("", "top", "none"), "none");
  EXPECT_EQ(store.ReadString("system", "; comment", "none"), "none");
}

TEST_F(SettingsStoreTest, LongValueIsCutAt2047Bytes) {
  const std::string longValue(3000, 'v');
  SettingsStore store(Ini("[s]\r\nk=" + longValue + "\r\nexact=" + std::string(2047, 'e') + "\r\n"));
  EXPECT_EQ(store.ReadString("s", "k", ""), std::string(2047, 'v'));
  EXPECT_EQ(store.ReadString("s", "exact", ""), std::string(2047, 'e'));
  // A long value written is stored whole; only reading cuts it.
  store.WriteString("s", "w", longValue);
  EXPECT_NE(ReadBytes(path_).find("w=" + longValue + "\r\n"), std::string::npos);
}

TEST(ParseSettingInteger, AcceptsDecimalAndHexForms) {
  const struct {
    const char* text;
    bool ok;
    int value;
  } cases[] = {
      {"12", true, 12},
      {"+12", true, 12},
      {"-12", true, -12},
      {"007", true, 7},
      {"0x1F", true, 31},
      {"0X1f", true, 31},
      {"$ff", true, 255},
      {"-$10", true, -16},
      {"-0x10", true, -16},
      {"2147483647", true, 2147483647},
      {"-2147483648", true, -2147483647 - 1},
      {"0x7FFFFFFF", true, 2147483647},
      {"2147483648", false, 0},
      {"0x80000000", false, 0},
      {"99999999999999999999", false, 0},
      {"", false, 0},
      {"-", false, 0},
      {"0x", false, 0},
      {"$", false, 0},
      {"12a", false, 0},
      {"1 2", false, 0},
      {"1.5", false, 0},
      {"0x1G", false, 0},
      {"ff", false, 0},
      {"--1", false, 0},
      {"yes", false, 0},
  };
  for (const auto& c : cases) {
    int out = 12345;
    EXPECT_EQ(ParseSettingInteger(c.text, out), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(out, c.value) << c.text;
    }
  }
}

TEST_F(SettingsStoreTest, IntegersAndFlagsReadDefaultWhenNotAnInteger) {
  SettingsStore store(Ini("[system]\r\nDefaultDL=\"$1A\"\r\nbad=7x\r\nflagTwo=2\r\nflagZero=0x0\r\nword=yes\r\n"));
  EXPECT_EQ(store.ReadInteger("system", "DefaultDL", 1), 26);
  EXPECT_EQ(store.ReadInteger("system", "bad", 1), 1);
  EXPECT_TRUE(store.ReadBool("system", "flagTwo", false));
  EXPECT_FALSE(store.ReadBool("system", "flagZero", true));
  EXPECT_TRUE(store.ReadBool("system", "word", true));
  EXPECT_FALSE(store.ReadBool("system", "word", false));
}

// The file as shipped: comments, blank lines, a key the program does not know, CR LF line ends.
const std::string kShippedLike =
    "; Quelvar settings\r\n"
    "\r\n"
    "[system]\r\n"
    "version=1.0\r\n"
    "autoRun=1\r\n"
    "unknownKey = kept as is ;x\r\n"
    "\r\n"
    "; the file types\r\n"
    "[FileType]\r\n"
    "\xD2\xF4\xC6\xB5\xCE\xC4\xBC\xFE=1.mp3|\r\n"
    "uppath=http://u.example/\r\n"
    "\r\n";

TEST_F(SettingsStoreTest, WriteReplacesOnlyTheKeysLine) {
  SettingsStore store(Ini(kShippedLike));
  store.WriteBool("SYSTEM", "AUTORUN", false);
  std::string want = kShippedLike;
  want.replace(want.find("autoRun=1"), 9, "autoRun=0");
  EXPECT_EQ(ReadBytes(path_), want);

  store.WriteString("FileType", texts::kCatAudio, "1.mp3|0.wma|");
  want.replace(want.find("=1.mp3|\r\n"), 9, "=1.mp3|0.wma|\r\n");
  EXPECT_EQ(ReadBytes(path_), want);
  EXPECT_EQ(store.ReadString("filetype", texts::kCatAudio, ""), "1.mp3|0.wma|");
}

TEST_F(SettingsStoreTest, NewKeyGoesAfterTheLastKeyOfItsSection) {
  SettingsStore store(Ini(kShippedLike));
  // Written under another spelling of the section name: lands in the existing section.
  store.WriteInteger("fileType", "hwnd", 132456);
  store.WriteInteger("system", "DefaultDL", -3);
  std::string want = kShippedLike;
  want.insert(want.find("uppath=http://u.example/\r\n") + 26, "hwnd=132456\r\n");
  want.insert(want.find("unknownKey = kept as is ;x\r\n") + 28, "DefaultDL=-3\r\n");
  EXPECT_EQ(ReadBytes(path_), want);
  EXPECT_EQ(ReadBytes(path_).find("[fileType]"), std::string::npos);
  EXPECT_EQ(store.ReadInteger("FILETYPE", "HWND", 0), 132456);
}

TEST_F(SettingsStoreTest, NewSectionIsAppendedAsSpelledInTheWrite) {
  SettingsStore store(Ini(kShippedLike));
  store.WriteString("New Section", "k", "v");
  EXPECT_EQ(ReadBytes(path_), kShippedLike + "[New Section]\r\nk=v\r\n");
}

TEST_F(SettingsStoreTest, NewLinesFollowTheFilesLineEnds) {
  SettingsStore store(Ini("; lf file\n[a]\nx=1\n\n[b]\ny=2"));
  store.WriteString("a", "z", "3");
  store.WriteString("b", "w", "4");  // the last line has no line end: it gets one first
  store.WriteString("c", "v", "5");
  EXPECT_EQ(ReadBytes(path_), "; lf file\n[a]\nx=1\nz=3\n\n[b]\ny=2\nw=4\n[c]\nv=5\n");

  // A section without keys takes the new key right after its header.
  SettingsStore crlf(Ini("[a]\r\n; note\r\n[b]\r\n"));
  crlf.WriteString("A", "k", "v");
  EXPECT_EQ(ReadBytes(path_), "[a]\r\nk=v\r\n; note\r\n[b]\r\n");

  // A file that ends without a line end gets one before a new section.
  SettingsStore bare(Ini("[a]\r\nk=v"));
  bare.WriteString("b", "k", "v");
  EXPECT_EQ(ReadBytes(path_), "[a]\r\nk=v\r\n[b]\r\nk=v\r\n");
}

TEST_F(SettingsStoreTest, WriteToMissingFileCreatesIt) {
  SettingsStore store(path_);
  store.WriteBool("FileType", texts::kUndefinedTypesKey, true);
  EXPECT_EQ(ReadBytes(path_), "[FileType]\r\n" + std::string(texts::kUndefinedTypesKey) + "=1\r\n");
  EXPECT_TRUE(store.ReadBool("FileType", texts::kUndefinedTypesKey, false));
}

TEST_F(SettingsStoreTest, LineEndsInAValueCannotAddLines) {
  SettingsStore store(Ini("[system]\r\ntitle=a\r\nautoRun=1\r\n"));
  store.WriteString("system", "title", "x\r\nautoRun=0\n[evil]");
  EXPECT_EQ(ReadBytes(path_), "[system]\r\ntitle=x  autoRun=0 [evil]\r\nautoRun=1\r\n");
  EXPECT_TRUE(store.ReadBool("system", "autoRun", false));
}

TEST_F(SettingsStoreTest, RefusedWriteRaisesErrorNamingThePath) {
  const std::string noFolder = dir_.File("no such folder/setting.ini");
  SettingsStore missing(noFolder);
  try {
    missing.WriteString("system", "title", "x");
    FAIL() << "write into a missing folder succeeded";
  } catch (const SettingsWriteError& e) {
    EXPECT_EQ(std::string(e.what()), "Unable to write to " + noFolder);
  }

  // A folder in place of the file: refused, and the folder is left alone.
  const std::string folder = dir_.File("setting.d");
  std::filesystem::create_directory(folder);
  SettingsStore onFolder(folder);
  try {
    onFolder.WriteBool("system", "autoRun", true);
    FAIL() << "write over a folder succeeded";
  } catch (const SettingsWriteError& e) {
    EXPECT_EQ(std::string(e.what()), "Unable to write to " + folder);
  }
  EXPECT_TRUE(std::filesystem::is_directory(folder));
  EXPECT_EQ(onFolder.ReadString("system", "autoRun", "def"), "def");
}

// The window reads a dozen values at start (its caption, the settings dialog, the file types) and more
// later (the about box, the update check): one read of the file serves them all.
TEST_F(SettingsStoreTest, FileIsReadOnceThenAfterEachWriteOnly) {
  Ini(kShippedLike);
  int reads = 0;
  SettingsStore store(path_, [&reads](const std::string& path, std::string& text) {
    ++reads;
    return ReadRegularFile(path, text, kMaxSettingsFileBytes);
  });
  EXPECT_EQ(reads, 0);
  EXPECT_EQ(store.ReadString("system", "version", ""), "1.0");
  EXPECT_TRUE(store.ReadBool("system", "autoRun", false));
  EXPECT_EQ(store.ReadString("SYSTEM", "unknownkey", ""), "kept as is ;x");
  EXPECT_EQ(store.ReadString("FileType", texts::kCatAudio, ""), "1.mp3|");
  EXPECT_EQ(store.ReadString("system", "absent", "def"), "def");
  EXPECT_EQ(reads, 1);

  // Another program changes the file: the store answers from what it read until it reads again.
  std::string changed = kShippedLike;
  changed.replace(changed.find("version=1.0"), 11, "version=2.0");
  WriteBytes(path_, changed);
  EXPECT_EQ(store.ReadString("system", "version", ""), "1.0");
  EXPECT_EQ(reads, 1);

  // A write reads the file afresh, so that change is kept, and the reads after it see both.
  store.WriteBool("system", "autoRun", false);
  EXPECT_EQ(reads, 2);
  std::string want = changed;
  want.replace(want.find("autoRun=1"), 9, "autoRun=0");
  EXPECT_EQ(ReadBytes(path_), want);
  EXPECT_FALSE(store.ReadBool("system", "autoRun", true));
  EXPECT_EQ(store.ReadString("system", "version", ""), "2.0");
  EXPECT_EQ(reads, 2);

  // Reload forgets the text: a file gone since then reads as defaults.
  std::filesystem::remove(path_);
  EXPECT_EQ(store.ReadString("system", "version", "gone"), "2.0");
  store.Reload();
  EXPECT_EQ(store.ReadString("system", "version", "gone"), "gone");
  EXPECT_EQ(store.ReadString("system", "autoRun", "def"), "def");
  EXPECT_EQ(reads, 3);
}

// A file that could not be read at the first read stays unread (defaults) until a reload; a write that
// fails keeps the text that was on disk.
TEST_F(SettingsStoreTest, UnreadableFileGivesDefaultsUntilReload) {
  Ini(kShippedLike);
  bool refuse = true;
  SettingsStore store(path_, [&refuse](const std::string& path, std::string& text) {
    return refuse ? ReadResult::kFailed : ReadRegularFile(path, text, kMaxSettingsFileBytes);
  });
  EXPECT_EQ(store.ReadString("system", "version", "def"), "def");
  EXPECT_THROW(store.WriteString("system", "title", "x"), SettingsWriteError);
  EXPECT_EQ(ReadBytes(path_), kShippedLike);
  refuse = false;
  EXPECT_EQ(store.ReadString("system", "version", "def"), "def");
  store.Reload();
  EXPECT_EQ(store.ReadString("system", "version", "def"), "1.0");
}

// Lets a test make every write beyond a size fail, as a full disk would, and undoes it afterwards.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &old_);
    oldHandler_ = signal(SIGXFSZ, SIG_IGN);
    rlimit lim = old_;
    lim.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &lim);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &old_);
    signal(SIGXFSZ, oldHandler_);
  }

 private:
  rlimit old_{};
  sighandler_t oldHandler_;
};

TEST_F(SettingsStoreTest, FailedWriteLeavesOldFileWholeAndNoTemporaryFile) {
  SettingsStore store(Ini(kShippedLike));
  {
    FileSizeLimit limit(kShippedLike.size() + 64);
    EXPECT_THROW(store.WriteString("system", "title", std::string(4000, 't')), SettingsWriteError);
  }
  EXPECT_EQ(ReadBytes(path_), kShippedLike);
  EXPECT_EQ(dir_.Names(), std::vector<std::string>{"setting.ini"});

  // A successful write leaves no temporary file either.
  store.WriteString("system", "title", "ok");
  EXPECT_EQ(dir_.Names(), std::vector<std::string>{"setting.ini"});
  EXPECT_EQ(store.ReadString("system", "title", ""), "ok");
}

TEST_F(SettingsStoreTest, WriteKeepsFilePermissions) {
  SettingsStore store(Ini("[a]\r\n"));
  std::filesystem::permissions(path_, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                                          std::filesystem::perms::group_read);
  store.WriteString("a", "k", "v");
  EXPECT_EQ(std::filesystem::status(path_).permissions(),
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                std::filesystem::perms::group_read);
}

// Saving keeps the file what it was: its owner, group and permissions, and a symbolic link stays a
// link to the same file. A link is followed only to a regular file of the user saving; any other link
// is refused and the file it points to is left alone. (Owners other than the test's own need root.)
struct Owner {
  uid_t uid;
  gid_t gid;
  mode_t mode;
  bool operator==(const Owner&) const = default;
};
Owner OwnerOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return {st.st_uid, st.st_gid, st.st_mode & 07777};
}
void SetOwner(const std::string& path, Owner o) {
  ASSERT_EQ(::chown(path.c_str(), o.uid, o.gid), 0) << path;
  ASSERT_EQ(::chmod(path.c_str(), o.mode), 0) << path;
}

TEST_F(SettingsStoreTest, SaveKeepsOwnerGroupAndModeOfTheFileReplaced) {
  if (::geteuid() != 0) GTEST_SKIP() << "giving a file to another user needs root";
  // Another user's file saved by root (a user's settings saved by an administrator) stays theirs,
  // set-group-ID bit included.
  const Owner theirs{4242, 4343, 02640};
  SettingsStore store(Ini("[a]\r\nk=old\r\n"));
  SetOwner(path_, theirs);
  store.WriteString("a", "k", "new");
  EXPECT_EQ(ReadBytes(path_), "[a]\r\nk=new\r\n");
  EXPECT_EQ(OwnerOf(path_), theirs);
  EXPECT_EQ(dir_.Names(), std::vector<std::string>{"setting.ini"});

  // Through a link to a file of root's own with a group of its own: the link stays, the target keeps
  // its group and mode.
  const std::string target = dir_.File("real.ini");
  WriteBytes(target, "[a]\n");
  const Owner own{0, 4343, 0640};
  SetOwner(target, own);
  std::filesystem::remove(path_);
  std::filesystem::create_symlink(target, path_);
  SettingsStore viaLink(path_);
  viaLink.WriteString("a", "k", "v");
  EXPECT_TRUE(std::filesystem::is_symlink(path_));
  EXPECT_EQ(ReadBytes(target), "[a]\nk=v\n");
  EXPECT_EQ(OwnerOf(target), own);
}

TEST_F(SettingsStoreTest, LinkToAnotherUsersFileOrToNoFileIsRefused) {
  const std::string folder = dir_.File("folder");
  std::filesystem::create_directory(folder);
  struct Case {
    const char* what;
    std::string target;
    bool needsRoot;
  };
  const std::string foreign = dir_.File("shadow");
  const Case cases[] = {
      {"a file of another user", foreign, true},
      {"a folder", folder, false},
      {"nothing", dir_.File("missing.ini"), false},
  };
  WriteBytes(foreign, "root:x:1:\n");
  const Owner other{4242, 4343, 0640};
  if (::geteuid() == 0) SetOwner(foreign, other);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.needsRoot && ::geteuid() != 0) continue;
    std::filesystem::remove(path_);
    std::filesystem::create_symlink(c.target, path_);
    SettingsStore store(path_);
    try {
      store.WriteString("Option", "k", "v");
      ADD_FAILURE() << "write through a link to " << c.what << " succeeded";
    } catch (const SettingsWriteError& e) {
      EXPECT_EQ(std::string(e.what()), "Unable to write to " + path_);
    }
    EXPECT_TRUE(std::filesystem::is_symlink(path_));
    EXPECT_EQ(std::filesystem::read_symlink(path_), c.target);
    EXPECT_FALSE(std::filesystem::exists(dir_.File("missing.ini")));
    EXPECT_TRUE(std::filesystem::is_directory(folder));
    EXPECT_TRUE(std::filesystem::is_empty(folder));
  }
  EXPECT_EQ(ReadBytes(foreign), "root:x:1:\n");
  if (::geteuid() == 0) {
    EXPECT_EQ(OwnerOf(foreign), other);
  }
  // Nothing but the fixtures is left in the folder: no temporary file.
  auto names = dir_.Names();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"folder", "setting.ini", "shadow"}));
}

}  // namespace
}  // namespace qv
