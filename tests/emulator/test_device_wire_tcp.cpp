// The emulated device over TCP/IP, seen from the PC: files and the screen as
// single packets, its faults, and round trips with the transfer workers.
#include "device_wire_rig.h"

namespace corvane::emu {
namespace {

using namespace wire_test;

// ---- TCP ----

class TcpPc {
 public:
  explicit TcpPc(uint16_t port) {
    m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) ADD_FAILURE() << "connect";
    timeval tv{5, 0};
    ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  ~TcpPc() { ::close(m_fd); }
  void Send(const Bytes& b) { ASSERT_EQ(::send(m_fd, b.data(), b.size(), MSG_NOSIGNAL), static_cast<ssize_t>(b.size())); }
  void Packet(const Bytes& b) { Send(FrameTcpPacket(b)); }
  // Reads until n bytes or the end of the connection.
  Bytes Read(size_t n) {
    Bytes out;
    char buf[65536];
    while (out.size() < n) {
      const ssize_t r = ::recv(m_fd, buf, std::min(sizeof buf, n - out.size()), 0);
      if (r <= 0) break;
      out.append(buf, static_cast<size_t>(r));
    }
    return out;
  }
  Bytes ReceivePacket() {
    const Bytes size = Read(4);
    if (size.size() < 4) return {};
    return Read(ReadLe32(size.data()));
  }

 private:
  int m_fd;
};

TEST_F(DeviceWire, OverTcpFilesAndScreenTravelAsSinglePackets) {
  const Bytes file = Pattern(200000);
  WriteAll(m_root / "big", file);
  DeviceOptions o;
  o.kind = DeviceKind::kQuillon;
  o.root = m_root;
  EmulatedDevice dev(o);
  TcpPc pc(dev.StartTcp(0));
  pc.Send("G");
  pc.Packet("big");
  EXPECT_EQ(pc.ReceivePacket(), file);

  const Bytes up = Pattern(70000, 3);
  pc.Send("P");
  pc.Packet(Bytes("up") + '\0' + IntToBytes(70000));
  pc.Packet(up);
  pc.Send("S");
  const Bytes bmp = pc.ReceivePacket();
  EXPECT_EQ(bmp.size(), 77878u);
  EXPECT_EQ(static_cast<uint8_t>(bmp[28]), 8);
  EXPECT_EQ(ReadWhole(m_root / "up"), up);

  // Closing the connection mid-file on request: the PC gets a part; the device
  // serves the next connection.
  dev.UpdateFaults([](Misbehaviour& f) { f.closeAfterBytes = 5000; });
  pc.Send("G");
  pc.Packet("big");
  const Bytes part = pc.Read(300000);
  EXPECT_EQ(part.size(), 4u + 5000);
  TcpPc again(dev.TcpPort());
  again.Send("L");
  const auto listing = ParseListing(again.ReceivePacket(), true);
  ASSERT_EQ(listing.size(), 2u);
  EXPECT_EQ(listing[0].name, "big");
  EXPECT_EQ(listing[1].size, 70000u);

  // A put cut short by the device stores nothing.
  dev.UpdateFaults([](Misbehaviour& f) { f.closeAfterBytes = 1000; });
  again.Send("P");
  again.Packet(Bytes("cut") + '\0' + IntToBytes(70000));
  again.Packet(up);
  EXPECT_EQ(again.Read(1), "");  // the device closed the connection
  ASSERT_TRUE(dev.WaitForLog("nothing stored", std::chrono::seconds(3)));
  EXPECT_EQ(FilesIn(m_root), (std::vector<std::string>{"big", "up"}));
}

TEST_F(DeviceWire, OverTcpTheDeviceLiesAboutLengthsDripsAndStopsReadingOnRequest) {
  WriteAll(m_root / "a", Bytes("abc"));
  DeviceOptions o;
  o.kind = DeviceKind::kQuillon;
  o.root = m_root;
  EmulatedDevice dev(o);
  const Bytes listing = EncodeListing(ReadFolder(m_root, false), false);
  {
    TcpPc pc(dev.StartTcp(0));
    // A false length, then the real bytes; used up by one packet.
    dev.UpdateFaults([](Misbehaviour& f) { f.lyingLength = 100000000; });
    pc.Send("L");
    EXPECT_EQ(pc.Read(4), IntToBytes(100000000));
    EXPECT_EQ(pc.Read(listing.size()), listing);
    pc.Send("L");
    EXPECT_EQ(pc.ReceivePacket(), listing);
    // Dripped, the packet is the same bytes.
    dev.UpdateFaults([](Misbehaviour& f) { f.dripMs = 1; });
    pc.Send("L");
    EXPECT_EQ(pc.ReceivePacket(), listing);
    EXPECT_TRUE(dev.WaitForLog("Sending one byte every 1 ms (on request)", std::chrono::seconds(3)));
    // Reading stops after 1000 bytes of a put, until the PC closes.
    dev.UpdateFaults([](Misbehaviour& f) { f.stallAfterBytes = 1000; });
    pc.Send("P");
    pc.Packet(Bytes("up") + '\0' + IntToBytes(70000));
    pc.Packet(Pattern(70000));
    ASSERT_TRUE(dev.WaitForLog("Not reading after 1000 bytes (on request)", std::chrono::seconds(3)));
  }
  ASSERT_TRUE(dev.WaitForLog("nothing stored", std::chrono::seconds(3)));
  EXPECT_EQ(FilesIn(m_root), (std::vector<std::string>{"a"}));
}

TEST_F(DeviceWire, RoundTripsWithTheTransferWorkersAreByteExact) {
  for (DeviceKind kind : {DeviceKind::kQuillon, DeviceKind::kTallis}) {
    const bool tallis = kind == DeviceKind::kTallis;
    EmulatedDevice& dev = Start(kind);
    const fs::path local = m_root.parent_path() / (m_root.filename().string() + "-local");
    const fs::path back = m_root.parent_path() / (m_root.filename().string() + "-back");
    // What a PC holds of a Tallis variable is the object with its header.
    const Bytes contents = tallis ? MakeTallisHeader(5000) + Pattern(5000) : Pattern(5000);
    WriteAll(local, contents);
    m_pc->Command('P');
    ASSERT_EQ(m_pc->Packet(tallis ? Bytes("OBJ") : Bytes("OBJ") + '\0' + IntToBytes(5000)), kAck);
    {
      BlockSender tx(m_pc->H(), nullptr, local.string());
      EXPECT_TRUE(tx.Run()) << tx.FailureMessage();
    }
    ASSERT_TRUE(dev.WaitIdle(std::chrono::seconds(3)));
    EXPECT_EQ(ReadWhole(m_root / "OBJ"), contents);
    RequestFile("OBJ");
    {
      // The listed size, plus 9 for a Tallis, is what the PC expects.
      BlockReceiver rx(m_pc->H(), 5000 + (tallis ? 9 : 0), nullptr, back.string());
      EXPECT_TRUE(rx.Run()) << rx.FailureMessage();
    }
    EXPECT_EQ(ReadWhole(back), contents);
    fs::remove(local);
    fs::remove(back);
  }
}

}  // namespace
}  // namespace corvane::emu
