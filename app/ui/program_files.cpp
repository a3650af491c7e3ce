#include "app/ui/program_files.h"

#include <QCoreApplication>
#include <QFile>

#include <cstdio>

#include "platform/settings_location.h"
#include "settings/settings_store.h"

namespace qv {

namespace {

ProgramFiles Files() { return FindProgramFiles(QFile::encodeName(QCoreApplication::applicationDirPath()).toStdString()); }

QString FromLocal(const std::string& path) { return QFile::decodeName(QByteArray::fromStdString(path)); }

}  // namespace

QString HelperFolder(const QString& given) { return given.isEmpty() ? FromLocal(Files().helperDir) : given; }

QString DataFolder(const QString& given) { return given.isEmpty() ? FromLocal(Files().dataDir) : given; }

QString SettingsFilePath(const QString& given) {
  if (!given.isEmpty()) return given + QStringLiteral("/setting.ini");
  const SettingsLocation loc = LocateSettings(Files(), UserSettingsFolder());
  if (!loc.problem.empty()) std::fprintf(stderr, "quelvar: %s; using %s\n", loc.problem.c_str(), loc.path.c_str());
  return FromLocal(loc.path);
}

QString SettingsFileProblem(const QString& path) {
  std::string why;
  bool missing = false;
  if (ReadSettingsFile(QFile::encodeName(path).toStdString(), why, missing) || missing) return {};
  return QString::fromLocal8Bit(why.c_str());
}

}  // namespace qv
