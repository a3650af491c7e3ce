// The program's icons, drawn at run time so that no image files have to ship.
#pragma once
#include <QIcon>

namespace qv {

QIcon AppIcon();
QIcon StartIcon();
QIcon StopIcon();
QIcon SettingsIcon();
QIcon ExitIcon();

}  // namespace qv
