#include "gui/device_thread.h"

#include <QEventLoop>
#include <QMetaObject>
#include <QPointer>

#include <memory>

namespace corvane {

DeviceBusy::DeviceBusy()
    : std::runtime_error("The device is busy with another command. Wait until it has finished, then try again.") {}

DeviceThread::DeviceThread(QObject* parent) : QObject(parent), m_thread([this] { Loop(); }) {}

DeviceThread::~DeviceThread() {
  {
    std::lock_guard lock(m_mutex);
    m_stop = true;
  }
  m_wake.notify_all();
  m_thread.join();
}

void DeviceThread::Loop() {
  for (;;) {
    std::function<void()> job;
    {
      std::unique_lock lock(m_mutex);
      m_wake.wait(lock, [this] { return m_stop || m_job; });
      if (!m_job) return;  // stopping, nothing left to do
      job = std::move(m_job);
      m_job = nullptr;
    }
    job();
  }
}

void DeviceThread::Run(const std::function<void()>& job) {
  if (m_busy) throw DeviceBusy();
  struct Pending {
    QEventLoop loop;
    bool done = false;
    std::exception_ptr error;
  };
  auto pending = std::make_shared<Pending>();
  m_busy = true;
  emit busyChanged(true);
  {
    std::lock_guard lock(m_mutex);
    m_job = [this, job, pending] {
      try {
        job();
      } catch (...) {
        pending->error = std::current_exception();
      }
      QMetaObject::invokeMethod(
          this,
          [pending] {
            pending->done = true;
            pending->loop.quit();
          },
          Qt::QueuedConnection);
    };
  }
  m_wake.notify_all();
  while (!pending->done) pending->loop.exec();
  m_busy = false;
  emit busyChanged(false);
  if (pending->error) std::rethrow_exception(pending->error);
}

}  // namespace corvane
