#include "upgrade/upgrade_system.h"

#include "upgrade/upgrade_worker.h"

namespace corvane {

bool UpgradeSystem(DeviceSession& session, const std::string& imagePath) {
  session.BeginStatus("Upgrade system", true);
  UpgradeWorker thread(
      session.Handle(), imagePath, session.ThreadMessage(), session.GetClock(),
      [&session](const std::string& text, const std::string& caption) {
        session.Host().MessageBox(text, caption, SessionHost::Buttons::kOk);
      },
      [&session](const std::string& line) { session.LogAppend(line); });
  // The dialog ends by the thread's final report or by the user's Cancel;
  // either way the thread is told to stop and waited for, also when the
  // dialog itself fails (the thread's destructor does the same then).
  session.RunStatus();
  thread.Terminate();
  thread.WaitFor();
  return thread.Success();
}

}  // namespace corvane
