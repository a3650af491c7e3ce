#include "app/ui/window_state.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHeaderView>
#include <QScreen>
#include <QWidget>

#include <algorithm>
#include <cstdlib>

namespace qv {

namespace {

constexpr int kMinColumn = 8;
constexpr int kMaxColumn = 4000;
constexpr int kMaxSide = 100000;    // no screen is larger: a larger side is damage
constexpr int kMaxOffset = 1000000;  // nor farther away

// Room for the window manager's title bar and borders while they are not known yet (before the
// window was first shown).
constexpr QMargins kDecorationAllowance(6, 34, 6, 6);

const QString kFrame = QStringLiteral("window/frame");
const QString kDecorations = QStringLiteral("window/decorations");
constexpr int kMaxDecoration = 500;
const QString kMaximized = QStringLiteral("window/maximized");
const QString kObsoleteMode = QStringLiteral("window/mode");

bool SaneSize(QSize s) { return s.width() > 0 && s.height() > 0 && s.width() <= kMaxSide && s.height() <= kMaxSide; }

bool SaneRect(const QRect& r) {
  return SaneSize(r.size()) && std::abs(r.x()) <= kMaxOffset && std::abs(r.y()) <= kMaxOffset;
}

qint64 Overlap(const QRect& a, const QRect& b) {
  const QRect i = a.intersected(b);
  return i.isEmpty() ? 0 : qint64(i.width()) * i.height();
}

// A yes/no value as QSettings writes it to an INI file ("true"/"false"); anything else is absent.
std::optional<bool> StrictBool(const QVariant& v) {
  if (v.typeId() == QMetaType::Bool) return v.toBool();
  const QString s = v.toString();
  if (s == QLatin1String("true")) return true;
  if (s == QLatin1String("false")) return false;
  return std::nullopt;
}

}  // namespace

QString DefaultWindowStatePath() {
  QString base = qEnvironmentVariable("XDG_STATE_HOME");
  if (base.isEmpty() || !QDir::isAbsolutePath(base)) base = QDir::homePath() + QStringLiteral("/.local/state");
  return base + QStringLiteral("/quelvar/window.ini");
}

QRect FitOnScreens(const QRect& frame, const QList<QRect>& available) {
  if (available.isEmpty()) return frame;
  for (const QRect& screen : available)
    if (screen.contains(frame)) return frame;
  QRect target = available.front();
  qint64 best = 0;
  for (const QRect& screen : available) {
    const qint64 overlap = Overlap(frame, screen);
    if (overlap > best) {
      best = overlap;
      target = screen;
    }
  }
  QRect fitted(frame.topLeft(), frame.size().boundedTo(target.size()));
  if (fitted.right() > target.right()) fitted.moveRight(target.right());
  if (fitted.bottom() > target.bottom()) fitted.moveBottom(target.bottom());
  if (fitted.left() < target.left()) fitted.moveLeft(target.left());
  if (fitted.top() < target.top()) fitted.moveTop(target.top());
  return fitted;
}

QRect CentredOnScreen(QSize frame, const QRect& available) {
  QRect r(QPoint(0, 0), frame.boundedTo(available.size()));
  r.moveCenter(available.center());
  return r;
}

namespace {

// A state file QSettings cannot parse would also keep it from writing a good one: it goes, and the
// window starts as on its first start.
QString WithoutDamagedFile(const QString& path) {
  bool damaged = false;
  {
    QSettings probe(path, QSettings::IniFormat);
    probe.allKeys();  // the file is parsed on first use
    damaged = probe.status() == QSettings::FormatError;
  }
  if (damaged) QFile::remove(path);
  return path;
}

}  // namespace

WindowState::WindowState(const QString& path) : settings_(WithoutDamagedFile(path), QSettings::IniFormat) {}

std::optional<SavedPlace> WindowState::Place() const {
  const QVariant frame = settings_.value(kFrame);
  if (frame.typeId() != QMetaType::QRect) return std::nullopt;
  // The decorations: four widths "left top right bottom".
  const QStringList parts = settings_.value(kDecorations).toString().split(QLatin1Char(' '), Qt::SkipEmptyParts);
  if (parts.size() != 4) return std::nullopt;
  int m[4];
  for (int i = 0; i < 4; ++i) {
    bool ok = false;
    m[i] = parts[i].toInt(&ok);
    if (!ok || m[i] < 0 || m[i] > kMaxDecoration) return std::nullopt;
  }
  SavedPlace place{frame.toRect(), QMargins(m[0], m[1], m[2], m[3]),
                   StrictBool(settings_.value(kMaximized)).value_or(false)};
  if (!SaneRect(place.frame) || !SaneSize(place.Client())) return std::nullopt;
  return place;
}

void WindowState::SetPlace(const SavedPlace& place) {
  settings_.setValue(kFrame, place.frame);
  const QMargins& d = place.decorations;
  settings_.setValue(kDecorations, QStringLiteral("%1 %2 %3 %4").arg(d.left()).arg(d.top()).arg(d.right()).arg(d.bottom()));
  settings_.setValue(kMaximized, place.maximized);
}

QList<int> WindowState::ColumnWidths(const QString& list) const {
  QList<int> widths;
  const QString text = settings_.value(QStringLiteral("columns/") + list).toString();
  if (text.isEmpty()) return widths;
  for (const QString& part : text.split(QLatin1Char(','))) {
    bool ok = false;
    const int w = part.trimmed().toInt(&ok);
    widths.push_back(ok ? w : -1);  // a column that cannot be read keeps the width it has
  }
  return widths;
}

void WindowState::SetColumnWidths(const QString& list, const QList<int>& widths) {
  QStringList parts;
  for (int w : widths) parts.push_back(QString::number(w));
  settings_.setValue(QStringLiteral("columns/") + list, parts.join(QLatin1Char(',')));
}

QString WindowState::LastFolder(const QString& dialog) const {
  const QString folder = settings_.value(QStringLiteral("folders/") + dialog).toString();
  return !folder.isEmpty() && QDir::isAbsolutePath(folder) && QFileInfo(folder).isDir() ? folder : QString();
}

void WindowState::SetLastFolder(const QString& dialog, const QString& folder) {
  if (folder.isEmpty()) return;
  settings_.setValue(QStringLiteral("folders/") + dialog, QDir::cleanPath(folder));
  Save();  // a folder is worth keeping even if the program does not end well
}

bool WindowState::Save() {
  // The window starts in URL mode whatever mode it closed in: a mode kept by an earlier version goes.
  settings_.remove(kObsoleteMode);
  QDir().mkpath(QFileInfo(settings_.fileName()).absolutePath());
  settings_.sync();
  return settings_.status() == QSettings::NoError;
}

QList<int> HeaderWidths(const QHeaderView& header) {
  QList<int> widths;
  for (int i = 0; i < header.count(); ++i) widths.push_back(header.sectionSize(i));
  return widths;
}

void ApplyHeaderWidths(QHeaderView& header, const QList<int>& widths) {
  const int last = header.logicalIndex(header.count() - 1);
  for (int i = 0; i < header.count() && i < widths.size(); ++i) {
    const int w = widths[i];
    if (w < kMinColumn || w > kMaxColumn || header.isSectionHidden(i)) continue;
    if (header.sectionResizeMode(i) != QHeaderView::Interactive) continue;
    if (header.stretchLastSection() && i == last) continue;
    header.resizeSection(i, w);
  }
}

QMargins DecorationsOf(const QWidget& window) {
  const QRect frame = window.frameGeometry();
  const QRect client = window.geometry();
  return QMargins(client.left() - frame.left(), client.top() - frame.top(), frame.right() - client.right(),
                  frame.bottom() - client.bottom());
}

SavedPlace PlaceOf(const QWidget& window, const QMargins& normalDecorations) {
  SavedPlace place;
  place.maximized = window.isMaximized() || window.isFullScreen();
  if (!place.maximized) {
    place.frame = window.frameGeometry();
    place.decorations = DecorationsOf(window);
    return place;
  }
  // Maximised: the normal place, in the decorations the window had when it was last normal (a
  // maximised window may be drawn without its borders).
  place.decorations = normalDecorations;
  place.frame = window.normalGeometry().marginsAdded(normalDecorations);
  return place;
}

void PlaceWindow(QWidget& window, const std::optional<SavedPlace>& place, QSize firstClient) {
  QList<QRect> screens;
  for (QScreen* s : QGuiApplication::screens()) screens.push_back(s->availableGeometry());
  QScreen* primary = QGuiApplication::primaryScreen();
  if (screens.isEmpty() || primary == nullptr) {
    window.resize(place ? place->Client() : firstClient);
    return;
  }
  QRect client;
  if (place) {
    client = FitOnScreens(place->frame, screens).marginsRemoved(place->decorations);
  } else {
    // At most nine tenths of the screen: a window manager that puts the frame, not the client, at the
    // given place still keeps the whole window on the screen.
    const QRect screen = primary->availableGeometry();
    const QSize frame = firstClient.grownBy(kDecorationAllowance).boundedTo(screen.size() * 0.9);
    client = CentredOnScreen(frame, screen).marginsRemoved(kDecorationAllowance);
  }
  // The client area itself is placed; the window manager draws its decorations around it.
  if (client.width() < 1) client.setWidth(1);
  if (client.height() < 1) client.setHeight(1);
  window.setGeometry(client);
  if (place && place->maximized) window.setWindowState(window.windowState() | Qt::WindowMaximized);
}

}  // namespace qv
