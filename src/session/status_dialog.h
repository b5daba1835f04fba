#pragma once
// The transfer status dialog and the log as plain state, with the rules of
// what each report does. The desktop window and the command-line tool draw
// this state; neither has rules of its own.
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "protocol/report.h"

namespace corvane {

// The log window's lines: one entry per report, never cleared.
class LogModel {
 public:
  // Appends one entry (an entry may hold line breaks).
  void Append(const std::string& text);
  std::vector<std::string> Entries() const;
  size_t Count() const;
  // Called after each append, on the appending thread.
  std::function<void(const std::string&)> OnAppend;

 private:
  mutable std::mutex m_mutex;
  std::vector<std::string> m_entries;
};

class StatusDialog {
 public:
  enum class Result { kNone, kOk, kCancel };

  explicit StatusDialog(LogModel& log) : m_log(log) {}

  // Show's reset: caption, empty label, progress 0 of 1, Cancel shown as asked
  // and enabled; the dialog counts as shown from here on.
  void Begin(const std::string& caption, bool cancelVisible);
  // A worker's report: logged always; changes the dialog only while it is shown.
  void Report(const std::string& text, int kind, int64_t position, int64_t max);
  // The user's Cancel, Escape or close box. Refused (false) while Cancel is disabled.
  bool RequestCancel();

  bool Shown() const { return m_shown; }
  bool Ended() const { return m_result != Result::kNone; }
  Result GetResult() const { return m_result; }
  const std::string& Caption() const { return m_caption; }
  const std::string& Label() const { return m_label; }
  int64_t ProgressMax() const { return m_max; }
  int64_t ProgressPosition() const { return m_position; }
  bool CancelVisible() const { return m_cancelVisible; }
  bool CancelEnabled() const { return m_cancelEnabled; }

  // Called after every change of state (including the end).
  std::function<void()> OnChange;

 private:
  void End(Result r);
  LogModel& m_log;
  std::string m_caption;
  std::string m_label;
  int64_t m_max = 1;
  int64_t m_position = 0;
  bool m_cancelVisible = true;
  bool m_cancelEnabled = true;
  bool m_shown = false;
  Result m_result = Result::kNone;
};

}  // namespace corvane
