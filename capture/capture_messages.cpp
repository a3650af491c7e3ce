#include "capture/capture_messages.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <string_view>

namespace qv {
namespace {

bool Contains(std::string_view text, std::string_view part) {
  // The library's wording varies in letter case between versions ("No such device" / "no such device").
  const auto it = std::search(text.begin(), text.end(), part.begin(), part.end(), [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
  });
  return it != text.end();
}

struct Known {
  std::string_view phrase;  // as the library words it, in any letter case
  std::string_view words;   // what the person reads
};

// The first phrase found decides; more particular phrases come before the general ones.
constexpr std::array kFileReasons{
    Known{"permission denied", "没有读取这个文件的权限。"},
    Known{"no such file or directory", "文件不存在。"},
    Known{"is a directory", "这是一个文件夹，不是抓包文件。"},
    Known{"file header bytes, only got 0", "文件是空的。"},
    Known{"file header bytes", "文件太短，连文件头都不完整，不是抓包文件。"},
    Known{"truncated dump file", "文件不完整（在中途被截断）。"},
    Known{"bad dump file format", "不是能识别的抓包文件（只能读取 pcap 和 pcapng 格式）。"},
    Known{"unknown file format", "不是能识别的抓包文件（只能读取 pcap 和 pcapng 格式）。"},
    Known{"cannot read capture files", "当前的抓包库不能读取抓包文件。"},
};

constexpr std::array kDeviceReasons{
    Known{"no such device", "没有这个网络适配器（它可能已被移除或停用）。"},
    Known{"don't have permission to", "没有抓包权限。"},
    Known{"not permitted", "没有抓包权限。"},
    Known{"permission denied", "没有抓包权限。"},
    Known{"that device is not up", "网络适配器未启用。"},
    Known{"capture library is not available", "未找到抓包库 libpcap。"},
};

// The reason as the library gave it, without the "SUBJECT: " it may start with.
std::string WithoutSubject(const std::string& reason, const std::string& subject) {
  if (!subject.empty() && reason.rfind(subject + ": ", 0) == 0) return reason.substr(subject.size() + 2);
  return reason;
}

template <std::size_t N>
std::string Compose(const std::string& opening, const std::string& openingNoSubject, const std::string& subject,
                    const std::string& reason, const std::array<Known, N>& known) {
  for (const Known& k : known)
    if (Contains(reason, k.phrase)) return opening + "：" + std::string(k.words);
  std::string rest = WithoutSubject(reason, subject);
  if (rest.empty()) rest = "未知错误";
  // A reason that names the subject somewhere else names it already: the opening leaves it out.
  if (!subject.empty() && rest.find(subject) != std::string::npos) return openingNoSubject + "：" + rest;
  return opening + "：" + rest;
}

}  // namespace

std::string CaptureFileMessage(const std::string& path, const std::string& reason) {
  return Compose("无法打开抓包文件 " + path, "无法打开抓包文件", path, reason, kFileReasons);
}

std::string CaptureDeviceMessage(const std::string& device, const std::string& reason) {
  return Compose("无法在网络适配器 " + device + " 上嗅探", "无法嗅探", device, reason, kDeviceReasons);
}

namespace {

// `text` as one shell word: as it is when it holds only safe characters, else in single quotes.
std::string ShellWord(const std::string& text) {
  const bool plain = !text.empty() && text.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                                             "0123456789/._-+,:@%=") == std::string::npos;
  if (plain) return text;
  std::string quoted = "'";
  for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

}  // namespace

std::string CaptureRightsCommand(const std::string& helper, bool installed) {
  return installed ? std::string("sudo usermod -a -G quelvar $USER")
                   : "sudo setcap cap_net_raw,cap_net_admin=eip " + ShellWord(helper);
}

std::string CaptureRightsMessage(const std::string& device, const std::string& helper, bool installed) {
  std::string text = "无法在网络适配器 " + device + " 上嗅探：没有抓包权限。\n\n";
  if (installed) {
    text +=
        "普通用户要嗅探，须是 quelvar 组的成员。请在终端运行下面的命令，然后注销并重新登录：\n\n"
        + CaptureRightsCommand(helper, true) + "\n\n"
        "（如果这个组还不能抓包，先运行 sudo dpkg-reconfigure quelvar 允许它。）";
  } else {
    text +=
        "普通用户要嗅探，抓包助手程序须有抓包权限。请在终端运行下面的命令，然后重新开始嗅探：\n\n" +
        CaptureRightsCommand(helper, false);
  }
  return text;
}

}  // namespace qv
