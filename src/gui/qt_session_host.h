#pragma once
// The session's host in the desktop program: the session calls it from the
// device thread; prompts and message boxes are shown on the UI thread while
// the device thread waits for the answer, and the transfer dialog is redrawn
// there from the model's state without holding the device thread.
#include <QObject>
#include <QPointer>

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
  void TransferDialogChanged(StatusDialog& dialog) override;

 private:
  QWidget* m_window;
  AddressDialog* m_address;
  QPointer<TransferDialog> m_status;
};

}  // namespace corvane
