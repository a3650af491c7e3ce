// The capture library's reasons in the program's own words. libpcap words its failures in English and
// often names the file or device itself; these functions turn the common ones into the message the
// person reads, naming the file or adapter exactly once. A reason they do not know is kept as the
// library wrote it (less a leading copy of the path), after the program's own opening words.
#pragma once
#include <string>

namespace qv {

// "无法打开抓包文件 PATH：…" for a capture file that pcap_open_offline refused with `reason`.
std::string CaptureFileMessage(const std::string& path, const std::string& reason);

// "无法在网络适配器 NAME 上嗅探：…" for an adapter that could not be opened with `reason`.
std::string CaptureDeviceMessage(const std::string& device, const std::string& reason);

// The message for a person without the capture rights: what is missing, then the one command that
// gives them on a line of its own (the group command for an installed program, setcap on the capture
// helper of a build folder), so that it can be copied whole.
std::string CaptureRightsMessage(const std::string& device, const std::string& helper, bool installed);

// The one command that gives a user the capture rights: joining the quelvar group for an installed
// program, else setcap on the capture `helper` (its path quoted for the shell when it needs it).
std::string CaptureRightsCommand(const std::string& helper, bool installed);

}  // namespace qv
