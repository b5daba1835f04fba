#include "session/device_worker.h"

namespace corvane {

const char* const kDeviceBusyText =
    "The device is busy with another command. Wait until it has finished, then try again.";

DeviceWorker::DeviceWorker(SessionHost& host, LogModel& log, Clock& clock)
    : m_session(std::make_unique<DeviceSession>(host, log, clock)), m_thread([this] { Loop(); }) {}

DeviceWorker::~DeviceWorker() {
  {
    std::lock_guard lock(m_mutex);
    m_stop = true;
  }
  m_wake.notify_all();
  m_thread.join();
}

void DeviceWorker::Loop() {
  for (;;) {
    Operation op;
    Completion done;
    {
      std::unique_lock lock(m_mutex);
      m_wake.wait(lock, [this] { return m_stop || m_op; });
      if (!m_op) break;  // stopping, nothing left to do
      op = std::move(m_op);
      done = std::move(m_done);
      m_op = nullptr;
      m_done = nullptr;
    }
    std::optional<DeviceError> error;
    try {
      op(*m_session);
    } catch (const DeviceError& e) {
      error = e;
    } catch (const std::exception& e) {
      error.emplace(ErrorKind::kFailed, e.what());
    } catch (...) {
      error.emplace(ErrorKind::kFailed, kConnectionErrorText);
    }
    // The command has ended once its owner has taken the result: busy lasts
    // until the completion returns.
    if (done) {
      try {
        done(error);
      } catch (...) {
        // the owner's completion must not end the device thread
      }
    }
    {
      std::lock_guard lock(m_mutex);
      m_busy = false;
    }
  }
  // The port or socket closes on the thread that used it.
  m_session.reset();
}

void DeviceWorker::Submit(Operation op, Completion done) {
  {
    std::lock_guard lock(m_mutex);
    if (m_busy || m_stop) throw DeviceError(ErrorKind::kBusy, kDeviceBusyText);
    m_busy = true;
    m_op = std::move(op);
    m_done = std::move(done);
  }
  m_wake.notify_all();
}

void DeviceWorker::Call(const Operation& op) {
  auto result = std::make_shared<std::promise<std::optional<DeviceError>>>();
  auto future = result->get_future();
  Submit(op, [result](const std::optional<DeviceError>& error) { result->set_value(error); });
  if (auto error = future.get()) throw *error;
}

bool DeviceWorker::Busy() const {
  std::lock_guard lock(m_mutex);
  return m_busy;
}

bool DeviceWorker::Cancel() { return m_session->RequestCancel(); }

}  // namespace corvane
