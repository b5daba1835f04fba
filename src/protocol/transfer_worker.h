#pragma once
// The small base the worker threads share: started on construction, a
// terminate flag, WaitFor joins, Success is read after.
#include <atomic>
#include <string>
#include <thread>

#include "link/clock.h"
#include "protocol/report.h"

namespace corvane {

class TransferWorker {
 public:
  virtual ~TransferWorker();
  TransferWorker(const TransferWorker&) = delete;
  TransferWorker& operator=(const TransferWorker&) = delete;

  void Terminate() { m_terminated.store(true); }
  bool Terminated() const { return m_terminated.load(); }
  // Joins the thread (once); safe to call repeatedly.
  void WaitFor();
  bool Success() const { return m_success.load(); }

 protected:
  TransferWorker(ReportHandler onStatus, Clock& clock);
  // Derived constructors call Start() last, once their members are set.
  void Start();
  virtual void Execute() = 0;
  // Hands a report to the host and waits until it has been handled.
  void Report(const std::string& text, int kind, int64_t position = 0, int64_t max = 0);
  void SetSuccess(bool value) { m_success.store(value); }
  Clock& GetClock() { return m_clock; }

 private:
  ReportHandler m_onStatus;
  Clock& m_clock;
  std::atomic<bool> m_terminated{false};
  std::atomic<bool> m_success{false};
  std::thread m_thread;
};

}  // namespace corvane
