#include "link/link_error.h"

#include <cerrno>
#include <cstring>

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

namespace {

const char* Advice(int err) {
  switch (err) {
    case ENOSPC:
    case EDQUOT: return "Free some space on that disk and try again";
    case EFBIG: return "The file is too large for that disk: choose another folder";
    case EACCES:
    case EPERM: return "Check that you may read and write there, or choose another folder";
    case EROFS: return "That disk is read-only: choose another folder";
    case ENOENT:
    case ENOTDIR: return "Check the path";
    case EISDIR: return "A folder has that name: give the name of a file";
    case EMFILE:
    case ENFILE: return "Too many files are open: close some programs and try again";
    case EIO: return "The disk or the port failed: check it and try again";
    case ECONNREFUSED: return "Check the address and that the device is waiting for a connection";
    case ETIMEDOUT:
    case EHOSTUNREACH:
    case ENETUNREACH: return "Check the address, the network and that the device is switched on";
    case ECONNRESET:
    case EPIPE: return "The device closed the connection: connect again";
    default: return nullptr;
  }
}

}  // namespace

std::string Detail(int err) {
  std::string text = err == 0 ? "Unknown error" : std::strerror(err);
  if (const char* advice = Advice(err)) text += std::string(". ") + advice;
  return text;
}

Bytes IntToBytes(int32_t value) {
  const auto v = static_cast<uint32_t>(value);
  Bytes out(4, '\0');
  for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
  return out;
}

}  // namespace corvane
