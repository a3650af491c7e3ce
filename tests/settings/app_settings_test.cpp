#include "settings/app_settings.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "common/texts.h"
#include "temp_dir.h"

namespace qv {
namespace {

using testing::ReadBytes;
using testing::TempDir;
using testing::WriteBytes;

const std::string kUndefined(texts::kUndefinedTypesKey);
const std::string kVideo(texts::kCatVideo);

// Each key of a file the program has always written, read as its typed value.
TEST(AppSettings, LoadReadsEveryKeyAsItsType) {
  TempDir dir;
  const std::string path = dir.File("setting.ini");
  WriteBytes(path,
             "[System]\r\ntitle=My sniffer\r\nautorun=0\r\nrepeatURL=0x1\r\nhttpsHosts=1\r\nAdaptorName=eth0\r\n"
             "DefaultDL=3\r\nDownloadPath=Dorrinel -- %u\r\nversion=1.0\r\n"
             "keyLogFile= /tmp/a.keys ;;/tmp/b.keys;\r\nhttpsBrowser=firefox --new-window\r\n"
             "[fileType]\r\n" + kVideo + "=1.flv|0.mp4|\r\n" + kUndefined + "=0\r\n");
  SettingsStore store(path);
  AppSettings s(&store);
  s.Load();
  EXPECT_EQ(s.Title(), "My sniffer");
  EXPECT_EQ(s.WindowTitle(), "My sniffer");
  EXPECT_FALSE(s.AutoRun());
  EXPECT_TRUE(s.RepeatUrl());
  EXPECT_TRUE(s.HttpsHosts());
  EXPECT_FALSE(s.UndefinedTypes());
  EXPECT_EQ(s.AdapterName(), "eth0");
  EXPECT_EQ(s.Downloader(), DownloadProgram::Other);
  EXPECT_EQ(s.DownloadPath(), "Dorrinel -- %u");
  EXPECT_EQ(s.Version(), "1.0");
  EXPECT_EQ(s.KeyLogFiles(), (std::vector<std::string>{"/tmp/a.keys", "/tmp/b.keys"}));
  EXPECT_EQ(s.HttpsBrowser(), "firefox --new-window");
  ASSERT_EQ(s.FileTypes().Entries(0).size(), 2u);
  EXPECT_TRUE(s.FileTypes().Entries(0)[0].checked);
  EXPECT_FALSE(s.FileTypes().Entries(0)[1].checked);
}

// What an absent key reads as; the title tells an absent key from an empty value.
TEST(AppSettings, AbsentKeysReadAsTheirDefaults) {
  AppSettings s;
  s.Load(SettingsSnapshot("[system]\r\n"));
  EXPECT_EQ(s.Title(), std::nullopt);
  EXPECT_EQ(s.WindowTitle(), "Quelvar(Tessoran)");
  EXPECT_EQ(s.TitleText(), "Quelvar");
  EXPECT_TRUE(s.AutoRun());
  EXPECT_FALSE(s.RepeatUrl());
  EXPECT_FALSE(s.HttpsHosts());
  EXPECT_TRUE(s.UndefinedTypes());
  EXPECT_EQ(s.AdapterName(), "???");
  EXPECT_EQ(s.Downloader(), DownloadProgram::NetTransport);
  EXPECT_EQ(s.DownloadPath(), "");
  EXPECT_EQ(s.Version(), std::nullopt);
  EXPECT_TRUE(s.KeyLogFiles().empty());
  EXPECT_EQ(s.HttpsBrowser(), "");

  s.Load(SettingsSnapshot("[system]\r\ntitle=\r\n"));
  EXPECT_EQ(s.Title(), "");
  EXPECT_EQ(s.WindowTitle(), "");
}

TEST(AppSettings, DownloadProgramOfAStoredValue) {
  const struct {
    const char* stored;
    DownloadProgram want;
  } cases[] = {{"1", DownloadProgram::NetTransport}, {"2", DownloadProgram::FlashGet}, {"3", DownloadProgram::Other},
               {"0", DownloadProgram::NetTransport}, {"4", DownloadProgram::NetTransport},
               {"-2", DownloadProgram::NetTransport}, {"0x3", DownloadProgram::Other},
               {"two", DownloadProgram::NetTransport}};
  for (const auto& c : cases) {
    AppSettings s;
    s.Load(SettingsSnapshot(std::string("[system]\nDefaultDL=") + c.stored + "\n"));
    EXPECT_EQ(s.Downloader(), c.want) << c.stored;
  }
}

// Each setter writes its key as the program always wrote it, in place; a fresh read gives the values
// back, and the file-type entries are written only when saved.
TEST(AppSettings, SettersWriteThroughAndReadBack) {
  TempDir dir;
  const std::string path = dir.File("setting.ini");
  const std::string before = "; kept\r\n[system]\r\nautoRun=1\r\nother=x\r\n[FileType]\r\n" + kVideo + "=1.flv|\r\n";
  WriteBytes(path, before);
  SettingsStore store(path);
  AppSettings s(&store);
  s.Load();
  s.SetAutoRun(false);
  s.SetRepeatUrl(true);
  s.SetHttpsHosts(true);
  s.SetUndefinedTypes(false);
  s.SetAdapterName("wlan0");
  s.SetDownloader(DownloadProgram::FlashGet);
  s.SetDownloadPath("/usr/bin/wget %u");
  s.SetTitle("T");
  s.SetKeyLogFile("/k1;/k2");
  s.SetHttpsBrowser("chromium");
  s.SetFileTypes(s.FileTypes().WithEntry(1, ".mp3", true));
  EXPECT_EQ(ReadBytes(path),
            "; kept\r\n[system]\r\nautoRun=0\r\nother=x\r\nrepeatURL=1\r\nhttpsHosts=1\r\nAdaptorName=wlan0\r\n"
            "DefaultDL=2\r\nDownloadPath=/usr/bin/wget %u\r\ntitle=T\r\nkeyLogFile=/k1;/k2\r\nhttpsBrowser=chromium\r\n"
            "[FileType]\r\n" + kVideo + "=1.flv|\r\n" + kUndefined + "=0\r\n");
  // The entries changed, the switches did not go back to their loaded values.
  EXPECT_TRUE(s.RepeatUrl());
  EXPECT_FALSE(s.UndefinedTypes());

  s.SaveFileTypes();
  SettingsStore again(path);
  AppSettings back(&again);
  back.Load();
  EXPECT_FALSE(back.AutoRun());
  EXPECT_TRUE(back.RepeatUrl());
  EXPECT_TRUE(back.HttpsHosts());
  EXPECT_FALSE(back.UndefinedTypes());
  EXPECT_EQ(back.AdapterName(), "wlan0");
  EXPECT_EQ(back.Downloader(), DownloadProgram::FlashGet);
  EXPECT_EQ(back.DownloadPath(), "/usr/bin/wget %u");
  EXPECT_EQ(back.Title(), "T");
  EXPECT_EQ(back.KeyLogFiles(), (std::vector<std::string>{"/k1", "/k2"}));
  EXPECT_EQ(back.HttpsBrowser(), "chromium");
  ASSERT_EQ(back.FileTypes().Entries(1).size(), 1u);
  EXPECT_EQ(back.FileTypes().Entries(1)[0].text, ".mp3");
}

// A write that fails leaves the new value in place (as the dialog shows it) and says so.
TEST(AppSettings, AFailedWriteKeepsTheValueAndRaises) {
  TempDir dir;
  SettingsStore store(dir.File("no-folder/setting.ini"));
  AppSettings s(&store);
  EXPECT_THROW(s.SetRepeatUrl(true), SettingsWriteError);
  EXPECT_TRUE(s.RepeatUrl());
  EXPECT_THROW(s.SetTitle("x"), SettingsWriteError);
  EXPECT_EQ(s.Title(), "x");
  // Without a store nothing is written and nothing raised.
  AppSettings alone;
  alone.SetAdapterName("eth1");
  alone.SaveFileTypes();
  EXPECT_EQ(alone.AdapterName(), "eth1");
}

}  // namespace
}  // namespace qv
