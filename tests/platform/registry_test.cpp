#include "platform/registry.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <optional>
#include <string>

#include "tests/platform/env_var.h"
#include "tests/settings/temp_dir.h"

namespace qv {
namespace {

using testing::ReadBytes;
using testing::TempDir;
using testing::WriteBytes;
using testing::EnvVar;

// \Software\Microsoft\Internet Explorer\MenuExt\使用网络传送带下载
const std::string kNetTransportKey =
    "\\Software\\Microsoft\\Internet Explorer\\MenuExt\\"
    "\xCA\xB9\xD3\xC3\xCD\xF8\xC2\xE7\xB4\xAB\xCB\xCD\xB4\xF8\xCF\xC2\xD4\xD8";
// ...\使用网际快车下载
const std::string kFlashGetKey =
    "\\Software\\Microsoft\\Internet Explorer\\MenuExt\\"
    "\xCA\xB9\xD3\xC3\xCD\xF8\xBC\xCA\xBF\xEC\xB3\xB5\xCF\xC2\xD4\xD8";

class RegistryTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::string path = dir.File("quelvar/registry.ini");
  UserRegistry reg{path};
};

TEST_F(RegistryTest, NothingExistsBeforeTheFileAndReadingCreatesNothing) {
  EXPECT_FALSE(reg.OpenKey(kNetTransportKey));
  EXPECT_EQ(reg.ReadDefault(kNetTransportKey), std::nullopt);
  EXPECT_FALSE(std::filesystem::exists(dir.Path() / "quelvar"));
}

TEST_F(RegistryTest, WrittenValueIsReadBackByAnotherInstanceWithTheKeyBytesStoredAsTheyAre) {
  ASSERT_TRUE(reg.WriteDefault(kNetTransportKey, "/opt/net transport/"));
  UserRegistry again(path);
  EXPECT_TRUE(again.OpenKey(kNetTransportKey));
  EXPECT_EQ(again.ReadDefault(kNetTransportKey), "/opt/net transport/");
  EXPECT_FALSE(again.OpenKey(kFlashGetKey));
  EXPECT_NE(ReadBytes(path).find(kNetTransportKey), std::string::npos);
  // The folder was created for the file; nothing else (no temporary file) is left in it.
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir.Path() / "quelvar")) names.push_back(e.path().filename());
  EXPECT_EQ(names, std::vector<std::string>{"registry.ini"});
}

TEST_F(RegistryTest, KeyPathsMatchIgnoringAsciiCaseAndEmptyParts) {
  ASSERT_TRUE(reg.WriteDefault(kNetTransportKey, "C:\\NT\\"));
  const std::string name = kNetTransportKey.substr(kNetTransportKey.rfind('\\') + 1);
  for (const std::string& spelling : {
           "\\SOFTWARE\\microsoft\\INTERNET explorer\\menuext\\" + name,
           "Software\\Microsoft\\Internet Explorer\\MenuExt\\" + name,
           "\\\\Software\\\\Microsoft\\Internet Explorer\\MenuExt\\" + name + "\\",
       }) {
    SCOPED_TRACE(spelling);
    EXPECT_TRUE(reg.OpenKey(spelling));
    EXPECT_EQ(reg.ReadDefault(spelling), "C:\\NT\\");
  }
  // Writing through another spelling changes the same key.
  ASSERT_TRUE(reg.WriteDefault("\\software\\MICROSOFT\\Internet Explorer\\MenuExt\\" + name, "/new/"));
  EXPECT_EQ(reg.ReadDefault(kNetTransportKey), "/new/");
  EXPECT_EQ(ReadBytes(path).find("/new/"), ReadBytes(path).rfind("/new/"));
}

TEST_F(RegistryTest, GbkCharactersAreNeverFoldedOrSplit) {
  // 0x81 0x41 and 0x81 0x61 are two characters whose trail bytes are "A" and "a"; 0x81 0x5C is one
  // character whose trail byte is a backslash.
  ASSERT_TRUE(reg.WriteDefault("\\K\\\x81\x41", "upper"));
  EXPECT_FALSE(reg.OpenKey("\\K\\\x81\x61"));
  EXPECT_EQ(reg.ReadDefault("\\k\\\x81\x41"), "upper");

  ASSERT_TRUE(reg.WriteDefault("\\Soft\\\x81\x5C", "one part"));
  EXPECT_TRUE(reg.OpenKey("\\Soft\\\x81\x5C"));
  EXPECT_FALSE(reg.OpenKey("\\Soft\\\x81"));
}

TEST_F(RegistryTest, KeysAboveAWrittenKeyExistWithoutValueAndNothingBelowIt) {
  ASSERT_TRUE(reg.WriteDefault("\\A\\B\\C", "v"));
  EXPECT_TRUE(reg.OpenKey("\\A"));
  EXPECT_TRUE(reg.OpenKey("\\A\\B"));
  EXPECT_EQ(reg.ReadDefault("\\A\\B"), "");
  EXPECT_FALSE(reg.OpenKey("\\A\\B\\C\\D"));
  EXPECT_FALSE(reg.OpenKey("\\A\\BC"));
  EXPECT_FALSE(reg.OpenKey("\\A\\B\\C2"));
  EXPECT_FALSE(reg.OpenKey(""));
  EXPECT_FALSE(reg.OpenKey("\\"));
}

TEST_F(RegistryTest, CreateKeyKeepsAnExistingKeyAndItsValue) {
  ASSERT_TRUE(reg.WriteDefault(kFlashGetKey, "/opt/flashget/"));
  const std::string before = ReadBytes(path);
  EXPECT_TRUE(reg.CreateKey(kFlashGetKey));
  EXPECT_EQ(ReadBytes(path), before);
  EXPECT_EQ(reg.ReadDefault(kFlashGetKey), "/opt/flashget/");

  EXPECT_TRUE(reg.CreateKey(kNetTransportKey));
  EXPECT_TRUE(reg.OpenKey(kNetTransportKey));
  EXPECT_EQ(reg.ReadDefault(kNetTransportKey), "");
  EXPECT_EQ(reg.ReadDefault(kFlashGetKey), "/opt/flashget/");
}

TEST_F(RegistryTest, ValuesKeepEveryByteAndCannotForgeKeys) {
  const std::string value = std::string("a\r\nb%41[x]\n[\\Forged]\n@=evil\t ") + '\x01';
  ASSERT_TRUE(reg.WriteDefault("\\K", value));
  EXPECT_EQ(reg.ReadDefault("\\K"), value);
  EXPECT_FALSE(reg.OpenKey("\\Forged"));
  ASSERT_TRUE(reg.WriteDefault("\\K\\with]bracket", " lead and trail "));
  EXPECT_EQ(reg.ReadDefault("\\k\\WITH]bracket"), " lead and trail ");
}

TEST_F(RegistryTest, RewritingAValueKeepsOtherKeysAndHandWrittenLines) {
  std::filesystem::create_directories(dir.Path() / "quelvar");
  WriteBytes(path,
             "; my notes\r\n[\\Other]\r\n@=keep me\r\nname=some value\r\n\r\n[\\Target]\r\n@=old\r\n; tail\r\n");
  ASSERT_TRUE(reg.WriteDefault("\\TARGET", "new"));
  EXPECT_EQ(ReadBytes(path),
            "; my notes\r\n[\\Other]\r\n@=keep me\r\nname=some value\r\n\r\n[\\Target]\r\n@=new\r\n; tail\r\n");
  ASSERT_TRUE(reg.WriteDefault("\\Other", "changed"));
  EXPECT_EQ(reg.ReadDefault("\\Other"), "changed");
  ASSERT_TRUE(reg.WriteDefault("\\Third", "x"));
  EXPECT_TRUE(ReadBytes(path).ends_with("\r\n; tail\r\n[\\Third]\r\n@=x\r\n"));
}

TEST_F(RegistryTest, AFileThatCannotBeReadIsNeitherReadNorReplaced) {
  std::filesystem::create_directories(path);  // a folder where the file should be
  EXPECT_FALSE(reg.OpenKey("\\K"));
  EXPECT_FALSE(reg.WriteDefault("\\K", "v"));
  EXPECT_FALSE(reg.CreateKey("\\K"));
  EXPECT_TRUE(std::filesystem::is_directory(path));
}

TEST(UserRegistryPathTest, FollowsXdgConfigHomeElseHome) {
  EnvVar home("HOME", "/home/u");
  {
    EnvVar xdg("XDG_CONFIG_HOME", "/cfg");
    EXPECT_EQ(UserRegistryPath(), "/cfg/quelvar/registry.ini");
  }
  for (const char* xdgValue : {static_cast<const char*>(nullptr), "", "relative/cfg"}) {
    EnvVar xdg("XDG_CONFIG_HOME", xdgValue);
    EXPECT_EQ(UserRegistryPath(), "/home/u/.config/quelvar/registry.ini");
  }
}

}  // namespace
}  // namespace qv
