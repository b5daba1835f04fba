#pragma once
// Message boxes of the desktop program, and the program-wide error box that
// shows every failure that leaves a command.
#include <QString>

#include <functional>
#include <string>

class QWidget;

namespace corvane {

enum class MessageKind { kInformation, kWarning, kError, kQuestion };

// A session text as the user should read it: UTF-8 when it is valid UTF-8,
// else 8-bit Latin-1 (device names); "\r\n" becomes a plain line break.
QString MessageText(const std::string& text);

// The error box's text: the message, with a full stop added when its last
// character sorts after "." (so "Error (...)" gets none).
QString ErrorBoxText(const QString& message);

// The application's title (the error box's caption): the device's display
// name followed by " Connectivity Kit".
void SetApplicationTitle(const QString& title);
QString ApplicationTitle();

// Shows a modal box; returns true for OK or Yes.
bool ShowMessageBox(QWidget* parent, const QString& caption, const QString& text, MessageKind kind);
// The program-wide error box: caption = the application's title, error icon, OK.
void ShowErrorBox(QWidget* parent, const QString& message);

// Replaces every box with `hook` (tests record them instead); empty restores.
using MessageBoxHook = std::function<bool(MessageKind kind, const QString& caption, const QString& text)>;
void SetMessageBoxHook(MessageBoxHook hook);
// Whether a hook stands in for the boxes (a box with buttons of its own then
// asks through ShowMessageBox instead).
bool MessageBoxHooked();

}  // namespace corvane
