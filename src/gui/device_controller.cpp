#include "gui/device_controller.h"

#include <QApplication>
#include <QMetaObject>

#include "gui/message_box.h"

namespace corvane {

DeviceController::DeviceController(SessionHost& host, LogModel& log, QObject* parent)
    : QObject(parent), m_worker(std::make_unique<DeviceWorker>(host, log)) {
  // Told once the worker takes commands again, so that a command started
  // from `finished` is never refused.
  m_worker->OnIdle = [this] {
    const bool own = m_ownEnded;
    m_ownEnded = false;
    QMetaObject::invokeMethod(
        this,
        [this, own] {
          emit busyChanged(false);
          if (own) emit finished();
          emit idle();
        },
        Qt::QueuedConnection);
  };
}

DeviceController::~DeviceController() {
  // A command still running must not wait for a UI thread that is going away.
  {
    std::lock_guard lock(m_mutex);
    m_closing = true;
  }
  m_handedOver.notify_all();
  // Nobody sends the device another command: no pause for one.
  m_worker->ProgramEnding();
  m_worker.reset();
}

bool DeviceController::Run(DeviceWorker::Operation op, Done done) {
  auto finish = [this, done](const std::optional<DeviceError>& error) {
    // On the device thread: the result is handled on the UI thread while the
    // worker waits, so no command can slip in between.
    auto handled = std::make_shared<bool>(false);
    QMetaObject::invokeMethod(
        this,
        [this, done, error, handled] {
          m_running = false;
          if (done) done(error);
          {
            std::lock_guard lock(m_mutex);
            *handled = true;
          }
          m_handedOver.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock lock(m_mutex);
    m_handedOver.wait(lock, [&] { return *handled || m_closing; });
    m_ownEnded = true;
  };
  if (Busy()) {
    Refuse();
    return false;
  }
  // A mount on the same worker may have taken it since.
  try {
    m_worker->Submit(std::move(op), finish);
  } catch (const DeviceError& e) {
    if (e.Kind() != ErrorKind::kBusy) throw;
    Refuse();
    return false;
  }
  m_running = true;
  emit busyChanged(true);
  return true;
}

bool DeviceController::WindingDown() const {
  // The transfer dialog's model is thread-safe: it may be read while the command runs.
  return Busy() && m_worker->Session().GetStatusDialog().GetResult() == StatusDialog::Result::kCancel;
}

void DeviceController::Refuse() {
  QApplication::beep();
  emit refused(MessageText(kDeviceBusyText));
}

}  // namespace corvane
