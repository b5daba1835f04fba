#include "gui/dialog_placement.h"

#include <QScreen>
#include <QWidget>

#include <algorithm>

namespace corvane {

void CentreOnParentWindow(QWidget* dialog) {
  if (dialog == nullptr || dialog->parentWidget() == nullptr) return;
  QWidget* window = dialog->parentWidget()->window();
  if (window == nullptr || !window->isVisible()) return;
  // The frame is known once the dialog has been on screen; before that only
  // its client area is.
  const QSize frameExtra(std::max(0, dialog->frameGeometry().width() - dialog->width()),
                         std::max(0, dialog->frameGeometry().height() - dialog->height()));
  const QSize outer = dialog->size() + frameExtra;
  QPoint topLeft = window->frameGeometry().center() - QRect(QPoint(0, 0), outer).center();
  if (QScreen* screen = window->screen()) {
    const QRect area = screen->availableGeometry();
    topLeft.setX(std::clamp(topLeft.x(), area.left(), std::max(area.left(), area.left() + area.width() - outer.width())));
    topLeft.setY(std::clamp(topLeft.y(), area.top(), std::max(area.top(), area.top() + area.height() - outer.height())));
  }
  dialog->move(topLeft);
}

}  // namespace corvane
