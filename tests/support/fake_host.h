#pragma once
// A SessionHost for tests: answers the address prompt from a preset value,
// records message boxes, and runs the status dialog's modal wait on a
// condition variable, where a test may press Cancel.
#include <condition_variable>
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
  std::vector<std::string> boxes;  // caption + ": " + text; read with Boxes() while workers run
  bool answerYes = true;
  // Called while the status dialog is shown (each time it changes); a test may cancel from here.
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
  void Synchronize(const std::function<void()>& fn) override {
    std::lock_guard lock(m_mutex);
    fn();
    m_changed.notify_all();
  }
  void RunStatusDialog(StatusDialog& dialog) override {
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [&] {
      if (!dialog.Ended() && onDialogChange) onDialogChange(dialog);
      if (!dialog.Ended() && cancelWhen && cancelWhen(dialog)) dialog.RequestCancel();
      return dialog.Ended();
    });
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_changed;
};

}  // namespace corvane::test
