#pragma once
// The desktop program's side of the device worker: it hands operations to
// the worker and brings each result back to the UI thread. The UI thread
// never waits for the device; the worker alone decides what is busy.
#include <QObject>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "link/link_error.h"
#include "session/device_worker.h"

namespace corvane {

class DeviceController : public QObject {
  Q_OBJECT

 public:
  using Done = std::function<void(const std::optional<DeviceError>& error)>;

  DeviceController(SessionHost& host, LogModel& log, QObject* parent = nullptr);
  // Waits for a running operation; its result is then dropped.
  ~DeviceController() override;

  // Runs `op` on the device thread; `done` runs on the UI thread with its
  // result, before the worker takes the next command. While another command
  // runs nothing is started: the user hears a beep, `refused` carries the
  // busy text, and false is returned.
  bool Run(DeviceWorker::Operation op, Done done);
  bool Busy() const { return m_worker->Busy(); }
  // Tells the user that a command must wait (a beep and `refused`).
  void Refuse();
  // True while the running command is a transfer the user has cancelled,
  // which only winds down (its cancel bytes, its pauses).
  bool WindingDown() const;
  // The window is closing: no command follows, so the pauses kept for the
  // device's next command end now.
  void ProgramEnding() { m_worker->ProgramEnding(); }
  // The session, for setting it up before the first command; commands hand
  // back what the window shows of it.
  DeviceSession& Session() { return m_worker->Session(); }

 signals:
  void busyChanged(bool busy);
  void refused(const QString& text);
  // A command's result has been handled on the UI thread, and the worker
  // takes the next command.
  void finished();

 private:
  std::mutex m_mutex;
  std::condition_variable m_handedOver;
  bool m_closing = false;  // guarded by m_mutex
  std::unique_ptr<DeviceWorker> m_worker;
};

}  // namespace corvane
