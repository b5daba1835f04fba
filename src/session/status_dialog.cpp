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
    if (m_inJob) {
      // One transfer of a job: the job's caption stays, and so does a Cancel
      // pressed between transfers (the transfer then stops at once).
      if (m_state.result == Result::kCancel) return;
      m_state.label.clear();
      m_state.max = 1;
      m_state.position = 0;
      m_state.cancelVisible = cancelVisible;
      m_state.cancelEnabled = true;
      m_state.shown = true;
      m_state.result = Result::kNone;
      return;
    }
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
      if (m_inJob) return;  // the job's dialog stays for the next transfer
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

std::string StatusDialog::JobCaption() const {
  return m_jobProgress.empty() ? m_jobCaption : m_jobCaption + ": " + m_jobProgress;
}

void StatusDialog::BeginJob(const std::string& caption) {
  {
    std::lock_guard lock(m_mutex);
    m_inJob = true;
    m_jobCaption = caption;
    m_jobProgress.clear();
    m_state = State{};
    m_state.caption = caption;
    m_state.shown = true;
    m_cancel.Reset();
  }
  Changed();
}

void StatusDialog::SetJobProgress(const std::string& text) {
  {
    std::lock_guard lock(m_mutex);
    if (!m_inJob) return;
    m_jobProgress = text;
    m_state.caption = JobCaption();
    // The bar is the next step's: the last one's full bar is not left standing.
    m_state.max = 1;
    m_state.position = 0;
  }
  Changed();
}

void StatusDialog::EndJob() {
  {
    std::lock_guard lock(m_mutex);
    if (!m_inJob) return;
    m_inJob = false;
    if (m_state.shown) {
      m_state.shown = false;
      m_state.result = m_cancel.Raised() ? Result::kCancel : Result::kOk;
    }
  }
  Changed();
}

bool StatusDialog::InJob() const {
  std::lock_guard lock(m_mutex);
  return m_inJob;
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
