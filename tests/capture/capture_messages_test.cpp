// The capture library's reasons as the person reads them: the texts below are what libpcap 1.10 wrote
// for each case (pcap_open_offline, pcap_activate and pcap_statustostr).
#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "capture/capture_messages.h"

namespace qv {
namespace {

std::size_t Count(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++n;
  return n;
}

// A word of the library's own text (four letters or more, outside `except`) left in `text`.
bool KeepsLibraryWord(const std::string& text, std::string library, const std::string& except) {
  for (auto at = library.find(except); !except.empty() && at != std::string::npos; at = library.find(except))
    library.erase(at, except.size());
  std::string word;
  for (std::size_t i = 0; i <= library.size(); ++i) {
    if (i < library.size() && std::isalpha(static_cast<unsigned char>(library[i]))) {
      word += library[i];
      continue;
    }
    if (word.size() >= 4 && text.find(word) != std::string::npos) return true;
    word.clear();
  }
  return false;
}

TEST(CaptureMessages, FileReasonsInTheProgramsWordsWithThePathOnce) {
  const std::string path = "/home/ann/抓包/noperm.pcap";
  struct Case {
    std::string library;
    std::string words;
  } cases[] = {
      {path + ": Permission denied", "没有读取这个文件的权限"},
      {path + ": No such file or directory", "文件不存在"},
      {"truncated dump file; tried to read 4 file header bytes, only got 0", "文件是空的"},
      {"truncated dump file; tried to read 4 file header bytes, only got 3", "文件太短"},
      {"truncated dump file; tried to read 16 captured bytes, only got 9", "文件不完整"},
      {"unknown file format", "pcap 和 pcapng"},
      {"bad dump file format", "pcap 和 pcapng"},
      {"error reading dump file: Is a directory", "文件夹"},
  };
  for (const Case& c : cases) {
    const std::string text = CaptureFileMessage(path, c.library);
    EXPECT_EQ(text.rfind("无法打开抓包文件 ", 0), 0u) << text;
    EXPECT_EQ(Count(text, path), 1u) << text;
    EXPECT_NE(text.find(c.words), std::string::npos) << c.library << " -> " << text;
    EXPECT_FALSE(KeepsLibraryWord(text, c.library, path)) << "no library English left: " << text;
  }
}

TEST(CaptureMessages, DeviceReasonsInTheProgramsWordsWithTheAdapterOnce) {
  struct Case {
    std::string library;
    std::string words;
  } cases[] = {
      {"eth9: No such device exists (SIOCGIFHWADDR: No such device)", "没有这个网络适配器"},
      {"eth9: You don't have permission to perform this capture on that device (socket: Operation not permitted)",
       "没有抓包权限"},
      {"eth9: You don't have permission to capture on that device", "没有抓包权限"},
      {"eth9: That device is not up", "未启用"},
  };
  for (const Case& c : cases) {
    const std::string text = CaptureDeviceMessage("eth9", c.library);
    EXPECT_EQ(Count(text, "eth9"), 1u) << text;
    EXPECT_NE(text.find(c.words), std::string::npos) << c.library << " -> " << text;
    EXPECT_FALSE(KeepsLibraryWord(text, c.library, "eth9")) << text;
  }
}

TEST(CaptureMessages, UnknownReasonsStayAsWrittenWithoutASecondPath) {
  // The leading copy of the path goes; the library's own words stay.
  EXPECT_EQ(CaptureFileMessage("/x/a.pcap", "/x/a.pcap: Input/output error"),
            "无法打开抓包文件 /x/a.pcap：Input/output error");
  // A reason that names the path elsewhere is not given the path a second time.
  const std::string inside = CaptureFileMessage("/x/a.pcap", "cannot map /x/a.pcap (out of memory)");
  EXPECT_EQ(Count(inside, "/x/a.pcap"), 1u) << inside;
  EXPECT_NE(inside.find("cannot map"), std::string::npos) << inside;
  EXPECT_EQ(CaptureDeviceMessage("lo", "lo: something new"), "无法在网络适配器 lo 上嗅探：something new");
  EXPECT_EQ(CaptureDeviceMessage("lo", ""), "无法在网络适配器 lo 上嗅探：未知错误");
}

TEST(CaptureMessages, TheRightsMessagePutsItsCommandOnALineOfItsOwn) {
  const auto commandLine = [](const std::string& text, const std::string& command) {
    return text.find("\n" + command + "\n") != std::string::npos ||
           (text.size() >= command.size() + 1 && text.compare(text.size() - command.size() - 1, std::string::npos,
                                                              "\n" + command) == 0);
  };
  const std::string installed = CaptureRightsMessage("lo", "/usr/lib/quelvar/quelvar-capture", true);
  EXPECT_TRUE(commandLine(installed, "sudo usermod -a -G quelvar $USER")) << installed;
  EXPECT_EQ(Count(installed, "lo 上"), 1u) << installed;
  const std::string build = CaptureRightsMessage("eth0", "/b/tools/quelvar-capture", false);
  EXPECT_TRUE(commandLine(build, "sudo setcap cap_net_raw,cap_net_admin=eip /b/tools/quelvar-capture")) << build;
  EXPECT_EQ(build.find("usermod"), std::string::npos) << build;
}

}  // namespace
}  // namespace qv
