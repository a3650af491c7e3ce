// What the main window remembers from one start to the next: its place and size (and whether it was
// maximised), the column widths of the two lists, and the folder each file dialog was last used in
// (not the work mode: the window starts in URL mode). It lives in a state file of its own, never in setting.ini:
// $XDG_STATE_HOME/quelvar/window.ini (~/.local/state/quelvar/window.ini when that variable is unset or
// not an absolute path), an INI file written through QSettings.
//
// Everything read back is checked: a value that is missing, of the wrong kind or out of range reads as
// absent, so a damaged file gives the first start's window, never a broken one.
#pragma once
#include <QList>
#include <QMargins>
#include <QRect>
#include <QSettings>
#include <QSize>
#include <QString>

#include <optional>

#include "common/ui/prompter.h"

class QHeaderView;
class QWidget;

namespace qv {

// The file of the default state: $XDG_STATE_HOME/quelvar/window.ini.
QString DefaultWindowStatePath();

// The place of a window on the screens it has now. `frame` is the window with its decorations;
// `available` the available area of each screen (task bars and panels left out). A frame that lies
// whole on one screen stays as it is; otherwise it goes to the screen it overlaps most (the first
// screen when it overlaps none), cut down to that screen's size and moved inside it.
QRect FitOnScreens(const QRect& frame, const QList<QRect>& available);

// The frame of the first window: the wanted size, cut down to the screen, centred on it.
QRect CentredOnScreen(QSize frame, const QRect& available);

struct SavedPlace {
  QRect frame;           // the normal (not maximised) window, decorations included
  QMargins decorations;  // the window manager's title bar and borders around the client area
  bool maximized = false;

  QSize Client() const { return frame.marginsRemoved(decorations).size(); }
};

class WindowState : public DialogFolders {
 public:
  explicit WindowState(const QString& path = DefaultWindowStatePath());

  QString Path() const { return settings_.fileName(); }

  std::optional<SavedPlace> Place() const;
  void SetPlace(const SavedPlace& place);

  // The widths of a list's columns, by its name; empty when none were kept.
  QList<int> ColumnWidths(const QString& list) const;
  void SetColumnWidths(const QString& list, const QList<int>& widths);

  // DialogFolders: the folder a file dialog (known by its title) was last used in; empty when none
  // was kept or it no longer exists.
  QString LastFolder(const QString& dialog) const override;
  void SetLastFolder(const QString& dialog, const QString& folder) override;

  // Writes what was set to the file. False when it could not be written.
  bool Save();

 private:
  QSettings settings_;
};

// Column widths of a list as its header has them, and back. Only columns the person can size are
// set again (not a column that stretches to fill the list); a width outside 8..4000 is ignored.
QList<int> HeaderWidths(const QHeaderView& header);
void ApplyHeaderWidths(QHeaderView& header, const QList<int>& widths);

// The window manager's decorations around a shown window.
QMargins DecorationsOf(const QWidget& window);
// The window's place as the window system has it now: its normal frame, and whether it is maximised.
// A maximised window's normal frame is drawn with `normalDecorations`, those it had when last normal.
SavedPlace PlaceOf(const QWidget& window, const QMargins& normalDecorations);
// Puts a top-level window, not yet shown, where `place` says, fitted onto today's screens. With no
// place the window takes `firstClient` (its size without decorations), cut to the screen it will open
// on and centred there.
void PlaceWindow(QWidget& window, const std::optional<SavedPlace>& place, QSize firstClient);

}  // namespace qv
