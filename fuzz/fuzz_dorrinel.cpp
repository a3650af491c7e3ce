// Fuzz target: arbitrary bytes as the text handed to the simple downloader (Dorrinel), and as the
// other hostile inputs of its plain logic: a Content-Range value and ffmpeg's standard error.
//
// What must hold:
//   - a request that is accepted has a host, a target that starts with "/", only printable ASCII in
//     its address, at most 100 headers and only headers that KeepHeader lets through; its address,
//     read again as a plain address, gives the same address;
//   - the file name of any target is one plain name: not empty, not starting with '.', no '/', no
//     '\', no control byte, valid UTF-8, at most kMaxNameBytes bytes, and with a number and the
//     ".part" suffix it stays within NAME_MAX (255); a stream's name ends in ".mkv";
//   - a Content-Range that parses is ordered (first <= last < total);
//   - ffmpeg's last message is bounded.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "tools/Dorrinel/ffmpeg_progress.h"
#include "tools/Dorrinel/names.h"
#include "tools/Dorrinel/request.h"
#include "tools/Dorrinel/resume.h"

namespace {

using namespace dorrinel;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz_dorrinel: invariant broken: %s\n", what);
  std::abort();
}

bool ValidUtf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto b = static_cast<unsigned char>(s[i]);
    std::size_t n = b < 0x80 ? 1 : (b >= 0xC2 && b <= 0xDF) ? 2 : (b >= 0xE0 && b <= 0xEF) ? 3 : (b >= 0xF0 && b <= 0xF4) ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    for (std::size_t k = 1; k < n; ++k) {
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    }
    i += n;
  }
  return true;
}

void CheckName(const std::string& name) {
  if (name.empty() || name.front() == '.') Fail("name empty or hidden");
  if (name.size() > kMaxNameBytes) Fail("name too long");
  if (NumberedName(name, 9999).size() + kPartSuffix.size() > 255) Fail("numbered partial name over NAME_MAX");
  for (char c : name) {
    const auto b = static_cast<unsigned char>(c);
    if (c == '/' || c == '\\' || b < 0x20 || b == 0x7F) Fail("separator or control byte in a name");
  }
  if (!ValidUtf8(name)) Fail("name not UTF-8");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  const DownloadRequest r = ParseHandedText(input);
  if (r.error == ParseError::kNone) {
    if (r.host.empty() || r.target.empty() || r.target.front() != '/') Fail("accepted request without host or target");
    const std::string url = r.Url();
    for (char c : url) {
      if (c <= 0x20 || c >= 0x7F) Fail("address not printable ASCII");
    }
    if (r.headers.size() > 100) Fail("too many headers");
    for (const Header& h : r.headers) {
      if (!KeepHeader(h.name, h.value)) Fail("a dropped header is sent");
    }
    const DownloadRequest again = ParseHandedText(url);
    if (again.error != ParseError::kNone || again.Url() != url || again.stream != r.stream) Fail("address does not read back");
    CheckName(FileNameFromTarget(r.target));
  }

  const std::string name = FileNameFromTarget(input);
  CheckName(name);
  const std::string stream = StreamFileName(input);
  if (stream.size() < 4 || stream.substr(stream.size() - 4) != ".mkv") Fail("stream name without .mkv");
  CheckName(stream);

  if (const auto range = ParseContentRange(input)) {
    if (range->first && (!range->last || *range->last < *range->first)) Fail("range out of order");
    if (range->last && range->total && *range->last >= *range->total) Fail("range past its total");
    if (!range->first && !range->total) Fail("empty range");
  }

  FfmpegProgress progress;
  progress.Feed(input);
  progress.Feed("\n");
  if (progress.lastMessage().size() > FfmpegProgress::kMaxLine) Fail("ffmpeg message unbounded");
  return 0;
}
