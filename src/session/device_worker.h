#pragma once
// The one thread that talks to the device. It owns the session (and through
// it the port or socket) for the program's life; the desktop window and the
// command-line tool hand it operations and get a typed result back. Only one
// operation runs at a time: one that arrives meanwhile is refused with the
// busy error, here and nowhere else.
//
// Who may call what: Submit(), Busy() and Cancel() from any thread. The
// operation itself, and its completion, run on the device thread; the
// session is touched there only. Its owner sets it up before the first
// operation; after that, what it shows of the device (the link's state, a
// listing, a result) is what the operations hand back.
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "link/clock.h"
#include "link/link_error.h"
#include "session/device_session.h"

namespace corvane {

// "The device is busy with another command. ..."
extern const char* const kDeviceBusyText;

class DeviceWorker {
 public:
  using Operation = std::function<void(DeviceSession&)>;
  // Runs on the device thread once the operation has ended: no error, or
  // the DeviceError it ended with (any other exception becomes kFailed). The
  // worker stays busy until it returns, so an owner that hands the result to
  // its own thread and waits there keeps later commands out meanwhile.
  using Completion = std::function<void(const std::optional<DeviceError>& error)>;

  DeviceWorker(SessionHost& host, LogModel& log, Clock& clock = Clock::System());
  // Waits for the running operation, then ends the thread; the session is
  // closed on the device thread.
  ~DeviceWorker();
  DeviceWorker(const DeviceWorker&) = delete;
  DeviceWorker& operator=(const DeviceWorker&) = delete;

  // Starts `op` on the device thread. Raises DeviceError(kBusy) without
  // running anything while another operation runs.
  void Submit(Operation op, Completion done);
  // Runs `op` and waits for its end on the calling thread (which must not be
  // the device thread); raises what it raised. For the command-line tool and tests.
  void Call(const Operation& op);
  template <class T>
  T Call(const std::function<T(DeviceSession&)>& op) {
    std::optional<T> result;
    Call([&](DeviceSession& s) { result.emplace(op(s)); });
    return std::move(*result);
  }

  bool Busy() const;
  // Called on the device thread whenever an operation has ended and the
  // worker takes commands again. Set before the first Submit.
  std::function<void()> OnIdle;
  // The transfer dialog's Cancel for the running transfer (refused while
  // the transfer does not allow it); safe from any thread.
  bool Cancel();
  // Cancel, for a program that ends once the transfer has (Ctrl-C): when it
  // is accepted, the pauses for the device's next command are skipped.
  bool CancelBeforeExit();
  // The program is ending (its window closes): the pauses for the device's
  // next command are skipped from now on, and a transfer that may be
  // cancelled is. Safe from any thread.
  void ProgramEnding();
  // The session, for setting it up before the first operation.
  DeviceSession& Session() { return *m_session; }
  bool IsDeviceThread() const { return std::this_thread::get_id() == m_thread.get_id(); }

 private:
  void Loop();

  std::unique_ptr<DeviceSession> m_session;
  mutable std::mutex m_mutex;
  std::condition_variable m_wake;
  Operation m_op;        // guarded by m_mutex
  Completion m_done;     // guarded by m_mutex
  bool m_busy = false;   // guarded by m_mutex
  uint64_t m_finished = 0;         // operations ended, busy cleared; guarded by m_mutex
  std::condition_variable m_idle;  // signalled as each operation has ended
  bool m_stop = false;   // guarded by m_mutex
  std::thread m_thread;
};

}  // namespace corvane
