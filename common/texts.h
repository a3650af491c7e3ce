// Fixed GBK texts shared by the core. Source files are UTF-8, the program's texts are GBK bytes, so
// every text is spelled as byte escapes with its readable form beside it.
#pragma once
#include <string_view>

namespace qv::texts {

// Direction labels.
inline constexpr std::string_view kOutbound = "\xB1\xBE\xBB\xFA\xA1\xFA\xA1\xFA\xCD\xF8\xC2\xE7";  // 本机→→网络
inline constexpr std::string_view kInbound = "\xCD\xF8\xC2\xE7\xA1\xFA\xA1\xFA\xB1\xBE\xBB\xFA";   // 网络→→本机

// The five categories of the file-type table, in tree order.
inline constexpr std::string_view kCatVideo = "\xCA\xD3\xC6\xB5\xCE\xC4\xBC\xFE";           // 视频文件
inline constexpr std::string_view kCatAudio = "\xD2\xF4\xC6\xB5\xCE\xC4\xBC\xFE";           // 音频文件
inline constexpr std::string_view kCatPicture = "\xCD\xBC\xC6\xAC\xCE\xC4\xBC\xFE";         // 图片文件
inline constexpr std::string_view kCatText = "\xCE\xC4\xB1\xBE\xCE\xC4\xBC\xFE";            // 文本文件
inline constexpr std::string_view kCatCustom = "\xD7\xD4\xB6\xA8\xD2\xE5\xC0\xE0\xD0\xCD";  // 自定义类型

// Results that only classification gives.
inline constexpr std::string_view kCatAudioVideo = "\xCA\xD3\xD2\xF4\xC6\xB5\xCE\xC4\xBC\xFE";  // 视音频文件
inline constexpr std::string_view kCatUndefined = "\xCE\xB4\xB6\xA8\xD2\xE5";                   // 未定义

// View entries and the view filter character.
inline constexpr std::string_view kViewAll = "\xC8\xAB\xB2\xBF";  // 全部
inline constexpr std::string_view kFin = "\xC6\xB5";             // 频

// Settings keys in Chinese.
inline constexpr std::string_view kUndefinedTypesKey = "\xCE\xB4\xB6\xA8\xD2\xE5\xC0\xE0\xD0\xCD";  // 未定义类型

// Written for every zero byte of a payload.
inline constexpr std::string_view kNulMarker = "\xA5\xFE";

}  // namespace qv::texts
