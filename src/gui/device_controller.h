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
  // Busy with any command: the window's, or one of a mount on this worker.
  bool Busy() const { return m_worker->Busy(); }
  // A command started here has not had its result handled yet.
  bool CommandRunning() const { return m_running; }
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
  // The worker itself, for a mount whose commands take turns with the window's.
  DeviceWorker& Worker() { return *m_worker; }

 signals:
  void busyChanged(bool busy);
  void refused(const QString& text);
  // A command's result has been handled on the UI thread, and the worker
  // takes the next command.
  void finished();
  // The worker takes commands again, after one of this controller's or of a
  // mount sharing the worker (after `finished` for the former).
  void idle();

 private:
  std::mutex m_mutex;
  std::condition_variable m_handedOver;
  bool m_closing = false;  // guarded by m_mutex
  bool m_running = false;  // UI thread only
  bool m_ownEnded = false;  // device thread only: the command ending is one of Run's
  std::unique_ptr<DeviceWorker> m_worker;
};

}  // namespace corvane
