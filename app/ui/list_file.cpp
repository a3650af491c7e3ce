#include "app/ui/list_file.h"

#include <QFile>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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
  const std::string local = QFile::encodeName(path).toStdString();
  // What would stop the save is told now, before the user is asked which rows to save: the folder
  // must take the temporary file, and the list file, when there is one, must be a file.
  const char* what = mode == Mode::Append ? "Cannot open file" : "Cannot create file";
  if (::access(FolderOf(local).c_str(), W_OK) != 0) Fail(what, path, std::strerror(errno));
  struct stat st {};
  if (::stat(local.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) Fail(what, path, "not a regular file");
  if (mode != Mode::Append) return;
  std::string why;
  if (ReadRegularFile(local, content_, kMaxAppendedListBytes, &why) == ReadResult::kFailed)
    Fail(what, path, why);
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
