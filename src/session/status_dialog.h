#pragma once
// The transfer dialog and the log as plain state, with the rules of what
// each report does. The session changes it on its own thread as reports come;
// the desktop window and the command-line tool draw it (from any thread) and
// press its Cancel. Neither has rules of its own.
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "link/cancel_signal.h"
#include "protocol/report.h"

namespace corvane {

// The log window's lines: one entry per report, never cleared.
class LogModel {
 public:
  // Appends one entry (an entry may hold line breaks).
  void Append(const std::string& text);
  std::vector<std::string> Entries() const;
  size_t Count() const;
  // Called after each append, on the appending thread, in the order of the appends.
  std::function<void(const std::string&)> OnAppend;

 private:
  mutable std::mutex m_mutex;
  std::vector<std::string> m_entries;
};

class StatusDialog {
 public:
  enum class Result { kNone, kOk, kCancel };

  // What the dialog shows at one moment.
  struct State {
    bool shown = false;
    Result result = Result::kNone;
    std::string caption;
    std::string label;
    int64_t max = 1;
    int64_t position = 0;
    bool cancelVisible = true;
    bool cancelEnabled = true;
  };

  explicit StatusDialog(LogModel& log) : m_log(log) {}

  // The reset when a transfer begins: caption, empty label, progress 0 of 1,
  // Cancel shown as asked and enabled, the cancel flag down; the dialog
  // counts as shown from here on.
  void Begin(const std::string& caption, bool cancelVisible);
  // A transfer's report: logged always; changes the dialog only while it is shown.
  void Report(const corvane::Report& report);
  void Report(const std::string& text, int kind, int64_t position, int64_t max);
  // A run of transfers under one dialog (a folder copy, a backup): from
  // BeginJob to EndJob the dialog stays shown between transfers, each
  // transfer's Begin keeps a Cancel already pressed, and the caption tells
  // how far the whole run is ("Backing up the device: 3 of 40 files").
  void BeginJob(const std::string& caption);
  // The job's progress, shown after its caption.
  void SetJobProgress(const std::string& text);
  // Ends the job: the dialog closes (as cancelled if Cancel was pressed).
  void EndJob();
  bool InJob() const;

  // The user's Cancel, Escape or close box: ends the dialog and raises the
  // cancel, which wakes the transfer's wait on the link. Refused (false)
  // while Cancel is disabled or nothing is shown. `programEnding`: the
  // program ends once the transfer has (Ctrl-C in the command-line tool), so
  // the pauses for the device's next command are skipped; only when accepted.
  bool RequestCancel(bool programEnding = false);
  // The program is ending (the window closes): the pauses for the device's
  // next command are skipped, and a transfer that may be cancelled is.
  void ProgramEnding();
  // Raised by RequestCancel; the running transfer polls it.
  const std::atomic<bool>& CancelFlag() const { return m_cancel.Flag(); }
  // The same cancel with its wake descriptor, to bind the link's waits to.
  const CancelSignal& Cancel() const { return m_cancel; }

  State Snapshot() const;
  bool Shown() const { return Snapshot().shown; }
  bool Ended() const { return Snapshot().result != Result::kNone; }
  Result GetResult() const { return Snapshot().result; }
  std::string Caption() const { return Snapshot().caption; }
  std::string Label() const { return Snapshot().label; }
  int64_t ProgressMax() const { return Snapshot().max; }
  int64_t ProgressPosition() const { return Snapshot().position; }
  bool CancelVisible() const { return Snapshot().cancelVisible; }
  bool CancelEnabled() const { return Snapshot().cancelEnabled; }

  // Called after every change of state (including the end), on the thread
  // that made it, with no lock held.
  std::function<void()> OnChange;
  // Called with every transfer report as data, after it was logged and shown,
  // on the thread that made it, in order (also while nothing is shown). For
  // a host that prints each report as it comes.
  std::function<void(const corvane::Report&)> OnReport;

 private:
  void Changed();
  std::string JobCaption() const;  // with m_mutex held
  LogModel& m_log;
  mutable std::mutex m_mutex;
  State m_state;
  bool m_inJob = false;       // guarded by m_mutex
  std::string m_jobCaption;   // guarded by m_mutex
  std::string m_jobProgress;  // guarded by m_mutex
  CancelSignal m_cancel;
};

}  // namespace corvane
