#pragma once
// Bytes on the wire: control bytes, command packets and transfer blocks.
#include <cstddef>
#include <cstdint>

#include "link/bytes.h"
#include "link/serial_port.h"

namespace corvane {

inline constexpr uint8_t kSoh = 0x01;
inline constexpr uint8_t kStx = 0x02;
inline constexpr uint8_t kEot = 0x04;
inline constexpr uint8_t kAck = 0x06;
inline constexpr uint8_t kNak = 0x15;
inline constexpr uint8_t kCan = 0x18;
inline constexpr uint8_t kStartCrc = 'C';     // receiver asks for the CRC-16/ARC trailer
inline constexpr uint8_t kStartKermit = 'D';  // receiver asks for the CRC-16/KERMIT trailer

// Largest serial packet payload the PC accepts from the device.
inline constexpr size_t kMaxSerialPacket = 10000;
// Largest TCP/IP file the PC accepts (a file comes as one packet, streamed to
// disk); longer announcements are refused before anything is written.
inline constexpr uint32_t kMaxTcpPacket = 256u * 1024 * 1024;
// Largest TCP/IP command packet (a listing) the PC accepts: such a packet is
// held in memory. A folder of 100,000 entries with names of 30 characters
// takes 3.6 MB.
inline constexpr uint32_t kMaxTcpCommandPacket = 4u * 1024 * 1024;

// Serial command packet: length (2 bytes, big-endian), payload, PacketChecksum.
Bytes FrameSerialPacket(const Bytes& payload);
// TCP/IP command packet: length (4 bytes, little-endian), payload.
Bytes FrameTcpPacket(const Bytes& payload);

// One attempt at reading a serial command packet (the device side uses it
// too). Reads the 2-byte length, the payload (at most `cap` bytes, in pieces
// of 32, each under the port's current time-out) and the checksum. Sends
// nothing.
struct PacketAttempt {
  enum Outcome { kOk, kVersionByte, kShortSize, kShortPayload, kBadChecksum } outcome = kShortSize;
  Bytes payload;
  uint32_t announced = 0;
};
PacketAttempt ReadSerialPacketOnce(SerialPort* port, size_t cap = kMaxSerialPacket);

// Trailer of a transfer block, by the receiver's start byte.
// kCrc16Xmodem is the boot loader's: it asks for it with 'C' too, so no start
// byte maps to it.
enum CheckKind { kCrc16Arc = 0, kSum8 = 1, kCrc16Kermit = 2, kCrc16Xmodem = 3 };
// NAK -> ckSum8, 'C' -> ckCrc16Arc, 'D' -> ckCrc16Kermit; false for any other byte.
bool CheckKindFromStartByte(uint8_t byte, CheckKind& kind);
size_t TrailerSize(CheckKind kind);
// ckCrc16Arc: low byte first; ckCrc16Kermit and kCrc16Xmodem: high byte
// first; ckSum8: one byte.
Bytes BlockTrailer(CheckKind kind, const uint8_t* data, size_t n);
// SOH (n = 128) or STX (n = 1024), number, 255 - number, data, trailer.
Bytes BuildBlock(uint8_t number, const uint8_t* data, size_t n, CheckKind kind);

}  // namespace corvane
