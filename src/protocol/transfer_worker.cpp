#include "protocol/transfer_worker.h"

#include "protocol/progress.h"

namespace corvane {

TransferWorker::TransferWorker(ReportHandler onStatus, Clock& clock, const std::atomic<bool>* cancel)
    : m_onStatus(std::move(onStatus)), m_clock(clock), m_cancel(cancel) {}

bool TransferWorker::Run() {
  m_success = false;
  m_failure.clear();
  m_failureKind = ErrorKind::kFailed;
  Execute();
  return m_success;
}

void TransferWorker::Notify(ReportKind kind, const std::string& text) {
  if (m_onStatus) m_onStatus(TextReport(kind, text));
}

void TransferWorker::Notify(const Report& report) {
  if (m_onStatus) m_onStatus(report);
}

void TransferWorker::NotifyProgress(TransferPhase phase, int64_t done, int64_t total, uint64_t startTick) {
  if (!m_onStatus || total <= 0) return;
  const uint64_t now = m_clock.NowMs();
  m_onStatus(ProgressReport(phase, done, total, now > startTick ? now - startTick : 0));
}

void TransferWorker::SetFailure(const std::string& message, ErrorKind kind) {
  m_success = false;
  m_failure = message;
  m_failureKind = Terminated() ? ErrorKind::kCancelled : kind;
}

}  // namespace corvane
