#pragma once
// Byte strings: 8-bit strings serve both as text and as I/O buffers.
#include <cstdint>
#include <string>

namespace corvane {

using Bytes = std::string;

// The four bytes of a 32-bit integer, least significant first.
Bytes IntToBytes(int32_t value);

// Little-endian readers over raw bytes (no bounds check: callers check).
inline uint32_t ReadLe32(const char* p) {
  auto b = [p](int i) { return static_cast<uint32_t>(static_cast<uint8_t>(p[i])); };
  return b(0) | (b(1) << 8) | (b(2) << 16) | (b(3) << 24);
}

}  // namespace corvane
