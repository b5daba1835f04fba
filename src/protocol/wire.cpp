#include "protocol/wire.h"

#include <algorithm>

#include "link/checksum.h"

namespace corvane {

Bytes FrameSerialPacket(const Bytes& payload) {
  Bytes out;
  out.reserve(payload.size() + 3);
  out += static_cast<char>((payload.size() >> 8) & 0xFF);
  out += static_cast<char>(payload.size() & 0xFF);
  out += payload;
  out += static_cast<char>(PacketChecksum(payload));
  return out;
}

Bytes FrameTcpPacket(const Bytes& payload) {
  Bytes out = IntToBytes(static_cast<int32_t>(payload.size()));
  out += payload;
  return out;
}

PacketAttempt ReadSerialPacketOnce(SerialPort* port, size_t cap) {
  PacketAttempt a;
  Bytes size(2, '\0');
  if (ReadInto(port, size) < 2) {
    // A lone 'V' is how a device in upgrade mode answers; it counts even if
    // nothing follows it.
    if (size[0] == 'V') a.outcome = PacketAttempt::kVersionByte;
    else a.outcome = PacketAttempt::kShortSize;
    return a;
  }
  if (size[0] == 'V') {
    a.outcome = PacketAttempt::kVersionByte;
    return a;
  }
  a.announced = static_cast<uint32_t>(static_cast<uint8_t>(size[0])) * 256 + static_cast<uint8_t>(size[1]);
  Bytes payload(a.announced < cap ? a.announced : cap, '\0');
  // The payload is read in small pieces, each under the port's time-out
  // (constant + multiplier x piece). A device that keeps sending fills the
  // packet as one long read would; a line that falls silent (or a length
  // field that was noise) ends the attempt after one piece's time-out
  // instead of after the multiplier times the whole announced length, which
  // for 10000 bytes at 30 ms a byte would be five minutes.
  constexpr size_t kPiece = 32;
  for (size_t at = 0; at < payload.size(); at += kPiece) {
    Bytes piece(std::min(kPiece, payload.size() - at), '\0');
    const int got = ReadInto(port, piece);
    payload.replace(at, piece.size(), piece);
    if (static_cast<size_t>(got) < piece.size()) {
      a.outcome = PacketAttempt::kShortPayload;
      return a;
    }
  }
  Bytes sum(1, '\0');
  if (ReadInto(port, sum) < 1 || static_cast<uint8_t>(sum[0]) != PacketChecksum(payload)) {
    a.outcome = PacketAttempt::kBadChecksum;
    return a;
  }
  a.outcome = PacketAttempt::kOk;
  a.payload = std::move(payload);
  return a;
}

bool CheckKindFromStartByte(uint8_t byte, CheckKind& kind) {
  switch (byte) {
    case kNak: kind = kSum8; return true;
    case kStartCrc: kind = kCrc16Arc; return true;
    case kStartKermit: kind = kCrc16Kermit; return true;
    default: return false;
  }
}

size_t TrailerSize(CheckKind kind) { return kind == kSum8 ? 1 : 2; }

Bytes BlockTrailer(CheckKind kind, const uint8_t* data, size_t n) {
  Bytes t;
  switch (kind) {
    case kSum8:
      t += static_cast<char>(PacketChecksum(data, n));
      break;
    case kCrc16Arc: {
      const uint16_t c = Crc16Arc(0, data, n);
      t += static_cast<char>(c & 0xFF);
      t += static_cast<char>(c >> 8);
      break;
    }
    case kCrc16Kermit: {
      const uint16_t c = Crc16Kermit(data, n);
      t += static_cast<char>(c >> 8);
      t += static_cast<char>(c & 0xFF);
      break;
    }
    case kCrc16Xmodem: {
      // Crc16Ccitt holds the CRC byte-swapped: low byte first puts its high byte first.
      const uint16_t c = Crc16Ccitt(0, data, n);
      t += static_cast<char>(c & 0xFF);
      t += static_cast<char>(c >> 8);
      break;
    }
  }
  return t;
}

Bytes BuildBlock(uint8_t number, const uint8_t* data, size_t n, CheckKind kind) {
  Bytes b;
  b.reserve(n + 5);
  b += static_cast<char>(n == 128 ? kSoh : kStx);
  b += static_cast<char>(number);
  b += static_cast<char>(255 - number);
  b.append(reinterpret_cast<const char*>(data), n);
  b += BlockTrailer(kind, data, n);
  return b;
}

}  // namespace corvane
