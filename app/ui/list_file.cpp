#include "app/ui/list_file.h"

#include <QFile>

#include <limits>
#include <stdexcept>

#include "common/text_file.h"

namespace qv {

namespace {

[[noreturn]] void Fail(const char* what, const QString& name, const std::string& reason) {
  throw std::runtime_error(
      QStringLiteral("%1 \"%2\": %3").arg(QString::fromLatin1(what), name, QString::fromLocal8Bit(reason)).toStdString());
}

}  // namespace

void ListFile::Open(const QString& path, Mode mode) {
  path_ = path;
  content_.clear();
  if (mode != Mode::Append) return;
  std::string why;
  const ReadResult r =
      ReadRegularFile(QFile::encodeName(path).toStdString(), content_, std::numeric_limits<std::size_t>::max(), &why);
  if (r == ReadResult::kFailed) Fail("Cannot open file", path, why);
}

void ListFile::WriteLine(std::string_view bytes) {
  content_.append(bytes);
  content_.append("\r\n");
}

void ListFile::Close() {
  if (!ReplaceFileAtomically(QFile::encodeName(path_).toStdString(), content_))
    Fail("Cannot write file", path_, "the file or its folder cannot be written, or the disk is full");
}

}  // namespace qv
