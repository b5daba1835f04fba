#include "link/checksum.h"

#include <array>

namespace corvane {
namespace {

const uint8_t* U8(std::string_view s) { return reinterpret_cast<const uint8_t*>(s.data()); }

constexpr std::array<uint16_t, 256> MakeArcTable() {
  std::array<uint16_t, 256> t{};
  for (unsigned i = 0; i < 256; ++i) {
    unsigned c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xA001 : c >> 1;
    t[i] = static_cast<uint16_t>(c);
  }
  return t;
}
constexpr auto kArcTable = MakeArcTable();
static_assert(kArcTable[1] == 0xC0C1 && kArcTable[2] == 0xC181 && kArcTable[3] == 0x0140 &&
              kArcTable[255] == 0x4040);

struct KermitTable {
  uint16_t v[16][16];
};
constexpr KermitTable MakeKermitTable() {
  KermitTable t{};
  for (unsigned i = 0; i < 16; ++i)
    for (unsigned j = 0; j < 16; ++j) t.v[i][j] = static_cast<uint16_t>((i ^ j) * 0x1081);
  return t;
}
constexpr KermitTable kKermit = MakeKermitTable();

uint16_t Swap(uint16_t v) { return static_cast<uint16_t>((v >> 8) | (v << 8)); }

}  // namespace

uint8_t PacketChecksum(const uint8_t* data, size_t n) {
  uint8_t sum = 0;
  for (size_t i = 0; i < n; ++i) sum = static_cast<uint8_t>(sum + data[i]);
  return sum;
}
uint8_t PacketChecksum(std::string_view data) { return PacketChecksum(U8(data), data.size()); }

uint16_t Crc16Arc(uint16_t start, const uint8_t* data, size_t n) {
  uint16_t c = start;
  for (size_t i = 0; i < n; ++i) c = static_cast<uint16_t>(((c >> 8) & 0xFF) ^ kArcTable[(c ^ data[i]) & 0xFF]);
  return c;
}
uint16_t Crc16Arc(uint16_t start, std::string_view data) { return Crc16Arc(start, U8(data), data.size()); }

uint16_t Crc16Kermit(const uint8_t* data, size_t n) {
  unsigned c = 0;
  for (size_t i = 0; i < n; ++i) {
    const unsigned b = data[i];
    c = (c >> 4) ^ kKermit.v[c & 0xF][b & 0xF];
    c = (c >> 4) ^ kKermit.v[c & 0xF][b >> 4];
  }
  return static_cast<uint16_t>(c);
}
uint16_t Crc16Kermit(std::string_view data) { return Crc16Kermit(U8(data), data.size()); }

uint16_t Crc16Ccitt(uint16_t start, const uint8_t* data, size_t n) {
  uint16_t c = Swap(start);
  for (size_t i = 0; i < n; ++i) {
    c = static_cast<uint16_t>(c ^ (data[i] << 8));
    for (int k = 0; k < 8; ++k) {
      const bool out = c & 0x8000;
      c = static_cast<uint16_t>(c << 1);
      if (out) c ^= 0x1021;
    }
  }
  return Swap(c);
}
uint16_t Crc16Ccitt(uint16_t start, std::string_view data) { return Crc16Ccitt(start, U8(data), data.size()); }

}  // namespace corvane
