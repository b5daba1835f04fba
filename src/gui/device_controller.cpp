#include "gui/device_controller.h"

#include <QApplication>
#include <QMetaObject>
#include <QThread>

#include "gui/message_box.h"

namespace corvane {

DeviceController::DeviceController(SessionHost& host, LogModel& log, QObject* parent)
    : QObject(parent), m_worker(std::make_unique<DeviceWorker>(host, log)) {}

DeviceController::~DeviceController() = default;

bool DeviceController::Run(DeviceWorker::Operation op, Done done) {
  auto finish = [this, done](const std::optional<DeviceError>& error) {
    // On the device thread: the result is handled on the UI thread while the
    // worker waits, so no command can slip in between.
    QMetaObject::invokeMethod(
        this,
        [this, &done, &error] {
          emit busyChanged(false);
          if (done) done(error);
          emit finished();
        },
        Qt::BlockingQueuedConnection);
  };
  try {
    emit busyChanged(true);
    m_worker->Submit(std::move(op), finish);
  } catch (const DeviceError&) {
    emit busyChanged(Busy());
    Refuse();
    return false;
  }
  return true;
}

void DeviceController::Refuse() {
  QApplication::beep();
  emit refused(MessageText(kDeviceBusyText));
}

}  // namespace corvane
