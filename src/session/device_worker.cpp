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
      ++m_finished;
    }
    m_idle.notify_all();
    if (OnIdle) OnIdle();
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
  // Returns once the worker is free again, not merely once the result is
  // known: a Call right after this one must not find it still busy.
  std::optional<DeviceError> error;
  uint64_t ticket = 0;  // the value m_finished takes when this operation has ended
  Submit(op, [&](const std::optional<DeviceError>& e) {
    error = e;
    std::lock_guard lock(m_mutex);
    ticket = m_finished + 1;
  });
  std::unique_lock lock(m_mutex);
  m_idle.wait(lock, [&] { return ticket != 0 && m_finished >= ticket; });
  lock.unlock();
  if (error) throw *error;
}

bool DeviceWorker::Busy() const {
  std::lock_guard lock(m_mutex);
  return m_busy;
}

bool DeviceWorker::Cancel() { return m_session->RequestCancel(); }

bool DeviceWorker::CancelBeforeExit() { return m_session->RequestCancel(true); }

void DeviceWorker::ProgramEnding() { m_session->GetStatusDialog().ProgramEnding(); }

}  // namespace corvane
