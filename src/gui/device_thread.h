#pragma once
// The one thread on which every session operation runs. The UI thread hands it
// a job and waits in a local event loop, so the window keeps painting and the
// status dialog's Cancel keeps working; the job's exception comes back to the
// caller. Only one job runs at a time: a second one is refused.
#include <QObject>

#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace corvane {

// Raised by DeviceThread::Run when a job is still running.
class DeviceBusy : public std::runtime_error {
 public:
  DeviceBusy();
};

class DeviceThread : public QObject {
  Q_OBJECT

 public:
  explicit DeviceThread(QObject* parent = nullptr);
  ~DeviceThread() override;  // waits for a running job, then joins
  DeviceThread(const DeviceThread&) = delete;
  DeviceThread& operator=(const DeviceThread&) = delete;

  // Runs `job` on the device thread and returns when it has ended, rethrowing
  // what it threw. Call from the UI thread; events keep being handled meanwhile.
  // Raises DeviceBusy, without running anything, while another job runs.
  void Run(const std::function<void()>& job);
  bool Busy() const { return m_busy; }
  bool IsDeviceThread() const { return std::this_thread::get_id() == m_thread.get_id(); }

 signals:
  void busyChanged(bool busy);

 private:
  void Loop();

  std::mutex m_mutex;
  std::condition_variable m_wake;
  std::function<void()> m_job;  // guarded by m_mutex
  bool m_stop = false;          // guarded by m_mutex
  bool m_busy = false;          // UI thread only
  std::thread m_thread;
};

}  // namespace corvane
