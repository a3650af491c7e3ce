// Classification of an address by its extension, then its streaming scheme, then the switch for
// undefined types.
#pragma once
#include <string>
#include <string_view>

#include "urls/file_type_table.h"

namespace qv {

// Returns one of the five categories, "视音频文件", "未定义" (all GBK), or empty: not to be listed.
std::string_view FileType(std::string_view address, const FileTypeSnapshot& table);

}  // namespace qv
