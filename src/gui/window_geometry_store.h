#pragma once
// Saves and restores a window's position, size, visibility and font (and the
// same for a chosen set of its controls) in the per-user settings, one group
// per window, every value stored as text. Values that are missing or not
// valid numbers leave the window as designed. Sizes and positions are in
// the desktop's device-independent pixels (those of QWidget geometry), so a
// size saved at one scale factor means the same area of the screen at another.
// A restored window is fitted into the screen it opens on. Where the desktop
// does not let programs place their windows (Wayland), only sizes are saved
// and restored; stored positions are left as they are for other desktops.
#include <QString>
#include <QStringList>

class QSettings;
class QWidget;

namespace corvane {

class WindowGeometryStore {
 public:
  // `owner` must be a top-level window; with anything else the operations do nothing.
  explicit WindowGeometryStore(QWidget* owner);

  // "Organisation\Application": where the values live.
  QString MainKey = QStringLiteral("Corvane\\Quillon Connectivity kit");
  // Names (objectName) of the owner's controls saved and restored as well.
  QStringList ImportantComponents;
  // The windowing system's name (QGuiApplication::platformName()); positions
  // are neither saved nor applied when it starts with "wayland".
  QString PlatformName;

  void RestorePositions(bool components, bool form);
  void SavePositions();

 private:
  bool Usable() const;
  bool PlacesWindows() const;
  QString Group() const;

  QWidget* m_owner;
};

}  // namespace corvane
