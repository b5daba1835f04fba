#pragma once
// A SessionHost for tests: answers the address prompt from a preset value,
// records message boxes, and watches the transfer dialog, where a test may
// press Cancel as it changes.
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "session/host.h"
#include "session/status_dialog.h"

namespace corvane::test {

class FakeHost : public SessionHost {
 public:
  std::string address = "127.0.0.1";
  bool confirmAddress = true;
  int addressPrompts = 0;
  std::vector<std::string> boxes;  // caption + ": " + text; read with Boxes() while transfers run
  bool answerYes = true;
  // Called while the transfer dialog is shown (each time it changes); a test may cancel from here.
  std::function<void(StatusDialog&)> onDialogChange;
  // Presses Cancel when it returns true (checked whenever the dialog changes).
  std::function<bool(const StatusDialog&)> cancelWhen;

  std::vector<std::string> Boxes() {
    std::lock_guard lock(m_mutex);
    return boxes;
  }

  bool AskAddress(std::string& text) override {
    std::lock_guard lock(m_mutex);
    ++addressPrompts;
    text = address;
    return confirmAddress;
  }
  bool MessageBox(const std::string& text, const std::string& caption, Buttons) override {
    std::lock_guard lock(m_mutex);
    boxes.push_back(caption + ": " + text);
    return answerYes;
  }
  void TransferDialogChanged(StatusDialog& dialog) override {
    if (dialog.Ended()) return;
    if (onDialogChange) onDialogChange(dialog);
    if (!dialog.Ended() && cancelWhen && cancelWhen(dialog)) dialog.RequestCancel();
  }

 private:
  std::mutex m_mutex;
};

}  // namespace corvane::test
