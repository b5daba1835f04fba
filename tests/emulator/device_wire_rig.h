#pragma once
// What the device wire tests share: the PC side of the serial line, played
// byte by byte against an emulated device over a pseudo-terminal.
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
#include "test_data.h"

namespace corvane::emu::wire_test {

using test::Pattern;
using test::ReadWhole;

inline void WriteAll(const fs::path& p, const Bytes& b) {
  std::ofstream out(p, std::ios::binary);
  out.write(b.data(), static_cast<std::streamsize>(b.size()));
}

// Files in a folder other than `except` (left-over temporaries show up here).
inline std::vector<std::string> FilesIn(const fs::path& dir) {
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

inline Bytes Joined(const std::vector<Block>& blocks) {
  Bytes all;
  for (const auto& b : blocks) all += b.data;
  return all;
}

}  // namespace corvane::emu::wire_test
