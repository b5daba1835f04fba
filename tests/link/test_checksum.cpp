#include <gtest/gtest.h>

#include "link/bytes.h"
#include "link/checksum.h"

namespace corvane {
namespace {

TEST(Checksum, PacketChecksumIsTheByteSumModulo256) {
  EXPECT_EQ(PacketChecksum(""), 0);
  EXPECT_EQ(PacketChecksum("abc"), 0x26);
  EXPECT_EQ(PacketChecksum("123456789"), 0xDD);
  EXPECT_EQ(PacketChecksum(std::string(256, '\xFF')), 0);
}

TEST(Checksum, PublishedCheckValues) {
  EXPECT_EQ(Crc16Arc(0, "123456789"), 0xBB3D);
  EXPECT_EQ(Crc16Kermit("123456789"), 0x2189);
  // CRC-16/XMODEM 0x31C3, its two bytes exchanged.
  EXPECT_EQ(Crc16Ccitt(0, "123456789"), 0xC331);
}

TEST(Checksum, EmptyInput) {
  EXPECT_EQ(Crc16Arc(0, ""), 0);
  EXPECT_EQ(Crc16Kermit(""), 0);
  EXPECT_EQ(Crc16Ccitt(0x1234, ""), 0x1234);
}

TEST(Checksum, CcittStartValueIsTakenWithItsBytesExchanged) {
  // Chaining: the result of the first half, fed back as the start, gives the
  // CRC of the whole.
  const uint16_t half = Crc16Ccitt(0, "12345");
  EXPECT_EQ(Crc16Ccitt(half, "6789"), Crc16Ccitt(0, "123456789"));
  EXPECT_EQ(Crc16Arc(Crc16Arc(0, "1234"), "56789"), 0xBB3D);
}

TEST(Checksum, ArcMatchesABitwiseReference) {
  std::string data;
  for (int i = 0; i < 1024; ++i) data += static_cast<char>((i * 131 + 7) & 0xFF);
  uint16_t c = 0;
  for (unsigned char b : data) {
    c ^= b;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? static_cast<uint16_t>((c >> 1) ^ 0xA001) : static_cast<uint16_t>(c >> 1);
  }
  EXPECT_EQ(Crc16Arc(0, data), c);
  uint16_t k = 0;
  for (unsigned char b : data) {
    k ^= b;
    for (int j = 0; j < 8; ++j) k = (k & 1) ? static_cast<uint16_t>((k >> 1) ^ 0x8408) : static_cast<uint16_t>(k >> 1);
  }
  EXPECT_EQ(Crc16Kermit(data), k);
}

TEST(Bytes, IntToBytesIsLittleEndian) {
  EXPECT_EQ(IntToBytes(258), std::string("\x02\x01\x00\x00", 4));
  EXPECT_EQ(IntToBytes(-1), std::string("\xFF\xFF\xFF\xFF", 4));
  EXPECT_EQ(ReadLe32("\x02\x01\x00\x80"), 0x80000102u);
}

}  // namespace
}  // namespace corvane
