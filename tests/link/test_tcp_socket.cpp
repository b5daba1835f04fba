#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "link/link_error.h"
#include "link/tcp_socket.h"

namespace corvane {
namespace {

// A listening socket on 127.0.0.1 with a free port.
struct Listener {
  int fd = -1;
  uint16_t port = 0;
  Listener() {
    fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd, 1);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
  }
  ~Listener() { ::close(fd); }
  int Accept() const { return ::accept(fd, nullptr, nullptr); }
};

TEST(TcpSocket, ConnectNotifiesAndReceiveReturnsZeroWhenThePeerCloses) {
  Listener l;
  TcpSocket s;
  int connects = 0, disconnects = 0;
  s.OnConnect = [&] { ++connects; };
  s.OnDisconnect = [&] { ++disconnects; };
  s.Address = "127.0.0.1";
  s.Port = l.port;
  s.Open();
  EXPECT_EQ(connects, 1);
  const int peer = l.Accept();
  s.SendText("V");
  char c = 0;
  ASSERT_EQ(::read(peer, &c, 1), 1);
  EXPECT_EQ(c, 'V');
  ASSERT_EQ(::write(peer, "xyz", 3), 3);
  char buf[8];
  size_t got = 0;
  while (got < 3) got += s.Receive(buf + got, sizeof buf - got);
  EXPECT_EQ(std::string(buf, 3), "xyz");
  ::close(peer);
  EXPECT_EQ(s.Receive(buf, sizeof buf), 0u);
  EXPECT_EQ(disconnects, 1);
  EXPECT_FALSE(s.Active());
  // A closed socket: sends are dropped silently, receives give 0.
  s.SendText("ignored");
  EXPECT_EQ(s.Receive(buf, 1), 0u);
}

TEST(TcpSocket, CloseRaisesDisconnectOnlyForALiveConnection) {
  Listener l;
  TcpSocket s;
  int disconnects = 0;
  s.OnDisconnect = [&] { ++disconnects; };
  s.Close();
  EXPECT_EQ(disconnects, 0);
  s.Address = "127.0.0.1";
  s.Port = l.port;
  s.Open();
  s.Close();
  s.Close();
  EXPECT_EQ(disconnects, 1);
}

TEST(TcpSocket, RefusedConnectionAndBadAddressRaise) {
  Listener l;
  const uint16_t closedPort = l.port;
  ::close(l.fd);
  l.fd = -1;
  TcpSocket s;
  s.Address = "127.0.0.1";
  s.Port = closedPort;
  EXPECT_THROW(s.Open(), DeviceError);
  s.Address = "not an address";
  EXPECT_THROW(s.Open(), DeviceError);
  EXPECT_FALSE(s.Active());
}

TEST(TcpSocket, SilentPeerEndsTheReceiveAtItsDeadline) {
  Listener l;
  TcpSocket s;
  s.Address = "127.0.0.1";
  s.Port = l.port;
  s.TimeoutMs = 50;
  s.Open();
  const int peer = l.Accept();
  char buf[4];
  EXPECT_THROW(s.Receive(buf, 4), DeviceError);
  EXPECT_FALSE(s.Active());
  ::close(peer);
}

}  // namespace
}  // namespace corvane
