#include "upgrade/upgrade_system.h"

#include "link/cancel_signal.h"

#include "upgrade/upgrade_worker.h"

namespace corvane {

void UpgradeSystem(DeviceSession& session, const std::string& imagePath) {
  session.BeginStatus("Upgrade system", true);
  // Cancel wakes a wait on the port at once, as in the transfers.
  CancelBinding<SerialPort> wake(session.Handle(), session.Cancel());
  UpgradeWorker upgrade(
      session.Handle(), imagePath, session.ThreadMessage(), session.GetClock(),
      [&session](const std::string& text, const std::string& caption) {
        session.Host().MessageBox(text, caption, SessionHost::Buttons::kOk);
      },
      [&session](const std::string& line) { session.LogAppend(line); }, &session.CancelFlag());
  // A failure was told in a message box by the upgrade itself.
  if (!upgrade.Run()) throw DeviceError(upgrade.FailureKind(), upgrade.FailureMessage()).MarkReported();
}

}  // namespace corvane
