// Rows that hold only a server name: an HTTPS (or QUIC) connection shows its server's name in the
// clear and nothing else, so the list gets "https://NAME/" (":PORT" before the slash when the port is
// not 443) from the handshake, never the path of what was fetched.
#pragma once
#include <string_view>

namespace qv {

// True for an address of that form whose packet is the handshake it came from (a TLS handshake
// record, or a QUIC packet with a long header). An empty packet (a record not at hand) is judged by
// the address alone. A request that was read in full ("GET / ...") is not such a row, even for "/".
bool IsServerNameRow(std::string_view address, std::string_view packet);

// What the person is told about such a row: why only the name shows, and what would show more.
inline constexpr std::string_view kServerNameOnly =
    "只能看到服务器名称：HTTPS 加密了请求的路径，连接时只有服务器名称不加密。"
    "有浏览器的密钥日志（SSLKEYLOGFILE）时才能看到完整地址。";

}  // namespace qv
