// The about box "关于Quelvar" and the help command of the "帮助(&H)" menu.
#pragma once
#include <QDialog>
#include <QString>

class QLabel;

namespace qv {

class SettingsStore;

// A small modeless dialog with the program's name, its installed version, the maker's contact lines
// and rights notice. At most one exists; it frees itself when closed.
class TAboutBox : public QDialog {
  Q_OBJECT
 public:
  // "关于Quelvar" (N32): creates the box on first use (owned by the application, no parent),
  // then shows it. A box that is already open is shown again unchanged.
  static TAboutBox* ShowAboutBox(const SettingsStore* settings);
  // The open box, or null.
  static TAboutBox* Instance();

  QString VersionText() const;  // the version label's text

 private:
  explicit TAboutBox(const SettingsStore* settings);
  ~TAboutBox() override;
  void CloseBox();

  QLabel* versionLabel_ = nullptr;
};

}  // namespace qv
