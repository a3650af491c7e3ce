// The list file of "保存列表": one address per line as the list holds it (GBK), every line ended by
// CR LF, no byte-order mark, no header.
#pragma once
#include <QFile>
#include <QString>

#include <string_view>

namespace qv {

class ListFile {
 public:
  enum class Mode { Create, Overwrite, Append };

  // Each throws std::runtime_error with the reason when the file cannot be opened, written or closed.
  void Open(const QString& path, Mode mode);
  void WriteLine(std::string_view bytes);
  void Close();

 private:
  QFile file_;
};

}  // namespace qv
