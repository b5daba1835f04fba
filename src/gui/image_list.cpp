#include "gui/image_list.h"

#include <QString>

// The images are compiled into the static GUI library, whose resource
// registration the linker would otherwise drop.
static void LoadImageResources() {
  static const bool loaded = [] {
    Q_INIT_RESOURCE(main);
    return true;
  }();
  (void)loaded;
}

namespace corvane {

QIcon ImageListIcon(int index) {
  LoadImageResources();
  if (index < 0 || index >= kImageCount) index = kImageFile;
  QIcon icon;
  for (int size : {16, 32, 48})
    icon.addFile(QStringLiteral(":/icons/image%1_%2.png").arg(index, 2, 10, QLatin1Char('0')).arg(size), QSize(size, size));
  return icon;
}

QIcon FolderIcon() {
  LoadImageResources();
  QIcon icon;
  for (int size : {16, 32, 48}) {
    const QSize s(size, size);
    icon.addFile(QStringLiteral(":/icons/image00_%1.png").arg(size), s, QIcon::Normal, QIcon::Off);
    icon.addFile(QStringLiteral(":/icons/image11_%1.png").arg(size), s, QIcon::Selected, QIcon::Off);
  }
  return icon;
}

}  // namespace corvane
