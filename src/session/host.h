#pragma once
// What the session needs from whoever runs it: the desktop window, the
// command-line tool or a test. The session never talks to a user directly.
#include <functional>
#include <string>

namespace corvane {

class StatusDialog;

class SessionHost {
 public:
  virtual ~SessionHost() = default;

  // The address prompt for "TCP/IP": shows `address` for editing; returns true
  // when confirmed (OK) and leaves the edited text in `address` either way.
  virtual bool AskAddress(std::string& address) = 0;

  enum class Buttons { kOk, kYesNo };
  // A message box; returns true for OK or Yes.
  virtual bool MessageBox(const std::string& text, const std::string& caption, Buttons buttons) = 0;

  // Runs `fn` on the host's UI thread and returns once it has run. Called
  // from worker threads for every report.
  virtual void Synchronize(const std::function<void()>& fn) = 0;

  // Shows the status dialog modally: returns once it has ended (dialog.Ended()),
  // by the worker's final report or the user's Cancel. The dialog was reset by
  // Begin() before the worker started, so a final report that came first
  // makes this return at once.
  virtual void RunStatusDialog(StatusDialog& dialog) = 0;
};

}  // namespace corvane
