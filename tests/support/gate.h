#pragma once
// A one-shot gate between threads: one opens it, others wait for it.
#include <condition_variable>
#include <mutex>

namespace corvane::test {

class Gate {
 public:
  void Open() {
    std::lock_guard lock(m_mutex);
    m_open = true;
    m_cv.notify_all();
  }
  void Wait() {
    std::unique_lock lock(m_mutex);
    m_cv.wait(lock, [&] { return m_open; });
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_cv;
  bool m_open = false;
};

}  // namespace corvane::test
