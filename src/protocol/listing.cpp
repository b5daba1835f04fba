#include "protocol/listing.h"

#include "link/link_error.h"

namespace corvane {
namespace {

uint32_t U8At(const Bytes& p, size_t i) { return static_cast<uint8_t>(p[i]); }

}  // namespace

int TallisKindOfType(uint16_t typeCode) {
  if (typeCode == kTallisTypeDirectory) return kKindDirectory;
  if (typeCode == kTallisTypeObjectA || typeCode == kTallisTypeObjectB) return kKindTallisObject;
  return kKindFile;
}

std::vector<ListingEntry> ParseListing(const Bytes& payload, bool quillon) {
  std::vector<ListingEntry> out;
  size_t pos = 0;
  const size_t end = payload.size();
  while (pos < end) {
    ListingEntry e;
    if (quillon) {
      // type(1) size(4, LE) namelen(1) name
      if (end - pos < 6) break;
      const uint32_t type = U8At(payload, pos);
      e.size = U8At(payload, pos + 1) | (U8At(payload, pos + 2) << 8) | (U8At(payload, pos + 3) << 16) |
               (U8At(payload, pos + 4) << 24);
      const size_t n = U8At(payload, pos + 5);
      if (end - pos - 6 < n) break;
      e.name = payload.substr(pos + 6, n);
      e.kind = type == 0 ? kKindFile : kKindDirectory;
      pos += 6 + n;
    } else {
      // namelen(1) name type(2, LE) nibbles(3, LE) unused(2)
      const size_t n = U8At(payload, pos);
      if (end - pos < n + 8) break;
      e.name = payload.substr(pos + 1, n);
      const auto type = static_cast<uint16_t>(U8At(payload, pos + 1 + n) | (U8At(payload, pos + 2 + n) << 8));
      const uint32_t nibbles =
          U8At(payload, pos + 3 + n) | (U8At(payload, pos + 4 + n) << 8) | (U8At(payload, pos + 5 + n) << 16);
      e.size = (nibbles + 1) / 2;
      e.kind = TallisKindOfType(type);
      pos += n + 8;
    }
    if (out.size() == kMaxListingRecords)
      throw DeviceError(ErrorKind::kFailed, "The device listed more than " + std::to_string(kMaxListingRecords) +
                                                " entries in one folder, the most the kit takes. Move some of them "
                                                "into other folders on the device");
    out.push_back(std::move(e));
  }
  return out;
}

Bytes EncodeQuillonRecord(const Bytes& name, uint32_t size, bool directory) {
  const Bytes n = name.substr(0, 255);
  Bytes r;
  r += static_cast<char>(directory ? 1 : 0);
  r += IntToBytes(static_cast<int32_t>(size));
  r += static_cast<char>(n.size());
  r += n;
  return r;
}

Bytes EncodeTallisRecord(const Bytes& name, uint16_t typeCode, uint32_t nibbles) {
  const Bytes n = name.substr(0, 255);
  Bytes r;
  r += static_cast<char>(n.size());
  r += n;
  r += static_cast<char>(typeCode & 0xFF);
  r += static_cast<char>(typeCode >> 8);
  r += static_cast<char>(nibbles & 0xFF);
  r += static_cast<char>((nibbles >> 8) & 0xFF);
  r += static_cast<char>((nibbles >> 16) & 0xFF);
  r += '\0';
  r += '\0';
  return r;
}

}  // namespace corvane
