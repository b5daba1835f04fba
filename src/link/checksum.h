#pragma once
// Trailers of packets and blocks: the 8-bit sum and three 16-bit CRCs.
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace corvane {

// Sum of the bytes modulo 256.
uint8_t PacketChecksum(std::string_view data);
uint8_t PacketChecksum(const uint8_t* data, size_t n);

// CRC-16/ARC (poly 0x8005 reflected, init = start), table-driven.
uint16_t Crc16Arc(uint16_t start, std::string_view data);
uint16_t Crc16Arc(uint16_t start, const uint8_t* data, size_t n);

// CRC-16/KERMIT (poly 0x8408 reflected, init 0), table-driven by nibbles.
uint16_t Crc16Kermit(std::string_view data);
uint16_t Crc16Kermit(const uint8_t* data, size_t n);

// CRC-16/XMODEM computed bit by bit, with its two bytes exchanged on the way
// in (the start value) and on the way out (the result). Stored low byte first,
// the result puts the CRC's high byte first.
uint16_t Crc16Ccitt(uint16_t start, std::string_view data);
uint16_t Crc16Ccitt(uint16_t start, const uint8_t* data, size_t n);

}  // namespace corvane
