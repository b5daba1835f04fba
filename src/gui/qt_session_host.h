#pragma once
// The session's host in the desktop program: every call is carried out on the
// UI thread, whichever thread the session calls from (normally the device
// thread, or a worker thread for reports).
#include <QObject>

#include <functional>
#include <string>

#include "session/host.h"

class QWidget;

namespace corvane {

class TransferDialog;
class AddressDialog;

// Runs `fn` on the UI thread and returns once it has run. On the UI thread it
// is a plain call; from elsewhere the caller blocks until the UI has run it.
// An exception thrown by `fn` is raised again on the calling thread.
void RunOnUiThread(const std::function<void()>& fn);

class QtSessionHost final : public SessionHost {
 public:
  QtSessionHost(QWidget* window, AddressDialog* address, TransferDialog* status)
      : m_window(window), m_address(address), m_status(status) {}

  bool AskAddress(std::string& address) override;
  bool MessageBox(const std::string& text, const std::string& caption, Buttons buttons) override;
  void Synchronize(const std::function<void()>& fn) override;
  void RunStatusDialog(StatusDialog& dialog) override;

 private:
  QWidget* m_window;
  AddressDialog* m_address;
  TransferDialog* m_status;
};

}  // namespace corvane
