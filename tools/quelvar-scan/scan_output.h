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

// Backslash, TAB, CR and LF are escaped as \\, \t, \r and \n, every other control byte (0x00-0x1F, 0x7F)
// as \xHH, so that a row is one line of tab-separated fields and nothing reaches a terminal raw. In raw
// mode the field is GBK and a backslash that is the trail byte of a double-byte character stays as it
// is; otherwise the field is first converted to UTF-8.
void AppendField(std::string& line, std::string_view field, bool raw);

// The same for the field the window shows as its address column (the address of the URL list and the
// category view, the payload of the packet list). Its bytes are printed as UTF-8 text when they are
// valid UTF-8 with a multi-byte sequence, as the window shows them (today's percent-escaped names
// decode to that); otherwise as AppendField. Raw output is the list's bytes either way.
void AppendAddressField(std::string& line, std::string_view field, bool raw);

void PrintList(std::FILE* out, const UrlList& list, OutputKind kind, bool raw);

}  // namespace qv::scan
