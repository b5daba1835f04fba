#pragma once
// Directory listing records of the two device kinds.
#include <cstdint>
#include <string>
#include <vector>

#include "link/bytes.h"

namespace corvane {

enum EntryKind { kKindDirectory = 0, kKindFile = 1, kKindTallisObject = 3 };

inline constexpr uint16_t kTallisTypeDirectory = 0x2A96;
inline constexpr uint16_t kTallisTypeFile = 0x2A2C;
inline constexpr uint16_t kTallisTypeObjectA = 0x2D9D;
inline constexpr uint16_t kTallisTypeObjectB = 0x2DCC;

struct ListingEntry {
  Bytes name;  // 8-bit, as the device sent it
  uint32_t size = 0;
  int kind = kKindFile;
};

// The most entries one listing may hold.
inline constexpr size_t kMaxListingRecords = 100000;

// Parses a listing payload. Records fill the payload back to back; a last
// record cut short by the end of the payload is dropped (nothing is read past
// the end). More than kMaxListingRecords records raise DeviceError (kFailed).
std::vector<ListingEntry> ParseListing(const Bytes& payload, bool quillon);

// Record encoders, for the device side. Names longer than 255 bytes are cut.
Bytes EncodeQuillonRecord(const Bytes& name, uint32_t size, bool directory);
Bytes EncodeTallisRecord(const Bytes& name, uint16_t typeCode, uint32_t nibbles);
int TallisKindOfType(uint16_t typeCode);

}  // namespace corvane
