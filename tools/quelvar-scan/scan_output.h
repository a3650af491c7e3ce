// Printing the lists: one line per row, TAB between fields, LF at the end.
#pragma once
#include <cstdio>
#include <string>
#include <string_view>

namespace qv {
class UrlList;
}

namespace qv::scan {

enum class OutputKind { UrlList, CategoryView, PacketList };

// Backslash, TAB, CR and LF escaped. In raw mode the field is GBK and the trail byte of a double-byte
// character is never taken for a backslash; otherwise it is first converted to UTF-8.
void AppendField(std::string& line, std::string_view field, bool raw);

void PrintList(std::FILE* out, const UrlList& list, OutputKind kind, bool raw);

}  // namespace qv::scan
