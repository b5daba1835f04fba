#include "link/link_error.h"

#include "link/bytes.h"

namespace corvane {

void LinkError(const std::string& message) { throw LinkException("Error (" + message + ")"); }

void ConnectionError() { throw LinkException(kConnectionErrorText); }

Bytes IntToBytes(int32_t value) {
  const auto v = static_cast<uint32_t>(value);
  Bytes out(4, '\0');
  for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
  return out;
}

}  // namespace corvane
