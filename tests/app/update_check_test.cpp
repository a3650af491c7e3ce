#include "app/update/update_check.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/settings/temp_dir.h"

namespace qv::update {
namespace {

using qv::testing::ReadBytes;
using qv::testing::TempDir;
using qv::testing::WriteBytes;

TEST(UpdateVersionTest, VersionsCompareAsDecimalNumbers) {
  struct Case {
    const char* installed;
    const char* offered;
    bool same;
  };
  const Case cases[] = {
      {"1.0", "1.00", true},   {"1", "1.0", true},     {"2.1", "2.10", true},  {" 1.5 ", "1.5", true},
      {"010", "10", true},     {"0", "-0.0", true},    {"1e1", "10", true},    {"15e-1", "1.5", true},
      {".5", "0.5", true},     {"5.", "5", true},      {"+3", "3", true},      {"1.0", "1.1", false},
      {"2.0", "1.9", false},   {"1.01", "1.1", false}, {"-1", "1", false},     {"100", "10", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.installed) + " vs " + c.offered);
    EXPECT_EQ(SameVersion(c.installed, c.offered), c.same);
  }
}

TEST(UpdateVersionTest, TextThatIsNoNumberIsAConversionError) {
  for (const char* bad : {"", "  ", "abc", "1,0", "1.2.3", "1.0beta", "e5", "1e", "1e+", "-", ".", "v1.0",
                          "1e999999999"}) {
    SCOPED_TRACE(bad);
    try {
      SameVersion("1.0", bad);
      ADD_FAILURE() << "no conversion error";
    } catch (const ConversionError& e) {
      EXPECT_EQ(std::string(e.what()), "'" + std::string(bad) + "' is not a valid floating point value");
    }
    EXPECT_THROW(SameVersion(bad, "1.0"), ConversionError);
  }
}

TEST(UpdateUrlTest, InformationIsBelowTheServerBase) {
  EXPECT_EQ(UpdateInfoUrl(), "http://update.quelvar.example/updata/updata.ini");
  EXPECT_EQ(UpdateInfoUrl("http://h.example/q"), "http://h.example/q/updata/updata.ini");
  EXPECT_EQ(ServerBase("http://h.example"), "http://h.example/");
  EXPECT_EQ(ServerBase("http://h.example/"), "http://h.example/");
}

class UPdataTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::string settingsPath = dir.File("setting.ini");
  std::string infoPath = dir.File("updata.ini");
  std::vector<std::string> urls;

  // A downloader that serves `content` (or fails when it is null).
  Downloader Serving(const char* content) {
    return [this, content](const std::string& url, const std::string& path) {
      urls.push_back(url);
      if (content == nullptr) return false;
      WriteBytes(path, content);
      return true;
    };
  }
  Result Run(const Downloader& d) { return UPdata(d, dir.Path().string(), SettingsStore(settingsPath)); }
};

TEST_F(UPdataTest, ResultOfEachServerFileAndNoFileIsLeft) {
  struct Case {
    const char* server;
    const char* settings;
    Result expected;
  };
  const Case cases[] = {
      {"[UPdata]\r\nver=1.00\r\n", "[system]\r\nversion=1.0\r\n", Result::kCurrent},
      {"[updata]\nVER = 2\n", "[SYSTEM]\nVersion=2.0\n", Result::kCurrent},
      {"[UPdata]\r\nver=1.1\r\n", "[system]\r\nversion=1.0\r\n", Result::kUpdateAvailable},
      {"[UPdata]\r\nver=0.9\r\n", "[system]\r\nversion=1.0\r\n", Result::kUpdateAvailable},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.server);
    WriteBytes(settingsPath, c.settings);
    EXPECT_EQ(Run(Serving(c.server)), c.expected);
    EXPECT_FALSE(std::filesystem::exists(infoPath));
  }
  EXPECT_EQ(urls.front(), "http://update.quelvar.example/updata/updata.ini");
}

TEST_F(UPdataTest, MissingOrBadVersionsAreConversionErrorsAndTheFileIsStillDeleted) {
  struct Case {
    const char* server;
    const char* settings;
    const char* message;
  };
  const Case cases[] = {
      {"[UPdata]\r\nother=1\r\n", "[system]\r\nversion=1.0\r\n", "'' is not a valid floating point value"},
      {"<html>404</html>", "[system]\r\nversion=1.0\r\n", "'' is not a valid floating point value"},
      {"[UPdata]\r\nver=1.x\r\n", "[system]\r\nversion=1.0\r\n", "'1.x' is not a valid floating point value"},
      {"[UPdata]\r\nver=1.0\r\n", "[system]\r\nautoRun=1\r\n", "'' is not a valid floating point value"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.server);
    WriteBytes(settingsPath, c.settings);
    try {
      Run(Serving(c.server));
      ADD_FAILURE() << "no conversion error";
    } catch (const ConversionError& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
    EXPECT_FALSE(std::filesystem::exists(infoPath));
  }
}

TEST_F(UPdataTest, AFailedDownloadIsNoAnswerAndLeavesNoPartialFile) {
  WriteBytes(settingsPath, "[system]\r\nversion=1.0\r\n");
  EXPECT_EQ(Run(Serving(nullptr)), Result::kNoAnswer);
  EXPECT_EQ(Run([](const std::string&, const std::string& path) {
              WriteBytes(path, "[UPdata]\r\nver=1.");  // cut off
              return false;
            }),
            Result::kNoAnswer);
  EXPECT_FALSE(std::filesystem::exists(infoPath));
  EXPECT_EQ(Run([](const std::string&, const std::string&) -> bool { throw std::runtime_error("socket"); }),
            Result::kNoAnswer);
  EXPECT_EQ(Run(Downloader()), Result::kNoAnswer);
}

TEST(LeaveValuesForUpdaterTest, BothValuesLandInTheOneFileTypeSection) {
  TempDir dir;
  const std::string path = dir.File("setting.ini");
  WriteBytes(path, "[system]\r\nversion=1.0\r\n\r\n[FileType]\r\nx=1\r\n");
  SettingsStore store(path);
  LeaveValuesForUpdater(store, 71303175ULL, "http://h.example");
  EXPECT_EQ(store.ReadString("FileType", "hwnd", ""), "71303175");
  EXPECT_EQ(store.ReadString("FileType", "uppath", ""), "http://h.example/");
  EXPECT_EQ(ReadBytes(path),
            "[system]\r\nversion=1.0\r\n\r\n[FileType]\r\nx=1\r\nhwnd=71303175\r\nuppath=http://h.example/\r\n");
}

}  // namespace
}  // namespace qv::update
