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

void StatusDialog::Begin(const std::string& caption, bool cancelVisible) {
  m_caption = caption;
  m_label.clear();
  m_max = 1;
  m_position = 0;
  m_cancelVisible = cancelVisible;
  m_cancelEnabled = true;
  m_shown = true;
  m_result = Result::kNone;
  if (OnChange) OnChange();
}

void StatusDialog::End(Result r) {
  m_result = r;
  m_shown = false;
  if (OnChange) OnChange();
}

void StatusDialog::Report(const std::string& text, int kind, int64_t position, int64_t max) {
  m_log.Append(text);
  if (!m_shown) return;
  if (kind == kReportFinished) {
    End(Result::kOk);
    return;
  }
  m_label = text;
  if (kind == kReportProgress) {
    m_max = max;
    m_position = position;
  } else if (kind == kReportCancelSwitch) {
    m_cancelEnabled = text == "1";
  }
  if (OnChange) OnChange();
}

bool StatusDialog::RequestCancel() {
  if (!m_shown || !m_cancelEnabled) return false;
  End(Result::kCancel);
  return true;
}

}  // namespace corvane
