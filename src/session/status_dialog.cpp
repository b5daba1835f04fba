#include "session/status_dialog.h"

namespace corvane {

void LogModel::Append(const std::string& text) {
  {
    std::lock_guard lock(m_mutex);
    m_entries.push_back(text);
  }
  if (OnAppend) OnAppend(text);
}

std::vector<std::string> LogModel::Entries() const {
  std::lock_guard lock(m_mutex);
  return m_entries;
}

size_t LogModel::Count() const {
  std::lock_guard lock(m_mutex);
  return m_entries.size();
}

void StatusDialog::Changed() {
  if (OnChange) OnChange();
}

StatusDialog::State StatusDialog::Snapshot() const {
  std::lock_guard lock(m_mutex);
  return m_state;
}

void StatusDialog::Begin(const std::string& caption, bool cancelVisible) {
  {
    std::lock_guard lock(m_mutex);
    m_state = State{};
    m_state.caption = caption;
    m_state.cancelVisible = cancelVisible;
    m_state.shown = true;
    m_cancel.Reset();
  }
  Changed();
}

void StatusDialog::Report(const corvane::Report& report) {
  Report(ReportText(report), report.kind, report.done, report.total);
  if (OnReport) OnReport(report);
}

void StatusDialog::Report(const std::string& text, int kind, int64_t position, int64_t max) {
  m_log.Append(text);
  {
    std::lock_guard lock(m_mutex);
    if (!m_state.shown) return;
    if (kind == kReportFinished) {
      m_state.result = Result::kOk;
      m_state.shown = false;
    } else {
      m_state.label = text;
      if (kind == kReportProgress) {
        m_state.max = max;
        m_state.position = position;
      } else if (kind == kReportCancelSwitch) {
        m_state.cancelEnabled = text == "1";
      }
    }
  }
  Changed();
}

bool StatusDialog::RequestCancel(bool programEnding) {
  {
    std::lock_guard lock(m_mutex);
    if (!m_state.shown || !m_state.cancelEnabled) return false;
    m_state.result = Result::kCancel;
    m_state.shown = false;
    // Ending first, so that the transfer it wakes skips its pauses.
    if (programEnding) m_cancel.SetEnding();
    m_cancel.Raise();
  }
  Changed();
  return true;
}

void StatusDialog::ProgramEnding() {
  m_cancel.SetEnding();
  RequestCancel(true);
}

}  // namespace corvane
