// The emulated device's side of the wire, driven byte by byte by a PC side
// written out here, over a real pseudo-terminal and TCP on 127.0.0.1.
#include "device_wire_rig.h"

namespace corvane::emu {
namespace {

using namespace wire_test;

TEST_F(DeviceWire, VersionPacketAndUpgradeModeAnswer) {
  EmulatedDevice& dev = Start(DeviceKind::kQuillon, [](DeviceOptions& o) { o.version = "Quillon test 9"; });
  m_pc->Command('V');
  EXPECT_EQ(m_pc->ReceivePacket(), "Quillon test 9");
  dev.SetUpgradeMode(true);
  m_pc->Command('V');
  EXPECT_EQ(m_pc->Read(2, 500), "V");  // the byte 'V' where the size would be, nothing after it
}

TEST_F(DeviceWire, PacketsFromThePcAreCheckedAndRefusedOnRequest) {
  EmulatedDevice& dev = Start(DeviceKind::kQuillon);
  fs::create_directory(m_root / "d");
  m_pc->Command('C');
  Bytes bad = FrameSerialPacket("\\d\\");
  bad.back() = static_cast<char>(bad.back() + 1);
  m_pc->Raw(bad);
  EXPECT_EQ(m_pc->Byte(), kNak);
  EXPECT_EQ(m_pc->Packet("\\d\\"), kAck);  // the retry is taken
  ASSERT_TRUE(dev.WaitIdle(std::chrono::seconds(3)));
  EXPECT_EQ(dev.CurrentFolder(), fs::path("d"));

  dev.UpdateFaults([](Misbehaviour& f) { f.nakPackets = 2; });
  m_pc->Command('C');
  EXPECT_EQ(m_pc->Packet("\\"), kNak);
  EXPECT_EQ(m_pc->Packet("\\"), kNak);
  EXPECT_EQ(m_pc->Packet("\\"), kAck);
  ASSERT_TRUE(dev.WaitForCommands([](const std::vector<CommandRecord>& c) { return c.size() == 2 && !c[1].packets.empty(); },
                                  std::chrono::seconds(3)));
  ASSERT_TRUE(dev.WaitIdle(std::chrono::seconds(3)));
  EXPECT_EQ(dev.CurrentFolder(), fs::path());
  // The device records each command with the packets it accepted.
  const auto cmds = dev.Commands();
  ASSERT_EQ(cmds.size(), 2u);
  EXPECT_EQ(cmds[1].packets, std::vector<Bytes>{"\\"});
}

TEST_F(DeviceWire, BadChecksumOnRequestThenTheSamePacketAgain) {
  EmulatedDevice& dev = Start(DeviceKind::kTallis);
  dev.UpdateFaults([](Misbehaviour& f) { f.badChecksumPackets = 1; });
  m_pc->Command('V');
  const Bytes first = m_pc->Read(2 + 24 + 1);
  ASSERT_EQ(first.size(), 27u);
  EXPECT_EQ(first.substr(2, 24), "Tallis Xmodem server 1.4");
  EXPECT_NE(static_cast<uint8_t>(first.back()), PacketChecksum(first.substr(2, 24)));
  m_pc->Raw(Bytes(1, static_cast<char>(kNak)));
  EXPECT_EQ(m_pc->ReceivePacket(), "Tallis Xmodem server 1.4");
}

TEST_F(DeviceWire, GetSendsBlocksWithTheTrailerTheReceiverAskedFor) {
  const Bytes file = Pattern(2500);
  WriteAll(m_root / "f.bin", file);
  Start(DeviceKind::kQuillon);
  for (uint8_t start : {kNak, kStartCrc, kStartKermit}) {
    RequestFile("f.bin");
    const auto blocks = m_pc->ReceiveBlocks(start);
    ASSERT_EQ(blocks.size(), 3u) << int(start);
    for (size_t i = 0; i < blocks.size(); ++i) {
      EXPECT_EQ(blocks[i].header, kStx);
      EXPECT_EQ(blocks[i].number, i + 1);
      EXPECT_TRUE(blocks[i].trailerOk);
    }
    EXPECT_EQ(Joined(blocks).substr(0, 2500), file);
  }
}

TEST_F(DeviceWire, GetIn128ByteAndMixedBlocks) {
  const Bytes file = Pattern(2500);
  WriteAll(m_root / "f.bin", file);
  for (BlockSize mode : {BlockSize::k128, BlockSize::kMixed}) {
    Start(DeviceKind::kQuillon, [&](DeviceOptions& o) { o.blockSize = mode; });
    RequestFile("f.bin");
    const auto blocks = m_pc->ReceiveBlocks(kNak);
    std::vector<size_t> sizes;
    for (const auto& b : blocks) sizes.push_back(b.data.size());
    if (mode == BlockSize::k128) EXPECT_EQ(sizes, std::vector<size_t>(20, 128));
    else EXPECT_EQ(sizes, (std::vector<size_t>{1024, 128, 1024, 128, 1024}));
    EXPECT_EQ(Joined(blocks).substr(0, 2500), file);
  }
}

TEST_F(DeviceWire, BlockNumbersWrapAfter255) {
  const Bytes file = Pattern(257 * 128);
  WriteAll(m_root / "big", file);
  Start(DeviceKind::kQuillon, [](DeviceOptions& o) { o.blockSize = BlockSize::k128; });
  RequestFile("big");
  const auto blocks = m_pc->ReceiveBlocks(kNak);
  ASSERT_EQ(blocks.size(), 257u);
  EXPECT_EQ(blocks[254].number, 255);
  EXPECT_EQ(blocks[255].number, 0);
  EXPECT_EQ(blocks[256].number, 1);
  EXPECT_EQ(Joined(blocks), file);
}

TEST_F(DeviceWire, TallisGetSendsTheObjectHeaderMadeUpForPlainFiles) {
  WriteAll(m_root / "plain", "hello");
  WriteAll(m_root / "obj", MakeTallisHeader(3) + "abc");
  Start(DeviceKind::kTallis);
  RequestFile("plain");
  EXPECT_EQ(Joined(m_pc->ReceiveBlocks(kNak)).substr(0, 14), MakeTallisHeader(5) + "hello");
  RequestFile("obj");
  EXPECT_EQ(Joined(m_pc->ReceiveBlocks(kNak)).substr(0, 12), MakeTallisHeader(3) + "abc");
}

TEST_F(DeviceWire, SendingFaultsCorruptRepeatAndCancel) {
  WriteAll(m_root / "f", Pattern(3000));
  EmulatedDevice& dev = Start(DeviceKind::kQuillon);

  dev.UpdateFaults([](Misbehaviour& f) { f.corruptBlock = 2; });
  RequestFile("f");
  auto blocks = m_pc->ReceiveBlocks(kStartCrc);
  ASSERT_EQ(blocks.size(), 4u);  // 1, 2 (damaged, NAKed), 2 again, 3
  EXPECT_FALSE(blocks[1].trailerOk);
  EXPECT_EQ(blocks[2].number, 2);
  EXPECT_TRUE(blocks[2].trailerOk);
  EXPECT_EQ(blocks[2].data, blocks[1].data);
  EXPECT_EQ(dev.Faults().corruptBlock, 0);  // used up

  dev.UpdateFaults([](Misbehaviour& f) { f.repeatBlock = 1; });
  RequestFile("f");
  blocks = m_pc->ReceiveBlocks(kNak);
  ASSERT_EQ(blocks.size(), 4u);
  EXPECT_EQ(blocks[0].number, 1);
  EXPECT_EQ(blocks[1].number, 1);
  EXPECT_EQ(blocks[1].data, blocks[0].data);
  EXPECT_EQ(blocks[2].number, 2);

  dev.UpdateFaults([](Misbehaviour& f) { f.cancelAtBlock = 2; });
  RequestFile("f");
  blocks = m_pc->ReceiveBlocks(kNak);
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_EQ(blocks[1].header, kCan);
  m_pc->Drain();

  // Silent from block 2 on: the PC hears nothing more, and the device takes
  // commands again once the line has been quiet.
  dev.UpdateFaults([](Misbehaviour& f) { f.silentAtBlock = 2; });
  RequestFile("f");
  blocks = m_pc->ReceiveBlocks(kNak);
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_EQ(blocks[0].number, 1);
  EXPECT_EQ(blocks[1].header, 0);  // nothing came
  ASSERT_TRUE(dev.WaitIdle(std::chrono::seconds(10)));

  // A missing file is refused with CAN at the start.
  RequestFile("nothing here");
  blocks = m_pc->ReceiveBlocks(kNak);
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_EQ(blocks[0].header, kCan);
}

TEST_F(DeviceWire, PutStartsWithTheChosenByteAndStoresTheAnnouncedLength) {
  const Bytes file = Pattern(2100);
  for (StartByte s : {StartByte::kNak, StartByte::kCrc, StartByte::kKermit}) {
    EmulatedDevice& dev = Start(DeviceKind::kQuillon, [&](DeviceOptions& o) { o.startByte = s; });
    m_pc->Command('P');
    ASSERT_EQ(m_pc->Packet(Bytes("up.bin") + '\0' + IntToBytes(2100)), kAck);
    EXPECT_EQ(m_pc->SendBlocks(file), Bytes("\x06\x06\x06\x06", 4));
    ASSERT_TRUE(dev.WaitIdle(std::chrono::seconds(3)));
    EXPECT_EQ(ReadWhole(m_root / "up.bin"), file);
    EXPECT_EQ(FilesIn(m_root), std::vector<std::string>{"up.bin"});
    fs::remove(m_root / "up.bin");
  }
}

TEST_F(DeviceWire, TallisPutCutsThePaddingByTheObjectHeader) {
  EmulatedDevice& dev = Start(DeviceKind::kTallis);
  const Bytes object = MakeTallisHeader(1500) + Pattern(1500);
  m_pc->Command('P');
  ASSERT_EQ(m_pc->Packet("VAR"), kAck);
  EXPECT_EQ(m_pc->SendBlocks(object), Bytes("\x06\x06\x06", 3));
  ASSERT_TRUE(dev.WaitIdle(std::chrono::seconds(3)));
  EXPECT_EQ(ReadWhole(m_root / "VAR"), object);

  // Without a header every byte received is kept, padding included.
  m_pc->Command('P');
  ASSERT_EQ(m_pc->Packet("RAW"), kAck);
  EXPECT_EQ(m_pc->SendBlocks("xyz"), Bytes("\x06\x06", 2));
  ASSERT_TRUE(dev.WaitIdle(std::chrono::seconds(3)));
  EXPECT_EQ(ReadWhole(m_root / "RAW").size(), 1024u);
}

// The device's sender as a real one: a garbled answer byte, or an ACK the
// line ate, makes the block go again.
TEST_F(DeviceWire, SenderResendsOnAGarbledAnswerAndAfterALostAck) {
  WriteAll(m_root / "f", Pattern(3000));
  EmulatedDevice& dev = Start(DeviceKind::kTallis);

  // Block 2 is answered with an ACK that lost a bit on the way (0x86).
  RequestFile("f");
  bool garbled = false;
  auto blocks = m_pc->ReceiveBlocks(kNak, [&](const Block& b) -> uint8_t {
    if (b.number != 2 || garbled) return kAck;
    garbled = true;
    return kAck | 0x80;
  });
  ASSERT_EQ(blocks.size(), 4u);  // 1, 2, 2 again, 3
  EXPECT_EQ(blocks[2].number, 2);
  EXPECT_EQ(blocks[2].data, blocks[1].data);
  EXPECT_EQ(blocks[3].number, 3);
  ASSERT_TRUE(dev.WaitForLog("Sent f", std::chrono::seconds(3)));

  // The ACK of block 1 is lost: the device hears nothing and, once its wait
  // for an answer is over, sends block 1 again; the next ACK lets it go on.
  dev.UpdateFaults([](Misbehaviour& f) { f.loseAckBlock = 1; });
  RequestFile("f");
  m_pc->Raw(Bytes(1, static_cast<char>(kNak)));
  ASSERT_EQ(m_pc->Byte(), kStx);
  const Block first = m_pc->ReadBlock(kStx, kSum8);
  ASSERT_TRUE(first.trailerOk);
  m_pc->Raw(Bytes(1, static_cast<char>(kAck)));
  const auto acked = std::chrono::steady_clock::now();
  ASSERT_EQ(m_pc->Byte(8000), kStx);
  const auto waited = std::chrono::steady_clock::now() - acked;
  EXPECT_GE(waited, std::chrono::milliseconds(4000));  // not at once: after its time-out
  const Block again = m_pc->ReadBlock(kStx, kSum8);
  EXPECT_EQ(again.number, 1);
  EXPECT_EQ(again.data, first.data);
  m_pc->Raw(Bytes(1, static_cast<char>(kAck)));
  ASSERT_EQ(m_pc->Byte(), kStx);
  EXPECT_EQ(m_pc->ReadBlock(kStx, kSum8).number, 2);
  EXPECT_EQ(dev.Faults().loseAckBlock, 0);  // used up
  m_pc->Raw(Bytes(1, static_cast<char>(kCan)));
  m_pc->Drain();
  ASSERT_TRUE(dev.WaitIdle(std::chrono::seconds(10)));
}

TEST_F(DeviceWire, ReceivingFaultsAndDamagedBlocks) {
  const Bytes file = Pattern(3000);
  EmulatedDevice& dev = Start(DeviceKind::kQuillon);
  const Bytes header = Bytes("f") + '\0' + IntToBytes(3000);

  // A damaged block is refused, then taken.
  m_pc->Command('P');
  ASSERT_EQ(m_pc->Packet(header), kAck);
  bool damaged = false;
  Bytes answers = m_pc->SendBlocks(file, [&](uint8_t n, const Bytes& b) {
    if (n != 2 || damaged) return b;
    damaged = true;
    Bytes bad = b;
    bad[100] = static_cast<char>(bad[100] ^ 1);
    return bad;
  });
  EXPECT_EQ(answers, Bytes("\x06\x15\x06\x06\x06", 5));
  ASSERT_TRUE(dev.WaitIdle(std::chrono::seconds(3)));
  EXPECT_EQ(ReadWhole(m_root / "f"), file);

  // NAK to good blocks on request.
  dev.UpdateFaults([](Misbehaviour& f) { f.nakBlocks = 2; });
  m_pc->Command('P');
  ASSERT_EQ(m_pc->Packet(header), kAck);
  EXPECT_EQ(m_pc->SendBlocks(file), Bytes("\x15\x15\x06\x06\x06\x06", 6));
  ASSERT_TRUE(dev.WaitIdle(std::chrono::seconds(3)));
  EXPECT_EQ(ReadWhole(m_root / "f"), file);

  // A dropped ACK: the PC sends the block again, the device keeps one copy.
  dev.UpdateFaults([](Misbehaviour& f) { f.dropAckBlock = 1; });
  m_pc->Command('P');
  ASSERT_EQ(m_pc->Packet(header), kAck);
  EXPECT_EQ(m_pc->SendBlocks(file), Bytes("\x00\x06\x06\x06\x06", 5));
  ASSERT_TRUE(dev.WaitIdle(std::chrono::seconds(5)));
  EXPECT_EQ(ReadWhole(m_root / "f"), file);
  EXPECT_EQ(FilesIn(m_root), std::vector<std::string>{"f"});
}

TEST_F(DeviceWire, AFailedPutLeavesNoFileBehind) {
  EmulatedDevice& dev = Start(DeviceKind::kQuillon);
  WriteAll(m_root / "keep", "old contents");
  const Bytes file = Pattern(3000);

  // The device cancels at block 2: the old file stays as it was.
  dev.UpdateFaults([](Misbehaviour& f) { f.cancelAtBlock = 2; });
  m_pc->Command('P');
  ASSERT_EQ(m_pc->Packet(Bytes("keep") + '\0' + IntToBytes(3000)), kAck);
  EXPECT_EQ(m_pc->SendBlocks(file), Bytes("\x06\x18", 2));
  m_pc->Drain();
  ASSERT_TRUE(dev.WaitIdle(std::chrono::seconds(3)));
  EXPECT_EQ(ReadWhole(m_root / "keep"), "old contents");

  // The PC cancels after one block.
  m_pc->Command('P');
  ASSERT_EQ(m_pc->Packet(Bytes("new") + '\0' + IntToBytes(3000)), kAck);
  ASSERT_EQ(m_pc->Byte(), kNak);
  const Bytes chunk = file.substr(0, 1024);
  m_pc->Raw(BuildBlock(1, reinterpret_cast<const uint8_t*>(chunk.data()), 1024, kSum8));
  EXPECT_EQ(m_pc->Byte(), kAck);
  m_pc->Raw(Bytes(4, static_cast<char>(kCan)));
  ASSERT_TRUE(dev.WaitForLog("nothing stored", std::chrono::seconds(3)));
  ASSERT_TRUE(dev.WaitIdle(std::chrono::seconds(3)));
  EXPECT_EQ(FilesIn(m_root), std::vector<std::string>{"keep"});

  // A name that would leave the device's folder is refused with CAN.
  m_pc->Command('P');
  ASSERT_EQ(m_pc->Packet(Bytes("..\\escape") + '\0' + IntToBytes(3)), kAck);
  EXPECT_EQ(m_pc->Byte(), kCan);
  ASSERT_TRUE(dev.WaitIdle(std::chrono::seconds(3)));
  EXPECT_FALSE(fs::exists(m_root.parent_path() / "escape"));
  EXPECT_EQ(FilesIn(m_root), std::vector<std::string>{"keep"});
}

TEST_F(DeviceWire, QuillonDeleteRenameOpenAndQuit) {
  WriteAll(m_root / "a", "1");
  WriteAll(m_root / "b", "2");
  fs::create_directories(m_root / "full" / "x");
  EmulatedDevice& dev = Start(DeviceKind::kQuillon);
  m_pc->Command('r');
  ASSERT_EQ(m_pc->Packet("a"), kAck);
  ASSERT_EQ(m_pc->Packet("c d"), kAck);
  m_pc->Command('r');  // never over an existing entry
  ASSERT_EQ(m_pc->Packet("b"), kAck);
  ASSERT_EQ(m_pc->Packet("c d"), kAck);
  m_pc->Command('D');
  ASSERT_EQ(m_pc->Packet("full"), kAck);  // a folder that is not empty stays
  m_pc->Command('D');
  ASSERT_EQ(m_pc->Packet("..\\..\\etc"), kAck);
  m_pc->Command('o');
  ASSERT_EQ(m_pc->Packet("c d"), kAck);
  ASSERT_TRUE(dev.WaitForLog("open c d", std::chrono::seconds(3)));
  EXPECT_EQ(FilesIn(m_root), (std::vector<std::string>{"b", "c d", "full"}));
  EXPECT_EQ(ReadWhole(m_root / "c d"), "1");
  m_pc->Command('D');
  ASSERT_EQ(m_pc->Packet("\\b"), kAck);
  m_pc->Command('k');
  ASSERT_TRUE(dev.WaitUntilStopped(std::chrono::seconds(3)));
  EXPECT_EQ(FilesIn(m_root), (std::vector<std::string>{"c d", "full"}));
}

TEST_F(DeviceWire, TallisCommandLinesPurgeRenameAndChangeFolder) {
  fs::create_directories(m_root / "DIR" / "SUB");
  WriteAll(m_root / "DIR" / "X", "x");
  WriteAll(m_root / "DIR" / "Y", "y");
  EmulatedDevice& dev = Start(DeviceKind::kTallis);
  m_pc->Command('E');
  ASSERT_EQ(m_pc->Packet("HOME  DIR "), kAck);
  m_pc->Command('E');
  ASSERT_EQ(m_pc->Packet("'X' DUP RCL SWAP PURGE'Z' STO"), kAck);
  m_pc->Command('E');
  ASSERT_EQ(m_pc->Packet("'Y' PURGE"), kAck);
  m_pc->Command('E');
  ASSERT_EQ(m_pc->Packet("'SUB' 3 +"), kAck);  // not one of the forms: ignored
  ASSERT_TRUE(dev.WaitForLog("Command line ignored", std::chrono::seconds(3)));
  EXPECT_EQ(FilesIn(m_root / "DIR"), (std::vector<std::string>{"SUB", "Z"}));
  // HOME stops at the first name that is not a folder.
  m_pc->Command('E');
  ASSERT_EQ(m_pc->Packet("HOME  DIR Z SUB "), kAck);
  ASSERT_TRUE(dev.WaitIdle(std::chrono::seconds(3)));
  EXPECT_EQ(dev.CurrentFolder(), fs::path("DIR"));
  m_pc->Command('k');  // a Tallis has no quit command
  m_pc->Command('V');
  EXPECT_EQ(m_pc->ReceivePacket(), "Tallis Xmodem server 1.4");
  EXPECT_TRUE(dev.Running());
}

TEST_F(DeviceWire, ScreenCaptureOverSerialIsA4BitBitmapInBlocks) {
  Start(DeviceKind::kQuillon);
  m_pc->Command('S');
  const Bytes all = Joined(m_pc->ReceiveBlocks(kNak));
  ASSERT_EQ(all.size(), 38u * 1024);  // fits the 38912 bytes the PC takes
  EXPECT_EQ(all.substr(0, 2), "BM");
  EXPECT_EQ(ReadLe32(all.data() + 2), 38518u);
  EXPECT_EQ(static_cast<uint8_t>(all[28]), 4);
}

}  // namespace
}  // namespace corvane::emu
