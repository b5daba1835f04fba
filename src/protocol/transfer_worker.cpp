#include "protocol/transfer_worker.h"

#include "protocol/progress.h"
#include "protocol/wire.h"

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

ErrorKind TransferWorker::TransferFailureKind(const std::exception* error, const SerialPort* link) {
  if (error == nullptr) return ErrorKind::kFailed;
  const ErrorKind kind = KindOf(*error);
  if (kind == ErrorKind::kLocalFile) return kind;
  if (kind == ErrorKind::kNoConnection && link != nullptr && link->HungUp()) return kind;
  return ErrorKind::kFailed;
}

void TransferWorker::SendCancelBytes(SerialPort* link, size_t count) {
  try {
    WriteAll(link, Bytes(count, static_cast<char>(kCan)));
  } catch (...) {
    // the link is gone; the device cannot be told
  }
}

void TransferWorker::FailTransfer(SerialPort* link, const std::exception* error, size_t cancelBytes,
                                  bool deviceDone) {
  const std::string message = error != nullptr ? error->what() : kConnectionErrorText;
  SetFailure(message, TransferFailureKind(error, link));
  try {
    Notify(kReportMessage, message);
  } catch (...) {
    // nobody left to tell
  }
  if (deviceDone) return;
  SendCancelBytes(link, cancelBytes);
  m_clock.SleepMs(kFailurePauseMs);
}

}  // namespace corvane
