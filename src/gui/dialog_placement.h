#pragma once
// Where the program's own dialogs open: over the middle of the window they
// belong to, where the user is looking, rather than wherever the desktop puts
// a new window.
class QWidget;

namespace corvane {

// Moves `dialog` so that its frame is centred on its parent's window, kept
// inside that window's screen. Call it as the dialog shows (each time: the
// window may have moved meanwhile). Without a visible parent window it does
// nothing; where the desktop does not let programs place windows (Wayland)
// the move has no effect and the desktop places the dialog.
void CentreOnParentWindow(QWidget* dialog);

}  // namespace corvane
