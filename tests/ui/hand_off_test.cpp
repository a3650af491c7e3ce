// The other download program's command line as it is started for one address.
#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <fstream>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "app/ui/hand_off.h"

namespace qv {
namespace {

using Args = std::vector<std::string>;

TEST(OtherProgramCommandTest, PlaceholderBecomesTheAddressAsOneArgument) {
  const std::string address = "http://a.example/my song.mp3?x=1&y=%u2";
  struct Case {
    const char* line;
    Args expected;
  } cases[] = {
      {"aria2c -d /tmp/dl %u", {"aria2c", "-d", "/tmp/dl", address}},
      {"mpv %U", {"mpv", address}},
      {"vlc --url=%u", {"vlc", "--url=" + address}},
      {"\"/opt/my tool/get\" %u", {"/opt/my tool/get", address}},
      {"wget", {"wget"}},  // no placeholder: no argument, the address is on the clipboard
      {"   ", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(OtherProgramCommand(c.line, address, "/nonexistent"), c.expected) << c.line;
}

TEST(OtherProgramCommandTest, BareProgramNameIsLookedForBesideThisProgramFirst) {
  QTemporaryDir dir;
  const std::string folder = dir.path().toStdString();
  const std::string beside = folder + "/Dorrinel";
  std::ofstream(beside) << "#!/bin/sh\n";
  ::chmod(beside.c_str(), 0755);

  EXPECT_EQ(OtherProgramCommand("Dorrinel %u", "http://h/f", folder), (Args{beside, "http://h/f"}));
  // Not beside this program: left to PATH; a name with a folder is taken as it is.
  EXPECT_EQ(OtherProgramCommand("curl -O %u", "http://h/f", folder), (Args{"curl", "-O", "http://h/f"}));
  EXPECT_EQ(OtherProgramCommand("./Dorrinel %u", "http://h/f", folder), (Args{"./Dorrinel", "http://h/f"}));
}

}  // namespace
}  // namespace qv
