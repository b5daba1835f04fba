#pragma once
// A pseudo-terminal pair for the tests that need a real terminal line: the
// master is the far end, where a test plays the device; the slave (its path
// to open, or its descriptor) is the end the port under test uses. Both are
// closed on every path, a constructor that fails half-way included.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace corvane::test {

class PtyPair {
 public:
  // kRaw sets both ends raw; kAsOpened leaves the slave as the system made
  // it, for tests of a port that sets up the line itself.
  enum class Slave { kRaw, kAsOpened };

  explicit PtyPair(Slave slave = Slave::kRaw) {
    int master = -1;
    int slaveFd = -1;
    if (::openpty(&master, &slaveFd, nullptr, nullptr, nullptr) != 0) Fail("openpty");
    m_master.fd = master;
    m_slave.fd = slaveFd;
    char name[256] = {};
    if (::ptsname_r(master, name, sizeof name) != 0) Fail("ptsname_r");
    m_path = name;
    MakeRaw(master);
    if (slave == Slave::kRaw) MakeRaw(slaveFd);
  }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  int Master() const { return m_master.fd; }
  int SlaveFd() const { return m_slave.fd; }
  const std::string& SlavePath() const { return m_path; }
  // The far end goes away (as when the device is killed); the slave stays.
  void CloseMaster() { m_master.Close(); }

  // Writes `bytes` at the master end, all at once.
  void Send(const std::string& bytes) const {
    ASSERT_EQ(::write(Master(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // Reads exactly `n` bytes at the master end, waiting for them (fewer only
  // when the line fails).
  std::string Take(size_t n) const {
    std::string out;
    char buf[2048];
    while (out.size() < n) {
      const ssize_t r = ::read(Master(), buf, std::min(sizeof buf, n - out.size()));
      if (r <= 0) break;
      out.append(buf, static_cast<size_t>(r));
    }
    return out;
  }
  // What the slave end has written and the master not yet read, without waiting.
  std::string Pending() const {
    std::string out;
    char buf[4096];
    for (;;) {
      pollfd p{Master(), POLLIN, 0};
      if (::poll(&p, 1, 0) != 1) break;
      const ssize_t r = ::read(Master(), buf, sizeof buf);
      if (r <= 0) break;
      out.append(buf, static_cast<size_t>(r));
    }
    return out;
  }

 private:
  struct Fd {
    int fd = -1;
    ~Fd() { Close(); }
    void Close() {
      if (fd >= 0) ::close(fd);
      fd = -1;
    }
  };
  [[noreturn]] static void Fail(const char* what) {
    throw std::runtime_error(std::string("pseudo-terminal: ") + what + ": " + std::strerror(errno));
  }
  static void MakeRaw(int fd) {
    termios t{};
    if (::tcgetattr(fd, &t) != 0) Fail("tcgetattr");
    ::cfmakeraw(&t);
    if (::tcsetattr(fd, TCSANOW, &t) != 0) Fail("tcsetattr");
  }

  Fd m_master;
  Fd m_slave;
  std::string m_path;
};

}  // namespace corvane::test
