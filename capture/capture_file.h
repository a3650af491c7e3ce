// Capture files: the local addresses a file implies.
#pragma once
#include <string>
#include <vector>

namespace qv {

class PcapNet;

// The source addresses of the file's TCP SYN frames without ACK, or, in a file without any, of its
// QUIC version 1 client Initials (IPv4 or IPv6, on every link type the frame handler reads; IPv6 as
// RFC 5952 text), in order of first appearance. Empty when the file cannot be read.
std::vector<std::string> InferLocalAddresses(const PcapNet& net, const std::string& path);

}  // namespace qv
