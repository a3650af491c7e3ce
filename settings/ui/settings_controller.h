// SettingsController: the program's settings as the window runs them, without a widget. It owns the
// settings file's store and the typed settings over it, hands the file-type table to classification
// (the live FileTypeState) after every change, and says what changed. The settings dialog is a view
// of it; the main window reads from it and listens to Changed.
#pragma once
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <string_view>

#include "settings/app_settings.h"
#include "settings/settings_store.h"
#include "urls/file_type_table.h"

namespace qv {

class SettingsController : public QObject {
  Q_OBJECT
 public:
  // `types` is the table classification reads; it gets the loaded table at Open.
  explicit SettingsController(FileTypeState& types, QObject* parent = nullptr);
  ~SettingsController() override;

  // Takes the settings file's store and loads every setting from it. Null: the program has no settings
  // file; nothing is written, and the file-type table is empty with its switches off.
  void Open(std::unique_ptr<SettingsStore> store);
  SettingsStore* Store() const { return store_.get(); }
  const AppSettings& Values() const { return values_; }

  // Changes settings through `change`, then hands the file-type table on and reports `key` as
  // changed, also when a write failed: the SettingsWriteError is raised after that.
  void Edit(std::string_view key, const std::function<void(AppSettings&)>& change);
  // Writes the file-type table's five categories (the dialog's "确定").
  void SaveFileTypes();

 signals:
  // A setting changed; `key` is its settings key (a category's key for the file-type entries).
  void Changed(const QString& key);

 private:
  void Publish();

  FileTypeState& types_;
  std::unique_ptr<SettingsStore> store_;
  AppSettings values_;
};

// The key reported for a change of the file-type entries.
inline constexpr std::string_view kFileTypesKey = "FileType";

}  // namespace qv
