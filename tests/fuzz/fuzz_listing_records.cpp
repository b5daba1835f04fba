// Listing records both ways: entries made from arbitrary bytes, written in
// each kind's record layout by the emulated device and read back by the PC,
// come back with the same names, sizes and kinds, in order; a payload cut to
// a byte budget holds only whole records.
#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <vector>

#include "emulator/device_files.h"
#include "protocol/listing.h"

namespace {

using corvane::Bytes;

// Entries from the input: a length byte, a flags byte (bit 0: folder), three
// size bytes, then the name.
std::vector<corvane::emu::FolderEntry> Entries(const uint8_t* data, size_t size) {
  std::vector<corvane::emu::FolderEntry> out;
  size_t at = 0;
  while (size - at >= 5) {
    corvane::emu::FolderEntry e;
    const size_t len = data[at];
    e.directory = (data[at + 1] & 1) != 0;
    e.size = data[at + 2] | (data[at + 3] << 8) | (static_cast<uint64_t>(data[at + 4]) << 16);
    at += 5;
    const size_t take = len < size - at ? len : size - at;
    e.name.assign(reinterpret_cast<const char*>(data + at), take);
    at += take;
    out.push_back(std::move(e));
  }
  return out;
}

void RoundTrip(const std::vector<corvane::emu::FolderEntry>& entries, bool tallis, size_t cap) {
  size_t omitted = 0;
  const Bytes payload = corvane::emu::EncodeListing(entries, tallis, cap, &omitted);
  if (cap != 0 && payload.size() > cap) __builtin_trap();
  const auto parsed = corvane::ParseListing(payload, !tallis);
  if (parsed.size() + omitted != entries.size()) __builtin_trap();
  // The records that fit the budget come back in order, whole.
  size_t used = 0, p = 0;
  for (const auto& e : entries) {
    const size_t record = e.name.size() + (tallis ? 8 : 6);
    if (cap != 0 && used + record > cap) continue;
    used += record;
    if (p == parsed.size()) __builtin_trap();
    const corvane::ListingEntry& got = parsed[p++];
    if (got.name != e.name) __builtin_trap();
    if (got.kind != (e.directory ? corvane::kKindDirectory : corvane::kKindFile)) __builtin_trap();
    // A Tallis size travels in nibbles (24 bits) and comes back in whole
    // bytes; a Tallis folder has none.
    uint64_t size = e.size;
    if (tallis) size = e.directory ? 0 : (std::min<uint64_t>(e.size * 2, 0xFFFFFF) + 1) / 2;
    if (got.size != size) __builtin_trap();
  }
  if (p != parsed.size() || used != payload.size()) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto entries = Entries(data, size);
  for (bool tallis : {false, true}) {
    RoundTrip(entries, tallis, 0);
    RoundTrip(entries, tallis, size > 0 ? data[size - 1] : 1);
  }
  return 0;
}
