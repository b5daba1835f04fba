#pragma once
// The session's host on a terminal: the status dialog becomes a progress bar
// (or one line per report when stderr is not a terminal), Ctrl-C is the
// dialog's Cancel, message boxes are printed, and Yes/No questions are asked
// on the terminal unless answered in advance.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "session/host.h"
#include "session/status_dialog.h"

namespace corvane::cli {

class TerminalHost : public SessionHost {
 public:
  TerminalHost(LogModel& log, bool verbose);

  std::string address;      // answer to the address prompt
  bool assumeYes = false;   // answer Yes to every question
  bool interrupted() const { return m_interrupted.load(); }
  // The caption and text of the last message box, for the exit code.
  std::string lastBoxCaption;
  std::string lastBoxText;
  // The worker's last non-empty report: why a transfer failed, when it did.
  std::string lastFailure;

  bool AskAddress(std::string& text) override;
  bool MessageBox(const std::string& text, const std::string& caption, Buttons buttons) override;
  void Synchronize(const std::function<void()>& fn) override;
  void RunStatusDialog(StatusDialog& dialog) override;

  // Installs the SIGINT handler that cancels the running transfer.
  static void InstallInterruptHandler();
  void Message(const std::string& text);

 private:
  void Draw(const StatusDialog& dialog);
  void OnReport(const std::string& text);

  LogModel& m_log;
  bool m_verbose;
  bool m_tty;
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::atomic<bool> m_interrupted{false};
  std::chrono::steady_clock::time_point m_started;
  bool m_barShown = false;
};

}  // namespace corvane::cli
