#pragma once
// Saves and restores a window's position, size, visibility and font (and the
// same for a chosen set of its controls) in the per-user settings, one group
// per window, every value stored as text. Values that are missing or not
// valid numbers leave the window as designed.
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

  void RestorePositions(bool components, bool form);
  void SavePositions();

 private:
  bool Usable() const;
  QString Group() const;

  QWidget* m_owner;
};

}  // namespace corvane
