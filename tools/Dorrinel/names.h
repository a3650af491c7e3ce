// The name a download is saved under, without Qt. Names come from the request path, which is hostile:
// whatever it holds, the result is one plain name inside the download folder.
#pragma once
#include <string>
#include <string_view>

namespace dorrinel {

// The longest name chosen, in bytes. With a number "(9999)" and the ".part" suffix of the file that
// is being written it stays within NAME_MAX (255).
inline constexpr std::size_t kMaxNameBytes = 240;
inline constexpr std::string_view kPartSuffix = ".part";
inline constexpr std::string_view kFallbackFileName = "download.bin";

// The file name for a request target: its last path segment (after the last '/' or '\', also when
// these were percent-escaped), without query and fragment, percent-decoded, read as UTF-8 when it is
// and as GBK otherwise. Control bytes become '_', leading dots and blanks and trailing blanks are
// dropped (no hidden file, never "." or ".."), and a name longer than kMaxNameBytes is cut at a
// character boundary, keeping an extension of up to 16 bytes. "download.bin" when nothing is left.
std::string FileNameFromTarget(std::string_view target);

// The name a recorded stream is saved under: the name from its target with the extension replaced by
// ".mkv" ("live.m3u8" -> "live.mkv", "rtsp://cam/ch1" -> "ch1.mkv"); "stream.mkv" when there is none.
std::string StreamFileName(std::string_view target);

// "stem(n).ext" for name "stem.ext" ("name(n)" without an extension; a leading dot is no extension).
std::string NumberedName(const std::string& name, unsigned n);

}  // namespace dorrinel
