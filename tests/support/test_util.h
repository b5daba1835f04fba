#pragma once
// Small helpers the test suites share.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <thread>

#include "link/bytes.h"
#include "link/link_error.h"

namespace corvane::test {

// The message of the exception fn raises, or "(no exception)".
inline std::string What(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no exception)";
}

// What a call raised: the kind, the message and whether it was already
// reported, or raised == false when it returned.
struct Raised {
  bool raised = false;
  ErrorKind kind = ErrorKind::kFailed;
  std::string what;
  bool reported = false;
  std::string detail;  // a DeviceError's Detail()
};
inline Raised Catch(const std::function<void()>& fn) {
  Raised r;
  try {
    fn();
  } catch (const DeviceError& e) {
    r = {true, e.Kind(), e.what(), e.Reported(), e.Detail()};
  } catch (const std::exception& e) {
    r = {true, KindOf(e), e.what(), false, ""};
  }
  return r;
}

// A one-connection server on 127.0.0.1 run by a script on its own thread.
struct TcpPeer {
  int listenFd = -1;
  uint16_t port = 0;
  std::thread thread;
  explicit TcpPeer(std::function<void(int fd)> script) {
    listenFd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listenFd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(listenFd, 1);
    socklen_t len = sizeof a;
    ::getsockname(listenFd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    thread = std::thread([this, script] {
      const int fd = ::accept(listenFd, nullptr, nullptr);
      if (fd >= 0) {
        script(fd);
        ::close(fd);
      }
    });
  }
  ~TcpPeer() {
    Join();
    ::close(listenFd);
  }
  // Waits for the script to end (before a test frees what it touches).
  void Join() {
    ::shutdown(listenFd, SHUT_RDWR);
    if (thread.joinable()) thread.join();
  }
  TcpPeer(const TcpPeer&) = delete;
  TcpPeer& operator=(const TcpPeer&) = delete;
};

// Reads n bytes (fewer if the peer closes).
inline Bytes ReadN(int fd, size_t n) {
  Bytes out(n, '\0');
  size_t got = 0;
  while (got < n) {
    const ssize_t r = ::read(fd, out.data() + got, n - got);
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  out.resize(got);
  return out;
}

inline bool WriteAll(int fd, const Bytes& b) {
  size_t at = 0;
  while (at < b.size()) {
    const ssize_t w = ::write(fd, b.data() + at, b.size() - at);
    if (w <= 0) return false;
    at += static_cast<size_t>(w);
  }
  return true;
}

}  // namespace corvane::test
