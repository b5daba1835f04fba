// The session's TCP/IP framing against a local server: the address prompt,
// four-byte lengths, announced packets beyond the cap, deadlines of a device
// that drips its answer, and peers that close.
#include "session_rig.h"

namespace corvane {
namespace {

using namespace session_test;

TEST(Tcp, ConnectsThroughTheAddressPromptAndFramesWithFourByteLengths) {
  Bytes seen;
  TcpPeer peer([&](int fd) {
    seen = ReadN(fd, 1 + 4 + 5);  // 'C' and its packet "\\Dir\\"
    seen += ReadN(fd, 1);         // 'L'
    WriteAll(fd, FrameTcpPacket(EncodeQuillonRecord("f", 7, false)));
    ReadN(fd, 1);  // wait for the PC to close
  });
  Rig rig(true);
  rig.session.Socket.Port = peer.port;
  rig.host.address = "127.0.0.1";
  rig.session.Connect(LinkTarget::Named("tcp/ip"));
  EXPECT_TRUE(rig.session.IsTcp());
  EXPECT_TRUE(rig.session.IsConnected());
  EXPECT_EQ(rig.messages.back(), "Device connected on TCP/IP");
  auto list = rig.session.ListFolder("\\\\Dir");
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].size, 7u);
  EXPECT_EQ(seen, Bytes("C\x05\x00\x00\x00\\Dir\\L", 11));
  rig.session.Connect(LinkTarget::Disconnect());
  EXPECT_FALSE(rig.session.IsConnected());
}

TEST(Tcp, CancelledPromptNamesTheAddressText) {
  Rig rig(true);
  rig.host.address = "10.1.2.3";
  rig.host.confirmAddress = false;
  EXPECT_EQ(What([&] { rig.session.Connect(LinkTarget::Tcp()); }), std::string(kUnable) + "10.1.2.3)");
  EXPECT_TRUE(rig.session.PortName.empty());
}

TEST(Tcp, RefusedConnectionNamesTheLinkAsGiven) {
  uint16_t closedPort;
  { TcpPeer peer([](int) {}); closedPort = peer.port; ::shutdown(peer.listenFd, SHUT_RDWR); }
  Rig rig(true);
  rig.session.Socket.Port = closedPort;
  EXPECT_EQ(What([&] { rig.session.Connect(LinkTarget::Named("Tcp/Ip")); }), std::string(kUnable) + "Tcp/Ip)");
  EXPECT_FALSE(rig.session.IsConnected());
}

// A connected TCP/IP session of a Quillon over a scripted peer.
struct TcpSessionRig : Rig {
  explicit TcpSessionRig(uint16_t tcpPort) : Rig(true) {
    session.Socket.Port = tcpPort;
    session.Connect(LinkTarget::Tcp());
  }
};

TEST(Tcp, AnnouncedCommandPacketsBeyondTheCapAreRefusedAtOnceSayingTheCap) {
  // Far beyond, and one byte beyond: neither is waited for nor allocated.
  for (const uint32_t announced : {0xFFFFFFFFu, kMaxTcpCommandPacket + 1}) {
    TcpPeer peer([&](int fd) {
      ReadN(fd, 1);
      WriteAll(fd, IntToBytes(static_cast<int32_t>(announced)) + "abc");
      ReadN(fd, 1);  // until the PC closes
    });
    TcpSessionRig rig(peer.port);
    rig.session.SendCommand('L');
    const auto raised = test::Catch([&] { rig.session.ReceivePacket(2000); });
    EXPECT_EQ(raised.kind, ErrorKind::kNoConnection);
    EXPECT_EQ(raised.what, "The device announced a packet of " + std::to_string(announced) +
                               " bytes; the kit takes at most 4 MiB (4194304 bytes), so the connection was closed. "
                               "Connect again");
    // The socket closed, and the session went with it.
    EXPECT_FALSE(rig.session.IsConnected());
  }
}

TEST(Tcp, APacketAtTheCapArrivesWhole) {
  const Bytes payload(kMaxTcpCommandPacket, 'p');
  TcpPeer peer([&](int fd) {
    ReadN(fd, 1);
    WriteAll(fd, FrameTcpPacket(payload));
    ReadN(fd, 1);
  });
  TcpSessionRig rig(peer.port);
  rig.session.SendCommand('L');
  EXPECT_EQ(rig.session.ReceivePacket(2000), payload);
  rig.session.Connect(LinkTarget::Disconnect());
}

TEST(Tcp, ADeviceThatDripsItsAnswerFailsAtTheOverallDeadlineNotByteByByte) {
  // The device announces 1000 bytes and sends one now and then, each well
  // within the socket's 15 s; the clock says 6 s pass between them. (With
  // steps of 6 s, whichever byte the PC starts counting at, it is never left
  // with a sliver of its 15.245 s to wait for in real time.)
  test::FakeClock* clock = nullptr;
  size_t dripped = 0;
  TcpPeer peer([&](int fd) {
    ReadN(fd, 1);
    WriteAll(fd, IntToBytes(1000));
    for (; dripped < 1000; ++dripped) {
      // The clock moves first, so the PC sees the time each byte came at.
      clock->Advance(6000);
      if (!WriteAll(fd, "x")) break;
      // The PC gives up: its close ends the drip.
      pollfd p{fd, POLLRDHUP, 0};
      if (::poll(&p, 1, 20) > 0) break;
    }
  });
  TcpSessionRig rig(peer.port);
  clock = &rig.clock;
  rig.session.SendCommand('L');
  const auto raised = test::Catch([&] { rig.session.ReceivePacket(2000); });
  EXPECT_EQ(raised.kind, ErrorKind::kNoConnection);
  // 15 s and one more for every 4 KiB of the 1004 bytes: 15.245 s, so the
  // third byte after the PC started counting (18 s later) is too late.
  EXPECT_EQ(raised.what, "The device took longer than 15 s for its answer (1004 bytes; the kit allows 15 s and one "
                         "more for every 4 KiB), so the connection was closed. Check the network and the device, "
                         "and connect again");
  EXPECT_FALSE(rig.session.IsConnected());
  peer.Join();
  // Three bytes, and a few more where a loaded machine was slow to close;
  // never the thousand a count restarted with every byte would take.
  EXPECT_LE(dripped, 50u);
}

TEST(Tcp, ADeviceThatDripsTheLengthFailsAtTheSocketsTimeOut) {
  test::FakeClock* clock = nullptr;
  TcpPeer peer([&](int fd) {
    ReadN(fd, 1);
    // Three bytes of the four, the third at 18 s of the clock.
    for (int i = 0; i < 3; ++i) {
      clock->Advance(6000);
      WriteAll(fd, Bytes(1, '\x01'));
    }
    // Time goes on until the PC gives up, so the outcome does not hang on
    // when the PC started counting (it may start after the first bytes).
    for (;;) {
      pollfd p{fd, POLLRDHUP, 0};
      if (::poll(&p, 1, 20) > 0) break;
      clock->Advance(6000);
    }
  });
  TcpSessionRig rig(peer.port);
  clock = &rig.clock;
  rig.session.SendCommand('L');
  const auto raised = test::Catch([&] { rig.session.ReceivePacket(2000); });
  EXPECT_EQ(raised.kind, ErrorKind::kNoConnection);
  EXPECT_EQ(raised.what, "The device took longer than 15 s for its answer, so the connection was closed. Check the "
                         "network and the device, and connect again");
  peer.Join();
}

TEST(Tcp, AListingOfTooManyRecordsIsRefused) {
  Bytes listing;
  for (size_t i = 0; i <= kMaxListingRecords; ++i) listing += EncodeQuillonRecord("", 0, false);
  ASSERT_LE(listing.size(), kMaxTcpCommandPacket);
  TcpPeer peer([&](int fd) {
    ReadN(fd, 1 + 4 + 1 + 1);  // 'C', "\\", 'L'
    WriteAll(fd, FrameTcpPacket(listing));
    ReadN(fd, 1);
  });
  TcpSessionRig rig(peer.port);
  const auto raised = test::Catch([&] { rig.session.ListFolder("\\"); });
  EXPECT_EQ(raised.kind, ErrorKind::kFailed);
  EXPECT_EQ(raised.what, "The device listed more than 100000 entries in one folder, the most the kit takes. Move "
                         "some of them into other folders on the device");
  rig.session.Connect(LinkTarget::Disconnect());
}

TEST(Tcp, APeerThatClosesMidPacketIsAConnectionErrorNotAShortPayload) {
  TcpPeer peer([](int fd) {
    ReadN(fd, 1);
    WriteAll(fd, Bytes("\x10\x00\x00\x00" "abc", 7));
  });
  Rig rig(true);
  rig.session.Socket.Port = peer.port;
  rig.session.Connect(LinkTarget::Tcp());
  rig.session.SendCommand('L');
  EXPECT_EQ(What([&] { rig.session.ReceivePacket(2000); }), kConnectionErrorText);
  EXPECT_FALSE(rig.session.IsConnected());
}

TEST(Tcp, KillOverTcpEndsWithTheConnectionError) {
  TcpPeer peer([](int fd) { ReadN(fd, 1); });
  Rig rig(true);
  rig.session.Socket.Port = peer.port;
  rig.session.Connect(LinkTarget::Tcp());
  EXPECT_EQ(What([&] { rig.session.Kill(); }), kConnectionErrorText);
}

}  // namespace
}  // namespace corvane
