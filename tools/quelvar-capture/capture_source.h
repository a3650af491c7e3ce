// Which capture sources the capture helper opens. libpcap opens far more than network adapters under a
// device name (netfilter queues and log groups, USB and Bluetooth monitors, D-Bus connections, which
// may even start a program): with the capture rights in hand the helper opens only "any" and the
// names of network interfaces that exist now.
#pragma once
#include <string>

namespace qv::capture_helper {

// Empty when `name` is "any" or the name of an existing network interface that libpcap reads as one;
// else, in a few words, why it is refused (for the line on standard error).
std::string RefuseCaptureSource(const std::string& name);

// The name as it may be shown in a message: every byte outside printable ASCII as \xHH.
std::string PrintableName(const std::string& name);

}  // namespace qv::capture_helper
