#pragma once
// The session's host on a terminal. Transfer reports are shown on stderr as a
// progress bar, as lines, as JSON objects or not at all; Ctrl-C (and SIGTERM
// and SIGHUP alike) presses the transfer dialog's Cancel; message boxes are
// printed, and Yes/No questions are asked on the terminal unless answered in
// advance.
//
// Threads: the device thread reports and asks; a watcher thread of the host
// prints what was reported, draws the bar and turns Ctrl-C into Cancel; the
// main thread waits for the device worker. Every write to stderr goes through
// one lock.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "cli/cli_text.h"
#include "protocol/report.h"
#include "session/host.h"
#include "session/status_dialog.h"

namespace corvane::cli {

class TerminalHost : public SessionHost {
 public:
  TerminalHost(ProgressMode mode, bool verbose);
  ~TerminalHost() override;
  TerminalHost(const TerminalHost&) = delete;
  TerminalHost& operator=(const TerminalHost&) = delete;

  std::string address;     // answer to the address prompt
  bool assumeYes = false;  // answer Yes to every question

  // One of several devices run at once: every line printed starts with
  // "LABEL: " (every JSON object gets a "port" member), and Ctrl-C cancels
  // this device's transfer, now or as soon as one starts, rather than ending
  // the program. Set before Attach().
  void SetDeviceLabel(const std::string& label) { m_label = label; }
  // One of several devices, and Ctrl-C has been pressed: a command not yet
  // started is not started (one that runs ends as it would).
  bool InterruptedBeforeStart() const;

  bool AskAddress(std::string& text) override;
  bool MessageBox(const std::string& text, const std::string& caption, Buttons buttons) override;
  void TransferDialogChanged(StatusDialog& dialog) override;

  // Watches `dialog` (the session's) and starts the watcher thread; `cancel`
  // presses its Cancel (the device worker's). Call once, before any operation.
  void Attach(StatusDialog& dialog, std::function<bool()> cancel);
  // Ends the watcher thread; call before the dialog goes away.
  void Detach();
  // Before each operation: a Ctrl-C from now on belongs to it.
  void BeginOperation();
  // After each operation: prints what is left of its reports, clears the bar.
  void EndOperation();
  // True once Ctrl-C pressed Cancel during the current operation.
  bool CancelRequested() const { return m_cancelRequested.load(); }

  // Prints one line on stderr (the bar, if shown, is cleared first).
  void Message(const std::string& text);

  // Installs the handler of SIGINT, SIGTERM and SIGHUP (it only raises a
  // flag the watcher polls): each is taken as Ctrl-C.
  static void InstallInterruptHandler();
  // The exit status of a command that was cancelled: 143 or 129 when SIGTERM
  // or SIGHUP came first, else 130 (Ctrl-C, or a question answered No).
  static int CancelledExitCode();

 private:
  void Watch();
  void OnReport(const Report& report);
  // With m_mutex held:
  void PrintQueued();
  void DrawBar(bool force);
  void ClearBar();
  // A JSON object carries the label inside, not before it.
  void PrintLine(const std::string& line, bool json = false);
  void OnInterrupt();
  void CancelAfterInterrupt();

  ProgressMode m_mode;
  bool m_verbose;
  std::string m_label;            // empty with one device
  unsigned m_interruptsSeen = 0;  // watcher only
  bool m_interrupted = false;     // watcher only: Ctrl-C came (several devices)
  StatusDialog* m_dialog = nullptr;
  std::function<bool()> m_cancel;

  std::mutex m_mutex;
  std::condition_variable m_wake;
  std::deque<Report> m_reports;   // reported, not printed yet
  std::deque<std::string> m_captions;  // transfers begun, not printed yet
  bool m_dirty = false;           // the dialog changed since the bar was drawn
  bool m_stop = false;
  bool m_barShown = false;
  bool m_wasShown = false;        // the dialog was shown at the last change
  std::string m_lastCaption;      // guarded by m_mutex
  std::chrono::steady_clock::time_point m_lastLine{};
  std::atomic<bool> m_cancelRequested{false};
  std::thread m_watcher;
};

}  // namespace corvane::cli
