// The emulated device's side of the wire, driven byte by byte by a PC side
// written out here, over a real pseudo-terminal and TCP on 127.0.0.1.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <memory>

#include "emulator/device_files.h"
#include "emulator/emulated_device.h"
#include "emulator/screen.h"
#include "link/checksum.h"
#include "link/serial_port.h"
#include "protocol/listing.h"
#include "protocol/wire.h"
#include "protocol/block_receiver.h"
#include "protocol/block_sender.h"

namespace corvane::emu {
namespace {

Bytes Pattern(size_t n, unsigned seed = 7) {
  Bytes b(n, '\0');
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<char>((i * 31 + seed + i / 251) & 0xFF);
  return b;
}

Bytes ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const fs::path& p, const Bytes& b) {
  std::ofstream out(p, std::ios::binary);
  out.write(b.data(), static_cast<std::streamsize>(b.size()));
}

// Files in a folder other than `except` (left-over temporaries show up here).
std::vector<std::string> FilesIn(const fs::path& dir) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

struct Block {
  uint8_t header = 0;
  uint8_t number = 0;
  Bytes data;
  bool trailerOk = false;
};

// The PC's end of a pseudo-terminal, without the session's quiet windows.
class PcPort {
 public:
  explicit PcPort(const std::string& path) : m_port(OpenSerialPort(path, 115200, false)) {}
  SerialPort* H() { return m_port.get(); }

  void Command(char c) { WriteAll(H(), Bytes(1, c)); }
  void Raw(const Bytes& b) { WriteAll(H(), b); }
  int Byte(uint32_t ms = 3000) {
    SetReadTimeout(H(), {ms, 0});
    Bytes b(1, '\0');
    return ReadInto(H(), b) == 1 ? static_cast<uint8_t>(b[0]) : -1;
  }
  Bytes Read(size_t n, uint32_t ms = 3000) {
    SetReadTimeout(H(), {ms, 0});
    Bytes b(n, '\0');
    b.resize(static_cast<size_t>(ReadInto(H(), b)));
    return b;
  }
  // Sends a packet; returns the device's answer byte.
  int Packet(const Bytes& payload) {
    Raw(FrameSerialPacket(payload));
    return Byte();
  }
  // Discards input until the line has been quiet for 100 ms (the rest of a
  // run of CAN bytes, say).
  void Drain() {
    while (!Read(64, 100).empty()) {
    }
  }
  // Receives a packet from the device and acknowledges it.
  Bytes ReceivePacket() {
    const Bytes size = Read(2);
    EXPECT_EQ(size.size(), 2u);
    if (size.size() < 2) return {};
    const size_t n = static_cast<uint8_t>(size[0]) * 256u + static_cast<uint8_t>(size[1]);
    Bytes payload = Read(n);
    const Bytes sum = Read(1);
    EXPECT_EQ(sum, Bytes(1, static_cast<char>(PacketChecksum(payload))));
    Raw(Bytes(1, static_cast<char>(kAck)));
    return payload;
  }
  // Reads one block after its header byte (already read), with the trailer of `kind`.
  Block ReadBlock(uint8_t header, CheckKind kind) {
    Block b;
    b.header = header;
    const size_t n = header == kSoh ? 128 : 1024;
    const Bytes rest = Read(n + 2 + TrailerSize(kind));
    if (rest.size() < n + 2 + TrailerSize(kind)) return b;
    b.number = static_cast<uint8_t>(rest[0]);
    EXPECT_EQ(static_cast<uint8_t>(rest[1]), static_cast<uint8_t>(255 - b.number));
    b.data = rest.substr(2, n);
    b.trailerOk = rest.substr(n + 2) == BlockTrailer(kind, reinterpret_cast<const uint8_t*>(b.data.data()), n);
    return b;
  }
  // Receives a file with start byte `start`, acknowledging every good block;
  // returns the blocks as they came.
  std::vector<Block> ReceiveBlocks(uint8_t start, const std::function<uint8_t(const Block&)>& answer = {}) {
    CheckKind kind = kSum8;
    CheckKindFromStartByte(start, kind);
    Raw(Bytes(1, static_cast<char>(start)));
    std::vector<Block> blocks;
    for (;;) {
      const int h = Byte();
      if (h == kEot) {
        Raw(Bytes(1, static_cast<char>(kAck)));
        return blocks;
      }
      if (h != kSoh && h != kStx) {
        blocks.push_back(Block{static_cast<uint8_t>(h < 0 ? 0 : h), 0, {}, false});
        return blocks;  // CAN, silence or junk: the test looks at it
      }
      blocks.push_back(ReadBlock(static_cast<uint8_t>(h), kind));
      const uint8_t reply = answer ? answer(blocks.back()) : (blocks.back().trailerOk ? kAck : kNak);
      Raw(Bytes(1, static_cast<char>(reply)));
    }
  }
  // Sends `data` in 1024-byte blocks with the trailer the device asked for.
  // Returns the device's answers, one per block written, then the EOT answer.
  Bytes SendBlocks(const Bytes& data, const std::function<Bytes(uint8_t number, const Bytes& block)>& mangle = {}) {
    const int start = Byte();
    CheckKind kind = kSum8;
    EXPECT_TRUE(start >= 0 && CheckKindFromStartByte(static_cast<uint8_t>(start), kind)) << start;
    Bytes answers;
    uint8_t number = 1;
    for (size_t pos = 0; pos < data.size(); pos += 1024, ++number) {
      Bytes chunk = data.substr(pos, 1024);
      chunk.resize(1024, '\x55');
      const Bytes block = BuildBlock(number, reinterpret_cast<const uint8_t*>(chunk.data()), 1024, kind);
      for (int tries = 0; tries < 5; ++tries) {
        Raw(mangle ? mangle(number, block) : block);
        const int a = Byte();
        answers += static_cast<char>(a < 0 ? 0 : a);
        if (a == kAck || a == kCan) break;
      }
      if (answers.back() == static_cast<char>(kCan)) return answers;
    }
    Raw(Bytes(1, static_cast<char>(kEot)));
    answers += static_cast<char>(Byte());
    return answers;
  }

 private:
  std::unique_ptr<SerialPort> m_port;
};

class DeviceWire : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "corvane-emu-wire-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    m_root = pattern;
  }
  void TearDown() override {
    m_device.reset();
    fs::remove_all(m_root);
  }
  EmulatedDevice& Start(DeviceKind kind, const std::function<void(DeviceOptions&)>& tweak = {}) {
    DeviceOptions o;
    o.kind = kind;
    o.root = m_root;
    if (tweak) tweak(o);
    m_device = std::make_unique<EmulatedDevice>(o);
    m_pc = std::make_unique<PcPort>(m_device->StartPty());
    return *m_device;
  }
  // 'G' and the name, acknowledged.
  void RequestFile(const Bytes& name) {
    m_pc->Command('G');
    ASSERT_EQ(m_pc->Packet(name), kAck);
  }

  fs::path m_root;
  std::unique_ptr<EmulatedDevice> m_device;
  std::unique_ptr<PcPort> m_pc;
};

Bytes Joined(const std::vector<Block>& blocks) {
  Bytes all;
  for (const auto& b : blocks) all += b.data;
  return all;
}

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
    EXPECT_EQ(ReadAll(m_root / "up.bin"), file);
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
  EXPECT_EQ(ReadAll(m_root / "VAR"), object);

  // Without a header every byte received is kept, padding included.
  m_pc->Command('P');
  ASSERT_EQ(m_pc->Packet("RAW"), kAck);
  EXPECT_EQ(m_pc->SendBlocks("xyz"), Bytes("\x06\x06", 2));
  ASSERT_TRUE(dev.WaitIdle(std::chrono::seconds(3)));
  EXPECT_EQ(ReadAll(m_root / "RAW").size(), 1024u);
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
  EXPECT_EQ(ReadAll(m_root / "f"), file);

  // NAK to good blocks on request.
  dev.UpdateFaults([](Misbehaviour& f) { f.nakBlocks = 2; });
  m_pc->Command('P');
  ASSERT_EQ(m_pc->Packet(header), kAck);
  EXPECT_EQ(m_pc->SendBlocks(file), Bytes("\x15\x15\x06\x06\x06\x06", 6));
  ASSERT_TRUE(dev.WaitIdle(std::chrono::seconds(3)));
  EXPECT_EQ(ReadAll(m_root / "f"), file);

  // A dropped ACK: the PC sends the block again, the device keeps one copy.
  dev.UpdateFaults([](Misbehaviour& f) { f.dropAckBlock = 1; });
  m_pc->Command('P');
  ASSERT_EQ(m_pc->Packet(header), kAck);
  EXPECT_EQ(m_pc->SendBlocks(file), Bytes("\x00\x06\x06\x06\x06", 5));
  ASSERT_TRUE(dev.WaitIdle(std::chrono::seconds(5)));
  EXPECT_EQ(ReadAll(m_root / "f"), file);
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
  EXPECT_EQ(ReadAll(m_root / "keep"), "old contents");

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
  EXPECT_EQ(ReadAll(m_root / "c d"), "1");
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
  EXPECT_EQ(ReadAll(m_root / "up"), up);

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
    EXPECT_EQ(ReadAll(m_root / "OBJ"), contents);
    RequestFile("OBJ");
    {
      // The listed size, plus 9 for a Tallis, is what the PC expects.
      BlockReceiver rx(m_pc->H(), 5000 + (tallis ? 9 : 0), nullptr, back.string());
      EXPECT_TRUE(rx.Run()) << rx.FailureMessage();
    }
    EXPECT_EQ(ReadAll(back), contents);
    fs::remove(local);
    fs::remove(back);
  }
}

}  // namespace
}  // namespace corvane::emu
