#include "gui/qt_session_host.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include <exception>

#include "gui/message_box.h"
#include "gui/address_dialog.h"
#include "gui/transfer_dialog.h"

namespace corvane {

void RunOnUiThread(const std::function<void()>& fn) {
  QCoreApplication* app = QCoreApplication::instance();
  if (app == nullptr || QThread::currentThread() == app->thread()) {
    fn();
    return;
  }
  std::exception_ptr error;
  QMetaObject::invokeMethod(
      app,
      [&] {
        try {
          fn();
        } catch (...) {
          error = std::current_exception();
        }
      },
      Qt::BlockingQueuedConnection);
  if (error) std::rethrow_exception(error);
}

bool QtSessionHost::AskAddress(std::string& address) {
  bool ok = false;
  RunOnUiThread([&] { ok = m_address->AskAddress(address); });
  return ok;
}

bool QtSessionHost::MessageBox(const std::string& text, const std::string& caption, Buttons buttons) {
  bool ok = false;
  RunOnUiThread([&] {
    ok = ShowMessageBox(m_window, MessageText(caption), MessageText(text),
                        buttons == Buttons::kYesNo ? MessageKind::kQuestion : MessageKind::kInformation);
  });
  return ok;
}

void QtSessionHost::TransferDialogChanged(StatusDialog& dialog) {
  // Redrawn from the latest state when the UI thread gets to it; changes in
  // between are drawn together (the log has every report).
  QPointer<TransferDialog> view = m_status;
  QMetaObject::invokeMethod(
      m_status, [view, &dialog] { if (view) view->Sync(dialog); }, Qt::QueuedConnection);
}

}  // namespace corvane
