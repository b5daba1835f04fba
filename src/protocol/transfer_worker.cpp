#include "protocol/transfer_worker.h"

namespace corvane {

TransferWorker::TransferWorker(ReportHandler onStatus, Clock& clock)
    : m_onStatus(std::move(onStatus)), m_clock(clock) {}

TransferWorker::~TransferWorker() {
  // A derived destructor must have joined already (its members are gone by
  // now); this is the last guard so that no thread outlives its object.
  Terminate();
  WaitFor();
}

void TransferWorker::Start() {
  m_thread = std::thread([this] { Execute(); });
}

void TransferWorker::WaitFor() {
  if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id()) m_thread.join();
}

void TransferWorker::Report(const std::string& text, int kind, int64_t position, int64_t max) {
  if (m_onStatus) m_onStatus(text, kind, position, max);
}

}  // namespace corvane
