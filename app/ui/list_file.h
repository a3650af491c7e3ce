// The list file of "保存列表": one address per line as the list holds it (GBK), every line ended by
// CR LF, no byte-order mark, no header.
//
// The lines are gathered in memory and written by Close to a temporary file beside the list file, which
// then replaces it: a save that fails part-way (a full disk, an error between lines) leaves the old list
// whole. Appending starts from the old list's bytes, held in memory: a file larger than
// kMaxAppendedListBytes (a video picked by mistake, say) is refused before anything is read.
#pragma once
#include <QString>

#include <cstddef>
#include <string>
#include <string_view>

namespace qv {

class ListFile {
 public:
  static constexpr std::size_t kMaxAppendedListBytes = std::size_t{256} << 20;

  enum class Mode { Create, Overwrite, Append };

  // Each throws std::runtime_error with the reason when the file cannot be opened, written or closed.
  // A ListFile destroyed without a successful Close leaves the list file as it was.
  void Open(const QString& path, Mode mode);
  void WriteLine(std::string_view bytes);
  void Close();

 private:
  QString path_;
  std::string content_;
};

}  // namespace qv
