#include "settings/ui/settings_controller.h"

#include <utility>

namespace qv {

SettingsController::SettingsController(FileTypeState& types, QObject* parent) : QObject(parent), types_(types) {
  setObjectName(QStringLiteral("SettingsController"));
}

SettingsController::~SettingsController() = default;

void SettingsController::Open(std::unique_ptr<SettingsStore> store) {
  store_ = std::move(store);
  values_ = AppSettings(store_.get());
  values_.Load();
  // Without a settings file nothing is loaded: the file-type table stands empty with every switch
  // off, as the settings dialog then shows it.
  if (!store_) values_.SetUndefinedTypes(false);
  Publish();
}

void SettingsController::Edit(std::string_view key, const std::function<void(AppSettings&)>& change) {
  const QString name = QString::fromLatin1(key.data(), static_cast<int>(key.size()));
  try {
    change(values_);
  } catch (...) {
    Publish();
    emit Changed(name);
    throw;
  }
  Publish();
  emit Changed(name);
}

void SettingsController::SaveFileTypes() { values_.SaveFileTypes(); }

void SettingsController::Publish() { types_.Replace(values_.FileTypes()); }

}  // namespace qv
