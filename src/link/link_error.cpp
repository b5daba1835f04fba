#include "link/link_error.h"

#include "link/bytes.h"

namespace corvane {

const char* ErrorKindName(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::kNoConnection: return "no-connection";
    case ErrorKind::kFailed: return "failed";
    case ErrorKind::kLocalFile: return "local-file";
    case ErrorKind::kCancelled: return "cancelled";
    case ErrorKind::kBusy: return "busy";
    case ErrorKind::kUsage: return "usage";
  }
  return "failed";
}

void LinkError(const std::string& message, ErrorKind kind) { throw DeviceError(kind, "Error (" + message + ")"); }

void ConnectionError(std::string detail) {
  throw DeviceError(ErrorKind::kNoConnection, kConnectionErrorText, std::move(detail));
}

ErrorKind KindOf(const std::exception& e) {
  if (const auto* d = dynamic_cast<const DeviceError*>(&e)) return d->Kind();
  return ErrorKind::kFailed;
}

Bytes IntToBytes(int32_t value) {
  const auto v = static_cast<uint32_t>(value);
  Bytes out(4, '\0');
  for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
  return out;
}

}  // namespace corvane
