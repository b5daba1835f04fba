#pragma once
// What the session needs from whoever runs it: the desktop window, the
// command-line tool or a test. The session never talks to a user directly.
#include <string>

namespace corvane {

class StatusDialog;

class SessionHost {
 public:
  virtual ~SessionHost() = default;

  // The address prompt for "TCP/IP": shows `address` for editing; returns true
  // when confirmed (OK) and leaves the edited text in `address` either way.
  // Called on the session's thread, which waits for the answer.
  virtual bool AskAddress(std::string& address) = 0;

  enum class Buttons { kOk, kYesNo };
  // A message box; returns true for OK or Yes. The session's thread waits.
  virtual bool MessageBox(const std::string& text, const std::string& caption, Buttons buttons) = 0;

  // The transfer dialog changed: it was shown, took a report or ended. Called
  // on the session's thread after each change; must return at once (draw
  // later, from dialog.Snapshot(), on the host's own thread).
  virtual void TransferDialogChanged(StatusDialog& dialog) = 0;
};

}  // namespace corvane
