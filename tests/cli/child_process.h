#pragma once
// A program run as a child process with its stdout and stderr on pipes: read
// line by line with a deadline, signalled, and waited for with a deadline.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace corvane::test {

class ChildProcess {
 public:
  explicit ChildProcess(const std::vector<std::string>& argv) {
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    // The child starts with SIGINT, SIGTERM and SIGHUP at their defaults,
    // whatever the test runner set.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGHUP);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const int rc = ::posix_spawn(&m_pid, args[0], &actions, &attr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    ::close(out[1]);
    ::close(err[1]);
    m_out = out[0];
    m_err = err[0];
    if (rc != 0) {
      m_pid = -1;
      throw std::runtime_error("cannot run " + argv[0]);
    }
    // Readable once the child has ended, so waiting needs no polling loop.
    m_pidFd = static_cast<int>(::syscall(SYS_pidfd_open, m_pid, 0));
  }
  ~ChildProcess() {
    if (m_pid > 0 && !m_status) {
      ::kill(m_pid, SIGKILL);
      Wait(std::chrono::seconds(10));
    }
    ::close(m_out);
    ::close(m_err);
    if (m_pidFd >= 0) ::close(m_pidFd);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  void Signal(int sig) const {
    if (m_pid > 0 && !m_status) ::kill(m_pid, sig);
  }

  // The next line of stdout or stderr (without its line feed), or nothing when
  // the stream ended or the deadline passed. Everything read is kept.
  std::optional<std::string> OutLine(std::chrono::milliseconds within) { return Line(m_out, m_outBuf, m_outAll, within); }
  std::optional<std::string> ErrLine(std::chrono::milliseconds within) { return Line(m_err, m_errBuf, m_errAll, within); }
  // Reads stderr until a line satisfies `pred`; that line, or nothing.
  template <class Pred>
  std::optional<std::string> ErrLineWhere(Pred pred, std::chrono::milliseconds within) {
    const auto end = std::chrono::steady_clock::now() + within;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      auto line = ErrLine(left);
      if (!line) return std::nullopt;
      if (pred(*line)) return line;
    }
  }

  // Waits for the end (reading both pipes meanwhile); the exit status, 128 +
  // the signal for a killed child, or nothing when the deadline passed.
  std::optional<int> Wait(std::chrono::milliseconds within) {
    const auto end = std::chrono::steady_clock::now() + within;
    while (!m_status) {
      int status = 0;
      const pid_t r = ::waitpid(m_pid, &status, WNOHANG);
      if (r == m_pid) {
        m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        break;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      // Keep the pipes flowing so the child never blocks on a full one, and
      // wake when it ends (without a process descriptor, check every 20 ms).
      pollfd fds[3] = {{m_pidFd, POLLIN, 0}, {m_outOpen ? m_out : -1, POLLIN, 0}, {m_errOpen ? m_err : -1, POLLIN, 0}};
      const int64_t wait = m_pidFd >= 0 ? left.count() : std::min<int64_t>(left.count(), 20);
      ::poll(fds, 3, static_cast<int>(wait));
      m_outOpen = Drain(m_out, m_outBuf, m_outAll) && m_outOpen;
      m_errOpen = Drain(m_err, m_errBuf, m_errAll) && m_errOpen;
    }
    Drain(m_out, m_outBuf, m_outAll);
    Drain(m_err, m_errBuf, m_errAll);
    return m_status;
  }

  // All that was read of each stream so far.
  const std::string& Out() const { return m_outAll; }
  const std::string& Err() const { return m_errAll; }

 private:
  // Moves what is waiting on fd into buf and all (never blocks).
  static bool Drain(int fd, std::string& buf, std::string& all) {
    bool open = true;
    for (;;) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 0) <= 0) break;
      char chunk[4096];
      const ssize_t n = ::read(fd, chunk, sizeof chunk);
      if (n <= 0) {
        open = false;
        break;
      }
      buf.append(chunk, static_cast<size_t>(n));
      all.append(chunk, static_cast<size_t>(n));
    }
    return open;
  }

  static std::optional<std::string> Line(int fd, std::string& buf, std::string& all, std::chrono::milliseconds within) {
    const auto end = std::chrono::steady_clock::now() + within;
    for (;;) {
      if (const auto nl = buf.find('\n'); nl != std::string::npos) {
        std::string line = buf.substr(0, nl);
        buf.erase(0, nl + 1);
        return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char chunk[4096];
      const ssize_t n = ::read(fd, chunk, sizeof chunk);
      if (n <= 0) {
        if (buf.empty()) return std::nullopt;
        std::string line = std::move(buf);
        buf.clear();
        return line;
      }
      buf.append(chunk, static_cast<size_t>(n));
      all.append(chunk, static_cast<size_t>(n));
    }
  }

  pid_t m_pid = -1;
  int m_pidFd = -1;
  bool m_outOpen = true;
  bool m_errOpen = true;
  int m_out = -1;
  int m_err = -1;
  std::string m_outBuf, m_errBuf, m_outAll, m_errAll;
  std::optional<int> m_status;
};

}  // namespace corvane::test
