// Listing payloads from the device, in both record layouts.
#include <cstddef>
#include <cstdint>

#include "protocol/listing.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size copy, so that reading one byte past the payload is caught.
  const corvane::Bytes payload(reinterpret_cast<const char*>(data), size);
  for (bool quillon : {false, true}) {
    size_t total = 0;
    for (const auto& e : corvane::ParseListing(payload, quillon)) total += e.name.size() + 1;
    if (total > size + 1) __builtin_trap();
  }
  return 0;
}
