#include "app/ui/list_file.h"

#include <stdexcept>

namespace qv {

namespace {

[[noreturn]] void Fail(const char* what, const QFile& file) {
  throw std::runtime_error(QStringLiteral("%1 \"%2\": %3")
                               .arg(QString::fromLatin1(what), file.fileName(), file.errorString())
                               .toStdString());
}

}  // namespace

void ListFile::Open(const QString& path, Mode mode) {
  file_.setFileName(path);
  const QIODevice::OpenMode how =
      mode == Mode::Append ? (QIODevice::WriteOnly | QIODevice::Append) : (QIODevice::WriteOnly | QIODevice::Truncate);
  if (!file_.open(how)) Fail(mode == Mode::Append ? "Cannot open file" : "Cannot create file", file_);
}

void ListFile::WriteLine(std::string_view bytes) {
  if (file_.write(bytes.data(), static_cast<qint64>(bytes.size())) != static_cast<qint64>(bytes.size()) ||
      file_.write("\r\n", 2) != 2)
    Fail("Cannot write file", file_);
}

void ListFile::Close() {
  if (!file_.flush()) Fail("Cannot write file", file_);
  file_.close();
  if (file_.error() != QFileDevice::NoError) Fail("Cannot close file", file_);
}

}  // namespace qv
