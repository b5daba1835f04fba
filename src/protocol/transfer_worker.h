#pragma once
// The small base of the transfers (block sender and receiver, the ROM
// upgrade): Run() carries the transfer out on the calling thread, Terminate()
// or the owner's cancel flag stops it at its next read, and every report goes
// to the handler in order.
#include <atomic>
#include <cstddef>
#include <exception>
#include <string>

#include "link/clock.h"
#include "link/link_error.h"
#include "link/serial_port.h"
#include "protocol/report.h"

namespace corvane {

class TransferWorker {
 public:
  virtual ~TransferWorker() = default;
  TransferWorker(const TransferWorker&) = delete;
  TransferWorker& operator=(const TransferWorker&) = delete;

  // Runs the transfer to its end; true when it succeeded. Never throws: a
  // failure is reported, and kept in FailureMessage() and FailureKind().
  bool Run();
  // Asks the running transfer to stop; safe from any thread.
  void Terminate() { m_terminated.store(true); }
  bool Terminated() const { return m_terminated.load() || (m_cancel != nullptr && m_cancel->load()); }
  bool Success() const { return m_success; }
  const std::string& FailureMessage() const { return m_failure; }
  // kCancelled when the transfer ended because it was told to stop.
  ErrorKind FailureKind() const { return m_failureKind; }

 protected:
  // `cancel`, when given, is a flag of the owner (the transfer dialog's Cancel)
  // that stops the transfer like Terminate().
  TransferWorker(ReportHandler onStatus, Clock& clock, const std::atomic<bool>* cancel = nullptr);
  virtual void Execute() = 0;
  void Notify(ReportKind kind, const std::string& text);
  void Notify(const Report& report);
  void NotifyProgress(TransferPhase phase, int64_t done, int64_t total, uint64_t startTick);
  void SetSuccess(bool value) { m_success = value; }
  // Records why the transfer failed (the text it reports).
  void SetFailure(const std::string& message, ErrorKind kind);
  Clock& GetClock() { return m_clock; }

  // How long a failed transfer leaves the line alone after its cancel bytes,
  // so that the device has given up on the transfer and the bytes still on
  // their way have arrived before the next command.
  static constexpr uint32_t kFailurePauseMs = 2000;
  // Ends a failed transfer, from its catch block: records and reports the
  // failure, sends `cancelBytes` CAN bytes on `link` unless `deviceDone` (a
  // device that has ended the transfer would take them for commands), then
  // pauses kFailurePauseMs. `error` is the exception that ended it, or null
  // for one that is not a std::exception.
  void FailTransfer(SerialPort* link, const std::exception* error, size_t cancelBytes, bool deviceDone = false);
  // Sends `count` CAN bytes, quietly: a link that is gone cannot be told.
  static void SendCancelBytes(SerialPort* link, size_t count);
  // The kind a failure that ended a transfer has for its caller. A local
  // file keeps its kind. A link that went away under the transfer (a serial
  // hang-up, a closed connection) is no connection, as it is before a
  // transfer; anything else the device did (a refusal, its cancel, replies
  // that never came right) fails the transfer.
  static ErrorKind TransferFailureKind(const std::exception* error, const SerialPort* link);

 private:
  ReportHandler m_onStatus;
  Clock& m_clock;
  const std::atomic<bool>* m_cancel;
  std::atomic<bool> m_terminated{false};
  bool m_success = false;
  std::string m_failure;
  ErrorKind m_failureKind = ErrorKind::kFailed;
};

}  // namespace corvane
