#pragma once
// An in-memory serial port with a scripted peer. Everything the code under
// test writes is recorded and handed to the peer, which may queue bytes to be
// read. A read that finds too few bytes advances the fake clock by its whole
// time-out (calling the peer's idle hook first, so a peer can answer late)
// and returns a short count, as a real port would after waiting.
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

#include "fake_clock.h"
#include "link/link_error.h"
#include "link/serial_port.h"

namespace corvane::test {

class ScriptedPort final : public SerialPort {
 public:
  explicit ScriptedPort(FakeClock& clock, std::string name = "/dev/ttyFAKE0") : m_clock(clock), m_name(std::move(name)) {}

  // Peer hooks; run on the thread that uses the port.
  std::function<void(ScriptedPort&, const Bytes& written)> OnWrite;
  // Called when a read would time out; may Queue() bytes.
  std::function<void(ScriptedPort&)> OnIdle;
  // Makes every operation fail (a cable pulled out).
  bool Broken = false;

  void Queue(const Bytes& bytes) {
    std::lock_guard lock(m_mutex);
    for (char c : bytes) m_input.push_back(static_cast<uint8_t>(c));
  }
  void QueueByte(uint8_t b) { Queue(Bytes(1, static_cast<char>(b))); }
  Bytes Written() const {
    std::lock_guard lock(m_mutex);
    return m_written;
  }
  void ClearWritten() {
    std::lock_guard lock(m_mutex);
    m_written.clear();
  }
  size_t Pending() const {
    std::lock_guard lock(m_mutex);
    return m_input.size();
  }
  int Purges() const { return m_purges; }
  uint32_t TimeoutConstant() const { return m_constant; }
  uint32_t TimeoutMultiplier() const { return m_multiplier; }

  ReadTimeout GetReadTimeout() const override { return {m_constant, m_multiplier}; }
  void SetReadTimeout(ReadTimeout timeout) override {
    if (Broken) ConnectionError();
    m_constant = timeout.baseMs;
    m_multiplier = timeout.perByteMs;
  }
  size_t Read(uint8_t* buf, size_t n) override {
    if (Broken) ConnectionError();
    size_t got = Take(buf, n);
    if (got < n && OnIdle) {
      OnIdle(*this);
      got += Take(buf + got, n - got);
    }
    if (got < n) m_clock.Advance(m_constant + uint64_t{m_multiplier} * n);
    return got;
  }
  void Write(const uint8_t* buf, size_t n) override {
    if (Broken) ConnectionError();
    const Bytes data(reinterpret_cast<const char*>(buf), n);
    {
      std::lock_guard lock(m_mutex);
      m_written += data;
    }
    if (OnWrite) OnWrite(*this, data);
  }
  void Purge() override {
    if (Broken) ConnectionError();
    ++m_purges;
    std::lock_guard lock(m_mutex);
    m_input.clear();
  }
  Clock& GetClock() override { return m_clock; }
  std::string Name() const override { return m_name; }

 private:
  size_t Take(uint8_t* buf, size_t n) {
    std::lock_guard lock(m_mutex);
    size_t got = 0;
    while (got < n && !m_input.empty()) {
      buf[got++] = m_input.front();
      m_input.pop_front();
    }
    return got;
  }

  FakeClock& m_clock;
  std::string m_name;
  mutable std::mutex m_mutex;
  std::deque<uint8_t> m_input;
  Bytes m_written;
  uint32_t m_constant = 0;
  uint32_t m_multiplier = 0;
  int m_purges = 0;
};

}  // namespace corvane::test
